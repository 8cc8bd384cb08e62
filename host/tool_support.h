// What the host tools share: numbers from the command line, the default module, and a session
// with the program's flash driver on an open module.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "ce/types.h"
#include "host/hex.h"
#include "host/module/module.h"

namespace CLI {
class App;
}

namespace host {

/// Parses a decimal or 0x-hexadecimal number, with an optional K, M or G (1024-based), no
/// larger than `max`; nullopt otherwise.
std::optional<std::uint64_t> ParseNumber(const std::string& text, std::uint64_t max);

/// A bad command line or input file: the tools print it as one line and exit 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// ParseNumber, or a UsageError naming `what` and the accepted range.
std::uint64_t Number(const std::string& what, const std::string& text, std::uint64_t max);

/// Parses a tool's arguments. Returns the exit status when the tool must end now: 0 after
/// --help, 2 (with CLI11's message) for a bad command line; nullopt to go on.
std::optional<int> ParseToolArguments(CLI::App& app, int argc, char** argv);

/// What --version says: the tool's name and version, then the program's ("Imbrel 2.9", as its
/// dialogs' titles show it).
std::string VersionText(const std::string& tool_and_version);

/// $XDG_DATA_HOME/imbrel/module, or ~/.local/share/imbrel/module.
std::filesystem::path DefaultModuleDir();

/// The program's flash driver on an open module, with the flash mutex held for the session's
/// life, as the program holds it around every use of the flash.
class FlashSession {
 public:
  /// Opens `dir`, takes "OnModuleFlash" and selects the driver. Throws ModuleError when the
  /// module cannot be opened.
  explicit FlashSession(const std::filesystem::path& dir);
  ~FlashSession();
  FlashSession(const FlashSession&) = delete;
  FlashSession& operator=(const FlashSession&) = delete;

  /// The DriverKind that the selection gave: 0 when the driver could not start.
  int driver() const { return driver_; }
  Module& module() { return *module_; }

 private:
  std::unique_ptr<Module> module_;
  HANDLE mutex_ = nullptr;
  int driver_ = 0;
};

/// Runs the program's quiet update (/u) of the CE file `ce_path` on the open module, its
/// dialogs answered by the script back end: the text of the message box it showed (a quiet
/// update shows one at most: its error), or "" when it showed none.
std::string RunQuietUpdate(const char16_t* ce_path);

/// "1.0 s", "218 us": a span of virtual time for people.
std::string FormatDuration(std::uint64_t ns);

}  // namespace host
