// The terminal backend: the modal stack drawn with ncursesw, bottom first, each dialog from its
// template; message boxes and the file-open dialog drawn over it by their own input loops.
//
// Threads: ncurses is not thread-safe, so every ncurses call is made with the UI lock held, by
// whichever loop is topmost (a dialog's Pump, or the loop of a message box or file dialog).
// The notifications, which come from any thread, only mark the screen dirty and wake that loop.

#include "host/ui/terminal_backend.h"

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

#include "host/system/ce_paths.h"
#include "host/system/text.h"
#include "host/ui/terminal_layout.h"
#include "host/ui/terminal_restore.h"

namespace host::ui {

namespace {

using namespace std::chrono_literals;
using terminal::CellRect;

// How long a message box or file dialog waits for a key before looking again, and the least
// time between two redraws when a worker changes a control faster than that.
constexpr std::chrono::milliseconds kTick = 50ms;
constexpr std::chrono::milliseconds kFrame = 20ms;
constexpr int kEscape = 27;

enum class Role {
  kScreen,           // behind the dialogs
  kBody,             // a window's face, its texts and buttons
  kCaption,          // the caption bar of the window that has the input
  kInactiveCaption,  // the caption bar of a window below it
  kFocus,            // the focused button
  kSelected,         // the selected entry of a list: shown as the focus is
  kBarFilled,        // the done part of a progress bar
};

struct Key {
  wint_t code;
  bool function;  // a KEY_* code rather than a character
  bool Is(wint_t character) const { return !function && code == character; }
  bool IsFunction(int key) const { return function && code == static_cast<wint_t>(key); }
  bool IsEnter() const { return Is(L'\n') || Is(L'\r') || IsFunction(KEY_ENTER); }
  bool IsEscape() const { return Is(kEscape); }
  bool IsNext() const { return Is(L'\t') || IsFunction(KEY_RIGHT) || IsFunction(KEY_DOWN); }
  bool IsPrevious() const {
    return IsFunction(KEY_BTAB) || IsFunction(KEY_LEFT) || IsFunction(KEY_UP);
  }
};

// Something a thread's own input loop draws over the dialogs, matched to its modal frame by
// kind and thread.
class Overlay {
 public:
  explicit Overlay(ModalFrame::Kind kind) : kind_(kind), thread_(std::this_thread::get_id()) {}
  virtual ~Overlay() = default;
  bool Matches(const ModalFrame& frame) const {
    return frame.kind == kind_ && frame.thread == thread_;
  }
  virtual void Draw(bool active) = 0;

