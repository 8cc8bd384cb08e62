// File mappings of the CE API surface: memory shared between processes under a name, backed
// by the paging file (no file behind it).
#pragma once

#include "ce/files.h"
#include "ce/types.h"

#ifdef __cplusplus
extern "C" {
#endif

const DWORD ERROR_MAPPED_ALIGNMENT = 1132;

// Access to a view.
const DWORD FILE_MAP_WRITE = 0x0002;
const DWORD FILE_MAP_READ = 0x0004;
const DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;

/// Creates or opens a mapping of sizeHigh:sizeLow bytes. Only `file` = INVALID_HANDLE_VALUE
/// (paging-file backed) is served. `protect` is PAGE_READWRITE or PAGE_READONLY. A named
/// mapping is one object for every process of the module: whoever creates it first gets it
/// zero-filled, and a later opener sees the same bytes with GetLastError ERROR_ALREADY_EXISTS
/// (the size of an existing mapping stays as it was made). Null on failure.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD size_high, DWORD size_low, LPCWSTR name);

/// Maps `bytes` of the mapping from offsetHigh:offsetLow (a multiple of 64 KB) into the
/// process; `bytes` = 0 maps to the end. The view keeps the mapping alive after its handle is
/// closed. Null on failure.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low,
                     DWORD bytes);

/// Ends a view made by MapViewOfFile; `base` is the address it returned.
BOOL UnmapViewOfFile(LPCVOID base);

#ifdef __cplusplus
}  // extern "C"
#endif
