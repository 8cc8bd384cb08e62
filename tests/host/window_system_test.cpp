// The window system's core under the script backend: modal loops, nesting, threads, controls,
// message boxes and the file-open dialog.

#include "host/ui/window_system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "ce/ce.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "module_fixture.h"
#include "resources/resources.h"
#include "test_support.h"

namespace {

using host::ui::ModalFrame;
using host::ui::ScriptBackend;
using host::ui::UiEvent;
using Kind = UiEvent::Kind;

constexpr int kUpdateButton = 1002;
constexpr int kBar = 1002;
constexpr int kLabel = 1004;

std::function<bool(const UiEvent&)> Opened(int template_id) {
  return [template_id](const UiEvent& e) {
    return e.kind == Kind::kDialogOpened && e.template_id == template_id;
  };
}

INT_PTR RunDialog(WORD template_id, DLGPROC procedure, HWND owner = nullptr) {
  return DialogBoxParamW(nullptr, MAKEINTRESOURCEW(template_id), owner, procedure, 0);
}

std::vector<UiEvent> DialogEvents(const ScriptBackend& ui) {
  std::vector<UiEvent> out;
  for (const UiEvent& e : ui.Events()) {
    if (e.kind == Kind::kDialogOpened || e.kind == Kind::kDialogEnded) out.push_back(e);
  }
  return out;
}

std::size_t IndexOf(const std::vector<UiEvent>& events, Kind kind) {
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == kind) return i;
  }
  return events.size();
}

class WindowSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    InitCommonControls();
    ui_ = &host::ui::UseScriptBackend();
    ui_->SetIdleLimit(std::chrono::seconds(10));
  }
  ScriptBackend& ui() { return *ui_; }

 private:
  ScriptBackend* ui_ = nullptr;
};

// --- Modal loops ---------------------------------------------------------------------------

struct NestingSeen {
  std::size_t stack_depth = 0;
  bool inner_on_top = false;
  HWND outer = nullptr;
  HWND inner = nullptr;
} nesting;

INT_PTR InnerProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    std::lock_guard lock(host::ui::UiLock());
    const auto& stack = host::ui::ModalStack();
    nesting.inner = dialog;
    nesting.stack_depth = stack.size();
    nesting.inner_on_top = !stack.empty() && stack.back().window->handle == dialog &&
                           stack.back().kind == ModalFrame::Kind::kDialog;
  }
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) EndDialog(dialog, 7);
  return message == WM_COMMAND;
}

INT_PTR OuterProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) nesting.outer = dialog;
  if (message == WM_COMMAND && LOWORD(wparam) == kUpdateButton) {
    INT_PTR inner = RunDialog(IDD_UPDATE, InnerProc, dialog);
    EndDialog(dialog, inner + 100);
  }
  return message == WM_COMMAND;
}

TEST_F(WindowSystem, DialogOpenedFromADialogProcedureIsOwnedByItAndEndsFirst) {
  nesting = {};
  ui().When(Opened(IDD_MAIN), kUpdateButton);
  ui().When(Opened(IDD_UPDATE), IDCANCEL);
  EXPECT_EQ(RunDialog(IDD_MAIN, OuterProc), 107);

  EXPECT_EQ(nesting.stack_depth, 2u);
  EXPECT_TRUE(nesting.inner_on_top);
  std::vector<UiEvent> events = DialogEvents(ui());
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, Kind::kDialogOpened);
  EXPECT_EQ(events[0].dialog, nesting.outer);
  EXPECT_EQ(events[0].owner, nullptr);
  EXPECT_EQ(events[1].kind, Kind::kDialogOpened);
  EXPECT_EQ(events[1].dialog, nesting.inner);
  EXPECT_EQ(events[1].owner, nesting.outer);
  EXPECT_EQ(events[2].kind, Kind::kDialogEnded);
  EXPECT_EQ(events[2].dialog, nesting.inner);
  EXPECT_EQ(events[2].result, 7);
  EXPECT_EQ(events[3].kind, Kind::kDialogEnded);
  EXPECT_EQ(events[3].dialog, nesting.outer);
  EXPECT_EQ(events[3].result, 107);
  std::lock_guard lock(host::ui::UiLock());
  EXPECT_TRUE(host::ui::ModalStack().empty());
}

