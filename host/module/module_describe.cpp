// What `imbrel-module info` says of a module: its processor, its flash and how it is wired,
// the faults it has, and what its cells have been through.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "host/module/module.h"
#include "host/module/module_files.h"

namespace fs = std::filesystem;

namespace host {

namespace {

std::string FormatNs(std::uint64_t ns) {
  char buf[32];
  if (ns >= kNsPerMs && ns % 100'000 == 0) {
    std::snprintf(buf, sizeof buf, "%g ms", static_cast<double>(ns) / kNsPerMs);
  } else {
    std::snprintf(buf, sizeof buf, "%g us", static_cast<double>(ns) / kNsPerUs);
  }
  return buf;
}

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

// The injected faults of a NAND module, a row each.
template <typename Row>
void DescribeNandFaults(const ModuleConfig& config, Row& row) {
  std::vector<std::string> calls = SoftwareFaults(config);
  if (config.nand.faults.empty() && calls.empty()) row("faults", "none");
  for (const NandFault& f : config.nand.faults) {
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
}

// Pages programmed more often than the datasheet allows between erases.
template <typename Row>
void DescribeOverprograms(const fs::path& dir, Row& row) {
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
}

// Programs that broke the page order or the partial-program limit, and controller timings
// the chip could not follow, as the models noted them in nand.rules.
struct NandRuleBreaks {
  std::uint64_t out_of_order = 0, past_limit = 0, early = 0, strobes = 0;
  std::string first;  // the first note
};

NandRuleBreaks ReadNandRules(const fs::path& dir) {
  std::ifstream rules(dir / "nand.rules");
  NandRuleBreaks breaks;
  for (std::string line; std::getline(rules, line);) {
    if (breaks.first.empty()) breaks.first = line;
    if (line.find("programmed after") != std::string::npos) ++breaks.out_of_order;
    if (line.find("since its erase") != std::string::npos) ++breaks.past_limit;
    if (line.find("before the chip was ready") != std::string::npos) ++breaks.early;
    if (line.find("strobes below") != std::string::npos) ++breaks.strobes;
  }
  return breaks;
}

// What the NAND cells have been through: programs past the limits, bad and weak blocks, and
// the rules that programs and the controller broke.
template <typename Row>
void DescribeNandCells(const fs::path& dir, const ModuleConfig& config, Row& row) {
  DescribeOverprograms(dir, row);
  const NandRuleBreaks rules = ReadNandRules(dir);
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
  if (rules.out_of_order + rules.past_limit == 0) {
    row("page rules",
        "every page programmed in order and within the partial-program limit" + spoiled);
  } else {
    row("page rules", std::to_string(rules.out_of_order) + " program(s) out of page order, " +
                          std::to_string(rules.past_limit) + " past the partial-program limit" +
                          spoiled + " (nand.rules; first at " + rules.first + ")");
  }
  if (rules.early + rules.strobes != 0) {
    row("controller", std::to_string(rules.early) + " read(s) sampled before the chip was ready, " +
                          std::to_string(rules.strobes) +
                          " strobe setting(s) below the chip's minimums (nand.rules)");
  }
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
    row("chip select", "CS0 only");
  }
  row("timing", "tR " + FormatNs(nand.timing.read_ns) + ", tPROG " +
                    FormatNs(nand.timing.program_ns) + ", tBERS " + FormatNs(nand.timing.erase_ns));
  DescribeNandFaults(config, row);
  DescribeNandCells(dir, config, row);
  row("pace", config.pace == Pace::kFast ? "fast" : "real");
}

// The injected faults of a NOR module, a row each.
template <typename Row>
void DescribeNorFaults(const ModuleConfig& config, Row& row) {
  std::vector<std::string> calls = SoftwareFaults(config);
  if (config.nor.faults.empty() && calls.empty()) {
    row("faults", "none");
    return;
  }
  for (const NorFault& f : config.nor.faults) {
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

template <typename Row>
void DescribeNor(const fs::path& dir, const ModuleConfig& config, Row& row) {
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
  // Sizes under a megabyte in KB: a CFI size of 0x13 is 2 x 512 KB, not 2 x 0 MB.
  auto bytes = [](std::uint64_t n) {
    return n >= (1u << 20) ? std::to_string(n >> 20) + " MB" : std::to_string(n >> 10) + " KB";
  };
  row("FlashSize", Hex(flash_size) + " (" + bytes(flash_size) + "; CFI size " +
                       Hex(nor.cfi_size, 2) + ": 2 x " + bytes(size / 2) +
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
  DescribeNorFaults(config, row);
  row("pace", config.pace == Pace::kFast ? "fast" : "real");
  row("operations",
      std::string(TimeModeName(config.nor.timing.mode)) +
          (config.nor.timing.mode == NorTimeMode::kVaried
               ? " between typical and maximum, seed " + std::to_string(config.nor.timing.seed)
               : ""));
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
  if (config.dump) {
    std::string read;
    for (std::size_t i = 0; i < config.dump->read.size(); ++i) {
      const std::string& name = config.dump->read[i];
      read += std::string(i == 0                              ? ""
                          : i + 1 == config.dump->read.size() ? " and "
                                                              : ", ") +
              (name == "item0"                ? "item 0"
               : name == "item5"              ? "item 5"
               : name == "factory_bad_blocks" ? "the maker's bad blocks"
                                              : name);
    }
    row("made from", "the flash dump " + config.dump->file + ": the flash as it was" +
                         (read.empty() ? "" : "; " + read + " read from it") +
                         "; the processor, the rest of the items, the image version, the "
                         "default registry and the files from create's options");
  }
  std::string cpu = config.part_number == 17 ? "PXA270" : "PXA3xx";
  row("processor", cpu + ", part number " + std::to_string(config.part_number) + " (main ID " +
                       Hex(config.main_id, 8) + ")");
  if (config.flash == FlashKind::kNand) {
    DescribeNand(dir, config, row);
  } else {
    DescribeNor(dir, config, row);
  }
  out << DescribeContent(dir, config);
  return out.str();
}

}  // namespace host
