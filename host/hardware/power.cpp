#include "host/hardware/power.h"

#include <algorithm>
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

void PowerSupply::Walk(std::vector<WalkCut> cuts, std::filesystem::path dir, CutHandler handler,
                       void* arg) {
  walk_ = std::move(cuts);
  // By operation, and each cut of an operation landing more of it than the one before.
  walk_order_.resize(walk_.size());
  for (std::size_t i = 0; i < walk_order_.size(); ++i) walk_order_[i] = i;
  std::stable_sort(walk_order_.begin(), walk_order_.end(), [&](std::size_t a, std::size_t b) {
    return walk_[a].operation != walk_[b].operation ? walk_[a].operation < walk_[b].operation
                                                    : walk_[a].landed < walk_[b].landed;
  });
  walk_next_ = 0;
  walk_dir_ = std::move(dir);
  walk_handler_ = handler;
  walk_arg_ = arg;
  AimAtWalkCut();
}

void PowerSupply::AimAtWalkCut() {
  if (walk_next_ >= walk_order_.size()) {
    DisarmCut();
    return;
  }
  const WalkCut& next = walk_[walk_order_[walk_next_]];
  landed_quarters_ = std::clamp(next.landed, 0, 3);
  cut_at_ = next.operation;
}

bool PowerSupply::CutAgain() {
  ++walk_next_;
  AimAtWalkCut();
  return cut_at_.load() == operations_.load();
}

std::uint32_t PowerSupply::Landed(std::uint32_t units) const {
  return static_cast<std::uint32_t>(std::uint64_t{units} * landed_quarters_.load() / 4);
}

void PowerSupply::Off(const std::string& what) {
  const std::filesystem::path& dir = walk_handler_ ? walk_dir_ : dir_;
  if (!dir.empty()) {
    {
      std::ofstream log(dir / "boot.log", std::ios::app);
      char when[32];
      std::snprintf(when, sizeof when, "%.3f", static_cast<double>(ClockNow()) / kNsPerSecond);
      log << "power cut during flash operation " << operations_.load() << " (" << what << ") at "
          << when << " s of module time\n";
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "ram", ec)) {
      std::filesystem::remove_all(entry.path(), ec);
    }
  }
  if (walk_handler_) {
    walk_handler_(walk_order_[walk_next_], walk_arg_);
    return;
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