// Tells, once, when a dialog's modal loop first waits for something to happen. The loop waits
// with the window system's lock let go and holds it otherwise: a call that needs the lock and
// comes after this lands in that wait.
class FirstLoopWait : public ScriptBackend {
 public:
  void Pump(host::ui::Window& dialog, std::unique_lock<std::mutex>& lock,
            std::chrono::milliseconds timeout) override {
    if (!told_.exchange(true)) waiting_.set_value();
    ScriptBackend::Pump(dialog, lock, timeout);
  }
  std::shared_future<void> Waiting() { return waiting_.get_future().share(); }

 private:
  std::promise<void> waiting_;
  std::atomic<bool> told_{false};
};

std::thread ender;
HWND ended_dialog = nullptr;
std::shared_future<void> loop_waiting;
bool ended_while_waiting = false;

INT_PTR EndedElsewhereProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    ended_dialog = dialog;
    ender = std::thread([dialog] {
      ended_while_waiting =
          loop_waiting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      EndDialog(dialog, 42);
    });
  }
  return FALSE;
}

TEST_F(WindowSystem, EndDialogFromAnotherThreadEndsTheLoopWithItsValue) {
  auto backend = std::make_unique<FirstLoopWait>();
  FirstLoopWait& ui = *backend;
  loop_waiting = backend->Waiting();
  host::ui::SetBackend(std::move(backend));
  EXPECT_EQ(RunDialog(IDD_MAIN, EndedElsewhereProc), 42);
  ender.join();
  EXPECT_TRUE(ended_while_waiting) << "the dialog's loop never waited";
  std::vector<UiEvent> ended = ui.Events(Kind::kDialogEnded);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].result, 42);
  // The dialog is gone: its handle no longer names a window.
  SetLastError(0);
  EXPECT_FALSE(EndDialog(ended_dialog, 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetWindowTextW(ended_dialog, u"late"));
}

// A worker that moves the bar until the dialog's procedure sees the cancel command, waiting a
// millisecond for it between steps; it gives up after ten seconds, so that a lost command
// fails instead of hanging.
constexpr int kBarSteps = 1000000;
std::mutex abort_mutex;
std::condition_variable abort_changed;
bool abort_seen = false;
bool worker_gave_up = false;
std::atomic<int> worker_steps{0};

DWORD ProgressWorker(LPVOID parameter) {
  HWND dialog = static_cast<HWND>(parameter);
  HWND bar = GetDlgItem(dialog, kBar);
  SendMessageW(bar, PBM_SETRANGE32, 0, kBarSteps);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int step = 0;
  std::unique_lock lock(abort_mutex);
  while (!abort_seen && step < kBarSteps && std::chrono::steady_clock::now() < give_up) {
    lock.unlock();
    SendMessageW(bar, PBM_SETPOS, ++step, 0);
    lock.lock();
    abort_changed.wait_for(lock, std::chrono::milliseconds(1), [] { return abort_seen; });
  }
  worker_gave_up = !abort_seen;
  lock.unlock();
  worker_steps = step;
  EndDialog(dialog, step);
  return 0;
}

INT_PTR CancellableProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    {
      std::lock_guard lock(abort_mutex);
      abort_seen = false;
    }
    CloseHandle(CreateThread(nullptr, 0, ProgressWorker, dialog, 0, nullptr));
  }
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) {
    {
      std::lock_guard lock(abort_mutex);
      abort_seen = true;
    }
    abort_changed.notify_all();
  }
  return message == WM_COMMAND;
}

TEST_F(WindowSystem, CancelCommandReachesADialogWhoseWorkerMovesItsProgress) {
  ui().When([](const UiEvent& e) { return e.kind == Kind::kProgressPos; }, IDCANCEL);
  INT_PTR result = RunDialog(IDD_UPDATE, CancellableProc);
  {
    std::lock_guard lock(abort_mutex);
    EXPECT_TRUE(abort_seen);
    EXPECT_FALSE(worker_gave_up) << "the worker moved the bar for ten seconds without a cancel";
  }
  EXPECT_EQ(result, worker_steps);
  std::vector<UiEvent> positions = ui().Events(Kind::kProgressPos);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.front().low, 1);
  EXPECT_EQ(positions.back().low, result);
}

// --- Controls ------------------------------------------------------------------------------

struct ProgressStep {
  const char* what;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  LRESULT returned;
  int position_after;
};

