// The registry calls of the CE API surface.
#pragma once

#include "ce/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HKEY__* HKEY;
typedef DWORD REGSAM;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002)))

const DWORD REG_NONE = 0;
const DWORD REG_SZ = 1;
const DWORD REG_BINARY = 3;
const DWORD REG_DWORD = 4;
const REGSAM KEY_QUERY_VALUE = 0x0001;
const REGSAM KEY_READ = 0x20019;
const REGSAM KEY_ALL_ACCESS = 0xF003F;

/// Opens `subkey` under `root`. Results are error codes: ERROR_SUCCESS (0), ERROR_FILE_NOT_FOUND…
LONG RegOpenKeyExW(HKEY root, LPCWSTR subkey, DWORD options, REGSAM access, HKEY* result);
/// Copies value `name` into `data` (up to `*size` bytes; `*size` becomes the value's size).
/// ERROR_MORE_DATA when it does not fit, ERROR_FILE_NOT_FOUND when there is no such value.
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegCloseKey(HKEY key);
/// Writes the registry to flash (the module's kept copy).
LONG RegFlushKey(HKEY key);

#ifdef __cplusplus
}  // extern "C"
#endif
