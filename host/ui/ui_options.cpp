#include "host/ui/ui_options.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ce/ui.h"
#include "host/system/text.h"
#include "host/ui/console_backend.h"
#include "host/ui/resource_section.h"
#include "host/ui/script_backend.h"
#include "host/ui/terminal_backend.h"
#include "host/ui/terminal_layout.h"

namespace host::ui {

void AddUiOptions(CLI::App& app, UiOptions& options, bool offer_script) {
  std::vector<std::string> kinds{"terminal", "console"};
  if (offer_script) kinds.push_back("script");
  app.add_option("--ui", options.ui,
                 std::string("window system: terminal, console") +
                     (offer_script ? " or script" : "") +
                     " (default: terminal when standard input and output are terminals and "
                     "TERM can move the cursor, else console)")
      ->check(CLI::IsMember(kinds));
  app.add_option("--answer", options.answers,
                 "console: answer the next message box with ok, cancel, yes or no (repeatable)")
      ->check(CLI::IsMember({"ok", "cancel", "yes", "no"}))
      ->allow_extra_args(false);  // one answer an option: what follows is the command line
  app.add_option("--open", options.open,
                 "console: answer the file-open dialog with this CE path, e.g. '\\USB "
                 "HD\\IMAGES\\nk.bin'");
  app.add_flag("--verbose", options.verbose,
               "console: print the update's line for each record it writes (\"Section: ...\"); "
               "without it they are folded into the progress line");
}

bool InstallBackend(const UiOptions& options) {
  std::string ui = options.ui;
  const char* term = std::getenv("TERM");
  bool capable = term && *term && std::string_view(term) != "dumb";
  bool terminals = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  // The dialogs must fit the terminal: the largest of them in cells.
  int need_rows = 0, need_cols = 0;
  for (const DialogTemplate* t : DialogTemplates()) {
    terminal::CellRect frame = terminal::DialogFrame(t->cx, t->cy, 1000, 1000);
    need_rows = std::max(need_rows, frame.rows);
    need_cols = std::max(need_cols, frame.cols);
  }
  winsize size{};
  bool fits = !terminals || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 ||
              (size.ws_col >= need_cols && size.ws_row >= need_rows);
  if (ui.empty()) {
    ui = terminals && capable && fits ? "terminal" : "console";
    if (terminals && capable && !fits) {
      std::fprintf(stderr,
                   "imbrel: the terminal (%u x %u) is smaller than the dialogs (%d x %d): the "
                   "console window system instead\n",
                   size.ws_col, size.ws_row, need_cols, need_rows);
    }
  }
  if (ui != "console" && (!options.answers.empty() || options.open)) {
    std::fprintf(stderr, "--answer and --open are for the console window system (--ui console)\n");
    return false;
  }
  if (ui == "terminal") {
    if (!terminals) {
      std::fprintf(stderr, "--ui terminal needs a terminal on standard input and output\n");
      return false;
    }
    if (!fits) {
      std::fprintf(stderr,
                   "--ui terminal needs %d columns and %d rows for the dialogs; this terminal "
                   "has %u x %u\n",
                   need_cols, need_rows, size.ws_col, size.ws_row);
      return false;
    }
    if (!capable) {
      std::fprintf(stderr,
                   "--ui terminal needs a terminal that can move its cursor (TERM is "
                   "%s); --ui console works on any\n",
                   term && *term ? term : "not set");
      return false;
    }
    SetBackend(MakeTerminalBackend());
  } else if (ui == "console") {
    std::vector<int> answers;
    for (const std::string& a : options.answers) {
      answers.push_back(a == "ok" ? IDOK : a == "cancel" ? IDCANCEL : a == "yes" ? IDYES : IDNO);
    }
    SetBackend(MakeConsoleBackend(
        std::move(answers),
        options.open ? std::optional<std::u16string>(Utf16(*options.open)) : std::nullopt,
        options.verbose));
  } else {
    UseScriptBackend();
  }
  return true;
}

}  // namespace host::ui
