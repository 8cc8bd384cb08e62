// The whole CE API surface.
#pragma once

#include "ce/file_mapping.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/registry.h"
#include "ce/types.h"
#include "ce/ui.h"
