// Power cuts: the operation in flight is left half done and the module stops.

#include "host/hardware/power.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/nand/nand_controller.h"
#include "flash/nand/nand_flash.h"
#include "flash/nor/nor_flash.h"
#include "module_fixture.h"

namespace {

std::string BootLog(const std::filesystem::path& dir) {
  std::ifstream in(dir / "boot.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The 256 KB main block above the boot area, unlocked by the driver's initialisation.
constexpr DWORD kCutBlock = 0x40000;
constexpr DWORD kBlockBytes = 0x40000;

class NorPowerCutTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    Open();
    SelectFlashDriver();
    ASSERT_EQ(NorInitialize(), 1);
  }
  std::filesystem::path dir() { return dir_ / "module"; }
};

TEST_F(NorPowerCutTest, ProgramCutShortLeavesPartOfTheBufferAndStopsTheModule) {
  std::vector<std::uint8_t> data(64, 0x00);
  std::ofstream(dir() / "ram" / "marker") << "in RAM";
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  int status = test::RunInChild([&] {
    module().power().ArmCut(0);
    FlashOps.WriteBuffer(data.data(), kCutBlock + 0x100, 64);
    ADD_FAILURE() << "the write went on after the power cut";
  });
  EXPECT_EQ(status, host::kPowerCutStatus);
  std::vector<std::uint8_t> cells = test::ReadImage(dir(), kCutBlock + 0x100, 64);
  // The low chip confirms first and had programmed the first half of its 16-word buffer (the
  // low halves of bus words 0-7) when the power went; the high chip never saw its confirm.
  for (int i = 0; i < 64; ++i) {
    bool programmed = i < 32 && (i & 2) == 0;
    EXPECT_EQ(cells[i], programmed ? 0x00 : 0xFF) << "byte " << i;
  }
  EXPECT_NE(BootLog(dir()).find("power cut during flash operation 1 (NOR buffered program"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir() / "ram" / "marker"));
}

TEST_F(NorPowerCutTest, EraseCutShortLeavesTheBlockPartlyErased) {
  std::vector<std::uint8_t> zeros(kBlockBytes, 0x00);
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  ASSERT_EQ(FlashOps.WriteBuffer(zeros.data(), kCutBlock, kBlockBytes), 1);
  std::uint64_t before = module().power().Operations();
  EXPECT_GT(before, 0u);
  int status = test::RunInChild([&] {
    module().power().ArmCut(1);  // the low chip's erase completes, the high chip's is cut
    FlashOps.EraseRange(kCutBlock, kBlockBytes);
  });
  EXPECT_EQ(status, host::kPowerCutStatus);
  std::vector<std::uint8_t> cells = test::ReadImage(dir(), kCutBlock, kBlockBytes);
  // Low chip (bytes 0-1 of each bus word) erased; high chip erased in its first half only.
  EXPECT_EQ(cells[0], 0xFF);
  EXPECT_EQ(cells[2], 0xFF);
  EXPECT_EQ(cells[kBlockBytes - 2], 0x00);
  EXPECT_EQ(cells[kBlockBytes - 4], 0xFF);
  EXPECT_NE(BootLog(dir()).find("NOR erase of the block at bus offset 0x40002, high chip"),
            std::string::npos);
}

TEST_F(NorPowerCutTest, BlockThatAnEraseCutLeftBlankFailsItsProgramsUntilErasedWhole) {
  // Data in the first half of the block only: the cut erase of the high chip reaches it all,
  // and the block reads blank, so the driver does not erase it again.
  std::vector<std::uint8_t> data(kBlockBytes / 2, 0x00);
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  ASSERT_EQ(FlashOps.WriteBuffer(data.data(), kCutBlock, kBlockBytes / 2), 1);
  int status = test::RunInChild([&] {
    module().power().ArmCut(1);  // the low chip's erase completes, the high chip's is cut halfway
    FlashOps.EraseRange(kCutBlock, kBlockBytes);
  });
  ASSERT_EQ(status, host::kPowerCutStatus);
  EXPECT_EQ(test::ReadImage(dir(), kCutBlock, kBlockBytes),
            std::vector<std::uint8_t>(kBlockBytes, 0xFF));
  EXPECT_NE(host::DescribeModule(dir()).find("weak blocks 1 whose last erase was cut short"),
            std::string::npos);

  // The weak cells read erased, but a program into them does not take: the driver says so.
  std::vector<std::uint8_t> image(256, 0x12);
  EXPECT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  EXPECT_EQ(FlashOps.WriteBuffer(image.data(), kCutBlock, 256), 0);
  // The block is no longer blank, so the next erase runs and ends the weakness.
  EXPECT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  EXPECT_EQ(FlashOps.WriteBuffer(image.data(), kCutBlock, 256), 1);
  EXPECT_EQ(test::ReadImage(dir(), kCutBlock, 256), image);
  EXPECT_NE(host::DescribeModule(dir()).find("weak blocks none"), std::string::npos);
}

// A rehearsal's walk through a NOR program and erase: each cut is handed over with its part
// landed; then the operation lands whole, counted as an uncut one is.
struct NorHandedOver {
  std::filesystem::path module;
  DWORD offset = 0;
  std::vector<std::vector<std::uint8_t>> bytes;
};

void NoteNorHandOver(std::size_t, void* arg) {
  auto& seen = *static_cast<NorHandedOver*>(arg);
  seen.bytes.push_back(test::ReadImage(seen.module, seen.offset, 64));
}

TEST_F(NorPowerCutTest, WalkHandsOverEachCutOfAnOperationThenLandsItWhole) {
  const std::filesystem::path elsewhere = dir_ / "cut";
  std::filesystem::create_directories(elsewhere / "ram");
  NorHandedOver seen{dir(), kCutBlock + 0x100, {}};
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  host::IntelNorChip& low = module().nor()->Chip(0);
  std::uint32_t block = 0;
  while (low.BlockStart(block + 1) <= kCutBlock / 4) ++block;
  const host::NorBlockCounters before = low.Counters(block);
  // The low chip's buffer confirm: cut with none of it landed, then with half.
  const std::uint64_t program = module().power().Operations() + 1;
  module().power().Walk({{program, 2}, {program, 0}}, elsewhere, NoteNorHandOver, &seen);
  std::vector<std::uint8_t> zeros(64, 0x00);
  ASSERT_EQ(FlashOps.WriteBuffer(zeros.data(), kCutBlock + 0x100, 64), 1);
  ASSERT_EQ(seen.bytes.size(), 2u);
  EXPECT_EQ(seen.bytes[0], std::vector<std::uint8_t>(64, 0xFF));
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(seen.bytes[1][i], i < 32 && (i & 2) == 0 ? 0x00 : 0xFF) << "byte " << i;
  }
  EXPECT_EQ(test::ReadImage(dir(), kCutBlock + 0x100, 64), zeros);
  EXPECT_EQ(low.Counters(block).programs, before.programs + 1);
  EXPECT_EQ(low.Counters(block).overprograms, before.overprograms) << "zeros over erased cells";

