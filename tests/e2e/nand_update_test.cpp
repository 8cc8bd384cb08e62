// Every job of the program on NAND modules, as a person runs it: imbrel-module makes the
// module and adds faults, imbrel updates it, imbrel-module reads back what landed.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "host/bin_image.h"
#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

constexpr std::uint32_t kImageBytes = 0x300000;   // the boot area and 22 blocks after it
constexpr std::uint32_t kSkippedStart = 0x3F800;  // logical page 127: never written
constexpr std::uint32_t kSkippedEnd = 0x40000;

class NandUpdate : public ::testing::Test {
 protected:
  void Create(const std::string& options = "--chip 0xF1EC") {
    CommandResult r =
        RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + Dir() + " --nand " + options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void Fault(const std::string& args) {
    CommandResult r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " fault " + Dir() + " " + args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Dir() { return (dir_ / "m").string(); }
  // A BIN image of kImageBytes for flash offset 0 (a bootloader and what follows it), in
  // records of 16 KB; every byte differs from the erased state somewhere in each page.
  void MakeImage() {
    image_.resize(kImageBytes);
    for (std::size_t i = 0; i < image_.size(); ++i) {
      image_[i] = static_cast<std::uint8_t>((i * 7 + (i >> 11) * 13) ^ 0x5A);
    }
    host::BinWriter writer(0);
    writer.Add(0, image_, 0x4000);
    std::vector<std::uint8_t> bin = writer.Build();
    std::ofstream(dir_ / "m" / "fs" / "big.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
  }
  CommandResult Update() {
    return RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                      " --ui console /u '\\big.bin' < /dev/null");
  }
  CommandResult Tool(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  std::vector<std::uint8_t> ReadLogical(std::uint32_t offset, std::uint32_t length) {
    std::string out = (dir_ / "read.bin").string();
    CommandResult r = Tool("read " + Dir() + " " + std::to_string(offset) + " " +
                           std::to_string(length) + " -o " + out);
    EXPECT_EQ(r.status, 0) << r.err;
    return test::ReadFileBytes(out);
  }
  // What the update must leave: the image, with the last page of the boot area erased and,
  // on part number 9, the word "HMIT" at offset 4.
  std::vector<std::uint8_t> Expected() {
    std::vector<std::uint8_t> expected = image_;
    std::fill(expected.begin() + kSkippedStart, expected.begin() + kSkippedEnd, 0xFF);
    const std::uint8_t hmit[] = {0x48, 0x4D, 0x49, 0x54};
    std::copy(std::begin(hmit), std::end(hmit), expected.begin() + 4);
    return expected;
  }
  // 4 KB of i * mul + add, and a file in the test's directory that holds them.
  static std::vector<std::uint8_t> Pattern(unsigned mul, unsigned add) {
    std::vector<std::uint8_t> data(4096);
    for (std::size_t i = 0; i < data.size(); ++i)
      data[i] = static_cast<std::uint8_t>(i * mul + add);
    return data;
  }
  std::string DataFile(const std::vector<std::uint8_t>& data) {
    const std::string file = (dir_ / "4k.bin").string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return file;
  }
  void Restart() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "m" / "ram")) {
      std::filesystem::remove_all(entry.path());
    }
  }

  test::TempDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(NandUpdate, FailingBlocksAreRelocatedAndTheImageReadsBackAcrossARestart) {
  Create();
  // Physical blocks 6 and 10 hold logical blocks 6 and 10 until they fail.
  Fault("--bad-block 6 --on erase");
  Fault("--bad-block 10 --on program");
  MakeImage();
  CommandResult r = Update();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0, kImageBytes) == Expected());

  // The table in flash names the replacements, from the top of the reserve down.
  CommandResult info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("reloc table physical page 63, 2 entries"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("logical block 6 -> physical 1023"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("logical block 10 -> physical 1022"), std::string::npos) << info.out;

  // A restart loses the block map; the next start rebuilds it from the table.
  Restart();
  EXPECT_TRUE(ReadLogical(0, kImageBytes) == Expected());
  info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("block map   in RAM, filled, as the table says"), std::string::npos)
      << info.out;
}

