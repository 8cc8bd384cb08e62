#include "host/hardware/flash_activity.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "host/hardware/nand_chip.h"

namespace host {

namespace {

std::mutex activity_mutex;
FlashActivity since_mark;
FlashActivity whole_run;
FlashChangeObserver observer = nullptr;
// Moves at every change that could make a repeated note matter again (a mark, a new observer,
// a new image file), so that NoteFlashProgram can drop a note it has just taken.
std::atomic<std::uint64_t> notes_generation{1};

// The image files' windows that are made writable in one piece. A private mapping (a
// rehearsal's) copies every page it makes writable, so there a window is one page: only the
// pages a write reaches are copied.
constexpr std::uint64_t kWindowBytes = 256 * 1024;
constexpr std::uint64_t kPrivateWindowBytes = 4096;

std::string Size(std::uint64_t bytes) {
  char text[32];
  if (bytes % 1024 == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " KB", bytes / 1024);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
  }
  return text;
}

}  // namespace

void FlashRanges::Add(std::uint64_t start, std::uint64_t length) {
  if (length == 0) return;
  std::uint64_t end = start + length;
  // Most notes continue the last range: a program after the one before it. That range grows
  // in place when nothing lies between its end and the new one's.
  auto next = spans.upper_bound(start);
  if (next != spans.begin()) {
    auto previous = std::prev(next);
    if (previous->second >= start) {
      if (previous->second >= end) return;
      if (next == spans.end() || next->first > end) {
        previous->second = end;
        return;
      }
      start = previous->first;
      spans.erase(previous);
    }
  }
  // Swallow every range the new one reaches.
  for (auto it = spans.lower_bound(start); it != spans.end() && it->first <= end;) {
    if (it->second > end) end = it->second;
    it = spans.erase(it);
  }
  spans.emplace(start, end);
}

std::uint64_t FlashRanges::Bytes() const {
  std::uint64_t bytes = 0;
  for (const auto& [start, end] : spans) bytes += end - start;
  return bytes;
}

std::string FlashRanges::Describe(std::size_t most) const {
  std::string text;
  std::size_t shown = 0;
  for (const auto& [start, end] : spans) {
    if (shown == most) {
      text += ", and " + std::to_string(spans.size() - most) + " more";
      break;
    }
    char range[48];
    std::snprintf(range, sizeof range, "%s%#" PRIx64 "-%#" PRIx64, shown ? ", " : "", start,
                  end - 1);
    text += range;
    ++shown;
  }
  return text;
}

std::string FlashActivity::Describe() const {
  if (empty()) return "nothing";
  std::string where = nand ? " (physical)" : "";
  std::string text;
  if (!erased.empty()) {
    text += "erased " + erased.Describe() + where + " (" + Size(erased.Bytes()) + ")";
  }
  if (!programmed.empty()) {
    text += std::string(text.empty() ? "" : "; ") + "programmed " + programmed.Describe() + where +
            " (" + Size(programmed.Bytes()) + ")";
  }
  return text;
}

FlashImageFile::FlashImageFile(std::uint8_t* base, std::uint64_t size, bool nand, int fd)
    : base_(base),
      size_(base ? size : 0),
      nand_(nand),
      fd_(base ? fd : -1),
      window_bytes_(fd_ >= 0 ? kWindowBytes : kPrivateWindowBytes),
      writable_windows_(static_cast<std::size_t>((size_ + window_bytes_ - 1) / window_bytes_),
                        false) {
  // A note just taken for another file's range is a new one for this file.
  notes_generation.fetch_add(1, std::memory_order_relaxed);
}

void FlashImageFile::PrepareWrite(std::uint64_t start, std::uint64_t length) {
  if (!base_ || length == 0) return;
  std::uint64_t first = start;
  std::uint64_t end = start + length;
  if (nand_) {  // page * 2048 on the flash, page * 2112 in the file
    first = start / kNandPageBytes * kNandRawPageBytes;
    end = (end + kNandPageBytes - 1) / kNandPageBytes * kNandRawPageBytes;
  }
  end = std::min(end, size_);
  // The windows not yet writable, in runs: one call for each run.
  for (std::uint64_t window = first / window_bytes_; window * window_bytes_ < end;) {
    if (writable_windows_[window]) {
      ++window;
      continue;
    }
    const std::uint64_t run = window;
    for (; window * window_bytes_ < end && !writable_windows_[window]; ++window) {
      writable_windows_[window] = true;
    }
    const std::uint64_t at = run * window_bytes_;
    // A failure (an older kernel) leaves the pages to fault in one at a time, as before.
    madvise(base_ + at, std::min(window * window_bytes_, size_) - at, MADV_POPULATE_WRITE);
  }
}

