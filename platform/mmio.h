// Register and flash access through a physical mapping. Drivers never dereference a mapped
// pointer themselves; on the device these are volatile loads and stores, on the host they
// reach the virtual module's physical bus.
#pragma once

#include "ce/types.h"

#if defined(_WIN32_WCE)
#include <string.h>

inline DWORD MmioRead32(const volatile void* address) {
  return *static_cast<const volatile DWORD*>(address);
}
inline void MmioWrite32(volatile void* address, DWORD value) {
  *static_cast<volatile DWORD*>(address) = value;
}
inline void MmioReadBlock(void* destination, const volatile void* address, DWORD count) {
  memcpy(destination, const_cast<const void*>(address), count);
}
#else
/// Reads the 32-bit word at `address` (4-byte aligned, inside a physical mapping).
DWORD MmioRead32(const volatile void* address);
/// Writes the 32-bit word at `address` (4-byte aligned, inside a physical mapping).
void MmioWrite32(volatile void* address, DWORD value);
/// Copies `count` bytes from the mapping at `address` (4-byte aligned) to `destination`.
void MmioReadBlock(void* destination, const volatile void* address, DWORD count);
#endif
