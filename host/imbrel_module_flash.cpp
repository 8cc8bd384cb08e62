// imbrel-module's flash subcommands: erase, write, verify, read and dump the module's flash
// through the program's own driver.

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/nand/nand_controller.h"
#include "flash/nand/nand_flash.h"
#include "host/bin_image.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"
#include "host/imbrel_module_commands.h"
#include "host/module/flash_map.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/system/text.h"
#include "host/tool_support.h"
#include "platform/kernel_call.h"
#include "platform/platform_codes.h"
#include "update/bin_format.h"
#include "update/flash_regions.h"
#include "update/update_worker.h"

namespace fs = std::filesystem;

namespace host {

namespace {

std::optional<toml::table> json_report;

void PrintJsonReportAtPowerCut() {
  if (!json_report) return;
  NoteJsonError("the module lost its power");
  EndJsonReport(kPowerCutStatus);
}

// Says what went wrong on standard error, and in the JSON report when there is one.
[[gnu::format(printf, 1, 2)]] void Complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  std::fprintf(stderr, "imbrel-module: %s", text.c_str());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  NoteJsonError(text);
}

std::int64_t Json(std::uint64_t n) { return static_cast<std::int64_t>(n); }

// The program's regions that [start, end) of the flash holds part of, as the update's
// overwrite check measures them (the bootloader, the configuration block and the OS image as
// far as their contents go; the registry from item 5; the file system from the registry).
std::vector<std::string> RegionsTouched(std::uint64_t start, std::uint64_t end) {
  MeasureRegionTable();
  std::vector<std::string> names;
  for (int r = 0; r < kRegionCount; ++r) {
    const ::FlashRegion& region = ::RegionTable[r];
    const std::uint64_t length = r <= kRegionImage ? region.MeasuredSize : region.Length;
    if (length == 0) continue;
    if (start < region.Start + length && end > region.Start) {
      names.push_back(Utf8(region.Name));
    }
  }
  return names;
}

std::string RegionsText(const std::vector<std::string>& names) {
  if (names.empty()) return "";
  std::string text = "; they held part of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return text;
}

toml::array JsonList(const std::vector<std::string>& names) {
  toml::array list;
  for (const std::string& n : names) list.push_back(n);
  return list;
}

// Checks, before anything is touched, that the session's driver started and that the range
// lies inside the flash.
void CheckRange(const FlashSession& session, const std::string& what, std::uint64_t offset,
                std::uint64_t length) {
  if (session.driver() == 0) {
    throw std::runtime_error("the flash driver could not start on this module");
  }
  if (offset > FlashOps.FlashSize || length > FlashOps.FlashSize - offset) {
    throw UsageError(what + " " + HexLower(offset) + " + " + HexLower(length) +
                     " runs past the flash (" + HexLower(FlashOps.FlashSize) + " bytes)");
  }
}

// What the driver says the chip reported for the erase or write that just failed; `generic`
// when it cannot tell.
std::string FailureText(const char* generic) {
  switch (FlashOps.LastFailure) {
    case kFlashFailLocked:
      return "the block is locked";
    case kFlashFailProgram:
      return "the chip reported a program error";
    case kFlashFailErase:
      return "the chip reported an erase error";
    case kFlashFailTimeout:
      return "the chip did not get ready in time";
    default:
      return generic;
  }
}

// Whether stderr is a terminal: erase and write then show their progress there.
bool StderrIsTerminal() {
  static const bool terminal = isatty(STDERR_FILENO);
  return terminal;
}

// --progress: the progress line on standard error even when it is not a terminal.
bool progress_forced = false;

// "512 KB", "1.5 MB".
std::string Bytes(std::uint64_t n) {
  char text[32];
  if (n < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>(n / 1024));
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(n) / (1024 * 1024));
  }
  return text;
}

