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
inline void MmioWriteBlock(volatile void* address, const DWORD* source, DWORD count) {
  for (DWORD i = 0; i < count; ++i) static_cast<volatile DWORD*>(address)[i] = source[i];
}
inline void MmioReadRepeat32(void* destination, const volatile void* address, DWORD count) {
  BYTE* to = static_cast<BYTE*>(destination);
  for (DWORD i = 0; i < count; ++i) {
    DWORD word = *static_cast<const volatile DWORD*>(address);
    memcpy(to + 4 * i, &word, 4);
  }
}
inline void MmioWriteRepeat32(volatile void* address, const void* source, DWORD count) {
  const BYTE* from = static_cast<const BYTE*>(source);
  for (DWORD i = 0; i < count; ++i) {
    DWORD word;
    memcpy(&word, from + 4 * i, 4);
    *static_cast<volatile DWORD*>(address) = word;
  }
}
#else
/// Reads the 32-bit word at `address` (4-byte aligned, inside a physical mapping).
DWORD MmioRead32(const volatile void* address);
/// Writes the 32-bit word at `address` (4-byte aligned, inside a physical mapping).
void MmioWrite32(volatile void* address, DWORD value);
/// Copies `count` bytes from the mapping at `address` (4-byte aligned) to `destination`.
void MmioReadBlock(void* destination, const volatile void* address, DWORD count);
/// Writes the `count` words of `source` to `count` consecutive words from `address` (4-byte
/// aligned), in order: one 32-bit store each, as a loop of MmioWrite32 does.
void MmioWriteBlock(volatile void* address, const DWORD* source, DWORD count);
/// Reads the one 32-bit register at `address` `count` times, the words to `destination` (any
/// alignment) in order: a data FIFO emptied as Linux's readsl does.
void MmioReadRepeat32(void* destination, const volatile void* address, DWORD count);
/// Writes `count` words from `source` (any alignment) to the one register at `address`, in
/// order: a data FIFO filled as Linux's writesl does.
void MmioWriteRepeat32(volatile void* address, const void* source, DWORD count);
#endif
