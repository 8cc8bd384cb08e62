// Host speed of the NOR model alone: erase and program a 32 MB array in 64-byte buffers,
// with the accesses and status polls a driver makes.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "host/hardware/nor_array.h"
#include "host/hardware/virtual_clock.h"

namespace {

constexpr std::uint32_t Both(std::uint16_t value) { return value | std::uint32_t{value} << 16; }

void WaitReady(host::NorArray& nor, std::uint32_t offset) {
  while ((nor.Read32(offset) & Both(0x80)) != Both(0x80)) {
  }
}

void BM_NorProgram32MB(benchmark::State& state) {
  host::NorConfig config;
  config.cfi_size = 0x18;  // two 16 MB chips
  config.power_up_locked = false;
  std::vector<std::uint8_t> image(std::size_t{2} << config.cfi_size, 0xFF);
  host::NorArray nor(config, image.data());
  std::uint32_t size = static_cast<std::uint32_t>(nor.Size());
  std::vector<host::NorBlock> blocks = nor.Blocks();
  std::uint64_t start = host::ClockNow();
  for (auto _ : state) {
    for (const host::NorBlock& block : blocks) {
      nor.Write32(block.offset, Both(0x20));
      nor.Write32(block.offset, Both(0xD0));
      WaitReady(nor, block.offset);
    }
    for (std::uint32_t offset = 0; offset < size; offset += 64) {
      nor.Write32(offset, Both(0xE8));
      WaitReady(nor, offset);  // buffer available
      nor.Write32(offset, Both(15));
      for (std::uint32_t i = 0; i < 64; i += 4) nor.Write32(offset + i, offset + i);
      nor.Write32(offset, Both(0xD0));
      WaitReady(nor, offset);
    }
    nor.Write32(0, Both(0xFF));
    benchmark::DoNotOptimize(image.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
  state.counters["virtual_s"] = static_cast<double>(host::ClockNow() - start) /
                                static_cast<double>(host::kNsPerSecond) /
                                static_cast<double>(state.iterations());
}
BENCHMARK(BM_NorProgram32MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