 private:
  ModalFrame::Kind kind_;
  std::thread::id thread_;
};

bool use_colors = false;
bool utf8 = false;

attr_t Attr(Role role) {
  if (!use_colors) {
    switch (role) {
      case Role::kCaption:
        return A_REVERSE | A_BOLD;
      case Role::kInactiveCaption:
      case Role::kFocus:
      case Role::kSelected:
        return A_REVERSE;
      default:
        return A_NORMAL;
    }
  }
  // Pairs 1 to 5, set up in Start.
  switch (role) {
    case Role::kScreen:
      return COLOR_PAIR(1);
    case Role::kBody:
      return COLOR_PAIR(2);
    case Role::kCaption:
      return COLOR_PAIR(3) | A_BOLD;
    case Role::kInactiveCaption:
      return COLOR_PAIR(4);
    case Role::kFocus:
    case Role::kSelected:
      return COLOR_PAIR(2) | A_REVERSE;
    case Role::kBarFilled:
      return COLOR_PAIR(5);
  }
  return A_NORMAL;
}

int ScreenRows() { return getmaxy(stdscr); }
int ScreenCols() { return getmaxx(stdscr); }

// Writes `text` at row, col in at most `width` columns, clipped to the screen.
void Put(int row, int col, std::wstring_view text, int width, Role role) {
  if (row < 0 || row >= ScreenRows() || col >= ScreenCols()) return;
  std::wstring shown(text);
  for (wchar_t& c : shown) {
    if (c < 0x20 || c == 0x7F) c = L'?';
  }
  if (col < 0) {
    width += col;
    shown = shown.substr(std::min<std::size_t>(shown.size(), -col));
    col = 0;
  }
  shown = terminal::FitText(shown, std::min(width, ScreenCols() - col));
  if (shown.empty()) return;
  wattrset(stdscr, Attr(role));
  mvwaddnwstr(stdscr, row, col, shown.c_str(), static_cast<int>(shown.size()));
}

void Fill(int row, int col, int cols, Role role) {
  if (row < 0 || row >= ScreenRows() || cols <= 0) return;
  if (col < 0) {
    cols += col;
    col = 0;
  }
  if (col >= ScreenCols()) return;
  // A line's cells take the window's attributes as well as their own: set them, every time.
  wattrset(stdscr, Attr(role));
  mvwhline(stdscr, row, col, ' ', std::min(cols, ScreenCols() - col));
}

// A line-drawing character (ACS_*) at row, col, `count` times down or across.
void Line(int row, int col, chtype line, int count, bool down, Role role) {
  if (count <= 0) return;
  wattrset(stdscr, Attr(role));
  if (down) {
    mvwvline(stdscr, row, col, line, count);
  } else {
    mvwhline(stdscr, row, col, line, count);
  }
}

// A window's frame: the caption bar as the top row, a border round the rest, the face filled.
void DrawFrame(const CellRect& r, std::wstring_view caption, bool active) {
  Role caption_role = active ? Role::kCaption : Role::kInactiveCaption;
  Fill(r.row, r.col, r.cols, caption_role);
  Put(r.row, r.col + 1, caption, r.cols - 2, caption_role);
  for (int row = r.row + 1; row < r.row + r.rows; ++row) Fill(row, r.col, r.cols, Role::kBody);
  if (r.rows < 2 || r.cols < 2) return;
  int bottom = r.row + r.rows - 1, right = r.col + r.cols - 1;
  Line(r.row + 1, r.col, ACS_VLINE, r.rows - 2, true, Role::kBody);
  Line(r.row + 1, right, ACS_VLINE, r.rows - 2, true, Role::kBody);
  Line(bottom, r.col, ACS_LLCORNER, 1, false, Role::kBody);
  Line(bottom, r.col + 1, ACS_HLINE, r.cols - 2, false, Role::kBody);
  Line(bottom, right, ACS_LRCORNER, 1, false, Role::kBody);
}

void DrawProgress(int row, int col, int width, const Window& bar) {
  int filled = terminal::ProgressFill(width, bar.range_low, bar.range_high, bar.position);
  // Block characters where the terminal can show them, else characters that read as a bar
  // on any terminal (and in a screen capture).
  Put(row, col, std::wstring(filled, utf8 ? L'\u2588' : L'#'), filled, Role::kBarFilled);
  Put(row, col + filled, std::wstring(width - filled, utf8 ? L'\u2591' : L'.'), width - filled,
      Role::kBody);
}

std::vector<Window*> TabStops(const Window& dialog) {
  std::vector<Window*> stops;
  for (const auto& control : dialog.controls) {
    if (control->kind == ControlKind::kButton && control->visible() &&
        (control->style & WS_TABSTOP)) {
      stops.push_back(control.get());
    }
  }
  return stops;
}

// ---------------------------------------------------------------------------------------------
// Message box.

class MessageBoxView : public Overlay {
 public:
  MessageBoxView(const std::u16string& text, const std::u16string& caption, UINT type)
      : Overlay(ModalFrame::Kind::kMessageBox),
        text_(terminal::Wide(text)),
        caption_(terminal::Wide(caption)),
        buttons_(ButtonsOf(type)),
        focus_(buttons_.default_index) {}

