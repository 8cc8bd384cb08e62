// The host options that choose and feed the window system's backend, shared by imbrel and the
// test programs: --ui, --answer, --open.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace host::ui {

struct UiOptions {
  std::string ui;                    // "terminal", "console", "script"; empty: choose
  std::vector<std::string> answers;  // console: message-box answers (ok, cancel, yes, no)
  std::optional<std::string> open;   // console: the file-open dialog's answer (a CE path)
  bool verbose = false;  // console: every line of text a dialog shows, per-record ones too
};

/// Adds --ui, --answer, --open and --verbose; --ui script (the recording backend) only when asked.
void AddUiOptions(CLI::App& app, UiOptions& options, bool offer_script);

/// Installs the backend the options ask for: terminal when standard input and output are
/// terminals, else console, unless --ui says otherwise. Returns false with a message on
/// standard error when the options do not fit together.
bool InstallBackend(const UiOptions& options);

}  // namespace host::ui
