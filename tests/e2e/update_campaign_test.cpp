// The update campaign as CI runs it: a fixed sample of generated images, sound and broken, over
// NOR and NAND modules with prior content and faults. Every update must leave the flash as the
// campaign's reference allows: exactly the reference after a success, nothing outside the
// erased blocks changed after an error box, nothing at all changed by a refused image.

#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

namespace {

TEST(UpdateCampaign, EveryUpdateOfTheSampleLeavesTheFlashAsTheReferenceAllows) {
  test::CommandResult r =
      test::RunCommand(std::string(IMBREL_UPDATE_CAMPAIGN_TOOL) + " --seed 1 --cases 300");
  ASSERT_NE(r.out.find("cases run: 300 "), std::string::npos) << r.out << r.err;
  // The sample reaches both kinds of flash, with updates that succeed and files refused.
  for (const char* line : {"NOR  update A: +[0-9]+ success", "NAND update A: +[0-9]+ success",
                           "update A: +[0-9]+ BAD CRC", "update A: +[0-9]+ Unexpected end"}) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex(line))) << line << "\n" << r.out;
  }
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
