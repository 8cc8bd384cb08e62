// A whole update of a 64 MB image (records of 16 KB) onto a NAND module of 2048 blocks,
// through the update dialog and worker: host time and speed, and the time the module would
// need; once on good blocks and once with 1% of the image's blocks failing (half of them on
// erase, half on program), which the driver relocates into the reserve.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "bench_support.h"
#include "ce/ce.h"
#include "flash/flash_ops.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace {

constexpr std::uint32_t kImageBytes = 0x4000000;
constexpr std::uint32_t kBlockBytes = 0x20000;

// One module for both benchmarks: the program starts its flash driver once a process, on the
// module it first meets, as on the device.
const std::filesystem::path& ModuleDir() {
  static const std::filesystem::path dir = [] {
    char pattern[] = "/tmp/imbrel-bench-XXXXXX";
    std::filesystem::path made = mkdtemp(pattern);
    host::CreateOptions options = host::CreateOptions::Blank();
    options.flash = host::FlashKind::kNand;
    options.nand_chip = 0xDAEC;
    options.part_number = 8;  // part 9 would put its word at offset 4
    host::CreateModule(made / "m", options);
    bench::WriteBigBin(made / "m", bench::ImageData(kImageBytes));
    return made;
  }();
  return dir;
}

void RunUpdates(benchmark::State& state, int failing_blocks) {
  const std::filesystem::path& dir = ModuleDir();
  {
    // Blocks spread over the image, from the third on (blocks 0 and 1 are the boot area,
    // and block 0 is never relocated).
    std::ofstream faults(dir / "m" / "faults.toml");
    const std::uint32_t image_blocks = kImageBytes / kBlockBytes;
    for (int i = 0; i < failing_blocks; ++i) {
      std::uint32_t block = 2 + (image_blocks - 2) * static_cast<std::uint32_t>(i) /
                                    static_cast<std::uint32_t>(failing_blocks);
      faults << "[[nand]]\nkind = \"" << (i % 2 ? "program-error" : "erase-error")
             << "\"\nblock = " << block << "\n";
    }
  }
  const std::vector<std::uint8_t> expected = bench::ImageData(kImageBytes);
  auto module = host::Module::Open(dir / "m");
  host::ui::ScriptBackend& backend = host::ui::UseScriptBackend();
  backend.SetIdleLimit(std::chrono::milliseconds(600000));
  InitCommonControls();
  QuietFlag = 1;
  std::uint64_t modeled = 0;
  for (auto _ : state) {
    std::memcpy(ImagePath, u"\\big.bin", sizeof u"\\big.bin");
    std::uint64_t start = host::ClockNow();
    std::size_t boxes = backend.Events(host::ui::UiEvent::Kind::kMessageBox).size();
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
    modeled += host::ClockNow() - start;
    // A run that ends with an error box is not an update: say so instead of a figure.
    auto events = backend.Events(host::ui::UiEvent::Kind::kMessageBox);
    for (std::size_t i = boxes; i < events.size(); ++i) {
      if (events[i].caption == u"ERROR") {
        state.SkipWithError(host::Utf8(events[i].text).c_str());
        break;
      }
    }
  }
  // The figures count only if the image landed: every byte but the boot area's last page,
  // which an update never writes.
  {
    std::vector<std::uint8_t> back(0x20000);
    for (std::uint32_t at = 0; at < kImageBytes; at += 0x20000) {
      std::uint32_t skip = at == 0x20000 ? 0x1F800 : 0x20000;
      if (!FlashOps.ReadBuffer(back.data(), at, skip) ||
          std::memcmp(back.data(), expected.data() + at, skip) != 0) {
        state.SkipWithError("the image does not read back");
        break;
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kImageBytes);
  state.counters["modeled_s"] =
      static_cast<double>(modeled) / host::kNsPerSecond / static_cast<double>(state.iterations());
  module.reset();
}

void BM_NandUpdate64MB(benchmark::State& state) { RunUpdates(state, 0); }
BENCHMARK(BM_NandUpdate64MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// 1% of the image's 512 blocks.
void BM_NandUpdate64MBFailingBlocks(benchmark::State& state) { RunUpdates(state, 5); }
BENCHMARK(BM_NandUpdate64MBFailingBlocks)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(ModuleDir());
  return 0;
}
