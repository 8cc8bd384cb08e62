// The module directory: module.toml, faults.toml, nor.img and ram/.

#include "host/module/module.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "host/hardware/model_notes.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_cpu.h"
#include "host/system/kernel_objects.h"
#include "host/system/registry_toml.h"

namespace fs = std::filesystem;

namespace host {

namespace {

Module* current_module = nullptr;

constexpr std::uint8_t kMinCfiSize = 0x12;
constexpr std::uint8_t kMaxCfiSize = 0x1A;

std::string Hex(std::uint64_t value, int digits = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

std::string FormatNs(std::uint64_t ns) {
  char buf[32];
  if (ns >= kNsPerMs && ns % 100'000 == 0) {
    std::snprintf(buf, sizeof buf, "%g ms", static_cast<double>(ns) / kNsPerMs);
  } else {
    std::snprintf(buf, sizeof buf, "%g us", static_cast<double>(ns) / kNsPerUs);
  }
  return buf;
}

[[noreturn]] void Fail(const fs::path& file, const std::string& problem) {
  throw ModuleError(file.string() + ": " + problem);
}

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
  if (!nor) return;
  const toml::array* list = nor->as_array();
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
  out << "# An Imbrel virtual module: what the module is. The README describes every key.\n\n"
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
  if (!config.default_registry.empty()) {
    out << "\n# The default registry: what the live registry starts from while the kept copy\n"
        << "# (registry.toml) is empty. One table per key under HKEY_LOCAL_MACHINE;\n"
        << "# integers are REG_DWORD, strings REG_SZ.\n"
        << RegistryTomlTables(config.default_registry, "registry.");
  }
  return out.str();
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  out.close();
  if (!out) Fail(file, "cannot write");
}

constexpr const char* kNandFaultsTemplate =
    "# Faults to inject. Each [[nand]] entry:\n"
    "#   kind = \"erase-error\" | \"program-error\" | \"bit-flip\" | \"never-ready\"\n"
    "#   block = physical block (erase-error, program-error): the chip reports a failed\n"
    "#           status; a failed program or erase changes no cell\n"
    "#   page, byte, bit = physical page, byte of its 2112 (2048 and up: spare), bit 0-7\n"
    "#           (bit-flip): the bit reads inverted on every read of the page\n"
    "#   chip_select = 0 | 1 (never-ready; every chip when not given): reads, programs and\n"
    "#           erases start and never finish\n"
    "# [registry] open = \"fail\" | flush = \"fail\" (or a Win32 error number)\n"
    "# [platform] registry_clear = \"fail\" | config_set = \"fail\"\n";

constexpr std::uint32_t kTablePage = 63;  // the last page of block 0

// Maps `size` bytes of `file` shared, making the file that size when `create` is set.
std::uint8_t* MapFile(const fs::path& file, std::uint64_t size, bool create,
                      const std::string& size_problem) {
  int fd = open(file.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) {
    Fail(file, std::string(create ? "cannot create: " : "cannot open: ") + std::strerror(errno));
  }
  struct stat st;
  // A new file (size 0) is made its size; another process may just have done it.
  if (create && fstat(fd, &st) == 0 && st.st_size == 0 &&
      ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    Fail(file,
         std::string("cannot make it ") + std::to_string(size) + " bytes: " + std::strerror(errno));
  }
  if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) {
    close(fd);
    Fail(file, "is " + std::to_string(st.st_size) + " bytes; " + size_problem + " needs " +
                   std::to_string(size));
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) Fail(file, std::string("cannot map: ") + std::strerror(errno));
  return static_cast<std::uint8_t*>(p);
}

// An erased chip as it leaves the factory, with the relocation table page programmed (ECC off:
// the signature 0x524E and nothing else, spare area erased) and its program counted.
void WriteErasedNand(const fs::path& staging, std::uint16_t chip) {
  std::uint64_t size = NandImageBytes(chip);
  std::uint8_t* image = MapFile(staging / "nand.img", size, true, "the chip");
  std::memset(image, 0xFF, size);
  image[std::uint64_t{kTablePage} * kNandRawPageBytes] = 0x4E;
  image[std::uint64_t{kTablePage} * kNandRawPageBytes + 1] = 0x52;
  int synced = msync(image, size, MS_SYNC);
  munmap(image, size);
  if (synced != 0) Fail(staging / "nand.img", "cannot write the flash image");
  std::uint64_t pages = size / kNandRawPageBytes;
  std::uint8_t* programs = MapFile(staging / "nand.programs", pages, true, "the chip");
  programs[kTablePage] = 1;
  munmap(programs, pages);
}

// The maker's mark of a bad block on large-page parts: a non-0xFF first spare byte in the
// block's first and second pages.
void MarkFactoryBadBlocks(const fs::path& staging, const NandConfig& nand) {
  if (nand.factory_bad_blocks.empty()) return;
  std::uint64_t size = NandImageBytes(nand.chip);
  std::uint8_t* image = MapFile(staging / "nand.img", size, false, "the chip");
  for (std::uint32_t block : nand.factory_bad_blocks) {
    for (std::uint64_t page = 0; page < 2; ++page) {
      image[(std::uint64_t{block} * kNandPagesPerBlock + page) * kNandRawPageBytes +
            kNandPageBytes] = 0x00;
    }
  }
  int synced = msync(image, size, MS_SYNC);
  munmap(image, size);
  if (synced != 0) Fail(staging / "nand.img", "cannot write the flash image");
}

void WriteErasedImage(const fs::path& file, std::uint64_t size) {
  std::ofstream out(file, std::ios::binary);
  std::vector<char> erased(1 << 20, static_cast<char>(0xFF));
  for (std::uint64_t left = size; left && out;) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, erased.size()));
    out.write(erased.data(), static_cast<std::streamsize>(take));
    left -= take;
  }
  out.close();
  if (!out) Fail(file, "cannot write the flash image");
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

}  // namespace

