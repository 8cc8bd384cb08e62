// Restarting the module through the platform layer.
#pragma once

#include "ce/types.h"

/// Restarts the module: cold when `cold` is non-zero, else warm. Returns only when the platform
/// refused the restart.
void Reboot(int cold);
