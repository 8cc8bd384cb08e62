// The terminal backend: the modal stack drawn with ncursesw, bottom first, each dialog from its
// template; message boxes and the file-open dialog drawn over it by their own input loops.
//
// Threads: ncurses is not thread-safe, so every ncurses call is made with the UI lock held, by
// whichever loop is topmost (a dialog's Pump, or the loop of a message box or file dialog).
// The notifications, which come from any thread, only mark the screen dirty and wake that loop.

#include "host/ui/terminal_backend.h"

#include "host/ui/terminal_views.h"

#define NCURSES_WIDECHAR 1
#define NCURSES_NOMACROS 1
#if __has_include(<ncursesw/curses.h>)
#include <ncursesw/curses.h>
#else
#include <curses.h>
#endif

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>

#include "host/hardware/virtual_clock.h"
#include "host/system/ce_paths.h"
#include "host/system/text.h"
#include "host/ui/run_outcome.h"
#include "host/ui/terminal_layout.h"
#include "host/ui/terminal_restore.h"

namespace host::ui {

namespace {

using namespace tui;

// ---------------------------------------------------------------------------------------------
// The backend.

// Set by the first Ctrl-C; the modal loop turns it into the cancel command (Escape).
std::atomic<bool> interrupt_requested{false};
int interrupt_wake_fd = -1;

void OnFirstInterrupt() {
  interrupt_requested = true;
  if (interrupt_wake_fd >= 0) {
    ssize_t ignored = write(interrupt_wake_fd, "", 1);
    (void)ignored;
  }
}

class TerminalBackend;
TerminalBackend* running_backend = nullptr;  // the one that set up the exit handler
// Set as the process exits: the terminal, given back, is not taken again by a thread that
// draws on while the exit handlers run on another (a Ctrl-C that ends the run).
std::atomic<bool> given_back_for_good{false};
void EndAtExit();

class TerminalBackend final : public Backend {
 public:
  ~TerminalBackend() override {
    // Normally the exit handler has ended curses already; this is for a backend replaced
    // while it draws (SetBackend holds the lock, so ncurses is not called here).
    if (running_backend == this) running_backend = nullptr;
    if (running_) terminal::RestoreTerminalNow();
    if (wake_[0] >= 0) {
      close(wake_[0]);
      close(wake_[1]);
    }
  }

  void DialogOpened(Window& dialog) override {
    std::vector<Window*> stops = TabStops(dialog);
    focus_[&dialog] = stops.empty() ? 0 : stops.front()->id;
    Changed();
  }

  void UpdateStarted(Window& dialog, const UpdateItems& items) override {
    update_ = &dialog;
    progress_ = UpdateProgress(items, ClockNow());
    update_started_ = ClockNow();
  }

  void UpdateEnded(Window& dialog, const UpdateOutcome& outcome) override {
    // On the screen until the next update ends, and once the screen is given back.
    std::string line = outcome.kind == UpdateOutcome::Kind::kDone     ? "Update done"
                       : outcome.kind == UpdateOutcome::Kind::kFailed ? "Update failed: "
                                                                      : "Update cancelled";
    if (outcome.kind == UpdateOutcome::Kind::kFailed) line += Utf8(outcome.error);
    char took[64];
    std::snprintf(took, sizeof took, "; took %.3f s of module time",
                  static_cast<double>(ClockNow() - update_started_) / 1e9);
    line += took;
    line += outcome.relocations;
    if (!outcome.relocations.empty()) {
      AddExitNote("imbrel: [" + Utf8(dialog.text) + "] " + outcome.relocations.substr(2));
    }
    if (std::string left = LeftBehind(outcome); !left.empty()) {
      AddExitNote("imbrel: [" + Utf8(dialog.text) + "] " + left);
      line += ". " + left;
    }
    outcome_ = terminal::Wide(Utf16(line));
    if (update_ == &dialog) update_ = nullptr;
    Changed();
  }

  void DialogEnded(Window& dialog) override {
    focus_.erase(&dialog);
    if (update_ == &dialog) update_ = nullptr;
    Changed();
    // No window is left: give the terminal back, so that what the program prints next is
    // seen. This runs on the ended dialog's thread with the lock held, and no loop draws.
    if (ModalStack().empty()) Stop();
  }

