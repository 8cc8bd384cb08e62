#include "update/page_cache.h"

#include <string.h>

#include "ce/kernel.h"
#include "flash/flash_ops.h"

CacheUnitSize CacheUnit = {0, 0};
DWORD PendingUnit = 0xFFFFFFFF;
DWORD WriteMark = 0xFFFFFFFF;

namespace {

const DWORD kNone = 0xFFFFFFFF;

BYTE* UnitBuffer = NULL;

int WriteUnit(const void* source, DWORD offset, DWORD count) {
  return FlashOps.WriteBuffer(source, offset, count) ? 1 : 0;
}

int FinishRun() {
  int result = 1;
  if (PendingUnit != kNone) result = WriteUnit(UnitBuffer, PendingUnit, CacheUnit.Size);
  PendingUnit = kNone;
  WriteMark = kNone;
  if (UnitBuffer) LocalFree(UnitBuffer);
  UnitBuffer = NULL;
  return result;
}

}  // namespace

int CachedWrite(const void* source, DWORD offset, DWORD count) {
  if (FlashOps.DriverKind == kDriverNor) {
    return count ? FlashOps.WriteBuffer(source, offset, count) : 1;
  }
  if (count == 0) return FinishRun();
  // Without a page-based driver there is nowhere to write.
  if (FlashOps.DriverKind != kDriverNand || !FlashOps.PageSize || !FlashOps.WriteBuffer) return 0;

  if (!UnitBuffer) {
    DWORD size = FlashOps.PageSize();
    if (size == 0 || (size & (size - 1))) return 0;
    UnitBuffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, size));
    if (!UnitBuffer) return 0;
    memset(UnitBuffer, 0xFF, size);
    CacheUnit.Size = size;
    CacheUnit.Mask = size - 1;
  }

  const BYTE* data = static_cast<const BYTE*>(source);
  const DWORD size = CacheUnit.Size;
  const DWORD mask = CacheUnit.Mask;
  int result = 1;
  while (count) {
    DWORD unit = offset & ~mask;
    DWORD at = offset & mask;
    if (PendingUnit != kNone && unit != PendingUnit) {
      result &= WriteUnit(UnitBuffer, PendingUnit, size);
      memset(UnitBuffer, 0xFF, size);
      WriteMark = PendingUnit + size;
      PendingUnit = kNone;
    }
    // Units skipped over get all-0xFF pages; the buffer holds only 0xFF here.
    while (WriteMark != kNone && unit > WriteMark) {
      result &= WriteUnit(UnitBuffer, WriteMark, size);
      WriteMark += size;
    }
    DWORD placed;
    if (at + count < size) {
      if (PendingUnit == kNone) PendingUnit = unit;
      placed = count;
      memcpy(UnitBuffer + at, data, placed);
    } else if (PendingUnit != kNone) {
      placed = size - at;
      memcpy(UnitBuffer + at, data, placed);
    } else if (at == 0) {
      placed = count & ~mask;
      result &= WriteUnit(data, offset, placed);
    } else {
      PendingUnit = unit;
      placed = size - at;
      memcpy(UnitBuffer + at, data, placed);
    }
    data += placed;
    offset += placed;
    count -= placed;
    WriteMark = offset & ~mask;
  }
  return result;
}
