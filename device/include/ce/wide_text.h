// The device's ce/wide_text.h: the Windows SDK (see device_sdk.h).
#pragma once

#include "device_sdk.h"
