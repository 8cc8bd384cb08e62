// Base types and constants of the Windows CE API surface the program uses.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef LONG* PLONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int BOOL;
typedef char CHAR;
// 64-bit arithmetic: unsigned __int64 to the device's compiler.
typedef uint64_t ULONGLONG;

// Wide text is UTF-16. The device's compiler has a 16-bit wchar_t; the host's is 32 bits
// wide, so the host uses char16_t and u"" literals.
#if defined(_WIN32_WCE)
typedef wchar_t WCHAR;
#define TEXT(quote) L##quote
#else
typedef char16_t WCHAR;
#define TEXT(quote) u##quote
#endif

// Pointer-sized integers: 32 bits on the device, 64 on the host.
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef LONG_PTR LRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* HANDLE;
typedef struct SECURITY_ATTRIBUTES_* LPSECURITY_ATTRIBUTES;

// Calling conventions: the same on ARM, named for the SDK's declarations.
#define WINAPI
#define CALLBACK

/// A compile-time check: the build fails when `e` is false.
#define C_ASSERT(e) typedef char C_ASSERT_failed_[(e) ? 1 : -1]

/// The number of elements of an array.
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

const DWORD INFINITE = 0xFFFFFFFF;

// Wait results.
const DWORD WAIT_OBJECT_0 = 0x00000000;
const DWORD WAIT_ABANDONED = 0x00000080;
const DWORD WAIT_TIMEOUT = 0x00000102;
const DWORD WAIT_FAILED = 0xFFFFFFFF;

// Error codes for GetLastError.
const DWORD ERROR_SUCCESS = 0;
const DWORD ERROR_FILE_NOT_FOUND = 2;
const DWORD ERROR_PATH_NOT_FOUND = 3;
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_WRITE_FAULT = 29;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;
const DWORD ERROR_MORE_DATA = 234;
const DWORD ERROR_HANDLE_EOF = 38;
const DWORD ERROR_SHARING_VIOLATION = 32;
const DWORD ERROR_NOT_SUPPORTED = 50;
const DWORD ERROR_ALREADY_EXISTS = 183;
const DWORD ERROR_NOT_OWNER = 288;
const DWORD ERROR_INVALID_ADDRESS = 487;

// Virtual memory.
const DWORD MEM_COMMIT = 0x1000;
const DWORD MEM_RESERVE = 0x2000;
const DWORD MEM_DECOMMIT = 0x4000;
const DWORD MEM_RELEASE = 0x8000;

const DWORD PAGE_NOACCESS = 0x01;
const DWORD PAGE_READONLY = 0x02;
const DWORD PAGE_READWRITE = 0x04;
const DWORD PAGE_NOCACHE = 0x200;
const DWORD PAGE_PHYSICAL = 0x400;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