// A long job's progress on standard error, as flashcp -v shows it: the bytes done of the
// whole, the rate and the module time left, both in module time. On a terminal one line
// rewritten in place; elsewhere (with --progress) a line a second.
class Progress {
 public:
  Progress(const char* verb, std::uint64_t total)
      : verb_(verb), total_(total), started_(ClockNow()) {}
  void Show(std::uint64_t done) {
    const bool terminal = StderrIsTerminal();
    if ((!terminal && !progress_forced) || total_ == 0) return;
    const auto now = std::chrono::steady_clock::now();
    const auto every = terminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (shown_ && done < total_ && now - last_ < every) return;
    shown_ = true;
    last_ = now;
    std::string line = verb_ + ": " + Bytes(done) + " of " + Bytes(total_) + " (" +
                       std::to_string(done * 100 / total_) + "%)";
    const std::uint64_t spent = ClockNow() - started_;
    if (spent > 0 && done > 0) {
      const double rate = static_cast<double>(done) * 1e9 / static_cast<double>(spent);
      const double left = static_cast<double>(total_ - done) / rate * 1e9;
      line +=
          ", " + Bytes(static_cast<std::uint64_t>(rate)) + "/s, " +
          (done < total_ ? FormatDuration(static_cast<std::uint64_t>(left)) + " of module time left"
                         : "done in " + FormatDuration(spent) + " of module time");
    }
    if (terminal) {
      std::fprintf(stderr, "\r%s\033[K", line.c_str());
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::string verb_;
  std::uint64_t total_;
  std::uint64_t started_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_;
};

void EndProgressLine() {
  if (StderrIsTerminal()) std::fprintf(stderr, "\r\033[K");
}

void HexDump(const std::vector<std::uint8_t>& data, std::uint64_t offset) {
  for (std::size_t i = 0; i < data.size(); i += 16) {
    std::printf("%08llx ", static_cast<unsigned long long>(offset + i));
    for (std::size_t j = i; j < i + 16; ++j) {
      if (j < data.size())
        std::printf(" %02x", data[j]);
      else
        std::printf("   ");
    }
    std::printf("  ");
    for (std::size_t j = i; j < i + 16 && j < data.size(); ++j) {
      std::putchar(data[j] >= 0x20 && data[j] < 0x7F ? data[j] : '.');
    }
    std::putchar('\n');
  }
}

// The bytes of FILE, or of standard input for "-".
std::vector<std::uint8_t> ReadInput(const std::string& file) {
  if (file == "-") {
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(std::cin)),
                                   std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw UsageError("cannot read standard input");
    return data;
  }
  // A directory opens as a stream on Linux and fails only when read: look first.
  std::error_code ec;
  if (fs::is_directory(file, ec)) throw UsageError(file + ": is a directory, not a file");
  if (!fs::exists(file, ec)) throw UsageError(file + ": no such file");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError("cannot read " + file);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  if (in.bad()) throw UsageError("cannot read " + file);
  return data;
}

// Reads [offset, offset + length) through the driver. NAND pages the driver will not read
// are read again without ECC: an erased page reads 0xFF (up to one flipped bit in each
// 512-byte step cleaned, as Linux's NAND layer does); anything else is damage, and *problem
// names the page and why.
bool ReadRange(std::uint64_t offset, std::uint64_t length, std::uint8_t* out,
               std::string* problem) {
  if (length == 0 ||
      FlashOps.ReadBuffer(out, static_cast<DWORD>(offset), static_cast<DWORD>(length))) {
    return true;
  }
  if (FlashOps.DriverKind != kDriverNand) {
    *problem = "read of " + HexLower(offset) + " + " + HexLower(length) + " failed";
    return false;
  }
  // A block at a time: with ECC, else without it, then page by page: erased pages are 0xFF,
  // and the others must read with ECC.
  const DWORD page = FlashOps.PageSize();
  const DWORD block = FlashOps.BlockSize(static_cast<DWORD>(offset));
  std::vector<std::uint8_t> buffer(block);
  for (std::uint64_t at = offset - offset % block; at < offset + length; at += block) {
    DWORD bytes = static_cast<DWORD>(std::min<std::uint64_t>(block, FlashOps.FlashSize - at));
    if (!FlashOps.ReadBuffer(buffer.data(), static_cast<DWORD>(at), bytes)) {
      int ecc = FlashOps.SetEcc(0);
      bool raw = FlashOps.ReadBuffer(buffer.data(), static_cast<DWORD>(at), bytes) != 0;
      FlashOps.SetEcc(ecc);
      for (DWORD in = 0; in < bytes; in += page) {
        std::vector<std::uint8_t> one(buffer.begin() + in, buffer.begin() + in + page);
        bool blank = std::all_of(one.begin(), one.end(), [](std::uint8_t b) { return b == 0xFF; });
        if (raw && blank) continue;
        if (FlashOps.ReadBuffer(buffer.data() + in, static_cast<DWORD>(at + in), page)) continue;
        if (raw && ErasedButForBitFlips(one.data(), page)) {
          std::fill(buffer.begin() + in, buffer.begin() + in + page, 0xFF);
        } else {
          *problem = "the page at " + HexLower(at + in) + " does not read: " +
                     (raw ? "its ECC does not match its data (more bit errors than it corrects)"
                          : "the controller gives up on it (timed out or not there)");
          return false;
        }
      }
    }
    std::uint64_t from = std::max(at, offset), to = std::min(at + bytes, offset + length);
    std::copy(buffer.begin() + static_cast<long>(from - at),
              buffer.begin() + static_cast<long>(to - at), out + (from - offset));
  }
  return true;
}

// Erases every block [offset, offset + length) touches, one block at a time, so that a
// failure names its block.
bool EraseBlocks(std::uint64_t offset, std::uint64_t length) {
  std::uint64_t at = offset - offset % FlashOps.BlockSize(static_cast<DWORD>(offset));
  std::uint64_t done = 0;
  Progress progress("erasing", length);
  while (at < offset + length) {
    DWORD block = FlashOps.BlockSize(static_cast<DWORD>(at));
    progress.Show(done);
    if (!FlashOps.EraseRange(static_cast<DWORD>(at), block)) {
      EndProgressLine();
      Complain("erase failed at the block %s + %s (%s)%s\n", HexLower(at).c_str(),
               HexLower(block).c_str(),
               FailureText("it is locked, failed to erase or timed out").c_str(),
               at > offset ? "; the blocks before it are erased" : "");
      return false;
    }
    done += block;
    at += block;
  }
  progress.Show(length);
  EndProgressLine();
  return true;
}

// After a NAND write failed at `at`: the first page of its block, other than the one being
// written, that does not read, as "the page at X does not read: why". A block whose program
// fails is moved to the reserve with the pages it holds, and one that cannot be read whole
// stops the move. Empty when every page reads.
std::string UnreadablePageOfBlock(std::uint64_t at) {
  if (FlashOps.DriverKind != kDriverNand) return "";
  const DWORD page = FlashOps.PageSize();
  const DWORD block = FlashOps.BlockSize(static_cast<DWORD>(at));
  const std::uint64_t first = at - at % block;
  std::vector<std::uint8_t> bytes(page);
  std::string problem;
  for (std::uint64_t p = first; p < first + block && p < FlashOps.FlashSize; p += page) {
    if (p == at - at % page) continue;
    if (!ReadRange(p, page, bytes.data(), &problem)) return problem;
  }
  return "";
}

// Programs `image` at `start`, leaving out runs of 0xFF (an erased flash holds them already,
// and a NAND page left out stays erased), with progress on a terminal.
bool ProgramRange(std::uint64_t start, const std::vector<std::uint8_t>& image) {
  const std::size_t piece = FlashOps.DriverKind == kDriverNand ? FlashOps.PageSize() : 0x100;
  Progress progress("writing", image.size());
  for (std::size_t done = 0; done < image.size();) {
    // Pieces are aligned to the flash, so that a NAND piece is one page.
    std::size_t take = std::min<std::size_t>(piece - (start + done) % piece, image.size() - done);
    bool blank = std::all_of(image.begin() + static_cast<long>(done),
                             image.begin() + static_cast<long>(done + take),
                             [](std::uint8_t b) { return b == 0xFF; });
    // The driver may change what it is given (on part number 9 the word at offset 4): it
    // gets a copy, so that the check afterwards compares the flash with what was asked for.
    std::vector<std::uint8_t> piece_copy(image.begin() + static_cast<long>(done),
                                         image.begin() + static_cast<long>(done + take));
    if (!blank && !FlashOps.WriteBuffer(piece_copy.data(), static_cast<DWORD>(start + done),
                                        static_cast<DWORD>(take))) {
      EndProgressLine();
      std::string unreadable = UnreadablePageOfBlock(start + done);
      if (!unreadable.empty()) {
        Complain(
            "write failed at %s: its block reported a program error "
            "and cannot be moved to the reserve, as %s; the bytes before it are "
            "written\n",
            HexLower(start + done).c_str(), unreadable.c_str());
        return false;
      }
      Complain("write failed at %s (%s); the bytes before it are written\n",
               HexLower(start + done).c_str(),
               FailureText("a block is locked, reported a program error or timed out").c_str());
      return false;
    }
    done += take;
    progress.Show(done);
  }
  EndProgressLine();
  return true;
}

}  // namespace

