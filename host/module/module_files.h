// What the code of the module directory shares between its files: number texts, the error
// of a file, the CFI size range, the boot image's layout. Internal to host/module.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
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

/// module.toml's name of the operation times: "typical", "maximum" or "varied".
const char* TimeModeName(NorTimeMode mode);

/// The text of module.toml for `config`, each key with a comment that says what it is.
std::string ModuleToml(const ModuleConfig& config);

}  // namespace host
