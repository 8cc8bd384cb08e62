// imbrel-ui-demo: runs the program's two dialog templates with small dialog procedures written
// as device code, under any window system, for the window-system tests and for a look by hand.
//
// Main dialog: "Save Registry to Flash" sets the title to "Saved"; "Clear Registry on Flash"
// asks yes/no (default no) and puts the answer in the title; "Update Bootloader/Image" opens
// the update dialog; "BSP Version" shows a two-line message box; "Coldboot"/"Warmboot" set the
// title; cancel ends it. Update dialog: asks for a file unless --file was given, then a worker
// thread moves both bars in ten steps (cancel stops it) and ends the dialog.

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "ce/ce.h"
#include "host/module/module.h"
#include "host/system/text.h"
#include "host/ui/run_outcome.h"
#include "host/ui/ui_options.h"

namespace {

std::atomic<int> abort_requested{0};
std::u16string preset_file;
int step_ms = 0;

DWORD Worker(LPVOID parameter) {
  HWND dialog = static_cast<HWND>(parameter);
  SendMessageW(GetDlgItem(dialog, 1002), PBM_SETRANGE32, 0, 10);
  SendMessageW(GetDlgItem(dialog, 1003), PBM_SETRANGE32, 0, 100);
  int step = 0;
  for (; step < 10 && !abort_requested; ++step) {
    WCHAR text[64];
    wsprintfW(text, u"Section: %.8x  Len: %.8x(%d)", 0x80000 + step * 0x4000, 0x4000, 16384);
    SetDlgItemTextW(dialog, 1004, text);
    SetDlgItemTextW(dialog, 1005, u"Image: 00080000  Len: 00028000(163840)");
    SendMessageW(GetDlgItem(dialog, 1002), PBM_SETPOS, step + 1, 0);
    SendMessageW(GetDlgItem(dialog, 1003), PBM_SETPOS, (step + 1) * 10, 0);
    if (step_ms) std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  MessageBoxW(dialog, abort_requested ? u"Update aborted" : u"Update done", u"Update", MB_OK);
  EndDialog(dialog, step);
  return 0;
}

INT_PTR UpdateProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    WCHAR file[260] = {};
    if (preset_file.empty()) {
      OPENFILENAMEW ofn = {};
      ofn.lStructSize = sizeof ofn;
      ofn.lpstrFilter = u"IMAGE files\0*.bin\0";
      ofn.nFilterIndex = 1;
      ofn.lpstrFile = file;
      ofn.nMaxFile = 260;
      ofn.lpstrInitialDir = u"\\USB HD\\IMAGES";
      ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
      if (!GetOpenFileNameW(&ofn)) {
        EndDialog(dialog, -2);
        return 0;
      }
    }
    abort_requested = 0;
    HANDLE thread = CreateThread(nullptr, 0, Worker, dialog, 0, nullptr);
    CloseHandle(thread);
    return 1;
  }
  if (message == WM_COMMAND && LOWORD(wparam) == IDCANCEL) abort_requested = 1;
  return message == WM_COMMAND;
}

INT_PTR MainProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    WCHAR title[64];
    wsprintfW(title, u"Demo %d.%d", 2, 9);
    SetWindowTextW(dialog, title);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDCANCEL:
      EndDialog(dialog, 0);
      break;
    case 1001:
      SetWindowTextW(dialog, u"Saved");
      break;
    case 1000:
      SetWindowTextW(dialog, MessageBoxW(dialog, u"Clear the registry?", u"Registry",
                                         MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) == IDYES
                                 ? u"Answer: Yes"
                                 : u"Answer: No");
      break;
    case 1002: {
      INT_PTR steps = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(102), dialog, UpdateProc, 0);
      WCHAR title[64];
      wsprintfW(title, u"Update: %d", static_cast<int>(steps));
      SetWindowTextW(dialog, title);
      break;
    }
    case 1004:
      MessageBoxW(dialog, u"Bootloader:\t1.2\nImage:\t3.4", u"BSP Version", MB_OK);
      break;
    case 1003:
      SetWindowTextW(dialog, u"Coldboot");
      break;
    case 1005:
      SetWindowTextW(dialog, u"Warmboot");
      break;
  }
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"imbrel-ui-demo: the program's dialogs under a window system"};
  host::ui::UiOptions ui;
  host::ui::AddUiOptions(app, ui, /*offer_script=*/true);
  std::string module_dir, file;
  app.add_option("--module", module_dir, "module whose fs/ the file-open dialog shows");
  app.add_option("--file", file, "skip the file-open dialog: the update has this file");
  app.add_option("--step-ms", step_ms, "host milliseconds between two update steps");
  CLI11_PARSE(app, argc, argv);
  if (!host::ui::InstallBackend(ui)) return 2;
  host::ui::RecordRun();  // the line that ends each update
  std::unique_ptr<host::Module> module;
  if (!module_dir.empty()) module = host::Module::Open(module_dir);
  preset_file = host::Utf16(file);
  InitCommonControls();
  INT_PTR result = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, MainProc, 0);
  std::printf("main dialog ended: %d\n", static_cast<int>(result));
  return 0;
}
