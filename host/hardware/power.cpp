#include "host/hardware/power.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"

namespace host {
namespace {

std::atomic<std::uint64_t> operations{0};
std::atomic<std::uint64_t> cut_at{~std::uint64_t{0}};
std::atomic<int> landed_quarters{2};

}  // namespace

void ArmPowerCut(std::uint64_t after, int landed) {
  landed_quarters = landed < 0 ? 0 : landed > 3 ? 3 : landed;
  cut_at = operations.load() + after + 1;
}

std::uint32_t PowerCutLanded(std::uint32_t units) {
  return static_cast<std::uint32_t>(std::uint64_t{units} * landed_quarters.load() / 4);
}

void DisarmPowerCut() { cut_at = ~std::uint64_t{0}; }

void PowerOn(std::optional<std::uint64_t> cut_after) {
  operations = 0;
  if (cut_after) {
    ArmPowerCut(*cut_after);
  } else {
    DisarmPowerCut();
  }
}

std::uint64_t FlashOperations() { return operations; }

bool PowerFailsDuring() {
  // Only the thread that drives the flash counts: a plain load and store, not a locked
  // increment, for the half a million operations of a large update.
  const std::uint64_t count = operations.load(std::memory_order_relaxed) + 1;
  operations.store(count, std::memory_order_relaxed);
  return count == cut_at.load(std::memory_order_relaxed);
}

void PowerOff(const std::string& what) {
  if (Module* module = CurrentModule()) {
    {
      std::ofstream log(module->dir() / "boot.log", std::ios::app);
      char when[32];
      std::snprintf(when, sizeof when, "%.3f", static_cast<double>(ClockNow()) / kNsPerSecond);
      log << "power cut during flash operation " << operations.load() << " (" << what << ") at "
          << when << " s of module time\n";
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(module->dir() / "ram", ec)) {
      std::filesystem::remove_all(entry.path(), ec);
    }
  }
  std::fprintf(stderr, "imbrel: the module lost its power during %s\n", what.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  std::quick_exit(kPowerCutStatus);
}

}  // namespace host
