// imbrel-bin: inspect Windows CE BIN images as the updater would read and place them, and
// build valid ones from raw files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "flash/flash_ops.h"
#include "host/bin_image.h"
#include "host/hardware/nor_array.h"
#include "host/module/nand_logical.h"
#include "host/tool_support.h"
#include "platform/kernel_call.h"
#include "platform/platform_codes.h"
#include "update/bin_format.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitUpdaterFails = 1;  // the updater would refuse the file or fail on it
constexpr int kExitUsage = 2;         // bad command line, unreadable or unwritable file

constexpr std::size_t kDefaultChunk = 16384;
constexpr std::size_t kProblemsShownPerKind = 10;

using host::HexLower;
using host::Number;
using host::UsageError;

// ---- info ------------------------------------------------------------------------------------

std::vector<std::uint8_t> ReadInput(const std::string& path);

struct InfoOptions {
  std::string file;
  std::string image_offset;  // forces the offset
  std::string item5;         // as if the module answered configuration item 5 with this base
  std::string flash_size;
  std::string module;  // take item 5 and the flash size from this module
  bool json = false;   // one JSON object on standard output instead of the text
};

// The offset added to every address, as the signed difference it is: where the image lands
// less its start (addresses wrap round at 4 GB, so adding 0x7ff80000 takes 0x80080000 away).
std::string SignedOffset(std::uint32_t start, const host::BinPlacement& placement) {
  const std::int64_t lands = static_cast<std::uint32_t>(start + placement.offset);
  const std::int64_t difference = lands - static_cast<std::int64_t>(start);
  return difference < 0 ? "-" + HexLower(static_cast<std::uint64_t>(-difference))
                        : HexLower(static_cast<std::uint64_t>(difference));
}

std::string DescribePlacement(std::uint32_t start, const InfoOptions& options, bool item5_known,
                              const host::BinPlacement& placement) {
  if (!options.image_offset.empty())
    return "offset " + HexLower(placement.offset) + " (--image-offset)";
  switch (placement.translation) {
    case host::BinTranslation::kToFlashZero:
      return "start " + HexLower(start) +
             " is in 0xbca00000..0xbffffffe: the image goes to flash 0" + " (offset " +
             SignedOffset(start, placement) + ")";
    case host::BinTranslation::kToImageBase: {
      std::uint32_t base = start + placement.offset;
      std::string source = !item5_known
                               ? "the default: the module does not answer configuration item 5"
                           : options.module.empty() ? "word 0 of configuration item 5"
                                                    : "word 0 of the module's configuration item 5";
      return "start " + HexLower(start) +
             " is a kernel address: the image goes to the image base " + HexLower(base) + " (" +
             source + "), offset " + SignedOffset(start, placement);
    }
    case host::BinTranslation::kNone:
      break;
  }
  return "start " + HexLower(start) + " is not translated: addresses are flash offsets (offset 0)";
}

const char* SeverityWord(host::BinSeverity s) {
  switch (s) {
    case host::BinSeverity::kError:
      return "error";
    case host::BinSeverity::kWarning:
      return "warning";
    case host::BinSeverity::kNote:
      return "note";
  }
  return "?";
}

void PrintProblems(const std::vector<host::BinProblem>& problems) {
  if (problems.empty()) {
    std::printf("%-12snone\n", "problems");
    return;
  }
  std::printf("problems\n");
  std::map<host::BinProblemKind, std::size_t> shown, total;
  for (const host::BinProblem& p : problems) ++total[p.kind];
  for (const host::BinProblem& p : problems) {
    std::size_t& n = shown[p.kind];
    if (n < kProblemsShownPerKind) {
      std::printf("  %s: %s\n", SeverityWord(p.severity), p.text.c_str());
    } else if (n == kProblemsShownPerKind) {
      std::printf("  %s: ... and %zu more like the one above\n", SeverityWord(p.severity),
                  total[p.kind] - kProblemsShownPerKind);
    }
    ++n;
  }
}

