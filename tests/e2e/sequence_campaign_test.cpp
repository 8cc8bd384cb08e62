// The sequence campaign as CI runs it: a fixed sample of generated job sequences on one NAND
// module (updates, cancels, power cuts, restarts, write --erase, faults, bit flips), the flash
// held to the campaign's reference after every job.

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

TEST(SequenceCampaign, EveryJobOfTheSampleLeavesTheFlashAsTheReferenceAllows) {
  test::CommandResult r = test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + " 60 1");
  EXPECT_NE(r.out.find("60 sequences, "), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find(": 0 findings"), std::string::npos) << r.out;
  // The sample meets the roads it is for: cancelled and cut updates, a failing block.
  EXPECT_NE(r.out.find("update, cancelled: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("update, power cut: cut"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Error "), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace
