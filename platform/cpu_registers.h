// Processor-register accessors. Each reads or writes one register and nothing else. All but
// ReadCpsr need a privileged processor mode.
#pragma once

#include "ce/types.h"

#if defined(__arm__)
inline DWORD ReadCpsr() {
  DWORD v;
  asm volatile("mrs %0, cpsr" : "=r"(v));
  return v;
}
inline DWORD ReadClockConfig() {
  DWORD v;
  asm volatile("mrc p14, 0, %0, c6, c0, 0" : "=r"(v));
  return v;
}
inline void WriteClockConfig(DWORD v) { asm volatile("mcr p14, 0, %0, c6, c0, 0" : : "r"(v)); }
inline DWORD ReadPowerMode() {
  DWORD v;
  asm volatile("mrc p14, 0, %0, c7, c0, 0" : "=r"(v));
  return v;
}
inline void WritePowerMode(DWORD v) { asm volatile("mcr p14, 0, %0, c7, c0, 0" : : "r"(v)); }
inline DWORD ReadPerfMonControl() {
  DWORD v;
  asm volatile("mrc p14, 0, %0, c0, c1, 0" : "=r"(v));
  return v;
}
inline void WritePerfMonControl(DWORD v) { asm volatile("mcr p14, 0, %0, c0, c1, 0" : : "r"(v)); }
inline DWORD ReadClockCounter() {
  DWORD v;
  asm volatile("mrc p14, 0, %0, c1, c1, 0" : "=r"(v));
  return v;
}
inline DWORD ReadMainId() {
  DWORD v;
  asm volatile("mrc p15, 0, %0, c0, c0, 0" : "=r"(v));
  return v;
}
inline DWORD ReadControlBit26() {
  DWORD v;
  asm volatile("mrc p15, 0, %0, c1, c0, 0" : "=r"(v));
  return v & 0x04000000;
}
#else
DWORD ReadCpsr();
DWORD ReadClockConfig();
void WriteClockConfig(DWORD value);
DWORD ReadPowerMode();
void WritePowerMode(DWORD value);
DWORD ReadPerfMonControl();
void WritePerfMonControl(DWORD value);
DWORD ReadClockCounter();
DWORD ReadMainId();
/// The control register's bit 26 (0x04000000), other bits masked off.
DWORD ReadControlBit26();
#endif

/// The processor's part number: bits 9..4 of the main ID register. 17 is the PXA270.
inline DWORD ReadCpuPartNumber() { return (ReadMainId() >> 4) & 0x3F; }
