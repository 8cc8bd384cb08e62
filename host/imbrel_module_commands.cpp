// What imbrel-module's subcommands do: make a module, describe it, erase, write and read its
// flash through the program's own driver, and add or remove faults in its faults.toml.

#include "host/imbrel_module_commands.h"

#include <unistd.h>

#include <toml++/toml.h>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/nand/nand_controller.h"
#include "flash/nand/nand_flash.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/flash_map.h"
#include "host/module/module.h"
#include "host/system/calendar.h"
#include "host/tool_support.h"
#include "platform/kernel_call.h"

namespace fs = std::filesystem;

namespace host {

namespace {

// Opens a session and checks that the range lies inside the flash before anything is touched.
void CheckRange(const FlashSession& session, const std::string& what, std::uint64_t offset,
                std::uint64_t length) {
  if (session.driver() == 0) {
    throw std::runtime_error("the flash driver could not start on this module");
  }
  if (offset > FlashOps.FlashSize || length > FlashOps.FlashSize - offset) {
    throw UsageError(what + " " + Hex(offset) + " + " + Hex(length) + " runs past the flash (" +
                     Hex(FlashOps.FlashSize) + " bytes)");
  }
}

// Whether stderr is a terminal: erase and write then show their progress there.
bool StderrIsTerminal() {
  static const bool terminal = isatty(STDERR_FILENO);
  return terminal;
}

int ShowEraseProgress(DWORD done, DWORD total) {
  if (StderrIsTerminal()) {
    std::fprintf(stderr, "\rerasing: %u of %u KB", done / 1024, total / 1024);
    std::fflush(stderr);
  }
  return 1;
}

void EndProgressLine() {
  if (StderrIsTerminal()) std::fprintf(stderr, "\r\033[K");
}

std::uint32_t Word(const std::string& what, const std::string& text) {
  return static_cast<std::uint32_t>(Number(what, text, 0xFFFFFFFF));
}

template <std::size_t N>
std::array<std::uint32_t, N> WordList(const std::string& what, const std::string& text) {
  std::array<std::uint32_t, N> words;
  std::size_t start = 0;
  for (std::size_t i = 0; i < N; ++i) {
    std::size_t end = text.find(',', start);
    if ((end == std::string::npos) != (i == N - 1)) {
      throw UsageError(what + " '" + text + "' is not " + std::to_string(N) +
                       " words separated by commas");
    }
    words[i] = Word(what, text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::uint64_t Time(const std::string& what, const std::string& text) {
  auto ticks = ParseIsoTime(text);
  if (!ticks) {
    throw UsageError(what + " '" + text + "' is not a UTC time like 2009-03-07T00:00:00");
  }
  return *ticks;
}

// `count` decimal numbers joined by dots, each at most its `max`, then "-betaBUILD" when
// `beta` is given (BUILD at most 0xFFFF; 0 without it): "1.3", "1.2.7-beta9".
bool DottedNumbers(const std::string& text, std::size_t count, const std::uint64_t* max,
                   std::uint32_t* out, std::uint32_t* beta) {
  std::size_t at = 0;
  auto number = [&](std::uint64_t limit, std::uint32_t* value) {
    std::size_t start = at;
    std::uint64_t v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 10) {
      v = v * 10 + static_cast<std::uint64_t>(text[at++] - '0');
    }
    *value = static_cast<std::uint32_t>(v);
    return at > start && v <= limit;
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && (at >= text.size() || text[at++] != '.')) return false;
    if (!number(max[i], &out[i])) return false;
  }
  if (beta) *beta = 0;
  if (at == text.size()) return true;
  if (!beta || text.compare(at, 5, "-beta") != 0) return false;
  at += 5;
  return number(0xFFFF, beta) && at == text.size();
}

// "1.3" or "1.3-beta5": major, minor, beta build.
std::array<std::uint32_t, 3> Version(const std::string& what, const std::string& text) {
  static const std::uint64_t kMax[] = {0xFFFF, 0xFFFF};
  std::array<std::uint32_t, 3> v;
  if (!DottedNumbers(text, 2, kMax, v.data(), &v[2])) {
    throw UsageError(what + " '" + text + "' is not MAJOR.MINOR or MAJOR.MINOR-betaBUILD");
  }
  return v;
}
// "1.5.3" or "1.5.3-beta2": id, major, minor | beta build << 16.
std::array<std::uint32_t, 3> ImageVersion(const std::string& text) {
  static const std::uint64_t kMax[] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF};
  std::array<std::uint32_t, 3> v;
  std::uint32_t build = 0;
  if (!DottedNumbers(text, 3, kMax, v.data(), &build)) {
    throw UsageError("image version '" + text +
                     "' is not ID.MAJOR.MINOR or ID.MAJOR.MINOR-betaBUILD");
  }
  v[2] |= build << 16;
  return v;
}

// The bootloader options of `create`. Under --blank, an option that describes the
// bootloader puts it back.
void BootloaderContent(const ContentArgs& a, CreateOptions& options) {
  bool bootloader_given = !a.bootloader_version.empty() || !a.bootloader_banner.empty() ||
                          !a.bootloader_time.empty() || !a.bootloader_place.empty() ||
                          !a.bootloader_size.empty();
  if (a.no_bootloader) {
    options.bootloader.reset();
  } else if (bootloader_given) {
    if (!options.bootloader) options.bootloader = BootloaderOptions{};
    BootloaderOptions& b = *options.bootloader;
    if (!a.bootloader_version.empty()) {
      auto v = Version("bootloader version", a.bootloader_version);
      b.major = v[0], b.minor = v[1], b.beta_build = v[2];
    }
    if (!a.bootloader_banner.empty()) {
      // The version, then the build date that CreateModule checks.
      static const std::uint64_t kMax[] = {0xFFFF, 0xFFFF};
      std::size_t blank = a.bootloader_banner.find(' ');
      std::uint32_t v[2];
      if (blank == std::string::npos ||
          !DottedNumbers(a.bootloader_banner.substr(0, blank), 2, kMax, v, nullptr)) {
        throw UsageError("bootloader banner '" + a.bootloader_banner +
                         "' is not like \"1.4 Mar 7 2009\" (version, then build date)");
      }
      b.banner = true;
      b.major = v[0];
      b.minor = v[1];
      b.beta_build = 0;
      b.built = a.bootloader_banner.substr(blank + 1);
    }
    if (!a.bootloader_time.empty()) b.time = Time("bootloader time", a.bootloader_time);
    if (!a.bootloader_place.empty()) {
      b.place = Word("bootloader place", a.bootloader_place);
      if (b.place != 0 && b.place != 0x8000) {
        throw UsageError("bootloader place " + a.bootloader_place + " is not 0 or 0x8000");
      }
    }
    if (!a.bootloader_size.empty()) b.size = Word("bootloader size", a.bootloader_size);
  }
}

void ContentOptions(const ContentArgs& a, CreateOptions& options) {
  if (a.blank) options = CreateOptions::Blank();
  // Under --blank, an option that describes a part puts that part back.
  BootloaderContent(a, options);

  if (a.no_config_block && (a.config_block_given || a.old_config_place)) {
    throw UsageError(
        "--no-config-block and a place for the configuration block exclude each other");
  }
  if (a.no_config_block) {
    options.config_block.reset();
  } else if (a.old_config_place) {
    options.config_block = kConfigBlockOldPlace;
  } else if (a.config_block_given) {
    options.config_block = kConfigBlockPlace;
  }

  bool image_given = !a.image_place.empty() || !a.image_size.empty() || !a.image_time.empty();
  if (a.no_image) {
    options.image.reset();
  } else if (image_given) {
    if (!options.image) options.image = ImageOptions{};
    if (!a.image_place.empty()) options.image->place = Word("image place", a.image_place);
    if (!a.image_size.empty()) options.image->size = Word("image size", a.image_size);
    if (!a.image_time.empty()) options.image->time = Time("image time", a.image_time);
  }

  if (a.no_item0) {
    options.item0.reset();
  } else if (!a.item0.empty()) {
    options.item0 = WordList<2>("item 0", a.item0);
  }
  if (a.no_item5) {
    options.item5 = false;
  } else if (!a.item5.empty()) {
    options.item5 = true;
    options.item5_words = WordList<6>("item 5", a.item5);
  }
  if (a.no_image_version) {
    options.image_version.reset();
  } else if (!a.image_version.empty()) {
    options.image_version = ImageVersion(a.image_version);
  }
  if (a.no_fdf) {
    options.fdf_time.reset();
  } else if (!a.fdf_time.empty()) {
    options.fdf_time = Time("default.fdf time", a.fdf_time);
  }
  if (a.no_samples) options.samples = false;
  if (a.no_registry) {
    options.registry = false;
  } else if (!a.mem_base.empty() || !a.mem_len.empty()) {
    options.registry = true;
    if (!a.mem_base.empty()) options.mem_base = Word("MemBase", a.mem_base);
    if (!a.mem_len.empty()) options.mem_len = Word("MemLen", a.mem_len);
  }
}

// The options of a NAND module: its chip, the blocks it comes with marked bad, its processor.
void NandOptions(const CreateArgs& args, CreateOptions& options) {
  const ContentArgs& content = args.content;
  options.flash = FlashKind::kNand;
  if (!args.chip.empty()) {
    options.nand_chip = static_cast<std::uint16_t>(Number("chip ID", args.chip, 0xFFFF));
  }
  for (std::size_t start = 0; start < content.factory_bad_blocks.size();) {
    std::size_t end = content.factory_bad_blocks.find(',', start);
    if (end == std::string::npos) end = content.factory_bad_blocks.size();
    options.factory_bad_blocks.push_back(static_cast<std::uint32_t>(
        Number("--factory-bad-blocks", content.factory_bad_blocks.substr(start, end - start),
               0xFFFFFFFF)));
    start = end + 1;
  }
  if (!args.part.empty()) {
    std::uint64_t number = Number("part number", args.part, 63);
    if (number != 8 && number != 9) {
      throw UsageError("part number " + args.part + " is not a PXA3xx part number (8 or 9)");
    }
    options.part_number = static_cast<std::uint32_t>(number);
  }
}

// The options of a NOR module: its device and the size of each chip.
void NorOptions(const CreateArgs& args, CreateOptions& options) {
  options.flash = FlashKind::kNor;
  if (!args.device.empty()) {
    options.nor_device = static_cast<std::uint16_t>(Number("device code", args.device, 0xFFFF));
  }
  if (!args.cfi.empty()) {
    std::uint64_t size = Number("CFI size", args.cfi, 0xFF);
    if (size < 0x12 || size > 0x1A) {
      throw UsageError("CFI size " + args.cfi +
                       " is outside 0x12..0x1A (each chip 256 KB to 64 MB)");
    }
    options.cfi_size = static_cast<std::uint8_t>(size);
  }
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

// Whether two values are the same integer or the same string. Types are compared first: a
// float is never converted.
bool SameValue(const toml::node& a, const toml::node& b) {
  if (a.type() != b.type()) return false;
  if (a.is_integer()) return a.as_integer()->get() == b.as_integer()->get();
  if (a.is_string()) return a.as_string()->get() == b.as_string()->get();
  return false;
}

// Whether two fault entries name the same fault: every key of `wanted` has its value there.
bool SameFault(const toml::table& entry, const toml::table& wanted) {
  for (const auto& [key, value] : wanted) {
    const toml::node* have = entry.get(key);
    if (!have || !SameValue(*have, value)) return false;
  }
  return true;
}

// faults.toml as it stands; empty when the module has none.
toml::table ReadFaultsFile(const fs::path& file) {
  toml::table root;
  if (fs::exists(file)) {
    try {
      root = toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
      throw UsageError(file.string() + ": " + std::string(e.description()));
    }
  }
  return root;
}

// The fault entries that `args` name, each with the name of its list.
std::vector<std::pair<std::string, toml::table>> FaultEntries(const FaultArgs& args, bool nand) {
  std::vector<std::pair<std::string, toml::table>> entries;  // list name, entry
  const std::string list = nand ? "nand" : "nor";
  if (!args.bad_block.empty()) {
    if (args.on != "erase" && args.on != "program") {
      throw UsageError("--bad-block needs --on erase or --on program");
    }
    toml::table t{{"kind", args.on == "erase" ? "erase-error" : "program-error"}};
    // NAND: a physical block number; NOR: the offset of any byte of the block, in hex.
    toml::value<std::int64_t> block(
        static_cast<std::int64_t>(Number("--bad-block", args.bad_block, 0xFFFFFFFF)));
    if (!nand) block.flags(toml::value_flags::format_as_hexadecimal);
    t.insert("block", std::move(block));
    entries.emplace_back(list, std::move(t));
  }
  if (!args.bit_flip.empty()) {
    if (!nand) throw UsageError("--bit-flip is a fault of NAND modules");
    entries.emplace_back(
        "nand",
        toml::table{
            {"kind", "bit-flip"},
            {"page", static_cast<std::int64_t>(Number("--bit-flip", args.bit_flip, 0xFFFFFFFF))},
            {"byte", static_cast<std::int64_t>(Number("--byte", args.byte, 2111))},
            {"bit", static_cast<std::int64_t>(Number("--bit", args.bit, 7))}});
  }
  if (args.never_ready) entries.emplace_back(list, toml::table{{"kind", "never-ready"}});
  return entries;
}

// Adds the entries to their lists in `root` (faults.toml, `file`), or with `remove` takes
// every entry that names the same fault out of them.
void ChangeFaults(toml::table& root, std::vector<std::pair<std::string, toml::table>>& entries,
                  bool remove, const fs::path& file) {
  for (auto& [name, entry] : entries) {
    if (!root.contains(name)) root.insert(name, toml::array{});
    toml::array* faults = root[name].as_array();
    if (!faults)
      throw UsageError(file.string() + ": " + name + " is not a list of [[" + name + "]]");
    if (remove) {
      std::size_t before = faults->size();
      for (std::size_t i = faults->size(); i-- > 0;) {
        const toml::table* have = (*faults)[i].as_table();
        if (have && SameFault(*have, entry)) faults->erase(faults->begin() + static_cast<long>(i));
      }
      if (faults->size() == before) throw UsageError("faults.toml has no such fault to remove");
      if (faults->empty()) root.erase(name);
    } else {
      bool there = false;
      for (const toml::node& have : *faults) {
        if (have.as_table() && SameFault(*have.as_table(), entry)) there = true;
      }
      if (there) {
        std::fprintf(stderr, "imbrel-module: that fault is in faults.toml already\n");
      } else {
        faults->push_back(std::move(entry));
      }
    }
  }
}

// Puts `text` in the module's faults.toml if the module loads it; the old file stays when
// the module refuses the new one.
void ReplaceFaultsFile(const std::string& dir, const std::string& text) {
  fs::path file = fs::path(dir) / "faults.toml";
  fs::path staged = fs::path(dir) / ".faults.toml.new";
  {
    std::ofstream out(staged);
    out << text;
    if (!out) throw UsageError("cannot write " + staged.string());
  }
  // Check the new file as the module reads it: swap it in, load, and put the old one back if
  // the module refuses it.
  fs::path kept = fs::path(dir) / ".faults.toml.old";
  bool had = fs::exists(file);
  if (had) fs::rename(file, kept);
  fs::rename(staged, file);
  try {
    LoadModuleConfig(dir);
  } catch (...) {
    fs::remove(file);
    if (had) fs::rename(kept, file);
    throw;
  }
  if (had) fs::remove(kept);
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

// An erased page as the ECC sees it: at most one bit 0 in each 512-byte step (a bit that
// flipped since the erase, which the ECC would correct in a programmed page).
bool ErasedButForBitFlips(const std::vector<std::uint8_t>& page) {
  for (std::size_t step = 0; step < page.size(); step += 512) {
    int zeros = 0;
    for (std::size_t i = step; i < std::min(step + 512, page.size()); ++i) {
      zeros += std::popcount(static_cast<std::uint8_t>(~page[i]));
    }
    if (zeros > 1) return false;
  }
  return true;
}

// Reads [offset, offset + length) through the driver. NAND pages the driver will not read
// are read again without ECC: an erased page reads 0xFF (one flipped bit a step cleaned, as
// Linux's NAND layer does);
// anything else is damage, and *problem names the page and why.
bool ReadRange(std::uint64_t offset, std::uint64_t length, std::uint8_t* out,
               std::string* problem) {
  if (length == 0 ||
      FlashOps.ReadBuffer(out, static_cast<DWORD>(offset), static_cast<DWORD>(length))) {
    return true;
  }
  if (FlashOps.DriverKind != kDriverNand) {
    *problem = "read of " + Hex(offset) + " + " + Hex(length) + " failed";
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
        if (raw && ErasedButForBitFlips(one)) {
          std::fill(buffer.begin() + in, buffer.begin() + in + page, 0xFF);
        } else {
          *problem = "the page at " + Hex(at + in) + " does not read: " +
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
  while (at < offset + length) {
    DWORD block = FlashOps.BlockSize(static_cast<DWORD>(at));
    ShowEraseProgress(static_cast<DWORD>(done), static_cast<DWORD>(length));
    if (!FlashOps.EraseRange(static_cast<DWORD>(at), block)) {
      EndProgressLine();
      std::fprintf(stderr,
                   "imbrel-module: erase failed at the block %s + %s (it is locked, failed to "
                   "erase or timed out)%s\n",
                   Hex(at).c_str(), Hex(block).c_str(),
                   at > offset ? "; the blocks before it are erased" : "");
      return false;
    }
    done += block;
    at += block;
  }
  EndProgressLine();
  return true;
}

// Programs `image` at `start`, leaving out runs of 0xFF (an erased flash holds them already,
// and a NAND page left out stays erased), with progress on a terminal.
bool ProgramRange(std::uint64_t start, const std::vector<std::uint8_t>& image) {
  const std::size_t piece = FlashOps.DriverKind == kDriverNand ? FlashOps.PageSize() : 0x100;
  std::size_t shown = 0;
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
      std::fprintf(stderr,
                   "imbrel-module: write failed at %s (a block is locked, reported a program "
                   "error or timed out); the bytes before it are written\n",
                   Hex(start + done).c_str());
      return false;
    }
    done += take;
    if (StderrIsTerminal() && (done - shown >= 0x10000 || done == image.size())) {
      shown = done;
      std::fprintf(stderr, "\rwriting: %zu of %zu KB", done / 1024, image.size() / 1024);
      std::fflush(stderr);
    }
  }
  EndProgressLine();
  return true;
}

}  // namespace

int RunCreate(const CreateArgs& args) {
  const ContentArgs& content = args.content;
  if (args.nor && args.nand) throw UsageError("--nor and --nand: a module has one kind of flash");
  if (!args.nor && !args.nand) {
    throw UsageError("say which flash the module has: --nor or --nand");
  }
  if (!args.nand && (!args.chip.empty() || !args.part.empty())) {
    throw UsageError("--chip and --part go with --nand");
  }
  if (!args.nand && !content.factory_bad_blocks.empty()) {
    throw UsageError("--factory-bad-blocks goes with --nand");
  }
  if (args.nand && (!args.device.empty() || !args.cfi.empty())) {
    throw UsageError("--device and --cfi-size go with --nor");
  }
  CreateOptions options;
  ContentOptions(content, options);
  if (!content.times.empty()) {
    if (content.times == "typical")
      options.times = NorTimeMode::kTypical;
    else if (content.times == "maximum")
      options.times = NorTimeMode::kMaximum;
    else if (content.times != "varied")
      throw UsageError("--times " + content.times + " is not typical, maximum or varied");
  }
  if (!content.seed.empty()) options.seed = Number("--seed", content.seed, 0x7FFFFFFFFFFFFFFF);
  const std::string& dir = args.dir;
  if (args.nand) {
    NandOptions(args, options);
    CreateModule(dir, options);
    std::printf("made a NAND module in %s\n\n%s", dir.c_str(), DescribeModule(dir).c_str());
    return 0;
  }
  NorOptions(args, options);
  CreateModule(dir, options);
  std::printf("made a NOR module in %s\n\n%s", dir.c_str(), DescribeModule(dir).c_str());
  return 0;
}

int RunInfo(const std::string& dir, bool json) {
  std::string text = DescribeModule(dir);
  FlashSession session(dir);
  const ModuleConfig& config = session.module().config();
  bool nand = config.flash == FlashKind::kNand;
  char driver[128];
  if (session.driver()) {
    std::snprintf(driver, sizeof driver, "%-12s%s: DeviceType %d, FlashSize %s\n", "driver",
                  nand ? "NAND driver started" : "NOR driver started", FlashOps.DeviceType,
                  Hex(FlashOps.FlashSize).c_str());
  } else {
    std::snprintf(driver, sizeof driver, "%-12s%s\n", "driver",
                  "the flash driver does not start on this module");
  }
  text += driver;
  if (!json) {
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  // A few facts as typed keys, then every line of the text as a row: a name (the text's first
  // column) and its value, continuation lines joined to their row with a newline.
  toml::table out{{"module", fs::absolute(dir).string()},
                  {"flash", nand ? "nand" : "nor"},
                  {"part_number", static_cast<std::int64_t>(config.part_number)},
                  {"driver_started", session.driver() != 0}};
  if (session.driver()) {
    out.insert("flash_size", static_cast<std::int64_t>(FlashOps.FlashSize));
    out.insert("device_type", static_cast<std::int64_t>(FlashOps.DeviceType));
  }
  toml::array rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::string name = line.substr(0, std::min<std::size_t>(12, line.size()));
    std::string value = line.size() > 12 ? line.substr(12) : "";
    name.erase(name.find_last_not_of(' ') + 1);
    if (name.empty() && !rows.empty()) {
      toml::table& last = *rows.back().as_table();
      last.insert_or_assign("value", last["value"].value_or(std::string()) + "\n" + value);
    } else {
      rows.push_back(toml::table{{"name", name}, {"value", value}});
    }
  }
  out.insert("rows", std::move(rows));
  std::cout << toml::json_formatter{out} << "\n";
  return 0;
}

int RunErase(const FlashArgs& args) {
  std::uint64_t offset = Number("offset", args.offset, 0xFFFFFFFF);
  std::uint64_t length = Number("length", args.length, 0xFFFFFFFF);
  FlashSession session(args.dir);
  CheckRange(session, "erase", offset, length);
  std::uint64_t started = ClockNow();
  if (!EraseBlocks(offset, length)) return kExitFailed;
  std::printf("erased %s + %s in %s of module time\n", Hex(offset).c_str(), Hex(length).c_str(),
              FormatDuration(ClockNow() - started).c_str());
  return 0;
}

int RunWrite(const FlashArgs& args) {
  std::uint64_t offset = Number("offset", args.offset, 0xFFFFFFFF);
  std::vector<std::uint8_t> data = ReadInput(args.file);
  FlashSession session(args.dir);
  CheckRange(session, "write", offset, data.size());
  std::uint64_t started = ClockNow();
  std::uint64_t start = offset, end = offset + data.size();
  std::vector<std::uint8_t> image = data;  // what [start, end) must hold afterwards
  std::string problem;
  if (args.erase && !data.empty()) {
    // Every block the range touches is erased whole: its bytes outside the range are read
    // first and written back, so that only the range changes.
    start = offset - offset % FlashOps.BlockSize(static_cast<DWORD>(offset));
    DWORD last = static_cast<DWORD>(end - 1);
    end = last - last % FlashOps.BlockSize(last) + std::uint64_t{FlashOps.BlockSize(last)};
    // NAND: logical page 63 of block 0 lives in physical block 1, so an erase of either of
    // the first two logical blocks may take it; both are kept and written back together.
    constexpr std::uint64_t kNandBootArea = 0x40000;
    if (FlashOps.DriverKind == kDriverNand && start < kNandBootArea) {
      start = 0;
      end = std::max(end, kNandBootArea);
    }
    image.resize(end - start);
    if (!ReadRange(start, end - start, image.data(), &problem)) {
      std::fprintf(stderr,
                   "imbrel-module: %s; the blocks the range touches cannot be kept outside it, "
                   "so nothing is erased\n",
                   problem.c_str());
      return kExitFailed;
    }
    std::copy(data.begin(), data.end(), image.begin() + static_cast<long>(offset - start));
    // On part number 9 the driver stores "HMIT" at offset 4 whenever a write covers it: kept
    // bytes there that differ would change.
    const std::uint8_t hmit[] = {'H', 'M', 'I', 'T'};
    if (FlashOps.DriverKind == kDriverNand && GetCpuPartNumber() == 9 && start <= 4 && end >= 8 &&
        !std::equal(hmit, hmit + 4, image.begin() + static_cast<long>(4 - start)) &&
        (offset > 4 || offset + data.size() < 8)) {
      std::fprintf(stderr,
                   "imbrel-module: the blocks the range touches hold the bootloader's word at "
                   "offset 4, which this module's driver (part number 9) would write back as "
                   "\"HMIT\"; nothing is erased\n");
      return kExitFailed;
    }
    if (!EraseBlocks(start, end - start)) return kExitFailed;
  } else if (!data.empty()) {
    // Programming only clears bits: a range that is not erased would end up with neither its
    // old bytes nor the file's. Nothing is programmed then.
    std::vector<std::uint8_t> now(data.size());
    if (!ReadRange(offset, data.size(), now.data(), &problem)) {
      std::fprintf(stderr, "imbrel-module: %s; nothing written\n", problem.c_str());
      return kExitFailed;
    }
    auto used = std::find_if(now.begin(), now.end(), [](std::uint8_t b) { return b != 0xFF; });
    if (used != now.end()) {
      std::fprintf(stderr,
                   "imbrel-module: the flash at %s is not erased (it holds 0x%02x); nothing "
                   "written: erase the range first, or write --erase\n",
                   Hex(offset + static_cast<std::uint64_t>(used - now.begin())).c_str(), *used);
      return kExitFailed;
    }
  }
  if (!ProgramRange(start, image)) {
    if (start != offset || end != offset + data.size()) {
      // The blocks were erased whole for the write: what they held outside the range did not
      // all go back. Say so rather than leave "the bytes before it" to sound like the rest.
      std::fprintf(stderr,
                   "imbrel-module: %s + %s was erased for the write; its old bytes outside the "
                   "range were not all written back\n",
                   Hex(start).c_str(), Hex(end - start).c_str());
    }
    return kExitFailed;
  }
  std::vector<std::uint8_t> back(image.size());
  if (!ReadRange(start, image.size(), back.data(), &problem)) {
    std::fprintf(stderr, "imbrel-module: %s after the write\n", problem.c_str());
    return kExitFailed;
  }
  if (back != image) {
    std::size_t at = 0;
    while (back[at] == image[at]) ++at;
    std::fprintf(stderr,
                 "imbrel-module: after the write the flash at %s holds 0x%02x, not 0x%02x\n",
                 Hex(start + at).c_str(), back[at], image[at]);
    return kExitFailed;
  }
  std::printf("wrote %zu bytes at %s%s and verified them in %s of module time\n", data.size(),
              Hex(offset).c_str(),
              start != offset || end != offset + data.size()
                  ? (" (erased " + Hex(start) + " + " + Hex(end - start) + ")").c_str()
                  : "",
              FormatDuration(ClockNow() - started).c_str());
  return 0;
}

int RunVerify(const FlashArgs& args) {
  std::uint64_t offset = Number("offset", args.offset, 0xFFFFFFFF);
  std::vector<std::uint8_t> data = ReadInput(args.file);
  FlashSession session(args.dir);
  CheckRange(session, "verify", offset, data.size());
  std::vector<std::uint8_t> flash(data.size());
  std::string problem;
  if (!ReadRange(offset, data.size(), flash.data(), &problem)) {
    std::fprintf(stderr, "imbrel-module: %s\n", problem.c_str());
    return kExitFailed;
  }
  auto [f, d] = std::mismatch(flash.begin(), flash.end(), data.begin());
  if (f != flash.end()) {
    std::fprintf(stderr, "imbrel-module: the flash at %s holds 0x%02x, the file 0x%02x\n",
                 Hex(offset + static_cast<std::uint64_t>(f - flash.begin())).c_str(), *f, *d);
    return kExitFailed;
  }
  std::printf("verified %zu bytes at %s\n", data.size(), Hex(offset).c_str());
  return 0;
}

int RunRead(const FlashArgs& args) {
  const std::string& out_file = args.out_file;
  FlashSession session(args.dir);
  // With neither offset nor length: the whole flash.
  std::uint64_t offset = args.offset.empty() ? 0 : Number("offset", args.offset, 0xFFFFFFFF);
  std::uint64_t length =
      args.offset.empty() ? FlashOps.FlashSize : Number("length", args.length, 0xFFFFFFFF);
  if (!args.offset.empty() && args.length.empty()) throw UsageError("read: OFFSET needs a LENGTH");
  CheckRange(session, "read", offset, length);
  std::vector<std::uint8_t> data(length);
  std::string problem;
  if (!ReadRange(offset, length, data.data(), &problem)) {
    std::fprintf(stderr, "imbrel-module: %s\n", problem.c_str());
    return kExitFailed;
  }
  if (!out_file.empty() && out_file != "-") {
    std::ofstream out(out_file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
    out.close();
    if (!out) throw UsageError("cannot write " + out_file);
  } else if (out_file.empty() && isatty(STDOUT_FILENO)) {
    HexDump(data, offset);
  } else {
    std::fwrite(data.data(), 1, data.size(), stdout);
    if (std::fflush(stdout) != 0) throw UsageError("cannot write standard output");
  }
  return 0;
}

// Physical page 63, where the driver keeps its relocation table, written without ECC.
constexpr DWORD kRelocationTablePage = 63;

int RunDump(const DumpArgs& args) {
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
  if (args.out_file.empty() && isatty(STDOUT_FILENO)) {
    throw UsageError("dump writes binary pages: give -o FILE, or a pipe");
  }
  std::FILE* out = stdout;
  if (!args.out_file.empty() && args.out_file != "-") {
    out = std::fopen(args.out_file.c_str(), "wb");
    if (!out) throw UsageError("cannot write " + args.out_file);
  }
  std::vector<std::uint8_t> page(kNandPageBytes + kNandSpareBytes), corrected(kNandPageBytes);
  std::uint64_t uncorrectable = 0, unreadable = 0;
  for (std::uint64_t k = first; k < first + count; ++k) {
    DWORD physical = args.logical ? NandPhysicalPage(static_cast<DWORD>(k)) : static_cast<DWORD>(k);
    std::fill(page.begin(), page.end(), 0xFF);
    if (physical == kNoPhysicalPage) {
      // Logical page 127 has no place of its own (the table page is there): 0xFF, as erased.
      std::fwrite(page.data(), 1, page.size(), out);
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
      std::fprintf(stderr, "imbrel-module: physical page %u does not read (status %u)\n", physical,
                   raw);
    } else if (!args.raw) {
      // The data as the ECC gives it; an erased page (ECC bytes too) reads 0xFF as it is.
      std::vector<std::uint8_t> data(page.begin(), page.begin() + kNandPageBytes);
      bool erased =
          ErasedButForBitFlips(data) && std::all_of(page.begin() + kNandPageBytes, page.end(),
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
          std::fprintf(stderr,
                       "imbrel-module: physical page %u: more bit errors than the ECC corrects; "
                       "its data as the cells hold it\n",
                       physical);
        }
      }
    }
    NandSetSpare(spare);
    NandSetEcc(ecc);
    std::fwrite(page.data(), 1, page.size(), out);
  }
  bool written = std::fflush(out) == 0 && !std::ferror(out);
  if (out != stdout) written = std::fclose(out) == 0 && written;
  if (!written)
    throw UsageError("cannot write " + (args.out_file.empty() ? "standard output" : args.out_file));
  std::fprintf(stderr, "dumped %llu %s pages from %llu (%zu bytes each)%s\n",
               static_cast<unsigned long long>(count), args.logical ? "logical" : "physical",
               static_cast<unsigned long long>(first), page.size(),
               args.raw ? ", without ECC" : "");
  if (uncorrectable || unreadable) {
    std::fprintf(stderr, "imbrel-module: %llu pages uncorrectable, %llu unreadable\n",
                 static_cast<unsigned long long>(uncorrectable),
                 static_cast<unsigned long long>(unreadable));
    return kExitFailed;
  }
  return 0;
}

int RunMap(const MapArgs& args) {
  FlashMap map = ReadFlashMap(args.dir);
  if (args.svg_file.empty()) {
    const char* no_color = std::getenv("NO_COLOR");
    bool color = isatty(STDOUT_FILENO) && !(no_color && *no_color);
    std::fputs(DrawFlashMap(map, color).c_str(), stdout);
    return 0;
  }
  std::string svg = FlashMapSvg(map);
  if (args.svg_file == "-") {
    std::fwrite(svg.data(), 1, svg.size(), stdout);
    if (std::fflush(stdout) != 0) throw UsageError("cannot write standard output");
    return 0;
  }
  std::ofstream out(args.svg_file, std::ios::binary | std::ios::trunc);
  if (!out.write(svg.data(), static_cast<std::streamsize>(svg.size())) || !out.flush()) {
    throw UsageError("cannot write " + args.svg_file);
  }
  std::fprintf(stderr, "wrote the map of %zu blocks to %s\n", map.blocks.size(),
               args.svg_file.c_str());
  return 0;
}

int RunFault(const FaultArgs& args) {
  fs::path file = fs::path(args.dir) / "faults.toml";
  ModuleConfig config = LoadModuleConfig(args.dir);
  const bool nand = config.flash == FlashKind::kNand;
  toml::table root = ReadFaultsFile(file);
  if (args.clear) root = toml::table{};

  std::vector<std::pair<std::string, toml::table>> entries = FaultEntries(args, nand);
  ChangeFaults(root, entries, args.remove, file);
  if (!args.power_cut_after.empty()) {
    if (args.remove) {
      root.erase("power");
    } else {
      root.insert_or_assign(
          "power", toml::table{{"cut_after", static_cast<std::int64_t>(
                                                 Number("--power-cut-after", args.power_cut_after,
                                                        0x7FFFFFFFFFFFFFFF))}});
    }
  }

  std::ostringstream text;
  text << "# Faults to inject; see `imbrel-module fault --help` and `imbrel-module info`.\n"
       << root << "\n";
  ReplaceFaultsFile(args.dir, text.str());
  std::fputs(text.str().c_str(), stdout);
  return 0;
}

}  // namespace host
