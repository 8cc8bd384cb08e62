// imbrel-module: make, inspect and read or write virtual modules. Flash access goes through
// the program's own driver on the module's hardware models, with the flash mutex held.

#include <unistd.h>

#include <toml++/toml.h>
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

#include "flash/flash_ops.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/system/calendar.h"
#include "host/tool_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;  // a flash operation failed
constexpr int kExitUsage = 2;   // bad command line, module or file

using host::Hex;
using host::Number;
using host::UsageError;

// Opens a session and checks that the range lies inside the flash before anything is touched.
void CheckRange(const host::FlashSession& session, const std::string& what, std::uint64_t offset,
                std::uint64_t length) {
  if (session.driver() == 0) {
    throw std::runtime_error("the flash driver could not start on this module");
  }
  if (offset > FlashOps.FlashSize || length > FlashOps.FlashSize - offset) {
    throw UsageError(what + " " + Hex(offset) + " + " + Hex(length) + " runs past the flash (" +
                     Hex(FlashOps.FlashSize) + " bytes)");
  }
}

bool stderr_is_terminal = false;

int ShowEraseProgress(DWORD done, DWORD total) {
  if (stderr_is_terminal) {
    std::fprintf(stderr, "\rerasing: %u of %u KB", done / 1024, total / 1024);
    std::fflush(stderr);
  }
  return 1;
}

void EndProgressLine() {
  if (stderr_is_terminal) std::fprintf(stderr, "\r\033[K");
}

// The content options of `create`, as given (empty: not given).
struct ContentArgs {
  bool blank = false;
  std::string bootloader_version, bootloader_banner, bootloader_time, bootloader_place,
      bootloader_size;
  bool no_bootloader = false;
  bool config_block = true;
  bool old_config_place = false;
  std::string image_place, image_size, image_time;
  bool no_image = false;
  std::string item0, item5, image_version, fdf_time, mem_base, mem_len;
  bool no_item0 = false, no_item5 = false, no_image_version = false, no_fdf = false,
       no_registry = false, no_samples = false;
  std::string times, seed;         // module.toml's [time] operations and seed
  std::string factory_bad_blocks;  // NAND: physical blocks, comma-separated
};

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
  auto ticks = host::ParseIsoTime(text);
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

