// The terminal backend (ncursesw): draws each dialog from its template, dialog units scaled
// to character cells (4 horizontal units a column, 8 vertical units a row), with message boxes
// and the file-open dialog drawn over it. Tab and the arrows move the focus, Enter presses,
// Escape sends the cancel command.
#pragma once

#include <memory>

#include "host/ui/window_system.h"

namespace host::ui {

std::unique_ptr<Backend> MakeTerminalBackend();

}  // namespace host::ui
