// The program's compiled resources (resources/imbrel.rc, compiled by windres into a .res and
// linked in as bytes), read as the loader reads an executable's resource section: the
// dialog templates that DialogBoxParamW takes, and the program icon.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "ce/ui.h"

/// One control of a dialog template. Positions and sizes are dialog units.
struct DialogItemTemplate {
  WORD id;
  LPCWSTR class_name;  // "button", "static", "msctls_progress32"
  LPCWSTR text;
  DWORD style;
  short x, y, cx, cy;
};

/// A dialog template (DLGTEMPLATE), with its controls in template order (also the tab
/// order).
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

namespace host::ui {

// Resource types of the .res format.
constexpr WORD kResourceIcon = 3;
constexpr WORD kResourceDialog = 5;
constexpr WORD kResourceGroupIcon = 14;

/// The data of resource `type`/`id` (both ordinals) in the .res bytes `res`; empty when
/// there is none. `language`, when given, receives its language id.
std::span<const BYTE> FindResourceData(std::span<const BYTE> res, WORD type, WORD id,
                                       WORD* language = nullptr);

/// The program's .res, as the build compiled it.
std::span<const BYTE> ProgramResources();

/// Every dialog template of the program's resources, in the order the .res holds them.
std::vector<const DialogTemplate*> DialogTemplates();

}  // namespace host::ui

/// The dialog template with resource id `id` from the program's resources, or null.
const DialogTemplate* FindDialogTemplate(WORD id);

/// The program icon (IDI_PROGRAM) as the bytes of an .ico file, put together from the icon
/// group and its images: the icon directory, then the images. Sets *size to the length.
const BYTE* ProgramIconData(DWORD* size);
