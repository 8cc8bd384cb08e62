// The command-line parser and the batch runner on arbitrary wide text (the input's bytes taken
// two at a time, little-endian, up to the first NUL character). The module is blank: no image
// files, so an update command can only fail to open its file; registry commands work on a
// flash that is erased again before the next run; restarts are refused by the platform.
//
// The parsed commands must stay within their limits (at most 20, kinds known, paths
// terminated inside their buffer), and running them must end every dialog it opens.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "fuzz_support.h"
#include "host/ui/script_backend.h"
#include "shell/command_line.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace {

using host::ui::UiEvent;

std::unique_ptr<fuzz::ScratchDir> scratch;
// Never deleted: the module stays open until the process ends, past the host's own statics.
fuzz::FuzzModule* module = nullptr;

void CheckParsed() {
  if (CommandCount < 0 || CommandCount > kMaxCommands) fuzz::Finding("command count out of range");
  for (int i = 0; i < CommandCount; ++i) {
    const BatchCommand& command = Commands[i];
    switch (command.kind) {
      case kCommandUpdate: {
        bool terminated = false;
        for (int k = 0; k < kPathChars && !terminated; ++k) terminated = command.path[k] == 0;
        if (!terminated) fuzz::Finding("an update path without its terminator");
        if (!command.quiet) fuzz::Finding("an update command that asks questions");
        break;
      }
      case kCommandRegistrySave:
      case kCommandRegistryClear:
      case kCommandRestart:
      case kCommandUnsupported:
        break;
      default:
        fuzz::Finding("a command of no known kind");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = std::make_unique<fuzz::ScratchDir>();
  module = new fuzz::FuzzModule(scratch->path() / "module");
  if (!SelectFlashDriver() || NorInitialize() != 1) fuzz::Finding("the NOR driver does not start");
  host::ui::UseScriptBackend();
  InitCommonControls();
  module->Reset();  // every input starts from a module just put back, this first one too
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<WCHAR> line;
  line.reserve(size / 2 + 1);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    WCHAR c = static_cast<WCHAR>(data[i] | data[i + 1] << 8);
    if (c == 0) break;
    line.push_back(c);
  }
  line.push_back(0);
  // A line of one word is handed over as it is, so a null command line is tried too.
  ParseCommandLine(size == 1 ? nullptr : line.data());
  CheckParsed();
  // No commands opens the main dialog and waits for a user: nothing to run here.
  if (CommandCount == 0) return 0;

  host::ui::ScriptBackend& ui = host::ui::UseScriptBackend();
  AbortFlag = 0;
  QuietFlag = 0;
  ImagePath[0] = 0;
  RunBatchCommands(nullptr);
  const std::size_t opened = ui.Events(UiEvent::Kind::kDialogOpened).size();
  if (ui.Events(UiEvent::Kind::kDialogEnded).size() != opened) {
    fuzz::Finding("a command left a dialog open");
  }
  int restarts = 0;
  for (int i = 0; i < CommandCount; ++i) restarts += Commands[i].kind == kCommandRestart;
  if (module->restarts() != restarts) fuzz::Finding("restart commands and restarts differ");
  fuzz::EndInput(*module);
  return 0;
}
