// What the terminal backend draws with: the ncursesw primitives in the roles of a window's
// parts, the keys, and the views a message box or the file-open dialog draws over the dialogs.
// Only the terminal backend includes this.
#pragma once

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

#include <cctype>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
#include "host/system/ce_paths.h"
#include "host/system/text.h"
#include "host/ui/terminal_layout.h"

#include "host/ui/window_system.h"

namespace host::ui::tui {

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

extern bool use_colors;
extern bool utf8;

attr_t Attr(Role role);

inline int ScreenRows() { return getmaxy(stdscr); }
inline int ScreenCols() { return getmaxx(stdscr); }

// Writes `text` at row, col in at most `width` columns, clipped to the screen.
void Put(int row, int col, std::wstring_view text, int width, Role role);

void Fill(int row, int col, int cols, Role role);

// A line-drawing character (ACS_*) at row, col, `count` times down or across.
void Line(int row, int col, chtype line, int count, bool down, Role role);

// A window's frame: the caption bar as the top row, a border round the rest, the face filled.
void DrawFrame(const CellRect& r, std::wstring_view caption, bool active);

void DrawProgress(int row, int col, int width, const Window& bar);

std::vector<Window*> TabStops(const Window& dialog);

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
    } else if (!key.function && key.code < 128 && std::isalpha(static_cast<int>(key.code))) {
      // A button's first letter answers with it, as on the console (o, c, y, n).
      const int letter = std::tolower(static_cast<int>(key.code));
      for (int id : buttons_.ids) {
        if (std::tolower(static_cast<unsigned char>(ButtonName(id)[0])) == letter) return id;
      }
    }
    return 0;
  }

  /// The keys the box takes, for the status line.
  std::wstring Keys() const {
    std::wstring letters;
    for (int id : buttons_.ids) {
      letters += std::wstring(letters.empty() ? L"" : L"/") +
                 static_cast<wchar_t>(std::tolower(static_cast<unsigned char>(ButtonName(id)[0])));
    }
    return L"Enter: " + terminal::Wide(Utf16(ButtonName(buttons_.ids[focus_]))) +
           L"   Tab: next button   " + letters + L": that button   Esc/Ctrl-C: cancel";
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

std::u16string Lowered(std::u16string_view text);

bool IsCeDirectory(const std::u16string& ce_path);

std::u16string ChildPath(const std::u16string& directory, const std::u16string& name);

std::u16string ParentPath(const std::u16string& directory);

// "USB HD\IMAGES\" or "\USB HD\IMAGES" to "\USB HD\IMAGES"; "" to "\".
std::u16string NormalDirectory(std::u16string path);

// The entries of a CE directory: ".." unless it is the root, the directories, then the files
// that match `patterns`, each group sorted without regard to case.
std::vector<FileEntry> ListDirectory(const std::u16string& directory, std::u16string_view patterns);

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

}  // namespace host::ui::tui
