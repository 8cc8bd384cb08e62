// imbrel-module: make, inspect and read or write virtual modules. Flash access goes through
// the program's own driver on the module's hardware models, with the flash mutex held.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "host/imbrel_module_commands.h"
#include "host/module/module.h"
#include "host/system/kernel_objects.h"
#include "host/tool_support.h"

namespace {

using host::ContentArgs;
using host::CreateArgs;
using host::FaultArgs;
using host::FlashArgs;

// The bootloader options of `create`.
void AddBootloaderOptions(CLI::App* create, ContentArgs& content) {
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
}

// The options of `create` for the configuration block and the OS image.
void AddImageOptions(CLI::App* create, ContentArgs& content) {
  // --config-block is the default; it stays accepted, and the help names only its opposite.
  create->add_flag("--config-block", content.config_block_given)->group("");
  create->add_flag("--no-config-block", content.no_config_block,
                   "no configuration block (default: one at 0x40000)");
  create->add_flag("--old-config-place", content.old_config_place,
                   "the configuration block at its old place 0x88000 (the image then at 0xC8000)");
  auto* img_place =
      create->add_option("--image-place", content.image_place,
                         "flash offset of the OS image (default: item 5's word 0, else 0x80000)");
  auto* img_size = create->add_option("--image-size", content.image_size,
                                      "bytes of the OS image (default 0x100000)");
  auto* img_time =
      create->add_option("--image-time", content.image_time,
                         "build time in the image's ROM header, UTC "
                         "(default: --fdf-time's; with --no-fdf, 2009-03-06T17:42:10)");
  create->add_flag("--no-image", content.no_image, "no OS image")
      ->excludes(img_place)
      ->excludes(img_size)
      ->excludes(img_time);
}

// The options of `create` for the platform's items, default.fdf, the samples and the default
// registry.
void AddPlatformOptions(CLI::App* create, ContentArgs& content) {
  auto* item0 =
      create->add_option("--item0", content.item0, "configuration item 0: W0,W1 (default 1,0)");
  create->add_flag("--no-item0", content.no_item0, "no configuration item 0")->excludes(item0);
  auto* item5 = create->add_option(
      "--item5", content.item5,
      "configuration item 5: six words, image place, registry area start, half its length, "
      "... (default: from the flash size; 0x80000,0x1400000,0x40000,0,0,0 for 32 MB)");
  create->add_flag("--no-item5", content.no_item5, "no configuration item 5")->excludes(item5);
  auto* version = create->add_option("--image-version", content.image_version,
                                     "running image's version when the image carries no "
                                     "version record: ID.MAJOR.MINOR[-betaBUILD] (default 1.5.3)");
  create->add_flag("--no-image-version", content.no_image_version, "no running image version")
      ->excludes(version);
  auto* fdf = create->add_option("--fdf-time", content.fdf_time,
                                 "creation time of \\windows\\default.fdf, UTC, until a start "
                                 "gives it the running image's build time "
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
}

// Each subcommand with its options, which fill `args` as given.
CLI::App* AddCreate(CLI::App& app, CreateArgs& args) {
  CLI::App* create = app.add_subcommand("create", "make a new module in DIR (new or empty)");
  create->add_option("DIR", args.dir, "module directory")->required();
  create->add_flag("--nor", args.nor, "a PXA270 module with Intel NOR flash");
  create->add_flag("--nand", args.nand,
                   "a PXA3xx module with NAND flash behind the data flash controller");
  create->add_option("--chip", args.chip,
                     "NAND chip ID, maker code low: 0xDAEC (default), 0xF1EC, 0xDCEC, 0xD3EC, "
                     "0xDCAD, or any other (1024 blocks)");
  create->add_option("--part", args.part,
                     "PXA3xx processor part number of a NAND module: 8 or 9 "
                     "(default 9)");
  create->add_option("--factory-bad-blocks", args.content.factory_bad_blocks,
                     "NAND physical blocks the chip comes with marked bad, e.g. 100,1000: the "
                     "maker's mark in their spare area, and every erase and program fails");
  create->add_option("--device", args.device, "NOR device code (default 0x8922)");
  auto* cfi =
      create->add_option("--cfi-size", args.cfi,
                         "CFI device size byte: each chip holds 2^N bytes (default 0x18: 32 MB)");
  create
      ->add_option("--size", args.size,
                   "NOR: the whole flash, both chips (512K to 128M, a power of two; default 64M)")
      ->excludes(cfi);
  create->add_option("--times", args.content.times,
                     "how long flash operations take: typical, maximum, or varied between the "
                     "two for each chip (default)");
  create->add_option("--seed", args.content.seed, "the seed of varied operation times (default 1)");
  create->add_option("--from-dump", args.from_dump,
                     "make the flash from a dump of a real module's: NOR, the whole flash as "
                     "raw bytes (its size gives the chips'); NAND, every page with its 64 spare "
                     "bytes, as nanddump --oob and dump --raw write them. The configuration "
                     "items and the bad blocks come from the dump");
  create->add_flag("--blank", args.content.blank,
                   "an erased flash and nothing else; the options below put parts back");
  AddBootloaderOptions(create, args.content);
  AddImageOptions(create, args.content);
  AddPlatformOptions(create, args.content);
  return create;
}

CLI::App* AddInfo(CLI::App& app, std::string& dir, bool& json) {
  CLI::App* info = app.add_subcommand("info", "show what the module is and holds");
  info->add_option("DIR", dir, "module directory")->required();
  info->add_flag("--json", json, "one JSON object (keys in docs/tools.md) instead of the text");
  return info;
}

CLI::App* AddErase(CLI::App& app, FlashArgs& args) {
  CLI::App* erase =
      app.add_subcommand("erase", "erase whole blocks: a block-aligned range, or --all");
  erase->add_option("DIR", args.dir, "module directory")->required();
  auto* offset = erase->add_option("OFFSET", args.offset, "flash offset, block-aligned");
  auto* length = erase->add_option("LENGTH", args.length, "bytes, whole blocks")->needs(offset);
  offset->needs(length);
  erase->add_flag("--all", args.all, "the whole flash")->excludes(offset)->excludes(length);
  erase->add_flag("--force", args.force,
                  "erase the whole blocks an unaligned range touches, rather than refuse it");
  erase->add_flag("--json", args.json,
                  "one JSON object on standard output instead of the text (keys in docs/tools.md)");
  erase->add_flag(
      "--progress", args.progress,
      "show the progress line on standard error even when it is not a terminal (a line a second)");
  return erase;
}

CLI::App* AddWrite(CLI::App& app, FlashArgs& args) {
  CLI::App* write = app.add_subcommand(
      "write",
      "program FILE at OFFSET and verify it. Without --erase the range must be erased (it is "
      "checked first, and nothing is programmed when it is not); with --erase every block the "
      "range touches is unlocked and erased first, and its bytes outside the range are "
      "written back");
  write->add_option("DIR", args.dir, "module directory")->required();
  write->add_option("OFFSET", args.offset, "flash offset")->required();
  write->add_option("FILE", args.file, "data to program (- for standard input)")->required();
  write->add_flag("--erase", args.erase, "erase the blocks the range touches first");
  write->add_flag("--json", args.json,
                  "one JSON object on standard output instead of the text (keys in docs/tools.md)");
  write->add_flag(
      "--progress", args.progress,
      "show the progress line on standard error even when it is not a terminal (a line a second)");
  return write;
}

CLI::App* AddVerify(CLI::App& app, FlashArgs& args) {
  CLI::App* verify = app.add_subcommand(
      "verify",
      "compare the flash at OFFSET with FILE, or (--bin) with what an update from a BIN image "
      "leaves: each record where the updater puts it, 0xFF in the rest of the blocks it erases "
      "(status 1 if they differ, with the first difference and the count of bytes that do)");
  verify->add_option("DIR", args.dir, "module directory")->required();
  auto* offset = verify->add_option("OFFSET", args.offset, "flash offset");
  auto* file =
      verify->add_option("FILE", args.file, "the bytes to find there (- for standard input)");
  auto* bin = verify->add_option("--bin", args.bin,
                                 "a BIN image (- for standard input), placed with the module's "
                                 "configuration item 5 as the updater places it");
  offset->excludes(bin);
  file->excludes(bin);
  verify->callback([offset, file, bin] {
    if (bin->count() == 0 && (offset->count() == 0 || file->count() == 0)) {
      throw CLI::ValidationError("verify", "needs OFFSET and FILE, or --bin FILE");
    }
  });
  verify->add_flag(
      "--json", args.json,
      "one JSON object on standard output instead of the text (keys in docs/tools.md)");
  return verify;
}

CLI::App* AddRead(CLI::App& app, FlashArgs& args) {
  CLI::App* read = app.add_subcommand(
      "read",
      "read flash bytes (a hex dump on a terminal); with neither OFFSET nor LENGTH, the whole "
      "flash (NOR past the driver's 64 MB: the cells as a programmer reads them). NAND: erased "
      "pages read 0xFF; a damaged page fails the read, named");
  read->add_option("DIR", args.dir, "module directory")->required();
  auto* offset = read->add_option("OFFSET", args.offset, "flash offset");
  read->add_option("LENGTH", args.length, "bytes")->needs(offset);
  read->add_option("-o,--output", args.out_file,
                   "write the bytes to this file (- for standard "
                   "output)");
  read->add_flag("--json", args.json,
                 "with -o FILE: one JSON object on standard output (keys in docs/tools.md)");
  read->add_flag(
      "--progress", args.progress,
      "show the progress line on standard error even when it is not a terminal (a line a second)");
  return read;
}

CLI::App* AddDump(CLI::App& app, host::DumpArgs& args) {
  CLI::App* dump = app.add_subcommand(
      "dump",
      "NAND pages with their spare area, as nanddump --oob writes them: 2048 data bytes then "
      "64 spare bytes a page; the data corrected by the ECC unless --raw (erased pages 0xFF)");
  dump->add_option("DIR", args.dir, "module directory")->required();
  dump->add_option("FIRST", args.first, "first page (default 0)");
  dump->add_option("COUNT", args.count, "pages (default: to the last)");
  dump->add_flag("--logical", args.logical,
                 "FIRST and COUNT are logical pages, through the block map (default: physical)");
  dump->add_flag("--raw", args.raw, "the cells as they are, without ECC correction");
  dump->add_option("-o,--output", args.out_file, "write to this file (- for standard output)");
  dump->add_flag("--json", args.json,
                 "with -o FILE: one JSON object on standard output (keys in docs/tools.md)");
  dump->add_flag(
      "--progress", args.progress,
      "show the progress line on standard error even when it is not a terminal (a line a second)");
  return dump;
}

CLI::App* AddMap(CLI::App& app, host::MapArgs& args) {
  CLI::App* map = app.add_subcommand(
      "map",
      "draw the flash block by block: the named regions, erased / programmed / weak / bad / "
      "relocated blocks, and how often each block was erased");
  map->add_option("DIR", args.dir, "module directory")->required();
  map->add_option("--svg", args.svg_file,
                  "write the map as an SVG picture to this file (- for standard output)");
  map->add_flag("--json", args.json, "each block as data: one JSON object (keys in docs/tools.md)");
  return map;
}

CLI::App* AddFault(CLI::App& app, FaultArgs& args) {
  CLI::App* fault = app.add_subcommand(
      "fault", "add faults to the module's faults.toml (or remove them with --remove)");
  fault->add_option("DIR", args.dir, "module directory")->required();
  auto* bad = fault->add_option(
      "--bad-block", args.bad_block,
      "a block that fails (NAND: physical block number; NOR: offset of a byte of the block)");
  fault->add_option("--on", args.on, "what fails on the bad block: erase or program")->needs(bad);
  auto* flip = fault->add_option("--bit-flip", args.bit_flip,
                                 "NAND: a physical page with one bit that reads inverted");
  fault->add_option("--byte", args.byte, "byte of the raw page (2048 and up: spare; default 0)")
      ->needs(flip);
  fault->add_option("--bit", args.bit, "bit of that byte, 0-7 (default 0)")->needs(flip);
  fault->add_flag("--never-ready", args.never_ready,
                  "the flash starts every program and erase and never finishes");
  fault->add_option("--power-cut-after", args.power_cut_after,
                    "the power fails during the flash operation after N more, counted from "
                    "each opening of the module (the module then stops: boot.log says where)");
  fault->add_flag("--remove", args.remove, "remove the faults named instead of adding them");
  fault->add_flag("--clear", args.clear, "remove every fault first");
  fault->add_flag("--json", args.json,
                  "the faults as they now stand: one JSON object (keys in docs/tools.md)");
  return fault;
}

CLI::App* AddRehearse(CLI::App& app, host::RehearseArgs& args) {
  CLI::App* rehearse = app.add_subcommand(
      "rehearse",
      "run the program's quiet update (/u) of a BIN image on a throwaway copy of the module "
      "and report what it does: the outcome, module time, blocks erased and programmed, bad "
      "blocks met, bytes changed outside the image's blocks, wear, and what the next start "
      "runs. DIR is not changed. Status 0: the update succeeds and the module starts; 1: it "
      "fails, or leaves (after a cut) a module that does not start");
  rehearse->add_option("DIR", args.dir, "module directory")->required();
  rehearse->add_option("--bin", args.bin, "the BIN image to rehearse")->required();
  rehearse
      ->add_option("--cuts", args.cuts,
                   "also cut the power N times, spread over the update's flash operations, "
                   "each on a fresh copy; after each the module starts and the update runs "
                   "again")
      ->check(CLI::Range(0, 100000));
  rehearse->add_flag("--no-retry", args.no_retry,
                     "after a cut, only start the module: do not run the update again");
  rehearse->add_flag("--json", args.json,
                     "one JSON object (keys in docs/tools.md) instead of the text");
  rehearse->add_option("--svg", args.svg_file,
                       "draw the update as a timeline over module time into this file (- for "
                       "standard output)");
  rehearse->add_option("--wear-limit", args.wear_limit,
                       "erases a block is rated for: blocks past it are counted (default "
                       "100000)");
  return rehearse;
}

}  // namespace

int main(int argc, char** argv) {
  // A rehearsal forks a run for each power cut: with every library symbol bound before the
  // first fork (the dynamic linker's LD_BIND_NOW), no run binds them again as it calls them.
  if (argc > 1 && std::string(argv[1]) == "rehearse" && !std::getenv("LD_BIND_NOW")) {
    setenv("LD_BIND_NOW", "1", 1);
    execv("/proc/self/exe", argv);  // on failure, carry on unbound
  }
  CLI::App app{"imbrel-module: make, inspect, read and write Imbrel virtual modules"};
  app.require_subcommand(1);
  // The tool-wide options may come after the subcommand too ("info DIR --no-wait").
  app.fallthrough();
  bool no_wait = false;
  app.add_flag("--no-wait", no_wait,
               "fail at once (status 2) when another process holds the module's flash");
  app.set_version_flag("--version", host::VersionText("imbrel-module " IMBREL_VERSION));
  app.footer(
      "Numbers are decimal or 0x-hex, with K, M or G for KiB, MiB or GiB (64K, 0x20M). Flash "
      "access goes through the program's own driver.\n"
      "Exit status: 0 done, 1 a flash operation failed, 2 bad command line, module or file, 5 the "
      "module lost its power (a power cut from faults.toml).");

  CreateArgs create_args;
  std::string info_dir;
  FlashArgs erase_args, write_args, verify_args, read_args;
  FaultArgs fault_args;
  host::DumpArgs dump_args;
  host::MapArgs map_args;
  CLI::App* create = AddCreate(app, create_args);
  bool info_json = false;
  CLI::App* info = AddInfo(app, info_dir, info_json);
  CLI::App* erase = AddErase(app, erase_args);
  CLI::App* write = AddWrite(app, write_args);
  CLI::App* verify = AddVerify(app, verify_args);
  CLI::App* read = AddRead(app, read_args);
  CLI::App* dump = AddDump(app, dump_args);
  CLI::App* map = AddMap(app, map_args);
  CLI::App* fault = AddFault(app, fault_args);
  host::RehearseArgs rehearse_args;
  CLI::App* rehearse = AddRehearse(app, rehearse_args);

  if (auto status = host::ParseToolArguments(app, argc, argv)) return *status;
  host::SetOtherProcessWait(
      no_wait ? host::OtherProcessWait::kRefuse : host::OtherProcessWait::kWait, "imbrel-module");

  // --json: the command's object on standard output, whatever ends it.
  const char* json_command = *erase && erase_args.json     ? "erase"
                             : *write && write_args.json   ? "write"
                             : *verify && verify_args.json ? "verify"
                             : *read && read_args.json     ? "read"
                             : *dump && dump_args.json     ? "dump"
                                                           : nullptr;
  if (json_command) {
    host::BeginJsonReport(json_command);
    int status = host::kExitFailed;
    try {
      if (*erase) status = host::RunErase(erase_args);
      if (*write) status = host::RunWrite(write_args);
      if (*verify) status = host::RunVerify(verify_args);
      if (*read) status = host::RunRead(read_args);
      if (*dump) status = host::RunDump(dump_args);
    } catch (const host::UsageError& e) {
      std::fprintf(stderr, "imbrel-module: %s\n", e.what());
      host::NoteJsonError(e.what());
      status = host::kExitUsage;
    } catch (const host::ModuleError& e) {
      std::fprintf(stderr, "imbrel-module: %s\n", e.what());
      host::NoteJsonError(e.what());
      status = host::kExitUsage;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "imbrel-module: %s\n", e.what());
      host::NoteJsonError(e.what());
      status = host::kExitFailed;
    }
    return host::EndJsonReport(status);
  }
  try {
    if (*create) return host::RunCreate(create_args);
    if (*info) return host::RunInfo(info_dir, info_json);
    if (*erase) return host::RunErase(erase_args);
    if (*write) return host::RunWrite(write_args);
    if (*verify) return host::RunVerify(verify_args);
    if (*read) return host::RunRead(read_args);
    if (*dump) return host::RunDump(dump_args);
    if (*map) return host::RunMap(map_args);
    if (*fault) return host::RunFault(fault_args);
    if (*rehearse) return host::RunRehearse(rehearse_args);
  } catch (const host::UsageError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return host::kExitUsage;
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return host::kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "imbrel-module: %s\n", e.what());
    return host::kExitFailed;
  }
  return host::kExitUsage;
}
