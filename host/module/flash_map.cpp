// The flash map: read straight from the module's files, as `info` reads them, without
// powering the chips.

#include "host/module/flash_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>

#include "host/hardware/nand_chip.h"
#include "host/hardware/nor_array.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "host/module/module_content.h"
#include "host/module/module_files.h"
#include "host/module/nand_logical.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::size_t kRowBlocks = 64;

// A file mapped read-only (copy-on-write, never written), or nothing when it is missing.
class ReadMap {
 public:
  explicit ReadMap(const fs::path& file) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE, fd, 0);
      if (p != MAP_FAILED) {
        data_ = static_cast<std::uint8_t*>(p);
        size_ = static_cast<std::size_t>(st.st_size);
      }
    }
    close(fd);
  }
  ~ReadMap() {
    if (data_) munmap(data_, size_);
  }
  ReadMap(const ReadMap&) = delete;
  ReadMap& operator=(const ReadMap&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint8_t Byte(std::size_t i) const { return i < size_ ? data_[i] : 0; }
  std::uint32_t Word(std::size_t i) const {
    if (4 * i + 4 > size_) return 0;
    std::uint32_t value;
    std::memcpy(&value, data_ + 4 * i, 4);
    return value;
  }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

bool AllErased(const std::uint8_t* p, std::size_t count) {
  for (; count >= 8; p += 8, count -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word != ~std::uint64_t{0}) return false;
  }
  for (; count; ++p, --count) {
    if (*p != 0xFF) return false;
  }
  return true;
}

struct Region {
  std::uint64_t start, end;
  const char* name;
};

// The named regions of the flash as the driver presents it: the bootloader, the
// configuration block, and what item 5 and the flash file system's registry key place.
std::vector<Region> Regions(const ModuleConfig& config,
                            const std::function<std::optional<std::uint32_t>(std::uint64_t)>& word,
                            std::uint64_t flash_size) {
  std::vector<Region> regions;
  std::optional<std::uint32_t> image;
  if (config.platform.item5) image = (*config.platform.item5)[0];
  for (std::uint32_t place : {kImagePlace, kImageOldPlace}) {
    if (!image && word(place + kSignatureOffset) == kBootImageSignature) image = place;
  }
  std::optional<std::uint32_t> config_block;
  for (std::uint32_t place : {kConfigBlockPlace, kConfigBlockOldPlace}) {
    if (!config_block && word(place) == kConfigBlockMarker) config_block = place;
  }
  std::uint64_t boot_end = config_block ? *config_block : image ? *image : 0;
  if (boot_end) regions.push_back({0, boot_end, "bootloader"});
  if (config_block) {
    std::uint64_t end = image && *image > *config_block ? *image : *config_block + 0x40000;
    regions.push_back({*config_block, end, "config block"});
  }
  if (config.platform.item5) {
    const std::array<std::uint32_t, 6>& item5 = *config.platform.item5;
    if (item5[1] > item5[0]) regions.push_back({item5[0], item5[1], "OS image"});
    if (item5[2]) regions.push_back({item5[1], item5[1] + 2ull * item5[2], "registry"});
  } else if (image) {
    regions.push_back({*image, *image + 1, "OS image"});
  }
  std::u16string key = Utf16(kFmdKey);
  const RegistryValue* base = config.default_registry.FindValue(key, u"MemBase");
  const RegistryValue* length = config.default_registry.FindValue(key, u"MemLen");
  if (base && length && base->type == REG_DWORD && length->type == REG_DWORD) {
    regions.push_back({base->number, std::uint64_t{base->number} + length->number, "file system"});
  }
  for (Region& r : regions) r.end = std::min(r.end, flash_size);
  return regions;
}

const char* RegionOf(const std::vector<Region>& regions, std::uint64_t offset) {
  for (const Region& r : regions) {
    if (offset >= r.start && offset < r.end) return r.name;
  }
  return "";
}