  // The low chip's erase, cut with a quarter of it landed: the block weak at the hand-over,
  // erased whole and not weak after.
  seen.offset = kCutBlock + kBlockBytes - 64;  // the last words: not reached by a quarter
  ASSERT_EQ(FlashOps.WriteBuffer(zeros.data(), seen.offset, 64), 1);
  module().power().Walk({{module().power().Operations() + 1, 1}}, elsewhere, NoteNorHandOver,
                        &seen);
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  ASSERT_EQ(seen.bytes.size(), 3u);
  EXPECT_EQ(seen.bytes[2][0], 0x00);
  EXPECT_EQ(test::ReadImage(dir(), seen.offset, 64), std::vector<std::uint8_t>(64, 0xFF));
  EXPECT_FALSE(low.Weak(block));
  EXPECT_EQ(low.Counters(block).erases, before.erases + 1);
  EXPECT_NE(BootLog(elsewhere).find("(NOR buffered program at bus offset 0x40100, low chip)"),
            std::string::npos)
      << BootLog(elsewhere);
}

TEST_F(NorPowerCutTest, DisarmedCutLetsEveryOperationThrough) {
  module().power().ArmCut(0);
  module().power().DisarmCut();
  std::vector<std::uint8_t> data(64, 0x5A);
  ASSERT_EQ(FlashOps.EraseRange(kCutBlock, kBlockBytes), 1);
  EXPECT_EQ(FlashOps.WriteBuffer(data.data(), kCutBlock, 64), 1);
  EXPECT_EQ(test::ReadImage(dir(), kCutBlock, 64), data);
}

}  // namespace

