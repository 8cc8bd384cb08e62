// The registry loader's second half, for loaders that hold the parsed document already
// (module.toml's [registry]). Kept out of registry.h: only the loaders need toml++.
#pragma once

#include <toml++/toml.h>

#include <filesystem>
#include <string>

#include "host/system/registry.h"

namespace host {

/// The registry in `root`, or in its table `table` (none there: an empty registry); a
/// malformed one is a ModuleError naming `file`, the document's file.
RegistryTree RegistryFromToml(const std::filesystem::path& file, const toml::table& root,
                              const std::string& table = "");

}  // namespace host