  void Draw(bool active) override {
    int text_width = std::max(10, std::min(ScreenCols() - 8, 72));
    std::vector<std::wstring> lines = terminal::MessageLines(text_, text_width);
    int button_width = 8;
    for (int id : buttons_.ids) {
      button_width = std::max(button_width, static_cast<int>(std::strlen(ButtonName(id))) + 4);
    }
    int count = static_cast<int>(buttons_.ids.size());
    int buttons_cols = count * button_width + (count - 1) * 2;
    int inside = std::max(buttons_cols, terminal::TextWidth(caption_) + 2);
    for (const std::wstring& line : lines) inside = std::max(inside, terminal::TextWidth(line));
    // Rows: caption, blank, the text, blank, buttons, bottom border. A text too long for the
    // screen loses its last lines, never the buttons.
    int text_rows = std::max(0, std::min(static_cast<int>(lines.size()), ScreenRows() - 5));
    CellRect box = terminal::CentredBox(text_rows + 5, inside + 4, ScreenRows(), ScreenCols());
    DrawFrame(box, caption_, active);
    for (int i = 0; i < text_rows; ++i)
      Put(box.row + 2 + i, box.col + 2, lines[i], inside, Role::kBody);
    int col = box.col + (box.cols - buttons_cols) / 2;
    for (int i = 0; i < count; ++i) {
      std::wstring name = terminal::Wide(Utf16(ButtonName(buttons_.ids[i])));
      Put(box.row + box.rows - 2, col, terminal::ButtonLabel(name, button_width), button_width,
          active && i == focus_ ? Role::kFocus : Role::kBody);
      col += button_width + 2;
    }
  }

  // The answer a key gives, or 0 when the box stays.
  int Handle(const Key& key) {
    int count = static_cast<int>(buttons_.ids.size());
    if (key.IsNext()) {
      focus_ = (focus_ + 1) % count;
    } else if (key.IsPrevious()) {
      focus_ = (focus_ + count - 1) % count;
    } else if (key.IsEnter() || key.Is(L' ')) {
      return buttons_.ids[focus_];
    } else if (key.IsEscape()) {
      // As on Windows: Escape is the Cancel button, or OK when that is the only one; a
      // yes/no question must be answered.
      for (int id : buttons_.ids) {
        if (id == IDCANCEL) return IDCANCEL;
      }
      if (count == 1 && buttons_.ids[0] == IDOK) return IDOK;
    }
    return 0;
  }

 private:
  std::wstring text_;
  std::wstring caption_;
  MessageBoxButtons buttons_;
  int focus_;
};

// ---------------------------------------------------------------------------------------------
// File-open dialog.

struct FileEntry {
  std::u16string name;
  bool directory;
};

std::u16string Lowered(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return out;
}

bool IsCeDirectory(const std::u16string& ce_path) {
  auto path = CePathToHost(ce_path);
  std::error_code ec;
  return path && std::filesystem::is_directory(*path, ec);
}

std::u16string ChildPath(const std::u16string& directory, const std::u16string& name) {
  return directory == u"\\" ? u"\\" + name : directory + u"\\" + name;
}

std::u16string ParentPath(const std::u16string& directory) {
  std::size_t slash = directory.rfind(u'\\');
  return slash == 0 || slash == std::u16string::npos ? u"\\" : directory.substr(0, slash);
}

// "USB HD\IMAGES\" or "\USB HD\IMAGES" to "\USB HD\IMAGES"; "" to "\".
std::u16string NormalDirectory(std::u16string path) {
  if (path.empty() || path[0] != u'\\') path.insert(path.begin(), u'\\');
  while (path.size() > 1 && path.back() == u'\\') path.pop_back();
  return path;
}

// The entries of a CE directory: ".." unless it is the root, the directories, then the files
// that match `patterns`, each group sorted without regard to case.
std::vector<FileEntry> ListDirectory(const std::u16string& directory,
                                     std::u16string_view patterns) {
  std::vector<FileEntry> directories, files;
  if (auto path = CePathToHost(directory)) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(*path, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::u16string name = Utf16(it->path().filename().string());
      std::error_code type_ec;
      if (it->is_directory(type_ec)) {
        directories.push_back({name, true});
      } else if (it->is_regular_file(type_ec) && MatchesPattern(name, patterns)) {
        files.push_back({name, false});
      }
    }
  }
  auto by_name = [](const FileEntry& a, const FileEntry& b) {
    std::u16string la = Lowered(a.name), lb = Lowered(b.name);
    return la != lb ? la < lb : a.name < b.name;
  };
  std::sort(directories.begin(), directories.end(), by_name);
  std::sort(files.begin(), files.end(), by_name);
  std::vector<FileEntry> entries;
  if (directory != u"\\") entries.push_back({u"..", true});
  entries.insert(entries.end(), directories.begin(), directories.end());
  entries.insert(entries.end(), files.begin(), files.end());
  return entries;
}

class FileView : public Overlay {
 public:
  explicit FileView(const OPENFILENAMEW& request) : Overlay(ModalFrame::Kind::kOpenFile) {
    title_ = request.lpstrTitle && *request.lpstrTitle ? request.lpstrTitle : u"Open";
    filters_ = FilterPairs(request.lpstrFilter);
    if (filters_.empty()) filters_.emplace_back(u"All files", u"*.*");
    filter_ = std::clamp<int>(static_cast<int>(request.nFilterIndex), 1,
                              static_cast<int>(filters_.size())) -
              1;
    directory_ = NormalDirectory(request.lpstrInitialDir ? request.lpstrInitialDir : u"");
    if (!IsCeDirectory(directory_)) directory_ = u"\\";
    if (request.lpstrFile && *request.lpstrFile) wanted_ = request.lpstrFile;
  }