namespace {

// Two processes opening a module for the first time at once: one has made nor.weak and not
// yet given it its size when the other opens it. The second makes it its size as well.
TEST(WeakBlockFile, FoundEmptyIsMadeItsSize) {
  test::TempDir dir;
  test::OpenNewModule(dir / "m", {}).reset();
  std::filesystem::resize_file(dir / "m" / "nor.weak", 0);
  ASSERT_NE(host::Module::Open(dir / "m"), nullptr);
  EXPECT_GT(std::filesystem::file_size(dir / "m" / "nor.weak"), 0u);
}

class NandPowerCutTest : public ::testing::Test {
 protected:
  // Each run is a process of its own on the module: the flash driver starts once a process.
  int RunOnModule(const std::string& faults, const std::function<void(host::Module&)>& body) {
    if (!std::filesystem::exists(dir())) test::OpenNewNandModule(dir()).reset();
    std::ofstream(dir() / "faults.toml") << faults;
    return test::RunInChild([&] {
      auto module = host::Module::Open(dir());
      ASSERT_EQ(NandInit(), 1);
      body(*module);
    });
  }
  std::filesystem::path dir() { return tmp_.path() / "module"; }

  test::TempDir tmp_;
};

TEST_F(NandPowerCutTest, ProgramCutShortLeavesHalfThePage) {
  std::vector<std::uint8_t> data(2048, 0x00);
  int status = RunOnModule("", [&](host::Module& module) {
    ASSERT_EQ(NandEraseRange(0x40000, 0x20000), 1);  // logical block 2: physical block 2
    module.power().ArmCut(0);
    NandWriteBuffer(data.data(), 0x40000, 2048);
  });
  EXPECT_EQ(status, host::kPowerCutStatus);
  std::vector<std::uint8_t> raw = test::ReadRawNandPage(dir(), 128);
  EXPECT_EQ(std::count(raw.begin(), raw.begin() + 1024, 0x00), 1024);
  EXPECT_EQ(std::count(raw.begin() + 1024, raw.end(), 0xFF), 2112 - 1024);
  EXPECT_NE(BootLog(dir()).find("(NAND program of physical page 128)"), std::string::npos);
}

TEST_F(NandPowerCutTest, FaultsFileCutsAnEraseHalfway) {
  int status =
      RunOnModule("[power]\ncut_after = 0\n", [&](host::Module&) { NandEraseRange(0, 0x20000); });
  EXPECT_EQ(status, host::kPowerCutStatus);
  // Erasing logical block 0 wipes the table page with the first half of physical block 0
  // spared: the cut fell after page 31, so page 63 still holds the table.
  EXPECT_EQ(test::ReadRawNandPage(dir(), 63)[0], 0x4E);
  EXPECT_NE(BootLog(dir()).find("(NAND erase of physical block 0)"), std::string::npos);
}

TEST_F(NandPowerCutTest, BlockWhoseEraseWasCutFailsItsProgramsUntilErasedWhole) {
  std::vector<std::uint8_t> data(2048, 0x3C);
  ASSERT_EQ(RunOnModule("",
                        [&](host::Module& module) {
                          ASSERT_EQ(NandEraseRange(0x40000, 0x20000), 1);  // physical block 2
                          module.power().ArmCut(0);
                          NandEraseRange(0x40000, 0x20000);
                        }),
            host::kPowerCutStatus);
  EXPECT_EQ(RunOnModule("",
                        [&](host::Module&) {
                          // The erased half of the block reads erased, yet a program there fails
                          // (and the driver moves the block to the reserve); a whole erase ends the
                          // weakness.
                          EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 128),
                                    kNandProgramEraseFailed);
                          EXPECT_EQ(NandEraseBlock(128), kNandDone);
                          EXPECT_EQ(NandProgramPage(data.data(), nullptr, 0, 128), kNandDone);
                        }),
            0);
}

