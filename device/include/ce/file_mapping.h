// The device's ce/file_mapping.h: the Windows SDK (see device_sdk.h).
#pragma once

#include "device_sdk.h"
