// A module made from a flash dump: `read` or `dump --raw` of a module, `create --from-dump` of
// that file, and the new module's flash is the old one's, byte for byte.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/hardware/intel_nor_chip.h"
#include "host/hex.h"
#include "host/module/flash_file.h"
#include "host/module/module.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

class ModuleFromDump : public ::testing::Test {
 protected:
  CommandResult Run(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  std::string At(const std::string& name) { return (dir_ / name).string(); }
  void Ok(const std::string& args) {
    CommandResult r = Run(args);
    ASSERT_EQ(r.status, 0) << args << "\n" << r.err;
  }
  bool SameFiles(const fs::path& a, const fs::path& b) {
    return test::ReadFileBytes(a) == test::ReadFileBytes(b);
  }
  test::TempDir dir_;
};

TEST_F(ModuleFromDump, EveryNorChipRoundTripsThroughRead) {
  // Each device's block layout at a small size, and the largest pair, past the driver's 64 MB.
  std::vector<std::string> modules;
  for (const host::NorVariant& v : host::NorVariants()) {
    modules.push_back("--device " + host::Hex(v.device, 4) + " --cfi-size 0x13");
  }
  modules.push_back("--cfi-size 0x1A --no-samples");
  for (std::size_t i = 0; i < modules.size(); ++i) {
    SCOPED_TRACE(modules[i]);
    const std::string a = At("a" + std::to_string(i)), b = At("b" + std::to_string(i));
    const std::string dump = At("a" + std::to_string(i) + ".bin");
    Ok("create " + a + " --nor " + modules[i]);
    Ok("read " + a + " -o " + dump);
    Ok("create " + b + " --nor --from-dump " + dump);
    EXPECT_TRUE(SameFiles(fs::path(a) / "nor.img", fs::path(b) / "nor.img"));
    Ok("read " + b + " -o " + dump + ".again");
    EXPECT_TRUE(SameFiles(dump, dump + ".again"));
    fs::remove_all(a);
    fs::remove_all(b);
    fs::remove(dump);
    fs::remove(dump + ".again");
  }
}

TEST_F(ModuleFromDump, NandDumpBringsItsBadBlocksRelocationsAndItems) {
  const std::string a = At("a"), b = At("b");
  Ok("create " + a + " --nand --chip 0xF1EC --factory-bad-blocks 7,100 --item0 3,4");
  Ok("fault " + a + " --bad-block 9 --on erase");
  Ok("erase " + a + " 0x100000 0x40000");  // block 9 fails: the table gains an entry
  Ok("dump " + a + " --raw -o " + At("a.dump"));
  Ok("create " + b + " --nand --part 8 --from-dump " + At("a.dump"));
  EXPECT_TRUE(SameFiles(fs::path(a) / "nand.img", fs::path(b) / "nand.img"));
  Ok("dump " + b + " --raw -o " + At("b.dump"));
  EXPECT_TRUE(SameFiles(At("a.dump"), At("b.dump")));

  CommandResult info = Run("info " + b);
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* expected : {"marked bad by the maker (every erase and program fails): 7, 100",
                               "1 entry", "item 0      0x00000003 0x00000004",
                               "the maker's bad blocks, item 0 and item 5 read", "part number 8"}) {
    EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;
  }
  // The new module works: its block 9 is sound, and the table still steers around it.
  Ok("erase " + b + " 0x100000 0x40000");
}

TEST_F(ModuleFromDump, WhatTheFlashDoesNotSayComesFromTheOptions) {
  // A dump whose configuration block holds no items: a real module's, as far as we know it.
  Ok("create " + At("a") + " --nor --cfi-size 0x15 --no-config-block");
  Ok("read " + At("a") + " -o " + At("a.bin"));
  Ok("create " + At("b") + " --nor --from-dump " + At("a.bin") +
     " --item5 0x80000,0x300000,0x40000,0,0,0 --image-version 2.6.1");
  std::string toml = test::ReadFile(dir_ / "b" / "module.toml");
  EXPECT_NE(toml.find("item5 = [0x00080000, 0x00300000, 0x00040000"), std::string::npos) << toml;
  EXPECT_NE(toml.find("read = []"), std::string::npos) << toml;
  EXPECT_NE(toml.find("image_version = [0x00000002, 0x00000006, 0x00000001]"), std::string::npos);
}

