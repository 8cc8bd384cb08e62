// imbrel-module map: what each block holds and how often it was erased, as the chips' wear
// is kept in the module from one run to the next.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

std::string ModuleTool(const std::string& args) {
  return std::string(IMBREL_MODULE_TOOL) + " " + args;
}

// The map rows of the region `region` (the state row first, then the erase counts row), with
// the label columns taken off.
std::vector<std::string> Rows(const std::string& map, const std::string& region) {
  std::vector<std::string> rows;
  std::istringstream in(map);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(region + " ", 0) == 0) rows.push_back(line.substr(line.rfind(' ') + 1));
  }
  return rows;
}

TEST(FlashMap, ShowsWhatEachNorBlockHoldsAndItsEraseCountAcrossRuns) {
  test::TempDir dir;
  std::string m = (dir / "m").string();
  // 1 MB: four 64 KB blocks, then three of 256 KB; no content, so no named regions.
  ASSERT_EQ(RunCommand(ModuleTool("create " + m + " --nor --cfi-size 0x13 --blank")).status, 0);
  std::ofstream(dir / "d.raw") << "data";
  auto run = [&](const std::string& args) { return RunCommand(ModuleTool(args)).status; };
  const std::string data = " " + (dir / "d.raw").string();
  // The driver erases only blocks that do not read blank: each erase here has data to erase.
  ASSERT_EQ(run("write " + m + " 0x40000" + data), 0);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(run("write " + m + " 0x80000" + data), 0);
    ASSERT_EQ(run("erase --force " + m + " 0x80000 1"), 0);
  }
  // The erase of the last block is cut by the power: the block is left weak.
  ASSERT_EQ(run("write " + m + " 0xC0000" + data), 0);
  ASSERT_EQ(run("fault " + m + " --power-cut-after 0"), 0);
  run("erase --force " + m + " 0xC0000 1");

  CommandResult r = RunCommand(ModuleTool("map " + m));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Rows(r.out, "-"), (std::vector<std::string>{"....#.W", "0000021"})) << r.out;
  EXPECT_NE(r.out.find("erases: 3 in all; most 2, the block at 0x80000"), std::string::npos)
      << r.out;

  r = RunCommand(ModuleTool("map " + m + " --svg -"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("<?xml", 0), 0u);
  EXPECT_NE(r.out.find("<title>0x80000, 256 KB: erased; 2 erases</title>"), std::string::npos)
      << r.out;
  // Erase counts shade on a fixed scale: none is grey, one the lightest blue whatever the
  // busiest block has seen.
  EXPECT_NE(r.out.find("fill='#e0e0e0'><title>0x0, 64 KB"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fill='#bbdbf7'><title>0xC0000"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 7), "</svg>\n");
}

TEST(FlashMap, NamesRegionsAndShowsBadAndRelocatedNandBlocks) {
  test::TempDir dir;
  std::string m = (dir / "n").string();
  ASSERT_EQ(RunCommand(ModuleTool("create " + m + " --nand --chip 0xF1EC --factory-bad-blocks 900"))
                .status,
            0);
  // The driver finds block 900 bad when it erases it, and moves its logical block to the
  // reserve.
  std::ofstream(dir / "d.raw") << "data";
  ASSERT_EQ(RunCommand(ModuleTool("write --erase " + m + " 0x7080000 " + (dir / "d.raw").string()))
                .status,
            0);
  CommandResult r = RunCommand(ModuleTool("map " + m));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* region : {"bootloader", "config block", "OS image", "registry", "file system"}) {
    EXPECT_EQ(Rows(r.out, region).size(), 2u) << region << "\n" << r.out;
  }
  EXPECT_EQ(Rows(r.out, "bootloader")[0], "##");  // the boot image, and the table page
  std::vector<std::string> reserve = Rows(r.out, "reserve");
  ASSERT_EQ(reserve.size(), 2u) << r.out;
  EXPECT_EQ(reserve[0], std::string(19, '.') + "R");
  EXPECT_NE(r.out.find("relocated: logical block 900 moved to physical 1023"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 bad: its logical block moved to the reserve"), std::string::npos)
      << r.out;
}

}  // namespace
