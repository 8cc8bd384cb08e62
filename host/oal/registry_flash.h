// How the platform layer keeps the registry in flash: two halves of the registry area that
// configuration item 5 names, each holding at most one copy (a header with a sequence number
// and a CRC, then the registry as text). A save writes the half not holding the newest copy,
// so that a save cut short leaves the previous copy in force; a clear erases both halves. At a
// start the live registry is the newest valid copy, or the image's default registry.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "host/oal/platform_codes.h"
#include "host/system/registry.h"
#include "shell/version_report.h"

namespace host {

class FlashFile;
struct ModuleConfig;

struct RegistryArea {
  std::uint32_t start = 0;
  std::uint32_t half = 0;  // bytes of each half
};

/// Item 5's area; without item 5 the platform's own place for it (0x1400000, two halves of
/// 0x40000). None when it does not lie in a flash of `flash_size` bytes.
std::optional<RegistryArea> RegistryAreaOf(const PlatformConfig& platform,
                                           std::uint64_t flash_size);

struct RegistryCopy {
  int half = 0;
  std::uint32_t offset = 0;  // flash offset of its header
  std::uint32_t sequence = 0;
  std::uint32_t bytes = 0;  // of the registry text
  RegistryTree tree;
};

/// The sound copy in each half, read through `read`.
std::array<std::optional<RegistryCopy>, 2> RegistryCopies(FlashReadFn read, void* context,
                                                          const RegistryArea& area);
/// The newest copy in the area whose header, CRC and text are sound, read through `read`.
std::optional<RegistryCopy> NewestRegistryCopy(FlashReadFn read, void* context,
                                               const RegistryArea& area);

/// What NewestRegistryCopy found in `area`, for the next StartLiveRegistryFromFlash of this
/// process to take instead of reading the area again (then forgotten): for a run forked from
/// a process that read the area once, whose flash holds the same bytes there.
void KnowRegistryCopy(const RegistryArea& area, std::optional<RegistryCopy> copy);

/// "copy 4 in half 1 (at 0x01440000), 2 keys, 4 values", or what a start uses without one.
std::string DescribeRegistryCopy(const std::optional<RegistryCopy>& copy);

/// The registry save of the open module: `tree` into the half not holding the newest copy,
/// through the program's flash driver while holding "OnModuleFlash". ERROR_SUCCESS, or an
/// error with `*problem` saying what went wrong; the previous copy then stays in force.
long SaveRegistryToFlash(const RegistryTree& tree, std::string* problem);
/// The registry clear of the open module: both halves erased. False with `*problem` set.
bool ClearRegistryInFlash(std::string* problem);

/// The start's live registry (ram/registry.toml), when ram/ has none: the newest copy in
/// `flash`, else the registry.toml of a module made before the registry lived in flash (once:
/// it is then kept as registry.toml.old), else the image's default. Rewrites registry.toml
/// as a view of the flash. Throws ModuleError for a file that cannot be read or written.
void StartLiveRegistryFromFlash(const std::filesystem::path& dir, const ModuleConfig& config,
                                const FlashFile& flash);

}  // namespace host
