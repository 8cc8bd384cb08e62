// The module's virtual clock: nanoseconds since the module started. Register accesses, flash
// operations and Sleep move it; with the real pace the host waits so that it keeps step with
// the wall clock.
#pragma once

#include <atomic>
#include <cstdint>

namespace host {

enum class Pace {
  kFast,  // virtual time only: the host never waits
  kReal,  // the host sleeps so that virtual time does not run ahead of the wall clock
};

namespace clock_detail {
inline std::atomic<std::uint64_t> now_ns{0};
inline std::atomic<bool> real_pace{false};
// Bus time this thread has spent but not yet added to the clock: adding it access by access
// would cost an atomic operation per register access. It joins the clock whenever the thread
// looks at the clock (every status poll does) and at least every kMaxPendingNs.
inline thread_local std::uint64_t pending_ns = 0;
constexpr std::uint64_t kMaxPendingNs = 10'000;
void KeepPace(std::uint64_t virtual_ns);

inline void FlushPending() {
  std::uint64_t add = pending_ns;
  pending_ns = 0;
  std::uint64_t now = now_ns.fetch_add(add, std::memory_order_relaxed) + add;
  if (real_pace.load(std::memory_order_relaxed)) KeepPace(now);
}
}  // namespace clock_detail

/// Current virtual time in nanoseconds.
inline std::uint64_t ClockNow() {
  if (clock_detail::pending_ns) clock_detail::FlushPending();
  return clock_detail::now_ns.load(std::memory_order_relaxed);
}

/// The time ClockNow would give, without adding this thread's pending bus time to the shared
/// clock: for the models' busy checks, which run on every command.
inline std::uint64_t ClockPeek() {
  return clock_detail::now_ns.load(std::memory_order_relaxed) + clock_detail::pending_ns;
}

/// Moves the clock forward by `ns`.
inline void ClockAdvance(std::uint64_t ns) {
  clock_detail::pending_ns += ns;
  clock_detail::FlushPending();
}

/// Charges the bus time of a register access to the clock.
inline void ClockChargeAccess(std::uint64_t ns) {
  clock_detail::pending_ns += ns;
  if (clock_detail::pending_ns >= clock_detail::kMaxPendingNs) clock_detail::FlushPending();
}

/// Moves the clock forward to `ns`; a time in the past changes nothing.
void ClockAdvanceTo(std::uint64_t ns);

void SetClockPace(Pace pace);
Pace ClockPace();

/// Sets the clock (module start, tests). Never call while another thread uses the clock.
void ClockReset(std::uint64_t ns = 0);

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kNsPerMs = 1000 * 1000;
constexpr std::uint64_t kNsPerSecond = 1000 * 1000 * 1000;
constexpr std::uint64_t kNever = ~std::uint64_t{0};

}  // namespace host