  void TextChanged(Window&) override { Changed(); }
  void ProgressChanged(Window& control, bool) override {
    if (update_ && control.dialog == update_) progress_.Observe(*update_);
    Changed();
  }

  void Pump(Window& dialog, std::unique_lock<std::mutex>& lock,
            std::chrono::milliseconds timeout) override {
    Start();
    auto on_top = [&] {
      const auto& stack = ModalStack();
      return !stack.empty() && stack.back().kind == ModalFrame::Kind::kDialog &&
             stack.back().window == &dialog;
    };
    if (std::optional<Key> key = NextKey(lock, timeout, on_top)) DialogKey(dialog, *key);
  }

  int MessageBox(Window*, const std::u16string& text, const std::u16string& caption,
                 UINT type) override {
    std::unique_lock lock(UiLock());
    MessageBoxView view(text, caption, type);
    int answer = 0;
    RunOverlay(lock, view, [&](const Key& key) {
      answer = view.Handle(key);
      return answer != 0;
    });
    return answer;
  }

  std::u16string OpenFile(const OPENFILENAMEW& request) override {
    std::unique_lock lock(UiLock());
    FileView view(request);
    List(lock, view);
    bool chosen = false;
    RunOverlay(lock, view, [&](const Key& key) {
      switch (view.Handle(key)) {
        case FileView::Action::kList:
          List(lock, view);
          return false;
        case FileView::Action::kChosen:
          chosen = true;
          return true;
        case FileView::Action::kCancel:
          return true;
        case FileView::Action::kNone:
          return false;
      }
      return false;
    });
    return chosen ? view.chosen() : std::u16string();
  }

  // Gives the terminal back (endwin); the next window takes it again. Call with the lock held.
  void Stop() {
    if (!running_) return;
    endwin();
    terminal::SetCursesActive(false);
    running_ = false;
  }

 private:
  // Takes the terminal, the first time with the whole set-up. Call with the lock held.
  void Start() {
    if (running_ || given_back_for_good) return;
    if (!screen_) {
      // Only the character type: ncursesw needs it for wide characters, and the rest of the
      // program must keep the "C" number formats.
      std::setlocale(LC_CTYPE, "");
      utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
      if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
      // Before curses starts, so that it leaves SIGINT and SIGTERM to these handlers.
      terminal::InstallTerminalRestore(STDIN_FILENO, STDOUT_FILENO);
      interrupt_wake_fd = wake_[1];
      terminal::SetFirstInterrupt(OnFirstInterrupt);
      screen_ = newterm(nullptr, stdout, stdin);
      if (!screen_) {
        const char* term = std::getenv("TERM");
        std::fprintf(stderr,
                     "host: the terminal window system cannot use this terminal (TERM=%s)\n",
                     term ? term : "");
        std::fflush(stderr);
        std::_Exit(2);
      }
      std::string reset;
      for (const char* capability : {"rmcup", "cnorm", "sgr0", "rmkx"}) {
        const char* value = tigetstr(capability);
        if (value && value != reinterpret_cast<const char*>(-1)) reset += value;
      }
      terminal::SetResetSequence(reset);
      cbreak();
      noecho();
      keypad(stdscr, TRUE);
      nodelay(stdscr, TRUE);
      curs_set(0);
      set_escdelay(25);
      // NO_COLOR set and not empty: no colours, as https://no-color.org asks.
      const char* no_color = std::getenv("NO_COLOR");
      use_colors = has_colors() && !(no_color && *no_color);
      if (use_colors) {
        start_color();
        init_pair(1, COLOR_BLACK, COLOR_CYAN);   // screen: the desktop
        init_pair(2, COLOR_BLACK, COLOR_WHITE);  // window face
        init_pair(3, COLOR_WHITE, COLOR_BLUE);   // active caption
        init_pair(4, COLOR_WHITE, COLOR_BLACK);  // inactive caption
        init_pair(5, COLOR_BLUE, COLOR_WHITE);   // progress done
      }
      running_backend = this;
      std::atexit(EndAtExit);
      std::at_quick_exit(EndAtExit);  // a module restart ends the process with quick_exit
    } else {
      // After endwin the next refresh takes the terminal back; the whole screen is redrawn.
      clearok(curscr, TRUE);
    }
    terminal::SetCursesActive(true);
    running_ = true;
    dirty_ = true;
    last_draw_ = {};
  }

