#include "host/ui/terminal_layout.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "host/system/text.h"

namespace host::ui::terminal {

namespace {

int FloorDiv(int value, int divisor) {
  int quotient = value / divisor;
  return value % divisor != 0 && (value < 0) != (divisor < 0) ? quotient - 1 : quotient;
}

int CeilDiv(int value, int divisor) { return -FloorDiv(-value, divisor); }

int CharWidth(wchar_t c) {
  int width = ::wcwidth(c);
  return width < 0 ? 1 : width;
}

}  // namespace

CellRect CentredBox(int rows, int cols, int screen_rows, int screen_cols) {
  return {std::max(0, (screen_rows - rows) / 2), std::max(0, (screen_cols - cols) / 2), rows, cols};
}

CellRect DialogFrame(int cx, int cy, int screen_rows, int screen_cols) {
  int client_cols = std::max(1, FloorDiv(cx, kUnitsPerColumn));
  int client_rows = std::max(1, CeilDiv(cy, kUnitsPerRow));
  return CentredBox(client_rows + 2, client_cols + 2, screen_rows, screen_cols);
}

CellRect ControlCells(int x, int y, int cx, int cy) {
  CellRect cells;
  cells.col = FloorDiv(x, kUnitsPerColumn);
  cells.cols = std::max(1, FloorDiv(x + cx, kUnitsPerColumn) - cells.col);
  if (cy < 3 * kUnitsPerRow) {
    cells.row = FloorDiv(2 * y + cy, 2 * kUnitsPerRow);
    cells.rows = 1;
  } else {
    cells.row = FloorDiv(y, kUnitsPerRow);
    cells.rows = std::max(1, FloorDiv(y + cy, kUnitsPerRow) - cells.row);
  }
  return cells;
}

int ProgressFill(int width, int low, int high, int position) {
  if (width <= 0 || high == low) return 0;
  std::int64_t done = static_cast<std::int64_t>(position) - low;
  std::int64_t span = static_cast<std::int64_t>(high) - low;
  std::int64_t fill = done * width / span;
  return static_cast<int>(std::clamp<std::int64_t>(fill, 0, width));
}

int TextWidth(std::wstring_view text) {
  int width = 0;
  for (wchar_t c : text) width += CharWidth(c);
  return width;
}

std::wstring FitText(std::wstring_view text, int width) {
  std::wstring out;
  int used = 0;
  for (wchar_t c : text) {
    int w = CharWidth(c);
    if (used + w > width) break;
    out += c;
    used += w;
  }
  return out;
}

std::wstring ButtonLabel(std::wstring_view text, int width) {
  if (width < 2) {
    std::wstring shown = FitText(text, std::max(0, width));
    return shown.empty() && width == 1 ? L" " : shown;
  }
  int inside = width - 2;
  std::wstring shown = FitText(text, inside);
  int spare = inside - TextWidth(shown);
  int left = spare / 2;
  std::wstring label = L"[";
  label.append(left, L' ');
  label += shown;
  label.append(spare - left, L' ');
  label += L']';
  return label;
}

std::vector<std::wstring> MessageLines(std::wstring_view text, int max_width) {
  max_width = std::max(1, max_width);
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(L'\n', start);
    std::wstring_view raw = text.substr(start, end == std::wstring_view::npos ? end : end - start);
    std::wstring line;
    int column = 0;
    for (wchar_t c : raw) {
      if (c == L'\r') continue;
      if (c == L'\t') {
        int next = (column / 8 + 1) * 8;
        line.append(next - column, L' ');
        column = next;
      } else {
        line += c;
        column += CharWidth(c);
      }
    }
    while (TextWidth(line) > max_width) {
      std::wstring head = FitText(line, max_width);
      if (head.empty()) head = line.substr(0, 1);  // a character wider than the box
      std::size_t cut = head.size();
      std::size_t blank = line.rfind(L' ', head.size());
      if (blank != std::wstring::npos && blank > 0) cut = blank;
      std::wstring first = line.substr(0, cut);
      while (!first.empty() && first.back() == L' ') first.pop_back();
      std::size_t rest = cut;
      while (rest < line.size() && line[rest] == L' ') ++rest;
      if (first.empty()) {
        // Nothing but blanks before the cut: cut the word itself.
        first = head;
        rest = head.size();
      }
      lines.push_back(std::move(first));
      line.erase(0, rest);
    }
    lines.push_back(std::move(line));
    if (end == std::wstring_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::wstring Wide(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) out += static_cast<wchar_t>(NextCodePoint(text, &i));
  return out;
}

}  // namespace host::ui::terminal
