#include "shell/program_state.h"

HINSTANCE AppInstance = NULL;
HWND MainWindow = NULL;
WCHAR ImagePath[kPathChars] = {};
DWORD QuietFlag = 0;
