// The module's platform layer: the OEM control codes that KernelIoControl reaches. Every call
// is logged for tests, and a test can make a code fail on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ce/types.h"

namespace host {

struct KernelIoCall {
  DWORD code;
  std::vector<std::uint8_t> input;  // the input buffer's bytes
  DWORD output_size;
  bool has_output;
  bool has_bytes_returned;
  /// The first pointer-sized word of the input (a sub-function or item code), or ~0.
  ULONG_PTR FirstWord() const;
};

std::vector<KernelIoCall> KernelIoCalls();
void ClearKernelIoCalls();

/// Makes the next `count` calls with `code` fail (return FALSE, touch nothing); a negative
/// count makes every call fail, 0 ends it.
void FailKernelIoControl(DWORD code, int count);

/// A handler answers one code: KernelIoControl's arguments and result.
using ControlCodeHandler =
    std::function<BOOL(LPVOID in, DWORD in_size, LPVOID out, DWORD out_size, LPDWORD returned)>;
/// Installs (or with an empty handler removes) the handler of a code.
void SetControlCodeHandler(DWORD code, ControlCodeHandler handler);

/// The platform layer's kernel-call code: run a routine in kernel mode, map physical memory
/// for the caller, answer the platform query.
constexpr DWORD kIoctlKernelCall = 0x010120D0;
/// The HAL reboot code: restarts the module (see restart.h).
constexpr DWORD kIoctlReboot = 0x0101003C;

}  // namespace host
