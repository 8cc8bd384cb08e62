#include "flash/flash_ops.h"

#include <string.h>

#include "flash/nand/nand_flash.h"
#include "flash/nor/nor_flash.h"
#include "platform/kernel_call.h"

FlashOpsTable FlashOps;

namespace {

const DWORD kPartNumberPxa270 = 17;
// The write-back's unit where the flash has no pages, and its largest page.
const DWORD kNorWriteBackBytes = 512;
const DWORD kMaxPageBytes = 2048;

int DriverInitialised = 0;

}  // namespace

int SelectFlashDriver() {
  if (DriverInitialised) return FlashOps.DriverKind;

  int result;
  if (GetCpuPartNumber() == kPartNumberPxa270) {
    FlashOps.DriverKind = kDriverNor;
    result = NorInitialize();
    FlashOps.EraseRange = NorEraseRange;
    FlashOps.BlockSize = NorBlockSize;
    FlashOps.ReadBuffer = NorReadBuffer;
    FlashOps.ReadWord = NorReadWord;
    FlashOps.PageSize = NULL;
    FlashOps.SetEcc = NorSetEcc;
    FlashOps.WriteWord = NorWriteWord;
    FlashOps.WriteBuffer = NorWriteBuffer;
  } else {
    FlashOps.DriverKind = kDriverNand;
    result = NandInit();
    FlashOps.EraseRange = NandEraseRange;
    FlashOps.BlockSize = NandBlockBytes;
    FlashOps.ReadBuffer = NandReadBuffer;
    FlashOps.ReadWord = NandReadWord;
    FlashOps.PageSize = NandPageBytes;
    FlashOps.SetEcc = NandSetEcc;
    FlashOps.WriteWord = NandWriteWord;
    FlashOps.WriteBuffer = NandWriteBuffer;
  }

  DriverInitialised = result;
  if (!result) {
    FlashOps.DriverKind = kDriverNone;
    return 0;
  }
  return FlashOps.DriverKind;
}

void SetProgressCallback(ProgressCallbackFn callback, DWORD interval) {
  FlashOps.ProgressCallback = callback;
  FlashOps.ProgressInterval = interval;
}

void BeginEraseProgress(EraseProgressState* state, DWORD total) {
  state->done = 0;
  state->threshold = 0;
  state->total = total;
}

int ReportEraseProgress(EraseProgressState* state) {
  if (!FlashOps.ProgressCallback || state->done < state->threshold) return 1;
  if (!FlashOps.ProgressCallback(state->done, state->total)) return 0;
  state->threshold += FlashOps.ProgressInterval;
  return 1;
}

void AdvanceEraseProgress(EraseProgressState* state, DWORD block_bytes) {
  state->done += block_bytes;
}

int ErasedButForBitFlips(const BYTE* bytes, DWORD count) {
  for (DWORD step = 0; step < count; step += 512) {
    DWORD zeros = 0;
    for (DWORD i = step; i < count && i < step + 512; ++i) {
      for (BYTE b = static_cast<BYTE>(~bytes[i]); b; b &= static_cast<BYTE>(b - 1)) ++zeros;
    }
    if (zeros > 1) return 0;
  }
  return 1;
}

int WriteBackErasedPages(const BYTE* kept, DWORD offset, DWORD count) {
  DWORD unit = FlashOps.PageSize ? FlashOps.PageSize() : kNorWriteBackBytes;
  if (unit == 0 || unit > kMaxPageBytes) return 0;
  // Word-aligned, and the driver may store into what it is given (the word at offset 4 on
  // part number 9): the kept bytes go through a copy.
  DWORD page_words[kMaxPageBytes / 4];
  DWORD check_words[kMaxPageBytes / 4];
  BYTE* page = reinterpret_cast<BYTE*>(page_words);
  BYTE* check = reinterpret_cast<BYTE*>(check_words);
  int ok = 1;
  // Pieces follow the flash's pages, so that each is one page or the part of one in range.
  for (DWORD done = 0; done < count;) {
    DWORD at = offset + done;
    DWORD piece = unit - at % unit;
    if (piece > count - done) piece = count - done;
    const BYTE* want = kept + done;
    done += piece;
    memset(page, 0xFF, piece);
    if (memcmp(want, page, piece) == 0) continue;  // nothing to put back
    // An erased page reads 0xFF; one that holds anything the erase did not reach. One that
    // does not read (an erase that failed part way) cannot take its bytes back.
    if (!FlashOps.ReadBuffer(page, at, piece)) {
      ok = 0;
      continue;
    }
    if (!ErasedButForBitFlips(page, piece)) continue;
    memcpy(page, want, piece);
    if (!FlashOps.WriteBuffer(page, at, piece) || !FlashOps.ReadBuffer(check, at, piece) ||
        memcmp(check, page, piece) != 0) {
      ok = 0;  // the rest still goes back
    }
  }
  return ok;
}
