// The registry calls over the module's registry files, and the files themselves.

#include "host/system/registry.h"
#include "host/system/registry_toml.h"

#include <sys/stat.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "ce/kernel.h"
#include "host/module/module.h"
#include "host/system/failed_calls.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr LONG kErrorBadPathname = 161;  // ERROR_BAD_PATHNAME
constexpr LONG kErrorBadDb = 1009;       // ERROR_BADDB: the registry file is unreadable

[[noreturn]] void Fail(const fs::path& file, const std::string& problem) {
  throw ModuleError(file.string() + ": " + problem);
}

char16_t Fold(char16_t c) {
  // ASCII and Latin-1 letters; the names the registry holds are English.
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// Whether `path` is `ancestor` or lies below it.
bool IsUnder(std::u16string_view path, std::u16string_view ancestor) {
  if (ancestor.empty()) return true;
  if (path.size() < ancestor.size()) return false;
  if (!SameName(path.substr(0, ancestor.size()), ancestor)) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == u'\\';
}

bool BareKey(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '-')) {
      return false;
    }
  }
  return true;
}

// A TOML string: a literal string ('…', no escapes: readable for backslash paths) when it
// can be one, else a basic string with escapes.
std::string Quote(std::string_view text) {
  bool literal = true;
  for (unsigned char c : text) {
    if (c == '\'' || c < 0x20 || c == 0x7F) literal = false;
  }
  if (literal) return "'" + std::string(text) + "'";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string KeyName(std::string_view name) {
  return BareKey(name) ? std::string(name) : Quote(name);
}

class RegistryParser {
 public:
  RegistryParser(const fs::path& file, RegistryTree& tree) : file_(file), tree_(tree) {}

  void Key(const std::u16string& path, const toml::table& table) {
    if (!path.empty()) MakeKey(path);
    for (auto&& [name_node, node] : table) {
      std::string name(name_node.str());
      std::u16string name16 = Utf16(name);
      if (const toml::table* sub = node.as_table()) {
        CheckPath(name);
        Key(path.empty() ? name16 : path + u"\\" + name16, *sub);
        continue;
      }
      std::string where = "registry value '" + Utf8(path) + "\\" + name + "'";
      if (path.empty()) {
        Fail(file_, where + " is outside a key: put it in a ['Key\\Path'] table");
      }
      RegistryValue value;
      value.name = name16;
      // The type is checked before the value is taken: toml++ would convert a float itself.
      if (const toml::value<std::int64_t>* number = node.as_integer()) {
        if (number->get() < 0 || number->get() > 0xFFFFFFFF) {
          Fail(file_, where + " is outside 0..0xFFFFFFFF (a REG_DWORD)");
        }
        value.type = REG_DWORD;
        value.number = static_cast<DWORD>(number->get());
      } else if (const toml::value<std::string>* text = node.as_string()) {
        value.type = REG_SZ;
        value.text = Utf16(text->get());
      } else {
        Fail(file_, where + " must be an integer (REG_DWORD) or a string (REG_SZ)");
      }
      RegistryKeyData& key = MakeKey(path);
      for (const RegistryValue& v : key.values) {
        if (SameName(v.name, value.name)) {
          Fail(file_, where + " is given twice (names ignore case)");
        }
      }
      key.values.push_back(value);
    }
  }

  void CheckPath(const std::string& name) {
    if (name.empty() || name.front() == '\\' || name.back() == '\\' ||
        name.find("\\\\") != std::string::npos) {
      Fail(file_, "registry key '" + name + "' has an empty part");
    }
  }

 private:
  RegistryKeyData& MakeKey(const std::u16string& path) {
    for (RegistryKeyData& key : tree_.keys) {
      if (SameName(key.path, path)) return key;
    }
    tree_.keys.push_back({path, {}});
    return tree_.keys.back();
  }

  const fs::path& file_;
  RegistryTree& tree_;
};

class RegistryKeyObject : public KernelObject {
 public:
  explicit RegistryKeyObject(std::u16string path) : path(std::move(path)) {}
  DWORD Wait(DWORD) override {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const std::u16string path;
};

std::mutex registry_mutex;
RegistryFaults faults;
RegistryWriter writer = nullptr;

// The live registry of the open module, read afresh at each call: another process of the
// module may have flushed or started meanwhile, and the file is small. Null with `*error`
// set when there is none or its file is unreadable.
std::shared_ptr<const RegistryTree> LiveRegistry(LONG* error) {
  Module* module = CurrentModule();
  if (!module) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  fs::path file = LiveRegistryFile(module->dir());
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    *error = kErrorBadDb;
    return nullptr;
  }
  try {
    return std::make_shared<const RegistryTree>(LoadRegistryFile(file));
  } catch (const ModuleError& e) {
    std::fprintf(stderr, "imbrel: %s\n", e.what());
    *error = kErrorBadDb;
    return nullptr;
  }
}

// The path of an open key: "" for HKEY_LOCAL_MACHINE. False for any other handle.
bool KeyPath(HKEY key, std::u16string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  auto object = std::dynamic_pointer_cast<RegistryKeyObject>(LookupHandle(key));
  if (!object) return false;
  *path = object->path;
  return true;
}

}  // namespace