void ReadNorMap(const fs::path& dir, const ModuleConfig& config, FlashMap& map) {
  ReadMap image(dir / "nor.img");
  const std::uint64_t size = std::uint64_t{2} << config.nor.cfi_size;
  if (image.size() != size) Fail(dir / "nor.img", "is not the size module.toml's cfi_size gives");
  ReadMap weak(dir / "nor.weak");
  ReadMap erases(dir / "nor.erases");
  std::vector<NorBlock> blocks = NorArray(config.nor, nullptr).Blocks();
  std::vector<Region> regions = Regions(
      config,
      [&](std::uint64_t at) -> std::optional<std::uint32_t> {
        if (at + 4 > size) return std::nullopt;
        std::uint32_t value;
        std::memcpy(&value, image.data() + at, 4);
        return value;
      },
      size);
  // nor.weak and nor.erases: the low chip's blocks, then the high chip's.
  const std::size_t chip_blocks = blocks.size();
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    MapBlock block;
    block.offset = blocks[i].offset;
    block.size = blocks[i].size;
    block.erases = std::max(erases.Word(i), erases.Word(chip_blocks + i));
    block.region = RegionOf(regions, block.offset);
    if (weak.Byte(i) || weak.Byte(chip_blocks + i)) {
      block.state = BlockState::kWeak;
    } else if (!AllErased(image.data() + block.offset, block.size)) {
      block.state = BlockState::kProgrammed;
    }
    map.blocks.push_back(block);
  }
}

void ReadNandMap(const fs::path& dir, const ModuleConfig& config, FlashMap& map) {
  ReadMap image(dir / "nand.img");
  const std::uint32_t count = NandVariantFor(config.nand.chip).blocks;
  if (image.size() != NandImageBytes(config.nand.chip)) {
    Fail(dir / "nand.img", "is not the size module.toml's chip gives");
  }
  ReadMap weak(dir / "nand.weak");
  ReadMap erases(dir / "nand.erases");
  NandLogicalView view(image.data(), count);
  std::vector<Region> regions = Regions(
      config,
      [&](std::uint64_t at) -> std::optional<std::uint32_t> {
        std::uint32_t value;
        if (!view.Read(at, &value, 4)) return std::nullopt;
        return value;
      },
      view.FlashSize());
  const std::uint32_t first_reserve = count - view.Reserve();
  std::vector<std::string> notes(count);
  std::vector<bool> moved(count), replacement(count);
  switch (view.TableState()) {
    case kRelocationTableIntact:
      break;
    case kRelocationTableMended:
      map.table_note = "bits read flipped in physical page 63, mended by its check";
      break;
    case kRelocationTableDamaged:
      map.table_note =
          "physical page 63 fails its check and nothing mends it: the driver cannot start";
      break;
    case kRelocationTableNone:
      map.table_note = "physical page 63 has no table signature: the driver cannot start";
      break;
  }
  if (view.TableValid()) {
    std::vector<std::uint32_t> logical = view.Map();
    for (std::uint32_t l = 0; l < first_reserve && l < logical.size(); ++l) {
      if (logical[l] == l || logical[l] >= count) continue;
      moved[l] = true;
      notes[l] =
          "logical block " + std::to_string(l) + " moved to physical " + std::to_string(logical[l]);
      replacement[logical[l]] = true;
      notes[logical[l]] = "holds logical block " + std::to_string(l);
    }
    for (const NandRelocation& e : view.Table()) {
      if (e.bad_block == 0 && e.replacement < count && !replacement[e.replacement]) {
        replacement[e.replacement] = true;
        notes[e.replacement] = "a retired table entry's block, kept from use";
      }
    }
  }
  for (std::uint32_t p = 0; p < count; ++p) {
    MapBlock block;
    block.offset = std::uint64_t{p} * kNandBlockBytes;
    block.size = kNandBlockBytes;
    block.erases = erases.Word(p);
    block.region = p < first_reserve ? RegionOf(regions, block.offset) : "reserve";
    block.note = notes[p];
    const std::uint8_t* raw = view.RawPage(p * kNandPagesPerBlock);
    const bool marked =
        raw[kNandPageBytes] != 0xFF || raw[kNandRawPageBytes + kNandPageBytes] != 0xFF;
    if (moved[p]) {
      block.state = BlockState::kRelocated;
    } else if (marked) {
      block.state = BlockState::kMarkedBad;
    } else if (weak.Byte(p)) {
      block.state = BlockState::kWeak;
    } else if (replacement[p]) {
      block.state = BlockState::kReplacement;
    } else if (!AllErased(raw, std::size_t{kNandPagesPerBlock} * kNandRawPageBytes)) {
      block.state = BlockState::kProgrammed;
    }
    map.blocks.push_back(block);
  }
}

