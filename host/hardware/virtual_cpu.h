// The module's processor as the program sees it: the main ID register, the current mode of
// each thread, and the XScale coprocessor registers that the accessors read. Host threads run
// in user mode; the platform layer's kernel call raises a thread to a privileged mode while it
// runs a routine.
#pragma once

#include <cstdint>

namespace host {

constexpr std::uint32_t kCpuModeUser = 0x10;
constexpr std::uint32_t kCpuModeSupervisor = 0x13;
constexpr std::uint32_t kCpuModeSystem = 0x1F;

/// The XScale main ID for a part number: 17 gives the PXA270's 0x69054117, 8 and 9 the
/// PXA3xx's 0x69056881 and 0x69056891.
std::uint32_t MainIdForPartNumber(std::uint32_t part_number);
/// The main ID of the processor before a module gives its own: a PXA270's.
constexpr std::uint32_t kDefaultCpuMainId = 0x69054117;

void SetCpuMainId(std::uint32_t main_id);
std::uint32_t CpuMainId();
/// Core clock in MHz, for the cycle counter.
void SetCpuClockMhz(std::uint32_t mhz);

/// The calling thread's processor mode (CPSR bits 4..0).
std::uint32_t CpuMode();
void SetCpuMode(std::uint32_t mode);

/// Runs the calling thread in a privileged mode for the scope's life.
class PrivilegedScope {
 public:
  PrivilegedScope();
  ~PrivilegedScope();
  PrivilegedScope(const PrivilegedScope&) = delete;
  PrivilegedScope& operator=(const PrivilegedScope&) = delete;

 private:
  std::uint32_t saved_mode_;
};

}  // namespace host