void PrintRecords(const host::BinImage& image, std::uint32_t offset) {
  std::uint64_t data_bytes = 0;
  for (const host::BinRecord& r : image.records) data_bytes += r.present;
  std::printf("%-12s%zu, %llu data bytes\n", "records", image.records.size(),
              static_cast<unsigned long long>(data_bytes));
  if (image.records.empty()) return;
  std::printf("  %7s  %-10s  %-10s  %-10s  %-10s  %s\n", "index", "address", "length", "checksum",
              "flash", "data");
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const host::BinRecord& r = image.records[i];
    char state[64];
    if (!r.complete()) {
      std::snprintf(state, sizeof state, "cut short: %llu of %u bytes",
                    static_cast<unsigned long long>(r.present), r.length);
    } else if (r.checksum_ok()) {
      std::snprintf(state, sizeof state, "ok");
    } else {
      std::snprintf(state, sizeof state, "BAD CHECKSUM: sums to 0x%08x", r.computed);
    }
    std::printf("  %7zu  0x%08x  0x%08x  0x%08x  0x%08x  %s\n", i, r.address, r.length, r.checksum,
                static_cast<std::uint32_t>(r.address + offset), state);
  }
}

// Without a module: the blocks an update of the image erases on a module of each kind, taken
// by the updater's own rounding (ImageEraseBlocks) over that kind's geometry. NOR: the default
// device (P30, bottom parameter blocks, two 32 MB chips); NAND: 128 KB blocks, and an image
// that starts in the boot area takes both of its blocks.
std::vector<host::NorBlock> default_nor_blocks;
DWORD DefaultNorBlockSize(DWORD offset) {
  for (const host::NorBlock& b : default_nor_blocks) {
    if (offset >= b.offset && offset - b.offset < b.size) return b.size;
  }
  return 0;
}
DWORD NandBlockSize(DWORD) { return host::kNandBlockBytes; }

struct KindErase {
  std::uint64_t from, to, blocks;
};
KindErase EraseOn(FlashDriverKind kind, DWORD start, DWORD length) {
  if (default_nor_blocks.empty())
    default_nor_blocks = host::NorArray(host::NorConfig{}, nullptr).Blocks();
  const FlashOpsTable saved = FlashOps;
  FlashOps.DriverKind = kind;
  FlashOps.BlockSize = kind == kDriverNand ? NandBlockSize : DefaultNorBlockSize;
  ULONGLONG from = 0, to = 0;
  ImageEraseBlocks(start, length, &from, &to);
  std::uint64_t blocks = 0;
  for (std::uint64_t at = from; at < to;) {
    const DWORD size = FlashOps.BlockSize(static_cast<DWORD>(at));
    if (size == 0) break;
    at += size;
    ++blocks;
  }
  FlashOps = saved;
  return {from, to, blocks};
}

