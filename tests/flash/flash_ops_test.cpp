// Driver selection and the erase-progress protocol. SelectFlashDriver keeps its result for
// the life of the process, so every selection test runs in a fresh process.

#include "flash/flash_ops.h"

#include <gtest/gtest.h>

#include "host/hardware/virtual_cpu.h"
#include "host/oal/platform_layer.h"
#include "module_fixture.h"
#include "platform/kernel_call.h"

namespace {

std::size_t KernelCalls() { return host::KernelIoCalls().size(); }

class FlashOpsTest : public test::ModuleTest {};

TEST_F(FlashOpsTest, PartNumber17SelectsNorOnceAndForAll) {
  Open();
  EXPECT_IN_FRESH_PROCESS({
    EXPECT_EQ(FlashOps.DriverKind, 0);
    EXPECT_EQ(FlashOps.EraseRange, nullptr);
    ASSERT_EQ(SelectFlashDriver(), 1);
    EXPECT_EQ(FlashOps.DriverKind, 1);
    EXPECT_EQ(FlashOps.FlashSize, 0x80000u);
    EXPECT_EQ(FlashOps.DeviceType, 3);
    EXPECT_EQ(FlashOps.PageSize, nullptr);
    EXPECT_EQ(FlashOps.SetEcc(1), 0);
    EXPECT_EQ(FlashOps.BlockSize(0), 0x10000u);

    // A second selection touches nothing: not even the processor.
    std::size_t calls = KernelCalls();
    host::SetCpuMainId(host::MainIdForPartNumber(8));
    EXPECT_EQ(SelectFlashDriver(), 1);
    EXPECT_EQ(KernelCalls(), calls);
  });
}

TEST_F(FlashOpsTest, EveryOtherPartNumberSelectsNand) {
  module_ = test::OpenNewNandModule(dir_ / "nand");
  for (DWORD part : {0u, 8u, 9u, 16u, 18u}) {
    SCOPED_TRACE(part);
    EXPECT_IN_FRESH_PROCESS({
      module_ = host::Module::Open(dir_ / "nand");
      host::SetCpuMainId(host::MainIdForPartNumber(part));
      ASSERT_EQ(SelectFlashDriver(), 2);
      EXPECT_EQ(FlashOps.DriverKind, 2);
      EXPECT_EQ(FlashOps.PageSize(), 2048u);
      EXPECT_EQ(FlashOps.BlockSize(0x12345), 0x20000u);
      EXPECT_EQ(FlashOps.DeviceType, 1);                      // 0xF1EC
      EXPECT_EQ(FlashOps.FlashSize, (1024u - 20) * 0x20000);  // the reserve is 1024 / 50
    });
  }
}

TEST_F(FlashOpsTest, NandSelectionFailsWhenTheChipIsUnknown) {
  module_ = test::OpenNewNandModule(dir_ / "nand", {.chip = 0x1234});
  EXPECT_IN_FRESH_PROCESS({
    module_ = host::Module::Open(dir_ / "nand");
    EXPECT_EQ(SelectFlashDriver(), 0);
    EXPECT_EQ(FlashOps.DriverKind, 0);
    EXPECT_NE(FlashOps.PageSize, nullptr);  // the table points at the NAND driver all the same
  });
}

TEST_F(FlashOpsTest, FailedSelectionIsTriedAgain) {
  test::ModuleSetup setup;
  setup.extra_nor = "manufacturer = [0x89, 0x01]";
  Open(setup);
  EXPECT_IN_FRESH_PROCESS({
    EXPECT_EQ(SelectFlashDriver(), 0);
    EXPECT_EQ(FlashOps.DriverKind, 0);
    EXPECT_NE(FlashOps.EraseRange, nullptr);
    std::size_t calls = KernelCalls();
    EXPECT_EQ(SelectFlashDriver(), 0);
    EXPECT_GT(KernelCalls(), calls);  // identified the processor again
  });
}

std::vector<DWORD> reported;
int Record(DWORD done, DWORD) {
  reported.push_back(done);
  return 1;
}

TEST(EraseProgressTest, SmallBlocksReportEveryIntervalNotEveryBlock) {
  SetProgressCallback(Record, 0x10000);
  reported.clear();
  EraseProgressState state;
  BeginEraseProgress(&state, 12 * 0x4000);
  for (int block = 0; block < 12; ++block) {
    ASSERT_EQ(ReportEraseProgress(&state), 1);
    AdvanceEraseProgress(&state, 0x4000);
  }
  EXPECT_EQ(reported, (std::vector<DWORD>{0, 0x10000, 0x20000}));

  SetProgressCallback(nullptr, 0x10000);
  reported.clear();
  BeginEraseProgress(&state, 0x4000);
  EXPECT_EQ(ReportEraseProgress(&state), 1);
  EXPECT_TRUE(reported.empty());
}

}  // namespace