  void Changed() {
    if (!dirty_ && wake_[1] >= 0) {
      ssize_t ignored = write(wake_[1], "", 1);
      (void)ignored;
    }
    dirty_ = true;
    WakeLoops();
  }

  void DrawIfDue() {
    if (!dirty_ || std::chrono::steady_clock::now() - last_draw_ < kFrame) return;
    Draw();
  }

  // The modal stack, bottom first; only the topmost window shows that it has the input.
  void Draw() {
    wbkgdset(stdscr, ' ' | Attr(Role::kScreen));
    werase(stdscr);
    const auto& stack = ModalStack();
    for (std::size_t i = 0; i < stack.size(); ++i) {
      bool active = i + 1 == stack.size();
      if (stack[i].kind == ModalFrame::Kind::kDialog) {
        DrawDialog(*stack[i].window, active);
        continue;
      }
      for (Overlay* overlay : overlays_) {
        if (overlay->Matches(stack[i])) overlay->Draw(active);
      }
    }
    DrawStatusRows();
    wnoutrefresh(stdscr);
    doupdate();
    dirty_ = false;
    last_draw_ = std::chrono::steady_clock::now();
  }

  // Rows under the dialogs: the last update's outcome (wrapped over up to three rows, since
  // it names what the flash was left as), the work under way (or a notice), and the keys of
  // the window on top.
  static constexpr int kMostOutcomeRows = 3;

  std::vector<std::wstring> OutcomeLines() const {
    std::vector<std::wstring> lines = terminal::MessageLines(outcome_, ScreenCols() - 2);
    if (static_cast<int>(lines.size()) > kMostOutcomeRows) {
      lines.resize(kMostOutcomeRows);
      lines.back() =
          terminal::FitText(lines.back(), ScreenCols() - 4) + (utf8 ? L" \u2026" : L" >");
    }
    return lines;
  }

  int StatusRows() const { return 2 + std::max<int>(1, static_cast<int>(OutcomeLines().size())); }

  // The rows the dialogs are centred in: the screen above the status rows when they fit there.
  int DialogRows(const Window& dialog) const {
    CellRect frame = terminal::DialogFrame(dialog.cx, dialog.cy, 1000, 1000);
    return ScreenRows() - StatusRows() >= frame.rows ? ScreenRows() - StatusRows() : ScreenRows();
  }

  void DrawStatusRows() {
    const int rows = ScreenRows(), cols = ScreenCols();
    const int status_rows = StatusRows();
    if (rows < status_rows + 1) return;
    const bool notice = std::chrono::steady_clock::now() < notice_until_;
    std::vector<std::wstring> lines = OutcomeLines();
    lines.resize(status_rows - 2);
    lines.push_back(notice ? notice_ : WorkLine(cols - 2));
    notice_shown_ = notice;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
      if (lines[i].empty()) continue;
      const int row = rows - status_rows + i;
      Fill(row, 0, cols, Role::kInactiveCaption);
      Put(row, 1, lines[i], cols - 2, Role::kInactiveCaption);
    }
    Fill(rows - 1, 0, cols, Role::kCaption);
    Put(rows - 1, 1, KeysLine(), cols - 2, Role::kCaption);
  }

  // The keys of the window on top.
  std::wstring KeysLine() const {
    const auto& stack = ModalStack();
    if (stack.empty()) return L"";
    const ModalFrame& top = stack.back();
    if (top.kind == ModalFrame::Kind::kMessageBox) {
      for (Overlay* overlay : overlays_) {
        if (overlay->Matches(top)) return static_cast<MessageBoxView*>(overlay)->Keys();
      }
    }
    if (top.kind == ModalFrame::Kind::kOpenFile) {
      return L"Enter: open   arrows: move   letters: jump   Esc/Ctrl-C: cancel";
    }
    if (top.window && TabStops(*top.window).empty()) return L"Esc/Ctrl-C: cancel";
    return L"Enter: press   Tab/arrows: next button   Esc/Ctrl-C: cancel";
  }

  // The update under way, in the columns of a status row.
  std::wstring WorkLine(int columns) {
    if (!update_) return L"";
    return terminal::Wide(
        Utf16(progress_.Line(*update_, ClockNow(), static_cast<std::size_t>(columns))));
  }

