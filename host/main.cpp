// imbrel: the program on a virtual module. Host options come first; the rest of the command
// line, joined with single blanks, is the program's own CE command line:
//   imbrel --module DIR --ui console /u \USB HD\IMAGES\nk.bin /rc

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/system/text.h"
#include "host/tool_support.h"
#include "host/ui/ui_options.h"
#include "shell/command_line.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  CLI::App app{
      "imbrel: flash maintenance for Windows CE modules, run on a virtual module.\n"
      "Host options come first; the rest is the program's command line: /u PATH updates from\n"
      "an image, /f and /c save and clear the registry in flash (/fu, /cu: quietly), /r\n"
      "restarts warm, /rc[MS] cold. With no command the main dialog opens."};
  std::string module_dir;
  std::string pace;
  std::vector<std::string> command;
  app.add_option("--module", module_dir,
                 "module directory (default: $IMBREL_MODULE, else the default module under "
                 "$XDG_DATA_HOME/imbrel, made on first use)");
  app.add_option("--pace", pace, "fast: virtual time only; real: at the module's speed")
      ->check(CLI::IsMember({"fast", "real"}));
  host::ui::UiOptions ui;
  host::ui::AddUiOptions(app, ui);
  app.add_option("command", command, "the program's command line")->take_all();
  app.prefix_command();
  app.footer(
      "Exit status: 1 when the program ends (its own fixed code, whatever the commands did: "
      "their outcome is in the message boxes), 0 when the module restarted, 2 for a bad host "
      "option or module, 130 when interrupted.");
  if (auto status = host::ParseToolArguments(app, argc, argv)) return *status;
  for (const std::string& extra : app.remaining()) command.push_back(extra);

  std::unique_ptr<host::Module> module;
  try {
    fs::path dir = module_dir;
    if (dir.empty()) {
      const char* env = std::getenv("IMBREL_MODULE");
      dir = env && *env ? fs::path(env) : host::DefaultModuleDir();
      if (!fs::exists(dir / "module.toml") && (!env || !*env)) {
        host::CreateModule(dir, host::CreateOptions{});
        std::fprintf(stderr, "imbrel: made a new virtual module in %s\n", dir.c_str());
      }
    }
    module = host::Module::Open(dir);
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    // A file system error the module's loader did not word: still one line, nothing started.
    std::fprintf(stderr, "imbrel: %s: %s\n", module_dir.empty() ? "module" : module_dir.c_str(),
                 e.what());
    return 2;
  }
  if (pace == "real") host::SetClockPace(host::Pace::kReal);
  if (pace == "fast") host::SetClockPace(host::Pace::kFast);
  if (!host::ui::InstallBackend(ui)) return 2;

  std::string line;
  for (const std::string& part : command) line += (line.empty() ? "" : " ") + part;
  std::u16string wide = host::Utf16(line);
  return WinMain(nullptr, nullptr, wide.data(), 0);
}
