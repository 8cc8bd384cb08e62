#include "flash/nor/nor_flash.h"

#include <string.h>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "platform/mmio.h"
#include "platform/physical_map.h"

BYTE* NorWindow = NULL;

namespace {

// Commands, the 16-bit command in both halves of the bus word.
const DWORD kNorReadArray = 0x00FF00FF;
const DWORD kNorReadIdentifier = 0x00900090;
const DWORD kNorCfiQuery = 0x00980098;
const DWORD kNorClearStatus = 0x00500050;
const DWORD kNorBlockEraseSetup = 0x00200020;
const DWORD kNorConfirm = 0x00D000D0;
const DWORD kNorLockSetup = 0x00600060;
const DWORD kNorWordProgram = 0x00400040;
const DWORD kNorBufferedProgram = 0x00E800E8;

// Status: both chips must report ready, bit 7 in each half. Errors: erase (bit 5), program
// voltage (bit 3) or block locked (bit 1) in either half.
const DWORD kNorStatusReady = 0x00800080;
const DWORD kNorStatusErrors = 0x002A002A;
// A program that fails sets only SR.4 (program error) when the block is not locked: the
// program operations look at it too, or a failed program would pass for a success.
const DWORD kNorProgramErrors = kNorStatusErrors | 0x00100010;
// Identifier mode: lock configuration at chip word 2 of a block, bit 0 = locked.
const DWORD kNorLockConfigOffset = 8;
const DWORD kNorLockedBits = 0x00010001;

const DWORD kIntelManufacturer = 0x00890089;
const DWORD kCfiDeviceSizeOffset = 0x9C;  // chip word 0x27
const DWORD kMaxFlashSize = 0x4000000;

const DWORD kParameterBlockSize = 0x10000;
const DWORD kMainBlockSize = 0x40000;
const DWORD kBufferBytes = 64;  // 32 bytes a chip

const DWORD kEraseTimeoutMs = 10000;
const DWORD kErasePollSleepMs = 100;
const DWORD kWordTimeoutMs = 1000;
const DWORD kBufferTimeoutMs = 2000;
const DWORD kUnlockTimeoutMs = 1000;  // J3 clear lock-bits: 0.7 s at most

volatile void* At(DWORD offset) { return NorWindow + offset; }
void Command(DWORD offset, DWORD command) { MmioWrite32(At(offset), command); }
DWORD Read(DWORD offset) { return MmioRead32(At(offset)); }
bool Ready(DWORD status) { return (status & kNorStatusReady) == kNorStatusReady; }

// Polls the status at `offset` without sleeping until both chips are ready; false once
// `limit_ms` have passed since `start`. `status` receives the last status read.
bool PollReady(DWORD offset, DWORD start, DWORD limit_ms, DWORD* status) {
  for (;;) {
    *status = Read(offset);
    if (Ready(*status)) return true;
    if (GetTickCount() - start >= limit_ms) return false;
  }
}

// What a status with an error bit says went wrong, either chip's half.
int FailureOf(DWORD status) {
  if (status & 0x00020002) return kFlashFailLocked;
  if (status & 0x00200020) return kFlashFailErase;
  if (status & 0x00180018) return kFlashFailProgram;
  return kFlashFailOther;
}

// The 32-bit bus word `word_offset` of a write of `count` bytes at `offset`: bytes outside
// the write are 0xFF, which programming leaves as they are.
DWORD SourceWord(const BYTE* source, DWORD offset, DWORD count, DWORD word_offset) {
  DWORD word;
  if (word_offset >= offset && word_offset - offset + 4 <= count) {
    memcpy(&word, source + (word_offset - offset), 4);
    return word;
  }
  BYTE bytes[4];
  for (DWORD k = 0; k < 4; ++k) {
    DWORD at = word_offset + k;
    bytes[k] = at >= offset && at - offset < count ? source[at - offset] : 0xFF;
  }
  memcpy(&word, bytes, 4);
  return word;
}

}  // namespace

// The x16 device codes of the J3, K3 and P30 datasheets (J3: uniform blocks; K3: uniform
// blocks, locked at power-up; P30 bottom-boot: four parameter blocks below the main blocks).
// 0x0019 is no code of those datasheets; the earlier driver listed it among the J3 parts and
// modules may report it, so it stays.
const NorDeviceCode NorDeviceCodes[] = {
    {0x0016, kNorTypeJ3},         {0x0017, kNorTypeJ3},         {0x0018, kNorTypeJ3},
    {0x0019, kNorTypeJ3},         {0x001D, kNorTypeJ3},         {0x8801, kNorTypeK3},
    {0x8802, kNorTypeK3},         {0x8803, kNorTypeK3},         {0x8922, kNorTypeBottomBoot},
    {0x881A, kNorTypeBottomBoot}, {0x881B, kNorTypeBottomBoot}, {0x891C, kNorTypeBottomBoot},
};
const DWORD NorDeviceCodeCount = sizeof NorDeviceCodes / sizeof NorDeviceCodes[0];