CreateOptions CreateOptions::Blank() {
  CreateOptions options;
  options.bootloader.reset();
  options.config_block.reset();
  options.image.reset();
  options.item0.reset();
  options.item5 = false;
  options.image_version.reset();
  options.fdf_time.reset();
  options.registry = false;
  options.samples = false;
  return options;
}

namespace {

// What module.toml (`file`, parsed into `root`) says the module is; faults come after.
ModuleConfig ModuleFromToml(const fs::path& file, const toml::table& root) {
  CheckKeys(file, root, "", {"cpu", "nor", "nand", "time", "platform", "registry"});
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

  if (const toml::table* time = root["time"].as_table()) {
    CheckKeys(file, *time, "time", {"pace", "operations", "seed"});
    std::string operations = (*time)["operations"].value_or(std::string("varied"));
    if (operations == "typical")
      config.nor.timing.mode = NorTimeMode::kTypical;
    else if (operations == "maximum")
      config.nor.timing.mode = NorTimeMode::kMaximum;
    else if (operations == "varied")
      config.nor.timing.mode = NorTimeMode::kVaried;
    else
      Fail(file, "operations '" + operations + "' is not \"typical\", \"maximum\" or \"varied\"");
    if (const toml::node* n = time->get("seed")) {
      config.nor.timing.seed = static_cast<std::uint64_t>(
          Integer(file, *n, "seed", 0, std::numeric_limits<std::int64_t>::max()));
    }
    std::string pace = (*time)["pace"].value_or(std::string("fast"));
    if (pace == "fast")
      config.pace = Pace::kFast;
    else if (pace == "real")
      config.pace = Pace::kReal;
    else
      Fail(file, "pace '" + pace + "' is not \"fast\" or \"real\"");
  }

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
  return config;
}

}  // namespace