constexpr LPARAM Range(int low, int high) { return (low & 0xFFFF) | ((high & 0xFFFF) << 16); }

// One sequence on one bar: each step sees what the steps before it left.
const ProgressStep kProgressSteps[] = {
    {"a 32-bit range returns the default range", PBM_SETRANGE32, 0, 200, Range(0, 100), 0},
    {"a position inside the range", PBM_SETPOS, 150, 0, 0, 150},
    {"a position above the range is the top", PBM_SETPOS, 500, 0, 150, 200},
    {"a position below the range is the bottom", PBM_SETPOS, static_cast<WPARAM>(-5), 0, 200, 0},
    {"back inside", PBM_SETPOS, 120, 0, 0, 120},
    {"a 16-bit range returns the old one and pulls the position in", PBM_SETRANGE, 0, Range(10, 50),
     Range(0, 200), 50},
    {"the position", PBM_GETPOS, 0, 0, 50, 50},
    {"the low end", PBM_GETRANGE, TRUE, 0, 10, 50},
    {"the high end", PBM_GETRANGE, FALSE, 0, 50, 50},
    {"a range above the position pulls it up", PBM_SETRANGE32, 60, 70, Range(10, 50), 60},
};

std::vector<std::string> progress_failures;

INT_PTR ProgressStepsProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  HWND bar = GetDlgItem(dialog, kBar);
  for (const ProgressStep& step : kProgressSteps) {
    LRESULT returned = SendMessageW(bar, step.message, step.wparam, step.lparam);
    LRESULT position = SendMessageW(bar, PBM_GETPOS, 0, 0);
    if (returned != step.returned || position != step.position_after) {
      progress_failures.push_back(std::string(step.what) + ": returned " +
                                  std::to_string(returned) + ", position " +
                                  std::to_string(position));
    }
  }
  EndDialog(dialog, 0);
  return TRUE;
}

TEST_F(WindowSystem, ProgressBarClampsItsPositionAndReturnsThePreviousValue) {
  progress_failures.clear();
  ASSERT_EQ(RunDialog(IDD_UPDATE, ProgressStepsProc), 0);
  for (const std::string& failure : progress_failures) ADD_FAILURE() << failure;
  std::vector<UiEvent> ranges = ui().Events(Kind::kProgressRange);
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ(ranges[1].low, 10);
  EXPECT_EQ(ranges[1].high, 50);
  EXPECT_EQ(ranges[2].low, 60);
  EXPECT_EQ(ranges[2].high, 70);
}

struct TextResults {
  BOOL unknown_item = TRUE;
  DWORD unknown_error = 0;
  BOOL known_item = FALSE;
  HWND missing_control = reinterpret_cast<HWND>(1);
  LRESULT button_progress = -1;
} text_results;

INT_PTR TextProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  SetLastError(0);
  text_results.unknown_item = SetDlgItemTextW(dialog, 4711, u"nowhere");
  text_results.unknown_error = GetLastError();
  text_results.known_item = SetDlgItemTextW(dialog, kLabel, u"Section: 1");
  text_results.missing_control = GetDlgItem(dialog, 4711);
  // A progress message to a control that is not a bar does nothing.
  text_results.button_progress = SendMessageW(GetDlgItem(dialog, IDCANCEL), PBM_SETPOS, 5, 0);
  EndDialog(dialog, 0);
  return TRUE;
}

TEST_F(WindowSystem, TextOfAnUnknownItemFailsAndChangesNothing) {
  text_results = {};
  RunDialog(IDD_UPDATE, TextProc);
  EXPECT_FALSE(text_results.unknown_item);
  EXPECT_EQ(text_results.unknown_error, ERROR_INVALID_HANDLE);
  EXPECT_TRUE(text_results.known_item);
  EXPECT_EQ(text_results.missing_control, nullptr);
  EXPECT_EQ(text_results.button_progress, 0);
  std::vector<UiEvent> texts = ui().Events(Kind::kItemText);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].id, kLabel);
  EXPECT_EQ(texts[0].text, u"Section: 1");
  EXPECT_TRUE(ui().Events(Kind::kProgressPos).empty());
}

