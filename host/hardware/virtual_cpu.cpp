// The virtual processor's registers behind platform/cpu_registers.h.

#include "host/hardware/virtual_cpu.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "host/hardware/virtual_clock.h"
#include "platform/cpu_registers.h"

namespace host {

namespace {
std::atomic<std::uint32_t> main_id{kDefaultCpuMainId};
std::atomic<std::uint32_t> clock_mhz{520};
std::atomic<std::uint32_t> clock_config{0};
std::atomic<std::uint32_t> power_mode{0};
std::atomic<std::uint32_t> perf_mon_control{0};
// MMU, caches, write buffer, branch target buffer; bit 26 clear.
constexpr std::uint32_t kControlRegister = 0x0000397F;
// PMNC bit 0 enables the counters; bit 2 resets the clock counter.
constexpr std::uint32_t kPmncEnable = 0x1;
constexpr std::uint32_t kPmncResetClockCounter = 0x4;
std::atomic<std::uint64_t> clock_counter_origin_ns{0};

thread_local std::uint32_t thread_mode = kCpuModeUser;

void RequirePrivilege(const char* accessor) {
  if (thread_mode == kCpuModeUser) {
    std::fprintf(stderr,
                 "host: %s reads a privileged processor register in user mode; the program "
                 "must run it in kernel mode through the platform layer's kernel call\n",
                 accessor);
    std::abort();
  }
}
}  // namespace

std::uint32_t MainIdForPartNumber(std::uint32_t part_number) {
  if (part_number == 17) return 0x69054117;
  // XScale core 3 (PXA3xx): architecture 5TE, core generation 3.
  return 0x69056801 | ((part_number & 0x3F) << 4);
}

void SetCpuMainId(std::uint32_t id) { main_id = id; }
std::uint32_t CpuMainId() { return main_id; }
void SetCpuClockMhz(std::uint32_t mhz) { clock_mhz = mhz; }

std::uint32_t CpuMode() { return thread_mode; }
void SetCpuMode(std::uint32_t mode) { thread_mode = mode & 0x1F; }

PrivilegedScope::PrivilegedScope() : saved_mode_(thread_mode) { thread_mode = kCpuModeSupervisor; }
PrivilegedScope::~PrivilegedScope() { thread_mode = saved_mode_; }

}  // namespace host

using host::RequirePrivilege;

DWORD ReadCpsr() { return host::thread_mode; }

DWORD ReadClockConfig() {
  RequirePrivilege("ReadClockConfig");
  return host::clock_config;
}
void WriteClockConfig(DWORD value) {
  RequirePrivilege("WriteClockConfig");
  host::clock_config = value;
}
DWORD ReadPowerMode() {
  RequirePrivilege("ReadPowerMode");
  return host::power_mode;
}
void WritePowerMode(DWORD value) {
  RequirePrivilege("WritePowerMode");
  host::power_mode = value;
}
DWORD ReadPerfMonControl() {
  RequirePrivilege("ReadPerfMonControl");
  return host::perf_mon_control;
}
void WritePerfMonControl(DWORD value) {
  RequirePrivilege("WritePerfMonControl");
  if (value & host::kPmncResetClockCounter) host::clock_counter_origin_ns = host::ClockNow();
  host::perf_mon_control = value & ~host::kPmncResetClockCounter;
}
DWORD ReadClockCounter() {
  RequirePrivilege("ReadClockCounter");
  if (!(host::perf_mon_control & host::kPmncEnable)) return 0;
  std::uint64_t ns = host::ClockNow() - host::clock_counter_origin_ns;
  return static_cast<DWORD>(ns * host::clock_mhz / 1000);
}
DWORD ReadMainId() {
  RequirePrivilege("ReadMainId");
  return host::main_id;
}
DWORD ReadControlBit26() {
  RequirePrivilege("ReadControlBit26");
  return host::kControlRegister & 0x04000000;
}
