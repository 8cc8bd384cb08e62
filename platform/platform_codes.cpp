#include "platform/platform_codes.h"

#include "ce/kernel.h"

DWORD GetConfigItem(DWORD item, void* buffer, DWORD size) {
  ConfigRequest request = {item, reinterpret_cast<ULONG_PTR>(buffer), size};
  DWORD returned = 0;
  KernelIoControl(kIoctlConfigGet, &request, sizeof request, buffer, size, &returned);
  return returned;
}

BOOL SetConfigItem(DWORD item, void* buffer, DWORD size) {
  ConfigRequest request = {item, reinterpret_cast<ULONG_PTR>(buffer), size};
  DWORD returned = 0;
  return KernelIoControl(kIoctlConfigSet, &request, sizeof request, buffer, size, &returned);
}
