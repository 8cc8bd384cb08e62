// A script's NAND day with imbrel-module: bad blocks met and relocated are named, and --json
// gives each command's outcome as one object that a JSON library reads.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

class ToolJson : public ::testing::Test {
 protected:
  std::string Dir() { return (dir_ / "m").string(); }
  CommandResult Run(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  // The command's standard output as JSON, with its "status" checked against the exit status.
  nlohmann::json Json(const std::string& args, int status) {
    CommandResult r = Run(args);
    EXPECT_EQ(r.status, status) << args << "\n" << r.out << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << args << ": not JSON:\n" << r.out;
    if (j.is_discarded()) return nlohmann::json::object();
    EXPECT_EQ(j["status"], status) << j.dump(1);
    EXPECT_EQ(j["ok"], status == 0) << j.dump(1);
    return j;
  }
  std::string File(const std::string& name, std::size_t bytes, char fill) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
    return path;
  }
  test::TempDir dir_;
};

TEST_F(ToolJson, BadBlocksAreNamedInTextAndJson) {
  // Physical block 9 carries the maker's mark; block 12's programs will fail.
  ASSERT_EQ(Run("create " + Dir() + " --nand --chip 0xF1EC --factory-bad-blocks 9").status, 0);
  CommandResult r = Run("erase " + Dir() + " 0x100000 0x40000");  // blocks 8 and 9
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("erased 0x100000 to 0x13ffff (2 blocks)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("; block 9 went bad (physical block 9, the maker's mark): it now lives "
                       "in reserve block 1023; 19 of 20 reserve blocks left"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("they held part of IMAGE"), std::string::npos) << r.out;

  // A program failure during a write moves the block, and the write goes on.
  ASSERT_EQ(Run("fault " + Dir() + " --bad-block 12 --on program").status, 0);
  const std::string data = File("d.bin", 0x50000, 'd');
  nlohmann::json j = Json("write " + Dir() + " 0x180000 " + data + " --erase --json", 0);
  EXPECT_EQ(j["command"], "write");
  EXPECT_EQ(j["bytes"], 0x50000);
  EXPECT_EQ(j["erased_start"], 0x180000);
  EXPECT_EQ(j["erased_end"], 0x1E0000);
  ASSERT_EQ(j["bad_blocks"]["relocated"].size(), 1u) << j.dump(1);
  EXPECT_EQ(j["bad_blocks"]["relocated"][0]["logical_block"], 12);
  EXPECT_EQ(j["bad_blocks"]["relocated"][0]["bad_physical_block"], 12);
  EXPECT_EQ(j["bad_blocks"]["relocated"][0]["factory_bad"], false);
  EXPECT_EQ(j["bad_blocks"]["reserve"], 20);
  EXPECT_EQ(j["bad_blocks"]["reserve_left"], 18);
  EXPECT_GT(j["module_time_ns"], 0);

  // info --json has the bad blocks as data, and what a start runs.
  j = nlohmann::json::parse(Run("info " + Dir() + " --json").out);
  EXPECT_EQ(j["bad_blocks"]["factory"], nlohmann::json::array({9}));
  ASSERT_EQ(j["bad_blocks"]["relocated"].size(), 2u) << j.dump(1);
  EXPECT_EQ(j["bad_blocks"]["relocated"][0]["logical_block"], 9);
  EXPECT_EQ(j["bad_blocks"]["relocated"][1]["logical_block"], 12);
  EXPECT_EQ(j["bad_blocks"]["reserve_left"], 18);
  EXPECT_EQ(j["boots"]["starts"], true) << j.dump(1);
  EXPECT_EQ(j["boots"]["os_image"]["place"], 0x80000);
  EXPECT_EQ(j["registry"]["in_flash"], false);

  // verify names the blocks of its range that live in the reserve.
  j = Json("verify " + Dir() + " 0x180000 " + data + " --json", 0);
  EXPECT_EQ(j["differ"], 0);
  ASSERT_EQ(j["relocated_in_range"].size(), 1u) << j.dump(1);
  EXPECT_EQ(j["relocated_in_range"][0]["logical_block"], 12);
  r = Run("verify " + Dir() + " 0x180000 " + data);
  EXPECT_NE(r.out.find("; block 12 lives in reserve block"), std::string::npos) << r.out;
  // A difference: where, what, and how many.
  j = Json("verify " + Dir() + " 0x1CFFFE " + File("e.bin", 4, 'd') + " --json", 1);
  EXPECT_EQ(j["differ"], 2);
  EXPECT_EQ(j["first_difference"]["offset"], 0x1D0000);
  EXPECT_EQ(j["first_difference"]["held"], 0xFF);
  EXPECT_EQ(j["first_difference"]["wanted"], 'd');
  ASSERT_EQ(j["errors"].size(), 1u);
  EXPECT_NE(j["errors"][0].get<std::string>().find("holds 0xff, the file 0x64"), std::string::npos);
}

TEST_F(ToolJson, EveryFlashCommandGivesOneObject) {
  ASSERT_EQ(Run("create " + Dir() + " --nand --chip 0xF1EC").status, 0);
  nlohmann::json j = Json("erase " + Dir() + " 0x80000 0x40000 --json", 0);
  EXPECT_EQ(j["command"], "erase");
  EXPECT_EQ(j["start"], 0x80000);
  EXPECT_EQ(j["end"], 0xC0000);
  EXPECT_EQ(j["blocks"], 2);
  EXPECT_EQ(j["erased_blocks"], 2);
  EXPECT_EQ(j["skipped_blank"], 0);
  EXPECT_EQ(j["regions"], nlohmann::json::array({"IMAGE"}));
  EXPECT_EQ(j["bad_blocks"]["relocated"].size(), 0u);
  EXPECT_TRUE(j["errors"].empty());

  // verify --bin of the image the erase took away: the first difference and the count.
  const std::string nk = Dir() + "/fs/USB HD/IMAGES/nk.bin";
  j = Json("verify " + Dir() + " --bin '" + nk + "' --json", 1);
  EXPECT_EQ(j["from"], 0x80000);
  EXPECT_EQ(j["to"], 0xC0000);
  EXPECT_EQ(j["placed_at"], 0x80000);
  EXPECT_GT(j["differ"], 200000);
  EXPECT_EQ(j["first_difference"]["offset"], 0x80000);
  EXPECT_EQ(j["first_difference"]["record"], 0);

  const std::string out = (dir_ / "r.bin").string();
  j = Json("read " + Dir() + " 0x80000 0x1000 -o " + out + " --json", 0);
  EXPECT_EQ(j["bytes"], 0x1000);
  EXPECT_EQ(j["file"], out);
  j = Json("dump " + Dir() + " 64 2 -o " + out + " --json", 0);
  EXPECT_EQ(j["count"], 2);
  EXPECT_EQ(j["page_bytes"], 2112);
  EXPECT_EQ(j["uncorrectable"], 0);
  // Standard output carries the object: the data needs a file.
  j = Json("read " + Dir() + " 0 16 --json", 2);
  EXPECT_EQ(j["command"], "read");
  ASSERT_EQ(j["errors"].size(), 1u);

  // map and fault: the blocks and the faults as data.
  j = nlohmann::json::parse(Run("map " + Dir() + " --json").out);
  EXPECT_EQ(j["flash"], "nand");
  EXPECT_EQ(j["blocks"].size(), 1024u);
  EXPECT_EQ(j["blocks"][4]["state"], ".");  // block 4 of the image, erased above
  EXPECT_EQ(j["blocks"][4]["region"], "OS image");
  EXPECT_EQ(j["states"]["."].get<int>() + j["states"]["#"].get<int>(), 1024);
  j = nlohmann::json::parse(Run("fault " + Dir() + " --bad-block 30 --on erase --json").out);
  EXPECT_EQ(j["faults"]["nand"][0]["block"], 30);
  EXPECT_EQ(j["faults"]["nand"][0]["kind"], "erase-error");
  ASSERT_EQ(Run("fault " + Dir() + " --clear").status, 0);

  // Bad input is an object too, and so is a power cut, with a status of its own.
  j = Json("erase " + Dir() + " 0x100 16 --json", 2);
  EXPECT_NE(j["errors"][0].get<std::string>().find("not block-aligned"), std::string::npos);
  ASSERT_EQ(Run("fault " + Dir() + " --power-cut-after 1").status, 0);
  j = Json("erase " + Dir() + " 0x100000 0x40000 --json", 5);
  EXPECT_EQ(j["errors"].back(), "the module lost its power");
}

// An update over a block with the maker's mark: "update done" alone would hide the move.
TEST_F(ToolJson, SummaryOfAnUpdateNamesItsRelocations) {
  ASSERT_EQ(Run("create " + Dir() + " --nand --chip 0xF1EC --factory-bad-blocks 5").status, 0);
  CommandResult r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                               " --ui console --summary /u '\\USB HD\\IMAGES\\nk.bin'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("imbrel: this run changed the flash: erased 0x80000-0xbffff"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("; block 5 went bad (physical block 5, the maker's mark): it now lives in "
                       "reserve block 1023; 19 of 20 reserve blocks left"),
            std::string::npos)
      << r.err;

  // --json: the same as the last line of standard output, a power cut's status included.
  ASSERT_EQ(Run("fault " + Dir() + " --power-cut-after 20").status, 0);
  r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                 " --ui console --summary --json /u '\\USB HD\\IMAGES\\nk.bin'");
  EXPECT_EQ(r.status, 5) << r.err;
  const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  nlohmann::json j = nlohmann::json::parse(last, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["command"], "imbrel");
  EXPECT_EQ(j["status"], 5);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["changed"], true);
  EXPECT_EQ(j["erased"][0]["start"], 0x80000);
  EXPECT_EQ(j["bad_blocks"]["reserve_left"], 19);
}

}  // namespace