namespace {

// NAND: logical page 63 of block 0 lives in physical block 1, so an erase of either of the
// first two logical blocks (the boot area) may take it; both are kept and written back
// together.
constexpr std::uint64_t kNandBootArea = kBootAreaBytes;

// The blocks [offset, offset + length) touches: their start and end.
std::pair<std::uint64_t, std::uint64_t> BlocksOf(std::uint64_t offset, std::uint64_t length) {
  std::uint64_t start = offset - offset % FlashOps.BlockSize(static_cast<DWORD>(offset));
  DWORD last = static_cast<DWORD>(offset + length - 1);
  return {start, last - last % FlashOps.BlockSize(last) + std::uint64_t{FlashOps.BlockSize(last)}};
}

// Puts `data` at `offset`. With `erase`, every block the range touches is erased first and
// its bytes outside the range are read before and written back after, so that only the range
// changes; [*start, *end) is then what was erased. Without it the range must be erased already.
// The range is read back. 0, or kExitFailed with a message on stderr.
int WriteRange(std::uint64_t offset, const std::vector<std::uint8_t>& data, bool erase,
               std::uint64_t* start_out, std::uint64_t* end_out) {
  std::uint64_t start = offset, end = offset + data.size();
  std::vector<std::uint8_t> image = data;  // what [start, end) must hold afterwards
  std::string problem;
  // NAND, logical block 1 alone: its physical block also holds logical page 63, the last of
  // block 0, which is kept with it. Block 0: its erase takes page 63's physical block too, and
  // the whole boot area is kept.
  const std::uint64_t block_one = FlashOps.BlockSize(0);
  const std::uint64_t page = FlashOps.DriverKind == kDriverNand ? FlashOps.PageSize() : 0;
  std::uint64_t erase_from = 0;
  if (erase && !data.empty()) {
    std::tie(start, end) = BlocksOf(offset, data.size());
    erase_from = start;
    if (FlashOps.DriverKind == kDriverNand && start == block_one && end <= kNandBootArea) {
      start -= page;
    } else if (FlashOps.DriverKind == kDriverNand && start < kNandBootArea) {
      start = erase_from = 0;
      end = std::max(end, kNandBootArea);
    }
    image.resize(end - start);
    if (!ReadRange(start, end - start, image.data(), &problem)) {
      Complain(
          "%s; the blocks the range touches cannot be kept outside it, "
          "so nothing is erased\n",
          problem.c_str());
      return kExitFailed;
    }
    const std::vector<std::uint8_t> before = image;  // what the erase takes, put back if it fails
    std::copy(data.begin(), data.end(), image.begin() + static_cast<long>(offset - start));
    // On part number 9 the driver stores "HMIT" at offset 4 whenever a write covers it: kept
    // bytes there that differ would change.
    const std::uint8_t hmit[] = {'H', 'M', 'I', 'T'};
    if (FlashOps.DriverKind == kDriverNand && GetCpuPartNumber() == 9 && start <= 4 && end >= 8 &&
        !std::equal(hmit, hmit + 4, image.begin() + static_cast<long>(4 - start)) &&
        (offset > 4 || offset + data.size() < 8)) {
      Complain(
          "the blocks the range touches hold the bootloader's word at "
          "offset 4, which this module's driver (part number 9) would write back as "
          "\"HMIT\"; nothing is erased\n");
      return kExitFailed;
    }
    if (!EraseBlocks(erase_from, end - erase_from)) {
      // The erase may have got through blocks before the one that failed (and, on NAND, block
      // 0's erase takes logical page 63 with it): their bytes go back, so that a failed erase
      // loses nothing it can keep.
      if (WriteBackErasedPages(before.data(), static_cast<DWORD>(start),
                               static_cast<DWORD>(before.size()))) {
        Complain("what the erase took was written back; nothing written\n");
      } else {
        Complain(
            "what the erase took in %s + %s could not all be written "
            "back\n",
            HexLower(start).c_str(), HexLower(end - start).c_str());
      }
      return kExitFailed;
    }
    if (erase_from != start) {
      // Page 63 went with the erase only when logical block 1 still lives in physical block 1.
      std::vector<std::uint8_t> now(page);
      if (ReadRange(start, page, now.data(), &problem) &&
          !std::all_of(now.begin(), now.end(), [](std::uint8_t b) { return b == 0xFF; })) {
        image.erase(image.begin(), image.begin() + static_cast<long>(page));
        start = erase_from;
      }
    }
  } else if (!data.empty()) {
    // Programming only clears bits: a range that is not erased would end up with neither its
    // old bytes nor the file's. Nothing is programmed then.
    std::vector<std::uint8_t> now(data.size());
    if (!ReadRange(offset, data.size(), now.data(), &problem)) {
      Complain("%s; nothing written\n", problem.c_str());
      return kExitFailed;
    }
    auto used = std::find_if(now.begin(), now.end(), [](std::uint8_t b) { return b != 0xFF; });
    if (used != now.end()) {
      Complain(
          "the flash at %s is not erased (it holds 0x%02x); nothing "
          "written: erase the range first, or write --erase\n",
          HexLower(offset + static_cast<std::uint64_t>(used - now.begin())).c_str(), *used);
      return kExitFailed;
    }
  }
  *start_out = erase && !data.empty() ? erase_from : start;
  *end_out = end;
  if (!ProgramRange(start, image)) {
    if (start != offset || end != offset + data.size()) {
      // The blocks were erased whole for the write: what they held outside the range did not
      // all go back. Say so rather than leave "the bytes before it" to sound like the rest.
      Complain(
          "%s + %s was erased for the write; its old bytes outside the "
          "range were not all written back\n",
          HexLower(start).c_str(), HexLower(end - start).c_str());
    }
    return kExitFailed;
  }
  std::vector<std::uint8_t> back(image.size());
  if (!ReadRange(start, image.size(), back.data(), &problem)) {
    Complain("%s after the write\n", problem.c_str());
    return kExitFailed;
  }
  if (back != image) {
    std::size_t at = 0;
    while (back[at] == image[at]) ++at;
    Complain("after the write the flash at %s holds 0x%02x, not 0x%02x\n",
             HexLower(start + at).c_str(), back[at], image[at]);
    return kExitFailed;
  }
  return 0;
}

}  // namespace