TEST_F(WindowSystem, DialogThatCannotBeMadeReturnsMinusOne) {
  struct Case {
    const char* what;
    LPCWSTR name;
    DLGPROC procedure;
  };
  const Case cases[] = {
      {"unknown template id", MAKEINTRESOURCEW(4711), InnerProc},
      {"template named by a string", u"IDD_MAIN", InnerProc},
      {"no procedure", MAKEINTRESOURCEW(IDD_MAIN), nullptr},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamW(nullptr, c.name, nullptr, c.procedure, 0), -1) << c.what;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
  }
  EXPECT_TRUE(ui().Events().empty());
}

INT_PTR CancelProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) EndDialog(dialog, 3);
  return message == WM_COMMAND;
}

TEST(WindowSystemFreshProcess, ProgressDialogNeedsTheCommonControlsRegistered) {
  EXPECT_IN_FRESH_PROCESS({
    ScriptBackend& ui = host::ui::UseScriptBackend();
    ui.When([](const UiEvent& e) { return e.kind == Kind::kDialogOpened; }, IDCANCEL, true);
    SetLastError(0);
    EXPECT_EQ(RunDialog(IDD_UPDATE, CancelProc), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(ui.Events().empty());
    // A dialog without progress bars needs nothing registered.
    EXPECT_EQ(RunDialog(IDD_MAIN, CancelProc), 3);
    InitCommonControls();
    EXPECT_EQ(RunDialog(IDD_UPDATE, CancelProc), 3);
  });
}

// --- Message boxes -------------------------------------------------------------------------

TEST_F(WindowSystem, MessageBoxFlagsChooseTheButtonsAndTheDefault) {
  struct Case {
    const char* what;
    UINT type;
    std::vector<int> buttons;
    int answer;
  };
  const Case cases[] = {
      {"MB_OK", MB_OK, {IDOK}, IDOK},
      {"MB_OK|MB_DEFBUTTON2", MB_OK | MB_DEFBUTTON2, {IDOK}, IDOK},
      {"MB_OKCANCEL", MB_OKCANCEL, {IDOK, IDCANCEL}, IDOK},
      {"MB_OKCANCEL|MB_DEFBUTTON2", MB_OKCANCEL | MB_DEFBUTTON2, {IDOK, IDCANCEL}, IDCANCEL},
      {"MB_YESNO", MB_YESNO, {IDYES, IDNO}, IDYES},
      {"MB_YESNO|MB_DEFBUTTON2", MB_YESNO | MB_DEFBUTTON2, {IDYES, IDNO}, IDNO},
      {"MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2",
       MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2,
       {IDYES, IDNO},
       IDNO},
  };
  for (const Case& c : cases) {
    host::ui::MessageBoxButtons buttons = host::ui::ButtonsOf(c.type);
    EXPECT_EQ(buttons.ids, c.buttons) << c.what;
    ASSERT_LT(static_cast<std::size_t>(buttons.default_index), buttons.ids.size()) << c.what;
    EXPECT_EQ(buttons.ids[buttons.default_index], c.answer) << c.what;
    EXPECT_EQ(MessageBoxW(nullptr, u"Question", u"Caption", c.type), c.answer) << c.what;
  }
  std::vector<UiEvent> boxes = ui().Events(Kind::kMessageBox);
  ASSERT_EQ(boxes.size(), std::size(cases));
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].flags, cases[i].type) << cases[i].what;
    EXPECT_EQ(boxes[i].result, cases[i].answer) << cases[i].what;
  }
}

TEST_F(WindowSystem, MessageBoxTakesQueuedAnswersThenDefaults) {
  ui().AnswerMessageBoxes({IDYES});
  EXPECT_EQ(MessageBoxW(nullptr, u"Clear?", u"Registry", MB_YESNO | MB_DEFBUTTON2), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, u"Clear?", u"Registry", MB_YESNO | MB_DEFBUTTON2), IDNO);
  // Without a caption the box says "Error", as Windows does.
  MessageBoxW(nullptr, u"Something", nullptr, MB_OK);
  EXPECT_EQ(ui().Events(Kind::kMessageBox).back().caption, u"Error");
}

HWND worker_box_dialog = nullptr;

DWORD MessageBoxWorker(LPVOID parameter) {
  HWND dialog = static_cast<HWND>(parameter);
  MessageBoxW(dialog, u"Update done", u"Update", MB_OK);
  EndDialog(dialog, 5);
  return 0;
}

INT_PTR WorkerBoxProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    worker_box_dialog = dialog;
    CloseHandle(CreateThread(nullptr, 0, MessageBoxWorker, dialog, 0, nullptr));
  }
  return FALSE;
}

