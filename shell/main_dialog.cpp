#include "shell/main_dialog.h"

#include "ce/kernel.h"
#include "ce/registry.h"
#include "platform/platform_codes.h"
#include "platform/reboot.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "shell/version_report.h"
#include "update/update_dialog.h"

void SaveRegistry(HWND owner) {
  bool saved = RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS;
  if (!QuietFlag) {
    MessageBoxW(owner, saved ? TEXT("Registry Successfully Saved") : TEXT("Registry Save FAILED!"),
                TEXT("Registry"), MB_OK);
  }
}

void ClearRegistry(HWND owner) {
  bool cleared = KernelIoControl(kIoctlRegistryClear, NULL, 0, NULL, 0, NULL) != 0;
  if (!QuietFlag) {
    MessageBoxW(owner,
                cleared ? TEXT("Registry Successfully Cleared") : TEXT("Registry Clear FAILED!"),
                TEXT("Registry"), MB_OK);
  }
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    WCHAR title[64];
    wsprintfW(title, TEXT("Imbrel %d.%d"), kVersionMajor, kVersionMinor);
    SetWindowTextW(dialog, title);
    MainWindow = dialog;
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wparam)) {
    case IDCANCEL:
      EndDialog(dialog, 0);
      break;
    case kButtonClearRegistry:
      ClearRegistry(dialog);
      break;
    case kButtonSaveRegistry:
      SaveRegistry(dialog);
      break;
    case kButtonUpdate:
      DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_UPDATE), dialog, UpdateDialogProc, 0);
      break;
    case kButtonColdboot:
      Reboot(1);
      break;
    case kButtonVersion:
      ShowVersionReport(dialog);
      break;
    case kButtonWarmboot:
      Reboot(0);
      break;
  }
  return TRUE;
}
