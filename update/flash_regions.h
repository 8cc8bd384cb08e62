// The five named regions of the flash and the warning before an image overwrites them.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"

struct FlashRegion {
  const WCHAR* Name;
  DWORD Start;         // flash offset
  DWORD Length;        // bytes
  DWORD Attribute;     // 3 for the boot regions, 0 for the others; nothing reads it
  DWORD MeasuredSize;  // size found in flash before rounding (first three regions)
};

enum RegionIndex {
  kRegionBootloader = 0,
  kRegionConfigBlock = 1,
  kRegionImage = 2,
  kRegionRegistry = 3,
  kRegionFileSystem = 4,
  kRegionCount = 5
};

extern FlashRegion RegionTable[kRegionCount];

const DWORD ConfigBlockMagic = 0xCF014000;
const DWORD kConfigBlockPlace = 0x40000;
const DWORD kConfigBlockOldPlace = 0x88000;

/// Refreshes the five regions from the flash, the platform layer and the registry, moving a
/// configuration block found only at its old place to its current place. Returns 1.
int LoadRegionTable();
/// The same, reading only: a configuration block found at its old place stays there, and the
/// table names it there. Returns 1.
int MeasureRegionTable();

/// Refreshes the table and asks whether a write of [start, start + length) may go on over the
/// regions it overlaps, leaving out region `index` (-1: a whole image, every region counts).
/// 1 to go on, 0 when the user stops.
int CheckImageRegions(int index, DWORD start, DWORD length, HWND owner);