void FlashImageFile::Read(const std::uint8_t* at, std::size_t count, std::uint8_t* out) const {
  std::size_t done = 0;
  if (fd_ >= 0 && at >= base_ && count <= size_ &&
      static_cast<std::uint64_t>(at - base_) <= size_ - count) {
    const off_t offset = static_cast<off_t>(at - base_);
    while (done < count) {
      ssize_t n = pread(fd_, out + done, count - done, offset + static_cast<off_t>(done));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  if (done < count) std::memcpy(out + done, at + done, count - done);
}

void SetFlashChangeObserver(FlashChangeObserver new_observer) {
  std::lock_guard lock(activity_mutex);
  notes_generation.fetch_add(1, std::memory_order_relaxed);
  observer = new_observer;
}

namespace {
std::atomic<bool> frozen{false};

// A frozen flash takes no more operations: the thread that would begin one waits here, with
// the notes' lock given up, until the process ends.
void WaitIfFrozen(std::unique_lock<std::mutex>& lock) {
  if (!frozen.load(std::memory_order_relaxed)) return;
  lock.unlock();
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
}  // namespace

bool FreezeFlash(std::chrono::milliseconds wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  std::unique_lock lock(activity_mutex, std::defer_lock);
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  frozen = true;
  // Every later note takes the lock, and stops there.
  notes_generation.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void NoteFlashErase(FlashImageFile* image, std::uint64_t start, std::uint64_t length, bool nand) {
  std::unique_lock lock(activity_mutex);
  WaitIfFrozen(lock);
  if (observer) observer(start, length, nand);
  if (image) image->PrepareWrite(start, length);
  since_mark.erased.Add(start, length);
  whole_run.erased.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
}

void NoteFlashProgram(FlashImageFile* image, std::uint64_t start, std::uint64_t length, bool nand) {
  // The two chips of the NOR bus note the same buffered program one after the other: the
  // second is already noted, watched and made writable.
  thread_local std::uint64_t last_start = 0, last_end = 0, last_generation = 0;
  thread_local const FlashImageFile* last_image = nullptr;
  const std::uint64_t generation = notes_generation.load(std::memory_order_relaxed);
  if (generation == last_generation && image == last_image && start >= last_start &&
      start + length <= last_end) {
    return;
  }
  std::unique_lock lock(activity_mutex);
  WaitIfFrozen(lock);
  last_image = image;
  last_start = start;
  last_end = start + length;
  last_generation = generation;
  if (observer) observer(start, length, nand);
  if (image) image->PrepareWrite(start, length);
  since_mark.programmed.Add(start, length);
  whole_run.programmed.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
}

namespace {
std::atomic<bool> keep_operations{false};
std::vector<FlashOperation> kept_operations;  // under activity_mutex
}  // namespace

void KeepFlashOperations(bool keep) {
  std::lock_guard lock(activity_mutex);
  kept_operations.clear();
  keep_operations.store(keep);
}

std::vector<FlashOperation> FlashOperationsKept() {
  std::lock_guard lock(activity_mutex);
  return kept_operations;
}

void NoteFlashTiming(bool erase, std::uint64_t start, std::uint64_t length, std::uint64_t at_ns,
                     std::uint64_t busy_ns) {
  if (!keep_operations.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(activity_mutex);
  if (!kept_operations.empty()) {
    FlashOperation& last = kept_operations.back();
    if (last.erase == erase && last.start == start && last.length == length &&
        last.at_ns == at_ns) {
      last.busy_ns = std::max(last.busy_ns, busy_ns);
      return;
    }
  }
  kept_operations.push_back({erase, start, length, at_ns, busy_ns});
}

void MarkFlashActivity() {
  std::lock_guard lock(activity_mutex);
  notes_generation.fetch_add(1, std::memory_order_relaxed);
  since_mark = FlashActivity{};
}

void ForgetFlashActivity() {
  std::lock_guard lock(activity_mutex);
  notes_generation.fetch_add(1, std::memory_order_relaxed);
  since_mark = whole_run = FlashActivity{};
}

FlashActivity FlashActivitySinceMark() {
  std::lock_guard lock(activity_mutex);
  return since_mark;
}

FlashActivity FlashActivityOfRun() {
  std::lock_guard lock(activity_mutex);
  return whole_run;
}

}  // namespace host