// One relocation leaves the CRC of the table it wrote in the table page's spare bytes 4-7. A
// bit of it that reads flipped from the next start on is no damage: the driver starts, the
// relocated block reads back, an update goes through and programs the table back true.
TEST_F(NandUpdate, BitFlippedInTheTablePagesCrcIsNoDamage) {
  Create();
  Fault("--bad-block 17 --on program");
  const std::vector<std::uint8_t> data = Pattern(13, 1);
  const std::string file = DataFile(data);
  CommandResult r = Tool("write " + Dir() + " 0x220000 " + file);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(Tool("info " + Dir()).out.find("logical block 17 -> physical 1023"), std::string::npos);

  Fault("--clear --bit-flip 63 --byte 2052 --bit 3");
  Restart();
  EXPECT_TRUE(ReadLogical(0x220000, 4096) == data);
  MakeImage();
  r = Update();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;

  Fault("--clear");
  Restart();
  EXPECT_TRUE(ReadLogical(0, kImageBytes) == Expected());
  r = Tool("info " + Dir());
  EXPECT_NE(r.out.find("logical block 17 -> physical 1023"), std::string::npos) << r.out;
}

// Bits flipped in the stored table page: the tools read the page through the driver's own
// rules, so info, map and the driver agree: one bit is mended, two are refused.
TEST_F(NandUpdate, InfoMapAndTheDriverAgreeOnATablePageWithBitsFlipped) {
  Create();
  Fault("--bad-block 17 --on program");
  const std::vector<std::uint8_t> data = Pattern(7, 3);
  const std::string file = DataFile(data);
  ASSERT_EQ(Tool("write " + Dir() + " 0x220000 " + file).status, 0);
  Fault("--clear");
  auto flip = [&](std::uint32_t byte, int bit) {
    std::fstream image(dir_ / "m" / "nand.img", std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff at = 63 * 2112 + byte;
    image.seekg(at);
    char c = 0;
    image.read(&c, 1);
    c = static_cast<char>(c ^ (1 << bit));
    image.seekp(at);
    image.write(&c, 1);
  };

  // Entry 0 reads as logical block 25, not 17: its check mends it.
  flip(4, 3);
  Restart();
  CommandResult info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("logical block 17 -> physical 1023"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("mended by its check"), std::string::npos) << info.out;
  CommandResult map = Tool("map " + Dir());
  EXPECT_NE(map.out.find("logical block 17 moved to physical 1023"), std::string::npos) << map.out;
  EXPECT_NE(map.out.find("relocation table: bits read flipped"), std::string::npos) << map.out;
  EXPECT_TRUE(ReadLogical(0x220000, 4096) == data);

  // A second bit in the replacement: nothing mends both, and the driver does not start.
  flip(6, 0);
  Restart();
  info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("fails its check and nothing mends it"), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("logical block 25"), std::string::npos) << info.out;
  map = Tool("map " + Dir());
  EXPECT_NE(map.out.find("relocation table: physical page 63 fails its check"), std::string::npos)
      << map.out;
  EXPECT_EQ(map.out.find("moved to physical"), std::string::npos) << map.out;
  CommandResult read = Tool("read " + Dir() + " 0x220000 4096 -o " + (dir_ / "out.bin").string());
  EXPECT_EQ(read.status, 1) << read.out << read.err;
}

// Blocks the maker marked bad, one in the image and one at the top of the reserve: the
// update moves the first to the next reserve block that takes an erase.
TEST_F(NandUpdate, FactoryBadBlocksAreRelocatedPastABadReserveBlock) {
  Create("--chip 0xF1EC --factory-bad-blocks 6,1023");
  CommandResult info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("marked bad by the maker (every erase and program fails): 6, 1023"),
            std::string::npos)
      << info.out;
  MakeImage();
  CommandResult r = Update();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0, kImageBytes) == Expected());
  info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("logical block 6 -> physical 1022"), std::string::npos) << info.out;
}

