// The page write-back cache between the update and the flash driver: on NAND it turns pieces
// at arbitrary offsets into writes of whole pages, filling what no piece supplies with 0xFF;
// on NOR it passes every write straight through.
#pragma once

#include "ce/types.h"

struct CacheUnitSize {
  DWORD Size;  // the flash page size, taken when the buffer is allocated
  DWORD Mask;  // Size - 1
};

extern CacheUnitSize CacheUnit;
/// Unit base whose data the buffer holds, or 0xFFFFFFFF when none.
extern DWORD PendingUnit;
/// Unit base the data has reached; units from here to a later piece are gaps, written as
/// 0xFF. 0xFFFFFFFF when not known yet.
extern DWORD WriteMark;

/// Writes `count` bytes at flash offset `offset` through the cache; `count` 0 is the run's
/// final call, which writes the pending unit and frees the buffer. 1 when every flash write
/// succeeded.
int CachedWrite(const void* source, DWORD offset, DWORD count);