ModuleConfig LoadModuleConfig(const fs::path& dir) {
  if (!fs::is_directory(dir)) Fail(dir, "not a module directory");
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

void CreateModule(const fs::path& dir, const CreateOptions& options) {
  std::error_code ec;
  if (fs::exists(dir, ec) && (!fs::is_directory(dir) || !fs::is_empty(dir, ec))) {
    Fail(dir, "already exists and is not an empty directory");
  }
  ModuleConfig config;
  const bool nand = options.flash == FlashKind::kNand;
  config.flash = options.flash;
  if (nand) {
    config.part_number = options.part_number.value_or(9);
    if (config.part_number != 8 && config.part_number != 9) {
      Fail(dir, "part number " + std::to_string(config.part_number) +
                    " is not a PXA3xx (8 or 9): NAND modules have a PXA3xx");
    }
    config.nand.chip = options.nand_chip;
    const std::uint32_t blocks = NandVariantFor(config.nand.chip).blocks;
    for (std::uint32_t block : options.factory_bad_blocks) {
      if (block == 0) Fail(dir, "block 0 cannot be a factory bad block: makers guarantee it good");
      if (block >= blocks) {
        Fail(dir, "factory bad block " + std::to_string(block) + " is past the chip's " +
                      std::to_string(blocks) + " blocks");
      }
      if (std::find(config.nand.factory_bad_blocks.begin(), config.nand.factory_bad_blocks.end(),
                    block) == config.nand.factory_bad_blocks.end()) {
        config.nand.factory_bad_blocks.push_back(block);
      }
    }
    std::sort(config.nand.factory_bad_blocks.begin(), config.nand.factory_bad_blocks.end());
  } else {
    if (!options.factory_bad_blocks.empty()) Fail(dir, "factory bad blocks are NAND's");
    config.part_number = options.part_number.value_or(17);
    config.nor.device[0] = config.nor.device[1] = options.nor_device;
    const NorVariant* variant = FindNorVariant(options.nor_device);
    config.nor.cfi_size = options.cfi_size ? *options.cfi_size : variant ? variant->cfi_size : 0x18;
    if (config.nor.cfi_size < kMinCfiSize || config.nor.cfi_size > kMaxCfiSize) {
      Fail(dir, "CFI size " + Hex(config.nor.cfi_size, 2) + " is outside " + Hex(kMinCfiSize, 2) +
                    ".." + Hex(kMaxCfiSize, 2));
    }
  }
  config.main_id = MainIdForPartNumber(config.part_number);
  config.nor.timing.mode = options.times;
  config.nor.timing.seed = options.seed;

  // Build the module beside its place and move it in whole, so that a failure leaves nothing.
  fs::path parent = fs::absolute(dir).parent_path();
  fs::create_directories(parent, ec);
  if (ec) Fail(parent, "cannot create: " + ec.message());
  std::string pattern = (parent / ".imbrel-module-XXXXXX").string();
  if (!mkdtemp(pattern.data())) Fail(parent, "cannot create a directory here");
  fs::path staging = pattern;
  try {
    fs::create_directory(staging / "fs");
    if (nand) {
      WriteErasedNand(staging, config.nand.chip);
      MarkFactoryBadBlocks(staging, config.nand);
    } else {
      WriteErasedImage(staging / "nor.img", std::uint64_t{2} << config.nor.cfi_size);
    }
    MakeFactoryContent(staging, dir, options, config);
    WriteFile(staging / "module.toml", ModuleToml(config));
    WriteFile(
        staging / "faults.toml",
        nand ? kNandFaultsTemplate
             : "# Faults to inject. Each [[nor]] entry:\n"
               "#   kind  = \"locked-down\" | \"erase-error\" | \"program-error\" | "
               "\"never-ready\" | \"buffer-unavailable\"\n"
               "#   block = offset of any byte of the block in the flash (not for never-ready or\n"
               "#           buffer-unavailable)\n"
               "#   count = buffer-unavailable: the next count Write to Buffer requests find the\n"
               "#           buffer taken for a few status reads\n"
               "#   chip  = \"low\" | \"high\" | \"both\" (the default)\n"
               "# [registry] open = \"fail\" | flush = \"fail\" (or a Win32 error number)\n"
               "# [platform] registry_clear = \"fail\" | config_set = \"fail\"\n");
    WriteRegistryFile(KeptRegistryFile(staging), RegistryTree{});
    fs::create_directory(staging / "ram");
    fs::permissions(staging, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    if (fs::exists(dir)) fs::remove(dir);
    fs::rename(staging, dir);
  } catch (...) {
    fs::remove_all(staging, ec);
    throw;
  }
}

std::unique_ptr<Module> Module::Open(const fs::path& dir) {
  std::unique_ptr<Module> module(new Module());
  module->dir_ = fs::absolute(dir);
  module->config_ = LoadModuleConfig(dir);
  // The module's RAM holds the live registry and the named mutexes' lock files: without a
  // writable ram/ two processes could not exclude each other, so the module is refused.
  fs::path ram = module->dir_ / "ram";
  std::error_code ram_error;
  fs::create_directories(ram, ram_error);
  if (fs::exists(ram) && !fs::is_directory(ram)) Fail(ram, "not a folder");
  if (ram_error) Fail(ram, "cannot make the module's RAM folder: " + ram_error.message());
  if (access(ram.c_str(), W_OK) != 0)
    Fail(ram, std::string("cannot write: ") + std::strerror(errno));
  if (module->config_.flash == FlashKind::kNand) {
    module->OpenNand();
  } else {
    fs::path image = dir / "nor.img";
    std::uint64_t size = std::uint64_t{2} << module->config_.nor.cfi_size;
    module->image_ = MapFile(image, size, false,
                             "module.toml's cfi_size " + Hex(module->config_.nor.cfi_size, 2));
    module->image_size_ = size;
    module->nor_ = std::make_unique<NorArray>(module->config_.nor, module->image_);
    if (module->config_.nor.clear_lock_clears_all) {
      // J3 lock bits are cells: nor.locks keeps them across restarts.
      fs::path locks = dir / "nor.locks";
      module->locks_size_ = module->nor_->LockBitBytes();
      module->locks_ =
          MapFile(locks, module->locks_size_, !fs::exists(locks), "one byte a block of each chip");
      module->nor_->KeepLockBits(module->locks_);
    }
    // Blocks whose erase was cut short stay weak across restarts, until erased whole.
    fs::path weak = dir / "nor.weak";
    module->weak_size_ = module->nor_->LockBitBytes();
    module->weak_ =
        MapFile(weak, module->weak_size_, !fs::exists(weak), "one byte a block of each chip");
    module->nor_->KeepWeakBlocks(module->weak_);
    module->bus_.Attach(kNorPhysicalBase, size, module->nor_.get());
  }

  StartLiveRegistry(module->dir_, module->config_.default_registry);
  SetRegistryFaults(module->config_.registry_faults);
  SetCpuMainId(module->config_.main_id);
  SetClockPace(module->config_.pace);
  SetKernelObjectDirectory(module->dir_ / "ram");
  SetPhysicalBus(&module->bus_);
  current_module = module.get();
  InstallPlatformCodes(module->dir_, module->config_.platform, module->config_.platform_faults);
  PowerOn(module->config_.power_cut_after);
  ReadTraceSetting();
  return module;
}

void Module::OpenNand() {
  const NandConfig& nand = config_.nand;
  NandVariant variant = NandVariantFor(nand.chip);
  image_size_ = NandImageBytes(nand.chip);
  image_ = MapFile(dir_ / "nand.img", image_size_, false,
                   "module.toml's chip " + Hex(nand.chip, 4) + " (" +
                       std::to_string(variant.blocks) + " blocks of 64 pages of 2112 bytes)");
  // The program counters of the pages: made (all zero) for a module that has none yet.
  fs::path counters = dir_ / "nand.programs";
  programs_size_ = image_size_ / kNandRawPageBytes;
  programs_ = MapFile(counters, programs_size_, !fs::exists(counters), "one byte a page");
  std::uint32_t blocks = variant.blocks / variant.chip_selects;
  // Blocks whose erase was cut short stay weak across restarts, until erased whole.
  fs::path weak = dir_ / "nand.weak";
  weak_size_ = variant.blocks;
  weak_ = MapFile(weak, weak_size_, !fs::exists(weak), "one byte a block");
  // Factory bad blocks fail every erase and program, as the injected faults do.
  std::vector<NandFault> faults = nand.faults;
  for (std::uint32_t block : nand.factory_bad_blocks) {
    faults.push_back({.kind = NandFaultKind::kEraseError, .block = block});
    faults.push_back({.kind = NandFaultKind::kProgramError, .block = block});
  }
  std::vector<NandChip*> chips;
  for (std::uint32_t cs = 0; cs < variant.chip_selects; ++cs) {
    std::uint64_t first_page = std::uint64_t{cs} * blocks * kNandPagesPerBlock;
    nand_.push_back(std::make_unique<NandChip>(
        variant, blocks, cs * blocks, image_ + first_page * kNandRawPageBytes,
        programs_ + first_page, nand.timing, faults, static_cast<int>(cs)));
    nand_.back()->SpoilRuleBreaks(nand.spoil_rule_breaks);
    nand_.back()->KeepWeakBlocks(weak_ + std::size_t{cs} * blocks);
    chips.push_back(nand_.back().get());
  }
  DfcTiming timing;
  timing.clock_mhz = DfcClockMhz(config_.part_number);
  timing.follow_cpu = true;
  dfc_ = std::make_unique<Pxa3xxDfc>(chips, timing);
  // The controller's registers hold what the last program wrote until the module restarts.
  fs::create_directories(dir_ / "ram");
  dfc_settings_ = MapFile(dir_ / "ram" / "pxa3xx-dfc-registers", sizeof(DfcSettings), true,
                          "the controller's settings");
  dfc_->KeepSettingsIn(reinterpret_cast<DfcSettings*>(dfc_settings_));
  bus_.Attach(kDfcPhysicalBase, kDfcWindowBytes, dfc_.get());
}

std::uint64_t NandImageBytes(std::uint16_t chip) {
  return std::uint64_t{NandVariantFor(chip).blocks} * kNandPagesPerBlock * kNandRawPageBytes;
}

std::uint32_t DfcClockMhz(std::uint32_t part_number) {
  return part_number == 8 ? 156 : part_number == 9 ? 312 : 104;
}

Module::~Module() {
  if (current_module == this) {
    SetPhysicalBus(nullptr);
    SetKernelObjectDirectory({});
    current_module = nullptr;
  }
  dfc_.reset();
  nand_.clear();
  if (image_) munmap(image_, image_size_);
  if (programs_) munmap(programs_, programs_size_);
  if (locks_) munmap(locks_, locks_size_);
  if (weak_) munmap(weak_, weak_size_);
  if (dfc_settings_) munmap(dfc_settings_, sizeof(DfcSettings));
}

Module* CurrentModule() { return current_module; }

namespace {

// The blocks that nor.weak or nand.weak mark, as "what N, what M" (at most eight named).
std::string WeakBlocks(const fs::path& file, const std::function<std::string(std::size_t)>& name) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string listed;
  std::size_t count = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!bytes[i]) continue;
    if (++count <= 8) listed += (listed.empty() ? "" : ", ") + name(i);
  }
  if (count == 0) return "none";
  return std::to_string(count) + " whose last erase was cut short or failed (a program into " +
         "them fails until they are erased whole): " + listed + (count > 8 ? ", ..." : "");
}

