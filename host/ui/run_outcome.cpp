#include "host/ui/run_outcome.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "host/hardware/power.h"
#include "host/system/failed_calls.h"
#include "host/system/text.h"
#include "host/ui/terminal_restore.h"
#include "resources/resources.h"
#include "shell/command_line.h"
#include "update/update_dialog.h"

namespace host::ui {

namespace {

// The program's dialogs and boxes, as the recorder knows them.
constexpr int kUpdateDialog = IDD_UPDATE;
constexpr UpdateItems kUpdateItems{kItemRecordBar, kItemImageBar, kItemRecordText, kItemImageText};
// The update dialog's cancel command: it stops the update.
constexpr int kUpdateCancel = IDCANCEL;
// The program's error boxes: its captions "ERROR" (and "ERRER"), and the registry's
// "... FAILED!" results.
bool IsErrorBox(const std::u16string& text, const std::u16string& caption) {
  return caption == u"ERROR" || caption == u"ERRER" ||
         text.find(u"FAILED!") != std::u16string::npos;
}
// The overwrite warning: answered Cancel or No, it stops the update before it writes.
bool DeclinesUpdate(const std::u16string& caption, int answer) {
  return caption == u"WARNING" && (answer == IDCANCEL || answer == IDNO);
}

RelocationWatchMaker relocation_watch_maker;
std::atomic<int> updates_open{0};  // update dialogs open now, for the Ctrl-C that ends the run
std::atomic<bool> ending_by_interrupt{false};

// Waits for the Ctrl-C that ends the program, then says what the flash was left as, as its
// last line, and ends the process with status 130. The flash is stopped first, so the line is
// exact: an operation that would begin after it never begins.
void EndOnInterrupt(int wake_fd) {
  char byte;
  while (read(wake_fd, &byte, 1) != 1) {
  }
  // Whatever holds the process up from here, it ends within a few seconds.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    terminal::RestoreTerminalNow();
    static const char kUnknown[] =
        "imbrel: ended by Ctrl-C; the program did not stop in time to say what the flash was "
        "left as\n";
    ssize_t ignored = write(STDERR_FILENO, kUnknown, sizeof kUnknown - 1);
    (void)ignored;
    _exit(130);
  }).detach();
  std::string line = "imbrel: ended by Ctrl-C";
  if (!FreezeFlash(std::chrono::milliseconds(500))) {
    line += " while a flash operation would not end: what the flash was left as is not known";
  } else if (updates_open.load() > 0) {
    const FlashActivity since = FlashActivitySinceMark();
    line += since.empty() ? " during an update, before it changed the flash"
                          : " during an update: the flash is left erased or partly written: " +
                                since.Describe();
  } else {
    const FlashActivity run = FlashActivityOfRun();
    line += run.empty()
                ? "; no update was under way, and this run changed nothing in the flash"
                : "; no update was under way; this run changed the flash: " + run.Describe();
  }
  AddExitNote(line);
  ending_by_interrupt = true;
  QuickExit(130);
}

// The image's length in KB: the number in brackets of "Image: ... Len: ...(N)".
double ImageKb(const std::u16string& text) {
  const std::string image = Utf8(text);
  const std::size_t open = image.rfind('(');
  return open == std::string::npos ? 0 : std::atof(image.c_str() + open + 1) / 1024;
}

}  // namespace

void SetRelocationWatchMaker(RelocationWatchMaker maker) {
  relocation_watch_maker = std::move(maker);
}

void UpdateProgress::Observe(const Window& dialog) {
  const Window* record_text = dialog.Control(items_.record_text);
  const Window* record_bar = dialog.Control(items_.record_bar);
  if (record_text && record_bar && record_text->text.rfind(u"Erasing", 0) == 0) {
    erase_kb_ = record_bar->range_high;
  }
}

std::string UpdateProgress::Line(const Window& dialog, std::uint64_t now_ns, std::size_t columns) {
  const Window* record_text = dialog.Control(items_.record_text);
  const Window* image_text = dialog.Control(items_.image_text);
  const Window* record_bar = dialog.Control(items_.record_bar);
  const Window* image_bar = dialog.Control(items_.image_bar);
  if (!record_text || !image_text || !record_bar || !image_bar) return "";
  const std::u16string& text = record_text->text;
  const bool erasing = text.rfind(u"Erasing", 0) == 0;
  Observe(dialog);
  if (!erasing && text.rfind(u"Section", 0) != 0) return "";
  const double image_kb = ImageKb(image_text->text);
  const double done = erasing ? record_bar->position : erase_kb_ + image_bar->position;
  const double whole = erase_kb_ + image_kb;
  const double seconds = static_cast<double>(now_ns - started_ns_) / 1e9;
  const char* phase = erasing ? "Erasing" : "Writing";
  const bool timed = seconds > 0 && done > 0;
  const double rate = timed ? done / seconds : 0;
  const double left = timed ? std::max(0.0, whole - done) / rate : 0;
  char split[64], speed[96], brief_speed[48];
  std::snprintf(split, sizeof split, " (erase %.1f, write %.1f)", erase_kb_ / 1024,
                image_kb / 1024);
  std::snprintf(speed, sizeof speed, timed ? ", %.2f MB/s, about %.0f s of module time left" : "",
                rate / 1024, left);
  std::snprintf(brief_speed, sizeof brief_speed, timed ? " %.2f MB/s %.0f s left" : "", rate / 1024,
                left);
  char amount[64], brief[64];
  std::snprintf(amount, sizeof amount, "%s: %.1f of %.1f MB", phase, done / 1024, whole / 1024);
  std::snprintf(brief, sizeof brief, "%s %.1f/%.1f MB", phase, done / 1024, whole / 1024);
  for (std::string line : {std::string(amount) + split + speed, std::string(amount) + speed,
                           std::string(brief) + brief_speed}) {
    if (line.size() <= columns) return line;
  }
  return brief;
}

