// The script backend: for tests. Records every dialog, text, progress change and message box;
// answers message boxes and file-open dialogs from queues; runs a test's rules when an event
// matches (send the cancel command at the first progress position, say).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/ui/window_system.h"

namespace host::ui {

struct UiEvent {
  enum class Kind {
    kDialogOpened,   // dialog, id = template, owner
    kDialogEnded,    // dialog, id = template, result
    kWindowText,     // dialog, text
    kItemText,       // dialog, id = control, text
    kProgressRange,  // dialog, id = control, low, high
    kProgressPos,    // dialog, id = control, low = position
    kMessageBox,     // owner, text, caption, flags, result = the answer
    kOpenFile,       // owner, text = initial directory, caption = filter, result = chosen?
  };
  Kind kind;
  HWND dialog = nullptr;
  HWND owner = nullptr;
  int id = 0;
  std::u16string text;
  std::u16string caption;
  UINT flags = 0;
  int low = 0, high = 0;
  INT_PTR result = 0;
  int template_id = 0;  // of the dialog the event concerns
};

class ScriptBackend : public Backend {
 public:
  /// A rule: when an event matches, `command` goes to the event's dialog (or to the topmost
  /// dialog for message-box events). Rules fire once unless `repeat`.
  struct Rule {
    std::function<bool(const UiEvent&)> match;
    int command;
    bool repeat = false;
    bool fired = false;
  };

  /// Answers for message boxes, in order; when none is left, the default button answers.
  void AnswerMessageBoxes(std::vector<int> answers);
  /// Answers for file-open dialogs: a CE path, or an empty string to cancel.
  void AnswerOpenFiles(std::vector<std::u16string> paths);
  void When(std::function<bool(const UiEvent&)> match, int command, bool repeat = false);
  /// A dialog waiting this long with nothing happening is a test that hangs: abort loudly.
  void SetIdleLimit(std::chrono::milliseconds limit) { idle_limit_ = limit; }

  /// Everything recorded so far (a copy, taken under the lock).
  std::vector<UiEvent> Events() const;
  std::vector<UiEvent> Events(UiEvent::Kind kind) const;

  void DialogOpened(Window& dialog) override;
  void DialogEnded(Window& dialog) override;
  void TextChanged(Window& window) override;
  void ProgressChanged(Window& control, bool range_changed) override;
  void Pump(Window& dialog, std::unique_lock<std::mutex>& lock,
            std::chrono::milliseconds timeout) override;
  int MessageBox(Window* owner, const std::u16string& text, const std::u16string& caption,
                 UINT type) override;
  std::u16string OpenFile(const OPENFILENAMEW& request) override;

 private:
  void Record(UiEvent event, Window* target);

  std::vector<UiEvent> events_;
  std::deque<int> message_box_answers_;
  std::deque<std::u16string> open_file_answers_;
  std::vector<Rule> rules_;
  std::chrono::milliseconds idle_limit_{10000};
  std::chrono::steady_clock::time_point last_event_ = std::chrono::steady_clock::now();
};

/// Installs a fresh script backend and returns it (owned by the window system).
ScriptBackend& UseScriptBackend();

}  // namespace host::ui
