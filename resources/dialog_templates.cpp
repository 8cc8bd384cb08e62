// Dialog templates 101 (the main dialog) and 102 (the update dialog), as the resource compiler
// would lay them out: style words, positions and sizes in dialog units, controls in tab order.

#include <iterator>

#include "resources/resources.h"

namespace {

constexpr WORD kLanguageEnglishUs = 0x0409;

constexpr DWORD kMainDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
constexpr DWORD kUpdateDialogStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kHiddenButtonStyle = WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kProgressStyle = WS_CHILD | WS_VISIBLE | WS_BORDER;
constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

static_assert(kMainDialogStyle == 0x80C800C0);
static_assert(kUpdateDialogStyle == 0x80C000C0);
static_assert(kButtonStyle == 0x50010000);
static_assert(kHiddenButtonStyle == 0x40010000);
static_assert(kProgressStyle == 0x50800000);
static_assert(kLabelStyle == 0x50020000);

constexpr DialogItemTemplate kMainItems[] = {
    {1001, TEXT("button"), TEXT("Save Registry to Flash"), kButtonStyle, 7, 7, 105, 19},
    {1000, TEXT("button"), TEXT("Clear Registry on Flash"), kButtonStyle, 7, 28, 105, 19},
    {1002, TEXT("button"), TEXT("Update Bootloader/Image"), kButtonStyle, 7, 49, 105, 19},
    {1004, TEXT("button"), TEXT("BSP Version"), kButtonStyle, 7, 70, 105, 19},
    {1003, TEXT("button"), TEXT("Coldboot"), kButtonStyle, 69, 93, 43, 19},
    {1005, TEXT("button"), TEXT("Warmboot"), kButtonStyle, 7, 93, 43, 19},
};

constexpr DialogItemTemplate kUpdateItems[] = {
    {IDCANCEL, TEXT("button"), TEXT("Abort"), kHiddenButtonStyle, 52, 71, 58, 11},
    {1002, TEXT("msctls_progress32"), TEXT("Progress1"), kProgressStyle, 7, 20, 157, 13},
    {1003, TEXT("msctls_progress32"), TEXT("Progress2"), kProgressStyle, 7, 52, 157, 14},
    {1004, TEXT("static"), TEXT(""), kLabelStyle, 7, 7, 157, 10},
    {1005, TEXT("static"), TEXT(""), kLabelStyle, 7, 39, 157, 10},
};

constexpr int CountOf(const auto& array) { return static_cast<int>(std::size(array)); }

constexpr DialogTemplate kTemplates[] = {
    {IDD_MAIN, kLanguageEnglishUs, kMainDialogStyle, 0, 0, 119, 119, TEXT("System"), 8,
     TEXT("Imbrel"), kMainItems, CountOf(kMainItems)},
    {IDD_UPDATE, kLanguageEnglishUs, kUpdateDialogStyle, 0, 0, 171, 89, TEXT("System"), 8,
     TEXT("Updating IMAGE"), kUpdateItems, CountOf(kUpdateItems)},
};

}  // namespace

const DialogTemplate* FindDialogTemplate(WORD id) {
  for (const DialogTemplate& dialog : kTemplates) {
    if (dialog.id == id) return &dialog;
  }
  return NULL;
}
