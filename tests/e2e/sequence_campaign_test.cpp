// The sequence campaign as CI runs it: a fixed sample of generated job sequences on one NAND
// module and one NOR module (updates, cancels, power cuts, restarts, write --erase, faults, bit
// flips), the flash held to the campaign's reference after every job.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

TEST(SequenceCampaign, EveryJobOfTheSampleLeavesTheFlashAsTheReferenceAllows) {
  test::CommandResult r = test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + " 200 1");
  EXPECT_NE(r.out.find("NAND: 200 sequences, "), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find(": 0 findings"), std::string::npos) << r.out;
  // The sample meets the roads it is for: cancelled and cut updates, a failing block, logical
  // block 1 moved to the reserve, plain writes over a block the maker marked bad, bits flipped
  // in the table page's CRC slots at the first start of a boot, loud updates over the
  // configuration block's region.
  EXPECT_NE(r.out.find("update, cancelled: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("update, power cut: cut"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Error "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("jobs on a module whose logical block 1 lives in the reserve"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("plain writes over a block the maker marked bad"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("bits read flipped in the table page's CRC slots"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("loud updates over the configuration block's region, the block at 0x40000"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("loud updates over the configuration block's region, the block absent"),
            std::string::npos)
      << r.out;
  // Registry saves, whole and cut, and cold restarts that ran an OS image an update wrote.
  EXPECT_NE(r.out.find("registry saves: done"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("registry saves cut: cut"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("cold restarts: an image with a version record ran"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

// The module's own jobs on both flashes: the next start runs the OS image written (not at a
// warm restart), and takes the newest registry copy; a clear leaves the default.
TEST(SequenceCampaign, StartsRunTheImageWrittenAndTheNewestRegistry) {
  test::TempDir dir;
  const std::string file = (dir.path() / "jobs.txt").string();
  std::ofstream(file) << "save\nwarm\nupdate 0x80000 0x8000 5 os\nwarm\ncold\nsave cut 2 1\n"
                         "save\ncold\nregistry-clear\ncold\n";
  for (const char* flash : {"", " --nor"}) {
    test::CommandResult r =
        test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + flash + " --replay " + file);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("finding"), std::string::npos) << r.out;
    std::vector<std::string> starts;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("warm", 0) == 0 || line.rfind("cold", 0) == 0) starts.push_back(line);
    }
    ASSERT_EQ(starts.size(), 5u) << r.out;
    EXPECT_NE(starts[0].find("an image without a version record"), std::string::npos) << r.out;
    EXPECT_NE(starts[1].find("an image without a version record"), std::string::npos) << r.out;
    EXPECT_NE(starts[2].find("an image of version 11.0"), std::string::npos) << r.out;
  }
}

TEST(SequenceCampaign, NorModulesHoldToTheReferenceToo) {
  test::CommandResult r =
      test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + " 100 1 --nor");
  EXPECT_NE(r.out.find("NOR: 100 sequences, "), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find(": 0 findings"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("update, power cut: cut"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Error erasing Flash!"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

// A job's outcome is its own: a cancelled update that showed no box does not report the box of
// the update before it.
TEST(SequenceCampaign, ACancelledUpdateThatShowedNoBoxSaysSo) {
  test::TempDir dir;
  const std::string file = (dir.path() / "jobs.txt").string();
  std::ofstream(file) << "fault program 0\nupdate 0x0 0x1000 2\nclear\n"
                         "update 0x200000 0x30000 3 cancel 0\n";
  test::CommandResult r =
      test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + " --replay " + file);
  const std::size_t first = r.out.find("update 0x0 0x1000 2");
  const std::size_t last = r.out.find("update 0x200000 0x30000 3 cancel 0");
  ASSERT_NE(first, std::string::npos) << r.out << r.err;
  ASSERT_NE(last, std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.substr(first, last - first).find("Error erasing Flash!"), std::string::npos)
      << r.out;
  const std::string line = r.out.substr(last, r.out.find('\n', last) - last);
  EXPECT_NE(line.find("stopped, no error box"), std::string::npos) << r.out;
  EXPECT_EQ(line.find("Error"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
}

// Sequences the campaign once found faulty, shrunk, each a list of jobs to replay.
TEST(SequenceCampaign, SequencesThatOnceFoundFaultsStayMended) {
  const char* const sequences[] = {
      // Physical block 0 fails its program, block 1 its erase: the table page's program
      // lands in part, and the block map must say what the page says.
      "fault program 0\nfault erase 1\nupdate 0x0 0x4029 3716540658353592898\n",
      // Logical page 63 holds a bit the ECC mends; the next boot-area update keeps the page.
      "fault erase 1\nupdate 0x9000 0x38d6 6308193573874998113\nclear\n"
      "update 0x24000 0x11886 2462321093532143692\n",
      // Power cuts with block 0 failing its erase and a relocation on the way.
      "fault program 37\nfault erase 0\nupdate 0x3f000 0x2cd5f 14603496843915984057 cut 179 1\n"
      "update 0x4a6800 0x2a0ff 13789917687421738487 cut 471 0\n",
      // A bit read flipped in a table page appended to since block 0's last erase, present
      // from the first start of a boot: the append's CRC mends it.
      "fault program 17\nupdate 0x220000 0x1000 5\nclear\nflip 63 6 0\nrestart\n"
      "update 0x300000 0x1000 6\n",
      // A bit read flipped past the table's end mark, programmed back with the table after
      // block 0's erase, then under the next append: the entry landed as another block.
      "flip 63 6 5\nfault erase 1\nupdate 0x0 0x16eeb 17045304321881233473\n",
      // An append that failed after half the page landed, on a table page still read with its
      // ECC: the ECC "mended" the new entry into one for another block.
      "update 0x10000 0x2879f 12957412739778067641 cancel 14\nfault erase 19\nfault program 0\n"
      "update 0x239800 0x2fbb6 1467219256017260714\n",
      // A flipped bit made the end mark of a table with a stored bogus entry before a real one;
      // the part past it was cleared before the append's CRC could mend the bit.
      "flip 63 4 0\nfault erase 1\nupdate 0x3a000 0x775f 2350335290897049231 cut 594 1\n"
      "restart\nupdate 0x3e9000 0x1db93 7531143742391606873\n",
      // Two bits read flipped in the table page at a first start, one past the end mark: the
      // map was built from an entry for another block.
      "fault erase 1\nupdate 0x3c000 0x2a983 1359888537013236168\nrestart\nflip 63 476 3\n"
      "flip 63 4 4\nupdate 0x3c800 0x13232 12388990920812475323 cut 259 1\n",
      // Two bits read flipped among the entries, which no check mends: the driver stays down
      // until they read true, then the updates go through.
      "fault erase 1\nupdate 0x3c000 0x2a983 1359888537013236168\nclear\nrestart\n"
      "flip 63 6 3\nflip 63 4 4\nupdate 0x3c800 0x13232 12388990920812475323\nclear\n"
      "update 0x100000 0x13232 5\nrestart\nupdate 0x0 0x13232 5\n",
      // Eight relocations in one update, more appends than the spare area's CRC slots hold,
      // then a bit read flipped in entry 0 from a start on: the map took 17 -> 1022, and the
      // next bootloader update programmed that back.
      "fault program 17\nfault program 18\nfault program 19\nfault program 20\n"
      "fault program 21\nfault program 22\nfault program 23\nfault program 24\n"
      "update 0x220000 0x100000 5\nclear\nflip 63 6 0\nrestart\nupdate 0x0 0x1000 6\n"
      "clear\nrestart\nupdate 0x300000 0x1000 7\n",
      // Logical block 1 moved to the reserve by a failed erase of physical block 1: block 0's
      // erase takes physical block 1 too, and a cancelled update at 0x20000 must write the
      // bootloader's last page (0x1F800) back with the rest.
      "fault erase 1\nupdate 0x20000 0x1000 1\nclear\nupdate 0x0 0x20000 2\n"
      "update 0x20000 0x1000 3 cancel 1\n",
      "fault erase 1\nupdate 0x20000 0x8000 5409134335267296901\nclear\n"
      "update 0x8000 0xe1fe 9121073233941359652 cancel 1\n",
      // One bit read flipped in the CRC slot of a table appended to once, at the first start of
      // a boot: the table is intact, and the driver takes it.
      "fault erase 1\nupdate 0x20000 0x8800 14127778607910665635\nflip 63 2055 1\nrestart\n"
      "update 0x3e3000 0x1522f 16884336567178546866\n",
      // A plain write over a block the maker marked bad: the replacement gets the data, not the
      // maker's mark.
      "module bad 26\nwrite 0x3573a6 0x2817 4772001747484974809 plain\n",
      // An image over the configuration block at 0x40000, not quiet: the overwrite warning
      // names "ConfigBlock".
      "update 0x42800 0x26726 7947847009536360974 loud\n",
      // The configuration block at its old place: a loud update moves it to 0x40000 first, and
      // its warning names it only where the image reaches it.
      "module config old\nupdate 0x0 0x2c4ab 12150802470790086125 loud\n",
      "module config old\nupdate 0x2a000 0x2ae2b 9404376819791037291 loud\n",
      // The move of the configuration block cut after the page at 0x40000 landed but before
      // its ECC bytes did: the page does not read, so the next loud update finds the block
      // at its old place again and moves it again.
      "module config old\nupdate 0x3d800 0x9ccc 12884277481642833351 loud cut 2 3\n"
      "update 0x3e800 0x2b136 3570253784727816457 loud cut 392 2\n",
      // A bit read flipped in an entry, then block 0 fails the table's program after its erase:
      // half the page lands, with no check, and the map followed the flipped entry.
      "fault erase 1\nupdate 0x3d000 0x29654 8607935150595459151 loud\nflip 63 4 5\n"
      "fault program 0\nupdate 0x0 0x24ed2 3164490398992415849 cancel 18\n",
      "fault erase 1\nupdate 0x20000 0x3800 2021813420607798192\nclear\nfault program 0\n"
      "flip 63 7 6\nupdate 0x3d000 0x2e9c7 5378518632479067530 cut 411 0\n",
      "module bad 26\nfault erase 1\nupdate 0x20000 0xc000 4656876202646381790\n"
      "write 0x343a6c 0x399 17206783490568288567 plain\nfault program 0\nflip 63 11 6\n"
      "update 0x0 0x29e23 2525944014393945955\n",
      // A registry save cut while its copy's page was programmed: the data landed, its ECC
      // bytes did not. The start took the copy, the next save (reading with the ECC) found
      // none and wrote over it: a cut of that save would have left no copy at all.
      "save cut 1 1\nsave\n",
      // The same page read at the next start with the bit still flipped: nothing checks it,
      // and the window is named (block 0's next erase programs the table back as it read).
      "module bad 26\nfault erase 1\nupdate 0x20000 0xc000 4656876202646381790\n"
      "write 0x343a6c 0x399 17206783490568288567 plain\nfault program 0\n"
      "update 0x0 0x27af8 2441432809824298906\nflip 63 11 6\nrestart\n"
      "update 0x0 0x29e23 2525944014393945955\n",
  };
  test::TempDir dir;
  for (const char* jobs : sequences) {
    SCOPED_TRACE(jobs);
    const std::string file = (dir.path() / "jobs.txt").string();
    std::ofstream(file) << jobs;
    test::CommandResult r =
        test::RunCommand(std::string(IMBREL_SEQUENCE_CAMPAIGN_TOOL) + " --replay " + file);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
  }
}

}  // namespace
