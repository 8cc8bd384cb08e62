// module.toml and faults.toml: reading them into a ModuleConfig, with every key and value
// checked, and the module.toml that a new module gets.

#include <toml++/toml.h>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>

#include "host/hardware/virtual_cpu.h"
#include "host/module/module.h"
#include "host/module/module_files.h"
#include "host/system/registry_toml.h"

namespace fs = std::filesystem;

namespace host {

namespace {

// The document in `file`, or (with `text`) the document `text` given for it.
toml::table ParseToml(const fs::path& file, std::optional<std::string_view> text = std::nullopt) {
  try {
    return text ? toml::parse(*text, file.string()) : toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << "line " << e.source().begin.line << ": " << e.description();
    Fail(file, where.str());
  }
}

void CheckKeys(const fs::path& file, const toml::table& table, const std::string& where,
               std::initializer_list<const char*> known) {
  std::set<std::string> allowed(known.begin(), known.end());
  for (auto&& [key, node] : table) {
    (void)node;
    if (!allowed.count(std::string(key.str()))) {
      Fail(file, "unknown key '" + std::string(key.str()) + "'" +
                     (where.empty() ? "" : " in [" + where + "]"));
    }
  }
}

// A number as the messages give it: hex, or decimal when negative.
std::string Number(std::int64_t value) {
  return value < 0 ? std::to_string(value) : Hex(static_cast<std::uint64_t>(value));
}

const char* TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::floating_point:
      return "a float";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::boolean:
      return "true or false";
    case toml::node_type::array:
      return "a list";
    case toml::node_type::table:
      return "a table";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time:
      return "a date or time";
    default:
      return "not an integer";
  }
}

// The node as an integer in low..high. Only a TOML integer is taken: a float (even 1.0 or
// 2e50), a string or any other type is refused before anything converts it.
std::int64_t Integer(const fs::path& file, const toml::node& node, const std::string& name,
                     std::int64_t low, std::int64_t high) {
  const std::string accepted = "an integer " + Number(low) + ".." + Number(high);
  const toml::value<std::int64_t>* integer = node.as_integer();
  if (!integer) Fail(file, name + " must be " + accepted + ", not " + TypeName(node));
  const std::int64_t value = integer->get();
  if (value < low || value > high)
    Fail(file, name + " is " + Number(value) + ": must be " + accepted);
  return value;
}

// A value for both chips: one integer, or [low chip, high chip].
void ChipPair(const fs::path& file, const toml::node& node, const std::string& name,
              std::uint16_t out[2]) {
  if (const toml::array* pair = node.as_array()) {
    if (pair->size() != 2) Fail(file, name + " must be one number or two: [low, high]");
    out[0] = static_cast<std::uint16_t>(Integer(file, *pair->get(0), name, 0, 0xFFFF));
    out[1] = static_cast<std::uint16_t>(Integer(file, *pair->get(1), name, 0, 0xFFFF));
    return;
  }
  out[0] = out[1] = static_cast<std::uint16_t>(Integer(file, node, name, 0, 0xFFFF));
}

void ApplyVariant(NorConfig& nor) {
  const NorVariant* variant = FindNorVariant(nor.device[0]);
  nor.bottom_parameter_blocks = variant && variant->bottom_parameter_blocks;
  nor.power_up_locked = variant && variant->power_up_locked;
  nor.clear_lock_clears_all = variant && variant->clear_lock_clears_all;
}

// A fault of a call: "fail" gives `fallback`, a number that Win32 error.
LONG CallFault(const fs::path& file, const toml::node& node, const std::string& name,
               LONG fallback) {
  if (node.value<std::string>() == "fail") return fallback;
  if (node.is_integer()) return static_cast<LONG>(Integer(file, node, name, 1, 0xFFFF));
  Fail(file, name + " must be \"fail\" or a Win32 error number");
}

void LoadSoftwareFaults(const fs::path& file, const toml::table& root, ModuleConfig& config) {
  if (const toml::node* node = root.get("registry")) {
    const toml::table* registry = node->as_table();
    if (!registry) Fail(file, "registry must be a table: [registry]");
    CheckKeys(file, *registry, "registry", {"open", "flush"});
    if (const toml::node* n = registry->get("open")) {
      config.registry_faults.open = CallFault(file, *n, "open", ERROR_ACCESS_DENIED);
    }
    if (const toml::node* n = registry->get("flush")) {
      config.registry_faults.flush = CallFault(file, *n, "flush", 29);  // ERROR_WRITE_FAULT
    }
  }
  if (const toml::node* node = root.get("platform")) {
    const toml::table* platform = node->as_table();
    if (!platform) Fail(file, "platform must be a table: [platform]");
    CheckKeys(file, *platform, "platform", {"registry_clear", "config_set"});
    auto fails = [&](const char* key) {
      const toml::node* n = platform->get(key);
      if (!n) return false;
      if (n->value<std::string>() != "fail") Fail(file, std::string(key) + " must be \"fail\"");
      return true;
    };
    config.platform_faults.registry_clear = fails("registry_clear");
    config.platform_faults.config_set = fails("config_set");
  }
}

// [platform]: each item a list of exactly `N` 32-bit words.
template <std::size_t N>
std::optional<std::array<std::uint32_t, N>> Words(const fs::path& file, const toml::table& table,
                                                  const char* key, const char* what) {
  const toml::node* node = table.get(key);
  if (!node) return std::nullopt;
  const toml::array* list = node->as_array();
  if (!list || list->size() != N) {
    Fail(file,
         std::string(key) + " must be a list of " + std::to_string(N) + " 32-bit words: " + what);
  }
  std::array<std::uint32_t, N> words;
  for (std::size_t i = 0; i < N; ++i) {
    words[i] = static_cast<std::uint32_t>(Integer(
        file, *list->get(i), std::string(key) + "[" + std::to_string(i) + "]", 0, 0xFFFFFFFF));
  }
  return words;
}

void LoadNandFaults(const fs::path& file, const toml::node& node, ModuleConfig& config) {
  const toml::array* list = node.as_array();
  if (!list) Fail(file, "nand must be a list of [[nand]] tables");
  NandVariant variant = NandVariantFor(config.nand.chip);
  const std::int64_t blocks = variant.blocks;
  const std::int64_t pages = blocks * kNandPagesPerBlock;
  for (const toml::node& entry : *list) {
    const toml::table* t = entry.as_table();
    if (!t) Fail(file, "nand must be a list of [[nand]] tables");
    CheckKeys(file, *t, "[nand]", {"kind", "block", "page", "byte", "bit", "chip_select"});
    NandFault fault;
    std::string kind = (*t)["kind"].value_or(std::string());
    if (kind == "erase-error")
      fault.kind = NandFaultKind::kEraseError;
    else if (kind == "program-error")
      fault.kind = NandFaultKind::kProgramError;
    else if (kind == "bit-flip")
      fault.kind = NandFaultKind::kBitFlip;
    else if (kind == "never-ready")
      fault.kind = NandFaultKind::kNeverReady;
    else
      Fail(file, "fault kind '" + kind +
                     "' is not one of erase-error, program-error, bit-flip, never-ready");
    auto need = [&](const char* key, const char* what, std::int64_t high) {
      const toml::node* n = t->get(key);
      if (!n) Fail(file, "a " + kind + " fault needs " + key + " = <" + what + ">");
      return static_cast<std::uint32_t>(Integer(file, *n, key, 0, high));
    };
    switch (fault.kind) {
      case NandFaultKind::kEraseError:
      case NandFaultKind::kProgramError:
        fault.block = need("block", "physical block", blocks - 1);
        break;
      case NandFaultKind::kBitFlip:
        fault.page = need("page", "physical page", pages - 1);
        fault.byte =
            need("byte", "byte of the page, 2048-2111 the spare area", kNandRawPageBytes - 1);
        fault.bit = static_cast<std::uint8_t>(need("bit", "bit 0-7", 7));
        break;
      case NandFaultKind::kNeverReady:
        if (const toml::node* n = t->get("chip_select")) {
          fault.chip_select = static_cast<int>(Integer(
              file, *n, "chip_select", 0, static_cast<std::int64_t>(variant.chip_selects) - 1));
        }
        break;
    }
    config.nand.faults.push_back(fault);
  }
}

void LoadNorFaults(const fs::path& file, const toml::node& node, ModuleConfig& config) {
  const toml::array* list = node.as_array();
  if (!list) Fail(file, "nor must be a list of [[nor]] tables");
  for (const toml::node& entry : *list) {
    const toml::table* t = entry.as_table();
    if (!t) Fail(file, "nor must be a list of [[nor]] tables");
    CheckKeys(file, *t, "[nor]", {"kind", "block", "chip", "count"});
    NorFault fault;
    std::string kind = (*t)["kind"].value_or(std::string());
    if (kind == "locked-down")
      fault.kind = NorFaultKind::kLockedDown;
    else if (kind == "erase-error")
      fault.kind = NorFaultKind::kEraseError;
    else if (kind == "program-error")
      fault.kind = NorFaultKind::kProgramError;
    else if (kind == "never-ready")
      fault.kind = NorFaultKind::kNeverReady;
    else if (kind == "buffer-unavailable")
      fault.kind = NorFaultKind::kBufferUnavailable;
    else
      Fail(file, "fault kind '" + kind +
                     "' is not one of locked-down, erase-error, program-error, never-ready, "
                     "buffer-unavailable");
    const bool whole_chip =
        fault.kind == NorFaultKind::kNeverReady || fault.kind == NorFaultKind::kBufferUnavailable;
    if (fault.kind == NorFaultKind::kBufferUnavailable) {
      const toml::node* n = t->get("count");
      if (!n) Fail(file, "a buffer-unavailable fault needs count = <requests refused>");
      fault.count = static_cast<std::uint32_t>(Integer(file, *n, "count", 1, 0xFFFFFFFF));
    } else if (t->get("count")) {
      Fail(file, "count is a key of buffer-unavailable faults only");
    }
    std::uint64_t size = std::uint64_t{2} << config.nor.cfi_size;
    if (const toml::node* block = t->get("block")) {
      fault.offset = static_cast<std::uint32_t>(
          Integer(file, *block, "block", 0, static_cast<std::int64_t>(size) - 1));
    } else if (!whole_chip) {
      Fail(file, "a " + kind + " fault needs block = <offset in the flash>");
    }
    std::string chip = (*t)["chip"].value_or(std::string("both"));
    if (chip == "both")
      fault.chip = -1;
    else if (chip == "low")
      fault.chip = 0;
    else if (chip == "high")
      fault.chip = 1;
    else
      Fail(file, "chip '" + chip + "' is not one of low, high, both");
    config.nor.faults.push_back(fault);
  }
}

void LoadFaults(const fs::path& file, const toml::table& root, ModuleConfig& config) {
  CheckKeys(file, root, "", {"nor", "nand", "registry", "platform", "power"});
  LoadSoftwareFaults(file, root, config);
  if (const toml::node* power = root.get("power")) {
    const toml::table* t = power->as_table();
    if (!t) Fail(file, "power must be a table: [power]");
    CheckKeys(file, *t, "[power]", {"cut_after"});
    if (const toml::node* n = t->get("cut_after")) {
      config.power_cut_after = static_cast<std::uint64_t>(
          Integer(file, *n, "cut_after", 0, std::numeric_limits<std::int64_t>::max()));
    }
  }
  if (const toml::node* nand = root.get("nand")) {
    if (config.flash != FlashKind::kNand) Fail(file, "[[nand]] faults on a NOR module");
    LoadNandFaults(file, *nand, config);
  }
  const toml::node* nor = root.get("nor");
  if (nor && config.flash != FlashKind::kNor) Fail(file, "[[nor]] faults on a NAND module");
  if (nor) LoadNorFaults(file, *nor, config);
}