TEST_F(WindowSystem, MessageBoxFromAWorkerIsOwnedByItsDialogWhileTheDialogStaysOpen) {
  EXPECT_EQ(RunDialog(IDD_UPDATE, WorkerBoxProc), 5);
  std::vector<UiEvent> events = ui().Events();
  std::size_t box = IndexOf(events, Kind::kMessageBox);
  std::size_t ended = IndexOf(events, Kind::kDialogEnded);
  ASSERT_LT(box, events.size());
  EXPECT_LT(box, ended);
  EXPECT_EQ(events[box].owner, worker_box_dialog);
  EXPECT_EQ(events[box].template_id, IDD_UPDATE);
  EXPECT_EQ(events[box].text, u"Update done");
}

// --- The file-open dialog ------------------------------------------------------------------

TEST(FileDialogFilter, PairsAreDescriptionAndPatternUntilAnEmptyString) {
  auto pairs = host::ui::FilterPairs(u"IMAGE files\0*.bin\0All files\0*.*\0");
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].first, u"IMAGE files");
  EXPECT_EQ(pairs[0].second, u"*.bin");
  EXPECT_EQ(pairs[1].first, u"All files");
  EXPECT_EQ(pairs[1].second, u"*.*");
  EXPECT_TRUE(host::ui::FilterPairs(nullptr).empty());
  EXPECT_TRUE(host::ui::FilterPairs(u"").empty());
}

TEST(FileDialogFilter, PatternsMatchNamesWithoutRegardToCase) {
  struct Case {
    std::u16string_view name;
    std::u16string_view patterns;
    bool matches;
  };
  const Case cases[] = {
      {u"nk.bin", u"*.bin", true},      {u"NK.BIN", u"*.bin", true},
      {u"nk.bin", u"*.BIN", true},      {u"Eboot.Nb0", u"*.bin;*.nb0", true},
      {u"nk.bin.txt", u"*.bin", false}, {u"nk.bi", u"*.bin", false},
      {u"bin", u"*.bin", false},        {u"n1.bin", u"n?.bin", true},
      {u"n12.bin", u"n?.bin", false},   {u"readme", u"*.*", true},
      {u"nk.bin", u"*.*", true},        {u"nk.bin", u"*.txt;*.*", true},
      {u"nk.bin", u"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host::ui::MatchesPattern(c.name, c.patterns), c.matches)
        << host::Utf8(c.name) << " against " << host::Utf8(c.patterns);
  }
}

class FileDialog : public WindowSystem {
 protected:
  void SetUp() override {
    WindowSystem::SetUp();
    test::ModuleSetup setup;
    setup.cfi_size = 0x14;  // 2 x 1 MB: room for the bootloader and an image
    module_ = test::OpenNewModule(dir_ / "module", setup);
    images_ = dir_ / "module" / "fs" / "USB HD" / "IMAGES";
    std::filesystem::create_directories(images_);
    std::ofstream(images_ / "nk.bin") << "image";
    std::ofstream(images_ / "README") << "text";
  }

  // Runs the dialog with `answers` and the flags; the chosen path is in file_.
  BOOL Open(std::vector<std::u16string> answers, DWORD flags, DWORD max_file = 260) {
    ui().AnswerOpenFiles(std::move(answers));
    std::fill(std::begin(file_), std::end(file_), u'\0');
    ofn_ = {};
    ofn_.lStructSize = sizeof ofn_;
    ofn_.lpstrFilter = u"IMAGE files\0*.bin\0";
    ofn_.nFilterIndex = 1;
    ofn_.lpstrFile = file_;
    ofn_.nMaxFile = max_file;
    ofn_.lpstrInitialDir = u"\\USB HD\\IMAGES";
    ofn_.Flags = flags;
    return GetOpenFileNameW(&ofn_);
  }

  test::TempDir dir_;
  std::unique_ptr<host::Module> module_;
  std::filesystem::path images_;
  WCHAR file_[300];
  OPENFILENAMEW ofn_;
};

constexpr DWORD kMustExist = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;

TEST_F(FileDialog, ChosenPathLandsInTheBufferWithNameAndExtensionOffsets) {
  ASSERT_TRUE(Open({u"\\USB HD\\IMAGES\\nk.bin"}, kMustExist));
  EXPECT_EQ(std::u16string(file_), u"\\USB HD\\IMAGES\\nk.bin");
  EXPECT_EQ(ofn_.nFileOffset, 15);
  EXPECT_EQ(ofn_.nFileExtension, 18);
  std::vector<UiEvent> asked = ui().Events(Kind::kOpenFile);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, u"\\USB HD\\IMAGES");
  EXPECT_EQ(asked[0].caption, u"*.bin");
  EXPECT_TRUE(ui().Events(Kind::kMessageBox).empty());
}

