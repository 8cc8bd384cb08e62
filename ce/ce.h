// The whole CE API surface.
#pragma once

#include "ce/kernel.h"
#include "ce/types.h"
#include "ce/ui.h"
