// The update worker: writes one Windows CE BIN image file into the flash, on a thread of its
// own, reporting into the update dialog.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"
#include "flash/flash_ops.h"    // kBootAreaBytes
#include "update/bin_format.h"  // ImageOffsetFor

/// Bytes of the boot area an update writes: its last 2048 bytes are never written.
const DWORD kBootAreaWritten = kBootAreaBytes - 2048;
const DWORD kChunkBytes = 0x4000;

extern HWND UpdateDialogWindow;
/// Added (mod 2^32) to the image start and to every record address to give flash offsets.
extern DWORD ImageOffset;
/// The translated image start, a flash offset.
extern DWORD ImageStart;
extern DWORD ImageLength;
/// NAND: RAM copy of flash offsets 0 to 0x3FFFF, written and verified at the end of a run.
extern BYTE BootAreaImage[kBootAreaBytes];
extern int BootAreaUsed;
/// The flash offset from which the running erase counts its progress: the first block's start.
extern DWORD EraseStart;

/// Writes the image named by ImagePath; 1 for a complete update. Ends the dialog.
int UpdateWorker(HWND dialog);

/// The sum of the bytes, each 0..255, in a wrapping 32-bit accumulator.
DWORD ByteSum(const BYTE* bytes, DWORD count);
