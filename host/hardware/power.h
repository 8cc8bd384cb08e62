// The module's power supply as a fault: a budget of flash operations after which the power
// fails. The operation in flight is left half done, the way a chip is left when its supply
// drops mid-operation, and the module stops: the process ends, ram/ is lost, boot.log says
// where the cut fell.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace host {

/// One module's supply. The module makes it as it opens and gives it to the chips it builds
/// (model_links.h); each chip asks it as a program or an erase starts.
class PowerSupply {
 public:
  /// The supply of the module in `dir` (empty: none), switched on: its count of flash
  /// operations starts at 0, and the power fails during the operation after `cut_after`
  /// more (faults.toml's [power]), or never.
  explicit PowerSupply(std::filesystem::path dir,
                       std::optional<std::uint64_t> cut_after = std::nullopt);
  PowerSupply(const PowerSupply&) = delete;
  PowerSupply& operator=(const PowerSupply&) = delete;

  /// The power fails during the flash operation after the next `operations` ones (0: during
  /// the very next one). Counting starts now. `landed` is how much of that operation reaches
  /// the cells, in quarters (0 to 3; a program lands that part of its bytes, an erase that
  /// part of its pages).
  void ArmCut(std::uint64_t operations, int landed = 2);
  void DisarmCut();

  /// Program and erase operations the chips started since the supply was switched on.
  std::uint64_t Operations() const { return operations_.load(); }

  /// Called by a chip as it starts a program or an erase. True when the power fails during
  /// this operation: the chip then lands only Landed() of it and calls Off.
  bool FailsDuring() {
    // Only the thread that drives the flash counts: a plain load and store, not a locked
    // increment, for the half a million operations of a large update.
    const std::uint64_t count = operations_.load(std::memory_order_relaxed) + 1;
    operations_.store(count, std::memory_order_relaxed);
    return count == cut_at_.load(std::memory_order_relaxed);
  }

  /// The part of `units` that a cut operation lands: units * landed / 4.
  std::uint32_t Landed(std::uint32_t units) const;

  /// Ends the module at once: boot.log gets "power cut during <what>", ram/ is cleared and the
  /// process ends with status kPowerCutStatus, as a module without power runs nothing more.
  [[noreturn]] void Off(const std::string& what);

 private:
  std::filesystem::path dir_;
  std::atomic<std::uint64_t> operations_{0};
  std::atomic<std::uint64_t> cut_at_{~std::uint64_t{0}};
  std::atomic<int> landed_quarters_{2};
};

/// Exit status of a process whose module lost its power: its own (3 is a cancelled update, 4
/// a module that does not start).
constexpr int kPowerCutStatus = 5;

/// The status a process ending through quick_exit ends with (a power cut, a restart), for
/// what its exit handlers report; -1 while it is not ending that way.
int QuickExitStatus();
/// Ends the process through quick_exit with `status`.
[[noreturn]] void QuickExit(int status);

}  // namespace host