int RunErase(const FlashArgs& args) {
  progress_forced = args.progress;
  if (!args.all && args.offset.empty()) throw UsageError("erase takes OFFSET and LENGTH, or --all");
  std::uint64_t offset = args.all ? 0 : Number("offset", args.offset, 0xFFFFFFFF);
  std::uint64_t length = args.all ? 0 : Number("length", args.length, 0xFFFFFFFF);
  FlashSession session(args.dir);
  if (args.all) length = FlashOps.FlashSize;
  CheckRange(session, "erase", offset, length);
  if (length == 0) {
    std::printf("erased nothing: the length is 0\n");
    return 0;
  }
  const auto [start, end] = BlocksOf(offset, length);
  if ((start != offset || end != offset + length) && !args.force) {
    // As flash_erase does: an erase takes whole blocks, and more than was asked goes only
    // when asked for.
    throw UsageError("erase " + HexLower(offset) + " + " + HexLower(length) +
                     " is not block-aligned: it would erase " + HexLower(start) + " to " +
                     HexLower(end - 1) + " (" + HexLower(start) + " + " + HexLower(end - start) +
                     "); give that range, or --force");
  }
  // NOR: the driver leaves a block that is already blank as it is (an erase would only wear
  // it); those are counted apart. The NAND driver erases every block.
  Module& module = session.module();
  std::uint64_t blocks = 0, blank = 0;
  for (std::uint64_t at = start; at < end; at += FlashOps.BlockSize(static_cast<DWORD>(at))) {
    ++blocks;
    const DWORD size = FlashOps.BlockSize(static_cast<DWORD>(at));
    if (module.config().flash == FlashKind::kNor && at + size <= module.image_size() &&
        std::all_of(module.image() + at, module.image() + at + size,
                    [](std::uint8_t b) { return b == 0xFF; })) {
      ++blank;
    }
  }
  const std::vector<std::string> regions = RegionsTouched(start, end);
  const BadBlockWatch bad_blocks(module);
  if (toml::table* report = JsonReport()) {
    report->insert("offset", Json(offset));
    report->insert("length", Json(length));
    report->insert("start", Json(start));
    report->insert("end", Json(end));
    report->insert("blocks", Json(blocks));
    report->insert("regions", JsonList(regions));
  }
  std::uint64_t started = ClockNow();
  bool erased = true;
  if (FlashOps.DriverKind == kDriverNand && start < kNandBootArea) {
    // The boot area's blocks are tied (logical page 63, the last of block 0, lives in physical
    // block 1): what they hold outside the range is kept.
    std::uint64_t from = 0, to = 0;
    std::vector<std::uint8_t> ff(end - start, 0xFF);
    erased = WriteRange(start, ff, true, &from, &to) == 0;
  } else {
    erased = EraseBlocks(start, end - start);
  }
  const std::uint64_t took = ClockNow() - started;
  if (toml::table* report = JsonReport(); report && bad_blocks.nand()) {
    report->insert("bad_blocks", bad_blocks.Json());
  }
  if (toml::table* report = JsonReport()) {
    report->insert("erased_blocks", Json(erased ? blocks - blank : 0));
    report->insert("skipped_blank", Json(erased ? blank : 0));
    report->insert("module_time_ns", Json(took));
    return erased ? 0 : kExitFailed;
  }
  const std::string moved = bad_blocks.Text();
  if (!erased) {
    if (!moved.empty()) std::fprintf(stderr, "imbrel-module: meanwhile %s\n", moved.c_str() + 2);
    return kExitFailed;
  }
  std::printf("erased %s to %s (%llu block%s%s) for %s + %s in %s of module time%s%s\n",
              HexLower(start).c_str(), HexLower(end - 1).c_str(),
              static_cast<unsigned long long>(blocks), blocks == 1 ? "" : "s",
              blank ? ("; " + std::to_string(blank) + " already blank, skipped").c_str() : "",
              HexLower(offset).c_str(), HexLower(length).c_str(), FormatDuration(took).c_str(),
              RegionsText(regions).c_str(), moved.c_str());
  return 0;
}

