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
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/nand/nand_controller.h"
#include "flash/nand/nand_flash.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/flash_file.h"
#include "host/module/flash_map.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"
#include "host/module/module_import.h"
#include "host/oal/registry_flash.h"
#include "host/system/calendar.h"
#include "host/tool_support.h"
#include "platform/kernel_call.h"

namespace fs = std::filesystem;

namespace host {

namespace {

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
  if (!args.size.empty()) {
    // Two chips of 2^cfi_size bytes each.
    const std::uint64_t bytes = Number("size", args.size, 0xFFFFFFFF);
    if (!std::has_single_bit(bytes) || bytes < (2ull << 0x12) || bytes > (2ull << 0x1A)) {
      throw UsageError("size " + args.size +
                       " is no NOR flash of two chips: 512K, 1M, 2M, 4M, 8M, 16M, 32M, 64M or "
                       "128M");
    }
    options.cfi_size = static_cast<std::uint8_t>(std::countr_zero(bytes) - 1);
  }
}

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

// `create --from-dump`: the flash, its content and its bad blocks come from the dump, so the
// options that would describe them are refused.
int CreateFromDump(const CreateArgs& args, CreateOptions& options) {
  const ContentArgs& a = args.content;
  const bool flash_content =
      a.blank || !a.bootloader_version.empty() || !a.bootloader_banner.empty() ||
      !a.bootloader_time.empty() || !a.bootloader_place.empty() || !a.bootloader_size.empty() ||
      a.no_bootloader || a.config_block_given || a.no_config_block || a.old_config_place ||
      !a.image_place.empty() || !a.image_size.empty() || !a.image_time.empty() || a.no_image;
  if (flash_content) {
    throw UsageError(
        "--from-dump takes the bootloader, the configuration block and the OS image from the "
        "dump: the options that describe them do not go with it");
  }
  if (!a.factory_bad_blocks.empty()) {
    throw UsageError(
        "--from-dump takes the bad blocks from the marks in the dump's spare bytes: "
        "--factory-bad-blocks does not go with it");
  }
  if (!args.cfi.empty() || !args.size.empty()) {
    throw UsageError(
        "--from-dump takes the chips' size from the dump's: --cfi-size and --size do not go "
        "with it");
  }
  DumpChoices choices;
  choices.item0_given = !a.item0.empty() || a.no_item0;
  choices.item5_given = !a.item5.empty() || a.no_item5;
  if (args.nand) {
    NandOptions(args, options);
    if (!args.chip.empty()) choices.nand_chip = options.nand_chip;
  } else {
    NorOptions(args, options);
  }
  CreateModuleFromDump(args.dir, args.from_dump, options, choices);
  std::printf("made a %s module in %s from %s\n\n%s", args.nand ? "NAND" : "NOR", args.dir.c_str(),
              args.from_dump.c_str(), DescribeModule(args.dir).c_str());
  return 0;
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
  if (args.nand && (!args.device.empty() || !args.cfi.empty() || !args.size.empty())) {
    throw UsageError("--device, --cfi-size and --size go with --nor");
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
  if (!args.from_dump.empty()) return CreateFromDump(args, options);
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
                  HexLower(FlashOps.FlashSize).c_str());
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
  if (config.dump) {
    toml::array read;
    for (const std::string& name : config.dump->read) read.push_back(name);
    out.insert("dump", toml::table{{"file", config.dump->file}, {"read", std::move(read)}});
  }
  // The facts the rows say in prose, as data: what a start runs, the registry in force, and
  // on NAND the bad blocks.
  {
    FlashFile flash(dir, config);
    const BootVerdict verdict = ExamineBoot(flash, config);
    auto image = [](const FoundBootImage& found) {
      toml::table t{{"place", static_cast<std::int64_t>(found.place)},
                    {"size", static_cast<std::int64_t>(found.size)}};
      if (found.version) {
        t.insert("version", toml::array{static_cast<std::int64_t>((*found.version)[0]),
                                        static_cast<std::int64_t>((*found.version)[1]),
                                        static_cast<std::int64_t>((*found.version)[2])});
      }
      if (found.built) t.insert("built", FormatTicks(*found.built));
      return t;
    };
    toml::table boots{{"starts", verdict.Starts()}};
    if (!verdict.Starts()) boots.insert("problem", verdict.problem);
    if (verdict.bootloader) boots.insert("bootloader", image(*verdict.bootloader));
    if (verdict.os) boots.insert("os_image", image(*verdict.os));
    out.insert("boots", std::move(boots));
    std::optional<RegistryCopy> copy;
    if (std::optional<RegistryArea> area = RegistryAreaOf(config.platform, flash.size())) {
      copy = NewestRegistryCopy(FlashFile::ReadFn, &flash, *area);
    }
    toml::table registry{{"in_flash", copy.has_value()}};
    if (copy) {
      registry.insert("half", copy->half);
      registry.insert("offset", static_cast<std::int64_t>(copy->offset));
      registry.insert("sequence", static_cast<std::int64_t>(copy->sequence));
    }
    out.insert("registry", std::move(registry));
  }
  if (nand) {
    const BadBlockWatch bad_blocks(session.module());
    toml::array factory, relocated;
    for (std::uint32_t b : config.nand.factory_bad_blocks) {
      factory.push_back(static_cast<std::int64_t>(b));
    }
    const NandLogicalView view(session.module().image(),
                               static_cast<std::uint32_t>(NandVariantFor(config.nand.chip).blocks));
    for (const NandRelocation& e : view.Table()) {
      if (e.bad_block == 0) continue;  // a retired entry
      relocated.push_back(toml::table{{"logical_block", static_cast<std::int64_t>(e.bad_block)},
                                      {"replacement", static_cast<std::int64_t>(e.replacement)}});
    }
    out.insert("bad_blocks",
               toml::table{{"factory", std::move(factory)},
                           {"relocated", std::move(relocated)},
                           {"table_valid", view.TableValid()},
                           {"reserve", static_cast<std::int64_t>(view.Reserve())},
                           {"reserve_left", static_cast<std::int64_t>(bad_blocks.ReserveLeft())}});
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

int RunMap(const MapArgs& args) {
  FlashMap map = ReadFlashMap(args.dir);
  if (args.json) {
    // Each block as the map draws it; the counts of each state.
    toml::array blocks;
    std::map<char, std::int64_t> counts;
    for (const MapBlock& b : map.blocks) {
      const char state = static_cast<char>(b.state);
      ++counts[state];
      toml::table t{{"offset", static_cast<std::int64_t>(b.offset)},
                    {"size", static_cast<std::int64_t>(b.size)},
                    {"state", std::string(1, state)},
                    {"erases", static_cast<std::int64_t>(b.erases)}};
      if (!b.region.empty()) t.insert("region", b.region);
      if (!b.note.empty()) t.insert("note", b.note);
      blocks.push_back(std::move(t));
    }
    toml::table states;
    for (const auto& [state, n] : counts) states.insert(std::string(1, state), n);
    toml::table out{{"command", "map"}, {"ok", true},
                    {"status", 0},      {"flash", map.nand ? "nand" : "nor"},
                    {"states", states}, {"blocks", std::move(blocks)}};
    if (!map.table_note.empty()) out.insert("table_note", map.table_note);
    std::cout << toml::json_formatter{out} << "\n";
    return 0;
  }
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
  if (args.json) {
    // The file's tables as they now stand: "nor", "nand" (arrays of faults), "power".
    toml::table out{{"command", "fault"}, {"ok", true}, {"status", 0}, {"faults", root}};
    std::cout << toml::json_formatter{out} << "\n";
  } else {
    std::fputs(text.str().c_str(), stdout);
  }
  return 0;
}

}  // namespace host