  void DrawDialog(const Window& dialog, bool active) {
    CellRect frame = terminal::DialogFrame(dialog.cx, dialog.cy, DialogRows(dialog), ScreenCols());
    DrawFrame(frame, terminal::Wide(dialog.text), active);
    int client_rows = frame.rows - 2, client_cols = frame.cols - 2;
    int focus = active ? Focus(dialog) : 0;
    for (const auto& control : dialog.controls) {
      if (!control->visible()) continue;
      CellRect cells = terminal::ControlCells(control->x, control->y, control->cx, control->cy);
      if (cells.row < 0 || cells.col < 0 || cells.row >= client_rows || cells.col >= client_cols) {
        continue;
      }
      int width = std::min(cells.cols, client_cols - cells.col);
      int rows = std::min(cells.rows, client_rows - cells.row);
      int row = frame.row + 1 + cells.row, col = frame.col + 1 + cells.col;
      std::wstring text = terminal::Wide(control->text);
      switch (control->kind) {
        case ControlKind::kButton:
          Put(row + (rows - 1) / 2, col, terminal::ButtonLabel(text, width), width,
              control->id == focus ? Role::kFocus : Role::kBody);
          break;
        case ControlKind::kProgress:
          DrawProgress(row + (rows - 1) / 2, col, width, *control);
          break;
        case ControlKind::kStatic:
        case ControlKind::kOther: {
          std::vector<std::wstring> lines = terminal::MessageLines(text, width);
          for (int i = 0; i < rows && i < static_cast<int>(lines.size()); ++i) {
            Put(row + i, col, lines[i], width, Role::kBody);
          }
          break;
        }
      }
    }
  }

  // The focused button's id: the one focus_ names while it is a tab stop, else the first tab
  // stop, else 0.
  int Focus(const Window& dialog) {
    std::vector<Window*> stops = TabStops(dialog);
    auto it = focus_.find(&dialog);
    for (Window* stop : stops) {
      if (it != focus_.end() && stop->id == it->second) return stop->id;
    }
    return stops.empty() ? 0 : stops.front()->id;
  }

  void DialogKey(Window& dialog, const Key& key) {
    std::vector<Window*> stops = TabStops(dialog);
    int focus = Focus(dialog);
    int count = static_cast<int>(stops.size());
    int at = 0;
    for (int i = 0; i < count; ++i) {
      if (stops[i]->id == focus) at = i;
    }
    if (key.IsEscape()) {
      PostCommand(dialog, IDCANCEL);
    } else if (count == 0) {
      // Nothing here takes keys (a progress dialog): keep the key for the window that comes
      // up next, as a terminal keeps type-ahead.
      if (typed_ahead_.size() < kTypeAheadKeys) typed_ahead_.push_back(key);
    } else if (key.IsNext()) {
      focus_[&dialog] = stops[(at + 1) % count]->id;
      Changed();
    } else if (key.IsPrevious()) {
      focus_[&dialog] = stops[(at + count - 1) % count]->id;
      Changed();
    } else if (key.IsEnter() || key.Is(L' ')) {
      PostCommand(dialog, focus);
    }
  }

  // Runs a message box's or file dialog's input loop until `handle` says it is done. Waits
  // while another window is above it.
  template <typename Handle>
  void RunOverlay(std::unique_lock<std::mutex>& lock, Overlay& view, Handle handle) {
    Start();
    overlays_.push_back(&view);
    Changed();
    auto on_top = [&] {
      const auto& stack = ModalStack();
      return !stack.empty() && view.Matches(stack.back());
    };
    for (;;) {
      if (!on_top()) {
        lock.unlock();
        std::this_thread::sleep_for(kFrame);
        lock.lock();
        continue;
      }
      std::optional<Key> key = NextKey(lock, kTick, on_top);
      if (key && handle(*key)) break;
      if (key) Changed();
    }
    overlays_.erase(std::find(overlays_.begin(), overlays_.end(), &view));
    Changed();
    // Nothing but this box was on the screen: give the terminal back.
    if (ModalStack().size() <= 1) Stop();
  }

  // Lists the file dialog's directory with the lock released.
  void List(std::unique_lock<std::mutex>& lock, FileView& view) {
    std::u16string directory = view.directory();
    std::u16string patterns(view.patterns());
    lock.unlock();
    std::vector<FileEntry> entries = ListDirectory(directory, patterns);
    lock.lock();
    view.SetEntries(std::move(entries));
    Changed();
  }