// A rehearsal's walk: the power fails during an operation without ending the run. Each cut
// of the operation is handed over with its part landed, as a process cut there leaves the
// flash; then the operation lands whole, as if the power had held.
struct HandedOver {
  std::filesystem::path module;
  std::uint32_t page = 0;  // the raw page to look at
  std::vector<std::vector<std::uint8_t>> pages;
  std::vector<std::string> weak, programs;  // the whole nand.weak and nand.programs files
};

std::string FileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void NoteHandOver(std::size_t, void* arg) {
  auto& seen = *static_cast<HandedOver*>(arg);
  seen.pages.push_back(test::ReadRawNandPage(seen.module, seen.page));
  seen.weak.push_back(FileBytes(seen.module / "nand.weak"));
  seen.programs.push_back(FileBytes(seen.module / "nand.programs"));
}

TEST_F(NandPowerCutTest, WalkHandsOverEachCutOfAnOperationThenLandsItWhole) {
  const std::filesystem::path elsewhere = tmp_.path() / "cut";
  std::filesystem::create_directories(elsewhere / "ram");
  std::vector<std::uint8_t> zeros(2048, 0x00);
  const int status = RunOnModule("", [&](host::Module& module) {
    HandedOver seen{dir(), 128, {}, {}, {}};
    ASSERT_EQ(NandEraseRange(0x40000, 0x20000), 1);  // physical block 2
    const std::uint64_t program = module.power().Operations() + 1;
    module.power().Walk({{program, 3}, {program, 0}}, elsewhere, NoteHandOver, &seen);
    ASSERT_EQ(NandWriteBuffer(zeros.data(), 0x40000, 2048), 1);  // page 128
    // The cuts of the program, from the least landed: nothing of it, then three quarters.
    ASSERT_EQ(seen.pages.size(), 2u);
    EXPECT_EQ(std::count(seen.pages[0].begin(), seen.pages[0].end(), 0xFF), 2112);
    EXPECT_EQ(std::count(seen.pages[1].begin(), seen.pages[1].begin() + 1536, 0x00), 1536);
    EXPECT_EQ(std::count(seen.pages[1].begin() + 1536, seen.pages[1].begin() + 2048, 0xFF), 512);
    // Then the program whole, counted once.
    const std::vector<std::uint8_t> page = test::ReadRawNandPage(dir(), 128);
    EXPECT_EQ(std::count(page.begin(), page.begin() + 2048, 0x00), 2048);
    EXPECT_EQ(static_cast<int>(FileBytes(dir() / "nand.programs")[128]), 1);

    // An erase: cut with half its pages erased, the block weak; then erased whole, not weak.
    ASSERT_EQ(NandWriteBuffer(zeros.data(), 0x50000, 2048), 1);  // page 160, the second half
    module.power().Walk({{module.power().Operations() + 1, 2}}, elsewhere, NoteHandOver, &seen);
    seen.page = 160;
    ASSERT_EQ(NandEraseRange(0x40000, 0x20000), 1);
    ASSERT_EQ(seen.pages.size(), 3u);
    EXPECT_EQ(seen.pages[2][0], 0x00) << "the second half of the block is not erased yet";
    EXPECT_EQ(seen.weak[2][2], 1);
    EXPECT_EQ(static_cast<int>(seen.programs[2][128]), 0) << "the erased half's counts cleared";
    EXPECT_EQ(static_cast<int>(seen.programs[2][160]), 1);
    EXPECT_EQ(FileBytes(dir() / "nand.weak")[2], 0);
    EXPECT_EQ(test::ReadRawNandPage(dir(), 160)[0], 0xFF);
  });
  EXPECT_EQ(status, 0);
  // The cuts are noted where the walk keeps them, not in the module's own boot.log.
  EXPECT_NE(BootLog(elsewhere).find("(NAND program of physical page 128)"), std::string::npos);
  EXPECT_NE(BootLog(elsewhere).find("(NAND erase of physical block 2)"), std::string::npos);
  EXPECT_EQ(BootLog(dir()).find("power cut"), std::string::npos);
}

}  // namespace