TEST_F(ModuleFromDump, ItemsComeFromABlockAtItsOldPlaceToo) {
  Ok("create " + At("a") +
     " --nor --cfi-size 0x15 --old-config-place --item5 0xC8000,0x300000,0x40000,0,0,7");
  Ok("read " + At("a") + " -o " + At("a.bin"));
  Ok("create " + At("b") + " --nor --from-dump " + At("a.bin"));
  const std::string toml = test::ReadFile(dir_ / "b" / "module.toml");
  EXPECT_NE(toml.find("item5 = [0x000C8000, 0x00300000, 0x00040000, 0x00000000, 0x00000000, "
                      "0x00000007]"),
            std::string::npos)
      << toml;
  EXPECT_NE(toml.find("read = [\"item0\", \"item5\"]"), std::string::npos) << toml;
}

// A reader that goes a word at a time gets each NAND page corrected once; a page that changes
// under it is read again, not served from what it read before.
TEST_F(ModuleFromDump, FlashFileSeesAPageThatChangesBetweenReads) {
  host::CreateOptions options;
  options.flash = host::FlashKind::kNand;
  options.nand_chip = 0xF1EC;
  options.samples = false;
  host::CreateModule(dir_ / "m", options);
  const host::ModuleConfig config = host::LoadModuleConfig(dir_ / "m");
  host::FlashFile flash(dir_ / "m", config);
  std::uint32_t word = 0;
  ASSERT_TRUE(flash.ReadChecked(0x80040, &word, 4));  // the OS image's signature
  EXPECT_EQ(word, 0x43454345u);
  // The page's data changes, its ECC bytes not: the controller cannot mend two bits.
  {
    std::fstream image(dir_ / "m" / "nand.img", std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff page = 0x80000 / 2048;  // no relocation: logical is physical
    image.seekp(page * 2112 + 0x40);
    const char changed[2] = {0x00, 0x00};
    image.write(changed, 2);
  }
  EXPECT_FALSE(flash.ReadChecked(0x80040, &word, 4));
}

TEST_F(ModuleFromDump, RefusesDumpsAndOptionsThatCannotBeAndLeavesNothing) {
  Ok("create " + At("nor") + " --nor --cfi-size 0x13");
  Ok("read " + At("nor") + " -o " + At("nor.bin"));
  Ok("create " + At("nand") + " --nand --chip 0xF1EC --no-samples");
  Ok("dump " + At("nand") + " --raw -o " + At("nand.dump"));
  {
    // The data pages alone: 2048 bytes a page.
    std::ofstream(At("data.only"), std::ios::binary);
    fs::resize_file(At("data.only"), 1024ull * 64 * 2048);
  }
  std::ofstream(At("odd.bin"), std::ios::binary) << std::string(3000000, '\xff');
  struct Case {
    std::string args, message;
  } cases[] = {
      {"--nor --from-dump " + At("odd.bin"), "512 KB, 1 MB, 2 MB"},
      {"--nor --from-dump " + At("nand.dump"), "no NOR flash has that size"},
      {"--nand --from-dump " + At("nor.bin"), "the size of no known NAND chip"},
      {"--nand --from-dump " + At("data.only"), "the data pages alone"},
      {"--nand --chip 0xDAEC --from-dump " + At("nand.dump"), "chip 0xDAEC's 2048 blocks"},
      {"--nor --from-dump " + At("missing.bin"), "cannot open"},
      {"--nor --from-dump " + At("nor.bin") + " --image-size 0x40000", "do not go with it"},
      {"--nor --from-dump " + At("nor.bin") + " --cfi-size 0x13", "--cfi-size"},
      {"--nand --from-dump " + At("nand.dump") + " --factory-bad-blocks 5", "marks"},
      {"--nor --from-dump " + At("nor.bin") + " --item0 9,9", "holds item 0 = 0x00000001"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run("create " + At("new") + " " + c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_FALSE(fs::exists(At("new"))) << c.args;
  }
  for (const fs::directory_entry& e : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(e.path().filename().string().rfind(".imbrel-module-", 0), std::string::npos)
        << "a staging directory was left: " << e.path();
  }
}

}  // namespace
