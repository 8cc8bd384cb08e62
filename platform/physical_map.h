// Physical memory mapped into the process: directly with VirtualCopy in a privileged mode,
// through the platform layer's kernel call in user mode.
#pragma once

#include "ce/types.h"

/// Read-write, uncached, physical source: the protection of every physical mapping.
const DWORD kPhysicalMapProtection = PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL;

/// Maps `size` bytes of physical pages from `page_number` (physical address >> 8) at
/// `destination`, inside a reservation. Non-zero when mapped.
int MapPhysical(void* destination, DWORD page_number, DWORD size, DWORD protection);

/// An 8 KB window over the 4 KB page that holds `physical` and the next one; the result points
/// at the word of `physical` (in-page offset rounded down to 4). Null on failure.
void* MapPhysicalWindow(DWORD physical);

/// The whole range [physical, physical + size). Null on failure or when size is 0.
void* MapPhysicalRange(DWORD physical, DWORD size);

/// Releases the reservation behind a pointer from MapPhysicalWindow or MapPhysicalRange.
void UnmapPhysical(void* pointer);
