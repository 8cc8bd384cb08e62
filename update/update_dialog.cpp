#include "update/update_dialog.h"

#include "ce/kernel.h"
#include "ce/wide_text.h"
#include "update/update_worker.h"

WCHAR ImageDirectory[kPathChars] = TEXT("\\USB HD\\IMAGES");
volatile DWORD AbortFlag = 0;

namespace {

DWORD WINAPI WorkerEntry(LPVOID dialog) {
  return static_cast<DWORD>(UpdateWorker(static_cast<HWND>(dialog)));
}

void StartWorker(HWND dialog) {
  HANDLE thread = CreateThread(NULL, 0, WorkerEntry, dialog, 0, NULL);
  if (thread) {
    // Nothing waits for the worker: it ends the dialog itself.
    CloseHandle(thread);
    return;
  }
  // Without a worker nobody else would end the dialog: say so and end it here, as the worker
  // ends a run that did not start.
  MessageBoxW(dialog, TEXT("Error starting the update!"), TEXT("ERROR"), MB_OK);
  ImagePath[0] = 0;
  EndDialog(dialog, 0);
}

}  // namespace

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    if (ImagePath[0]) {
      StartWorker(dialog);
      return 1;
    }
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = MainWindow;
    ofn.lpstrFilter = TEXT("IMAGE files\0*.bin\0");
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = ImagePath;
    ofn.nMaxFile = kPathChars;
    ofn.lpstrInitialDir = ImageDirectory;
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&ofn)) {
      EndDialog(dialog, 0);
      return 0;
    }
    // The next file-open dialog starts in the chosen file's directory.
    StringCchCopyW(ImageDirectory, kPathChars, ImagePath);
    if (WCHAR* last = wcsrchr(ImageDirectory, TEXT('\\'))) *last = 0;
    AbortFlag = 0;
    StartWorker(dialog);
    return 1;
  }
  if (message == WM_COMMAND) {
    if (LOWORD(wparam) == IDCANCEL) AbortFlag = 1;
    return 1;
  }
  return 0;
}

int EraseProgress(DWORD done, DWORD total) {
  if (done == 0) {
    DWORD kilobytes = total / 1024;
    SendMessageW(GetDlgItem(UpdateDialogWindow, kItemRecordBar), PBM_SETRANGE32, 0,
                 kilobytes > 1 ? kilobytes : 1);
  }
  if (done < total) {
    WCHAR text[64];
    wsprintfW(text, TEXT("Erasing Flash Sector at %.8x"), EraseStart + done);
    SetDlgItemTextW(UpdateDialogWindow, kItemRecordText, text);
  } else {
    SetDlgItemTextW(UpdateDialogWindow, kItemRecordText, TEXT("done"));
  }
  SendMessageW(GetDlgItem(UpdateDialogWindow, kItemRecordBar), PBM_SETPOS, done / 1024, 0);
  return AbortFlag ? 0 : 1;
}
