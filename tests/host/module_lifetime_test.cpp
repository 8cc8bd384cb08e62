// Modules in one process: two open at once, or one after the other. Each module's models
// work for that module alone, and a module closed leaves nothing behind for the next.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>

#include "host/hardware/pxa3xx_dfc.h"
#include "module_fixture.h"

namespace {

namespace fs = std::filesystem;

// A page program through the data flash controller, as ProgramsBreakingThePageRules drives
// it: a 2048-byte-page chip, ECC on, the status read at the end.
void ProgramNandPage(host::Pxa3xxDfc& dfc, std::uint32_t page) {
  constexpr std::uint32_t kNdcr = 0x00, kNdsr = 0x14, kNddb = 0x40, kNdcb0 = 0x48;
  dfc.Write32(kNdsr, 0xFFF);
  dfc.Write32(kNdcr, 0x0105DFFF | host::kNdcrNdRun);
  dfc.Write32(kNdcb0, 0x022D1080);
  dfc.Write32(kNdcb0, page << 16);
  dfc.Write32(kNdcb0, 0);
  for (int w = 0; w < 512; ++w) dfc.Write32(kNddb, 0xFFFFFF00u);
  for (int p = 0; p < 5 && !(dfc.Read32(kNdsr) & host::kNdsrCs0CmdD); ++p) {
  }
}

class ModuleLifetime : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

// A tool may hold two modules open (one to copy from, one to copy into): the NAND module's
// controller and the NOR module's chips each note in their own module's directory, whichever
// module was opened last.
TEST_F(ModuleLifetime, ModelsOfTwoOpenModulesNoteInTheirOwnDirectories) {
  std::unique_ptr<host::Module> nand = test::OpenNewNandModule(dir_ / "nand");
  std::unique_ptr<host::Module> nor = test::OpenNewModule(dir_ / "nor", {});
  // Page 200 after page 201 of its block: the chip takes it, and the module notes it.
  ProgramNandPage(*nand->dfc(), 201);
  ProgramNandPage(*nand->dfc(), 200);
  {
    test::ExpectUnknownCommands unknown;
    nor->nor()->Write32(0, 0x00B000B0);  // suspend: not modelled, each chip says so
    ASSERT_EQ(unknown.seen().size(), 2u);
  }
  EXPECT_TRUE(fs::exists(dir_ / "nand" / "nand.rules"));
  EXPECT_FALSE(fs::exists(dir_ / "nor" / "nand.rules"));
  EXPECT_TRUE(fs::exists(dir_ / "nor" / "unknown.commands"));
  EXPECT_FALSE(fs::exists(dir_ / "nand" / "unknown.commands"));

  // The NOR module closes; the NAND module, open still, goes on noting in its own directory.
  nor.reset();
  fs::remove(dir_ / "nand" / "nand.rules");
  ProgramNandPage(*nand->dfc(), 199);
  EXPECT_TRUE(fs::exists(dir_ / "nand" / "nand.rules"));
}

}  // namespace
