// A start of the module, as its bootloader makes it: the boot image at the bootloader's place,
// then the OS image where item 5 places it. The image found there is the running image: the
// platform layer answers its version, "\windows\default.fdf" carries its build time, and the
// live registry comes from the copy kept in flash. ram/boot.toml says what this boot runs; a
// warm restart keeps it, a cold one (or a power cut) loses it and the next run starts again.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace host {

class FlashFile;
class Module;
struct ModuleConfig;

struct FoundBootImage {
  std::uint32_t place = 0;
  std::uint32_t size = 0;
  std::optional<std::uint32_t> rom_offset;  // where its ROM header is; none: a "COMP" image
  std::optional<std::uint64_t> built;       // FILETIME ticks of its first module entry
  std::optional<std::array<std::uint32_t, 3>> version;  // its version record
};

struct BootVerdict {
  std::optional<FoundBootImage> bootloader;
  std::optional<FoundBootImage> os;
  std::string problem;  // why the module does not start; empty when it does
  bool Starts() const { return problem.empty(); }
};

/// Where the bootloader looks for the OS image: item 5's word 0, else 0x80000.
std::uint32_t OsImagePlace(const ModuleConfig& config);

/// The boot image at `place`, recognised as the version report recognises one, and taken only
/// when its records lie in the flash; otherwise `*problem` says what is there instead.
std::optional<FoundBootImage> FindBootImage(const FlashFile& flash, std::uint32_t place,
                                            std::string* problem);

/// What a start would run on the flash as it stands.
BootVerdict ExamineBoot(const FlashFile& flash, const ModuleConfig& config);

/// The running image that ram/boot.toml records, when this boot has started.
std::optional<FoundBootImage> RunningImage(const std::filesystem::path& dir);

/// "the OS image at 0x80000 (0x100000 bytes, version 5.4, built 2010-05-17 13:45:30)".
std::string DescribeBootImage(const FoundBootImage& image, const ModuleConfig& config);

/// Starts `module` unless this boot already has: boots what its flash holds, then makes the
/// live registry. Returns why the module does not start, or nothing when it runs. Throws
/// ModuleError for module files that cannot be read or written.
std::optional<std::string> StartModule(Module& module);

}  // namespace host
