// The platform layer's configuration, image version and registry clear codes, answered from
// module.toml's [platform] table: configuration items 0 and 5 and the running image's version
// words. A configuration set of item 0 is written back into module.toml.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "ce/types.h"

namespace host {

constexpr DWORD kCodeImageVersion = 0x0101200C;  // output: {id, major, minor | build << 16}
constexpr DWORD kCodeRegistryClear = 0x01012010;
constexpr DWORD kCodeConfigGet = 0x01012028;  // input: ConfigRecord; output: the item's bytes
constexpr DWORD kCodeConfigSet = 0x0101202C;  // input: ConfigRecord holding the new bytes

/// The input of the configuration codes: three pointer-sized words (12 bytes on the module).
struct ConfigRecord {
  ULONG_PTR item;
  ULONG_PTR buffer;  // address of the caller's buffer
  ULONG_PTR size;    // its size in bytes
};

struct PlatformConfig {
  std::optional<std::array<std::uint32_t, 2>> item0;  // 8 bytes the platform keeps
  /// Word 0 the flash offset of the OS image, word 1 the registry area's start, word 2 half
  /// the registry area's length.
  std::optional<std::array<std::uint32_t, 6>> item5;
  std::optional<std::array<std::uint32_t, 3>> image_version;  // id, major, minor | build << 16
};

/// faults.toml's [platform]: codes that fail (return FALSE and change nothing).
struct PlatformFaults {
  bool registry_clear = false;
  bool config_set = false;
};

/// Installs the handlers for the module in `module_dir` (called by Module::Open).
void InstallPlatformCodes(const std::filesystem::path& module_dir, const PlatformConfig& config,
                          const PlatformFaults& faults);
/// The version record of the image the module's start booted (none: the image carries none,
/// and the image-version code answers module.toml's image_version).
void SetRunningImageVersion(const std::optional<std::array<std::uint32_t, 3>>& version);
/// Removes them and forgets the module (called as it closes): the codes are not answered.
void RemovePlatformCodes();

/// The words as module.toml writes them: "[0x00000001, 0x00000000]".
std::string PlatformWords(const std::uint32_t* words, std::size_t count);

/// Sets `key` of the [platform] table of the TOML file `file` to `value`, replacing the one
/// line (or lines, for an array spread over several) that holds it and keeping every other
/// line and the line's comment; adds the key, or the table, when missing. The file is
/// replaced whole or not at all. Throws ModuleError.
void SetPlatformLine(const std::filesystem::path& file, const std::string& key,
                     const std::string& value);

}  // namespace host
