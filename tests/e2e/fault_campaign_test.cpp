// Fault campaigns: one failing block at a time under a whole update, and the NOR faults that
// stop an update, each with its error text and the end of the run done (the batch goes on).

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "host/bin_image.h"
#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

class FaultCampaign : public ::testing::Test {
 protected:
  void Create(const std::string& options) {
    std::filesystem::remove_all(dir_ / "m");
    CommandResult r =
        RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + Dir() + " " + options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void Fault(const std::string& args) {
    CommandResult r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " fault " + Dir() + " " + args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Dir() { return (dir_ / "m").string(); }
  void PutImage(std::uint32_t place, std::uint32_t bytes) {
    image_.resize(bytes);
    for (std::size_t i = 0; i < bytes; ++i) image_[i] = static_cast<std::uint8_t>(i * 3 + (i >> 9));
    host::BinWriter writer(place);
    writer.Add(place, image_, 0x4000);
    std::vector<std::uint8_t> bin = writer.Build();
    std::ofstream(dir_ / "m" / "fs" / "img.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
  }
  // A quiet update, then a registry save: the save runs only if the update's run ended.
  CommandResult Update() {
    return RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                      " --ui console '/u \\img.bin /fu' < /dev/null");
  }
  std::vector<std::uint8_t> Read(std::uint32_t offset, std::uint32_t length) {
    std::string out = (dir_ / "read.bin").string();
    CommandResult r =
        RunCommand(std::string(IMBREL_MODULE_TOOL) + " read " + Dir() + " " +
                   std::to_string(offset) + " " + std::to_string(length) + " -o " + out);
    EXPECT_EQ(r.status, 0) << r.err;
    return test::ReadFileBytes(out);
  }

  test::TempDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(FaultCampaign, EachNandBlockOfTheImageFailingItsEraseThenItsProgram) {
  // A 1 MB image over logical blocks 8 to 15; each of their physical blocks fails in turn.
  for (const char* on : {"erase", "program"}) {
    for (int block = 8; block < 16; ++block) {
      SCOPED_TRACE(std::string(on) + " of block " + std::to_string(block));
      Create("--nand --chip 0xF1EC --part 8 --blank --bootloader-version 1.3 --image-size 0x4000");
      Fault("--bad-block " + std::to_string(block) + " --on " + on);
      PutImage(0x100000, 0x100000);
      CommandResult r = Update();
      EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
      EXPECT_TRUE(Read(0x100000, 0x100000) == image_);
      CommandResult info = RunCommand(std::string(IMBREL_MODULE_TOOL) + " info " + Dir());
      EXPECT_NE(info.out.find("logical block " + std::to_string(block) + " -> physical 1023"),
                std::string::npos)
          << info.out;
    }
  }
}

TEST_F(FaultCampaign, FailedNorUpdateDoesNotFailTheNextOneInTheSameRun) {
  // Erased but for what the module needs to start: a bootloader and a small OS image.
  Create("--nor --blank --bootloader-version 1.3 --image-size 0x4000");
  Fault("--bad-block 0x100000 --on erase");
  PutImage(0x100000, 0x1000);
  // Something in the failing block, or the driver would not erase it.
  ASSERT_EQ(RunCommand(std::string(IMBREL_MODULE_TOOL) + " write " + Dir() + " 0x100000 " +
                       (dir_ / "m" / "fs" / "img.bin").string())
                .status,
            0);
  std::filesystem::rename(dir_ / "m" / "fs" / "img.bin", dir_ / "m" / "fs" / "bad.bin");
  PutImage(0x200000, 0x1000);
  CommandResult r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                               " --ui console '/u \\bad.bin /u \\img.bin' < /dev/null");
  EXPECT_NE(r.err.find("[ERROR] Error erasing Flash!"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("ERROR", r.err.find("Error erasing") + 20), std::string::npos) << r.err;
  EXPECT_TRUE(Read(0x200000, 0x1000) == image_);
}

TEST_F(FaultCampaign, NorFaultsStopTheUpdateWithTheirErrorTexts) {
  struct Case {
    const char* fault;
    const char* text;
  };
  // Blocks of 256 KB from 0x40000 on a 2 x 2 MB module; the image covers 0x80000-0x17FFFF.
  const Case cases[] = {
      {"[[nor]]\nkind = \"locked-down\"\nblock = 0xC0000\n", "[ERROR] Error erasing Flash!"},
      {"[[nor]]\nkind = \"erase-error\"\nblock = 0x100000\n", "[ERROR] Error erasing Flash!"},
      {"[[nor]]\nkind = \"erase-error\"\nblock = 0x100000\nchip = \"high\"\n",
       "[ERROR] Error erasing Flash!"},
      {"[[nor]]\nkind = \"program-error\"\nblock = 0x140000\n", "[ERROR] Error writing to Flash!"},
      {"[[nor]]\nkind = \"never-ready\"\nchip = \"low\"\n", "[ERROR] Error erasing Flash!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Create("--nor --cfi-size 0x15");  // the factory image fills 0x80000-0x17FFFF
    std::ofstream(dir_ / "m" / "faults.toml") << c.fault;
    PutImage(0x80000, 0x100000);
    CommandResult r = Update();
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    // The run ended (its dialog closed) and the batch went on to the registry save.
    EXPECT_NE(r.err.find("took "), std::string::npos) << r.err;
    std::ifstream kept(dir_ / "m" / "registry.toml");
    EXPECT_TRUE(kept.good());
  }
}

}  // namespace
