// Core system calls of the CE API surface: kernel control, virtual memory, time, threads'
// synchronisation and handles. The host implements them over the virtual module.
#pragma once

#include "ce/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/// The OEM kernel control call: the platform layer answers `code`. Returns non-zero when
/// the platform layer handled the code. `bytes_returned` may be null.
BOOL KernelIoControl(DWORD code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer, DWORD out_size,
                     LPDWORD bytes_returned);

/// Reserves (MEM_RESERVE) and/or commits (MEM_COMMIT) `size` bytes of address space.
LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocation_type, DWORD protect);
/// MEM_RELEASE with size 0 releases the whole reservation that starts at `address`.
BOOL VirtualFree(LPVOID address, DWORD size, DWORD free_type);
/// Makes `destination` (inside a reservation) show `source`. With PAGE_PHYSICAL in
/// `protect`, `source` is a physical address shifted right by 8.
BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect);

/// Milliseconds since the module started; wraps after 49.7 days.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

DWORD GetLastError();
void SetLastError(DWORD error);

/// Creates or opens a mutex. A named mutex is one object for every process of the module.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
/// `milliseconds` may be INFINITE. Returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or
/// WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);

/// Starts `start(parameter)` on a new thread. The handle can be waited for (the thread's
/// end) and must be closed; closing it does not stop the thread.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id);

const UINT LMEM_FIXED = 0x0000;
const UINT LMEM_ZEROINIT = 0x0040;
const UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
typedef void* HLOCAL;

/// Allocates `bytes` of local memory; null when there is none.
HLOCAL LocalAlloc(UINT flags, UINT bytes);
/// Frees local memory; returns null on success.
HLOCAL LocalFree(HLOCAL memory);

/// Prepares the next restart to be a cold start (coredll ordinal 615): what a cold start
/// clears is the platform's business.
void PrepareColdStart(DWORD cold);

#ifdef __cplusplus
}  // extern "C"
#endif
