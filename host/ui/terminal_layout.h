// The terminal backend's arithmetic, apart from ncurses: dialog units to character cells,
// centring, progress fill, button labels, and message text broken into lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host::ui::terminal {

/// A rectangle of character cells: its top row, left column, and size.
struct CellRect {
  int row = 0, col = 0, rows = 0, cols = 0;
  bool operator==(const CellRect&) const = default;
};

/// Dialog units per cell: 4 horizontal units a column, 8 vertical units a row.
constexpr int kUnitsPerColumn = 4;
constexpr int kUnitsPerRow = 8;

/// A box of `rows` × `cols` cells centred on a screen of `screen_rows` × `screen_cols`; a box
/// larger than the screen starts at row or column 0.
CellRect CentredBox(int rows, int cols, int screen_rows, int screen_cols);

/// The frame of a dialog whose client area is `cx` × `cy` dialog units, centred: the client
/// area's columns rounded down (as control columns are, so a control that ends at the dialog's
/// edge ends at the last column) and its rows rounded up (a control's centre row may be in the
/// last, partial row), one border column on each side, the caption bar as the top row and a
/// border as the bottom row.
CellRect DialogFrame(int cx, int cy, int screen_rows, int screen_cols);

/// A control's cells relative to the dialog's client area. Columns run from x/4 to (x+cx)/4
/// (both floored, at least one column). A control lower than three rows (24 units) gets the
/// one row at its vertical centre; a taller one the rows from y/8 to (y+cy)/8.
CellRect ControlCells(int x, int y, int cx, int cy);

/// How many of `width` cells a progress bar fills at `position` in the range low..high
/// (either way round); none when the range is empty.
int ProgressFill(int width, int low, int high, int position);

/// The columns `text` takes on a terminal (wcwidth; a character it does not know takes one).
int TextWidth(std::wstring_view text);

/// `text` cut to at most `width` columns.
std::wstring FitText(std::wstring_view text, int width);

/// A push button's face, exactly `width` columns: "[ text ]" with the text centred between
/// the brackets, the text cut when it does not fit.
std::wstring ButtonLabel(std::wstring_view text, int width);

/// A message box's text as lines: broken at '\n', tabs expanded to the next multiple of 8
/// columns, and lines wider than `max_width` wrapped at a blank (or cut where there is none).
std::vector<std::wstring> MessageLines(std::wstring_view text, int max_width);

/// UTF-16 to the terminal's wide characters; a lone surrogate becomes U+FFFD.
std::wstring Wide(std::u16string_view text);

}  // namespace host::ui::terminal
