// The update campaign as CI runs it: a fixed sample of generated images, sound and broken, over
// NOR and NAND modules with prior content and faults. Every update must leave the flash as the
// campaign's reference allows: exactly the reference after a success, nothing outside the
// erased blocks changed after an error box, nothing at all changed by a refused image.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_support.h"

namespace {

TEST(UpdateCampaign, EveryUpdateOfTheSampleLeavesTheFlashAsTheReferenceAllows) {
  test::CommandResult r =
      test::RunCommand(std::string(IMBREL_UPDATE_CAMPAIGN_TOOL) + " --seed 1 --cases 300");
  ASSERT_NE(r.out.find("cases run: 300 "), std::string::npos) << r.out << r.err;
  // The sample reaches both kinds of flash, with updates that succeed and files refused: a
  // figures line names the flash and the update, then a count, then how it ended.
  auto counted = [&](const std::string& update, const std::string& ending) {
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.find(update) != std::string::npos && line.find(ending) != std::string::npos)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(counted("NOR  update A:", " success")) << r.out;
  EXPECT_TRUE(counted("NAND update A:", " success")) << r.out;
  EXPECT_TRUE(counted("update A:", " BAD CRC")) << r.out;
  EXPECT_TRUE(counted("update A:", " Unexpected end")) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST(UpdateCampaign, CasesThatOnceFoundFaultsStayMended) {
  // A failed NOR erase, then a boot-area update in the same process (its unlock read the old
  // error bits); a NAND boot-area page, erased, that reads with one bit flipped.
  for (const char* args : {"--seed 1 --case 512", "--kinds nand --seed 1 --case 1184"}) {
    test::CommandResult r = test::RunCommand(std::string(IMBREL_UPDATE_CAMPAIGN_TOOL) + " " + args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.out << r.err;
  }
}

}  // namespace