int RunWrite(const FlashArgs& args) {
  progress_forced = args.progress;
  std::uint64_t offset = Number("offset", args.offset, 0xFFFFFFFF);
  std::vector<std::uint8_t> data = ReadInput(args.file);
  FlashSession session(args.dir);
  CheckRange(session, "write", offset, data.size());
  const BadBlockWatch bad_blocks(session.module());
  std::uint64_t started = ClockNow();
  std::uint64_t start = offset, end = offset + data.size();
  const int status = WriteRange(offset, data, args.erase, &start, &end);
  const std::uint64_t took = ClockNow() - started;
  if (toml::table* report = JsonReport(); report && bad_blocks.nand()) {
    report->insert("bad_blocks", bad_blocks.Json());
  }
  const bool erased = start != offset || end != offset + data.size();
  if (toml::table* report = JsonReport()) {
    report->insert("offset", Json(offset));
    report->insert("bytes", Json(data.size()));
    if (erased) {
      report->insert("erased_start", Json(start));
      report->insert("erased_end", Json(end));
    }
    report->insert("module_time_ns", Json(took));
    return status;
  }
  const std::string moved = bad_blocks.Text();
  if (status) {
    if (!moved.empty()) std::fprintf(stderr, "imbrel-module: meanwhile %s\n", moved.c_str() + 2);
    return status;
  }
  std::printf(
      "wrote %zu bytes at %s%s and verified them in %s of module time%s\n", data.size(),
      HexLower(offset).c_str(),
      erased ? (" (erased " + HexLower(start) + " + " + HexLower(end - start) + ")").c_str() : "",
      FormatDuration(took).c_str(), moved.c_str());
  return 0;
}

