// Erasing and programming 32 MB of NOR through FlashOps on a virtual module: host speed, and
// the time the module itself would need (the virtual clock).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "flash/flash_ops.h"
#include "host/hardware/virtual_clock.h"
#include "host/module/module.h"
#include "host/tool_support.h"

namespace {

constexpr DWORD kFlashBytes = 0x2000000;
constexpr DWORD kPiece = 0x40000;

struct Bench {
  Bench() {
    char pattern[] = "/tmp/imbrel-bench-XXXXXX";
    dir = mkdtemp(pattern);
    // Typical datasheet times, so that modeled_s compares with the datasheet's sum.
    host::CreateOptions options;
    options.times = host::NorTimeMode::kTypical;
    host::CreateModule(dir / "m", options);
    session = std::make_unique<host::FlashSession>(dir / "m");
    data.resize(kFlashBytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131);
  }
  ~Bench() {
    session.reset();
    std::filesystem::remove_all(dir);
  }
  bool Program() {
    for (DWORD at = 0; at < kFlashBytes; at += kPiece) {
      if (!FlashOps.WriteBuffer(data.data() + at, at, kPiece)) return false;
    }
    return true;
  }
  std::filesystem::path dir;
  std::unique_ptr<host::FlashSession> session;
  std::vector<std::uint8_t> data;
};

Bench& Shared() {
  static Bench bench;
  return bench;
}

void Report(benchmark::State& state, std::uint64_t modeled_ns) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFlashBytes);
  state.counters["modeled_s"] = static_cast<double>(modeled_ns) / host::kNsPerSecond /
                                static_cast<double>(state.iterations());
}

void BM_Program32MB(benchmark::State& state) {
  Bench& b = Shared();
  std::uint64_t modeled = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!FlashOps.EraseRange(0, kFlashBytes)) state.SkipWithError("erase failed");
    state.ResumeTiming();
    std::uint64_t start = host::ClockNow();
    if (!b.Program()) state.SkipWithError("program failed");
    modeled += host::ClockNow() - start;
  }
  Report(state, modeled);
}
BENCHMARK(BM_Program32MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Erase32MB(benchmark::State& state) {
  Bench& b = Shared();
  std::uint64_t modeled = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!b.Program()) state.SkipWithError("program failed");
    state.ResumeTiming();
    std::uint64_t start = host::ClockNow();
    if (!FlashOps.EraseRange(0, kFlashBytes)) state.SkipWithError("erase failed");
    modeled += host::ClockNow() - start;
  }
  Report(state, modeled);
}
BENCHMARK(BM_Erase32MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Read32MB(benchmark::State& state) {
  Shared();
  std::vector<std::uint8_t> out(kFlashBytes);
  std::uint64_t modeled = 0;
  for (auto _ : state) {
    std::uint64_t start = host::ClockNow();
    if (!FlashOps.ReadBuffer(out.data(), 0, kFlashBytes)) state.SkipWithError("read failed");
    modeled += host::ClockNow() - start;
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, modeled);
}
BENCHMARK(BM_Read32MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