int NorDeviceTypeFor(DWORD device_code) {
  for (DWORD i = 0; i < NorDeviceCodeCount; ++i) {
    if (NorDeviceCodes[i].Code == device_code) return NorDeviceCodes[i].Type;
  }
  return 0;
}

int NorInitialize() {
  BYTE* probe = static_cast<BYTE*>(MapPhysicalWindow(0));
  if (!probe) return 0;

  MmioWrite32(probe, kNorReadIdentifier);
  DWORD manufacturer = MmioRead32(probe);
  DWORD device = MmioRead32(probe + 4);
  if (manufacturer != kIntelManufacturer) {
    MmioWrite32(probe, kNorReadArray);
    UnmapPhysical(probe);
    return 0;
  }
  FlashOps.DeviceType = NorDeviceTypeFor(device & 0xFFFF);

  MmioWrite32(probe, kNorCfiQuery);
  DWORD size_log2 = MmioRead32(probe + kCfiDeviceSizeOffset) & 0xFF;
  // Two chips of 2^n bytes each, at most 64 MB.
  FlashOps.FlashSize = size_log2 >= 25 ? kMaxFlashSize : 2u << size_log2;
  MmioWrite32(probe, kNorReadArray);
  UnmapPhysical(probe);

  NorWindow = static_cast<BYTE*>(MapPhysicalRange(0, FlashOps.FlashSize));
  if (!NorWindow) {
    // Without the window every bounded operation must fail rather than reach it.
    FlashOps.FlashSize = 0;
    return 0;
  }
  NorUnlockBlocks();
  Command(0, kNorClearStatus);
  Command(0, kNorReadArray);
  return 1;
}

DWORD NorBlockSize(DWORD offset) {
  if (FlashOps.DeviceType == kNorTypeBottomBoot && offset < kBootAreaBytes)
    return kParameterBlockSize;
  return kMainBlockSize;
}

int NorUnlockBlocks() {
  // The boot area keeps its lock bits until NorEraseBlock unlocks its blocks one by one.
  for (DWORD offset = 0; offset < FlashOps.FlashSize; offset += NorBlockSize(offset)) {
    if (offset >= kBootAreaBytes) NorUnlockBlock(offset);
  }
  return 1;
}

int NorUnlockBlock(DWORD offset) {
  Command(offset, kNorReadIdentifier);
  if ((Read(offset + kNorLockConfigOffset) & kNorLockedBits) == 0) {
    Command(offset, kNorReadArray);
    return 1;
  }
  // Error bits stay set until cleared: an earlier failure must not fail this unlock.
  Command(offset, kNorClearStatus);
  Command(offset, kNorLockSetup);
  Command(offset, kNorConfirm);
  // J3 clears its lock bits as a timed operation and takes no command but Read Status until
  // it is done: wait for both chips before asking for the lock word.
  DWORD status;
  if (!PollReady(offset, GetTickCount(), kUnlockTimeoutMs, &status)) return 0;
  if (status & kNorStatusErrors) {
    Command(offset, kNorClearStatus);
    Command(offset, kNorReadArray);
    return 0;
  }
  Command(offset, kNorReadIdentifier);
  DWORD lock = Read(offset + kNorLockConfigOffset);
  Command(offset, kNorReadArray);
  return (lock & kNorLockedBits) == 0 ? 1 : 0;
}

int NorIsBlank(DWORD offset, DWORD size) {
  // Never look past the end of the flash.
  if (offset >= FlashOps.FlashSize) return 1;
  if (size > FlashOps.FlashSize - offset) size = FlashOps.FlashSize - offset;
  DWORD words[256];
  DWORD left = size & ~3u;
  while (left) {
    DWORD take = left < sizeof words ? left : sizeof words;
    MmioReadBlock(words, At(offset), take);
    for (DWORD i = 0; i < take / 4; ++i) {
      if (words[i] != 0xFFFFFFFF) return 0;
    }
    offset += take;
    left -= take;
  }
  return 1;
}

int NorEraseBlock(DWORD offset) {
  if (!NorUnlockBlock(offset)) {
    FlashOps.LastFailure = kFlashFailLocked;
    return 0;
  }
  FlashOps.LastFailure = kFlashFailNone;
  if (NorIsBlank(offset, NorBlockSize(offset))) return 1;

  // Error bits stay set until cleared: an earlier failure must not fail this erase, and a
  // J3 takes no buffered program while SR.4 or SR.5 is set.
  Command(offset, kNorClearStatus);
  Command(offset, kNorBlockEraseSetup);
  Command(offset, kNorConfirm);
  DWORD start = GetTickCount();
  bool ready = false;
  if (GetTickCount() - start < kEraseTimeoutMs) {
    for (;;) {
      if (Ready(Read(offset))) {
        ready = true;
        break;
      }
      Sleep(kErasePollSleepMs);
      if (GetTickCount() - start >= kEraseTimeoutMs) break;
    }
  }
  if (!ready) {
    Command(offset, kNorReadArray);
    FlashOps.LastFailure = kFlashFailTimeout;
    return 0;
  }
  DWORD status = Read(offset);
  Command(offset, kNorReadArray);
  if (status & kNorStatusErrors) FlashOps.LastFailure = FailureOf(status);
  return (status & kNorStatusErrors) ? 0 : 1;
}

