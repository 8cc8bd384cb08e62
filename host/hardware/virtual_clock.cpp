// The virtual clock and the CE time calls built on it.

#include "host/hardware/virtual_clock.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "ce/kernel.h"

namespace host {

namespace {
std::mutex pace_mutex;
std::chrono::steady_clock::time_point pace_host_start;
std::uint64_t pace_virtual_start = 0;
Pace current_pace = Pace::kFast;
}  // namespace

void clock_detail::KeepPace(std::uint64_t virtual_ns) {
  std::chrono::steady_clock::time_point due;
  {
    std::lock_guard lock(pace_mutex);
    if (current_pace != Pace::kReal || virtual_ns < pace_virtual_start) return;
    due = pace_host_start + std::chrono::nanoseconds(virtual_ns - pace_virtual_start);
  }
  // Waits under a millisecond are not worth a system call; they add up and are caught at the
  // next advance.
  if (due - std::chrono::steady_clock::now() > std::chrono::milliseconds(1)) {
    std::this_thread::sleep_until(due);
  }
}

void ClockAdvanceTo(std::uint64_t ns) {
  // This thread's pending bus time and the jump join the clock in one step.
  const std::uint64_t add = clock_detail::pending_ns;
  clock_detail::pending_ns = 0;
  std::uint64_t now = clock_detail::now_ns.load(std::memory_order_relaxed);
  std::uint64_t to;
  do {
    to = std::max(now + add, ns);
  } while (to != now &&
           !clock_detail::now_ns.compare_exchange_weak(now, to, std::memory_order_relaxed));
  if (to != now && clock_detail::real_pace.load(std::memory_order_relaxed)) {
    clock_detail::KeepPace(to);
  }
}

void SetClockPace(Pace pace) {
  std::lock_guard lock(pace_mutex);
  current_pace = pace;
  pace_host_start = std::chrono::steady_clock::now();
  pace_virtual_start = ClockNow();
  clock_detail::real_pace.store(pace == Pace::kReal, std::memory_order_relaxed);
}

Pace ClockPace() {
  std::lock_guard lock(pace_mutex);
  return current_pace;
}

void ClockReset(std::uint64_t ns) {
  clock_detail::pending_ns = 0;
  clock_detail::now_ns.store(ns, std::memory_order_relaxed);
  SetClockPace(ClockPace());
}

}  // namespace host

DWORD GetTickCount() {
  // A status poll loop asks for the tick at every buffer: the pending bus time joins the shared
  // clock only when it moves the tick, so that no thread has seen a tick the clock has not
  // reached.
  const std::uint64_t shared = host::clock_detail::now_ns.load(std::memory_order_relaxed);
  const std::uint64_t ms = (shared + host::clock_detail::pending_ns) / host::kNsPerMs;
  if (ms != shared / host::kNsPerMs) return static_cast<DWORD>(host::ClockNow() / host::kNsPerMs);
  return static_cast<DWORD>(ms);
}

void Sleep(DWORD milliseconds) { host::ClockAdvance(milliseconds * host::kNsPerMs); }
