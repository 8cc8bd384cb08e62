// The NOR driver against the Intel NOR model.

#include "flash/nor/nor_flash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "flash/flash_ops.h"
#include "host/hardware/intel_nor_chip.h"
#include "host/hardware/virtual_clock.h"
#include "module_fixture.h"

namespace {

using host::ClockNow;
using host::kNsPerMs;
using test::ModuleSetup;

std::vector<std::pair<DWORD, DWORD>> progress_calls;
int progress_stop_at = -1;

int RecordProgress(DWORD done, DWORD total) {
  progress_calls.emplace_back(done, total);
  return static_cast<int>(progress_calls.size()) != progress_stop_at;
}

class NorFlashTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    progress_calls.clear();
    progress_stop_at = -1;
    SetProgressCallback(nullptr, 0);
  }
  void TearDown() override { SetProgressCallback(nullptr, 0); }

  void Init(const ModuleSetup& setup = {}) {
    Open(setup);
    ASSERT_EQ(NorInitialize(), 1);
  }
  std::filesystem::path ModuleDir() { return dir_ / "module"; }
  std::vector<std::uint8_t> Image(std::uint64_t offset, std::size_t count) {
    return test::ReadImage(ModuleDir(), offset, count);
  }
  const host::NorBlockCounters& Counters(DWORD offset, int chip = 0) {
    const host::IntelNorChip& c = module().nor()->Chip(chip);
    return c.Counters(c.BlockIndex(offset / 4));
  }
  bool BothInReadArray() {
    return module().nor()->Chip(0).InReadArray() && module().nor()->Chip(1).InReadArray();
  }
  void Fill(DWORD offset, std::size_t count, std::uint8_t value) {
    test::PokeImage(ModuleDir(), offset, std::vector<std::uint8_t>(count, value));
  }
};

