// The program's resources: dialog templates as data, and the icon.
#pragma once

#include "ce/ui.h"

constexpr WORD IDD_MAIN = 101;     // the main dialog
constexpr WORD IDD_UPDATE = 102;   // the update dialog
constexpr WORD IDI_PROGRAM = 102;  // icon group: 32 x 32 and 16 x 16, 16 colours

/// One control of a dialog template. Positions and sizes are dialog units.
struct DialogItemTemplate {
  WORD id;
  LPCWSTR class_name;  // "button", "static", "msctls_progress32"
  LPCWSTR text;
  DWORD style;
  short x, y, cx, cy;
};

/// A dialog template, with its controls in template order (also the tab order).
struct DialogTemplate {
  WORD id;
  WORD language;  // 0x0409, English (United States)
  DWORD style;
  short x, y, cx, cy;
  LPCWSTR font;
  WORD font_points;
  LPCWSTR caption;
  const DialogItemTemplate* items;
  int item_count;
};

/// The template with resource id `id`, or null.
const DialogTemplate* FindDialogTemplate(WORD id);

/// The program icon (IDI_PROGRAM) as the bytes of its .ico file: the icon directory, then
/// the 32 x 32 and the 16 x 16 image, 16 colours each. Sets *size to the length in bytes.
const BYTE* ProgramIconData(DWORD* size);
