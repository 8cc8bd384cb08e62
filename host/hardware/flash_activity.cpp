#include "host/hardware/flash_activity.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "host/hardware/nand_chip.h"

namespace host {

namespace {

std::mutex activity_mutex;
FlashActivity since_mark;
FlashActivity whole_run;
FlashChangeObserver observer = nullptr;
// Moves at every change that could make a repeated note matter again (a mark, a new observer,
// a new image mapping), so that NoteFlashProgram can drop a note it has just taken.
std::atomic<std::uint64_t> notes_generation{1};

// The flash image mapping and which of its 256 KB windows are already writable.
constexpr std::uint64_t kWindowBytes = 256 * 1024;
std::uint8_t* image_base = nullptr;
std::uint64_t image_size = 0;
bool image_nand = false;
int image_fd = -1;
std::vector<bool> writable_windows;

// Makes the windows of the image that [start, start + length) of the flash lies in writable,
// those not made so before. Called with activity_mutex held.
void PrepareWrite(std::uint64_t start, std::uint64_t length) {
  if (!image_base || length == 0) return;
  std::uint64_t first = start;
  std::uint64_t end = start + length;
  if (image_nand) {  // page * 2048 on the flash, page * 2112 in the file
    first = start / kNandPageBytes * kNandRawPageBytes;
    end = (end + kNandPageBytes - 1) / kNandPageBytes * kNandRawPageBytes;
  }
  end = std::min(end, image_size);
  for (std::uint64_t window = first / kWindowBytes; window * kWindowBytes < end; ++window) {
    if (writable_windows[window]) continue;
    writable_windows[window] = true;
    const std::uint64_t at = window * kWindowBytes;
    // A failure (an older kernel) leaves the pages to fault in one at a time, as before.
    madvise(image_base + at, std::min(kWindowBytes, image_size - at), MADV_POPULATE_WRITE);
  }
}

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

void SetFlashImageMapping(std::uint8_t* base, std::uint64_t size, bool nand, int fd) {
  std::lock_guard lock(activity_mutex);
  notes_generation.fetch_add(1, std::memory_order_relaxed);
  image_base = base;
  image_size = base ? size : 0;
  image_nand = nand;
  image_fd = base ? fd : -1;
  writable_windows.assign(static_cast<std::size_t>((image_size + kWindowBytes - 1) / kWindowBytes),
                          false);
}

void ReadFlashImage(const std::uint8_t* at, std::size_t count, std::uint8_t* out) {
  // The mapping is set when the module opens and cleared when it closes, never while its
  // flash is in use.
  std::size_t done = 0;
  if (image_fd >= 0 && at >= image_base && count <= image_size &&
      static_cast<std::uint64_t>(at - image_base) <= image_size - count) {
    const off_t offset = static_cast<off_t>(at - image_base);
    while (done < count) {
      ssize_t n = pread(image_fd, out + done, count - done, offset + static_cast<off_t>(done));
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

void NoteFlashErase(std::uint64_t start, std::uint64_t length, bool nand) {
  std::lock_guard lock(activity_mutex);
  if (observer) observer(start, length, nand);
  PrepareWrite(start, length);
  since_mark.erased.Add(start, length);
  whole_run.erased.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
}

void NoteFlashProgram(std::uint64_t start, std::uint64_t length, bool nand) {
  // The two chips of the NOR bus note the same buffered program one after the other: the
  // second is already noted, watched and made writable.
  thread_local std::uint64_t last_start = 0, last_end = 0, last_generation = 0;
  const std::uint64_t generation = notes_generation.load(std::memory_order_relaxed);
  if (generation == last_generation && start >= last_start && start + length <= last_end) return;
  std::lock_guard lock(activity_mutex);
  last_start = start;
  last_end = start + length;
  last_generation = generation;
  if (observer) observer(start, length, nand);
  PrepareWrite(start, length);
  since_mark.programmed.Add(start, length);
  whole_run.programmed.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
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