// The flash against what an update from the image leaves, read through the driver: every
// record where the updater puts it, 0xFF in the rest of the blocks it erases. On NAND, for an
// image that starts in the boot area, the area is erased whole and written back: bytes of it
// outside an image that does not start at 0 are kept (not checked), its last page is never
// written, and on part number 9 bytes 4 to 7 read "HMIT".
BinComparison CompareFlashWithBin(const host::BinImage& image, const std::string& name,
                                  const FlashRangeReader& read) {
  DWORD layout[kConfigItemLayoutSize / 4] = {};
  std::optional<std::uint32_t> item5;
  if (GetConfigItem(kConfigItemLayout, layout, sizeof layout)) item5 = layout[0];
  const host::BinPlacement placement = host::PlaceBinImage(image.start, item5);
  std::vector<host::BinProblem> problems = image.problems;
  if (image.header_complete) {
    for (host::BinProblem& p :
         host::CheckBinPlacement(image, placement.offset, FlashOps.FlashSize)) {
      problems.push_back(std::move(p));
    }
    for (host::BinProblem& p : host::CheckBinRecordPlaces(image, placement.offset, problems)) {
      problems.push_back(std::move(p));
    }
  }
  for (const host::BinProblem& p : problems) {
    if (p.severity == host::BinSeverity::kError || !image.header_complete) {
      throw UsageError(name + ": the updater would not write this image: " + p.text +
                       " (imbrel-bin info tells more)");
    }
  }
  if (!image.header_complete) throw UsageError(name + ": not a whole BIN image");
  if (image.length == 0) throw UsageError(name + ": an empty image (length 0) writes nothing");

  BinComparison c;
  c.start = image.start + placement.offset;
  // The blocks the updater erases for this image.
  ULONGLONG erase_from = 0, erase_to = 0;
  ImageEraseBlocks(c.start, image.length, &erase_from, &erase_to);
  c.from = erase_from, c.to = erase_to;
  const bool nand = FlashOps.DriverKind == kDriverNand;
  const bool boot = nand && c.start < kNandBootArea;
  const std::uint64_t skipped = nand ? kNandBootArea - FlashOps.PageSize() : 0;  // never written
  const std::uint64_t image_end = std::uint64_t{c.start} + image.length;
  const bool hmit = boot && GetCpuPartNumber() == 9;

  // The range is compared a piece at a time, so that a large image costs no more memory than
  // one piece (and a rehearsal's runs, which compare after every cut, touch few pages). Each
  // piece lists the records that reach into it, in the image's order: a later record's byte
  // takes the place of an earlier one's, as the updater writes them.
  constexpr std::uint64_t kPiece = 16 * 1024;
  const std::uint64_t n = c.to - c.from;
  const std::size_t pieces = static_cast<std::size_t>((n + kPiece - 1) / kPiece);
  struct Span {
    std::size_t record;
    std::uint64_t at;  // flash offset of data[skip]
    std::size_t skip, count;
  };
  std::vector<std::vector<Span>> in_piece(pieces);
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const std::span<const std::uint8_t> data = image.data(i);
    // Offsets are 32-bit and wrap, as the updater computes them: a record may come in two.
    const std::uint64_t base =
        static_cast<std::uint32_t>(image.records[i].address + placement.offset);
    const std::uint64_t first_part = std::min<std::uint64_t>(data.size(), (1ull << 32) - base);
    const Span parts[2] = {{i, base, 0, static_cast<std::size_t>(first_part)},
                           {i, 0, static_cast<std::size_t>(first_part),
                            static_cast<std::size_t>(data.size() - first_part)}};
    for (const Span& part : parts) {
      const std::uint64_t lo = std::max<std::uint64_t>(part.at, c.from);
      const std::uint64_t hi = std::min<std::uint64_t>(part.at + part.count, c.to);
      for (std::uint64_t p = lo < hi ? (lo - c.from) / kPiece : pieces; p < pieces; ++p) {
        if (c.from + p * kPiece >= hi) break;
        in_piece[p].push_back(part);
      }
    }
  }

  std::vector<std::uint8_t> flash(static_cast<std::size_t>(std::min(n, kPiece)));
  std::vector<std::uint8_t> expected(flash.size());
  std::vector<std::uint8_t> from_record(flash.size());  // 1 where a record's byte lies
  for (std::size_t p = 0; p < pieces; ++p) {
    const std::uint64_t lo = c.from + p * kPiece;
    const std::size_t count = static_cast<std::size_t>(std::min(kPiece, c.to - lo));
    std::fill_n(expected.begin(), count, 0xFF);
    std::fill_n(from_record.begin(), count, 0);
    // The bytes of each record in this piece, but in the boot area's last page, which the
    // updater never writes.
    auto covers = [&](const Span& s, std::uint64_t at) {
      return at >= s.at && at - s.at < s.count && !(boot && at >= skipped && at < kNandBootArea);
    };
    for (const Span& s : in_piece[p]) {
      const std::span<const std::uint8_t> data = image.data(s.record);
      const std::uint64_t a = std::max(s.at, lo), b = std::min(s.at + s.count, lo + count);
      auto take = [&](std::uint64_t from, std::uint64_t to) {
        if (from >= to) return;
        std::memcpy(&expected[from - lo], &data[s.skip + (from - s.at)], to - from);
        std::memset(&from_record[from - lo], 1, to - from);
      };
      if (boot) {  // around the boot area's last page
        take(a, std::min<std::uint64_t>(b, skipped));
        take(std::max<std::uint64_t>(a, kNandBootArea), b);
      } else {
        take(a, b);
      }
    }
    if (hmit && lo == 0) {
      const char text[] = "HMIT";
      for (int k = 0; k < 4; ++k) expected[4 + k] = static_cast<std::uint8_t>(text[k]);
    }
    if (read ? !read(lo, count, flash.data(), &c.read_problem)
             : !ReadRange(lo, count, flash.data(), &c.read_problem)) {
      c.differ = c.checked = c.records = 0;
      return c;
    }
    // Most pieces: every byte checked and the same as expected.
    if (!(boot && c.start != 0 && lo < skipped) &&
        std::memcmp(flash.data(), expected.data(), count) == 0) {
      c.checked += count;
      c.records += static_cast<std::uint64_t>(
          std::count(from_record.begin(), from_record.begin() + count, std::uint8_t{1}));
      continue;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t at = lo + k;
      // An image that starts inside the boot area but not at 0: the area's bytes outside it
      // are kept as they were, and not checked.
      const bool kept = boot && c.start != 0 && at < skipped && (at < c.start || at >= image_end);
      if (kept && !from_record[k] && !(hmit && at >= 4 && at < 8)) continue;
      ++c.checked;
      c.records += from_record[k];
      if (flash[k] == expected[k]) continue;
      if (c.differ++ == 0) {
        c.first = at;
        c.held = flash[k];
        c.wanted = expected[k];
        c.first_record = -1;
        for (auto s = in_piece[p].rbegin(); s != in_piece[p].rend() && from_record[k]; ++s) {
          if (covers(*s, at)) {
            c.first_record = static_cast<std::int64_t>(s->record);
            break;
          }
        }
      }
    }
  }
  return c;
}

namespace {

// verify --bin: the flash against what an update from the image leaves.
int VerifyBin(const FlashArgs& args) {
  host::BinImage image;
  try {
    image = host::ReadBinImage(ReadInput(args.bin));
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }
  const std::string name = args.bin == "-" ? "standard input" : args.bin;
  FlashSession session(args.dir);
  if (session.driver() == 0) {
    throw std::runtime_error("the flash driver could not start on this module");
  }
  const BinComparison c = CompareFlashWithBin(image, name);
  const BadBlockWatch bad_blocks(session.module());
  if (toml::table* report = JsonReport()) {
    report->insert("image", name);
    report->insert("image_start", Json(image.start));
    report->insert("placed_at", Json(c.start));
    report->insert("from", Json(c.from));
    report->insert("to", Json(c.to));
    if (c.read_problem.empty()) {
      report->insert("record_bytes", Json(c.records));
      report->insert("erased_bytes", Json(c.checked - c.records));
      report->insert("differ", Json(c.differ));
      if (c.differ) {
        toml::table first{
            {"offset", Json(c.first)}, {"held", Json(c.held)}, {"wanted", Json(c.wanted)}};
        if (c.first_record >= 0) first.insert("record", c.first_record);
        report->insert("first_difference", std::move(first));
      }
    }
    if (bad_blocks.nand()) {
      report->insert("relocated_in_range", bad_blocks.InRangeJson(c.from, c.to));
    }
  }
  if (!c.read_problem.empty()) {
    Complain("%s\n", c.read_problem.c_str());
    return kExitFailed;
  }
  if (c.differ) {
    const std::string what = c.first_record >= 0
                                 ? "record " + std::to_string(c.first_record) + " of the image"
                                 : "the image (erased there)";
    Complain(
        "the flash differs from %s: at %s it holds 0x%02x, %s 0x%02x; "
        "%llu byte%s of %s to %s differ%s\n",
        name.c_str(), HexLower(c.first).c_str(), c.held, what.c_str(), c.wanted,
        static_cast<unsigned long long>(c.differ), c.differ == 1 ? "" : "s",
        HexLower(c.from).c_str(), HexLower(c.to - 1).c_str(), c.differ == 1 ? "s" : "");
    return kExitFailed;
  }
  if (JsonReport()) return 0;
  std::printf(
      "verified %s: %s to %s holds it as an update leaves it (%llu bytes of records, %llu "
      "erased; image start 0x%08x placed at %s)%s\n",
      name.c_str(), HexLower(c.from).c_str(), HexLower(c.to - 1).c_str(),
      static_cast<unsigned long long>(c.records),
      static_cast<unsigned long long>(c.checked - c.records), image.start,
      HexLower(c.start).c_str(), bad_blocks.InRangeText(c.from, c.to).c_str());
  return 0;
}

}  // namespace