TEST_F(NandUpdate, ReserveThatRunsOutEndsTheUpdateWithAnError) {
  Create();
  // Every reserve block (1004 to 1023 of 1024) fails its erase, and so does an image block.
  for (int block = 1004; block < 1024; ++block) {
    Fault("--bad-block " + std::to_string(block) + " --on erase");
  }
  Fault("--bad-block 7 --on erase");
  MakeImage();
  CommandResult r = Update();
  EXPECT_NE(r.err.find("[ERROR] Error erasing Flash!"), std::string::npos) << r.err;
  // Nothing was recorded: the table page is as the factory left it.
  CommandResult info = Tool("info " + Dir());
  EXPECT_NE(info.out.find("reloc table physical page 63, 0 entries"), std::string::npos)
      << info.out;
}

TEST_F(NandUpdate, ProgramFailureWithTheReserveGoneGivesAWriteError) {
  Create();
  for (int block = 1004; block < 1024; ++block) {
    Fault("--bad-block " + std::to_string(block) + " --on erase");
  }
  Fault("--bad-block 12 --on program");
  MakeImage();
  CommandResult r = Update();
  EXPECT_NE(r.err.find("[ERROR] Error writing to Flash!"), std::string::npos) << r.err;
}

TEST_F(NandUpdate, UncorrectableBootAreaReadBackIsAReadError) {
  Create();
  // Two flipped bits in one 512-byte step of physical page 3: ECC cannot mend them.
  Fault("--bit-flip 3 --byte 10 --bit 1");
  Fault("--bit-flip 3 --byte 20 --bit 2");
  MakeImage();
  CommandResult r = Update();
  EXPECT_NE(r.err.find("[ERROR] Error reading Flash!"), std::string::npos) << r.err;
}

TEST_F(NandUpdate, SingleBitFlipsAreCorrectedOnEveryRead) {
  Create();
  Fault("--bit-flip 3 --byte 10 --bit 1");
  Fault("--bit-flip 200 --byte 700 --bit 7");
  MakeImage();
  CommandResult r = Update();
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0, kImageBytes) == Expected());
}

void WriteBin(const std::filesystem::path& file, const host::BinWriter& writer) {
  std::vector<std::uint8_t> bin = writer.Build();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
}

TEST_F(NandUpdate, RecordsThePageCacheCannotTakeInOrderAreRefusedBeforeTheErase) {
  Create();
  std::vector<std::uint8_t> before = ReadLogical(0x100000, 0x4000);
  host::BinWriter writer(0x100000);
  writer.SetLength(0x4000);
  writer.Add(0x100000, std::vector<std::uint8_t>(0x800, 0x11));
  writer.Add(0x102000, std::vector<std::uint8_t>(0x800, 0x22));
  writer.Add(0x101000, std::vector<std::uint8_t>(0x800, 0x33));
  WriteBin(dir_ / "m" / "fs" / "big.bin", writer);
  CommandResult r = Update();
  EXPECT_NE(r.err.find("[ERROR] Records overlap or out of order!"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0x100000, 0x4000) == before);
}

TEST_F(NandUpdate, ImageInsideTheBootAreaKeepsTheRestOfIt) {
  Create();
  // The boot area is written back whole, with "HMIT" at offset 4 on part number 9.
  std::vector<std::uint8_t> bootloader = ReadLogical(0, 0x20000);
  const std::uint8_t hmit[] = {0x48, 0x4D, 0x49, 0x54};
  std::copy(std::begin(hmit), std::end(hmit), bootloader.begin() + 4);
  host::BinWriter writer(0x20000);
  std::vector<std::uint8_t> data(0x1000, 0xA7);
  writer.Add(0x20000, data);
  WriteBin(dir_ / "m" / "fs" / "big.bin", writer);
  CommandResult r = Update();
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0, 0x20000) == bootloader);
  EXPECT_TRUE(ReadLogical(0x20000, 0x1000) == data);
}

