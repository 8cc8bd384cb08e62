// The table of flash operations through which everything above the drivers reaches the
// flash, and the choice of driver. Offsets are bytes from the start of the flash as the
// active driver presents it; sizes and counts are bytes; results are 1 success, 0 failure.
#pragma once

#include "ce/types.h"

/// Erase progress: (bytes done, bytes in all) → 0 to stop the erase.
typedef int (*ProgressCallbackFn)(DWORD done, DWORD total);

/// The boot area: the bootloader's flash from offset 0, kept locked on NOR (its parameter
/// blocks on bottom-boot chips) and tied together on NAND, where logical page 63 lives in
/// physical block 1.
const DWORD kBootAreaBytes = 0x40000;

enum FlashDriverKind { kDriverNone = 0, kDriverNor = 1, kDriverNand = 2 };

/// Why the last erase or write through the table failed, as the chip reported it.
enum FlashFailure {
  kFlashFailNone = 0,
  kFlashFailLocked = 1,   // NOR: the block is locked (SR.1), or would not unlock
  kFlashFailProgram = 2,  // a program error: NOR SR.4 or SR.3; NAND: the chip's fail bit
  kFlashFailErase = 3,    // an erase error: NOR SR.5; NAND: the chip's fail bit
  kFlashFailTimeout = 4,  // the chip never reported ready
  kFlashFailOther = 5     // refused before anything was sent (a range, the reserve)
};

struct FlashOpsTable {
  /// Erases every block the range touches; 0 also when the progress callback stops it.
  int (*EraseRange)(DWORD offset, DWORD length);
  /// Size of the erase block that holds `offset`.
  DWORD (*BlockSize)(DWORD offset);
  /// Chip type number set by the driver's initialisation.
  int DeviceType;
  int (*ReadBuffer)(void* destination, DWORD offset, DWORD count);
  /// The 32-bit word at `offset`; 0 also on failure.
  DWORD (*ReadWord)(DWORD offset);
  /// 0 none, 1 NOR, 2 NAND.
  int DriverKind;
  /// Data bytes of one flash page; empty on NOR.
  DWORD (*PageSize)();
  ProgressCallbackFn ProgressCallback;
  /// Switches hardware ECC; returns the previous setting.
  int (*SetEcc)(int enable);
  /// Bytes addressable through the table.
  DWORD FlashSize;
  /// Bytes of erase progress between two callback calls.
  DWORD ProgressInterval;
  int (*WriteWord)(DWORD offset, DWORD value);
  int (*WriteBuffer)(const void* source, DWORD offset, DWORD count);
  /// A FlashFailure: set by an erase or write that fails, kFlashFailNone by one that works.
  int LastFailure;
};

extern FlashOpsTable FlashOps;

/// Identifies the processor and initialises its flash driver, once per process after a
/// success. Returns the DriverKind: 1 NOR, 2 NAND, 0 failure (the next call tries again).
int SelectFlashDriver();

/// Installs the erase-progress callback and its interval in bytes.
void SetProgressCallback(ProgressCallbackFn callback, DWORD interval);

/// Erase progress of one range erase, shared by the drivers: a call before each block once
/// the bytes done reach the threshold, which grows by one interval per call.
struct EraseProgressState {
  DWORD done;
  DWORD threshold;
  DWORD total;
};

void BeginEraseProgress(EraseProgressState* state, DWORD total);
/// Call before erasing each block; 0 means stop the erase now.
int ReportEraseProgress(EraseProgressState* state);
/// Call after each block is erased.
void AdvanceEraseProgress(EraseProgressState* state, DWORD block_bytes);

/// Whether `count` bytes read from an erased NAND page: at most one bit 0 in each 512-byte
/// step (a bit that flipped since the erase, which the ECC would correct in a programmed page).
int ErasedButForBitFlips(const BYTE* bytes, DWORD count);

/// After an erase that may have stopped part way (failed, or stopped by its progress
/// callback), puts `kept`, what [offset, offset + count) held before the erase, back into
/// every page of the range that now reads erased; pages the erase did not reach are left as
/// they are. Each page written is read back. 1 when every page that was erased holds its kept
/// bytes again, 0 when one does not read or could not be written back. On NOR a page is 512 bytes.
int WriteBackErasedPages(const BYTE* kept, DWORD offset, DWORD count);
