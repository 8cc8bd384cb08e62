#include "shell/program_state.h"

HINSTANCE AppInstance = nullptr;
HWND MainWindow = nullptr;
WCHAR ImagePath[kPathChars] = {};
DWORD QuietFlag = 0;
