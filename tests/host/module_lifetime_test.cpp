// Modules in one process: two open at once, or one after the other. Each module's models
// work for that module alone, and a module closed leaves nothing behind for the next.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ce/kernel.h"
#include "ce/registry.h"
#include "host/hardware/nor_array.h"
#include "host/hardware/power.h"
#include "host/hardware/pxa3xx_dfc.h"
#include "host/oal/platform_codes.h"
#include "module_fixture.h"
#include "platform/kernel_call.h"

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

// Unlocks the NOR block at `offset` and programs one bus word there (both chips).
void ProgramNorWord(host::NorArray& nor, std::uint32_t offset, std::uint32_t value) {
  nor.Write32(offset, 0x00600060);  // lock setup
  nor.Write32(offset, 0x00D000D0);  // clear the block's lock bit
  nor.Write32(offset, 0x00400040);  // word program setup
  nor.Write32(offset, value);
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

// A power cut belongs to the module whose supply it was armed on (faults.toml's [power]): it
// falls on that module's chips even when another module was opened since, and on no other's;
// a module closed with a cut armed leaves none to a model made after it.
TEST_F(ModuleLifetime, PowerCutFallsOnTheModuleItWasArmedOnOnly) {
  test::OpenNewModule(dir_ / "cut", {.faults = "[power]\ncut_after = 0\n"}).reset();
  test::OpenNewModule(dir_ / "other", {}).reset();
  int status = test::RunInChild([&] {
    std::unique_ptr<host::Module> cut = host::Module::Open(dir_ / "cut");
    std::unique_ptr<host::Module> other = host::Module::Open(dir_ / "other");
    ProgramNorWord(*other->nor(), 0x40000, 0x12345678);
    EXPECT_EQ(test::ReadImage(dir_ / "other", 0x40000, 4),
              (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    ProgramNorWord(*cut->nor(), 0x40000, 0x12345678);
    ADD_FAILURE() << "the program went on after the power cut";
  });
  EXPECT_EQ(status, host::kPowerCutStatus);
  EXPECT_NE(ReadText(dir_ / "cut" / "boot.log").find("power cut during flash operation 1 (NOR"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "other" / "boot.log"));

  status = test::RunInChild([&] {
    host::Module::Open(dir_ / "cut").reset();
    host::NorConfig config;
    config.cfi_size = 0x12;
    std::vector<std::uint8_t> image(std::size_t{2} << config.cfi_size, 0xFF);
    host::NorArray alone(config, image.data());
    ProgramNorWord(alone, 0x40000, 0x12345678);
    EXPECT_EQ(image[0x40000], 0x78);
  });
  EXPECT_EQ(status, 0) << "a model made after the module closed lost its power";
}

// A module closed leaves the process as if it had never been opened: the processor, the pace
// of the clock and the faults its files gave the registry and the platform layer are undone,
// and the CE calls find no module, as before the first one opened.
TEST_F(ModuleLifetime, ClosedModuleLeavesNothingBehind) {
  host::CreateOptions options = host::CreateOptions::Blank();
  options.flash = host::FlashKind::kNand;
  options.nand_chip = 0xF1EC;
  options.part_number = 8;
  host::CreateModule(dir_ / "first", options);
  std::string toml = ReadText(dir_ / "first" / "module.toml");
  toml.replace(toml.find("pace = \"fast\""), 13, "pace = \"real\"");
  std::ofstream(dir_ / "first" / "module.toml") << toml;
  std::ofstream(dir_ / "first" / "faults.toml")
      << "[registry]\nopen = \"fail\"\n[platform]\nconfig_set = \"fail\"\n";
  std::uint8_t item[8] = {};
  host::ConfigRecord record = {0, reinterpret_cast<ULONG_PTR>(item), sizeof item};
  HKEY key = nullptr;

  std::unique_ptr<host::Module> first = host::Module::Open(dir_ / "first");
  ASSERT_EQ(GetCpuPartNumber(), 8u);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers"), 0, 0, &key), ERROR_ACCESS_DENIED);
  first.reset();

  EXPECT_EQ(GetCpuPartNumber(), 17u) << "the processor of the closed module";
  const auto start = std::chrono::steady_clock::now();
  Sleep(2000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "the clock kept the closed module's real pace";
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers"), 0, 0, &key), ERROR_FILE_NOT_FOUND)
      << "the closed module's registry fault";
  EXPECT_FALSE(
      KernelIoControl(host::kCodeConfigGet, &record, sizeof record, item, sizeof item, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED))
      << "the platform layer still answers for the closed module";
}

}  // namespace
