// The module's registry: the live registry (ram/registry.toml), a view of the copy kept in
// flash (registry.toml; the copy itself is the platform layer's, oal/registry_flash.h) and the
// default registry of module.toml ([registry]). Each is a TOML file
// in which every table is a key named by its backslash path under HKEY_LOCAL_MACHINE, an
// integer is a REG_DWORD and a string a REG_SZ:
//
//   ['Drivers\BuiltIn\StrataFMD']
//   MemBase = 0x01480000
//   Dll = 'fmd.dll'
//
// Tables inside a key's table are its subkeys. Key paths and value names ignore case.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "ce/registry.h"

namespace host {

struct RegistryValue {
  std::u16string name;
  DWORD type = REG_DWORD;  // REG_DWORD or REG_SZ
  DWORD number = 0;        // REG_DWORD
  std::u16string text;     // REG_SZ, without its terminator
};

struct RegistryKeyData {
  std::u16string path;  // "Drivers\BuiltIn\StrataFMD"
  std::vector<RegistryValue> values;
};

struct RegistryTree {
  std::vector<RegistryKeyData> keys;

  /// The key with exactly this path, or null.
  const RegistryKeyData* FindKey(std::u16string_view path) const;
  /// Whether the key exists: it has values or subkeys, or is the root ("").
  bool HasKey(std::u16string_view path) const;
  const RegistryValue* FindValue(std::u16string_view key, std::u16string_view name) const;
  /// Adds or replaces a value, making its key when needed.
  void SetValue(std::u16string_view key, const RegistryValue& value);
  bool empty() const { return keys.empty(); }
};

/// Reads a registry file. With `table`, the registry is that table of the file (module.toml's
/// "registry"). A missing file is an empty registry; a malformed one a ModuleError naming the
/// file.
RegistryTree LoadRegistryFile(const std::filesystem::path& file, const std::string& table = "");

/// The TOML text of `tree`: one table per key, named `prefix` + its quoted path
/// (prefix "registry." for module.toml).
std::string RegistryTomlTables(const RegistryTree& tree, const std::string& prefix = "");

/// The file names inside a module directory.
std::filesystem::path KeptRegistryFile(const std::filesystem::path& module_dir);
std::filesystem::path LiveRegistryFile(const std::filesystem::path& module_dir);

/// Writes `text` to `file` whole or not at all: a temporary beside it, renamed over it. A
/// ModuleError naming the file when it cannot.
void WriteFileWhole(const std::filesystem::path& file, const std::string& text);

/// Writes `tree` as the live registry file, whole or not at all.
void WriteRegistryFile(const std::filesystem::path& file, const RegistryTree& tree);
/// Writes registry.toml, the readable view of the copy in flash: `in_force` says which copy
/// (or none), `tree` what it holds.
void WriteRegistryView(const std::filesystem::path& module_dir, const RegistryTree& tree,
                       const std::string& in_force);
/// Whether `file` is such a view, rather than the registry file of a module made before the
/// registry lived in flash (or no file at all).
bool IsRegistryView(const std::filesystem::path& file);

/// The registry in a text of the registry files' form; a malformed one is a ModuleError
/// naming `name`.
RegistryTree ParseRegistryText(std::string_view text, const std::filesystem::path& name);

/// Where RegFlushKey writes the registry: the platform layer's keeping of it in flash, which
/// it installs (CE's WriteRegistryToOEM). ERROR_SUCCESS, or an error with `*problem` saying
/// what went wrong. With none installed a flush fails.
using RegistryWriter = long (*)(const RegistryTree& tree, std::string* problem);
void SetRegistryWriter(RegistryWriter writer);

/// What faults.toml's [registry] table makes fail: the Win32 error the call returns, 0 none.
struct RegistryFaults {
  LONG open = 0;
  LONG flush = 0;
};
void SetRegistryFaults(const RegistryFaults& faults);

}  // namespace host
