// The update worker's record loop on a small NOR module: the input is the BIN file in the
// module's fs/, run through the update dialog as an update command runs it. Inputs of odd
// length run quietly (an update command); even ones with the questions (the dialog), every
// message box taking its default button.
//
// A quiet run is held to what the host reader says of the same file: the worker shows an error
// exactly when the reader finds one, and an image without errors or overlaps ends up in the
// flash record by record.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "fuzz_support.h"
#include "host/bin_image.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "platform/platform_codes.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/flash_regions.h"
#include "update/update_dialog.h"
#include "update/update_worker.h"

namespace {

using host::ui::UiEvent;

constexpr char16_t kImagePath[] = u"\\USB HD\\IMAGES\\fuzz.bin";

std::unique_ptr<fuzz::ScratchDir> scratch;
// Never deleted: the module stays open until the process ends, past the host's own statics.
fuzz::FuzzModule* module = nullptr;
fuzz::InputFile* image_file = nullptr;

// What the host reader expects of the file on this module: an error (and so an error box).
// A record outside the image range is written where it lands in a block the range erases.
bool OutsideErasedBlocks(const host::BinImage& image, std::uint32_t offset,
                         const host::BinRecord& r) {
  const std::uint64_t start = static_cast<std::uint32_t>(image.start + offset);
  const std::uint64_t end = start + image.length;
  if (image.length == 0 || end > module->size()) return true;
  const std::uint64_t from = start - start % FlashOps.BlockSize(static_cast<DWORD>(start));
  const DWORD last = static_cast<DWORD>(end - 1);
  const std::uint64_t to = last - last % FlashOps.BlockSize(last) + FlashOps.BlockSize(last);
  const std::uint64_t at = static_cast<std::uint32_t>(r.address + offset);
  return at < from || at + r.length > to;
}

bool ReaderExpectsError(const host::BinImage& image) {
  if (image.HasErrors()) return true;
  host::BinPlacement placement = host::PlaceBinImage(image.start, fuzz::kFuzzImageBase);
  for (const host::BinProblem& p : image.problems) {
    if (p.kind == host::BinProblemKind::kOutsideImage &&
        OutsideErasedBlocks(image, placement.offset, image.records[p.record])) {
      return true;
    }
  }
  for (const host::BinProblem& p :
       host::CheckBinPlacement(image, placement.offset, module->size())) {
    if (p.severity == host::BinSeverity::kError) return true;
  }
  return false;
}

bool HasProblem(const host::BinImage& image, host::BinProblemKind kind) {
  return std::any_of(image.problems.begin(), image.problems.end(),
                     [&](const host::BinProblem& p) { return p.kind == kind; });
}

void CheckQuietRun(const std::uint8_t* data, std::size_t size, const std::vector<UiEvent>& boxes) {
  host::BinImage image = host::ReadBinImage(std::vector<std::uint8_t>(data, data + size));
  const bool expects_error = ReaderExpectsError(image);
  if (expects_error != !boxes.empty()) {
    std::fprintf(stderr, "reader: %s; worker boxes: %zu\n", expects_error ? "error" : "no error",
                 boxes.size());
    for (const host::BinProblem& p : image.problems) std::fprintf(stderr, "  %s\n", p.text.c_str());
    for (const UiEvent& box : boxes) {
      std::fprintf(stderr, "  box: %s\n", host::Utf8(box.text).c_str());
    }
    fuzz::Finding("the worker and the host reader disagree about the file");
  }
  if (expects_error || HasProblem(image, host::BinProblemKind::kOverlap)) return;
  host::BinPlacement placement = host::PlaceBinImage(image.start, fuzz::kFuzzImageBase);
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const host::BinRecord& r = image.records[i];
    const std::uint32_t at = r.address + placement.offset;
    std::span<const std::uint8_t> expected = image.data(i);
    if (!std::equal(expected.begin(), expected.end(), module->flash() + at)) {
      fuzz::Finding("a record of a sound image is not in the flash after the update");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  scratch = std::make_unique<fuzz::ScratchDir>();
  module = new fuzz::FuzzModule(scratch->path() / "module");
  std::filesystem::create_directories(module->dir() / "fs" / "USB HD" / "IMAGES");
  image_file = new fuzz::InputFile(module->dir() / "fs" / "USB HD" / "IMAGES" / "fuzz.bin");
  if (!SelectFlashDriver() || NorInitialize() != 1) fuzz::Finding("the NOR driver does not start");
  host::ui::UseScriptBackend();
  InitCommonControls();
  module->Reset();  // every input starts from a module just put back, this first one too
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  image_file->Write(data, size);
  host::ui::ScriptBackend& ui = host::ui::UseScriptBackend();
  const DWORD quiet = size % 2;
  AbortFlag = 0;
  QuietFlag = quiet;
  RegionTable[kRegionConfigBlock].Start = kConfigBlockPlace;
  std::copy(std::begin(kImagePath), std::end(kImagePath), ImagePath);
  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);

  if (ui.Events(UiEvent::Kind::kDialogEnded).size() != 1) {
    fuzz::Finding("the update dialog did not end exactly once");
  }
  if (ImagePath[0] != 0) fuzz::Finding("the image path is left set after the update");
  if (quiet) {
    if (module->restarts() != 0) fuzz::Finding("a quiet update restarted the module");
    CheckQuietRun(data, size, ui.Events(UiEvent::Kind::kMessageBox));
  }
  fuzz::EndInput(*module);
  return 0;
}