int RunVerify(const FlashArgs& args) {
  if (!args.bin.empty()) return VerifyBin(args);
  std::uint64_t offset = Number("offset", args.offset, 0xFFFFFFFF);
  std::vector<std::uint8_t> data = ReadInput(args.file);
  FlashSession session(args.dir);
  CheckRange(session, "verify", offset, data.size());
  std::vector<std::uint8_t> flash(data.size());
  std::string problem;
  if (!ReadRange(offset, data.size(), flash.data(), &problem)) {
    Complain("%s\n", problem.c_str());
    return kExitFailed;
  }
  auto [f, d] = std::mismatch(flash.begin(), flash.end(), data.begin());
  const BadBlockWatch bad_blocks(session.module());
  if (toml::table* report = JsonReport()) {
    std::uint64_t differ = 0;
    for (std::size_t i = 0; i < data.size(); ++i) differ += flash[i] != data[i];
    report->insert("offset", Json(offset));
    report->insert("bytes", Json(data.size()));
    report->insert("differ", Json(differ));
    if (f != flash.end()) {
      report->insert(
          "first_difference",
          toml::table{{"offset", Json(offset + static_cast<std::uint64_t>(f - flash.begin()))},
                      {"held", Json(*f)},
                      {"wanted", Json(*d)}});
    }
    if (bad_blocks.nand()) {
      report->insert("relocated_in_range", bad_blocks.InRangeJson(offset, offset + data.size()));
    }
  }
  if (f != flash.end()) {
    Complain("the flash at %s holds 0x%02x, the file 0x%02x\n",
             HexLower(offset + static_cast<std::uint64_t>(f - flash.begin())).c_str(), *f, *d);
    return kExitFailed;
  }
  if (JsonReport()) return 0;
  std::printf("verified %zu bytes at %s%s\n", data.size(), HexLower(offset).c_str(),
              bad_blocks.InRangeText(offset, offset + data.size()).c_str());
  return 0;
}