TEST_F(NorFlashTest, DeviceCodeSetsTypeAndBlockLayout) {
  struct Case {
    std::uint16_t device;
    int type;
    DWORD size_at_0;
    DWORD size_at_3ffff;
    DWORD size_at_40000;
  };
  const Case cases[] = {
      {0x881B, 3, 0x10000, 0x10000, 0x40000}, {0x8922, 3, 0x10000, 0x10000, 0x40000},
      {0x0018, 1, 0x40000, 0x40000, 0x40000}, {0x8802, 2, 0x40000, 0x40000, 0x40000},
      {0x1234, 0, 0x40000, 0x40000, 0x40000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    test::TempDir dir;
    ModuleSetup setup;
    setup.device = c.device;
    auto m = test::OpenNewModule(dir / "m", setup);
    ASSERT_EQ(NorInitialize(), 1);
    EXPECT_EQ(FlashOps.DeviceType, c.type);
    EXPECT_EQ(NorBlockSize(0), c.size_at_0);
    EXPECT_EQ(NorBlockSize(0x3FFFF), c.size_at_3ffff);
    EXPECT_EQ(NorBlockSize(0x40000), c.size_at_40000);
    EXPECT_EQ(NorBlockSize(0xFFFFFFFF), 0x40000u);
  }
}

// The chips the model can be made as and the codes the driver knows are one list: every
// chip of the model starts the driver with its family's type, and every code the driver knows
// is a chip of the model, but for the one code no datasheet of the families gives.
TEST_F(NorFlashTest, ChipsTheModelMakesAndCodesTheDriverKnowsAgree) {
  for (const host::NorVariant& chip : host::NorVariants()) {
    SCOPED_TRACE(chip.name);
    const int family = chip.bottom_parameter_blocks ? kNorTypeBottomBoot
                       : chip.power_up_locked       ? kNorTypeK3
                                                    : kNorTypeJ3;
    test::TempDir dir;
    ModuleSetup setup;
    setup.device = chip.device;
    auto m = test::OpenNewModule(dir / "m", setup);
    ASSERT_EQ(NorInitialize(), 1);
    EXPECT_EQ(FlashOps.DeviceType, family);
  }
  for (DWORD i = 0; i < NorDeviceCodeCount; ++i) {
    const WORD code = NorDeviceCodes[i].Code;
    EXPECT_TRUE(host::FindNorVariant(code) || code == 0x0019) << std::hex << code;
  }
}

TEST_F(NorFlashTest, CfiDeviceSizeGivesFlashSizeCappedAt64MB) {
  const std::pair<std::uint8_t, DWORD> cases[] = {
      {0x12, 0x80000}, {0x17, 0x1000000}, {0x19, 0x4000000}, {0x1A, 0x4000000}};
  for (auto [cfi, size] : cases) {
    SCOPED_TRACE(cfi);
    test::TempDir dir;
    ModuleSetup setup;
    setup.cfi_size = cfi;
    auto m = test::OpenNewModule(dir / "m", setup);
    ASSERT_EQ(NorInitialize(), 1);
    EXPECT_EQ(FlashOps.FlashSize, size);
  }
}

TEST_F(NorFlashTest, ManufacturerMustBeIntelOnBothChips) {
  ModuleSetup setup;
  setup.extra_nor = "manufacturer = [0x89, 0x00]";
  Open(setup);
  EXPECT_EQ(NorInitialize(), 0);
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, InitialisationUnlocksAllButTheBootArea) {
  Init();
  const host::IntelNorChip& chip = module().nor()->Chip(0);
  EXPECT_TRUE(chip.Locked(chip.BlockIndex(0)));
  EXPECT_TRUE(chip.Locked(chip.BlockIndex(0x30000 / 4)));
  EXPECT_FALSE(chip.Locked(chip.BlockIndex(0x40000 / 4)));
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, RangeEraseOverParameterBlocks) {
  Init();
  Fill(0, 0x80000, 0x00);
  SetProgressCallback(RecordProgress, 0x10000);
  ASSERT_EQ(NorEraseRange(0x10000, 0x40000), 1);
  // 0x10000, 0x20000, 0x30000 (64 KB each) and 0x40000 (256 KB): 0x70000 bytes.
  EXPECT_EQ(Counters(0x00000).erases, 0u);
  for (DWORD block : {0x10000u, 0x20000u, 0x30000u, 0x40000u}) {
    EXPECT_EQ(Counters(block, 0).erases, 1u) << block;
    EXPECT_EQ(Counters(block, 1).erases, 1u) << block;
  }
  EXPECT_EQ(Image(0x0FFFF, 1)[0], 0x00);
  EXPECT_EQ(Image(0x10000, 1)[0], 0xFF);
  EXPECT_EQ(Image(0x7FFFF, 1)[0], 0xFF);
  std::vector<std::pair<DWORD, DWORD>> expected = {
      {0, 0x70000}, {0x10000, 0x70000}, {0x20000, 0x70000}, {0x30000, 0x70000}};
  EXPECT_EQ(progress_calls, expected);
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, ZeroLengthErasesTheBlockItFallsIn) {
  ModuleSetup setup;
  setup.cfi_size = 0x13;
  Init(setup);
  Fill(0x40000, 0x80000, 0x00);
  EXPECT_EQ(NorEraseRange(0x40000, 0), 1);
  EXPECT_EQ(Counters(0x40000).erases, 0u);
  EXPECT_EQ(NorEraseRange(0x40001, 0), 1);
  EXPECT_EQ(Counters(0x40000).erases, 1u);
  EXPECT_EQ(Counters(0x80000).erases, 0u);
}

TEST_F(NorFlashTest, EraseThatPassesTheFlashErasesNothing) {
  Init();  // 0x80000 bytes
  Fill(0x40000, 0x40000, 0x00);
  SetProgressCallback(RecordProgress, 0x10000);
  EXPECT_EQ(NorEraseRange(0x40000, 0x40001), 0);
  EXPECT_EQ(NorEraseRange(0x7FFFF, 2), 0);
  EXPECT_EQ(NorEraseRange(0xFFFFFFF0, 0x20), 0);
  EXPECT_EQ(Counters(0x40000).erases, 0u);
  EXPECT_TRUE(progress_calls.empty());
}

TEST_F(NorFlashTest, ProgressRunsBeforeEveryBlockLargerThanTheInterval) {
  ModuleSetup setup;
  setup.cfi_size = 0x14;  // 2 MB
  Init(setup);
  Fill(0x40000, 0xC0000, 0x00);
  SetProgressCallback(RecordProgress, 0x10000);
  ASSERT_EQ(NorEraseRange(0x40000, 0xC0000), 1);
  std::vector<std::pair<DWORD, DWORD>> expected = {
      {0, 0xC0000}, {0x40000, 0xC0000}, {0x80000, 0xC0000}};
  EXPECT_EQ(progress_calls, expected);
}

TEST_F(NorFlashTest, ProgressCallbackStoppingFirstErasesNothing) {
  Init();
  Fill(0x40000, 0x40000, 0x00);
  SetProgressCallback(RecordProgress, 0x10000);
  progress_stop_at = 1;
  EXPECT_EQ(NorEraseRange(0x40000, 0x40000), 0);
  EXPECT_EQ(progress_calls.size(), 1u);
  EXPECT_EQ(Counters(0x40000).erases, 0u);
}

TEST_F(NorFlashTest, BlankBlocksAreSkippedAndOneDirtyWordIsEnough) {
  ModuleSetup setup;
  setup.cfi_size = 0x13;  // 1 MB: blocks at 0x40000, 0x80000, 0xC0000 above the boot area
  Init(setup);
  Fill(0x40000, 4, 0x7F);  // only the first word written
  Fill(0xC0000, 4, 0x00);  // the block after a blank one
  ASSERT_EQ(NorEraseRange(0x40000, 0xC0000), 1);
  EXPECT_EQ(Counters(0x40000).erases, 1u);
  EXPECT_EQ(Counters(0x80000).erases, 0u);
  EXPECT_EQ(Counters(0xC0000).erases, 1u);
  Fill(0xFFFFC, 4, 0x00);  // the last word of the flash
  EXPECT_EQ(NorIsBlank(0xC0000, 0x40000), 0);
  EXPECT_EQ(NorIsBlank(0xC0000, 0x3FFFC), 1);
}

TEST_F(NorFlashTest, RangeEraseStopsAtTheFirstFailingBlock) {
  ModuleSetup setup;
  setup.cfi_size = 0x13;
  setup.faults = "[[nor]]\nkind = \"erase-error\"\nblock = 0x80000\nchip = \"high\"\n";
  Init(setup);
  Fill(0x40000, 0xC0000, 0x00);
  EXPECT_EQ(NorEraseRange(0x40000, 0xC0000), 0);
  EXPECT_EQ(Counters(0x40000).erases, 1u);
  EXPECT_EQ(Counters(0xC0000).erases, 0u);
  EXPECT_EQ(Image(0xC0000, 1)[0], 0x00);
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, LockedDownBlockCannotBeErased) {
  ModuleSetup setup;
  setup.faults = "[[nor]]\nkind = \"locked-down\"\nblock = 0x20000\n";
  Init(setup);
  Fill(0x20000, 0x10000, 0x00);
  EXPECT_EQ(NorUnlockBlock(0x20000), 0);
  EXPECT_EQ(NorEraseRange(0x20000, 1), 0);
  EXPECT_EQ(Image(0x20000, 1)[0], 0x00);
  // A locked boot-area block that can be unlocked is unlocked by the erase.
  Fill(0x10000, 0x10000, 0x00);
  EXPECT_EQ(NorEraseRange(0x10000, 1), 1);
  EXPECT_EQ(Image(0x10000, 1)[0], 0xFF);
}

TEST_F(NorFlashTest, BufferedWriteChunksStayInside64ByteWindows) {
  Init();
  std::vector<std::uint8_t> data(100);
  std::iota(data.begin(), data.end(), 1);
  ASSERT_EQ(NorWriteBuffer(data.data(), 0x4003C, 100), 1);
  // Chunks of 1 word (0x3C), 16 words (0x40-0x7F) and 8 words (0x80-0x9F).
  EXPECT_EQ(Counters(0x40000, 0).programs, 3u);
  EXPECT_EQ(Counters(0x40000, 1).programs, 3u);
  EXPECT_EQ(Image(0x4003C, 100), data);
  EXPECT_EQ(Image(0x400A0, 4), std::vector<std::uint8_t>(4, 0xFF));
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, PartialWordsAreFilledWithErasedBytes) {
  Init();
  const std::uint8_t five[] = {1, 2, 3, 4, 5};
  const std::uint8_t three[] = {6, 7, 8};
  ASSERT_EQ(NorWriteBuffer(five, 0x40100, 5), 1);
  ASSERT_EQ(NorWriteBuffer(three, 0x40105, 3), 1);
  EXPECT_EQ(Image(0x40100, 12),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Counters(0x40000).overprograms, 0u);

  // Unaligned at both ends inside one chunk: nothing outside the bytes changes.
  const std::uint8_t two[] = {0xAA, 0xBB};
  ASSERT_EQ(NorWriteBuffer(two, 0x40201, 2), 1);
  EXPECT_EQ(Image(0x40200, 4), (std::vector<std::uint8_t>{0xFF, 0xAA, 0xBB, 0xFF}));
  // Nothing to write programs nothing, aligned or not.
  const std::uint64_t programs = Counters(0x40000).programs;
  EXPECT_EQ(NorWriteBuffer(two, 0x40300, 0), 1);
  EXPECT_EQ(NorWriteBuffer(two, 0x40302, 0), 1);
  EXPECT_EQ(Counters(0x40000).programs, programs);
}

TEST_F(NorFlashTest, WritesCheckTheirRange) {
  Init();
  DWORD word = 0;
  EXPECT_EQ(NorWriteBuffer(&word, 0x7FFFC, 4), 1);
  EXPECT_EQ(NorWriteBuffer(&word, 0x7FFFD, 4), 0);
  EXPECT_EQ(NorWriteBuffer(&word, 0x80000, 0), 0);
  EXPECT_EQ(NorWriteBuffer(&word, 0xFFFFFFFF, 2), 0);
  EXPECT_EQ(NorWriteWord(0x80000, 0), 0);
  EXPECT_EQ(NorWriteWord(0x40002, 0), 0);
  ASSERT_EQ(NorWriteWord(0x40004, 0x12345678), 1);
  EXPECT_EQ(NorReadWord(0x40004), 0x12345678u);
  EXPECT_EQ(NorReadWord(0x80000), 0u);
}

TEST_F(NorFlashTest, ReadsStopAtTheEndOfTheFlash) {
  Init();
  Fill(0x7FFF0, 16, 0x5A);
  std::vector<std::uint8_t> out(17);
  EXPECT_EQ(NorReadBuffer(out.data(), 0x7FFF0, 16), 1);
  EXPECT_EQ(out[15], 0x5A);
  EXPECT_EQ(NorReadBuffer(out.data(), 0x7FFF0, 17), 0);
  EXPECT_EQ(NorReadBuffer(out.data(), 0x80000, 0), 0);
  EXPECT_EQ(NorReadBuffer(out.data(), 0x7FFF1, 3), 1);  // unaligned
  EXPECT_EQ(out[0], 0x5A);
}

TEST_F(NorFlashTest, ProgramErrorsFailTheWrite) {
  ModuleSetup setup;
  setup.faults = "[[nor]]\nkind = \"program-error\"\nblock = 0x40000\nchip = \"low\"\n";
  Init(setup);
  std::vector<std::uint8_t> data(64, 0x11);
  EXPECT_EQ(NorWriteBuffer(data.data(), 0x40000, 64), 0);
  EXPECT_EQ(NorWriteWord(0x40040, 0), 0);
  EXPECT_TRUE(BothInReadArray());
}

TEST_F(NorFlashTest, StuckChipTimesOutAfterTheBoundedWaits) {
  ModuleSetup setup;
  setup.faults = "[[nor]]\nkind = \"never-ready\"\nchip = \"high\"\n";
  Init(setup);
  std::vector<std::uint8_t> data(64, 0x11);

  std::uint64_t start = ClockNow();
  EXPECT_EQ(NorWriteWord(0x40000, 0), 0);
  std::uint64_t waited = ClockNow() - start;
  EXPECT_GE(waited, 1000 * kNsPerMs);
  EXPECT_LT(waited, 1100 * kNsPerMs);
}

TEST_F(NorFlashTest, StuckBufferedProgramTimesOutAfterTwoSeconds) {
  ModuleSetup setup;
  setup.faults = "[[nor]]\nkind = \"never-ready\"\n";
  Init(setup);
  std::vector<std::uint8_t> data(128, 0x11);
  std::uint64_t start = ClockNow();
  EXPECT_EQ(NorWriteBuffer(data.data(), 0x40000, 128), 0);
  std::uint64_t waited = ClockNow() - start;
  EXPECT_GE(waited, 2000 * kNsPerMs);
  EXPECT_LT(waited, 2100 * kNsPerMs);
  // The second chunk was never started.
  EXPECT_EQ(Image(0x40040, 64), std::vector<std::uint8_t>(64, 0xFF));
}

TEST_F(NorFlashTest, StuckEraseTimesOutAfterTenSeconds) {
  ModuleSetup setup;
  setup.faults = "[[nor]]\nkind = \"never-ready\"\nchip = \"low\"\n";
  Init(setup);
  Fill(0x40000, 16, 0x00);
  std::uint64_t start = ClockNow();
  EXPECT_EQ(NorEraseRange(0x40000, 1), 0);
  std::uint64_t waited = ClockNow() - start;
  EXPECT_GE(waited, 10000 * kNsPerMs);
  EXPECT_LT(waited, 10200 * kNsPerMs);
}

TEST_F(NorFlashTest, OperationsTakeTheirDatasheetTime) {
  test::ModuleSetup setup;
  setup.times = host::NorTimeMode::kTypical;
  Init(setup);
  Fill(0x40000, 16, 0x00);
  std::uint64_t start = ClockNow();
  ASSERT_EQ(NorEraseRange(0x40000, 1), 1);
  std::uint64_t erase = ClockNow() - start;
  EXPECT_GE(erase, 1000 * kNsPerMs);
  EXPECT_LT(erase, 1010 * kNsPerMs);

  std::vector<std::uint8_t> data(0x40000, 0x00);
  start = ClockNow();
  ASSERT_EQ(NorWriteBuffer(data.data(), 0x40000, 0x40000), 1);
  std::uint64_t program = ClockNow() - start;
  // 4096 chunks of 218 us, plus the bus accesses.
  EXPECT_GE(program, 4096 * 218 * host::kNsPerUs);
  EXPECT_LT(program, 4096 * 230 * host::kNsPerUs);
}

// J3 lock bits are non-volatile and cleared by a timed operation: a block locked in an
// earlier run is still locked, and the driver waits for the clear before it erases.
TEST_F(NorFlashTest, J3BlockLockedInAnEarlierRunIsUnlockedBeforeItIsErased) {
  test::ModuleSetup setup;
  setup.device = 0x0018;
  setup.times = host::NorTimeMode::kTypical;
  Open(setup);
  host::NorArray& nor = *module().nor();
  nor.Write32(0x40000, 0x00600060);
  nor.Write32(0x40000, 0x00010001);
  while ((nor.Read32(0x40000) & 0x00800080) != 0x00800080) {
  }
  nor.Write32(0, 0x00FF00FF);
  Fill(0x40000, 16, 0x00);
  module_.reset();
  module_ = host::Module::Open(ModuleDir());
  const std::uint32_t block = module().nor()->Chip(1).BlockIndex(0x40000 / 4);
  ASSERT_TRUE(module().nor()->Chip(1).Locked(block)) << "the lock bit outlived the run";

  std::uint64_t start = ClockNow();
  ASSERT_EQ(NorInitialize(), 1);
  EXPECT_GE(ClockNow() - start, 500 * kNsPerMs) << "Clear Block Lock-Bits takes its time";
  EXPECT_EQ(NorEraseRange(0x40000, 1), 1);
  EXPECT_EQ(Image(0x40000, 16), std::vector<std::uint8_t>(16, 0xFF));
  module_.reset();
  module_ = host::Module::Open(ModuleDir());
  EXPECT_FALSE(module().nor()->Chip(0).Locked(block));
}

}  // namespace