TEST_F(NandUpdate, LastPageThatCannotBeProgrammedIsAWriteError) {
  Create();
  // One partial page: nothing reaches the flash until the cache lets go of it at the end.
  for (int block = 1004; block < 1024; ++block) {
    Fault("--bad-block " + std::to_string(block) + " --on erase");
  }
  Fault("--bad-block 8 --on program");
  host::BinWriter writer(0x100000);
  writer.Add(0x100000, std::vector<std::uint8_t>(100, 0x5C));
  WriteBin(dir_ / "m" / "fs" / "big.bin", writer);
  CommandResult r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                               " --ui console /u '\\big.bin' < /dev/null");
  EXPECT_NE(r.err.find("[ERROR] Error writing to Flash!"), std::string::npos) << r.err;
}

TEST_F(NandUpdate, WriteIntoAProgrammedPageIsRefusedAndKeepsWhatIsThere) {
  Create("--chip 0xF1EC --blank");
  const std::string five = (dir_ / "five").string(), three = (dir_ / "three").string();
  std::ofstream(five) << "ABCDE";
  std::ofstream(three) << "xyz";
  ASSERT_EQ(Tool("write " + Dir() + " 0x1000100 " + five).status, 0);
  CommandResult r = Tool("write " + Dir() + " 0x1000105 " + three);
  EXPECT_NE(r.status, 0) << r.out << r.err;
  std::vector<std::uint8_t> page = ReadLogical(0x1000000, 0x800);
  EXPECT_EQ(std::string(page.begin() + 0x100, page.begin() + 0x108), "ABCDE\xFF\xFF\xFF");
}

// Logical page 63 (0x1F800) lives in physical block 1: a write with --erase into either of
// the first two logical blocks keeps it, and the rest of both.
TEST_F(NandUpdate, WriteWithEraseInTheBootAreaChangesOnlyItsRange) {
  Create("--chip 0xF1EC --part 8");
  std::vector<std::uint8_t> expected = ReadLogical(0, 0x40000);
  const std::string five = (dir_ / "five").string(), four = (dir_ / "four").string();
  std::ofstream(five) << "ABCDE";
  std::ofstream(four) << "WXYZ";
  EXPECT_EQ(Tool("write " + Dir() + " 0x30000 " + five + " --erase").status, 0);
  EXPECT_EQ(Tool("write " + Dir() + " 0x1FC00 " + four + " --erase").status, 0);
  std::copy_n("ABCDE", 5, expected.begin() + 0x30000);
  std::copy_n("WXYZ", 4, expected.begin() + 0x1FC00);
  EXPECT_TRUE(ReadLogical(0, 0x40000) == expected);
}

// An erase in the boot area leaves exactly its blocks erased: block 1's takes logical page 63
// with it and puts it back; block 0's takes page 63 too, and block 1 stays. The report names
// the blocks and the region they held.
TEST_F(NandUpdate, EraseInTheBootAreaErasesExactlyItsBlocks) {
  Create("--chip 0xF1EC --part 9");
  std::vector<std::uint8_t> expected = ReadLogical(0, 0x40000);
  const std::string four = (dir_ / "four").string();
  std::ofstream(four) << "WXYZ";
  ASSERT_EQ(Tool("write " + Dir() + " 0x30000 " + four + " --erase").status, 0);
  std::copy_n("WXYZ", 4, expected.begin() + 0x30000);
  ASSERT_TRUE(ReadLogical(0, 0x40000) == expected);

  CommandResult r = Tool("erase --force " + Dir() + " 0x20010 0x10");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("erased 0x20000 to 0x3ffff (1 block) for 0x20010 + 0x10"), std::string::npos)
      << r.out;
  // The regions are the program's, as far as their contents go: the bootloader ends in block 0.
  EXPECT_EQ(r.out.find("they held"), std::string::npos) << r.out;
  std::fill(expected.begin() + 0x20000, expected.end(), 0xFF);
  EXPECT_TRUE(ReadLogical(0, 0x40000) == expected);

  ASSERT_EQ(Tool("write " + Dir() + " 0x30000 " + four).status, 0);
  std::copy_n("WXYZ", 4, expected.begin() + 0x30000);
  r = Tool("erase --force " + Dir() + " 0 1");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("; they held part of Bootloader"), std::string::npos) << r.out;
  std::fill(expected.begin(), expected.begin() + 0x20000, 0xFF);
  EXPECT_TRUE(ReadLogical(0, 0x40000) == expected);
}

