// Where the module's flash changed: every erase a chip began (finished or not) and every
// program it took, as ranges of the flash. NOR ranges are byte offsets on the 32-bit bus;
// NAND ranges are physical offsets, page * 2048. Kept for the whole run and since the last
// mark, for the host's reports (an update that failed part way, the run's summary).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace host {

/// Merged ranges [start, end) of the flash.
struct FlashRanges {
  std::map<std::uint64_t, std::uint64_t> spans;  // start -> end, disjoint and not touching

  void Add(std::uint64_t start, std::uint64_t length);
  std::uint64_t Bytes() const;
  bool empty() const { return spans.empty(); }
  /// "0x80000-0xbffff, 0x100000-0x13ffff" (inclusive ends), at most `most` of them.
  std::string Describe(std::size_t most = 6) const;
};

struct FlashActivity {
  FlashRanges erased;      // erases begun
  FlashRanges programmed;  // programs begun
  bool nand = false;       // the ranges are NAND physical offsets
  bool empty() const { return erased.empty() && programmed.empty(); }
  /// "erased 0x80000-0xbffff (256 KB); programmed 0x80000-0x9ffff (128 KB)", or "nothing".
  std::string Describe() const;
};

/// A module's flash image file as this process maps it (`size` bytes at `base`), and the file
/// itself, open (-1: not known). The module makes one and gives it to its chips
/// (model_links.h). Every erase and program noted with it makes the part of the mapping it
/// will change writable in one piece, a window of 256 KB at a time (of the file; a page of a
/// private mapping), instead of taking a page fault for each 4 KB page it first stores to: an
/// update would otherwise spend a third of its time in those faults.
class FlashImageFile {
 public:
  FlashImageFile(std::uint8_t* base, std::uint64_t size, bool nand, int fd);
  FlashImageFile(const FlashImageFile&) = delete;
  FlashImageFile& operator=(const FlashImageFile&) = delete;

  /// Copies `count` bytes of the mapped image from `at` to `out`, through the file when it is
  /// known (the same page cache, so it sees every store): a scan that only looks, such as an
  /// erase's check for cells already erased, then costs no page of the mapping its first
  /// touch, which on a virtual machine costs more than the copy.
  void Read(const std::uint8_t* at, std::size_t count, std::uint8_t* out) const;

 private:
  friend void NoteFlashErase(FlashImageFile*, std::uint64_t, std::uint64_t, bool);
  friend void NoteFlashProgram(FlashImageFile*, std::uint64_t, std::uint64_t, bool);
  /// Makes the windows that [start, start + length) of the flash lies in writable, those not
  /// made so before. Called with the notes' lock held.
  void PrepareWrite(std::uint64_t start, std::uint64_t length);

  std::uint8_t* base_;
  std::uint64_t size_;
  bool nand_;  // the flash offsets are page * 2048, the file's page * 2112
  int fd_;
  std::uint64_t window_bytes_;
  std::vector<bool> writable_windows_;
};

/// Called by the chip models as an erase or a program begins; `image` is the file the chip's
/// cells are mapped from (null: none).
void NoteFlashErase(FlashImageFile* image, std::uint64_t start, std::uint64_t length, bool nand);
void NoteFlashProgram(FlashImageFile* image, std::uint64_t start, std::uint64_t length, bool nand);

/// `image`'s Read, or a plain copy for a chip whose cells are no file's.
inline void ReadFlashImage(const FlashImageFile* image, const std::uint8_t* at, std::size_t count,
                           std::uint8_t* out) {
  if (image) {
    image->Read(at, count, out);
  } else {
    std::memcpy(out, at, count);
  }
}

/// Called with every erase and program noted, before its cells change: for tools that keep
/// their own record of where the flash changed (the power-cut campaign puts back only those
/// parts of its module between cuts). Null: none.
using FlashChangeObserver = void (*)(std::uint64_t start, std::uint64_t length, bool nand);
void SetFlashChangeObserver(FlashChangeObserver observer);

/// One erase or program a chip began: its range (as the notes give it), when it began in
/// module time and how long the chip is busy with it. The two NOR chips of the bus doing the
/// same operation at once count as one, busy as long as the slower.
struct FlashOperation {
  bool erase = false;
  std::uint64_t start = 0, length = 0;
  std::uint64_t at_ns = 0, busy_ns = 0;
};
/// Starts keeping every operation timed from now on, for a timeline (false: stops, and
/// forgets them). Off unless asked: an update makes half a million of them.
void KeepFlashOperations(bool keep);
std::vector<FlashOperation> FlashOperationsKept();
/// Called by a chip model with the time of an operation it just noted.
void NoteFlashTiming(bool erase, std::uint64_t start, std::uint64_t length, std::uint64_t at_ns,
                     std::uint64_t busy_ns);

/// Stops the flash where it is, for a process about to end: every erase or program that would
/// begin from now on waits for ever instead, before it changes a cell or is noted, so the
/// activity read after this is what the flash was left as. False when an operation being
/// noted did not let go within `wait` (nothing is frozen then).
bool FreezeFlash(std::chrono::milliseconds wait);

/// Starts a new stretch: FlashActivitySinceMark is empty after it.
void MarkFlashActivity();
/// Forgets everything noted, the whole run's record too: for a process that puts its module
/// back and starts over many times (a fuzz target, between inputs).
void ForgetFlashActivity();
FlashActivity FlashActivitySinceMark();
FlashActivity FlashActivityOfRun();

}  // namespace host
