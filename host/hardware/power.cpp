#include "host/hardware/power.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "host/hardware/virtual_clock.h"

namespace host {

PowerSupply::PowerSupply(std::filesystem::path dir, std::optional<std::uint64_t> cut_after)
    : dir_(std::move(dir)) {
  if (cut_after) ArmCut(*cut_after);
}

void PowerSupply::ArmCut(std::uint64_t after, int landed) {
  landed_quarters_ = landed < 0 ? 0 : landed > 3 ? 3 : landed;
  cut_at_ = operations_.load() + after + 1;
}

void PowerSupply::DisarmCut() { cut_at_ = ~std::uint64_t{0}; }

std::uint32_t PowerSupply::Landed(std::uint32_t units) const {
  return static_cast<std::uint32_t>(std::uint64_t{units} * landed_quarters_.load() / 4);
}

void PowerSupply::Off(const std::string& what) {
  if (!dir_.empty()) {
    {
      std::ofstream log(dir_ / "boot.log", std::ios::app);
      char when[32];
      std::snprintf(when, sizeof when, "%.3f", static_cast<double>(ClockNow()) / kNsPerSecond);
      log << "power cut during flash operation " << operations_.load() << " (" << what << ") at "
          << when << " s of module time\n";
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "ram", ec)) {
      std::filesystem::remove_all(entry.path(), ec);
    }
  }
  std::fprintf(stderr, "imbrel: the module lost its power during %s\n", what.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  QuickExit(kPowerCutStatus);
}

namespace {
std::atomic<int> quick_exit_status{-1};
}  // namespace

int QuickExitStatus() { return quick_exit_status.load(); }

void QuickExit(int status) {
  quick_exit_status.store(status);
  std::quick_exit(status);
}

}  // namespace host
