// imbrel-module's subcommands: what each one is given on its command line, and what it does
// with it. imbrel_module.cpp sets up their options; the commands run here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <toml++/toml.h>

namespace host {

struct BinImage;

constexpr int kExitFailed = 1;  // a flash operation failed
constexpr int kExitUsage = 2;   // bad command line, module or file

// The content options of `create`, as given (empty: not given).
struct ContentArgs {
  bool blank = false;
  std::string bootloader_version, bootloader_banner, bootloader_time, bootloader_place,
      bootloader_size;
  bool no_bootloader = false;
  bool config_block_given = false, no_config_block = false;
  bool old_config_place = false;
  std::string image_place, image_size, image_time;
  bool no_image = false;
  std::string item0, item5, image_version, fdf_time, mem_base, mem_len;
  bool no_item0 = false, no_item5 = false, no_image_version = false, no_fdf = false,
       no_registry = false, no_samples = false;
  std::string times, seed;         // module.toml's [time] operations and seed
  std::string factory_bad_blocks;  // NAND: physical blocks, comma-separated
};

// `create`: the module's directory, flash and processor as given, and its content.
struct CreateArgs {
  std::string dir, device, cfi, size, chip, part;
  std::string from_dump;  // a flash dump to make the module's flash from
  bool nor = false, nand = false;
  ContentArgs content;
};

// `erase`, `write` and `read`: the module and the flash range, as given.
struct FlashArgs {
  std::string dir, offset, length;
  std::string file;       // write, verify: the data ("-": standard input)
  bool erase = false;     // write: erase the blocks the range touches first
  bool json = false;      // one JSON object on standard output instead of the text
  bool progress = false;  // the progress line even when standard error is not a terminal
  bool all = false;       // erase: the whole flash
  bool force = false;     // erase: take the whole blocks of an unaligned range
  std::string out_file;   // read: where the bytes go (empty or "-": stdout)
  std::string bin;        // verify: a BIN image to hold the flash to, as the updater places it
};

// `dump`: NAND pages with their spare area, as given.
struct DumpArgs {
  std::string dir, first, count, out_file;
  bool logical = false;   // FIRST counts logical pages (through the block map)
  bool raw = false;       // the cells as they are, without ECC correction
  bool json = false;      // with -o FILE: one JSON object on standard output
  bool progress = false;  // the progress line even when standard error is not a terminal
};

// `rehearse`: the module, the image, and what to report.
struct RehearseArgs {
  std::string dir, bin, svg_file;
  int cuts = 0;           // power cuts spread over the update, each on a copy of its own
  bool no_retry = false;  // after a cut, only start the module: no update again
  bool json = false;
  std::uint64_t wear_limit = 100000;  // erases a block is rated for
};

// `map`: the module, and where the SVG goes (empty: the terminal map to standard output).
struct MapArgs {
  std::string dir, svg_file;
  bool json = false;  // each block as data instead of the picture
};

// The faults that `fault` adds or removes, as given (empty: not given).
struct FaultArgs {
  std::string dir;
  std::string bad_block, on, bit_flip, byte = "0", bit = "0", power_cut_after;
  bool never_ready = false, remove = false, clear = false;
  bool json = false;  // the faults as one JSON object instead of the file's text
};

/// --json of a flash command: the object it fills as it goes, printed as the command ends
/// (power cut included) with "command", "ok", "status" and the "errors" it said on standard
/// error. Null when the command prints text.
toml::table* JsonReport();
void BeginJsonReport(const char* command);
/// Adds `text` to the report's errors (a message the command printed).
void NoteJsonError(const std::string& text);
/// Prints the report with `status` and ends it; returns `status`.
int EndJsonReport(int status);

// Each returns the tool's exit status, or throws: UsageError and ModuleError for a bad
// command line, module or file, other exceptions for a failed operation.
/// What the flash holds against what an update from a BIN image leaves (verify --bin),
/// through the selected driver: the blocks the updater erases, and the bytes that differ.
struct BinComparison {
  std::uint64_t from = 0, to = 0;  // the blocks the updater erases: [from, to)
  std::uint32_t start = 0;         // where the image starts in the flash
  std::uint64_t differ = 0;        // bytes that differ
  std::uint64_t first = 0;         // the first of them, its flash offset
  std::uint8_t held = 0, wanted = 0;
  std::int64_t first_record = -1;  // the record it belongs to; -1: erased there
  std::uint64_t records = 0, checked = 0;
  std::string read_problem;  // a read failed: what it said
};
/// Reads [offset, offset + count) of the flash into `out`; false with `*problem` set.
using FlashRangeReader = std::function<bool(std::uint64_t offset, std::uint64_t count,
                                            std::uint8_t* out, std::string* problem)>;
/// Throws UsageError naming `name` when the updater would not write the image. Reads through
/// the driver, or through `read` when given.
BinComparison CompareFlashWithBin(const BinImage& image, const std::string& name,
                                  const FlashRangeReader& read = {});

int RunCreate(const CreateArgs& args);
/// `json`: one JSON object instead of the text.
int RunInfo(const std::string& dir, bool json);
int RunErase(const FlashArgs& args);
int RunWrite(const FlashArgs& args);
int RunVerify(const FlashArgs& args);
int RunRead(const FlashArgs& args);
/// NAND pages in nanddump's --oob layout: 2048 data bytes then the 64 spare bytes of each.
int RunDump(const DumpArgs& args);
/// The flash block by block: as text, coloured on a terminal, or as an SVG picture.
int RunMap(const MapArgs& args);
/// Adds or removes faults in faults.toml. The file is checked as the module would load it
/// before it replaces the old one, so a bad fault leaves the module as it was.
int RunFault(const FaultArgs& args);
/// Runs the program's quiet update of args.bin on a copy of the module and reports what it
/// did and what it leaves; with cuts, what a power cut at any moment of it leaves.
int RunRehearse(const RehearseArgs& args);

}  // namespace host
