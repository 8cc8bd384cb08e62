#include "host/tool_support.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/main_dialog.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace host {

std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max) {
  if (text.empty()) return std::nullopt;
  // A size suffix, as mtd-utils take it: K, M or G, 1024-based. None of them is a hex digit.
  std::uint64_t unit = 1;
  std::string digits = text;
  switch (digits.back()) {
    case 'K':
    case 'k':
      unit = 1ull << 10;
      break;
    case 'M':
    case 'm':
      unit = 1ull << 20;
      break;
    case 'G':
    case 'g':
      unit = 1ull << 30;
      break;
  }
  if (unit != 1) digits.pop_back();
  if (digits.empty()) return std::nullopt;
  int base = 10;
  std::size_t start = 0;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    start = 2;
  }
  const std::uint64_t limit = max / unit;  // the largest count of units that fits
  std::uint64_t value = 0;
  for (std::size_t i = start; i < digits.size(); ++i) {
    char c = digits[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    // digit > limit first: limit - digit would wrap round.
    if (static_cast<std::uint64_t>(digit) > limit || value > (limit - digit) / base)
      return std::nullopt;
    value = value * base + digit;
  }
  return value * unit;
}

std::uint64_t Number(const std::string& what, const std::string& text, std::uint64_t max) {
  auto value = ParseNumber(text, max);
  if (!value) {
    throw UsageError(what + " '" + text + "' is not a number from 0 to " + HexLower(max) +
                     " (decimal or 0x-hex, with K, M or G for KiB, MiB or GiB)");
  }
  return *value;
}

std::optional<int> ParseToolArguments(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well (0); a bad option or value is a host problem (2).
    return app.exit(e) == 0 ? 0 : 2;
  }
  return std::nullopt;
}

std::filesystem::path DefaultModuleDir() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    return std::filesystem::path(xdg) / "imbrel" / "module";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".local" / "share" / "imbrel" /
         "module";
}

FlashSession::FlashSession(const std::filesystem::path& dir) : module_(Module::Open(dir)) {
  mutex_ = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
  // Without the flash mutex a running imbrel could write the flash at the same time.
  if (!mutex_) throw ModuleError((dir / "ram").string() + ": cannot open the flash mutex");
  if (WaitForSingleObject(mutex_, INFINITE) != WAIT_OBJECT_0) {
    CloseHandle(mutex_);
    throw ModuleError((dir / "ram").string() + ": cannot take the flash mutex");
  }
  driver_ = SelectFlashDriver();
}

FlashSession::~FlashSession() {
  if (mutex_) {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
}

std::string FormatDuration(std::uint64_t ns) {
  char buf[64];
  if (ns >= kNsPerSecond) {
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ns) / kNsPerSecond);
  } else if (ns >= kNsPerMs) {
    std::snprintf(buf, sizeof buf, "%.1f ms", static_cast<double>(ns) / kNsPerMs);
  } else {
    std::snprintf(buf, sizeof buf, "%llu us", static_cast<unsigned long long>(ns / kNsPerUs));
  }
  return buf;
}

std::string VersionText(const std::string& tool_and_version) {
  return tool_and_version + " (the host tools), for the program Imbrel " +
         std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
}

std::string RunQuietUpdate(const char16_t* ce_path) {
  ui::ScriptBackend& backend = ui::UseScriptBackend();
  backend.SetIdleLimit(std::chrono::milliseconds(600000));
  InitCommonControls();
  AbortFlag = 0;
  QuietFlag = 1;
  std::memcpy(ImagePath, ce_path,
              (std::char_traits<char16_t>::length(ce_path) + 1) * sizeof(char16_t));
  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  for (const ui::UiEvent& e : backend.Events(ui::UiEvent::Kind::kMessageBox)) {
    return Utf8(e.text);
  }
  return "";
}

}  // namespace host
