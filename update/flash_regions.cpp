#include "update/flash_regions.h"

#include "ce/registry.h"
#include "ce/wide_text.h"
#include "flash/flash_ops.h"
#include "platform/platform_codes.h"
#include "shell/version_report.h"

FlashRegion RegionTable[kRegionCount] = {
    {TEXT("Bootloader"), 0, 0x40000, 3, 0},
    {TEXT("ConfigBlock"), 0x40000, 0x40000, 3, 0},
    {TEXT("IMAGE"), 0x80000, 0x1400000, 3, 0},
    {TEXT("Registry"), 0x1400000, 0x80000, 0, 0},
    {TEXT("FileSystem"), 0x14800000, 0xB800000, 0, 0},
};

namespace {

const DWORD kChunkBytes = 4096;
const DWORD kConfigBlockMaxBytes = 0x40000;
const DWORD kSecondBootImage = 0x8000;
const DWORD kImagePlace = 0x80000;
const DWORD kImageOtherPlace = 0xC8000;
const DWORD kErasedWord = 0xFFFFFFFF;
const int kQuestionChars = 256;

DWORD RoundToBlocks(DWORD size) { return (size + 0x3FFFF) & ~0x3FFFFu; }

void SetMeasured(FlashRegion& region, DWORD start, DWORD size) {
  region.Start = start;
  region.MeasuredSize = size;
  region.Length = RoundToBlocks(size);
}

bool HasMagic(DWORD offset, DWORD* chunk) {
  return FlashOps.ReadBuffer(chunk, offset, kChunkBytes) && chunk[0] == ConfigBlockMagic;
}

// `may_move`: a block found only at its old place is moved to its current place.
void LoadConfigBlock(bool may_move) {
  DWORD chunk[kChunkBytes / 4];
  DWORD place;
  bool move = false;
  if (HasMagic(kConfigBlockPlace, chunk)) {
    place = kConfigBlockPlace;
  } else if (HasMagic(kConfigBlockOldPlace, chunk)) {
    if (may_move) FlashOps.EraseRange(kConfigBlockPlace, kConfigBlockMaxBytes);
    place = kConfigBlockOldPlace;
    move = may_move;
  } else {
    SetMeasured(RegionTable[kRegionConfigBlock], kConfigBlockPlace, 0);
    return;
  }
  // The used length ends before the first erased word; a move copies every chunk up to and
  // including the one that holds it.
  DWORD used = kConfigBlockMaxBytes;
  for (DWORD offset = 0; offset < kConfigBlockMaxBytes; offset += kChunkBytes) {
    if (!FlashOps.ReadBuffer(chunk, place + offset, kChunkBytes) && move) {
      // A chunk that does not read cannot be copied: the copy begun is erased again, and the
      // block stays at its old place alone, where the next refresh finds it.
      FlashOps.EraseRange(kConfigBlockPlace, kConfigBlockMaxBytes);
      move = false;
    }
    if (move) FlashOps.WriteBuffer(chunk, kConfigBlockPlace + offset, kChunkBytes);
    DWORD i = 0;
    while (i < kChunkBytes / 4 && chunk[i] != kErasedWord) ++i;
    if (i < kChunkBytes / 4) {
      used = offset + 4 * i;
      break;
    }
  }
  SetMeasured(RegionTable[kRegionConfigBlock], place, used);
}

void LoadFileSystem() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\StrataFMD"), 0, 0, &key) !=
          ERROR_SUCCESS &&
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BlockDevice\\StrataFMD"), 0, 0, &key) !=
          ERROR_SUCCESS) {
    return;
  }
  FlashRegion& fs = RegionTable[kRegionFileSystem];
  DWORD size = sizeof fs.Start;
  RegQueryValueExW(key, TEXT("MemBase"), NULL, NULL, reinterpret_cast<BYTE*>(&fs.Start), &size);
  size = sizeof fs.Length;
  RegQueryValueExW(key, TEXT("MemLen"), NULL, NULL, reinterpret_cast<BYTE*>(&fs.Length), &size);
  RegCloseKey(key);
}

void Load(bool may_move) {
  DWORD size = ImageSizeAt(0);
  if (size == 0) {
    size = ImageSizeAt(kSecondBootImage);
    if (size) size += kSecondBootImage;
  }
  SetMeasured(RegionTable[kRegionBootloader], 0, size);

  LoadConfigBlock(may_move);

  DWORD image_start = kImagePlace;
  size = ImageSizeAt(kImagePlace);
  if (size == 0) {
    image_start = kImageOtherPlace;
    size = ImageSizeAt(kImageOtherPlace);
  }
  SetMeasured(RegionTable[kRegionImage], image_start, size);

  DWORD layout[kConfigItemLayoutSize / 4] = {};
  if (GetConfigItem(kConfigItemLayout, layout, sizeof layout)) {
    RegionTable[kRegionRegistry].Start = layout[1];
    RegionTable[kRegionRegistry].Length = 2 * layout[2];
  }

  LoadFileSystem();
}

}  // namespace

int LoadRegionTable() {
  Load(true);
  return 1;
}

int MeasureRegionTable() {
  Load(false);
  return 1;
}

int CheckImageRegions(int index, DWORD start, DWORD length, HWND owner) {
  LoadRegionTable();
  DWORD mask = 0;
  for (int r = 0; r < kRegionCount; ++r) {
    const FlashRegion& region = RegionTable[r];
    if (r != index && start < region.Start + region.Length && start + length > region.Start) {
      mask |= 1u << r;
    }
  }
  if (mask == 0) return 1;

  WCHAR question[kQuestionChars];
  if (index == -1) {
    StringCchCopyW(question, kQuestionChars,
                   TEXT("This Image will overwrite the following sections:\n"));
    for (int r = 0; r < kRegionCount; ++r) {
      if (!(mask & (1u << r))) continue;
      StringCchCatW(question, kQuestionChars, RegionTable[r].Name);
      StringCchCatW(question, kQuestionChars, TEXT("\n"));
    }
    StringCchCatW(question, kQuestionChars, TEXT("\n\nAre you sure you want to continue?"));
    return MessageBoxW(owner, question, TEXT("WARNING"),
                       MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDOK
               ? 1
               : 0;
  }
  // A write meant for one region: name the first other region it would reach.
  int first = 0;
  while (!(mask & (1u << first))) ++first;
  wsprintfW(question, TEXT("With this settings you override the %s.\nAbort?"),
            RegionTable[first].Name);
  return MessageBoxW(owner, question, TEXT("WARNING"), MB_YESNO | MB_ICONEXCLAMATION) == IDYES ? 0
                                                                                               : 1;
}