// How each state is named and drawn: its words, its ANSI colour, its SVG fill. NOR blocks
// take only the first three.
struct StateStyle {
  BlockState state;
  const char* name;
  const char* ansi;
  const char* svg;
};

const StateStyle kStyles[] = {
    {BlockState::kErased, "erased", "2", "#f2f2f2"},
    {BlockState::kProgrammed, "programmed", "32", "#4caf50"},
    {BlockState::kWeak, "weak: its last erase did not finish", "33;1", "#ffb300"},
    {BlockState::kMarkedBad, "marked bad", "31", "#9e9e9e"},
    {BlockState::kRelocated, "bad: its logical block moved to the reserve", "31;1", "#e53935"},
    {BlockState::kReplacement, "reserve block in use", "36", "#1e88e5"},
};

const StateStyle& Style(BlockState state) {
  for (const StateStyle& style : kStyles) {
    if (style.state == state) return style;
  }
  return kStyles[0];
}

const char* StateName(BlockState state) { return Style(state).name; }

// The states a map of this flash can show: NOR has no bad blocks.
std::vector<BlockState> States(const FlashMap& map) {
  std::vector<BlockState> states;
  for (const StateStyle& style : kStyles) states.push_back(style.state);
  if (!map.nand) states.resize(3);
  return states;
}

// Runs of blocks in one region: [first, end) indexes.
struct Run {
  std::size_t first, end;
};

std::vector<Run> RegionRuns(const FlashMap& map) {
  std::vector<Run> runs;
  for (std::size_t i = 0; i < map.blocks.size();) {
    std::size_t j = i + 1;
    while (j < map.blocks.size() && map.blocks[j].region == map.blocks[i].region) ++j;
    runs.push_back({i, j});
    i = j;
  }
  return runs;
}

std::string Bytes(std::uint64_t n) {
  return n >= (1u << 20) && n % (1u << 20) == 0 ? std::to_string(n >> 20) + " MB"
                                                : std::to_string(n >> 10) + " KB";
}

std::string Title(const FlashMap& map) {
  std::uint64_t total = 0;
  for (const MapBlock& b : map.blocks) total += b.size;
  std::string sizes;
  for (std::size_t i = 0; i < map.blocks.size();) {
    std::size_t j = i;
    while (j < map.blocks.size() && map.blocks[j].size == map.blocks[i].size) ++j;
    sizes +=
        (sizes.empty() ? "" : ", ") + std::to_string(j - i) + " x " + Bytes(map.blocks[i].size);
    i = j;
  }
  return std::string(map.nand ? "NAND" : "NOR") + " flash of " + map.module + ": " + Bytes(total) +
         (map.nand ? " of data" : "") + " in " + std::to_string(map.blocks.size()) + " blocks (" +
         sizes + (map.nand ? ", physical order" : "") + ")";
}

char CountDigit(std::uint32_t erases) {
  return erases < 10 ? static_cast<char>('0' + erases) : '+';
}

