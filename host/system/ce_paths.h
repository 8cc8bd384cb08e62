// CE paths and the module's file system: "\USB HD\IMAGES\nk.bin" is fs/USB HD/IMAGES/nk.bin
// of the open module, or IMAGES/nk.bin of a host folder shown as the USB stick. A path never
// leads out of fs/ (or out of that folder).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace host {

/// The host path of a CE path in the open module's fs/, or nullopt when there is no module,
/// the path has a "." or ".." component, or it (through a link) leads outside fs/.
std::optional<std::filesystem::path> CePathToHost(std::u16string_view ce_path);

/// True when `resolved`, a path without links, lies inside the open module's fs/ or the folder
/// shown as the USB stick.
bool InsideFs(const std::filesystem::path& resolved);

/// True when the file open as `fd` lies inside fs/: a link changed between the path checks
/// and the open cannot lead the open out of fs/.
bool OpenedInsideFs(int fd);

/// The module's fs/ directory.
std::filesystem::path ModuleFsRoot();

/// Shows the host folder `dir` (an absolute path without links) as "\USB HD" for this run, in
/// place of the module's fs/USB HD, which is hidden meanwhile; empty: the module's again.
void SetUsbFolder(const std::filesystem::path& dir);

}  // namespace host
