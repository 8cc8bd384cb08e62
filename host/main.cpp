// imbrel: the program on a virtual module. Host options come first; the rest of the command
// line (or all after "--"), joined with single blanks, is the program's own CE command line:
//   imbrel --module DIR --ui console /u \USB HD\IMAGES\nk.bin /rc

#include <unistd.h>

#include <toml++/toml.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "host/hardware/flash_activity.h"
#include "host/hardware/power.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/module/module_boot.h"
#include "host/system/ce_paths.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"
#include "host/tool_support.h"
#include "host/ui/run_outcome.h"
#include "host/ui/ui_options.h"
#include "host/ui/window_system.h"
#include "shell/command_line.h"

namespace fs = std::filesystem;

// Exit status when the module's flash does not boot (no bootloader, no OS image it can take).
constexpr int kDoesNotStart = 4;

// `out` as JSON on one line of standard output (the last, after whatever the program printed
// there). The formatter escapes a newline inside a string: those left are between tokens.
void PrintJsonLine(const toml::table& out) {
  std::ostringstream text;
  text << toml::json_formatter{out, toml::format_flags::none};
  std::string line = text.str();
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::cout << line << "\n" << std::flush;
}

int main(int argc, char** argv) {
  // "--" ends the host options: what follows is the program's, word for word.
  std::vector<char*> host_args(argv, argv + argc);
  std::vector<std::string> after_separator;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--") {
      host_args.resize(i);
      after_separator.assign(argv + i + 1, argv + argc);
      break;
    }
  }
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
  bool no_wait = false;
  bool summary = false;
  std::string usb;
  CLI::Option* usb_option =
      app.add_option(
             "--usb", usb,
             "show the host folder DIR as \\USB HD for this run (the module's own fs/USB HD "
             "is hidden meanwhile and left alone); paths cannot leave the folder")
          ->type_name("DIR");
  app.add_flag("--summary", summary,
               "at the end, say what the run changed in the flash: the ranges erased and "
               "programmed, and the NAND blocks moved to the reserve");
  bool json = false;
  app.add_flag("--json", json,
               "with --summary: the summary as one JSON object, the last line of standard "
               "output (keys in docs/tools.md)");
  app.add_flag("--no-wait", no_wait,
               "fail at once (status 2) when another process holds the module's flash, "
               "instead of waiting for it");
  host::ui::UiOptions ui;
  host::ui::AddUiOptions(app, ui, /*offer_script=*/false);
  app.set_version_flag("--version", host::VersionText("imbrel " IMBREL_VERSION));
  app.add_option("command", command,
                 "the program's command line (after \"--\" when it "
                 "starts with \"-\")")
      ->take_all();
  app.prefix_command();
  app.footer(
      "Exit status: 0 when no command showed an error box, and after a restart (boot.log says "
      "which); 1 when an error box was shown, or a quiet registry save or clear failed; 3 when an "
      "update was cancelled; 2 for a bad host "
      "option or module, or a command the program did not understand; 4 when the module does "
      "not start (its flash holds no bootloader, or no OS image the bootloader can take: "
      "imbrel-module info says why, and imbrel-module write repairs it); 5 when the module lost "
      "its "
      "power (a power cut from faults.toml: boot.log says during which operation); 130 when "
      "interrupted. "
      "(The "
      "program's own exit code is always 1: its "
      "outcome is in its boxes, which the host reads.)");
  // "--usb=" would take the next word as its folder, and "--usb ''" names none: an empty name
  // (a script's unset variable) must not fall back to the module's own USB HD and update from
  // an image nobody meant.
  const bool usb_empty = std::any_of(host_args.begin() + 1, host_args.end(), [](const char* arg) {
    return std::string_view(arg) == "--usb=";
  });
  if (!usb_empty) {
    if (auto status =
            host::ParseToolArguments(app, static_cast<int>(host_args.size()), host_args.data())) {
      return *status;
    }
  }
  if (usb_empty || (usb_option->count() > 0 && usb.empty())) {
    std::fprintf(stderr,
                 "imbrel: --usb \"\": an empty folder name (an unset variable?); give the folder "
                 "to show as \\USB HD, or leave the option out\n");
    return 2;
  }
  for (const std::string& extra : app.remaining()) command.push_back(extra);
  // The program's commands start with "/": a word with "-" before the "--" is a host option
  // misspelt, not part of a command line to run the program on.
  for (const std::string& word : command) {
    if (word.size() > 1 && word[0] == '-') {
      std::fprintf(stderr,
                   "imbrel: unknown option %s (imbrel --help lists them; \"--\" ends the "
                   "host options)\n",
                   word.c_str());
      return 2;
    }
  }
  command.insert(command.end(), after_separator.begin(), after_separator.end());

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
    // A module whose flash does not boot runs nothing, this program included.
    if (std::optional<std::string> why = host::StartModule(*module)) {
      std::fprintf(stderr, "imbrel: the module does not start: %s\n", why->c_str());
      if (summary && json) {
        // A script reading the summary gets its object: nothing ran, nothing changed.
        toml::table out{{"command", "imbrel"},
                        {"changed", false},
                        {"erased", toml::array{}},
                        {"programmed", toml::array{}},
                        {"status", kDoesNotStart},
                        {"ok", false},
                        {"errors", toml::array{"the module does not start: " + *why}}};
        PrintJsonLine(out);
      }
      return kDoesNotStart;
    }
  } catch (const host::ModuleError& e) {
    std::fprintf(stderr, "imbrel: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    // A file system error the module's loader did not word: still one line, nothing started.
    std::fprintf(stderr, "imbrel: %s: %s\n", module_dir.empty() ? "module" : module_dir.c_str(),
                 e.what());
    return 2;
  }
  if (usb_option->count() > 0) {
    std::error_code ec;
    fs::path folder = fs::canonical(usb, ec);
    if (ec || !fs::is_directory(folder, ec)) {
      std::fprintf(stderr, "imbrel: --usb %s: %s\n", usb.c_str(),
                   fs::exists(usb, ec) ? "not a folder" : "no such folder");
      return 2;
    }
    host::SetUsbFolder(folder);
  }
  host::SetOtherProcessWait(
      no_wait ? host::OtherProcessWait::kRefuse : host::OtherProcessWait::kWait, "imbrel");
  if (pace == "real") host::SetClockPace(host::Pace::kReal);
  if (pace == "fast") host::SetClockPace(host::Pace::kFast);
  // Registered before the backend's own exit handler, so that these run after the terminal
  // is given back (exit handlers run last first); a restart ends with quick_exit.
  static bool say_summary = summary;
  static bool summary_json = json;
  static int final_status = -1;
  // The NAND relocation table as the run found it, for the summary's relocations; the text is
  // taken while the module is open (a restart ends the run before main returns).
  static std::unique_ptr<host::BadBlockWatch> bad_blocks =
      std::make_unique<host::BadBlockWatch>(*module);
  static std::string relocations;
  static std::optional<toml::table> bad_blocks_json;
  auto at_end = [] {
    host::ui::PrintExitNotes();
    if (bad_blocks) {
      relocations = bad_blocks->Text();
      if (bad_blocks->nand()) bad_blocks_json = bad_blocks->Json();
    }
    bad_blocks.reset();
    if (say_summary && summary_json) {
      const host::FlashActivity activity = host::FlashActivityOfRun();
      auto ranges = [](const host::FlashRanges& r) {
        toml::array list;
        for (const auto& [start, end] : r.spans) {
          list.push_back(toml::table{{"start", static_cast<std::int64_t>(start)},
                                     {"end", static_cast<std::int64_t>(end)}});
        }
        return list;
      };
      const int status = final_status >= 0 ? final_status : host::QuickExitStatus();
      toml::table out{{"command", "imbrel"},
                      {"changed", !activity.empty()},
                      {"physical", activity.nand},
                      {"erased", ranges(activity.erased)},
                      {"programmed", ranges(activity.programmed)}};
      if (status >= 0) {
        out.insert("status", status);
        out.insert("ok", status == 0);
      }
      if (bad_blocks_json) out.insert("bad_blocks", *bad_blocks_json);
      std::fflush(stdout);
      PrintJsonLine(out);
    } else if (say_summary) {
      std::fprintf(stderr, "imbrel: this run %s%s\n",
                   host::FlashActivityOfRun().empty()
                       ? "changed nothing in the flash"
                       : ("changed the flash: " + host::FlashActivityOfRun().Describe()).c_str(),
                   relocations.c_str());
    }
  };
  std::atexit(at_end);
  std::at_quick_exit(at_end);
  if (!host::ui::InstallBackend(ui)) return 2;
  if (module->config().flash == host::FlashKind::kNand) {
    // Each update's outcome names the blocks it relocated.
    host::ui::SetRelocationWatchMaker([&module]() -> std::function<std::string()> {
      auto watch = std::make_shared<host::BadBlockWatch>(*module);
      return [watch] { return watch->Text(); };
    });
  }
  host::ui::RunRecorder& run = host::ui::RecordRun();

  // "/u /home/me/nk.bin": a path on this machine, which the module cannot see. The program
  // says it cannot open the file; say what to do instead.
  for (std::size_t i = 0; i + 1 < command.size(); ++i) {
    const std::string& path = command[i + 1];
    std::error_code ec;
    if ((command[i] == "/u" || command[i] == "/U") && path.size() > 1 && path[0] == '/' &&
        fs::is_regular_file(path, ec)) {
      const fs::path host_file(path);
      std::fprintf(stderr,
                   "imbrel: hint: %s is a file on this machine, which the module does not see; "
                   "show its folder as \\USB HD with --usb %s and update from '\\USB HD\\%s'\n",
                   path.c_str(), host_file.parent_path().c_str(), host_file.filename().c_str());
    }
  }
  std::string line;
  for (const std::string& part : command) line += (line.empty() ? "" : " ") + part;
  std::u16string wide = host::Utf16(line);
  // The program returns 1 whatever happened; what its boxes said is the run's outcome.
  WinMain(nullptr, nullptr, wide.data(), 0);
  relocations = bad_blocks->Text();
  if (bad_blocks->nand()) bad_blocks_json = bad_blocks->Json();
  bad_blocks.reset();
  host::ui::RunFacts facts = run.Facts();
  // A call that failed without a box (a quiet registry save) is said here.
  for (const std::string& failed : facts.failed_calls) {
    std::fprintf(stderr, "imbrel: %s\n", failed.c_str());
  }
  final_status = host::ui::ExitStatus(facts);
  return final_status;
}
