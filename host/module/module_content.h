// What the factory puts on a new module besides its chips: a bootloader, a configuration
// block and an operating-system image programmed into the flash, the platform's
// configuration items and image version, "\windows\default.fdf" and the default registry.
// The flash formats (32-bit little-endian words):
//
// - A Windows CE boot image at offset O: at O+0x40 the signature 0x43454345, at O+0x44 the
//   address at which the image sees its ROM header (its first address + R), at O+0x48 R; at
//   O+R the 84-byte ROM header (bytes 8-11 the first address, 12-15 the last, so that the
//   size is last - first + 4), at O+R+84 the first 32-byte module entry (bytes 4-11 the
//   module's build time, a FILETIME).
// - The bootloader's version: a record {0x01234567, id, major, minor | beta build << 16,
//   0x89ABCDEF} at a 4-aligned offset in the first 256 KB, or a banner text
//   "Microsoft Windows CE Ethernet Bootloader 1.4 for Kelvane Ostrala Built Mar 7 2009"
//   between 0x8000 and 0x28000.
// - The configuration block: 0xCF014000, then words that are not 0xFFFFFFFF, then
//   0xFFFFFFFF; at 0x40000, or at its old place 0x88000.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shell/version_report.h"
#include "update/flash_regions.h"

namespace host {

struct CreateOptions;
struct ModuleConfig;

// A boot image's signature and the version record's words: the program's own.
constexpr std::uint32_t kBootImageSignature = RomSignature;
constexpr std::uint32_t kVersionRecordStart = VersionRecordStart;
constexpr std::uint32_t kVersionRecordEnd = VersionRecordEnd;
// Where the program looks for the configuration block, and its marker: the program's own.
constexpr std::uint32_t kConfigBlockMarker = ConfigBlockMagic;
constexpr std::uint32_t kConfigBlockPlace = ::kConfigBlockPlace;
constexpr std::uint32_t kConfigBlockOldPlace = ::kConfigBlockOldPlace;
/// A configuration item kept in the configuration block: this word, the item's number, its
/// length in bytes, then its words ("ITEM").
constexpr std::uint32_t kConfigItemTag = 0x4D455449;
constexpr std::uint32_t kImagePlace = 0x80000;
/// Where the image starts on modules whose configuration block is at its old place.
constexpr std::uint32_t kImageOldPlace = 0xC8000;
/// Where the banner text starts in the flash.
constexpr std::uint32_t kBannerOffset = 0xD5A4;
/// Where the version record starts inside the bootloader.
constexpr std::uint32_t kVersionRecordOffset = 0x2C48;
constexpr char kBannerPrefix[] = "Microsoft Windows CE Ethernet Bootloader ";
constexpr char kFmdKey[] = "Drivers\\BuiltIn\\StrataFMD";

struct BootloaderOptions {
  /// A banner text instead of a version record.
  bool banner = false;
  std::uint32_t major = 1;
  std::uint32_t minor = 3;
  std::uint32_t beta_build = 0;      // 0: a release
  std::string built = "Mar 7 2009";  // the banner's date: month name, day, year
  std::uint64_t time = 0;   // FILETIME of the module entry; 0: the default (the banner's date)
  std::uint32_t place = 0;  // flash offset: 0, or 0x8000
  std::uint32_t size = 0x20000;
};

struct ImageOptions {
  std::optional<std::uint32_t> place;  // default: item 5's word 0, else 0x80000 (0xC8000
                                       // with the configuration block at its old place)
  std::optional<std::uint32_t> size;   // default: 1 MB, less when the flash is small
  std::uint64_t time = 0;              // FILETIME of the module entry; 0: the default
};

/// Fills `config`'s platform items and default registry from `options`, and writes the
/// content into the module being made in `staging` (its nor.img, already erased, and fs/)
/// before it moves to `dir`. Throws ModuleError naming `dir` when a part does not fit in the
/// flash or overlaps another.
void MakeFactoryContent(const std::filesystem::path& staging, const std::filesystem::path& dir,
                        const CreateOptions& options, ModuleConfig& config);

/// What a module made from a flash dump gets beside its flash, as `MakeFactoryContent` gives
/// it: the running image's version, the default registry (its flash driver's key, placed with
/// item 5 over `usable` bytes), default.fdf and the sample images. Fills `config`.
void MakeFileContent(const std::filesystem::path& staging, const std::filesystem::path& dir,
                     const CreateOptions& options, std::uint32_t usable, ModuleConfig& config);

/// The configuration items kept in a configuration block (`bytes` from its start): item 0 and
/// item 5 when a record of the right length holds them.
struct ConfigItems {
  std::optional<std::array<std::uint32_t, 2>> item0;
  std::optional<std::array<std::uint32_t, 6>> item5;
};
ConfigItems ConfigItemsIn(const std::vector<std::uint8_t>& bytes);

/// Gives "\windows\default.fdf" of the module in `module_dir` (made when missing) the
/// creation time `time` (FILETIME ticks), which its mtime keeps.
void SetDefaultFdfTime(const std::filesystem::path& module_dir, std::uint64_t time);

/// Rows for `imbrel-module info`: what the flash holds (read from nor.img), the platform
/// items, default.fdf and the registries.
std::string DescribeContent(const std::filesystem::path& dir, const ModuleConfig& config);

}  // namespace host
