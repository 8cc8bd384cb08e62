// Restarts of the module: the platform layer's reboot code ends the process at once, the way
// a restart ends every program on the module.
#pragma once

#include "ce/types.h"

namespace host {

/// The reboot code 0x0101003C: no input is a warm restart, a 4-byte input a cold one. Appends
/// a line to boot.log, clears ram/ and ends the process. Returns FALSE (nothing done) when no
/// module is open or a test made the platform refuse.
BOOL RestartModule(LPVOID in, DWORD in_size);

/// Restarts requested in this process that were refused, for tests.
int RefusedRestarts();

}  // namespace host
