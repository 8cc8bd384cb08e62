// Process-wide state of the program, shared by the shell and the update.
#pragma once

#include "ce/types.h"
#include "ce/ui.h"

const int kPathChars = 260;

/// The program's instance handle.
extern HINSTANCE AppInstance;
/// The main dialog while it is open; null when the program runs commands without it.
extern HWND MainWindow;
/// The image file of the next update; empty makes the update dialog ask for one.
extern WCHAR ImagePath[kPathChars];
/// Non-zero: no registry result boxes, no overwrite warning and no restart question.
extern DWORD QuietFlag;