int Info(const InfoOptions& options) {
  std::optional<std::uint32_t> forced, item5;
  std::optional<std::uint64_t> flash_size;
  if (!options.image_offset.empty()) {
    forced = static_cast<std::uint32_t>(Number("image offset", options.image_offset, 0xFFFFFFFF));
  }
  if (!options.item5.empty()) {
    item5 = static_cast<std::uint32_t>(Number("item 5 base", options.item5, 0xFFFFFFFF));
  }
  if (!options.flash_size.empty()) {
    flash_size = Number("flash size", options.flash_size, 0x100000000);
  }
  bool hmit = false;  // the module's NAND driver stores "HMIT" at flash bytes 4 to 7
  // Open while the file is looked at: the updater's own checks run on the module's driver.
  std::optional<host::FlashSession> session;
  if (!options.module.empty()) {
    // As the updater finds them on this module: item 5's image base, the driver's flash size.
    session.emplace(options.module);
    if (session->driver() == 0)
      throw UsageError(options.module + ": the flash driver does not start");
    DWORD layout[kConfigItemLayoutSize / 4] = {};
    if (GetConfigItem(kConfigItemLayout, layout, sizeof layout)) item5 = layout[0];
    flash_size = FlashOps.FlashSize;
    hmit = FlashOps.DriverKind == kDriverNand && GetCpuPartNumber() == 9;
  }

  host::BinImage image;
  try {
    image =
        options.file == "-" ? host::ReadBinImage(ReadInput("-")) : host::ReadBinFile(options.file);
  } catch (const std::runtime_error& e) {
    throw UsageError(e.what());
  }

  // The same facts as text (the default) or as one JSON object with the keys docs/tools.md
  // lists: numbers as numbers, absent parts as absent keys.
  const bool text = !options.json;
  toml::table json;
  json.insert("file", options.file);
  json.insert("bytes", static_cast<std::int64_t>(image.bytes.size()));
  if (text) std::printf("%-12s%s, %zu bytes\n", "file", options.file.c_str(), image.bytes.size());
  std::vector<host::BinProblem> problems = image.problems;
  if (image.header_complete) {
    host::BinPlacement placement = host::PlaceBinImage(image.start, item5);
    if (forced) placement.offset = *forced;
    // With a module, the blocks its updater erases; without, the image's own range (the blocks
    // it touches depend on the flash).
    std::uint64_t erase_at = static_cast<std::uint32_t>(image.start + placement.offset);
    std::uint64_t erase_end = erase_at + image.length;
    if (session) {
      ULONGLONG from = 0, to = 0;
      ImageEraseBlocks(static_cast<DWORD>(erase_at), image.length, &from, &to);
      erase_at = from;
      erase_end = to;
    }
    std::string placement_text =
        DescribePlacement(image.start, options, item5.has_value(), placement);
    json.insert("start", std::int64_t{image.start});
    json.insert("length", std::int64_t{image.length});
    json.insert("offset", std::int64_t{placement.offset});
    json.insert("placement", placement_text);
    json.insert("erase_start", static_cast<std::int64_t>(erase_at));
    json.insert("erase_end", static_cast<std::int64_t>(erase_end));
    std::string by_kind;
    if (!session && image.length && erase_end <= 0x100000000ull) {
      toml::table kinds;
      for (const auto& [kind, name] :
           {std::pair{kDriverNor, "nor"}, std::pair{kDriverNand, "nand"}}) {
        const KindErase e = EraseOn(kind, static_cast<DWORD>(erase_at), image.length);
        kinds.insert(name, toml::table{{"start", static_cast<std::int64_t>(e.from)},
                                       {"end", static_cast<std::int64_t>(e.to)},
                                       {"blocks", static_cast<std::int64_t>(e.blocks)}});
        by_kind += std::string(by_kind.empty() ? "" : "; ") +
                   (kind == kDriverNand ? "on NAND " : "on NOR (the default device) ") +
                   (e.blocks == 0
                        ? "nothing: it lies past the flash"
                        : HexLower(e.from) + "-" + HexLower(e.to - 1) + " (" +
                              std::to_string(e.blocks) + (e.blocks == 1 ? " block)" : " blocks)"));
      }
      json.insert("erase_blocks", std::move(kinds));
    }
    toml::array records;
    for (const host::BinRecord& r : image.records) {
      records.push_back(toml::table{
          {"address", std::int64_t{r.address}},
          {"length", std::int64_t{r.length}},
          {"checksum", std::int64_t{r.checksum}},
          {"sum", std::int64_t{r.computed}},
          {"present", static_cast<std::int64_t>(r.present)},
          {"file_offset", static_cast<std::int64_t>(r.header_at)},
          {"flash", std::int64_t{static_cast<std::uint32_t>(r.address + placement.offset)}},
          {"ok", r.checksum_ok()}});
    }
    json.insert("records", std::move(records));
    if (image.end_record) {
      json.insert(
          "end_record",
          toml::table{{"file_offset", static_cast<std::int64_t>(image.end_record->header_at)},
                      {"entry_point", std::int64_t{image.end_record->length}}});
    }
    if (text) {
      std::printf("%-12sstart 0x%08x, length 0x%08x (%u bytes)\n", "header", image.start,
                  image.length, image.length);
      std::printf("%-12s%s\n", "placement", placement_text.c_str());
      if (session || by_kind.empty()) {
        std::printf("%-12sflash [%s, %s)%s\n", "erases", HexLower(erase_at).c_str(),
                    HexLower(erase_end).c_str(),
                    session ? "" : " and the rest of the blocks it touches");
      } else {
        // The blocks, as an update takes them: they depend on the flash.
        std::printf("%-12s%s\n", "erases", by_kind.c_str());
      }
      PrintRecords(image, placement.offset);
      if (image.end_record) {
        if (image.end_record->length) {
          std::printf("%-12sat file offset %s, entry point 0x%08x\n", "end record",
                      HexLower(image.end_record->header_at).c_str(), image.end_record->length);
        } else {
          std::printf("%-12sat file offset %s, no entry point\n", "end record",
                      HexLower(image.end_record->header_at).c_str());
        }
      } else {
        std::printf("%-12snone\n", "end record");
      }
    }
    if (hmit && image.length > 4 &&
        static_cast<std::uint32_t>(image.start + placement.offset) <= 4 &&
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(image.start + placement.offset)) +
                image.length >=
            8) {
      const char* note =
          "the module is a PXA3xx part number 9: its NAND driver stores \"HMIT\" (0x54494D48) at "
          "flash bytes 4-7, whatever the image has there, and the read-back expects it";
      json.insert("boot_area", note);
      if (text) std::printf("%-12s%s\n", "boot area", note);
    }
    if (flash_size) {
      json.insert("flash_size", static_cast<std::int64_t>(*flash_size));
      if (text) std::printf("%-12s%s bytes\n", "flash size", HexLower(*flash_size).c_str());
      for (host::BinProblem& p : host::CheckBinPlacement(image, placement.offset, *flash_size)) {
        problems.push_back(std::move(p));
      }
    }
    // With the module's driver, the updater's own check of the records' places has the last
    // word.
    for (host::BinProblem& p : host::CheckBinRecordPlaces(image, placement.offset, problems)) {
      problems.push_back(std::move(p));
    }
  }
  bool fails = std::any_of(problems.begin(), problems.end(), [](const host::BinProblem& p) {
    return p.severity == host::BinSeverity::kError;
  });
  if (text) {
    PrintProblems(problems);
    std::printf("%-12s%s\n", "verdict",
                fails ? "the updater would refuse this file or fail on it"
                      : "the updater would accept this file");
  } else {
    toml::array list;
    for (const host::BinProblem& p : problems) {
      toml::table entry{{"severity", SeverityWord(p.severity)}, {"text", p.text}};
      if (p.record != host::kNoRecord) entry.insert("record", static_cast<std::int64_t>(p.record));
      list.push_back(std::move(entry));
    }
    json.insert("problems", std::move(list));
    json.insert("accepted", !fails);
    std::cout << toml::json_formatter{json} << "\n";
  }
  return fails ? kExitUpdaterFails : 0;
}

