#include "platform/reboot.h"

#include "ce/kernel.h"
#include "platform/platform_codes.h"

void Reboot(int cold) {
  if (!cold) {
    KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL);
    return;
  }
  PrepareColdStart(1);
  DWORD cold_start = 0;
  KernelIoControl(IOCTL_HAL_REBOOT, &cold_start, sizeof cold_start, NULL, 0, NULL);
}
