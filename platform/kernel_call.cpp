#include "platform/kernel_call.h"

#include "ce/kernel.h"
#include "platform/cpu_registers.h"

int IsPrivilegedMode() { return static_cast<int>(ReadCpsr() & 0xF); }

DWORD RunInKernelMode(KernelRoutine routine, void* argument) {
  KernelCallRoutineInput input = {KernelCallRoutine, reinterpret_cast<ULONG_PTR>(routine),
                                  reinterpret_cast<ULONG_PTR>(argument)};
  DWORD result = 0;
  if (!routine) return 0;
  // A failed call leaves the preset 0, which is all the caller can see either way.
  KernelIoControl(KernelCall, &input, sizeof input, &result, sizeof result, NULL);
  return result;
}

DWORD KernelTrampoline(void* record) {
  const KernelCallRecord* call = static_cast<const KernelCallRecord*>(record);
  return call->routine(call->first, call->second);
}

namespace {
// ReadCpuPartNumber in the two-word shape that the trampoline calls.
DWORD CpuPartNumberRoutine(ULONG_PTR, ULONG_PTR) { return ReadCpuPartNumber(); }
}  // namespace

DWORD GetCpuPartNumber() {
  if (IsPrivilegedMode()) return ReadCpuPartNumber();
  KernelCallRecord record = {CpuPartNumberRoutine, 0, 0};
  return RunInKernelMode(KernelTrampoline, &record);
}