// Once logical block 1 lives in the reserve, block 0's erase takes physical block 1 with it,
// where logical page 63 (the bootloader's ROM header) lives. An erase of the boot area that
// fails after that, in the tool or in an update, puts back everything it took, page 63 too.
TEST_F(NandUpdate, BootAreaEraseThatFailsAfterBlockOneMovedPutsBackWhatItTook) {
  Create("--chip 0xF1EC --part 8");
  const std::vector<std::uint8_t> boot = ReadLogical(0, 0x40000);
  Fault("--bad-block 1 --on erase");
  ASSERT_EQ(Tool("erase " + Dir() + " 0x20000 0x20000").status, 1);  // page 63's block fails
  ASSERT_EQ(Tool("fault " + Dir() + " --clear").status, 0);
  const std::string loader = (dir_ / "loader").string();
  std::ofstream(loader, std::ios::binary)
      .write(reinterpret_cast<const char*>(boot.data()), 0x20000);
  ASSERT_EQ(Tool("write " + Dir() + " 0 " + loader + " --erase").status, 0);
  ASSERT_NE(Tool("info " + Dir()).out.find("logical block 1 -> physical 1023"), std::string::npos);
  const std::vector<std::uint8_t> before = ReadLogical(0, 0x40000);
  ASSERT_TRUE(std::equal(boot.begin(), boot.begin() + 0x20000, before.begin()));
  for (int b = 1004; b < 1024; ++b) Fault("--bad-block " + std::to_string(b) + " --on erase");

  const std::string four = (dir_ / "four").string();
  std::ofstream(four) << "WXYZ";
  CommandResult r = Tool("write " + Dir() + " 0x100 " + four + " --erase");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("erase failed at the block 0x20000"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("what the erase took was written back"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0, 0x40000) == before);

  host::BinWriter writer(0x20000);
  writer.Add(0x20000, std::vector<std::uint8_t>(0x1000, 0x42));
  std::vector<std::uint8_t> bin = writer.Build();
  std::ofstream(dir_ / "m" / "fs" / "big.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
  r = Update();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("update failed: Error erasing Flash!"), std::string::npos) << r.err;
  std::vector<std::uint8_t> after = ReadLogical(0, 0x40000);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x20000, after.begin()));
  EXPECT_NE(Tool("info " + Dir()).out.find("boot image at 0x0"), std::string::npos);
}

TEST_F(NandUpdate, BannerIsFoundPastPagesThatDoNotRead) {
  // The banner bootloader fills block 0; the rest of the 128 KB window holds pages that were
  // never programmed, which the ECC alone does not read.
  Create("--chip 0xF1EC --bootloader-banner '1.4 Mar 7 2009'");
  CommandResult report = RunCommand("printf 'BSP Version\\n' | " + std::string(IMBREL_TOOL) +
                                    " --module " + Dir() + " --ui console");
  EXPECT_NE(report.out.find("ID:\tOSTRALA\nVer:\t1.4 \nBuilt:\t07 Mar 2009"), std::string::npos)
      << report.out;
}

