// A whole update of a 32 MB image (records of 16 KB) onto a 32 MB NOR module, through the
// update dialog and worker: host time and speed, and the time the module would need.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "bench_support.h"
#include "ce/ce.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/update_dialog.h"

namespace {

constexpr std::uint32_t kImageBytes = 0x2000000;

void BM_Update32MB(benchmark::State& state) {
  char pattern[] = "/tmp/imbrel-bench-XXXXXX";
  std::filesystem::path dir = mkdtemp(pattern);
  host::CreateOptions options = host::CreateOptions::Blank();
  options.times = host::NorTimeMode::kTypical;
  host::CreateModule(dir / "m", options);
  bench::WriteBigBin(dir / "m", bench::ImageData(kImageBytes));
  auto module = host::Module::Open(dir / "m");
  host::ui::UseScriptBackend().SetIdleLimit(std::chrono::milliseconds(600000));
  InitCommonControls();
  QuietFlag = 1;
  std::uint64_t modeled = 0;
  for (auto _ : state) {
    std::memcpy(ImagePath, u"\\big.bin", sizeof u"\\big.bin");
    std::uint64_t start = host::ClockNow();
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
    modeled += host::ClockNow() - start;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kImageBytes);
  state.counters["modeled_s"] =
      static_cast<double>(modeled) / host::kNsPerSecond / static_cast<double>(state.iterations());
  module.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_Update32MB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
