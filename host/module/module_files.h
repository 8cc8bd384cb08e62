// What the code of the module directory shares between its files: number texts, the error
// of a file, the CFI size range, the boot image's layout. Internal to host/module.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "host/hex.h"
#include "host/module/module.h"

namespace host {

constexpr std::uint8_t kMinCfiSize = 0x12;
constexpr std::uint8_t kMaxCfiSize = 0x1A;

// A boot image (module_content.h): its signature words at this offset, then its ROM header
// and its first module entry.
constexpr std::uint32_t kSignatureOffset = RomSignatureOffset;
constexpr std::uint32_t kRomHeaderBytes = RomHeaderBytes;
constexpr std::uint32_t kModuleEntryBytes = ModuleEntryBytes;

[[noreturn]] inline void Fail(const std::filesystem::path& file, const std::string& problem) {
  throw ModuleError(file.string() + ": " + problem);
}

/// What module.toml says of a module made with `options`, before its content; throws
/// ModuleError naming `dir` for options no module can have.
ModuleConfig NewModuleConfig(const std::filesystem::path& dir, const CreateOptions& options);

/// Makes the module directory `dir` (new or empty): `fill` puts the flash image and the
/// content into the staging directory it is given and returns what module.toml says; then
/// the rest of the files are written and the whole moves to `dir`. Nothing is left behind
/// when it fails.
void MakeModuleDirectory(const std::filesystem::path& dir, FlashKind flash,
                         const std::function<ModuleConfig(const std::filesystem::path&)>& fill);

/// module.toml's name of the operation times: "typical", "maximum" or "varied".
const char* TimeModeName(NorTimeMode mode);

/// The text of module.toml for `config`, each key with a comment that says what it is.
std::string ModuleToml(const ModuleConfig& config);

}  // namespace host