std::string Summary(const FlashMap& map) {
  std::string text;
  for (const StateStyle& style : kStyles) {
    const BlockState state = style.state;
    std::size_t n = static_cast<std::size_t>(std::count_if(
        map.blocks.begin(), map.blocks.end(), [&](const MapBlock& b) { return b.state == state; }));
    if (n) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + StateName(state);
  }
  text = "blocks: " + text + "\n";
  std::uint64_t total = 0;
  const MapBlock* most = nullptr;
  for (const MapBlock& b : map.blocks) {
    total += b.erases;
    if (!most || b.erases > most->erases) most = &b;
  }
  text += "erases: " + std::to_string(total) + " in all";
  if (most && most->erases) {
    text += "; most " + std::to_string(most->erases) + ", the block at " + Hex(most->offset);
  }
  text += "\n";
  for (const MapBlock& b : map.blocks) {
    if (b.state == BlockState::kRelocated) text += "relocated: " + b.note + "\n";
  }
  if (!map.table_note.empty()) text += "relocation table: " + map.table_note + "\n";
  return text;
}

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

FlashMap ReadFlashMap(const fs::path& dir) {
  ModuleConfig config = LoadModuleConfig(dir);
  FlashMap map;
  map.module = fs::absolute(dir).string();
  map.nand = config.flash == FlashKind::kNand;
  if (map.nand) {
    ReadNandMap(dir, config, map);
  } else {
    ReadNorMap(dir, config, map);
  }
  return map;
}

std::string DrawFlashMap(const FlashMap& map, bool color) {
  std::ostringstream out;
  out << Title(map) << "; one character a block\n";
  std::string legend;
  for (BlockState state : States(map)) {
    legend += std::string(legend.empty() ? "" : "   ") + static_cast<char>(state) + " " +
              StateName(state);
  }
  out << legend << "\n";
  const int digits = static_cast<int>(Hex(map.blocks.back().offset).size()) - 2;
  auto draw = [&](const char* heading, auto glyph) {
    out << "\n" << heading << "\n";
    for (const Run& run : RegionRuns(map)) {
      const MapBlock& first = map.blocks[run.first];
      char label[64];
      std::snprintf(label, sizeof label, "%-13s %s %6zu  ",
                    first.region.empty() ? "-" : first.region.c_str(),
                    Hex(first.offset, digits).c_str(), run.end - run.first);
      std::string indent(std::strlen(label), ' ');
      for (std::size_t i = run.first; i < run.end; i += kRowBlocks) {
        out << (i == run.first ? label : indent.c_str());
        for (std::size_t k = i; k < std::min(run.end, i + kRowBlocks); ++k) {
          auto [c, code] = glyph(map.blocks[k]);
          if (color) {
            out << "\033[" << code << "m" << c << "\033[0m";
          } else {
            out << c;
          }
        }
        out << "\n";
      }
    }
  };
  char heading[96];
  std::snprintf(heading, sizeof heading, "%-13s %-*s %6s  %s", "region", digits + 2, "offset",
                "blocks", "what each block holds");
  draw(heading, [](const MapBlock& b) {
    return std::pair<char, const char*>(static_cast<char>(b.state), Style(b.state).ansi);
  });
  std::snprintf(heading, sizeof heading, "%-13s %-*s %6s  %s", "region", digits + 2, "offset",
                "blocks", "erases of each block (0-9, + for 10 or more)");
  draw(heading, [](const MapBlock& b) {
    return std::pair<char, const char*>(CountDigit(b.erases), b.erases == 0   ? "2"
                                                              : b.erases < 10 ? "0"
                                                                              : "35;1");
  });
  out << "\n" << Summary(map);
  return out.str();
}

