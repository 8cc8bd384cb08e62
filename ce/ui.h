// The user-interface calls of the CE API surface: dialogs from templates, dialog items,
// progress bars, message boxes, the file-open dialog, threads, formatting and debug output.
#pragma once

#include "ce/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef LONG_PTR INT_PTR;
typedef INT_PTR (*DLGPROC)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

/// A resource id where a resource name is expected.
#define MAKEINTRESOURCEW(id) \
  (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id))))
#define LOWORD(value) (static_cast<WORD>(static_cast<DWORD_PTR>(value) & 0xFFFF))
#define HIWORD(value) (static_cast<WORD>((static_cast<DWORD_PTR>(value) >> 16) & 0xFFFF))

// Window messages.
const UINT WM_SETTEXT = 0x000C;
const UINT WM_GETTEXT = 0x000D;
const UINT WM_CLOSE = 0x0010;
const UINT WM_INITDIALOG = 0x0110;
const UINT WM_COMMAND = 0x0111;
const UINT WM_USER = 0x0400;

// Progress bars.
const UINT PBM_SETRANGE = WM_USER + 1;
const UINT PBM_SETPOS = WM_USER + 2;
const UINT PBM_SETRANGE32 = WM_USER + 6;
const UINT PBM_GETRANGE = WM_USER + 7;
const UINT PBM_GETPOS = WM_USER + 8;

// Dialog and button command ids.
const int IDOK = 1;
const int IDCANCEL = 2;
const int IDYES = 6;
const int IDNO = 7;

// Message box styles.
const UINT MB_OK = 0x00000000;
const UINT MB_OKCANCEL = 0x00000001;
const UINT MB_YESNO = 0x00000004;
const UINT MB_TYPEMASK = 0x0000000F;
const UINT MB_ICONHAND = 0x00000010;
const UINT MB_ICONQUESTION = 0x00000020;
const UINT MB_ICONEXCLAMATION = 0x00000030;
const UINT MB_ICONASTERISK = 0x00000040;
const UINT MB_ICONMASK = 0x000000F0;
const UINT MB_DEFBUTTON1 = 0x00000000;
const UINT MB_DEFBUTTON2 = 0x00000100;
const UINT MB_DEFMASK = 0x00000F00;

// Window and control styles.
const DWORD WS_POPUP = 0x80000000;
const DWORD WS_CHILD = 0x40000000;
const DWORD WS_VISIBLE = 0x10000000;
const DWORD WS_CAPTION = 0x00C00000;
const DWORD WS_BORDER = 0x00800000;
const DWORD WS_SYSMENU = 0x00080000;
const DWORD WS_GROUP = 0x00020000;
const DWORD WS_TABSTOP = 0x00010000;
const DWORD DS_MODALFRAME = 0x00000080;
const DWORD DS_SETFONT = 0x00000040;
const DWORD BS_PUSHBUTTON = 0x00000000;
const DWORD SS_LEFT = 0x00000000;

// The file-open dialog.
const DWORD OFN_PATHMUSTEXIST = 0x00000800;
const DWORD OFN_FILEMUSTEXIST = 0x00001000;

struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCWSTR lpstrFilter;  // pairs of description and pattern, each zero-terminated; "" ends
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;  // 1-based
  LPWSTR lpstrFile;    // in: initial name; out: the chosen path
  DWORD nMaxFile;      // characters in lpstrFile
  LPWSTR lpstrFileTitle;
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;
  WORD nFileExtension;
  LPCWSTR lpstrDefExt;
  LPARAM lCustData;
  void* lpfnHook;
  LPCWSTR lpTemplateName;
};

/// Registers the common controls (progress bars).
void InitCommonControls();

/// Runs the dialog of template `template_name` (MAKEINTRESOURCEW(id)) modally; returns the
/// value given to EndDialog, or -1 when the dialog cannot be made.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR template_name, HWND owner, DLGPROC procedure,
                        LPARAM init_param);
/// Ends a modal dialog; callable from any thread. The modal loop returns `result`.
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text);
HWND GetDlgItem(HWND dialog, int item);
/// Safe from any thread: a control's change shows at once.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
/// Modal over its owner; returns IDOK, IDCANCEL, IDYES or IDNO.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
/// Non-zero when a file was chosen; its path is then in lpstrFile.
BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);

/// Formats into `buffer` (at most 1024 characters with the terminator, as on CE): %d, %u,
/// %x, %X with width, zero fill and precision (%.8x), %s (wide), %c, %%. Returns the
/// characters written, without the terminator.
int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);

/// Debug output: formatted like wsprintfW, to the platform's debug channel.
void NKDbgPrintfW(LPCWSTR format, ...);

#ifdef __cplusplus
}  // extern "C"
#endif