TEST_F(FileDialog, NameWithoutExtensionPointsTheExtensionAtTheTerminator) {
  ASSERT_TRUE(Open({u"\\USB HD\\IMAGES\\README"}, kMustExist));
  EXPECT_EQ(ofn_.nFileOffset, 15);
  EXPECT_EQ(ofn_.nFileExtension, 21);
}

TEST_F(FileDialog, MissingFileShowsNotFoundAndAsksAgain) {
  ASSERT_TRUE(Open({u"\\USB HD\\IMAGES\\gone.bin", u"\\USB HD\\IMAGES\\nk.bin"}, kMustExist));
  EXPECT_EQ(std::u16string(file_), u"\\USB HD\\IMAGES\\nk.bin");
  EXPECT_EQ(ui().Events(Kind::kOpenFile).size(), 2u);
  std::vector<UiEvent> boxes = ui().Events(Kind::kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].text.find(u"gone.bin"), std::u16string::npos);
  EXPECT_NE(boxes[0].text.find(u"File not found."), std::u16string::npos);
}

TEST_F(FileDialog, MustExistRulesRefuseWhatIsNotThere) {
  struct Case {
    const char* what;
    std::u16string path;
    DWORD flags;
    const char16_t* complaint;  // null: accepted
  };
  const Case cases[] = {
      {"missing folder", u"\\NO DISK\\nk.bin", OFN_PATHMUSTEXIST, u"Path does not exist."},
      {"missing file", u"\\USB HD\\IMAGES\\gone.bin", OFN_FILEMUSTEXIST, u"File not found."},
      {"a folder is not a file", u"\\USB HD\\IMAGES", OFN_FILEMUSTEXIST, u"File not found."},
      {"a path out of the file system", u"\\USB HD\\..\\..\\module.toml", OFN_FILEMUSTEXIST,
       u"File not found."},
      {"missing file, folder must exist", u"\\USB HD\\IMAGES\\gone.bin", OFN_PATHMUSTEXIST,
       nullptr},
      {"missing file without rules", u"\\NO DISK\\gone.bin", 0, nullptr},
  };
  for (const Case& c : cases) {
    std::size_t boxes_before = ui().Events(Kind::kMessageBox).size();
    // Asked again after a complaint, the dialog is cancelled (no answer left).
    BOOL chosen = Open({c.path}, c.flags);
    std::vector<UiEvent> boxes = ui().Events(Kind::kMessageBox);
    if (c.complaint) {
      EXPECT_FALSE(chosen) << c.what;
      ASSERT_EQ(boxes.size(), boxes_before + 1) << c.what;
      EXPECT_NE(boxes.back().text.find(c.complaint), std::u16string::npos) << c.what;
    } else {
      EXPECT_TRUE(chosen) << c.what;
      EXPECT_EQ(std::u16string(file_), c.path) << c.what;
      EXPECT_EQ(boxes.size(), boxes_before) << c.what;
    }
  }
}

TEST_F(FileDialog, PathMustFitTheBufferWithItsTerminator) {
  const std::u16string path = u"\\USB HD\\IMAGES\\nk.bin";
  const DWORD length = static_cast<DWORD>(path.size());
  SetLastError(0);
  EXPECT_FALSE(Open({path}, kMustExist, length));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(file_[0], u'\0');
  EXPECT_TRUE(Open({path}, kMustExist, length + 1));
  EXPECT_EQ(std::u16string(file_), path);
}

TEST_F(FileDialog, CancelledDialogReturnsFalse) {
  EXPECT_FALSE(Open({u""}, kMustExist));
  EXPECT_FALSE(Open({}, kMustExist));
  EXPECT_TRUE(ui().Events(Kind::kMessageBox).empty());
  EXPECT_EQ(ui().Events(Kind::kOpenFile).size(), 2u);
}

}  // namespace