  std::optional<Key> ReadKey() {
    for (;;) {
      wint_t code;
      int kind = wget_wch(stdscr, &code);
      if (kind == ERR) return std::nullopt;
      Key key{code, kind == KEY_CODE_YES};
      if (!key.IsFunction(KEY_RESIZE)) return key;
      dirty_ = true;
      last_draw_ = {};
    }
  }

  // Draws what changed, then waits at most `timeout` for a key with the lock released. A key
  // is read only while `on_top` holds: else it belongs to the window that came up meanwhile.
  template <typename OnTop>
  std::optional<Key> NextKey(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                             OnTop on_top) {
    DrawIfDue();
    if (std::optional<Key> key = Interrupt()) return key;
    if (std::optional<Key> key = TypedAhead()) return key;
    if (std::optional<Key> key = ReadKey()) return key;
    pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    nfds_t watched = wake_[0] >= 0 ? 2 : 1;
    if (dirty_) {
      // A redraw is waiting for its frame time: wake for that, not for more changes.
      auto due = kFrame - (std::chrono::steady_clock::now() - last_draw_);
      timeout = std::max(0ms, std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(due)));
      watched = 1;
    }
    if (notice_shown_) {
      // The notice goes when its time ends, though nothing else changes.
      auto left = notice_until_ - std::chrono::steady_clock::now();
      timeout =
          std::max(0ms, std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(left)));
    }
    lock.unlock();
    poll(ready, watched, static_cast<int>(timeout.count()));
    char sink[64];
    while (wake_[0] >= 0 && read(wake_[0], sink, sizeof sink) > 0) {
    }
    lock.lock();
    if (notice_shown_ && std::chrono::steady_clock::now() >= notice_until_) dirty_ = true;
    if (!on_top()) return std::nullopt;
    DrawIfDue();
    if (std::optional<Key> key = Interrupt()) return key;
    return ReadKey();
  }

  // A key kept from a window that took none, for the window on top when it takes keys.
  std::optional<Key> TypedAhead() {
    const auto& stack = ModalStack();
    if (typed_ahead_.empty() || stack.empty()) return std::nullopt;
    if (stack.back().kind == ModalFrame::Kind::kDialog && stack.back().window &&
        TabStops(*stack.back().window).empty()) {
      return std::nullopt;
    }
    Key key = typed_ahead_.front();
    typed_ahead_.pop_front();
    return key;
  }

  // The first Ctrl-C, as the key that cancels the window on top.
  std::optional<Key> Interrupt() {
    if (!interrupt_requested.exchange(false)) return std::nullopt;
    terminal::InterruptTaken();
    notice_ = L"Ctrl-C: cancel sent. Ctrl-C again to quit";
    notice_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    dirty_ = true;
    return Key{kEscape, false};
  }

  std::wstring notice_;  // said for a moment in place of the work line
  std::chrono::steady_clock::time_point notice_until_;
  bool notice_shown_ = false;  // the last drawing showed the notice
  std::wstring outcome_;       // the last update's
  Window* update_ = nullptr;   // the update dialog while it is open
  UpdateProgress progress_;
  std::uint64_t update_started_ = 0;
  SCREEN* screen_ = nullptr;
  bool running_ = false;
  bool dirty_ = true;
  std::chrono::steady_clock::time_point last_draw_;
  int wake_[2] = {-1, -1};
  std::map<const Window*, int> focus_;
  std::vector<Overlay*> overlays_;
  static constexpr std::size_t kTypeAheadKeys = 32;
  std::deque<Key> typed_ahead_;
};

// At exit, ends curses with the lock if it can be had soon; a thread that holds it forever
// (stuck, or the one exiting) gets the terminal back without ncurses.
void EndAtExit() {
  given_back_for_good = true;
  if (!running_backend) return;
  std::unique_lock lock(UiLock(), std::defer_lock);
  for (int attempt = 0; attempt < 20 && !lock.try_lock(); ++attempt) {
    std::this_thread::sleep_for(10ms);
  }
  if (lock.owns_lock()) {
    if (running_backend) running_backend->Stop();
  } else {
    terminal::RestoreTerminalNow();
  }
}

}  // namespace

std::unique_ptr<Backend> MakeTerminalBackend() { return std::make_unique<TerminalBackend>(); }

}  // namespace host::ui