int NorEraseRange(DWORD offset, DWORD length) {
  DWORD start = offset - offset % NorBlockSize(offset);
  ULONGLONG end = static_cast<ULONGLONG>(offset) + length;
  DWORD end_block = NorBlockSize(end > 0xFFFFFFFFu ? 0xFFFFFFFF : static_cast<DWORD>(end));
  ULONGLONG stop = (end + end_block - 1) / end_block * end_block;
  if (stop > FlashOps.FlashSize) return 0;
  DWORD total = static_cast<DWORD>(stop) - start;
  if (total == 0) return 1;

  EraseProgressState progress;
  BeginEraseProgress(&progress, total);
  for (DWORD block = start; block < stop;) {
    if (!ReportEraseProgress(&progress)) return 0;
    if (!NorEraseBlock(block)) return 0;
    DWORD size = NorBlockSize(block);
    AdvanceEraseProgress(&progress, size);
    block += size;
  }
  return 1;
}

DWORD NorReadWord(DWORD offset) {
  if (offset >= FlashOps.FlashSize || FlashOps.FlashSize - offset < 4) return 0;
  if ((offset & 3) == 0) return Read(offset);
  DWORD word;
  MmioReadBlock(&word, At(offset), 4);
  return word;
}

int NorReadBuffer(void* destination, DWORD offset, DWORD count) {
  if (offset >= FlashOps.FlashSize || count > FlashOps.FlashSize - offset) return 0;
  MmioReadBlock(destination, At(offset), count);
  return 1;
}

int NorSetEcc(int) { return 0; }

int NorWriteWord(DWORD offset, DWORD value) {
  // A word program needs a whole, aligned bus word inside the flash.
  FlashOps.LastFailure = kFlashFailOther;
  if (offset >= FlashOps.FlashSize || (offset & 3)) return 0;
  Command(offset, kNorClearStatus);
  Command(offset, kNorWordProgram);
  MmioWrite32(At(offset), value);
  DWORD start = GetTickCount();
  DWORD status;
  if (!PollReady(offset, start, kWordTimeoutMs, &status)) {
    Command(offset, kNorReadArray);
    FlashOps.LastFailure = kFlashFailTimeout;
    return 0;
  }
  status = Read(offset);
  Command(offset, kNorReadArray);
  FlashOps.LastFailure = (status & kNorProgramErrors) ? FailureOf(status) : kFlashFailNone;
  return (status & kNorProgramErrors) ? 0 : 1;
}

int NorWriteBuffer(const void* source, DWORD offset, DWORD count) {
  FlashOps.LastFailure = kFlashFailOther;
  if (offset >= FlashOps.FlashSize || count > FlashOps.FlashSize - offset) return 0;
  FlashOps.LastFailure = kFlashFailNone;
  if (count == 0) return 1;  // nothing to program, wherever it is
  const BYTE* bytes = static_cast<const BYTE*>(source);
  // Whole bus words from the aligned start; bytes outside the write are filled with 0xFF.
  DWORD chunk = offset & ~3u;
  DWORD left = ((offset & 3) + count + 3) & ~3u;
  if (left == 0) return 1;

  DWORD last_word = chunk;
  Command(chunk, kNorClearStatus);
  while (left) {
    DWORD take = left < kBufferBytes ? left : kBufferBytes;
    DWORD room = kBufferBytes - (chunk & (kBufferBytes - 1));
    if (take > room) take = room;
    DWORD words = take / 4;
    DWORD start = GetTickCount();
    DWORD status;

    Command(chunk, kNorBufferedProgram);
    if (!PollReady(chunk, start, kBufferTimeoutMs, &status)) {
      Command(chunk, kNorReadArray);
      FlashOps.LastFailure = kFlashFailTimeout;
      return 0;
    }
    MmioWrite32(At(chunk), (words - 1) | ((words - 1) << 16));
    DWORD data[kBufferBytes / 4];
    if (chunk >= offset && chunk - offset + take <= count) {
      // The whole buffer lies inside the write: its words as they are.
      memcpy(data, bytes + (chunk - offset), take);
    } else {
      for (DWORD i = 0; i < words; ++i) data[i] = SourceWord(bytes, offset, count, chunk + 4 * i);
    }
    MmioWriteBlock(At(chunk), data, words);
    last_word = chunk + 4 * (words - 1);
    Command(last_word, kNorConfirm);
    if (!PollReady(last_word, start, kBufferTimeoutMs, &status) || (status & kNorProgramErrors)) {
      FlashOps.LastFailure =
          (status & kNorProgramErrors) ? FailureOf(status) : static_cast<int>(kFlashFailTimeout);
      Command(chunk, kNorReadArray);
      return 0;
    }
    chunk += take;
    left -= take;
  }
  Command(last_word, kNorReadArray);
  return 1;
}
