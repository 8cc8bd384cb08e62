// What one run of the program came to, and the host's exit status for it. The recorder is told
// by the window system what the windows did (a dialog opened or ended, a command posted, a
// message box answered, a file-open dialog given up) and turns it into the facts of the run;
// the status is a function of those facts. It is the one place that knows the program's
// dialogs: which one is the update, what cancels it, which boxes are errors.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/hardware/flash_activity.h"
#include "host/ui/window_system.h"

namespace host::ui {

/// How one update (a run of the update dialog) ended, as its boxes and commands showed: an error
/// box is a failure; the cancel command, a declined warning, no file chosen, or the program's
/// stop request still set when it ends, without an error box, is a cancel.
struct UpdateOutcome {
  enum class Kind { kDone, kFailed, kCancelled };
  Kind kind = Kind::kDone;
  std::u16string error;     // kFailed: the error box's text
  FlashActivity flash;      // what the chips erased and programmed while it ran
  std::string relocations;  // "; block 9 went bad (...): it now lives in reserve block 1012;
                            // ..." for the NAND blocks it relocated, else empty
};

/// Names the NAND blocks relocated since it was made ("; block 9 went bad ..."), for one
/// update's outcome: the host makes one as each update starts and asks it as the update ends.
using RelocationWatchMaker = std::function<std::function<std::string()>()>;
void SetRelocationWatchMaker(RelocationWatchMaker maker);

/// The flash an update that did not succeed has left erased or partly written, as one line;
/// empty when it changed nothing or succeeded.
std::string LeftBehind(const UpdateOutcome& outcome);

/// The controls of the update dialog that show its progress.
struct UpdateItems {
  int record_bar, image_bar;    // the current record (or the erase), the whole image
  int record_text, image_text;  // the texts above them
};

/// How far an update is, read from its dialog's bars and texts: the phase, the megabytes done
/// of the whole (the erase counted with the image), the rate, and the module time left at that
/// rate. One per update, made as it starts; read with the UI lock held.
class UpdateProgress {
 public:
  UpdateProgress() = default;
  UpdateProgress(const UpdateItems& items, std::uint64_t started_ns)
      : items_(items), started_ns_(started_ns) {}

  /// The line for the dialog at module time `now_ns`, the longest of its forms that fits in
  /// `columns`: "Writing: 0.4 of 1.3 MB (erase 1.0, write 0.3), 0.52 MB/s, about 2 s of module
  /// time left", then without the split, then "Writing 0.4/1.3 MB 0.52 MB/s 2 s left". Empty
  /// while the dialog neither erases nor writes a record.
  std::string Line(const Window& dialog, std::uint64_t now_ns,
                   std::size_t columns = std::string::npos);
  /// Takes the erase's size while the dialog erases: call as its bars move, since a short
  /// erase may come and go between two lines.
  void Observe(const Window& dialog);

 private:
  UpdateItems items_{};
  std::uint64_t started_ns_ = 0;
  double erase_kb_ = 0;  // the update's erase, in KB, once it has started
};

/// The facts of one run of the program, as the host saw them.
struct RunFacts {
  std::vector<std::u16string> error_boxes;  // the texts of the error boxes shown, in order
  std::vector<UpdateOutcome> updates;       // every update, in the order they ended
  int unsupported_commands = 0;             // command-line commands the program did not know
  std::vector<std::string> failed_calls;    // calls that failed without a box (a quiet /fu)
};

/// The exit status of a run that ended without a restart: 2 when a command was not understood;
/// else 1 when an error box was shown; else 3 when an update was cancelled; else 1 when a call
/// failed without a box; else 0.
int ExitStatus(const RunFacts& facts);

/// Records the run from the window system's events (see RecordRun).
class RunRecorder final : public WindowObserver {
 public:
  void DialogOpened(Window& dialog) override;
  void CommandPosted(Window& dialog, int id) override;
  void MessageBoxAnswered(Window* owner, const std::u16string& text, const std::u16string& caption,
                          UINT type, int answer) override;
  void OpenFileCancelled(Window* owner) override;
  void DialogEnding(Window& dialog) override;

  /// The facts so far, with the program's command records and the failed calls as they are
  /// now. Call without the UI lock.
  RunFacts Facts() const;

 private:
  // An update dialog that is open: what its run has shown so far.
  struct OpenUpdate {
    const Window* dialog;
    std::u16string error;    // the first error box's text
    bool cancelled = false;  // the cancel command, a declined warning or no file chosen
    std::function<std::string()> relocations;  // from the host's watch, when it set one
  };
  OpenUpdate* TopUpdate();

  std::vector<OpenUpdate> open_updates_;  // in the order they opened
  RunFacts facts_;
};

/// Starts recording the run: the window system tells the process's recorder from now on, and
/// the update lines of the backends come from it. Returns the recorder.
RunRecorder& RecordRun();

}  // namespace host::ui