std::vector<std::string> SoftwareFaults(const ModuleConfig& config) {
  std::vector<std::string> calls;
  if (config.registry_faults.open) {
    calls.push_back("RegOpenKeyExW fails with " + std::to_string(config.registry_faults.open));
  }
  if (config.registry_faults.flush) {
    calls.push_back("RegFlushKey fails with " + std::to_string(config.registry_faults.flush));
  }
  if (config.platform_faults.registry_clear) calls.push_back("the registry clear code fails");
  if (config.platform_faults.config_set) calls.push_back("the configuration set code fails");
  if (config.power_cut_after) {
    calls.push_back("the power fails during flash operation " +
                    std::to_string(*config.power_cut_after + 1) + " after the module opens");
  }
  return calls;
}

template <typename Row>
void DescribeNand(const fs::path& dir, const ModuleConfig& config, Row& row) {
  const NandConfig& nand = config.nand;
  NandVariant variant = NandVariantFor(nand.chip);
  bool known = FindNandVariant(nand.chip) != nullptr;
  row("flash", "NAND behind the PXA3xx data flash controller at physical " +
                   Hex(kDfcPhysicalBase, 8) + " (controller clock " +
                   std::to_string(DfcClockMhz(config.part_number)) + " MHz)");
  char id[64];
  std::snprintf(id, sizeof id, "%02X %02X %02X %02X %02X", variant.id_bytes[0], variant.id_bytes[1],
                variant.id_bytes[2], variant.id_bytes[3], variant.id_bytes[4]);
  row("chip",
      Hex(nand.chip, 4) + " " + variant.name + ", ID bytes " + id +
          (known ? "" : " (not a known chip: the driver refuses it; modeled with 1024 blocks)"));
  std::uint64_t bytes = std::uint64_t{variant.blocks} * kNandPagesPerBlock * kNandPageBytes;
  row("geometry", std::to_string(variant.blocks) + " blocks of 64 pages of 2048 + 64 bytes (" +
                      std::to_string(bytes >> 20) + " MB of data)");
  if (variant.chip_selects > 1) {
    std::uint32_t per = variant.blocks / variant.chip_selects;
    row("chip select", std::to_string(variant.chip_selects) + ": blocks 0-" +
                           std::to_string(per - 1) + " on CS0, " + std::to_string(per) + "-" +
                           std::to_string(variant.blocks - 1) + " on CS1");
  } else {
    row("chip select", "1 (CS0)");
  }
  row("timing", "tR " + FormatNs(nand.timing.read_ns) + ", tPROG " +
                    FormatNs(nand.timing.program_ns) + ", tBERS " + FormatNs(nand.timing.erase_ns));
  std::vector<std::string> calls = SoftwareFaults(config);
  if (nand.faults.empty() && calls.empty()) row("faults", "none");
  for (const NandFault& f : nand.faults) {
    switch (f.kind) {
      case NandFaultKind::kEraseError:
        row("fault", "erase-error, block " + std::to_string(f.block));
        break;
      case NandFaultKind::kProgramError:
        row("fault", "program-error, block " + std::to_string(f.block));
        break;
      case NandFaultKind::kBitFlip:
        row("fault", "bit-flip, page " + std::to_string(f.page) + " byte " +
                         std::to_string(f.byte) + " bit " + std::to_string(f.bit));
        break;
      case NandFaultKind::kNeverReady:
        row("fault", "never-ready, " + (f.chip_select < 0 ? std::string("every chip select")
                                                          : "CS" + std::to_string(f.chip_select)));
        break;
    }
  }
  for (const std::string& call : calls) row("fault", call);
  // Pages programmed more often than the datasheet allows between erases.
  std::ifstream in(dir / "nand.programs", std::ios::binary);
  std::vector<char> counts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::uint64_t over = 0;
  std::string listed;
  for (std::size_t page = 0; page < counts.size(); ++page) {
    std::uint8_t n = static_cast<std::uint8_t>(counts[page]);
    if (n <= kNandPartialProgramLimit) continue;
    if (++over <= 8) {
      listed += (listed.empty() ? "" : ", ") + std::string("page ") + std::to_string(page) + " (" +
                std::to_string(n) + ")";
    }
  }
  if (over == 0) {
    row("overprogram", "no page programmed more than 4 times since its erase");
  } else {
    row("overprogram", std::to_string(over) + " page(s) programmed more than 4 times since " +
                           "their erase: " + listed + (over > 8 ? ", ..." : ""));
  }
  // Programs that broke the page order or the partial-program limit, and controller timings
  // the chip could not follow, as the models noted them.
  std::ifstream rules(dir / "nand.rules");
  std::uint64_t out_of_order = 0, past_limit = 0, early = 0, strobes = 0;
  std::string first;
  for (std::string line; std::getline(rules, line);) {
    if (first.empty()) first = line;
    if (line.find("programmed after") != std::string::npos) ++out_of_order;
    if (line.find("since its erase") != std::string::npos) ++past_limit;
    if (line.find("before the chip was ready") != std::string::npos) ++early;
    if (line.find("strobes below") != std::string::npos) ++strobes;
  }
  if (!config.nand.factory_bad_blocks.empty()) {
    std::string listed;
    for (std::uint32_t block : config.nand.factory_bad_blocks) {
      listed += (listed.empty() ? "" : ", ") + std::to_string(block);
    }
    row("bad blocks", "marked bad by the maker (every erase and program fails): " + listed);
  }
  const std::string spoiled =
      config.nand.spoil_rule_breaks ? " (such pages read back with bit errors)" : "";
  row("weak blocks", WeakBlocks(dir / "nand.weak", [](std::size_t block) {
        return "physical " + std::to_string(block);
      }));
  if (out_of_order + past_limit == 0) {
    row("page rules",
        "every page programmed in order and within the partial-program limit" + spoiled);
  } else {
    row("page rules", std::to_string(out_of_order) + " program(s) out of page order, " +
                          std::to_string(past_limit) + " past the partial-program limit" + spoiled +
                          " (nand.rules; first at " + first + ")");
  }
  if (early + strobes != 0) {
    row("controller", std::to_string(early) + " read(s) sampled before the chip was ready, " +
                          std::to_string(strobes) +
                          " strobe setting(s) below the chip's minimums (nand.rules)");
  }
  row("pace", config.pace == Pace::kFast ? "fast" : "real");
}

}  // namespace

