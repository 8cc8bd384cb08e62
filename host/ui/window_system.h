// The host's window system: dialogs made from templates, their controls, modal loops, and
// the backends that show them (terminal, console, script). The CE calls of ce/ui.h funnel
// into this one implementation.
//
// Threads: every window's state is guarded by one lock (UiLock). A change from any thread is
// made under it and the backend is told at once; drawing happens in the modal loop of the
// topmost window, on that window's thread. A dialog's procedure only ever runs on the thread
// that opened the dialog.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ce/ui.h"
#include "host/hardware/flash_activity.h"

namespace host::ui {

enum class ControlKind { kButton, kStatic, kProgress, kOther };

/// A dialog, or one control of a dialog.
struct Window {
  HWND handle = nullptr;
  Window* dialog = nullptr;  // the dialog a control belongs to; null for a dialog
  int id = 0;                // control id, or the dialog's template id
  ControlKind kind = ControlKind::kOther;
  std::u16string class_name;
  std::u16string text;  // caption of a dialog, text of a control
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units; a control's are inside the dialog
  // Progress bars.
  int range_low = 0, range_high = 100, position = 0;

  // Dialogs only.
  HWND owner = nullptr;
  DLGPROC procedure = nullptr;
  std::vector<std::unique_ptr<Window>> controls;  // template order, which is the tab order
  std::deque<int> commands;                       // command ids waiting for the dialog's thread
  bool ended = false;
  INT_PTR result = 0;
  std::thread::id thread;
  // The update dialog: what its run showed (see UpdateOutcome).
  std::u16string update_error;    // the first error box's text
  bool update_cancelled = false;  // the cancel command, a declined warning or no file chosen

  bool visible() const { return (style & WS_VISIBLE) != 0; }
  Window* Control(int control_id) const;
};

/// One modal window on the stack: a dialog, a message box or a file-open dialog.
struct ModalFrame {
  enum class Kind { kDialog, kMessageBox, kOpenFile };
  Kind kind;
  Window* window;  // the dialog; for a message box or file dialog, its owner (may be null)
  std::thread::id thread;
};

/// The lock that guards every window. Backends are called with it held unless said otherwise.
std::mutex& UiLock();

/// How one update (a run of the update dialog) ended, as its boxes and commands showed: an error
/// box is a failure; the cancel command, a declined warning, no file chosen, or the program's
/// stop request (AbortFlag) still set when it ends, without an error box, is a cancel.
struct UpdateOutcome {
  enum class Kind { kDone, kFailed, kCancelled };
  Kind kind = Kind::kDone;
  std::u16string error;  // kFailed: the error box's text
  FlashActivity flash;   // what the chips erased and programmed while it ran
};

/// The flash an update that did not succeed has left erased or partly written, as one line;
/// empty when it changed nothing or succeeded.
std::string LeftBehind(const UpdateOutcome& outcome);

/// Lines to print on standard error once the window system has left the screen (the
/// terminal's notes); PrintExitNotes prints and forgets them.
void AddExitNote(const std::string& line);
void PrintExitNotes();

/// What the run's dialogs showed: the host's exit status comes from it.
struct RunOutcome {
  bool error_shown = false;       // an error box ("ERROR", "ERRER", "... FAILED!")
  bool update_cancelled = false;  // an update that the user cancelled
};
RunOutcome CurrentRunOutcome();
/// The exit status of a run that ended without a restart: 1 when an error box was shown, else
/// 3 when an update was cancelled, else 0.
int RunExitStatus();

/// What a backend is told, and what it must do.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual void DialogOpened(Window& /*dialog*/) {}
  virtual void DialogEnded(Window& /*dialog*/) {}
  virtual void TextChanged(Window& /*window*/) {}
  virtual void ProgressChanged(Window& /*control*/, bool /*range_changed*/) {}
  /// The update dialog is about to end (before DialogEnded) with this outcome.
  virtual void UpdateEnded(Window& /*dialog*/, const UpdateOutcome& /*outcome*/) {}
  /// Runs in the modal loop of `dialog` while it is the topmost window: draw what changed,
  /// wait at most `timeout` for input and turn it into commands (PostCommand). The lock may be
  /// released while waiting and must be held again on return. The default only waits.
  virtual void Pump(Window& dialog, std::unique_lock<std::mutex>& lock,
                    std::chrono::milliseconds timeout);
  /// A modal message box; called without the lock. Returns IDOK, IDCANCEL, IDYES or IDNO.
  virtual int MessageBox(Window* owner, const std::u16string& text, const std::u16string& caption,
                         UINT type) = 0;
  /// A modal file-open dialog; called without the lock. Returns the chosen CE path, or an
  /// empty string when cancelled. The window system checks the must-exist rules.
  virtual std::u16string OpenFile(const OPENFILENAMEW& request) = 0;
};

/// Installs the backend every window of the process uses from now on.
void SetBackend(std::unique_ptr<Backend> backend);
Backend& CurrentBackend();

/// Queues command `id` for `dialog`'s procedure (WM_COMMAND), as a button press or the
/// cancel command would. Call with the lock held.
void PostCommand(Window& dialog, int id);
/// Wakes every modal loop (after a change of state). Call with the lock held or not.
void WakeLoops();

/// The modal stack, bottom first. Call with the lock held.
const std::vector<ModalFrame>& ModalStack();
/// The window behind a handle, or null. Call with the lock held.
Window* FindWindow(HWND handle);

/// The buttons of a message box of `type`, in order, and which one is the default.
struct MessageBoxButtons {
  std::vector<int> ids;  // IDOK, IDCANCEL, IDYES, IDNO
  int default_index;
};
MessageBoxButtons ButtonsOf(UINT type);
/// "OK", "Cancel", "Yes", "No".
const char* ButtonName(int id);

/// The filter pairs of an OPENFILENAMEW: description and pattern ("*.bin", "*.a;*.b").
std::vector<std::pair<std::u16string, std::u16string>> FilterPairs(LPCWSTR filter);
/// Case-insensitive match of a file name against a pattern list such as "*.bin;*.nb0".
bool MatchesPattern(std::u16string_view name, std::u16string_view patterns);

}  // namespace host::ui
