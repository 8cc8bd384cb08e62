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

/// Lines to print on standard error once the window system has left the screen (the
/// terminal's notes); PrintExitNotes prints and forgets them.
void AddExitNote(const std::string& line);
void PrintExitNotes();

struct UpdateOutcome;  // run_outcome.h
struct UpdateItems;

/// What a backend is told, and what it must do.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual void DialogOpened(Window& /*dialog*/) {}
  virtual void DialogEnded(Window& /*dialog*/) {}
  virtual void TextChanged(Window& /*window*/) {}
  virtual void ProgressChanged(Window& /*control*/, bool /*range_changed*/) {}
  /// The program's update has begun in `dialog` (before DialogOpened) / is about to end with
  /// this outcome (before DialogEnded): told by the run's recorder (run_outcome.h).
  virtual void UpdateStarted(Window& /*dialog*/, const UpdateItems& /*items*/) {}
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

/// Told what the windows did, beside the backend, for a record of the run (run_outcome.h).
/// Called with the lock held, on the thread that did it.
class WindowObserver {
 public:
  virtual ~WindowObserver() = default;
  /// A dialog is open, before the backend is told.
  virtual void DialogOpened(Window& /*dialog*/) {}
  /// Command `id` is queued for `dialog`: a button pressed, the cancel command.
  virtual void CommandPosted(Window& /*dialog*/, int /*id*/) {}
  /// A message box was answered.
  virtual void MessageBoxAnswered(Window* /*owner*/, const std::u16string& /*text*/,
                                  const std::u16string& /*caption*/, UINT /*type*/,
                                  int /*answer*/) {}
  /// A file-open dialog was closed with no file chosen.
  virtual void OpenFileCancelled(Window* /*owner*/) {}
  /// A dialog's modal loop is over; the backend is told it ended next.
  virtual void DialogEnding(Window& /*dialog*/) {}
};

/// The observer of every window from now on (not owned; null: none).
void SetWindowObserver(WindowObserver* observer);

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
