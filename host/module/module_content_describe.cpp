// What `imbrel-module info` reads of a module's factory content: the boot images, the version
// and the configuration block in its flash, the platform items, default.fdf and the registries.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"
#include "host/module/module_content.h"
#include "host/module/module_files.h"
#include "host/module/nand_logical.h"
#include "host/oal/registry_flash.h"
#include "host/system/calendar.h"
#include "host/system/registry.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::uint32_t kBannerWindowStart = 0x8000;
constexpr std::uint32_t kBannerWindowEnd = 0x28000;

std::string Word(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value));
  return buf;
}

std::uint32_t Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string VersionText(std::uint32_t major, std::uint32_t minor_build) {
  std::string text =
      std::to_string(static_cast<std::int32_t>(major)) + "." + std::to_string(minor_build & 0xFFFF);
  if (minor_build >> 16) text += "-beta" + std::to_string(minor_build >> 16);
  return text;
}

// The boot image at `place` as its ROM header describes it.
std::optional<FoundBootImage> FindImage(const FlashFile& flash, std::uint32_t place) {
  std::string problem;
  std::optional<FoundBootImage> image = FindBootImage(flash, place, &problem);
  if (image && !image->rom_offset) return std::nullopt;
  return image;
}

// The bootloader's version: its version record in the first 256 KB, else its banner text.
std::string BootloaderVersion(const FlashFile& flash) {
  std::vector<std::uint8_t> head = flash.Read(0, kBannerWindowEnd);
  std::string version = "no version record and no banner";
  VersionInfo info = {};
  // The program's scan: its 4 KB pieces, so that a record it would not find is not shown.
  bool found = FindVersionRecordWith(FlashFile::ReadFn, const_cast<FlashFile*>(&flash), 0,
                                     VersionRecordScanBytes, &info);
  if (found) {
    std::uint32_t at = 0;
    while (at + 20 <= head.size() && !(Get32(&head[at]) == kVersionRecordStart &&
                                       Get32(&head[at + 16]) == kVersionRecordEnd)) {
      at += 4;
    }
    version = "version record at " + Hex(at) + ": id " + std::to_string(info.Id) + ", version " +
              VersionText(static_cast<std::uint32_t>(info.Major), info.MinorBuild);
  }
  if (!found && head.size() > kBannerWindowStart) {
    std::string window(head.begin() + kBannerWindowStart,
                       head.begin() + std::min<std::size_t>(head.size(), kBannerWindowEnd));
    std::size_t at = window.find(kBannerPrefix);
    if (at != std::string::npos) {
      std::size_t start = at + std::strlen(kBannerPrefix);
      std::size_t end = start;
      while (end < window.size() && end < start + 80 && window[end] >= 0x20 && window[end] < 0x7F) {
        ++end;
      }
      version =
          "banner at " + Hex(kBannerWindowStart + at) + ": " + window.substr(start, end - start);
    }
  }
  return version;
}

// The configuration block at its place or its old place: its words up to the erased one.
std::string ConfigBlock(const FlashFile& flash) {
  for (std::uint32_t place : {kConfigBlockPlace, kConfigBlockOldPlace}) {
    if (flash.WordAt(place) != kConfigBlockMarker) continue;
    std::uint32_t words = 1;
    while (words < 0x10000 && flash.WordAt(place + 4 * words).value_or(0xFFFFFFFF) != 0xFFFFFFFF) {
      ++words;
    }
    return std::string(place == kConfigBlockOldPlace ? "at its old place " : "at ") + Hex(place) +
           ", " + std::to_string(words) + " words before the erased word";
  }
  return "none at " + Hex(kConfigBlockPlace) + " or " + Hex(kConfigBlockOldPlace);
}

// The OS image where item 5 places it, else at its place or its old place.
std::string OsImage(const FlashFile& flash, const ModuleConfig& config) {
  std::vector<std::uint32_t> places = {kImagePlace, kImageOldPlace};
  if (config.platform.item5) places.insert(places.begin(), (*config.platform.item5)[0]);
  for (std::uint32_t place : places) {
    if (std::optional<FoundBootImage> found_image = FindImage(flash, place)) {
      return "boot image at " + Hex(place) + ": " + Hex(found_image->size) + " bytes, built " +
             FormatTicks(found_image->built.value_or(0));
    }
  }
  return "none at " + Hex(places[0]);
}