std::string DescribeModule(const fs::path& dir) {
  ModuleConfig config = LoadModuleConfig(dir);
  std::ostringstream out;
  auto row = [&](const char* name, const std::string& value) {
    char label[16];
    std::snprintf(label, sizeof label, "%-12s", name);
    out << label << value << "\n";
  };
  row("module", fs::absolute(dir).string());
  std::string cpu = config.part_number == 17 ? "PXA270" : "PXA3xx";
  row("processor", cpu + ", part number " + std::to_string(config.part_number) + " (main ID " +
                       Hex(config.main_id, 8) + ")");
  if (config.flash == FlashKind::kNand) {
    DescribeNand(dir, config, row);
    out << DescribeContent(dir, config);
    return out.str();
  }
  const NorConfig& nor = config.nor;
  row("flash", "NOR: two 16-bit Intel command-set chips on a 32-bit bus at physical 0");
  const NorVariant* variant = FindNorVariant(nor.device[0]);
  std::string device = Hex(nor.device[0], 4);
  if (nor.device[1] != nor.device[0]) device += " / " + Hex(nor.device[1], 4) + " (high chip)";
  device += variant ? std::string(" (") + variant->name + ")" : " (unknown device)";
  row("device", device);
  std::string maker = Hex(nor.manufacturer[0], 2);
  if (nor.manufacturer[1] != nor.manufacturer[0]) {
    maker += " / " + Hex(nor.manufacturer[1], 2) + " (high chip)";
  }
  row("maker", maker + (nor.manufacturer[0] == 0x89 && nor.manufacturer[1] == 0x89
                            ? " (Intel)"
                            : " (not Intel on both chips: the driver refuses it)"));
  std::uint64_t size = std::uint64_t{2} << nor.cfi_size;
  std::uint64_t flash_size = std::min<std::uint64_t>(size, 0x4000000);
  row("FlashSize", Hex(flash_size) + " (" + std::to_string(flash_size >> 20) + " MB; CFI size " +
                       Hex(nor.cfi_size, 2) + ": 2 x " + std::to_string(size >> 21) + " MB" +
                       (flash_size < size ? ", the driver uses the first 64 MB" : "") + ")");
  std::vector<NorBlock> blocks = NorArray(nor, nullptr).Blocks();
  std::string layout;
  for (std::size_t i = 0; i < blocks.size();) {
    std::size_t j = i;
    while (j < blocks.size() && blocks[j].size == blocks[i].size) ++j;
    if (!layout.empty()) layout += ", ";
    layout += std::to_string(j - i) + " x " + std::to_string(blocks[i].size >> 10) + " KB from " +
              Hex(blocks[i].offset);
    i = j;
  }
  row("blocks", layout);
  row("lock bits", nor.power_up_locked ? "every block locked at power-up" : "unlocked at power-up");
  row("weak blocks", WeakBlocks(dir / "nor.weak", [&](std::size_t i) {
        // One byte a block of the low chip, then the high chip's.
        std::size_t block = i % blocks.size();
        return Hex(blocks[block].offset) + (i < blocks.size() ? " (low chip)" : " (high chip)");
      }));
  std::vector<std::string> calls = SoftwareFaults(config);
  if (nor.faults.empty() && calls.empty()) {
    row("faults", "none");
  } else {
    for (const NorFault& f : nor.faults) {
      static const char* kinds[] = {"locked-down", "erase-error", "program-error", "never-ready",
                                    "buffer-unavailable"};
      const char* chip = f.chip < 0 ? "both chips" : f.chip == 0 ? "low chip" : "high chip";
      std::string what = std::string(kinds[static_cast<int>(f.kind)]) + ", " + chip;
      if (f.kind == NorFaultKind::kBufferUnavailable) {
        what += ", the next " + std::to_string(f.count) + " buffer request(s)";
      } else if (f.kind != NorFaultKind::kNeverReady) {
        what += ", block at " + Hex(f.offset);
      }
      row("fault", what);
    }
    for (const std::string& call : calls) row("fault", call);
  }
  row("pace", config.pace == Pace::kFast ? "fast" : "real");
  row("operations",
      std::string(TimeModeName(config.nor.timing.mode)) +
          (config.nor.timing.mode == NorTimeMode::kVaried
               ? " between typical and maximum, seed " + std::to_string(config.nor.timing.seed)
               : ""));
  out << DescribeContent(dir, config);
  return out.str();
}

}  // namespace host