std::string FlashMapSvg(const FlashMap& map) {
  constexpr int kCell = 12, kLabel = 190, kMargin = 12, kLine = 18;
  std::uint32_t most = 0;
  for (const MapBlock& b : map.blocks) most = std::max(most, b.erases);
  std::vector<Run> runs = RegionRuns(map);
  std::ostringstream body;
  int y = kMargin + kLine;
  body << "<text x='" << kMargin << "' y='" << y << "' font-weight='bold'>" << XmlText(Title(map))
       << "</text>\n";
  auto panel = [&](const std::string& heading, auto fill) {
    y += kLine + 8;
    body << "<text x='" << kMargin << "' y='" << y << "' font-weight='bold'>" << XmlText(heading)
         << "</text>\n";
    y += 8;
    for (const Run& run : runs) {
      const MapBlock& first = map.blocks[run.first];
      body << "<text x='" << kMargin << "' y='" << y + kCell - 2 << "'>"
           << XmlText(first.region.empty() ? "-" : first.region) << " " << Hex(first.offset)
           << "</text>\n";
      for (std::size_t i = run.first; i < run.end; ++i) {
        const MapBlock& b = map.blocks[i];
        std::size_t column = (i - run.first) % kRowBlocks;
        int row_y = y + static_cast<int>((i - run.first) / kRowBlocks) * kCell;
        body << "<rect x='" << kLabel + static_cast<int>(column) * kCell << "' y='" << row_y
             << "' width='" << kCell - 1 << "' height='" << kCell - 1 << "' stroke='#c8c8c8' fill='"
             << fill(b) << "'><title>"
             << XmlText(Hex(b.offset) + ", " + Bytes(b.size) + ": " + StateName(b.state) + "; " +
                        std::to_string(b.erases) + (b.erases == 1 ? " erase" : " erases") +
                        (b.region.empty() ? "" : "; " + b.region) +
                        (b.note.empty() ? "" : "; " + b.note))
             << "</title></rect>\n";
      }
      y += static_cast<int>((run.end - run.first + kRowBlocks - 1) / kRowBlocks) * kCell + 4;
    }
  };
  panel("What each block holds", [](const MapBlock& b) { return std::string(Style(b.state).svg); });
  panel(
      "Erases of each block (grey: none; light blue for one to navy for 100,000, ten times "
      "as many a step darker; most " +
          std::to_string(most) + ")",
      [](const MapBlock& b) {
        // A fixed scale, so that maps of two modules compare and one erase is not drawn as
        // the colour of a worn-out block.
        if (b.erases == 0) return std::string("#e0e0e0");
        const double t = std::min(1.0, std::log10(static_cast<double>(b.erases)) / 5);
        auto mix = [t](int from, int to) { return static_cast<int>(from + (to - from) * t); };
        char colour[16];
        std::snprintf(colour, sizeof colour, "#%02x%02x%02x", mix(0xbb, 0x0d), mix(0xdb, 0x2b),
                      mix(0xf7, 0x52));
        return std::string(colour);
      });
  y += kLine;
  int x = kMargin;
  for (BlockState state : States(map)) {
    body << "<rect x='" << x << "' y='" << y - kCell + 2 << "' width='" << kCell - 1 << "' height='"
         << kCell - 1 << "' fill='" << Style(state).svg << "'/>"
         << "<text x='" << x + kCell + 4 << "' y='" << y << "'>" << XmlText(StateName(state))
         << "</text>\n";
    x += kCell + 12 + 7 * static_cast<int>(std::strlen(StateName(state)));
  }
  y += kLine;
  std::istringstream summary(Summary(map));
  for (std::string line; std::getline(summary, line); y += kLine) {
    body << "<text x='" << kMargin << "' y='" << y << "'>" << XmlText(line) << "</text>\n";
  }
  const int width = std::max(kLabel + static_cast<int>(kRowBlocks) * kCell + kMargin, x + kMargin);
  std::ostringstream svg;
  svg << "<?xml version='1.0' encoding='UTF-8'?>\n"
      << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << y + kMargin
      << "' font-family='monospace' font-size='11'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n"
      << body.str() << "</svg>\n";
  return svg.str();
}

std::vector<FlashRegion> FlashRegionsOf(const ModuleConfig& config, const FlashFile& flash) {
  std::vector<FlashRegion> named;
  for (const Region& r : Regions(
           config, [&](std::uint64_t at) { return flash.WordAt(at); }, flash.size())) {
    named.push_back({r.start, r.end, r.name});
  }
  return named;
}

}  // namespace host