// ---- make ------------------------------------------------------------------------------------

std::vector<std::uint8_t> ReadInput(const std::string& path) {
  if (path == "-") {
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(std::cin)),
                                    std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw UsageError("standard input: cannot be read");
    if (bytes.empty()) throw UsageError("standard input: is empty");
    return bytes;
  }
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    throw UsageError(path + ": " +
                     (fs::exists(path, ec) ? "is not a regular file" : "no such file"));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(path + ": cannot be read");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw UsageError(path + ": cannot be read");
  if (bytes.empty()) throw UsageError(path + ": is empty");
  if (bytes.size() > 0xFFFFFFFFu) throw UsageError(path + ": is larger than 4 GB");
  return bytes;
}

/// Writes `bytes` to a temporary file beside `path`, then renames it over `path`: `path` is
/// either untouched or complete.
void WriteWhole(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  if (path == "-") {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (std::fflush(stdout) != 0) throw UsageError("cannot write standard output");
    return;
  }
  fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  std::string temp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    throw UsageError(path.string() + ": cannot write (" + std::strerror(errno) + ")");
  }
  std::size_t done = 0;
  int error = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // mkstemp makes the file private; give it the mode a plain new file would have.
  const mode_t mask = umask(0);
  umask(mask);
  if (!error && fchmod(fd, 0666 & ~mask) != 0) error = errno;
  if (!error && fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    ::unlink(temp.c_str());
    throw UsageError(path.string() + ": cannot write (" + std::strerror(error) + ")");
  }
}

