#include "host/ui/run_outcome.h"

#include "host/system/failed_calls.h"
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

}  // namespace

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
  open_updates_.erase(it);
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
  return *recorder;
}

}  // namespace host::ui
