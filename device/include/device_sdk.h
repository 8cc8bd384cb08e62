// The CE API surface as the device sees it: the Windows SDK's own headers, and the few calls
// and constants that only Windows CE has, declared as the CE 5.0 SDK documents them. The
// device check compiles the program against this instead of the host's ce/ headers.
#pragma once

#define STRSAFE_NO_DEPRECATE
// The desktop SDK declares WinMain with an ANSI command line; CE's takes a wide one.
#define WinMain WinMain_desktop
#include <windows.h>
#undef WinMain

// After <windows.h>, which they need.
#include <commctrl.h>
#include <commdlg.h>
#include <strsafe.h>
#include <wchar.h>

#ifndef PAGE_PHYSICAL
#define PAGE_PHYSICAL 0x400
#endif

extern "C" {
// winbase.h
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);
// pkfuncs.h
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);
BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);
// dbgapi.h
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
// coredll ordinal 615: the next restart is a cold start.
void PrepareColdStart(DWORD cold);
}
