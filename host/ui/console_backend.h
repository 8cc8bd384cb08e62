// The console backend: no screen. Message boxes print "[caption] text" to standard error and
// take their default answer or the next --answer; the file-open dialog answers with --open or
// cancels; progress prints as one updating line; a dialog with visible push buttons lists them
// and reads choices from standard input, the end of input being the cancel command.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ui/window_system.h"

namespace host::ui {

/// `verbose`: print every text a dialog with a progress bar changes to; without it the
/// update's per-record "Section" lines are left to the progress line.
std::unique_ptr<Backend> MakeConsoleBackend(std::vector<int> answers,
                                            std::optional<std::u16string> open_path,
                                            bool verbose = false);

}  // namespace host::ui
