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
#include <vector>

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

  /// A cut of a walk: the operation it falls in (counted as Operations() counts, from 1) and
  /// the part of it that lands, in quarters.
  struct WalkCut {
    std::uint64_t operation;
    int landed;
  };
  using CutHandler = void (*)(std::size_t cut, void* arg);
  /// A rehearsal's walk through one run: the power fails during each of `cuts` without ending
  /// the run. At each, the chip lands that cut's part of the operation and calls Off, which
  /// notes the cut in the module directory `dir` (not this module's own) as a cut notes it,
  /// calls `handler` with the cut's place in `cuts`, and returns; the chip then lands the
  /// operation whole, as it does when the power holds. The cuts of one operation are made
  /// from the least landed to the most; the handler gets their places in `cuts` as given.
  void Walk(std::vector<WalkCut> cuts, std::filesystem::path dir, CutHandler handler, void* arg);
  /// After Off returned (a walk): true when the walk's next cut falls in the same operation.
  /// The chip then puts back what the last part changed, if a larger part would not cover
  /// it, lands the next part and calls Off again.
  bool CutAgain();

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
  /// During a walk it returns instead, as Walk says.
  void Off(const std::string& what);

 private:
  std::filesystem::path dir_;
  std::atomic<std::uint64_t> operations_{0};
  std::atomic<std::uint64_t> cut_at_{~std::uint64_t{0}};
  std::atomic<int> landed_quarters_{2};
  // The walk: its cuts, the one the power fails at next, where the cuts are noted, and whom
  // they are handed to.
  void AimAtWalkCut();
  std::vector<WalkCut> walk_;
  std::vector<std::size_t> walk_order_;  // walk_'s places, in the order the cuts are met
  std::size_t walk_next_ = 0;            // in walk_order_
  std::filesystem::path walk_dir_;
  CutHandler walk_handler_ = nullptr;
  void* walk_arg_ = nullptr;
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
