// KernelIoControl and the platform layer's kernel-call code.

#include "host/oal/platform_layer.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "ce/kernel.h"
#include "host/hardware/virtual_cpu.h"
#include "host/oal/restart.h"
#include "host/system/virtual_memory.h"

namespace host {

namespace {

std::mutex layer_mutex;
std::vector<KernelIoCall> calls;
std::map<DWORD, int> failures;
std::map<DWORD, ControlCodeHandler> handlers;

// The records of the kernel-call code, as the platform layer defines them: words that hold an
// address are pointer-sized.
struct RoutineInput {
  ULONG_PTR subfunction;  // 0
  ULONG_PTR routine;      // DWORD routine(void* argument), run in kernel mode
  ULONG_PTR argument;
};
struct MapInput {
  ULONG_PTR subfunction;  // 1
  ULONG_PTR destination;  // inside a reservation of the caller
  ULONG_PTR page_number;  // physical address >> 8
  ULONG_PTR size;
  ULONG_PTR protection;
};

constexpr ULONG_PTR kRoutine = 0;
constexpr ULONG_PTR kMap = 1;
constexpr ULONG_PTR kQuery = 2;
constexpr DWORD kQueryReplySize = 200;

BOOL KernelCall(LPVOID in, DWORD in_size, LPVOID out, DWORD out_size, LPDWORD returned) {
  if (!in || in_size < sizeof(ULONG_PTR)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG_PTR subfunction;
  std::memcpy(&subfunction, in, sizeof subfunction);
  switch (subfunction) {
    case kRoutine: {
      if (in_size < sizeof(RoutineInput) || !out || out_size < sizeof(DWORD)) break;
      RoutineInput input;
      std::memcpy(&input, in, sizeof input);
      if (!input.routine) break;
      auto routine = reinterpret_cast<DWORD (*)(void*)>(input.routine);
      DWORD result;
      {
        PrivilegedScope kernel_mode;
        result = routine(reinterpret_cast<void*>(input.argument));
      }
      std::memcpy(out, &result, sizeof result);
      if (returned) *returned = sizeof result;
      return TRUE;
    }
    case kMap: {
      if (in_size < sizeof(MapInput) || !out || out_size < sizeof(DWORD)) break;
      MapInput input;
      std::memcpy(&input, in, sizeof input);
      if (!(input.protection & PAGE_PHYSICAL)) break;
      DWORD ok = MapPhysicalForProcess(reinterpret_cast<void*>(input.destination),
                                       std::uint64_t{input.page_number} << 8, input.size)
                     ? 1
                     : 0;
      std::memcpy(out, &ok, sizeof ok);
      if (returned) *returned = sizeof ok;
      return ok ? TRUE : FALSE;
    }
    case kQuery: {
      if (!out || out_size < kQueryReplySize) break;
      // What this platform layer is: a name and the processor's main ID.
      char reply[kQueryReplySize] = {};
      std::snprintf(reply, sizeof reply, "Imbrel virtual module; main ID %08X",
                    static_cast<unsigned>(CpuMainId()));
      std::memcpy(out, reply, sizeof reply);
      if (returned) *returned = static_cast<DWORD>(std::strlen(reply) + 1);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // namespace

ULONG_PTR KernelIoCall::FirstWord() const {
  ULONG_PTR word = ~ULONG_PTR{0};
  if (input.size() >= sizeof word) std::memcpy(&word, input.data(), sizeof word);
  return word;
}

std::vector<KernelIoCall> KernelIoCalls() {
  std::lock_guard lock(layer_mutex);
  return calls;
}

void ClearKernelIoCalls() {
  std::lock_guard lock(layer_mutex);
  calls.clear();
}

void FailKernelIoControl(DWORD code, int count) {
  std::lock_guard lock(layer_mutex);
  if (count == 0) {
    failures.erase(code);
  } else {
    failures[code] = count;
  }
}

void SetControlCodeHandler(DWORD code, ControlCodeHandler handler) {
  std::lock_guard lock(layer_mutex);
  if (handler) {
    handlers[code] = std::move(handler);
  } else {
    handlers.erase(code);
  }
}

}  // namespace host

BOOL KernelIoControl(DWORD code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer, DWORD out_size,
                     LPDWORD bytes_returned) {
  host::ControlCodeHandler handler;
  {
    std::lock_guard lock(host::layer_mutex);
    host::KernelIoCall call{code, {}, out_size, out_buffer != nullptr, bytes_returned != nullptr};
    if (in_buffer && in_size) {
      auto* bytes = static_cast<const std::uint8_t*>(in_buffer);
      call.input.assign(bytes, bytes + in_size);
    }
    host::calls.push_back(std::move(call));
    auto failure = host::failures.find(code);
    if (failure != host::failures.end()) {
      if (failure->second > 0 && --failure->second == 0) host::failures.erase(failure);
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    auto it = host::handlers.find(code);
    if (it != host::handlers.end()) handler = it->second;
  }
  // Handlers run unlocked: a kernel-mode routine may itself issue control codes.
  if (code == host::kIoctlKernelCall) {
    return host::KernelCall(in_buffer, in_size, out_buffer, out_size, bytes_returned);
  }
  if (code == host::kIoctlReboot) return host::RestartModule(in_buffer, in_size);
  if (handler) return handler(in_buffer, in_size, out_buffer, out_size, bytes_returned);
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