void LoadNor(const fs::path& file, const toml::table& root, ModuleConfig& config) {
  const toml::table* nor = root["nor"].as_table();
  if (!nor) Fail(file, "has no [nor] or [nand] table: say which flash the module has");

  CheckKeys(file, *nor, "nor",
            {"manufacturer", "device", "cfi_size", "power_up_locked", "word_program_ns",
             "word_program_max_ns", "buffer_program_ns", "buffer_program_max_ns", "block_erase_ns",
             "block_erase_max_ns", "parameter_erase_ns", "parameter_erase_max_ns", "lock_set_ns",
             "lock_set_max_ns", "lock_clear_ns", "lock_clear_max_ns"});
  config.flash = FlashKind::kNor;
  // Operation times: a typical and a maximum each, the maximum never below the typical.
  NorTiming& timing = config.nor.timing;
  auto times = [&](const char* key, std::uint64_t& typical, std::uint64_t& max) {
    const std::string max_key = std::string(key, std::strlen(key) - 3) + "_max_ns";
    if (const toml::node* n = nor->get(key)) {
      typical = static_cast<std::uint64_t>(Integer(file, *n, key, 1, 100'000'000'000));
    }
    if (const toml::node* n = nor->get(max_key)) {
      max = static_cast<std::uint64_t>(Integer(file, *n, max_key, 1, 100'000'000'000));
    }
    if (max < typical) {
      Fail(file, max_key + " (" + std::to_string(max) + ") is below " + key + " (" +
                     std::to_string(typical) + ")");
    }
  };
  times("word_program_ns", timing.word_program_ns, timing.word_program_max_ns);
  times("buffer_program_ns", timing.buffer_program_ns, timing.buffer_program_max_ns);
  times("block_erase_ns", timing.block_erase_ns, timing.block_erase_max_ns);
  times("parameter_erase_ns", timing.parameter_erase_ns, timing.parameter_erase_max_ns);
  times("lock_set_ns", timing.lock_set_ns, timing.lock_set_max_ns);
  times("lock_clear_ns", timing.lock_clear_ns, timing.lock_clear_max_ns);
  if (const toml::node* n = nor->get("manufacturer")) {
    ChipPair(file, *n, "manufacturer", config.nor.manufacturer);
  }
  const toml::node* device = nor->get("device");
  if (!device) Fail(file, "[nor] needs device = <device code>");
  ChipPair(file, *device, "device", config.nor.device);
  ApplyVariant(config.nor);
  const toml::node* cfi = nor->get("cfi_size");
  if (!cfi) Fail(file, "[nor] needs cfi_size = <CFI device size byte>");
  config.nor.cfi_size =
      static_cast<std::uint8_t>(Integer(file, *cfi, "cfi_size", kMinCfiSize, kMaxCfiSize));
  if (const toml::node* n = nor->get("power_up_locked")) {
    auto v = n->value<bool>();
    if (!v) Fail(file, "power_up_locked must be true or false");
    config.nor.power_up_locked = *v;
  }
}

void LoadNand(const fs::path& file, const toml::table& root, ModuleConfig& config) {
  const toml::table* nand = root["nand"].as_table();
  if (!nand) Fail(file, "nand must be a table: [nand]");
  CheckKeys(file, *nand, "nand",
            {"chip", "read_ns", "program_ns", "erase_ns", "rule_breaks", "factory_bad_blocks"});
  config.flash = FlashKind::kNand;
  const toml::node* chip = nand->get("chip");
  if (!chip) Fail(file, "[nand] needs chip = <chip ID, e.g. 0xDAEC>");
  config.nand.chip = static_cast<std::uint16_t>(Integer(file, *chip, "chip", 0, 0xFFFF));
  config.nand.timing.read_ns = NandVariantFor(config.nand.chip).read_ns;
  auto time = [&](const char* key, std::uint64_t& out) {
    if (const toml::node* n = nand->get(key)) {
      out = static_cast<std::uint64_t>(Integer(file, *n, key, 1, 10'000'000'000));
    }
  };
  time("read_ns", config.nand.timing.read_ns);
  time("program_ns", config.nand.timing.program_ns);
  time("erase_ns", config.nand.timing.erase_ns);
  if (const toml::node* n = nand->get("rule_breaks")) {
    const std::optional<std::string> v = n->value<std::string>();
    if (!v || (*v != "noted" && *v != "bit-errors")) {
      Fail(file, "rule_breaks must be \"noted\" or \"bit-errors\"");
    }
    config.nand.spoil_rule_breaks = *v == "bit-errors";
  }
  if (const toml::node* n = nand->get("factory_bad_blocks")) {
    const toml::array* list = n->as_array();
    if (!list) Fail(file, "factory_bad_blocks must be a list of physical block numbers");
    const std::int64_t blocks = NandVariantFor(config.nand.chip).blocks;
    for (std::size_t i = 0; i < list->size(); ++i) {
      config.nand.factory_bad_blocks.push_back(static_cast<std::uint32_t>(Integer(
          file, *list->get(i), "factory_bad_blocks[" + std::to_string(i) + "]", 1, blocks - 1)));
    }
  }
}

// [time]: the flash operation times and the pace of the clock.
void LoadTime(const fs::path& file, const toml::table& time, ModuleConfig& config) {
  CheckKeys(file, time, "time", {"pace", "operations", "seed"});
  std::string operations = time["operations"].value_or(std::string("varied"));
  if (operations == "typical")
    config.nor.timing.mode = NorTimeMode::kTypical;
  else if (operations == "maximum")
    config.nor.timing.mode = NorTimeMode::kMaximum;
  else if (operations == "varied")
    config.nor.timing.mode = NorTimeMode::kVaried;
  else
    Fail(file, "operations '" + operations + "' is not \"typical\", \"maximum\" or \"varied\"");
  if (const toml::node* n = time.get("seed")) {
    config.nor.timing.seed = static_cast<std::uint64_t>(
        Integer(file, *n, "seed", 0, std::numeric_limits<std::int64_t>::max()));
  }
  std::string pace = time["pace"].value_or(std::string("fast"));
  if (pace == "fast")
    config.pace = Pace::kFast;
  else if (pace == "real")
    config.pace = Pace::kReal;
  else
    Fail(file, "pace '" + pace + "' is not \"fast\" or \"real\"");
}

// What module.toml (`file`, parsed into `root`) says the module is; faults come after.
ModuleConfig ModuleFromToml(const fs::path& file, const toml::table& root) {
  CheckKeys(file, root, "", {"cpu", "nor", "nand", "time", "platform", "registry", "dump"});
  ModuleConfig config;

  if (const toml::table* cpu = root["cpu"].as_table()) {
    CheckKeys(file, *cpu, "cpu", {"part_number", "main_id"});
    if (const toml::node* n = cpu->get("part_number")) {
      config.part_number = static_cast<std::uint32_t>(Integer(file, *n, "part_number", 0, 63));
    }
    if (const toml::node* n = cpu->get("main_id")) {
      config.main_id = static_cast<std::uint32_t>(Integer(file, *n, "main_id", 0, 0xFFFFFFFF));
      config.part_number = (config.main_id >> 4) & 0x3F;
    }
  } else {
    Fail(file, "has no [cpu] table");
  }
  if (!config.main_id) config.main_id = MainIdForPartNumber(config.part_number);

  if (root.get("nor") && root.get("nand")) {
    Fail(file, "has both [nor] and [nand]: a module has one kind of flash");
  }
  if (root.get("nand")) {
    LoadNand(file, root, config);
  } else {
    LoadNor(file, root, config);
  }

  if (const toml::table* time = root["time"].as_table()) LoadTime(file, *time, config);

  if (const toml::node* node = root.get("platform")) {
    const toml::table* platform = node->as_table();
    if (!platform) Fail(file, "platform must be a table: [platform]");
    CheckKeys(file, *platform, "platform", {"item0", "item5", "image_version"});
    config.platform.item0 = Words<2>(file, *platform, "item0", "configuration item 0");
    config.platform.item5 = Words<6>(file, *platform, "item5", "configuration item 5");
    config.platform.image_version =
        Words<3>(file, *platform, "image_version", "[id, major, minor | beta build << 16]");
  }
  config.default_registry = RegistryFromToml(file, root, "registry");
  if (const toml::node* node = root.get("dump")) {
    const toml::table* dump = node->as_table();
    if (!dump) Fail(file, "dump must be a table: [dump]");
    CheckKeys(file, *dump, "dump", {"file", "read"});
    DumpOrigin origin;
    origin.file = (*dump)["file"].value_or(std::string());
    if (const toml::node* read = dump->get("read")) {
      const toml::array* list = read->as_array();
      if (!list) Fail(file, "dump.read must be a list of names");
      for (const toml::node& name : *list) {
        if (!name.is_string()) Fail(file, "dump.read must be a list of names");
        origin.read.push_back(name.as_string()->get());
      }
    }
    config.dump = origin;
  }
  return config;
}

}  // namespace

const char* TimeModeName(NorTimeMode mode) {
  switch (mode) {
    case NorTimeMode::kTypical:
      return "typical";
    case NorTimeMode::kMaximum:
      return "maximum";
    case NorTimeMode::kVaried:
      break;
  }
  return "varied";
}

std::string ModuleToml(const ModuleConfig& config) {
  std::ostringstream out;
  out << "# An Imbrel virtual module: what the module is. docs/module-directory.md describes every "
         "key.\n\n"
      << "[cpu]\n"
      << "part_number = " << config.part_number
      << "          # 17 = PXA270 (NOR flash); 8, 9 = PXA3xx (NAND flash)\n\n";
  if (config.flash == FlashKind::kNand) {
    out << "[nand]\n"
        << "chip = " << Hex(config.nand.chip, 4)
        << "              # chip ID: maker code in bits 0-7, device code in bits 8-15\n"
        << "# Optional: read_ns (tR), program_ns (tPROG), erase_ns (tBERS); rule_breaks =\n"
        << "# \"noted\" (the default: nand.rules lists pages programmed out of order or more\n"
        << "# than 4 times) or \"bit-errors\" (those pages also read back with bit errors)\n";
    if (!config.nand.factory_bad_blocks.empty()) {
      out << "factory_bad_blocks = [";
      for (std::size_t i = 0; i < config.nand.factory_bad_blocks.size(); ++i) {
        out << (i ? ", " : "") << config.nand.factory_bad_blocks[i];
      }
      out << "]  # marked bad by the chip maker: every erase and program fails\n";
    }
    out << "\n";
  } else {
    out << "[nor]\n"
        << "manufacturer = " << Hex(config.nor.manufacturer[0], 2)
        << "        # identifier code of both chips, or [low chip, high chip]\n"
        << "device = " << Hex(config.nor.device[0], 4) << "            # device code\n"
        << "cfi_size = " << Hex(config.nor.cfi_size, 2)
        << "            # CFI device size byte: each chip holds 2^n bytes\n\n";
  }
  out << "[time]\n"
      << "pace = \"fast\"             # \"fast\": virtual time only; \"real\": module speed\n"
      << "operations = \"" << TimeModeName(config.nor.timing.mode)
      << "\"     # flash operation times: \"typical\", \"maximum\", or \"varied\" between\n"
      << "seed = " << config.nor.timing.seed
      << "                  # varied: the seed each chip draws its times from\n";
  const PlatformConfig& p = config.platform;
  if (p.item0 || p.item5 || p.image_version) {
    out << "\n[platform]\n";
    if (p.item0) {
      out << "item0 = " << PlatformWords(p.item0->data(), 2)
          << "  # configuration item 0: 8 bytes the platform keeps\n";
    }
    if (p.item5) {
      out << "# configuration item 5: the OS image's flash offset, the registry area's start and\n"
          << "# half its length, three more words\n"
          << "item5 = " << PlatformWords(p.item5->data(), 6) << "\n";
    }
    if (p.image_version) {
      out << "image_version = " << PlatformWords(p.image_version->data(), 3)
          << "  # the running image: id, major, minor | beta build << 16\n";
    }
  }
  if (config.dump) {
    out << "\n[dump]                  # the module was made from a flash dump\n"
        << "file = " << toml::value<std::string>(config.dump->file) << "\n"
        << "read = [";
    for (std::size_t i = 0; i < config.dump->read.size(); ++i) {
      out << (i ? ", " : "") << '"' << config.dump->read[i] << '"';
    }
    out << "]  # read from the dump's flash; the rest came from create's options\n";
  }
  if (!config.default_registry.empty()) {
    out << "\n# The default registry: what the live registry starts from while the kept copy\n"
        << "# (registry.toml) is empty. One table per key under HKEY_LOCAL_MACHINE;\n"
        << "# integers are REG_DWORD, strings REG_SZ.\n"
        << RegistryTomlTables(config.default_registry, "registry.");
  }
  return out.str();
}

ModuleConfig LoadModuleConfig(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) Fail(dir, "does not exist (make a module with imbrel-module create)");
  if (!fs::is_directory(dir, ec)) Fail(dir, "not a module directory");
  fs::path file = dir / "module.toml";
  if (!fs::exists(file)) Fail(file, "missing: not a module (make one with imbrel-module create)");
  if (!fs::is_regular_file(file)) Fail(file, "not a file");
  ModuleConfig config = ModuleFromToml(file, ParseToml(file));
  fs::path faults = dir / "faults.toml";
  if (fs::exists(faults)) LoadFaults(faults, ParseToml(faults), config);
  return config;
}

ModuleConfig LoadModuleConfigText(const fs::path& dir, std::string_view module_toml,
                                  std::optional<std::string_view> faults_toml) {
  fs::path file = dir / "module.toml";
  ModuleConfig config = ModuleFromToml(file, ParseToml(file, module_toml));
  if (faults_toml) {
    fs::path faults = dir / "faults.toml";
    LoadFaults(faults, ParseToml(faults, faults_toml), config);
  }
  return config;
}

}  // namespace host
