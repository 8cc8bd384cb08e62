#include "host/hardware/flash_activity.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <mutex>

namespace host {

namespace {

std::mutex activity_mutex;
FlashActivity since_mark;
FlashActivity whole_run;
FlashChangeObserver observer = nullptr;

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

void SetFlashChangeObserver(FlashChangeObserver new_observer) {
  std::lock_guard lock(activity_mutex);
  observer = new_observer;
}

void NoteFlashErase(std::uint64_t start, std::uint64_t length, bool nand) {
  std::lock_guard lock(activity_mutex);
  if (observer) observer(start, length, nand);
  since_mark.erased.Add(start, length);
  whole_run.erased.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
}

void NoteFlashProgram(std::uint64_t start, std::uint64_t length, bool nand) {
  std::lock_guard lock(activity_mutex);
  if (observer) observer(start, length, nand);
  since_mark.programmed.Add(start, length);
  whole_run.programmed.Add(start, length);
  since_mark.nand = whole_run.nand = nand;
}

void MarkFlashActivity() {
  std::lock_guard lock(activity_mutex);
  since_mark = FlashActivity{};
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
