// Intel CFI NOR flash on the PXA270: two 16-bit chips side by side on a 32-bit bus, mapped
// from physical address 0. Every command goes to both chips at once (the 16-bit command in
// both halves of the bus word), and every status word holds both chips' status registers.
#pragma once

#include "ce/types.h"

/// A device code the driver knows and the DeviceType it gives: 1 J3, 2 K3, 3 P30 bottom-boot
/// (parameter blocks at the bottom); any other code gives 0 (uniform blocks).
struct NorDeviceCode {
  WORD Code;
  int Type;
};
const int kNorTypeJ3 = 1;
const int kNorTypeK3 = 2;
const int kNorTypeBottomBoot = 3;
extern const NorDeviceCode NorDeviceCodes[];
extern const DWORD NorDeviceCodeCount;
int NorDeviceTypeFor(DWORD device_code);

/// The mapping of the whole flash, FlashSize bytes from physical 0.
extern BYTE* NorWindow;

/// Identifies the chips, sizes the flash from CFI, maps it and unlocks the blocks above the
/// boot area. 1 on success, 0 when the chips are not Intel's or a mapping fails.
int NorInitialize();

/// Erases every block the range touches (a length of 0 inside a block erases that block),
/// with erase progress. 0 when the rounded range passes FlashSize, a block fails, or the
/// progress callback stops it.
int NorEraseRange(DWORD offset, DWORD length);
/// 64 KB below 0x40000 on type-3 devices (bottom parameter blocks), 256 KB elsewhere.
DWORD NorBlockSize(DWORD offset);
int NorReadBuffer(void* destination, DWORD offset, DWORD count);
/// The 32-bit word at `offset`; 0 when out of range.
DWORD NorReadWord(DWORD offset);
/// NOR has no ECC to switch: does nothing, returns 0.
int NorSetEcc(int enable);
/// Programs one 32-bit word (both chips) with Word Program.
int NorWriteWord(DWORD offset, DWORD value);
/// Programs `count` bytes through the chips' write buffers, 64 bus bytes per sequence. A
/// partial word at either end is filled with 0xFF, which leaves those cells as they are.
int NorWriteBuffer(const void* source, DWORD offset, DWORD count);

int NorUnlockBlocks();
int NorUnlockBlock(DWORD offset);
/// 1 when every 32-bit word of [offset, offset + size) reads 0xFFFFFFFF.
int NorIsBlank(DWORD offset, DWORD size);
int NorEraseBlock(DWORD offset);