void ContentOptions(const ContentArgs& a, host::CreateOptions& options) {
  if (a.blank) options = host::CreateOptions::Blank();
  // Under --blank, an option that describes a part puts that part back.
  bool bootloader_given = !a.bootloader_version.empty() || !a.bootloader_banner.empty() ||
                          !a.bootloader_time.empty() || !a.bootloader_place.empty() ||
                          !a.bootloader_size.empty();
  if (a.no_bootloader) {
    options.bootloader.reset();
  } else if (bootloader_given) {
    if (!options.bootloader) options.bootloader = host::BootloaderOptions{};
    host::BootloaderOptions& b = *options.bootloader;
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

  if (!a.config_block) {
    options.config_block.reset();
  } else if (a.old_config_place) {
    options.config_block = host::kConfigBlockOldPlace;
  }

  bool image_given = !a.image_place.empty() || !a.image_size.empty() || !a.image_time.empty();
  if (a.no_image) {
    options.image.reset();
  } else if (image_given) {
    if (!options.image) options.image = host::ImageOptions{};
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
    static const std::uint64_t kMax[] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF};
    std::array<std::uint32_t, 3> v;
    std::uint32_t build = 0;
    if (!DottedNumbers(a.image_version, 3, kMax, v.data(), &build)) {
      throw UsageError("image version '" + a.image_version +
                       "' is not ID.MAJOR.MINOR or ID.MAJOR.MINOR-betaBUILD");
    }
    v[2] |= build << 16;
    options.image_version = v;
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

int Create(const std::string& dir, bool nor, bool nand, const std::string& device,
           const std::string& cfi, const std::string& chip, const std::string& part,
           const ContentArgs& content) {
  if (nor == nand) throw UsageError("say which flash the module has: --nor or --nand");
  if (!nand && (!chip.empty() || !part.empty())) {
    throw UsageError("--chip and --part go with --nand");
  }
  if (!nand && !content.factory_bad_blocks.empty()) {
    throw UsageError("--factory-bad-blocks goes with --nand");
  }
  if (nand && (!device.empty() || !cfi.empty())) {
    throw UsageError("--device and --cfi-size go with --nor");
  }
  host::CreateOptions options;
  ContentOptions(content, options);
  if (!content.times.empty()) {
    if (content.times == "typical")
      options.times = host::NorTimeMode::kTypical;
    else if (content.times == "maximum")
      options.times = host::NorTimeMode::kMaximum;
    else if (content.times != "varied")
      throw UsageError("--times " + content.times + " is not typical, maximum or varied");
  }
  if (!content.seed.empty()) options.seed = Number("--seed", content.seed, 0x7FFFFFFFFFFFFFFF);
  if (nand) {
    options.flash = host::FlashKind::kNand;
    if (!chip.empty()) {
      options.nand_chip = static_cast<std::uint16_t>(Number("chip ID", chip, 0xFFFF));
    }
    for (std::size_t start = 0; start < content.factory_bad_blocks.size();) {
      std::size_t end = content.factory_bad_blocks.find(',', start);
      if (end == std::string::npos) end = content.factory_bad_blocks.size();
      options.factory_bad_blocks.push_back(static_cast<std::uint32_t>(
          Number("--factory-bad-blocks", content.factory_bad_blocks.substr(start, end - start),
                 0xFFFFFFFF)));
      start = end + 1;
    }
    if (!part.empty()) {
      std::uint64_t number = Number("part number", part, 63);
      if (number != 8 && number != 9) {
        throw UsageError("part number " + part + " is not a PXA3xx part number (8 or 9)");
      }
      options.part_number = static_cast<std::uint32_t>(number);
    }
    host::CreateModule(dir, options);
    std::printf("made a NAND module in %s\n\n%s", dir.c_str(), host::DescribeModule(dir).c_str());
    return 0;
  }
  options.flash = host::FlashKind::kNor;
  if (!device.empty()) {
    options.nor_device = static_cast<std::uint16_t>(Number("device code", device, 0xFFFF));
  }
  if (!cfi.empty()) {
    std::uint64_t size = Number("CFI size", cfi, 0xFF);
    if (size < 0x12 || size > 0x1A) {
      throw UsageError("CFI size " + cfi + " is outside 0x12..0x1A (each chip 256 KB to 64 MB)");
    }
    options.cfi_size = static_cast<std::uint8_t>(size);
  }
  host::CreateModule(dir, options);
  std::printf("made a NOR module in %s\n\n%s", dir.c_str(), host::DescribeModule(dir).c_str());
  return 0;
}

int Info(const std::string& dir) {
  std::fputs(host::DescribeModule(dir).c_str(), stdout);
  host::FlashSession session(dir);
  if (session.driver()) {
    bool nand = session.module().config().flash == host::FlashKind::kNand;
    std::printf("%-12s%s: DeviceType %d, FlashSize %s\n", "driver",
                nand ? "NAND driver started" : "NOR driver started", FlashOps.DeviceType,
                Hex(FlashOps.FlashSize).c_str());
  } else {
    std::printf("%-12s%s\n", "driver", "the flash driver does not start on this module");
  }
  return 0;
}

int Erase(const std::string& dir, const std::string& offset_text, const std::string& length_text) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::uint64_t length = Number("length", length_text, 0xFFFFFFFF);
  host::FlashSession session(dir);
  CheckRange(session, "erase", offset, length);
  std::uint64_t started = host::ClockNow();
  SetProgressCallback(ShowEraseProgress, 0x10000);
  int ok = FlashOps.EraseRange(static_cast<DWORD>(offset), static_cast<DWORD>(length));
  SetProgressCallback(nullptr, 0);
  EndProgressLine();
  if (!ok) {
    std::fprintf(stderr,
                 "imbrel-module: erase of %s + %s failed (a block is locked, failed to "
                 "erase or timed out)\n",
                 Hex(offset).c_str(), Hex(length).c_str());
    return kExitFailed;
  }
  std::printf("erased %s + %s in %s of module time\n", Hex(offset).c_str(), Hex(length).c_str(),
              host::FormatDuration(host::ClockNow() - started).c_str());
  return 0;
}

int Write(const std::string& dir, const std::string& offset_text, const std::string& file) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError("cannot read " + file);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  if (in.bad()) throw UsageError("cannot read " + file);
  host::FlashSession session(dir);
  CheckRange(session, "write", offset, data.size());
  std::uint64_t started = host::ClockNow();
  constexpr std::size_t kPiece = 0x40000;
  for (std::size_t done = 0; done < data.size(); done += kPiece) {
    std::size_t take = std::min(kPiece, data.size() - done);
    if (!FlashOps.WriteBuffer(data.data() + done, static_cast<DWORD>(offset + done),
                              static_cast<DWORD>(take))) {
      EndProgressLine();
      std::fprintf(stderr,
                   "imbrel-module: write failed at %s (a block is locked, reported a "
                   "program error or timed out); the bytes before it are written\n",
                   Hex(offset + done).c_str());
      return kExitFailed;
    }
    if (stderr_is_terminal) {
      std::fprintf(stderr, "\rwriting: %zu of %zu KB", (done + take) / 1024, data.size() / 1024);
      std::fflush(stderr);
    }
  }
  EndProgressLine();
  std::vector<std::uint8_t> back(data.size());
  if (!data.empty() && (!FlashOps.ReadBuffer(back.data(), static_cast<DWORD>(offset),
                                             static_cast<DWORD>(back.size())) ||
                        back != data)) {
    std::size_t at = 0;
    while (at < data.size() && back[at] == data[at]) ++at;
    std::fprintf(stderr,
                 "imbrel-module: after the write the flash at %s does not hold the "
                 "file's bytes: programming only clears bits, so erase the range first\n",
                 Hex(offset + at).c_str());
    return kExitFailed;
  }
  std::printf("wrote %zu bytes at %s in %s of module time\n", data.size(), Hex(offset).c_str(),
              host::FormatDuration(host::ClockNow() - started).c_str());
  return 0;
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

int Read(const std::string& dir, const std::string& offset_text, const std::string& length_text,
         const std::string& out_file) {
  std::uint64_t offset = Number("offset", offset_text, 0xFFFFFFFF);
  std::uint64_t length = Number("length", length_text, 0xFFFFFFFF);
  host::FlashSession session(dir);
  CheckRange(session, "read", offset, length);
  std::vector<std::uint8_t> data(length);
  if (length &&
      !FlashOps.ReadBuffer(data.data(), static_cast<DWORD>(offset), static_cast<DWORD>(length))) {
    std::fprintf(stderr, "imbrel-module: read of %s + %s failed\n", Hex(offset).c_str(),
                 Hex(length).c_str());
    return kExitFailed;
  }
  if (!out_file.empty()) {
    std::ofstream out(out_file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(length));
    out.close();
    if (!out) throw UsageError("cannot write " + out_file);
  } else if (isatty(STDOUT_FILENO)) {
    HexDump(data, offset);
  } else {
    std::fwrite(data.data(), 1, data.size(), stdout);
  }
  return 0;
}

// The faults that `fault` adds or removes, as given (empty: not given).
struct FaultArgs {
  std::string bad_block, on, bit_flip, byte = "0", bit = "0", power_cut_after;
  bool never_ready = false, remove = false, clear = false;
};

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

// Adds or removes faults in faults.toml. The file is checked as the module would load it
// before it replaces the old one, so a bad fault leaves the module as it was.
int Fault(const std::string& dir, const FaultArgs& args) {
  fs::path file = fs::path(dir) / "faults.toml";
  host::ModuleConfig config = host::LoadModuleConfig(dir);
  const bool nand = config.flash == host::FlashKind::kNand;
  toml::table root;
  if (fs::exists(file)) {
    try {
      root = toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
      throw UsageError(file.string() + ": " + std::string(e.description()));
    }
  }
  if (args.clear) root = toml::table{};

  std::vector<std::pair<std::string, toml::table>> entries;  // list name, entry
  const std::string list = nand ? "nand" : "nor";
  if (!args.bad_block.empty()) {
    if (args.on != "erase" && args.on != "program") {
      throw UsageError("--bad-block needs --on erase or --on program");
    }
    toml::table t{{"kind", args.on == "erase" ? "erase-error" : "program-error"}};
    // NAND: a physical block number; NOR: the offset of any byte of the block.
    t.insert("block", static_cast<std::int64_t>(Number("--bad-block", args.bad_block, 0xFFFFFFFF)));
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

  for (auto& [name, entry] : entries) {
    if (!root.contains(name)) root.insert(name, toml::array{});
    toml::array* faults = root[name].as_array();
    if (!faults)
      throw UsageError(file.string() + ": " + name + " is not a list of [[" + name + "]]");
    if (args.remove) {
      std::size_t before = faults->size();
      for (std::size_t i = faults->size(); i-- > 0;) {
        const toml::table* have = (*faults)[i].as_table();
        if (have && SameFault(*have, entry)) faults->erase(faults->begin() + static_cast<long>(i));
      }
      if (faults->size() == before) throw UsageError("faults.toml has no such fault to remove");
      if (faults->empty()) root.erase(name);
    } else {
      faults->push_back(std::move(entry));
    }
  }
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
  fs::path staged = fs::path(dir) / ".faults.toml.new";
  {
    std::ofstream out(staged);
    out << text.str();
    if (!out) throw UsageError("cannot write " + staged.string());
  }
  // Check the new file as the module reads it: swap it in, load, and put the old one back if
  // the module refuses it.
  fs::path kept = fs::path(dir) / ".faults.toml.old";
  bool had = fs::exists(file);
  if (had) fs::rename(file, kept);
  fs::rename(staged, file);
  try {
    host::LoadModuleConfig(dir);
  } catch (...) {
    fs::remove(file);
    if (had) fs::rename(kept, file);
    throw;
  }
  if (had) fs::remove(kept);
  std::fputs(text.str().c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  stderr_is_terminal = isatty(STDERR_FILENO);
  CLI::App app{"imbrel-module: make, inspect, read and write Imbrel virtual modules"};
  app.require_subcommand(1);
  app.footer(
      "Numbers are decimal or 0x-hex. Flash access goes through the program's own driver.\n"
      "Exit status: 0 done, 1 a flash operation failed, 2 bad command line, module or file.");

  std::string dir, device, cfi, chip, part, offset, length, file, out_file;
  bool nor = false, nand = false;
  ContentArgs content;

  CLI::App* create = app.add_subcommand("create", "make a new module in DIR (new or empty)");
  create->add_option("DIR", dir, "module directory")->required();
  create->add_flag("--nor", nor, "a PXA270 module with Intel NOR flash");
  create->add_flag("--nand", nand,
                   "a PXA3xx module with NAND flash behind the data flash controller");
  create->add_option("--chip", chip,
                     "NAND chip ID, maker code low: 0xDAEC (default), 0xF1EC, 0xDCEC, 0xD3EC, "
                     "0xDCAD, or any other (1024 blocks)");
  create->add_option("--part", part,
                     "PXA3xx processor part number of a NAND module: 8 or 9 "
                     "(default 9)");
  create->add_option("--factory-bad-blocks", content.factory_bad_blocks,
                     "NAND physical blocks the chip comes with marked bad, e.g. 100,1000: the "
                     "maker's mark in their spare area, and every erase and program fails");
  create->add_option("--device", device, "NOR device code (default 0x8922)");
  create->add_option("--cfi-size", cfi,
                     "CFI device size byte: each chip holds 2^N bytes (default 0x18: 32 MB)");
  create->add_option("--times", content.times,
                     "how long flash operations take: typical, maximum, or varied between the "
                     "two for each chip (default)");
  create->add_option("--seed", content.seed, "the seed of varied operation times (default 1)");
  create->add_flag("--blank", content.blank,
                   "an erased flash and nothing else; the options below put parts back");
  auto* bl_version =
      create->add_option("--bootloader-version", content.bootloader_version,
                         "bootloader with a version record: MAJOR.MINOR[-betaBUILD] (default 1.3)");
  auto* bl_banner = create->add_option(
      "--bootloader-banner", content.bootloader_banner,
      "bootloader with a banner text instead: \"MAJOR.MINOR Mon D YYYY\", e.g. \"1.4 Mar 7 2009\"");
  auto* bl_time = create->add_option(
      "--bootloader-time", content.bootloader_time,
      "build time in the bootloader's ROM header, UTC (default 2009-01-20T10:15:00; with a "
      "banner, its date)");
  auto* bl_place = create->add_option("--bootloader-place", content.bootloader_place,
                                      "flash offset of the bootloader: 0 (default) or 0x8000");
  auto* bl_size = create->add_option("--bootloader-size", content.bootloader_size,
                                     "bytes of the bootloader's boot image (default 0x20000)");
  create->add_flag("--no-bootloader", content.no_bootloader, "no bootloader")
      ->excludes(bl_version)
      ->excludes(bl_banner)
      ->excludes(bl_time)
      ->excludes(bl_place)
      ->excludes(bl_size);
  bl_version->excludes(bl_banner);
  create->add_flag("--config-block,!--no-config-block", content.config_block,
                   "a configuration block (default: at 0x40000)");
  create->add_flag("--old-config-place", content.old_config_place,
                   "the configuration block at its old place 0x88000 (the image then at 0xC8000)");
  auto* img_place =
      create->add_option("--image-place", content.image_place,
                         "flash offset of the OS image (default: item 5's word 0, else 0x80000)");
  auto* img_size = create->add_option("--image-size", content.image_size,
                                      "bytes of the OS image (default 0x100000)");
  auto* img_time = create->add_option("--image-time", content.image_time,
                                      "build time in the image's ROM header, UTC "
                                      "(default 2009-03-06T17:42:10)");
  create->add_flag("--no-image", content.no_image, "no OS image")
      ->excludes(img_place)
      ->excludes(img_size)
      ->excludes(img_time);
  auto* item0 =
      create->add_option("--item0", content.item0, "configuration item 0: W0,W1 (default 1,0)");
  create->add_flag("--no-item0", content.no_item0, "no configuration item 0")->excludes(item0);
  auto* item5 = create->add_option(
      "--item5", content.item5,
      "configuration item 5: six words, image place, registry area start, half its length, "
      "... (default: from the flash size; 0x80000,0x1400000,0x40000,0,0,0 for 32 MB)");
  create->add_flag("--no-item5", content.no_item5, "no configuration item 5")->excludes(item5);
  auto* version = create->add_option("--image-version", content.image_version,
                                     "running image's version: ID.MAJOR.MINOR[-betaBUILD] "
                                     "(default 1.5.3)");
  create->add_flag("--no-image-version", content.no_image_version, "no running image version")
      ->excludes(version);
  auto* fdf = create->add_option("--fdf-time", content.fdf_time,
                                 "creation time of \\windows\\default.fdf, UTC "
                                 "(default 2009-03-07T00:00:00)");
  create->add_flag("--no-fdf", content.no_fdf, "no \\windows\\default.fdf")->excludes(fdf);
  auto* mem_base = create->add_option(
      "--mem-base", content.mem_base,
      "MemBase of Drivers\\BuiltIn\\StrataFMD in the default registry (default: the end of "
      "item 5's registry area)");
  auto* mem_len = create->add_option("--mem-len", content.mem_len,
                                     "MemLen of that key (default: to the end of the flash)");
  create->add_flag("--no-samples", content.no_samples,
                   "no sample images (nk.bin, eboot.bin) in fs/USB HD/IMAGES");
  create->add_flag("--no-registry", content.no_registry, "no default registry")
      ->excludes(mem_base)
      ->excludes(mem_len);

  CLI::App* info = app.add_subcommand("info", "show what the module is and holds");
  info->add_option("DIR", dir, "module directory")->required();

  CLI::App* erase = app.add_subcommand("erase", "erase every block the range touches");
  erase->add_option("DIR", dir, "module directory")->required();
  erase->add_option("OFFSET", offset, "flash offset")->required();
  erase->add_option("LENGTH", length, "bytes")->required();

  CLI::App* write =
      app.add_subcommand("write", "program FILE at OFFSET (erase first: programming clears bits)");
  write->add_option("DIR", dir, "module directory")->required();
  write->add_option("OFFSET", offset, "flash offset")->required();
  write->add_option("FILE", file, "data to program")->required();

  CLI::App* read = app.add_subcommand("read", "read flash bytes (a hex dump on a terminal)");
  read->add_option("DIR", dir, "module directory")->required();
  read->add_option("OFFSET", offset, "flash offset")->required();
  read->add_option("LENGTH", length, "bytes")->required();
  read->add_option("-o,--output", out_file, "write the bytes to this file");

  FaultArgs faults;
  CLI::App* fault = app.add_subcommand(
      "fault", "add faults to the module's faults.toml (or remove them with --remove)");
  fault->add_option("DIR", dir, "module directory")->required();
  auto* bad = fault->add_option(
      "--bad-block", faults.bad_block,
      "a block that fails (NAND: physical block number; NOR: offset of a byte of the block)");
  fault->add_option("--on", faults.on, "what fails on the bad block: erase or program")->needs(bad);
  auto* flip = fault->add_option("--bit-flip", faults.bit_flip,
                                 "NAND: a physical page with one bit that reads inverted");
  fault->add_option("--byte", faults.byte, "byte of the raw page (2048 and up: spare; default 0)")
      ->needs(flip);
  fault->add_option("--bit", faults.bit, "bit of that byte, 0-7 (default 0)")->needs(flip);
  fault->add_flag("--never-ready", faults.never_ready,
                  "the flash starts every program and erase and never finishes");
  fault->add_option("--power-cut-after", faults.power_cut_after,
                    "the power fails during the flash operation after N more, counted from "
                    "each opening of the module (the module then stops: boot.log says where)");
  fault->add_flag("--remove", faults.remove, "remove the faults named instead of adding them");
  fault->add_flag("--clear", faults.clear, "remove every fault first");

  if (auto status = host::ParseToolArguments(app, argc, argv)) return *status;

  try {
    if (*create) return Create(dir, nor, nand, device, cfi, chip, part, content);
    if (*info) return Info(dir);
    if (*erase) return Erase(dir, offset, length);
    if (*write) return Write(dir, offset, file);
    if (*read) return Read(dir, offset, length, out_file);
    if (*fault) return Fault(dir, faults);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitUsage;
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return kExitFailed;
  }
  return kExitUsage;
}