std::string LeftBehind(const UpdateOutcome& outcome) {
  if (outcome.kind == UpdateOutcome::Kind::kDone || outcome.flash.empty()) return "";
  return "the flash is left erased or partly written: " + outcome.flash.Describe();
}

int ExitStatus(const RunFacts& facts) {
  // A command the program did not understand (it said "WARINING" and went on): scripts see
  // status 2, as for a bad host option.
  if (facts.unsupported_commands > 0) return 2;
  if (!facts.error_boxes.empty()) return 1;
  for (const UpdateOutcome& update : facts.updates) {
    if (update.kind == UpdateOutcome::Kind::kCancelled) return 3;
  }
  // A quiet registry save or clear that failed showed no box: the run still failed.
  if (!facts.failed_calls.empty()) return 1;
  return 0;
}

RunRecorder::OpenUpdate* RunRecorder::TopUpdate() {
  return open_updates_.empty() ? nullptr : &open_updates_.back();
}

void RunRecorder::DialogOpened(Window& dialog) {
  if (dialog.id != kUpdateDialog) return;
  open_updates_.push_back({&dialog});
  ++updates_open;
  if (relocation_watch_maker) open_updates_.back().relocations = relocation_watch_maker();
  MarkFlashActivity();
  CurrentBackend().UpdateStarted(dialog, kUpdateItems);
}

void RunRecorder::CommandPosted(Window& dialog, int id) {
  if (dialog.id != kUpdateDialog || id != kUpdateCancel) return;
  for (OpenUpdate& update : open_updates_) {
    if (update.dialog == &dialog) update.cancelled = true;
  }
}

void RunRecorder::MessageBoxAnswered(Window*, const std::u16string& text,
                                     const std::u16string& caption, UINT, int answer) {
  OpenUpdate* update = TopUpdate();
  if (IsErrorBox(text, caption)) {
    facts_.error_boxes.push_back(text);
    if (update && update->error.empty()) update->error = text;
  }
  if (update && DeclinesUpdate(caption, answer)) update->cancelled = true;
}

void RunRecorder::OpenFileCancelled(Window*) {
  if (OpenUpdate* update = TopUpdate()) update->cancelled = true;
}

void RunRecorder::DialogEnding(Window& dialog) {
  auto it = open_updates_.begin();
  while (it != open_updates_.end() && it->dialog != &dialog) ++it;
  if (it == open_updates_.end()) return;
  UpdateOutcome outcome;
  if (!it->error.empty()) {
    outcome.kind = UpdateOutcome::Kind::kFailed;
    outcome.error = it->error;
  } else if (it->cancelled || AbortFlag) {
    // The stop request is process-wide: one that stopped an update before this one stays set
    // for the updates commanded after it, and stops each of them before it writes.
    outcome.kind = UpdateOutcome::Kind::kCancelled;
  }
  outcome.flash = FlashActivitySinceMark();
  if (it->relocations) outcome.relocations = it->relocations();
  open_updates_.erase(it);
  --updates_open;
  facts_.updates.push_back(outcome);
  CurrentBackend().UpdateEnded(dialog, outcome);
}

RunFacts RunRecorder::Facts() const {
  RunFacts facts;
  {
    std::lock_guard lock(UiLock());
    facts = facts_;
  }
  for (int n = 0; n < CommandCount; ++n) {
    if (Commands[n].kind == kCommandUnsupported) ++facts.unsupported_commands;
  }
  facts.failed_calls = FailedCalls();
  return facts;
}

RunRecorder& RecordRun() {
  // Never destroyed: a dialog may still end while the process exits.
  static RunRecorder* recorder = new RunRecorder;
  SetWindowObserver(recorder);
  static bool ending_set = false;
  int ends[2];
  if (!ending_set && pipe2(ends, O_CLOEXEC) == 0) {
    ending_set = true;
    terminal::SetEndingInterrupt(ends[1]);
    std::thread(EndOnInterrupt, ends[0]).detach();
    // Registered before any backend takes the terminal, so it runs after the terminal is
    // given back: the line is printed on the screen the user is left with.
    std::at_quick_exit([] {
      if (ending_by_interrupt) PrintExitNotes();
    });
  }
  return *recorder;
}

}  // namespace host::ui
