// The update dialog (template 102): it obtains the image file, starts the update worker on a
// thread of its own, turns the cancel command into a stop request, and shows the progress.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"
#include "shell/program_state.h"

// Items of the update dialog.
const int kItemRecordBar = 1002;   // the current record, or the erase
const int kItemImageBar = 1003;    // the whole image
const int kItemRecordText = 1004;  // the current record, or the erase position
const int kItemImageText = 1005;   // the image

/// Initial directory of the file-open dialog: "\USB HD\IMAGES" at start, afterwards the
/// directory of the last file chosen there.
extern WCHAR ImageDirectory[kPathChars];
/// Non-zero asks the worker to stop; set by the cancel command.
extern volatile DWORD AbortFlag;

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

/// Erase progress in the update dialog: (bytes done, bytes in all) → 0 to stop.
int EraseProgress(DWORD done, DWORD total);