  const std::u16string& directory() const { return directory_; }
  std::u16string_view patterns() const { return filters_[filter_].second; }

  // Takes a new listing of the directory; selects the entry named `wanted_` if there is one.
  void SetEntries(std::vector<FileEntry> entries) {
    entries_ = std::move(entries);
    selected_ = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (Lowered(entries_[i].name) == Lowered(wanted_)) selected_ = static_cast<int>(i);
    }
    wanted_.clear();
    top_ = 0;
  }

  void Draw(bool active) override {
    CellRect box = terminal::CentredBox(std::min(ScreenRows(), 20), std::min(ScreenCols(), 64),
                                        ScreenRows(), ScreenCols());
    DrawFrame(box, terminal::Wide(title_), active);
    int inside = box.cols - 4, left = box.col + 2;
    Put(box.row + 1, left, L"Look in: " + terminal::Wide(directory_), inside, Role::kBody);
    visible_rows_ = std::max(1, box.rows - 5);
    if (selected_ < top_) top_ = selected_;
    if (selected_ >= top_ + visible_rows_) top_ = selected_ - visible_rows_ + 1;
    for (int i = 0; i < visible_rows_ && top_ + i < static_cast<int>(entries_.size()); ++i) {
      const FileEntry& entry = entries_[top_ + i];
      std::wstring shown = terminal::Wide(entry.name);
      if (entry.directory && entry.name != u"..") shown += L'\\';
      bool selected = top_ + i == selected_;
      Role role = selected && active ? Role::kSelected : Role::kBody;
      Fill(box.row + 2 + i, left, inside, role);
      Put(box.row + 2 + i, left + 1, shown, inside - 2, role);
    }
    if (entries_.empty()) Put(box.row + 2, left + 1, L"(empty)", inside - 2, Role::kBody);
    int arrows = box.col + box.cols - 2;
    if (top_ > 0) Line(box.row + 2, arrows, ACS_UARROW, 1, false, Role::kBody);
    if (top_ + visible_rows_ < static_cast<int>(entries_.size())) {
      Line(box.row + 1 + visible_rows_, arrows, ACS_DARROW, 1, false, Role::kBody);
    }
    const auto& [description, pattern] = filters_[filter_];
    Put(box.row + box.rows - 3, left,
        L"Type: " + terminal::Wide(description) + L" (" + terminal::Wide(pattern) + L")", inside,
        Role::kBody);
    Put(box.row + box.rows - 2, left,
        filters_.size() > 1 ? L"Enter open  Backspace up  Tab type  Esc cancel"
                            : L"Enter open  Backspace up  Esc cancel",
        inside, Role::kBody);
  }

  enum class Action { kNone, kList, kChosen, kCancel };

