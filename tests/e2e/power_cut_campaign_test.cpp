// The power-cut campaign as CI runs it: a few dozen cuts over each update. The one window the
// module does not survive is a cut after the erase of block 0 and before any of the table
// page's program lands: the relocation table is gone and the driver cannot start again.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class PowerCutCampaign : public ::testing::TestWithParam<const char*> {};

TEST_P(PowerCutCampaign, EveryCutOutsideTheTablePageWindowIsRestoredByTheNextUpdate) {
  test::CommandResult r = test::RunCommand(std::string(IMBREL_POWER_CUT_TOOL) +
                                           " --cuts 48 --check-restore " + GetParam());
  ASSERT_NE(r.out.find("48 cuts made"), std::string::npos) << r.out << r.err;
  std::vector<std::string> lost;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("not survived") != std::string::npos) lost.push_back(line);
  }
  // Only the boot-area update erases block 0, and its table page program is among the cuts:
  // the update's second operation, after the erase of block 0, cut before any of it landed.
  // The module cannot start its flash driver again, and that cut is the only one it does not
  // survive.
  if (std::string(GetParam()) == "nand-boot") {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("48 cuts made, 47 survived"), std::string::npos) << r.out;
    ASSERT_EQ(lost.size(), 1u) << r.out;
    EXPECT_EQ(lost[0].rfind("  not survived: cut during operation 2 of ", 0), 0u) << lost[0];
    EXPECT_NE(lost[0].find("(NAND program of physical page 63, 0/4 landed): the flash driver "
                           "no longer starts"),
              std::string::npos)
        << lost[0];
  } else {
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("48 cuts made, 48 survived"), std::string::npos) << r.out;
    EXPECT_TRUE(lost.empty()) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerCutCampaign,
                         ::testing::Values("nor", "nand", "nand-boot"));

}  // namespace

namespace {

// A registry save cut at each of its flash operations, each with every part of it landed:
// after the restart the copy saved before or the new one is in force, and the save again
// puts the new one in force.
class RegistrySaveCutCampaign : public ::testing::TestWithParam<const char*> {};

TEST_P(RegistrySaveCutCampaign, EveryCutLeavesTheOldCopyOrTheNewOne) {
  test::CommandResult r = test::RunCommand(std::string(IMBREL_POWER_CUT_TOOL) +
                                           " --cuts 100 --check-restore " + GetParam());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  unsigned long operations = 0, made = 0, survived = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("flash operations") != std::string::npos) {
      std::sscanf(line.c_str(), " %lu", &operations);
    } else if (line.find("cuts made") != std::string::npos) {
      std::sscanf(line.c_str(), " %lu cuts made, %lu survived", &made, &survived);
    }
  }
  EXPECT_GE(operations, 2u) << r.out;
  EXPECT_EQ(made, 4 * operations) << r.out;
  EXPECT_EQ(survived, made) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RegistrySaveCutCampaign,
                         ::testing::Values("registry-nor", "registry-nand"));

}  // namespace
