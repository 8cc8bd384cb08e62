// The device's ce/files.h: the Windows SDK (see device_sdk.h).
#pragma once

#include "device_sdk.h"
