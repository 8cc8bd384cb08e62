// The platform layer's control codes besides the kernel call, and the configuration request.
#pragma once

#include "ce/types.h"

const DWORD kIoctlConfigGet = 0x01012028;      // configuration item get
const DWORD kIoctlConfigSet = 0x0101202C;      // configuration item set
const DWORD kIoctlImageVersion = 0x0101200C;   // the running image's VersionInfo
const DWORD kIoctlRegistryClear = 0x01012010;  // clear the registry kept in flash
const DWORD IOCTL_HAL_REBOOT = 0x0101003C;

/// Configuration item 0: 8 bytes the update saves and writes back unchanged.
const DWORD kConfigItemSaved = 0;
const DWORD kConfigItemSavedSize = 8;
/// Configuration item 5: word 0 the flash offset of an operating-system image, word 1 the
/// registry area's start, word 2 half the registry area's length.
const DWORD kConfigItemLayout = 5;
const DWORD kConfigItemLayoutSize = 24;

/// The input of the configuration codes. The same buffer is also the control call's output.
struct ConfigRequest {
  ULONG_PTR item;
  ULONG_PTR buffer;  // address of the caller's result buffer
  ULONG_PTR size;    // its size in bytes
};
// The platform layer expects 12 bytes on the device (pointers are 32 bits there).
C_ASSERT(sizeof(void*) != 4 || sizeof(ConfigRequest) == 12);

/// Asks for configuration item `item` into `buffer`; returns the byte count the platform
/// answered with, 0 when it did not answer.
DWORD GetConfigItem(DWORD item, void* buffer, DWORD size);
/// Stores configuration item `item` from `buffer`; the result is the control call's.
BOOL SetConfigItem(DWORD item, void* buffer, DWORD size);
