#include "host/oal/platform_codes.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "ce/kernel.h"
#include "host/module/module.h"
#include "host/oal/platform_layer.h"
#include "host/oal/registry_flash.h"
#include "host/system/failed_calls.h"
#include "host/system/registry.h"

namespace fs = std::filesystem;

namespace host {

namespace {

constexpr std::size_t kItem0Bytes = 8;
constexpr std::size_t kItem5Bytes = 24;

struct PlatformState {
  fs::path dir;
  PlatformConfig config;
  PlatformFaults faults;
  /// The version record of the image the module's start booted, when it carries one.
  std::optional<std::array<std::uint32_t, 3>> running_version;
};

std::mutex state_mutex;
PlatformState state;

// The state of the module these handlers were installed for, if it is still the open one.
bool OpenState(PlatformState* out) {
  Module* module = CurrentModule();
  std::lock_guard lock(state_mutex);
  if (!module || module->dir() != state.dir) return false;
  *out = state;
  return true;
}

bool ReadRecord(LPVOID in, DWORD in_size, ConfigRecord* record) {
  if (!in || in_size < sizeof(ConfigRecord)) return false;
  std::memcpy(record, in, sizeof *record);
  return true;
}

BOOL ConfigGet(LPVOID in, DWORD in_size, LPVOID out, DWORD out_size, LPDWORD returned) {
  ConfigRecord record;
  PlatformState s;
  if (!ReadRecord(in, in_size, &record) || !OpenState(&s)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::uint8_t> bytes;
  if (record.item == 0 && s.config.item0) {
    bytes.resize(kItem0Bytes);
    std::memcpy(bytes.data(), s.config.item0->data(), kItem0Bytes);
  } else if (record.item == 5 && s.config.item5) {
    bytes.resize(kItem5Bytes);
    std::memcpy(bytes.data(), s.config.item5->data(), kItem5Bytes);
  } else {
    // An item this module does not have is not answered.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // The record names the buffer; the output arguments are the same buffer.
  void* destination = record.buffer ? reinterpret_cast<void*>(record.buffer) : out;
  std::size_t capacity = record.buffer ? record.size : out_size;
  if (!destination || capacity < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(destination, bytes.data(), bytes.size());
  if (returned) *returned = static_cast<DWORD>(bytes.size());
  return TRUE;
}

BOOL ConfigSet(LPVOID in, DWORD in_size, LPVOID, DWORD, LPDWORD) {
  ConfigRecord record;
  PlatformState s;
  if (!ReadRecord(in, in_size, &record) || !OpenState(&s) || record.item != 0 ||
      record.size != kItem0Bytes || !record.buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (s.faults.config_set) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  std::array<std::uint32_t, 2> words;
  std::memcpy(words.data(), reinterpret_cast<const void*>(record.buffer), kItem0Bytes);
  try {
    SetPlatformLine(s.dir / "module.toml", "item0", PlatformWords(words.data(), words.size()));
  } catch (const ModuleError& e) {
    std::fprintf(stderr, "imbrel: %s\n", e.what());
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  std::lock_guard lock(state_mutex);
  if (state.dir == s.dir) state.config.item0 = words;
  return TRUE;
}

BOOL ImageVersion(LPVOID, DWORD, LPVOID out, DWORD, LPDWORD returned) {
  PlatformState s;
  if (!out || !OpenState(&s)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The running image's own version record, else the version the module was made with.
  const auto& version = s.running_version ? s.running_version : s.config.image_version;
  if (!version) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // The caller's output size is not looked at: the platform writes its three words.
  std::memcpy(out, version->data(), 12);
  if (returned) *returned = 12;
  return TRUE;
}

BOOL RegistryClear(LPVOID, DWORD, LPVOID, DWORD, LPDWORD) {
  PlatformState s;
  if (!OpenState(&s)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (s.faults.registry_clear) {
    NoteFailedCall("the registry clear failed (faults.toml)");
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  std::string problem;
  bool cleared = false;
  try {
    cleared = ClearRegistryInFlash(&problem);
  } catch (const ModuleError& e) {
    problem = e.what();
  }
  if (!cleared) {
    std::fprintf(stderr, "imbrel: %s\n", problem.c_str());
    NoteFailedCall("the registry clear failed");
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return TRUE;
}

std::string Trim(const std::string& text) {
  std::size_t a = text.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  std::size_t b = text.find_last_not_of(" \t\r");
  return text.substr(a, b - a + 1);
}

// The table a header line opens ("platform" for "[platform]  # …"), or "" for another line.
std::string HeaderName(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() < 2 || t[0] != '[') return "";
  std::size_t close = t.find(']');
  if (close == std::string::npos) return "";
  return Trim(t.substr(t[1] == '[' ? 2 : 1, close - (t[1] == '[' ? 2 : 1)));
}

bool IsKeyLine(const std::string& line, const std::string& key) {
  std::string t = Trim(line);
  if (t.compare(0, key.size(), key) != 0) return false;
  std::string rest = Trim(t.substr(key.size()));
  return !rest.empty() && rest[0] == '=';
}

}  // namespace

std::string PlatformWords(const std::uint32_t* words, std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(words[i]));
    out += (i ? ", " : "") + std::string(buf);
  }
  return out + "]";
}

void SetPlatformLine(const fs::path& file, const std::string& key, const std::string& value) {
  std::ifstream in(file);
  if (!in) throw ModuleError(file.string() + ": cannot read");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  in.close();

  std::string table;
  std::size_t header = lines.size();
  bool done = false;
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name = HeaderName(lines[i]);
    if (!name.empty()) {
      table = name;
      if (table == "platform") header = i;
      continue;
    }
    if (table != "platform" || !IsKeyLine(lines[i], key)) continue;
    // The value may be an array spread over several lines: it ends at its closing bracket.
    std::size_t last = i;
    std::size_t equals = lines[i].find('=');
    std::string first = Trim(lines[i].substr(equals + 1));
    std::string comment;
    if (!first.empty() && first[0] == '[') {
      std::size_t close = lines[i].find(']', equals);
      while (close == std::string::npos && last + 1 < lines.size()) {
        close = lines[++last].find(']');
      }
      if (close != std::string::npos) comment = lines[last].substr(close + 1);
    } else if (std::size_t hash = lines[i].find('#', equals); hash != std::string::npos) {
      comment = "  " + lines[i].substr(hash);
    }
    std::string indent = lines[i].substr(0, lines[i].find_first_not_of(" \t"));
    lines[i] = indent + key + " = " + value + comment;
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                lines.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    done = true;
  }
  if (!done) {
    if (header < lines.size()) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(header) + 1, key + " = " + value);
    } else {
      lines.push_back("");
      lines.push_back("[platform]");
      lines.push_back(key + " = " + value);
    }
  }

  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  WriteFileWhole(file, text);
}

void InstallPlatformCodes(const fs::path& module_dir, const PlatformConfig& config,
                          const PlatformFaults& faults) {
  {
    std::lock_guard lock(state_mutex);
    state = {module_dir, config, faults, std::nullopt};
  }
  SetControlCodeHandler(kCodeConfigGet, ConfigGet);
  SetControlCodeHandler(kCodeConfigSet, ConfigSet);
  SetControlCodeHandler(kCodeImageVersion, ImageVersion);
  SetControlCodeHandler(kCodeRegistryClear, RegistryClear);
  SetRegistryWriter(SaveRegistryToFlash);
}

void SetRunningImageVersion(const std::optional<std::array<std::uint32_t, 3>>& version) {
  std::lock_guard lock(state_mutex);
  state.running_version = version;
}

void RemovePlatformCodes() {
  {
    std::lock_guard lock(state_mutex);
    state = {};
  }
  SetRegistryWriter(nullptr);
  for (DWORD code : {kCodeConfigGet, kCodeConfigSet, kCodeImageVersion, kCodeRegistryClear}) {
    SetControlCodeHandler(code, nullptr);
  }
}

}  // namespace host