  // What a key asks for. kList: the directory (or filter) changed and wants a new listing;
  // kChosen: chosen() is the answer.
  Action Handle(const Key& key) {
    int count = static_cast<int>(entries_.size());
    int page = std::max(1, visible_rows_ - 1);
    if (key.IsEscape()) return Action::kCancel;
    if (key.IsFunction(KEY_UP)) selected_ = std::max(0, selected_ - 1);
    if (key.IsFunction(KEY_DOWN)) selected_ = std::min(count - 1, selected_ + 1);
    if (key.IsFunction(KEY_PPAGE)) selected_ = std::max(0, selected_ - page);
    if (key.IsFunction(KEY_NPAGE)) selected_ = std::min(count - 1, selected_ + page);
    if (key.IsFunction(KEY_HOME)) selected_ = 0;
    if (key.IsFunction(KEY_END)) selected_ = count - 1;
    selected_ = std::max(0, selected_);
    if (key.Is(L'\t') && filters_.size() > 1) {
      filter_ = (filter_ + 1) % static_cast<int>(filters_.size());
      return Action::kList;
    }
    if (key.IsFunction(KEY_BACKSPACE) || key.Is(0x7F) || key.Is(L'\b')) return Enter(u"..");
    if (key.IsEnter() && selected_ < count) {
      const FileEntry& entry = entries_[selected_];
      if (entry.directory) return Enter(entry.name);
      chosen_ = ChildPath(directory_, entry.name);
      return Action::kChosen;
    }
    if (!key.function && key.code > L' ' && key.code != 0x7F && count > 0) JumpTo(key.code);
    return Action::kNone;
  }

  const std::u16string& chosen() const { return chosen_; }

 private:
  Action Enter(const std::u16string& name) {
    if (name == u"..") {
      if (directory_ == u"\\") return Action::kNone;
      std::size_t slash = directory_.rfind(u'\\');
      wanted_ = directory_.substr(slash + 1);  // come back up onto the directory just left
      directory_ = ParentPath(directory_);
      return Action::kList;
    }
    std::u16string child = ChildPath(directory_, name);
    if (!IsCeDirectory(child)) return Action::kNone;
    directory_ = child;
    return Action::kList;
  }

  // Selects the next entry after the selection whose name starts with `typed`.
  void JumpTo(wint_t typed) {
    int count = static_cast<int>(entries_.size());
    char16_t lower = Lowered(std::u16string(1, static_cast<char16_t>(typed)))[0];
    for (int step = 1; step <= count; ++step) {
      int i = (selected_ + step) % count;
      if (!entries_[i].name.empty() && Lowered(entries_[i].name.substr(0, 1))[0] == lower) {
        selected_ = i;
        return;
      }
    }
  }

  std::u16string title_;
  std::vector<std::pair<std::u16string, std::u16string>> filters_;
  int filter_ = 0;
  std::u16string directory_;
  std::u16string wanted_;
  std::vector<FileEntry> entries_;
  int selected_ = 0;
  int top_ = 0;
  int visible_rows_ = 1;
  std::u16string chosen_;
};

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

  void UpdateEnded(Window& dialog, const UpdateOutcome& outcome) override {
    // Said once the screen is given back, where it stays in view.
    if (std::string left = LeftBehind(outcome); !left.empty()) {
      AddExitNote("imbrel: [" + Utf8(dialog.text) + "] " + left);
    }
  }

  void DialogEnded(Window& dialog) override {
    focus_.erase(&dialog);
    Changed();
    // No window is left: give the terminal back, so that what the program prints next is
    // seen. This runs on the ended dialog's thread with the lock held, and no loop draws.
    if (ModalStack().empty()) Stop();
  }

  void TextChanged(Window&) override { Changed(); }
  void ProgressChanged(Window&, bool) override { Changed(); }

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
    if (running_) return;
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
      use_colors = has_colors();
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
    wnoutrefresh(stdscr);
    doupdate();
    dirty_ = false;
    last_draw_ = std::chrono::steady_clock::now();
  }

  void DrawDialog(const Window& dialog, bool active) {
    CellRect frame = terminal::DialogFrame(dialog.cx, dialog.cy, ScreenRows(), ScreenCols());
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
    lock.unlock();
    poll(ready, watched, static_cast<int>(timeout.count()));
    char sink[64];
    while (wake_[0] >= 0 && read(wake_[0], sink, sizeof sink) > 0) {
    }
    lock.lock();
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
  static std::optional<Key> Interrupt() {
    if (!interrupt_requested.exchange(false)) return std::nullopt;
    return Key{kEscape, false};
  }

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