// The relocation table in flash and the block map the running system keeps in RAM.
template <typename Row>
void DescribeRelocations(const fs::path& dir, const NandLogicalView& view, Row row) {
  const std::uint32_t first_reserve = view.Blocks() - view.Reserve();
  row("reserve", std::to_string(view.Reserve()) + " blocks, " + std::to_string(first_reserve) +
                     " to " + std::to_string(view.Blocks() - 1) + "; logical space " +
                     Hex(view.FlashSize()) + " bytes");
  if (view.TableState() == kRelocationTableNone) {
    row("reloc table", "physical page 63 has no table signature: the driver cannot start");
  } else if (view.TableState() == kRelocationTableDamaged) {
    row("reloc table",
        "physical page 63 fails its check and nothing mends it: the driver cannot start");
  } else {
    std::vector<NandRelocation> entries = view.Table();
    row("reloc table", "physical page 63, " + std::to_string(entries.size()) +
                           (entries.size() == 1 ? " entry" : " entries") +
                           (view.TableState() == kRelocationTableMended
                                ? " (bits that read flipped, mended by its check)"
                                : ""));
    for (const NandRelocation& e : entries) {
      std::string text = e.bad_block == 0
                             ? "retired, block " + std::to_string(e.replacement) + " stays used"
                             : "logical block " + std::to_string(e.bad_block) + " -> physical " +
                                   std::to_string(e.replacement);
      if (e.bad_block != 0 && (e.bad_block >= first_reserve || e.replacement < first_reserve ||
                               e.replacement >= view.Blocks())) {
        text += " (outside the logical space or the reserve: ignored)";
      }
      row("", text);
    }
  }
  // The map in named shared memory: filled by the first driver start since the restart.
  std::ifstream map(dir / "ram" / "mapping-NAND_FLASH_BBMT", std::ios::binary);
  std::uint8_t signature[4] = {};
  if (!map || !map.read(reinterpret_cast<char*>(signature), 4)) {
    row("block map", "not made since the last restart (ram/ has no NAND_FLASH_BBMT)");
  } else if (Get32(signature) != 0x544D4242) {
    row("block map", "in RAM, not filled");
  } else {
    std::vector<std::uint32_t> from_table = view.Map();
    std::uint32_t differ = 0;
    for (std::uint32_t k = 0; k < first_reserve; ++k) {
      std::uint8_t entry[2];
      if (!map.read(reinterpret_cast<char*>(entry), 2)) break;
      if (static_cast<std::uint32_t>(entry[0] | entry[1] << 8) != from_table[k]) ++differ;
    }
    row("block map", differ ? "in RAM, filled; " + std::to_string(differ) +
                                  " logical blocks map otherwise than the table says"
                            : std::string("in RAM, filled, as the table says"));
  }
}

// What the flash holds: the bootloader and its version, the configuration block, the OS
// image and, on NAND, the relocation table.
template <typename Row>
void DescribeFlash(const fs::path& dir, const FlashFile& flash, const ModuleConfig& config,
                   Row& row) {
  std::optional<FoundBootImage> boot;
  std::uint32_t boot_place = 0;
  for (std::uint32_t place : {0u, 0x8000u}) {
    if ((boot = FindImage(flash, place))) {
      boot_place = place;
      break;
    }
  }
  if (boot) {
    row("bootloader", "boot image at " + Hex(boot_place) + ": " + Hex(boot->size) +
                          " bytes, ROM header at " + Hex(*boot->rom_offset) + ", built " +
                          FormatTicks(boot->built.value_or(0)));
  } else {
    row("bootloader", "no boot image at 0x0 or 0x8000");
  }
  row("", BootloaderVersion(flash));
  row("config blk", ConfigBlock(flash));
  row("OS image", OsImage(flash, config));
  if (const NandLogicalView* view = flash.nand()) DescribeRelocations(dir, *view, row);
}

// The configuration items and the image version that the platform answers.
template <typename Row>
void DescribePlatform(const PlatformConfig& p, Row& row) {
  row("item 0", p.item0 ? Word((*p.item0)[0]) + " " + Word((*p.item0)[1]) : "none (not answered)");
  if (p.item5) {
    std::string words;
    for (std::uint32_t w : *p.item5) words += Word(w) + " ";
    row("item 5", words + "(image at " + Hex((*p.item5)[0]) + ", registry area " +
                      Hex((*p.item5)[1]) + " + " + Hex(2ull * (*p.item5)[2]) + ")");
  } else {
    row("item 5", "none (not answered)");
  }
  row("image ver", p.image_version ? "id " + std::to_string((*p.image_version)[0]) + ", version " +
                                         VersionText((*p.image_version)[1], (*p.image_version)[2])
                                   : "none (not answered)");
}

