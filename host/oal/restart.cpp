#include "host/oal/restart.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ce/kernel.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"

namespace host {

namespace {
std::atomic<int> refused{0};

void AppendBootLog(const std::string& line) {
  Module* module = CurrentModule();
  if (!module) return;
  std::ofstream log(module->dir() / "boot.log", std::ios::app);
  char when[32];
  std::snprintf(when, sizeof when, "%.3f", static_cast<double>(ClockNow()) / kNsPerSecond);
  log << line << " at " << when << " s of module time\n";
}
}  // namespace

int RefusedRestarts() { return refused; }

BOOL RestartModule(LPVOID in, DWORD in_size) {
  Module* module = CurrentModule();
  if (!module) {
    ++refused;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  bool cold = in && in_size >= 4;
  AppendBootLog(cold ? "cold restart" : "warm restart");
  // The module's RAM is lost, but a warm restart keeps what this boot runs (ram/boot.toml):
  // nothing is booted again. A cold one starts the module afresh at the next run.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(module->dir() / "ram", ec)) {
    if (!cold && entry.path().filename() == "boot.toml") continue;
    std::filesystem::remove_all(entry.path(), ec);
  }
  std::fprintf(stderr, "imbrel: the module restarted (%s)\n", cold ? "cold" : "warm");
  std::fflush(stdout);
  std::fflush(stderr);
  // Everything on the module ends with the restart; other threads are not waited for.
  QuickExit(0);
}

}  // namespace host

void PrepareColdStart(DWORD cold) {
  host::AppendBootLog(cold ? "cold-start preparation" : "cold-start preparation (flag 0)");
}

HLOCAL LocalAlloc(UINT flags, UINT bytes) {
  void* memory =
      (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
