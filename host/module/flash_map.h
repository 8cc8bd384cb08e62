// A picture of a module's flash, block by block, read from its files: what each block holds
// (erased, programmed, weak, bad, relocated), how often it was erased (its wear), and which of
// the named regions it belongs to. `imbrel-module map` draws it in the terminal or as SVG.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace host {

class FlashFile;
struct ModuleConfig;

/// What a block holds, as the map's character for it.
enum class BlockState : char {
  kErased = '.',      // every byte 0xFF (NAND: spare bytes too)
  kProgrammed = '#',  // some byte programmed
  kWeak = 'W',        // its last erase was cut short or failed
  kMarkedBad = 'X',   // NAND: a bad-block mark in page 0 or 1's first spare byte
  kRelocated = 'B',   // NAND: bad, its logical block moved to a reserve block
  kReplacement = 'R'  // NAND: a reserve block holding a relocated logical block
};

struct MapBlock {
  std::uint64_t offset = 0;  // NOR: offset on the bus; NAND: physical block * 128 KB
  std::uint32_t size = 0;
  BlockState state = BlockState::kErased;
  std::uint32_t erases = 0;  // erases begun on it, ever (NOR: the more of the two chips')
  std::string region;        // "bootloader", "OS image", ...; empty: none
  std::string note;          // "logical block 17 moved to physical 2040", ...
};

struct FlashMap {
  std::string module;  // the directory
  bool nand = false;
  std::vector<MapBlock> blocks;
  std::string
      table_note;  // NAND: what is wrong with the relocation table, or mended; empty: intact
};

/// Reads the map of the module in `dir` (module.toml, the flash image, the weak and erase
/// files); throws ModuleError.
FlashMap ReadFlashMap(const std::filesystem::path& dir);

/// A named region of the flash as the driver presents it: [start, end).
struct FlashRegion {
  std::uint64_t start, end;
  std::string name;
};
/// The named regions of the module's flash as `flash` holds it: the bootloader, the
/// configuration block, and what item 5 and the flash file system's registry key place.
std::vector<FlashRegion> FlashRegionsOf(const ModuleConfig& config, const FlashFile& flash);

/// The map as terminal text: one character a block in rows of 64, grouped by region, then
/// the erase counts the same way, a legend and a summary. `color`: ANSI colours.
std::string DrawFlashMap(const FlashMap& map, bool color);

/// The same map as a standalone SVG document; each block's tooltip says what it is.
std::string FlashMapSvg(const FlashMap& map);

}  // namespace host