// "\windows\default.fdf": its creation time, which the file's mtime keeps, and its size.
std::string DefaultFdf(const fs::path& dir) {
  fs::path fdf = dir / "fs" / "windows" / "default.fdf";
  struct stat st;
  if (stat(fdf.c_str(), &st) != 0) return "none";
  return "created " + FormatTicks(TicksFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)) +
         " UTC (its mtime), " + std::to_string(st.st_size) + " bytes";
}

// A key's values: "Name = 0x00000001, Other = \"text\"".
std::string RegistryValues(const RegistryKeyData& key) {
  std::string text;
  for (const RegistryValue& v : key.values) {
    if (!text.empty()) text += ", ";
    text +=
        Utf8(v.name) + " = " + (v.type == REG_DWORD ? Word(v.number) : "\"" + Utf8(v.text) + "\"");
  }
  return text;
}

// "3 keys, 1 value".
std::string RegistrySummary(const RegistryTree& tree) {
  std::size_t count = 0;
  for (const RegistryKeyData& key : tree.keys) count += key.values.size();
  auto counted = [](std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  return counted(tree.keys.size(), "key") + ", " + counted(count, "value");
}

// The default registry key by key, and how much the kept and the live registry hold.
template <typename Row>
void DescribeRegistries(const fs::path& dir, const ModuleConfig& config, const FlashFile& flash,
                        Row& row) {
  if (config.default_registry.empty()) row("default reg", "none in module.toml");
  for (const RegistryKeyData& key : config.default_registry.keys) {
    row("default reg", Utf8(key.path) + ": " + RegistryValues(key));
  }
  std::optional<RegistryCopy> copy;
  if (std::optional<RegistryArea> area = RegistryAreaOf(config.platform, flash.size())) {
    copy = NewestRegistryCopy(FlashFile::ReadFn, const_cast<FlashFile*>(&flash), *area);
    std::error_code ec;
    const bool older = !copy && fs::exists(KeptRegistryFile(dir), ec) &&
                       !IsRegistryView(KeptRegistryFile(dir)) &&
                       !LoadRegistryFile(KeptRegistryFile(dir)).empty();
    row("registry", (older ? std::string("no copy in flash: the next start takes registry.toml, "
                                         "an older Imbrel's saved registry, once")
                           : DescribeRegistryCopy(copy)) +
                        "; area " + Hex(area->start, 8) + " + 2 x " + Hex(area->half));
  } else {
    row("registry", "no registry area in the flash: saves fail, a start takes the default");
  }
  std::error_code ec;
  if (fs::exists(LiveRegistryFile(dir), ec)) {
    row("live reg",
        RegistrySummary(LoadRegistryFile(LiveRegistryFile(dir))) + " (ram/registry.toml)");
  } else {
    row("live reg", "none until the module starts");
  }
}

}  // namespace

std::string DescribeContent(const fs::path& dir, const ModuleConfig& config) {
  std::ostringstream out;
  auto row = [&](const char* name, const std::string& value) {
    char label[16];
    std::snprintf(label, sizeof label, "%-12s", name);
    out << label << value << "\n";
  };
  FlashFile flash(dir, config);
  if (!flash.ok()) {
    row("content", "the flash image cannot be read");
  } else {
    DescribeFlash(dir, flash, config, row);
    BootVerdict boot = ExamineBoot(flash, config);
    row("boots", boot.Starts() ? "a start runs " + DescribeBootImage(*boot.os, config)
                               : "no: " + boot.problem);
  }
  std::optional<FoundBootImage> running = RunningImage(dir);
  row("running", running ? DescribeBootImage(*running, config) + ", since this boot's start"
                         : std::string("nothing: not started since it was made or restarted cold"));
  DescribePlatform(config.platform, row);
  row("default.fdf", DefaultFdf(dir));
  DescribeRegistries(dir, config, flash, row);
  return out.str();
}

}  // namespace host
