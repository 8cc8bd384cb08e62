#include "flash/flash_ops.h"

#include "flash/nand/nand_flash.h"
#include "flash/nor/nor_flash.h"
#include "platform/kernel_call.h"

FlashOpsTable FlashOps;

namespace {

const DWORD kPartNumberPxa270 = 17;

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
