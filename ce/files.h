// Files, file times and date and time formatting of the CE API surface. CE paths start at the
// root ("\windows\default.fdf") and use backslashes.
#pragma once

#include "ce/types.h"

#ifdef __cplusplus
extern "C" {
#endif

const DWORD GENERIC_READ = 0x80000000;
const DWORD GENERIC_WRITE = 0x40000000;
const DWORD FILE_SHARE_READ = 0x00000001;
const DWORD CREATE_NEW = 1;
const DWORD CREATE_ALWAYS = 2;
const DWORD OPEN_EXISTING = 3;
const DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
const DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
const DWORD FILE_BEGIN = 0;
const DWORD FILE_CURRENT = 1;
const DWORD FILE_END = 2;
const DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

/// Opens a file of the module's file system. Only reading an existing file is supported:
/// GENERIC_READ, OPEN_EXISTING. INVALID_HANDLE_VALUE on failure (GetLastError tells why).
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE template_file);
/// Reads up to `to_read` bytes; `*read` is 0 at the end of the file. `overlapped` must be null.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPVOID overlapped);
/// Moves the file pointer by `distance` (with `*distance_high` as its high word when given)
/// from the beginning, the current position or the end; the new position's low word, or
/// INVALID_SET_FILE_POINTER with GetLastError telling why.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
/// The file's size in bytes (the high word in `*high` when given).
DWORD GetFileSize(HANDLE file, LPDWORD high);
/// Any of the three may be null.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* last_access, FILETIME* last_write);
BOOL FileTimeToSystemTime(const FILETIME* file_time, SYSTEMTIME* system_time);

typedef DWORD LCID;
const LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
const LCID LOCALE_USER_DEFAULT = 0x0400;
const DWORD LOCALE_NOUSEROVERRIDE = 0x80000000;
const DWORD TIME_NOMINUTESORSECONDS = 0x00000001;
const DWORD TIME_NOSECONDS = 0x00000002;
const DWORD TIME_NOTIMEMARKER = 0x00000004;
const DWORD TIME_FORCE24HOURFORMAT = 0x00000008;

/// Formats the date of `time` with `picture` (d, dd, ddd, dddd, M, MM, MMM, MMMM, y, yy, yyyy,
/// 'quoted text'), or the locale's short date when `picture` is null. Returns the characters
/// written including the terminator, 0 on failure (too small, invalid date).
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                   int out_size);
/// Formats the time of `time` with `picture` (h, hh, H, HH, m, mm, s, ss, t, tt), or the
/// locale's time format when `picture` is null. Returns as GetDateFormatW.
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                   int out_size);

#ifdef __cplusplus
}  // extern "C"
#endif