const RegistryKeyData* RegistryTree::FindKey(std::u16string_view path) const {
  for (const RegistryKeyData& key : keys) {
    if (SameName(key.path, path)) return &key;
  }
  return nullptr;
}

bool RegistryTree::HasKey(std::u16string_view path) const {
  for (const RegistryKeyData& key : keys) {
    if (IsUnder(key.path, path)) return true;
  }
  return path.empty();
}

const RegistryValue* RegistryTree::FindValue(std::u16string_view key,
                                             std::u16string_view name) const {
  const RegistryKeyData* data = FindKey(key);
  if (!data) return nullptr;
  for (const RegistryValue& value : data->values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

void RegistryTree::SetValue(std::u16string_view key, const RegistryValue& value) {
  RegistryKeyData* data = const_cast<RegistryKeyData*>(FindKey(key));
  if (!data) {
    keys.push_back({std::u16string(key), {}});
    data = &keys.back();
  }
  for (RegistryValue& v : data->values) {
    if (SameName(v.name, value.name)) {
      v = value;
      return;
    }
  }
  data->values.push_back(value);
}

RegistryTree LoadRegistryFile(const fs::path& file, const std::string& table) {
  std::error_code ec;
  if (!fs::exists(file, ec)) return RegistryTree{};
  toml::table root;
  try {
    root = toml::parse_file(file.string());
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << "line " << e.source().begin.line << ": " << e.description();
    Fail(file, where.str());
  }
  return RegistryFromToml(file, root, table);
}

RegistryTree RegistryFromToml(const fs::path& file, const toml::table& root,
                              const std::string& table) {
  RegistryTree tree;
  RegistryParser parser(file, tree);
  const toml::table* top = &root;
  if (!table.empty()) {
    const toml::node* node = root.get(table);
    if (!node) return tree;
    top = node->as_table();
    if (!top) Fail(file, table + " must be a table of registry keys");
  }
  for (auto&& [name, node] : *top) {
    const toml::table* key = node.as_table();
    if (!key) {
      Fail(file, "registry value '" + std::string(name.str()) +
                     "' is outside a key: put it in a ['Key\\Path'] table");
    }
    parser.CheckPath(std::string(name.str()));
    parser.Key(Utf16(name.str()), *key);
  }
  return tree;
}

std::string RegistryTomlTables(const RegistryTree& tree, const std::string& prefix) {
  std::string out;
  for (const RegistryKeyData& key : tree.keys) {
    out += "\n[" + prefix + Quote(Utf8(key.path)) + "]\n";
    for (const RegistryValue& value : key.values) {
      out += KeyName(Utf8(value.name)) + " = ";
      if (value.type == REG_DWORD) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(value.number));
        out += buf;
      } else {
        out += Quote(Utf8(value.text));
      }
      out += "\n";
    }
  }
  return out;
}

fs::path KeptRegistryFile(const fs::path& module_dir) { return module_dir / "registry.toml"; }
fs::path LiveRegistryFile(const fs::path& module_dir) {
  return module_dir / "ram" / "registry.toml";
}

namespace {

constexpr char kViewHeader[] = "# A view of the registry kept in flash";

}  // namespace

void WriteFileWhole(const fs::path& file, const std::string& text) {
  std::string pattern = (file.parent_path() / ".imbrel-XXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) Fail(file, std::string("cannot write: ") + std::strerror(errno));
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fchmod(fd, 0644) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok || std::rename(pattern.c_str(), file.c_str()) != 0) {
    std::remove(pattern.c_str());
    Fail(file, "cannot write");
  }
}

void WriteRegistryFile(const fs::path& file, const RegistryTree& tree) {
  WriteFileWhole(
      file,
      "# The live registry: made at the module's start from the newest copy kept in flash,\n"
      "# or from module.toml's [registry] when there is none. Lost at a restart.\n" +
          RegistryTomlTables(tree));
}

