// Kernel-mode calls through the platform layer, and processor identification.
#pragma once

#include "ce/types.h"

/// The platform layer's kernel-call control code.
const DWORD KernelCall = 0x010120D0;

/// Sub-functions of KernelCall: the first word of every input record.
enum KernelCallSubFunction {
  KernelCallRoutine = 0,  // run routine(argument) in kernel mode; output: its 32-bit result
  KernelCallMap = 1,      // map physical pages for the calling process
  KernelCallQuery = 2     // platform query; 200-byte reply
};

/// A routine run in kernel mode takes one pointer argument.
typedef DWORD (*KernelRoutine)(void* argument);
/// A routine called through KernelTrampoline takes two words.
typedef DWORD (*KernelRoutine2)(ULONG_PTR first, ULONG_PTR second);

/// {routine, first argument, second argument}: lives on the caller's stack for one
/// RunInKernelMode with KernelTrampoline.
struct KernelCallRecord {
  KernelRoutine2 routine;
  ULONG_PTR first;
  ULONG_PTR second;
};

struct KernelCallRoutineInput {
  ULONG_PTR subfunction;
  ULONG_PTR routine;
  ULONG_PTR argument;
};

struct KernelCallMapInput {
  ULONG_PTR subfunction;
  ULONG_PTR destination;
  ULONG_PTR page_number;  // physical address >> 8
  ULONG_PTR size;
  ULONG_PTR protection;
};

// The platform layer expects 12 and 20 bytes on the device (pointers are 32 bits there).
C_ASSERT(sizeof(void*) != 4 || sizeof(KernelCallRoutineInput) == 12);
C_ASSERT(sizeof(void*) != 4 || sizeof(KernelCallMapInput) == 20);

/// Non-zero in every privileged processor mode, 0 in user mode (CPSR mode 0x10).
int IsPrivilegedMode();

/// Runs routine(argument) in kernel mode; its result, or 0 when the routine is null (a failed
/// control call also gives 0).
DWORD RunInKernelMode(KernelRoutine routine, void* argument);

/// Calls the record's routine with its two arguments; runs in kernel mode.
DWORD KernelTrampoline(void* record);

/// The processor's part number (0..63): 17 is the PXA270; 8 and 9 are PXA3xx parts.
DWORD GetCpuPartNumber();