// The version report reads the boot area 4 KB at a time: a record in a page whose neighbour
// was never programmed is found.
TEST_F(NandUpdate, VersionRecordBesideAPageNeverProgrammedIsFound) {
  // The bootloader at its second place leaves the first pages erased.
  Create("--chip 0xF1EC --blank --bootloader-place 0x8000 --image-size 0x4000");
  std::vector<std::uint8_t> record;
  for (std::uint32_t word : {0x01234567u, 1u, 1u, 4u | 2u << 16, 0x89ABCDEFu}) {
    for (int i = 0; i < 4; ++i) record.push_back(static_cast<std::uint8_t>(word >> 8 * i));
  }
  std::ofstream(dir_ / "record.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(record.data()), 20);
  ASSERT_EQ(Tool("write " + Dir() + " 0x1000 " + (dir_ / "record.bin").string()).status, 0);
  CommandResult report = RunCommand("printf 'BSP Version\\n' | " + std::string(IMBREL_TOOL) +
                                    " --module " + Dir() + " --ui console");
  EXPECT_NE(report.out.find("Bootloader (in Flash)\nID:\tOSTRALA\nVer:\t1.4 BETA, Build 2"),
            std::string::npos)
      << report.out;
}

// The configuration block's second page was never programmed: with ECC on it reads as
// uncorrectable, yet it is erased, and the block is there. An image over it is warned about,
// and a block at its old place is moved, as on NOR.
class NandConfigBlock : public NandUpdate {
 protected:
  // Runs the update from the main dialog with an image of 8 KB at `start`, inside the
  // configuration block's region, and answers the warning with Cancel.
  CommandResult UpdateOverTheConfigBlock(std::uint32_t start) {
    std::vector<std::uint8_t> data(0x2000, 0x3C);
    host::BinWriter writer(start);
    writer.Add(start, data);
    std::vector<std::uint8_t> bin = writer.Build();
    std::ofstream(dir_ / "m" / "fs" / "cfg.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    return RunCommand("printf 'Update Bootloader/Image\\n' | " + std::string(IMBREL_TOOL) +
                      " --module " + Dir() + " --ui console --open '\\cfg.bin' --answer cancel");
  }
  std::uint32_t FirstWord(std::uint32_t offset) {
    std::vector<std::uint8_t> word = ReadLogical(offset, 4);
    return word.size() == 4
               ? static_cast<std::uint32_t>(word[0] | word[1] << 8 | word[2] << 16 | word[3] << 24)
               : 0;
  }
  static constexpr std::uint32_t kMagic = 0xCF014000;
};

TEST_F(NandConfigBlock, ImageOverTheBlockIsWarnedAbout) {
  Create();
  std::vector<std::uint8_t> block = ReadLogical(0x40000, 0x40000);
  ASSERT_EQ(FirstWord(0x40000), kMagic);
  CommandResult r = UpdateOverTheConfigBlock(0x50000);
  EXPECT_NE(r.err.find("[WARNING] This Image will overwrite the following sections:\n"
                       "ConfigBlock\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("update cancelled"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0x40000, 0x40000) == block);
}

TEST_F(NandConfigBlock, BlockAtItsOldPlaceIsMovedToItsPlace) {
  Create("--chip 0xF1EC --old-config-place");
  ASSERT_EQ(FirstWord(0x88000), kMagic);
  ASSERT_NE(FirstWord(0x40000), kMagic);
  std::vector<std::uint8_t> old = ReadLogical(0x88000, 0x1000);
  // The region keeps the place the block was found at: an image there is warned about.
  CommandResult r = UpdateOverTheConfigBlock(0x90000);
  EXPECT_NE(r.err.find("[WARNING] This Image will overwrite the following sections:\n"
                       "ConfigBlock\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("update cancelled"), std::string::npos) << r.err;
  // The block now lies at 0x40000 too: its first chunk, which holds its end, was copied.
  EXPECT_TRUE(ReadLogical(0x40000, 0x1000) == old);
}

// A block at its old place that does not read whole is not moved: a copy would carry what
// the page that does not read gave back. It stays where it is, and is still warned about.
TEST_F(NandConfigBlock, BlockAtItsOldPlaceThatDoesNotReadWholeStaysThere) {
  Create("--chip 0xF1EC --old-config-place");
  std::vector<std::uint8_t> block(0x2000, 0x5A);
  for (int i = 0; i < 4; ++i) block[i] = static_cast<std::uint8_t>(kMagic >> 8 * i);
  std::ofstream(dir_ / "block.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(block.data()),
             static_cast<std::streamsize>(block.size()));
  ASSERT_EQ(
      Tool("write " + Dir() + " 0x88000 " + (dir_ / "block.bin").string() + " --erase").status, 0);
  // 0x89000 is logical page 274, in physical page 274: two flipped bits in one step.
  Fault("--bit-flip 274 --byte 10 --bit 1");
  Fault("--bit-flip 274 --byte 20 --bit 2");
  CommandResult r = UpdateOverTheConfigBlock(0x90000);
  EXPECT_NE(r.err.find("sections:\nConfigBlock\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("update cancelled"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadLogical(0x40000, 0x4000) == std::vector<std::uint8_t>(0x4000, 0xFF));
}

// The jobs besides the update on each processor and a chip of each size class a CI machine
// can hold (the 4096- and 8192-block chips make nand.img files of 0.5 and 1.1 GB).
class NandJobs : public NandUpdate, public ::testing::WithParamInterface<const char*> {};

TEST_P(NandJobs, VersionReportRegistryCommandsAndBootloaderUpdate) {
  Create(GetParam());
  auto imbrel = [&](const std::string& args, const std::string& input) {
    return RunCommand("printf '" + input + "' | " + IMBREL_TOOL + " --module " + Dir() +
                      " --ui console " + args);
  };
  CommandResult report = imbrel("", "BSP Version\\n");
  EXPECT_NE(report.out.find("Bootloader (in Flash)\nID:\tOSTRALA\nVer:\t1.3 \n"
                            "Built:\t20 Jan 2009 10:15:00 (GMT)"),
            std::string::npos)
      << report.out;

  CommandResult save = imbrel("/fu", "");
  EXPECT_EQ(save.err.find("ERROR"), std::string::npos) << save.err;
  CommandResult clear = imbrel("/cu", "");
  EXPECT_EQ(clear.err.find("ERROR"), std::string::npos) << clear.err;

  // The bootloader sample overwrites the boot area: the region check warns before anything
  // is erased, and declining leaves the flash as it was.
  std::vector<std::uint8_t> before = ReadLogical(0, 0x20000);
  CommandResult declined =
      imbrel("--open '\\USB HD\\IMAGES\\eboot.bin' --answer cancel", "Update Bootloader/Image\\n");
  EXPECT_NE(declined.err.find("[WARNING] This Image will overwrite the following sections:"),
            std::string::npos)
      << declined.err;
  EXPECT_TRUE(ReadLogical(0, 0x20000) == before);

  CommandResult update = imbrel("--open '\\USB HD\\IMAGES\\eboot.bin' --answer ok --answer no",
                                "Update Bootloader/Image\\n");
  EXPECT_EQ(update.err.find("ERROR"), std::string::npos) << update.err;
  report = imbrel("", "BSP Version\\n");
  EXPECT_NE(report.out.find("Ver:\t1.4 \nBuilt:\t17 May 2010 13:45:30 (GMT)"), std::string::npos)
      << report.out;
  CommandResult verify =
      Tool("verify " + Dir() + " --bin '" + Dir() + "/fs/USB HD/IMAGES/eboot.bin'");
  EXPECT_EQ(verify.status, 0) << verify.err;
}

INSTANTIATE_TEST_SUITE_P(Chips, NandJobs,
                         ::testing::Values("--chip 0xF1EC --part 9", "--chip 0xDAEC --part 8"));

}  // namespace