void WriteRegistryView(const fs::path& module_dir, const RegistryTree& tree,
                       const std::string& in_force) {
  WriteFileWhole(KeptRegistryFile(module_dir),
                 std::string(kViewHeader) +
                     " (item 5's registry area), written at each start, save\n"
                     "# and clear. The flash is the truth: editing this file changes nothing.\n"
                     "# In force: " +
                     in_force + "\n" + RegistryTomlTables(tree));
}

bool IsRegistryView(const fs::path& file) {
  std::ifstream in(file);
  std::string first;
  if (!in || !std::getline(in, first)) return false;
  return first.starts_with(kViewHeader);
}

RegistryTree ParseRegistryText(std::string_view text, const fs::path& name) {
  toml::table root;
  try {
    root = toml::parse(text, name.string());
  } catch (const toml::parse_error& e) {
    std::ostringstream where;
    where << "line " << e.source().begin.line << ": " << e.description();
    Fail(name, where.str());
  }
  return RegistryFromToml(name, root);
}

void SetRegistryWriter(RegistryWriter new_writer) {
  std::lock_guard lock(registry_mutex);
  writer = new_writer;
}

void SetRegistryFaults(const RegistryFaults& new_faults) {
  std::lock_guard lock(registry_mutex);
  faults = new_faults;
}

}  // namespace host

LONG RegOpenKeyExW(HKEY root, LPCWSTR subkey, DWORD, REGSAM, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  {
    std::lock_guard lock(host::registry_mutex);
    if (host::faults.open) return host::faults.open;
  }
  std::u16string path;
  if (!host::KeyPath(root, &path)) return ERROR_INVALID_HANDLE;
  std::u16string_view rest = subkey ? std::u16string_view(subkey) : std::u16string_view();
  if (!rest.empty() && rest.front() == u'\\') return host::kErrorBadPathname;
  // Empty parts (a trailing backslash) name nothing.
  for (std::size_t start = 0; start < rest.size();) {
    std::size_t end = rest.find(u'\\', start);
    if (end == std::u16string_view::npos) end = rest.size();
    if (end > start) {
      if (!path.empty()) path += u'\\';
      path += rest.substr(start, end - start);
    }
    start = end + 1;
  }
  LONG error = ERROR_SUCCESS;
  auto tree = host::LiveRegistry(&error);
  if (!tree) return error;
  if (!tree->HasKey(path)) return ERROR_FILE_NOT_FOUND;
  *result = static_cast<HKEY>(host::AddHandle(std::make_shared<host::RegistryKeyObject>(path)));
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
  std::u16string path;
  if (!host::KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  LONG error = ERROR_SUCCESS;
  auto tree = host::LiveRegistry(&error);
  if (!tree) return error;
  const host::RegistryValue* value = tree->FindValue(path, name ? name : u"");
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  std::vector<BYTE> bytes;
  if (value->type == REG_DWORD) {
    bytes.resize(sizeof(DWORD));
    std::memcpy(bytes.data(), &value->number, sizeof(DWORD));
  } else {
    bytes.resize((value->text.size() + 1) * sizeof(char16_t));
    std::memcpy(bytes.data(), value->text.c_str(), bytes.size());
  }
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (!size) return ERROR_SUCCESS;
  if (data && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (!std::dynamic_pointer_cast<host::RegistryKeyObject>(host::LookupHandle(key))) {
    return ERROR_INVALID_HANDLE;
  }
  CloseHandle(key);
  return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
  LONG result = [key]() -> LONG {
    std::u16string path;
    if (!host::KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
    {
      std::lock_guard lock(host::registry_mutex);
      if (host::faults.flush) return host::faults.flush;
    }
    LONG error = ERROR_SUCCESS;
    auto tree = host::LiveRegistry(&error);
    if (!tree) return error;
    try {
      host::RegistryWriter write = nullptr;
      {
        std::lock_guard lock(host::registry_mutex);
        write = host::writer;
      }
      if (!write) return ERROR_NOT_SUPPORTED;
      std::string problem;
      LONG saved = write(*tree, &problem);
      if (saved != ERROR_SUCCESS) std::fprintf(stderr, "imbrel: %s\n", problem.c_str());
      return saved;
    } catch (const host::ModuleError& e) {
      std::fprintf(stderr, "imbrel: %s\n", e.what());
      return ERROR_ACCESS_DENIED;
    }
  }();
  if (result != ERROR_SUCCESS) {
    host::NoteFailedCall("the registry save (RegFlushKey) failed with error " +
                         std::to_string(result));
  }
  return result;
}