struct MakeOptions {
  std::string output, start, length, raw, at, chunk, entry;
  std::vector<std::string> records;
  bool allow_overlap = false;
};

int Make(const MakeOptions& options, const CLI::App& make, const CLI::Option* record_option,
         const CLI::Option* raw_option) {
  auto start = static_cast<std::uint32_t>(Number("start", options.start, 0xFFFFFFFF));
  host::BinWriter writer(start);
  if (!options.length.empty()) {
    writer.SetLength(static_cast<std::uint32_t>(Number("length", options.length, 0xFFFFFFFF)));
  }
  if (!options.entry.empty()) {
    writer.SetEntry(static_cast<std::uint32_t>(Number("entry", options.entry, 0xFFFFFFFF)));
  }
  std::size_t chunk = kDefaultChunk;
  if (!options.chunk.empty()) {
    chunk = Number("chunk", options.chunk, 0xFFFFFFFF);
    if (chunk == 0) throw UsageError("chunk 0: a record holds at least one byte");
  }

  // Records in the order the command line gives them.
  std::size_t next_record = 0;
  for (const CLI::Option* option : make.parse_order()) {
    if (option == record_option) {
      const std::string& record_arg = options.records.at(next_record++);
      std::size_t eq = record_arg.find('=');
      if (eq == std::string::npos) {
        throw UsageError("--record '" + record_arg + "' is not ADDR=PATH");
      }
      auto address = static_cast<std::uint32_t>(
          Number("record address", record_arg.substr(0, eq), 0xFFFFFFFF));
      writer.Add(address, ReadInput(record_arg.substr(eq + 1)));
    } else if (option == raw_option) {
      auto address = static_cast<std::uint32_t>(Number("--at address", options.at, 0xFFFFFFFF));
      writer.Add(address, ReadInput(options.raw), chunk);
    }
  }
  if (writer.records().empty()) {
    throw UsageError("no data: give --record ADDR=PATH or --raw PATH --at ADDR");
  }
  std::vector<std::string> reasons = writer.Check(options.allow_overlap);
  if (!reasons.empty()) {
    constexpr std::size_t kShown = 3;
    std::string all;
    for (std::size_t i = 0; i < reasons.size() && i < kShown; ++i) all += reasons[i] + "; ";
    if (reasons.size() > kShown) {
      all += "and " + std::to_string(reasons.size() - kShown) + " more; ";
    }
    throw UsageError(all + "nothing written");
  }
  for (const host::BinRecordData& r : writer.records()) {
    if (r.address == 0) {
      // The updater and SRecord read address 0 as the end record when the checksum is 0.
      std::fprintf(stderr,
                   "imbrel-bin: warning: a record at address 0: a reader takes a record at 0 "
                   "whose bytes sum to 0 for the end record, and SRecord refuses data there\n");
      break;
    }
  }
  std::vector<std::uint8_t> bytes = writer.Build();
  WriteWhole(options.output, bytes);
  std::uint64_t data_bytes = 0;
  for (const host::BinRecordData& r : writer.records()) data_bytes += r.data.size();
  // With the image on standard output, the summary goes to standard error.
  std::fprintf(options.output == "-" ? stderr : stdout,
               "wrote %s: start %s, length %s, %zu record%s, %llu data bytes, %zu bytes\n",
               options.output.c_str(), HexLower(writer.start()).c_str(),
               HexLower(writer.Length()).c_str(), writer.records().size(),
               writer.records().size() == 1 ? "" : "s", static_cast<unsigned long long>(data_bytes),
               bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"imbrel-bin: inspect and build Windows CE BIN images"};
  app.require_subcommand(1);
  app.set_version_flag("--version", host::VersionText("imbrel-bin " IMBREL_VERSION));
  app.footer(
      "Numbers are decimal or 0x-hex, with K, M or G for KiB, MiB or GiB (64K, 0x20M).\n"
      "Exit status: 0 fine, 1 the updater would refuse the file or fail on it (info),\n"
      "2 bad command line, unreadable or unwritable file.");

  InfoOptions info_options;
  CLI::App* info = app.add_subcommand(
      "info", "list the header, every record and where it lands, and what is wrong with FILE");
  info->add_option("FILE", info_options.file, "BIN image (- for standard input)")->required();
  CLI::Option* offset_option = info->add_option("--image-offset", info_options.image_offset,
                                                "add N to every address (overrides placement)")
                                   ->type_name("N");
  CLI::Option* item5_option =
      info->add_option("--item5", info_options.item5,
                       "place as if the module answered configuration item 5 with BASE "
                       "(default: it does not, base 0x80000)")
          ->type_name("BASE");
  offset_option->excludes(item5_option);
  CLI::Option* size_option =
      info->add_option("--flash-size", info_options.flash_size,
                       "check that records and the erased range fit a flash of N bytes")
          ->type_name("N");
  info->add_flag("--json", info_options.json,
                 "one JSON object on standard output (keys in docs/tools.md) instead of the text");
  info->add_option("--module", info_options.module,
                   "take configuration item 5 and the flash size from this module (and say "
                   "what its driver does to the boot area)")
      ->type_name("DIR")
      ->excludes(item5_option)
      ->excludes(size_option)
      ->excludes(offset_option);

  MakeOptions make_options;
  CLI::App* make = app.add_subcommand("make", "build a valid BIN image from files");
  make->add_option("-o,--output", make_options.output, "the image to write")
      ->type_name("FILE")
      ->required();
  make->add_option("--start", make_options.start, "image start address")
      ->type_name("ADDR")
      ->required();
  make->add_option("--length", make_options.length,
                   "image length (default: from the start to the end of the last record)")
      ->type_name("N");
  CLI::Option* record_option =
      make->add_option("--record", make_options.records, "one record of PATH's bytes at ADDR")
          ->type_name("ADDR=PATH")
          ->expected(1)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI::Option* raw_option =
      make->add_option("--raw", make_options.raw, "PATH's bytes as records of at most --chunk")
          ->type_name("PATH");
  CLI::Option* at_option =
      make->add_option("--at", make_options.at, "address of --raw's data")->type_name("ADDR");
  raw_option->needs(at_option);
  at_option->needs(raw_option);
  make->add_option("--chunk", make_options.chunk, "most bytes in one --raw record (16384)")
      ->type_name("N")
      ->needs(raw_option);
  make->add_flag("--allow-overlap", make_options.allow_overlap, "accept overlapping records");
  make->add_option("--entry", make_options.entry,
                   "entry point, in the end record's length as SRecord writes it (default 0)")
      ->type_name("ADDR");

  if (auto status = host::ParseToolArguments(app, argc, argv)) return *status;

  try {
    if (*info) return Info(info_options);
    if (*make) return Make(make_options, *make, record_option, raw_option);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imbrel-bin: %s\n", e.what());
    return kExitUsage;
  }
  return kExitUsage;
}