int RunRead(const FlashArgs& args) {
  progress_forced = args.progress;
  const std::string& out_file = args.out_file;
  if (args.json && (out_file.empty() || out_file == "-")) {
    throw UsageError("read --json goes with -o FILE: standard output carries the JSON");
  }
  if (!args.offset.empty() && args.length.empty()) throw UsageError("read: OFFSET needs a LENGTH");
  FlashSession session(args.dir);
  // With neither offset nor length: the whole flash.
  std::uint64_t offset = args.offset.empty() ? 0 : Number("offset", args.offset, 0xFFFFFFFF);
  std::uint64_t length =
      args.offset.empty() ? FlashOps.FlashSize : Number("length", args.length, 0xFFFFFFFF);
  CheckRange(session, "read", offset, length);
  // The whole of a NOR flash larger than the driver's window: the rest as a programmer reads
  // the chips, so that the file is the whole flash.
  Module& module = session.module();
  const std::uint64_t beyond = args.offset.empty() && module.config().flash == FlashKind::kNor &&
                                       module.image_size() > length
                                   ? module.image_size() - length
                                   : 0;
  std::vector<std::uint8_t> data(length + beyond);
  std::string problem;
  // A megabyte at a time, for the progress line.
  Progress progress("reading", length);
  for (std::uint64_t done = 0; done < length;) {
    const std::uint64_t take = std::min<std::uint64_t>(length - done, 0x100000);
    if (!ReadRange(offset + done, take, data.data() + done, &problem)) {
      EndProgressLine();
      Complain("%s\n", problem.c_str());
      return kExitFailed;
    }
    done += take;
    progress.Show(done);
  }
  EndProgressLine();
  if (beyond) {
    std::memcpy(data.data() + length, module.image() + length, beyond);
    length += beyond;
  }
  if (!out_file.empty() && out_file != "-") {
    std::ofstream out(out_file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
    out.close();
    if (!out) throw UsageError("cannot write " + out_file);
    if (toml::table* report = JsonReport()) {
      report->insert("offset", Json(offset));
      report->insert("bytes", Json(length));
      report->insert("file", out_file);
    }
  } else if (out_file.empty() && isatty(STDOUT_FILENO)) {
    HexDump(data, offset);
  } else {
    std::fwrite(data.data(), 1, data.size(), stdout);
    if (std::fflush(stdout) != 0) throw UsageError("cannot write standard output");
  }
  return 0;
}

int RunDump(const DumpArgs& args) {
  progress_forced = args.progress;
  FlashSession session(args.dir);
  if (session.driver() != kDriverNand) {
    throw UsageError("dump is for NAND modules (the NOR flash has no spare area: use read)");
  }
  const DWORD pages = NandBlockCount() * NandPagesPerBlock();
  const DWORD logical_pages = FlashOps.FlashSize / NandPageBytes();
  const DWORD limit = args.logical ? logical_pages : pages;
  std::uint64_t first = args.first.empty() ? 0 : Number("first page", args.first, limit);
  std::uint64_t count =
      args.count.empty() ? limit - first : Number("page count", args.count, limit - first);
  if (args.json && (args.out_file.empty() || args.out_file == "-")) {
    throw UsageError("dump --json goes with -o FILE: standard output carries the JSON");
  }
  // On a terminal with no -o: each page as a hex dump, its spare bytes apart.
  const bool hex = args.out_file.empty() && isatty(STDOUT_FILENO);
  std::FILE* out = stdout;
  if (!args.out_file.empty() && args.out_file != "-") {
    out = std::fopen(args.out_file.c_str(), "wb");
    if (!out) throw UsageError("cannot write " + args.out_file);
  }
  std::vector<std::uint8_t> page(kNandPageBytes + kNandSpareBytes), corrected(kNandPageBytes);
  std::uint64_t uncorrectable = 0, unreadable = 0;
  Progress progress("dumping", hex ? 0 : count * page.size());
  for (std::uint64_t k = first; k < first + count; ++k) {
    progress.Show((k - first) * page.size());
    DWORD physical = args.logical ? NandPhysicalPage(static_cast<DWORD>(k)) : static_cast<DWORD>(k);
    std::fill(page.begin(), page.end(), 0xFF);
    auto emit = [&] {
      if (!hex) {
        std::fwrite(page.data(), 1, page.size(), out);
        return;
      }
      std::printf("%s page %llu%s\n", args.logical ? "logical" : "physical",
                  static_cast<unsigned long long>(k),
                  args.logical && physical != kNoPhysicalPage
                      ? (" (physical " + std::to_string(physical) + ")").c_str()
                      : "");
      HexDump(std::vector<std::uint8_t>(page.begin(), page.begin() + kNandPageBytes), 0);
      std::printf("spare:\n");
      HexDump(std::vector<std::uint8_t>(page.begin() + kNandPageBytes, page.end()), 0);
    };
    if (physical == kNoPhysicalPage) {
      // Logical page 127 has no place of its own (the table page is there): 0xFF, as erased.
      emit();
      continue;
    }
    // The cells as they are: data and all 64 spare bytes, ECC off.
    int ecc = NandSetEcc(0);
    int spare = NandSetSpare(1);
    NandResult raw =
        NandReadPage(page.data(), page.data() + kNandPageBytes, kNandSpareBytes, physical);
    NandSetSpare(0);
    if (raw != kNandDone) {
      ++unreadable;
      Complain("physical page %u does not read (status %u)\n", physical, raw);
    } else if (!args.raw) {
      // The data as the ECC gives it; an erased page (ECC bytes too) reads 0xFF as it is.
      bool erased = ErasedButForBitFlips(page.data(), kNandPageBytes) &&
                    std::all_of(page.begin() + kNandPageBytes, page.end(),
                                [](std::uint8_t b) { return b == 0xFF; });
      if (erased) {
        std::fill(page.begin(), page.begin() + kNandPageBytes, 0xFF);
      } else if (physical == kRelocationTablePage) {
        // The relocation table is written with the ECC off: its cells are its data.
      } else {
        NandSetEcc(1);
        NandResult read = NandReadPage(corrected.data(), NULL, 0, physical);
        if (read == kNandDone || read == kNandCorrected) {
          std::copy(corrected.begin(), corrected.end(), page.begin());
        } else {
          ++uncorrectable;
          Complain(
              "physical page %u: more bit errors than the ECC corrects; "
              "its data as the cells hold it\n",
              physical);
        }
      }
    }
    NandSetSpare(spare);
    NandSetEcc(ecc);
    emit();
  }
  progress.Show(count * page.size());
  EndProgressLine();
  bool written = std::fflush(out) == 0 && !std::ferror(out);
  if (out != stdout) written = std::fclose(out) == 0 && written;
  if (!written)
    throw UsageError("cannot write " + (args.out_file.empty() ? "standard output" : args.out_file));
  if (toml::table* report = JsonReport()) {
    report->insert("first", Json(first));
    report->insert("count", Json(count));
    report->insert("pages", args.logical ? "logical" : "physical");
    report->insert("ecc", !args.raw);
    report->insert("page_bytes", Json(page.size()));
    report->insert("file", args.out_file);
    report->insert("uncorrectable", Json(uncorrectable));
    report->insert("unreadable", Json(unreadable));
  } else {
    std::fprintf(stderr, "dumped %llu %s pages from %llu (%zu bytes each)%s\n",
                 static_cast<unsigned long long>(count), args.logical ? "logical" : "physical",
                 static_cast<unsigned long long>(first), page.size(),
                 args.raw ? ", without ECC" : "");
  }
  if (uncorrectable || unreadable) {
    Complain("%llu pages uncorrectable, %llu unreadable\n",
             static_cast<unsigned long long>(uncorrectable),
             static_cast<unsigned long long>(unreadable));
    return kExitFailed;
  }
  return 0;
}

toml::table* JsonReport() { return json_report ? &*json_report : nullptr; }

void BeginJsonReport(const char* command) {
  json_report.emplace();
  json_report->insert("command", command);
  json_report->insert("errors", toml::array{});
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::at_quick_exit(PrintJsonReportAtPowerCut);
  }
}

void NoteJsonError(const std::string& text) {
  if (!json_report) return;
  if (toml::array* errors = (*json_report)["errors"].as_array()) errors->push_back(text);
}

int EndJsonReport(int status) {
  if (!json_report) return status;
  json_report->insert_or_assign("ok", status == 0);
  json_report->insert_or_assign("status", status);
  std::cout << toml::json_formatter{*json_report} << "\n" << std::flush;
  json_report.reset();
  return status;
}

}  // namespace host
