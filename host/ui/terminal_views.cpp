// The drawing primitives and the file list of the terminal backend's views.

#include "host/ui/terminal_views.h"

namespace host::ui::tui {
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

void Line(int row, int col, chtype line, int count, bool down, Role role) {
  if (count <= 0) return;
  wattrset(stdscr, Attr(role));
  if (down) {
    mvwvline(stdscr, row, col, line, count);
  } else {
    mvwhline(stdscr, row, col, line, count);
  }
}

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

std::u16string NormalDirectory(std::u16string path) {
  if (path.empty() || path[0] != u'\\') path.insert(path.begin(), u'\\');
  while (path.size() > 1 && path.back() == u'\\') path.pop_back();
  return path;
}

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

}  // namespace host::ui::tui
