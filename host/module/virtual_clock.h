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
void KeepPace(std::uint64_t virtual_ns);
}  // namespace clock_detail

/// Current virtual time in nanoseconds.
inline std::uint64_t ClockNow() { return clock_detail::now_ns.load(std::memory_order_relaxed); }

/// Moves the clock forward by `ns`.
inline void ClockAdvance(std::uint64_t ns) {
  std::uint64_t now = clock_detail::now_ns.fetch_add(ns, std::memory_order_relaxed) + ns;
  if (clock_detail::real_pace.load(std::memory_order_relaxed)) clock_detail::KeepPace(now);
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
