// The power-cut campaign as CI runs it: a few dozen cuts over each update. The one window the
// module does not survive is a cut after the erase of block 0 and before any of the table
// page's program lands: the relocation table is gone and the driver cannot start again.

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.h"

namespace {

class PowerCutCampaign : public ::testing::TestWithParam<const char*> {};

TEST_P(PowerCutCampaign, EveryCutOutsideTheTablePageWindowIsRestoredByTheNextUpdate) {
  test::CommandResult r = test::RunCommand(std::string(IMBREL_POWER_CUT_TOOL) +
                                           " --cuts 48 --check-restore " + GetParam());
  ASSERT_NE(r.out.find("48 cuts made"), std::string::npos) << r.out << r.err;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("not survived") == std::string::npos) continue;
    EXPECT_NE(line.find("(NAND program of physical page 63, 0/4 landed)"), std::string::npos)
        << line;
  }
  // Only the boot-area update erases block 0, and its table page program is among the cuts.
  bool boot = std::string(GetParam()) == "nand-boot";
  EXPECT_EQ(r.status, boot ? 1 : 0) << r.out;
  EXPECT_EQ(r.out.find("47 survived") != std::string::npos, boot) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerCutCampaign,
                         ::testing::Values("nor", "nand", "nand-boot"));

}  // namespace
