// imbrel-module and imbrel as a person or a script runs them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <numeric>

#include "module_fixture.h"
#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

std::string Tool(const std::string& args) { return std::string(IMBREL_MODULE_TOOL) + " " + args; }

class ImbrelModuleTool : public ::testing::Test {
 protected:
  std::string Dir() { return (dir_ / "m").string(); }
  CommandResult Run(const std::string& args) { return RunCommand(Tool(args)); }
  void Create(const std::string& options = "") {
    CommandResult r = Run("create " + Dir() + " --nor --cfi-size 0x13 --blank " + options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::vector<std::uint8_t> Image(std::uint64_t offset, std::size_t count) {
    return test::ReadImage(dir_ / "m", offset, count);
  }
  test::TempDir dir_;
};

TEST_F(ImbrelModuleTool, CreateThenInfoDescribesTheModule) {
  CommandResult r = Run("create " + Dir() + " --nor");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(dir_ / "m" / "nor.img"), 0x2000000u);
  r = Run("info " + Dir());
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* expected :
       {"part number 17", "0x8922", "FlashSize", "0x2000000", "4 x 64 KB from 0x0",
        "127 x 256 KB from 0x40000", "DeviceType 3", "faults      none"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }
}

TEST_F(ImbrelModuleTool, CreateRefusesBadInputAndLeavesNothing) {
  struct Case {
    std::string args;
    std::string message;
  };
  std::filesystem::create_directory(dir_ / "full");
  std::ofstream(dir_ / "full" / "keep") << "mine";
  const Case cases[] = {
      {"create " + Dir(), "--nor"},
      {"create " + Dir() + " --nor --device 0x10000", "device code"},
      {"create " + Dir() + " --nor --device pxa", "device code"},
      {"create " + Dir() + " --nor --cfi-size 0x1B", "outside 0x12..0x1A"},
      {"create " + Dir() + " --nor --cfi-size 0x11", "outside 0x12..0x1A"},
      {"create " + (dir_ / "full").string() + " --nor", "not an empty directory"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "m"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "full" / "keep"));
  // No staging directory was left beside the module either.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_.path())) entries += e.exists();
  EXPECT_EQ(entries, 1);
}

TEST_F(ImbrelModuleTool, WriteReadAndEraseGoThroughTheDriver) {
  Create("--times typical");
  std::vector<std::uint8_t> data(5000);
  std::iota(data.begin(), data.end(), 7);
  std::ofstream(dir_ / "data.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  CommandResult r = Run("write " + Dir() + " 0x40001 " + (dir_ / "data.bin").string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Image(0x40001, data.size()), data);
  EXPECT_EQ(Image(0x40000, 1)[0], 0xFF);

  r = Run("read " + Dir() + " 262145 5000 -o " + (dir_ / "back.bin").string());
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream back(dir_ / "back.bin", std::ios::binary);
  std::vector<std::uint8_t> got((std::istreambuf_iterator<char>(back)),
                                std::istreambuf_iterator<char>());
  EXPECT_EQ(got, data);

  // A range that is not erased is refused before anything is programmed.
  std::ofstream(dir_ / "ones.bin", std::ios::binary) << std::string(8, '\xFF');
  r = Run("write " + Dir() + " 0x40004 " + (dir_ / "ones.bin").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not erased (it holds 0x0a); nothing written"), std::string::npos)
      << r.err;
  EXPECT_EQ(Image(0x40001, data.size()), data);
  // --erase erases the block and writes back what lies outside the range; verify agrees.
  r = Run("write --erase " + Dir() + " 0x40004 " + (dir_ / "ones.bin").string());
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::uint8_t> now = data;
  std::fill(now.begin() + 3, now.begin() + 11, 0xFF);
  EXPECT_EQ(Image(0x40001, now.size()), now);
  r = Run("verify " + Dir() + " 0x40001 " + (dir_ / "data.bin").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the flash at 0x40004 holds 0xff, the file 0x0a"), std::string::npos)
      << r.err;

  r = Run("erase --force " + Dir() + " 0x40000 1");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1.0 s of module time"), std::string::npos) << r.out;
  EXPECT_EQ(Image(0x40001, 16), std::vector<std::uint8_t>(16, 0xFF));
}

// The habits of mtd-utils: sizes with K, M and G; an erase takes whole blocks only when asked
// (flash_erase refuses an unaligned range), or the whole flash with --all; create --size.
TEST_F(ImbrelModuleTool, ErasesAreWholeBlocksAndSizesTakeSuffixes) {
  // Two chips of 512 KB; parameter blocks of 64 KB, then blocks of 256 KB.
  ASSERT_EQ(Run("create " + Dir() + " --nor --size 1M").status, 0);
  CommandResult r = Run("info " + Dir());
  EXPECT_NE(r.out.find("0x100000 (1 MB; CFI size 0x13: 2 x 512 KB)"), std::string::npos) << r.out;
  const std::vector<std::uint8_t> bootloader = Image(0, 64);
  ASSERT_NE(bootloader, std::vector<std::uint8_t>(64, 0xFF));

  // Unaligned: refused with the range it would take, and nothing erased.
  r = Run("erase " + Dir() + " 0x100 16");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is not block-aligned: it would erase 0 to 0xffff (0 + 0x10000); give "
                       "that range, or --force"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Image(0, 64), bootloader);
  r = Run("erase " + Dir() + " 256K 1");
  EXPECT_EQ(r.status, 2) << r.out;
  // 256K + 256K is the second block, exactly.
  r = Run("erase " + Dir() + " 256K 256K");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("erased 0x40000 to 0x7ffff (1 block)"), std::string::npos) << r.out;
  EXPECT_EQ(Image(0, 64), bootloader);
  r = Run("erase --force " + Dir() + " 0x100 16");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Image(0, 64), std::vector<std::uint8_t>(64, 0xFF));

  std::ofstream(dir_ / "x.bin", std::ios::binary) << "xyz";
  ASSERT_EQ(Run("write " + Dir() + " 0x1M " + (dir_ / "x.bin").string()).status, 2);  // past
  ASSERT_EQ(Run("write " + Dir() + " 0x104K " + (dir_ / "x.bin").string()).status, 0);
  EXPECT_EQ(Image(0x104 * 1024, 3), (std::vector<std::uint8_t>{'x', 'y', 'z'}));
  r = Run("erase " + Dir() + " --all");
  ASSERT_EQ(r.status, 0) << r.err;
  // Blocks already blank are left alone, and counted apart.
  EXPECT_NE(r.out.find("erased 0 to 0xfffff (7 blocks; 4 already blank, skipped)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Image(0x104 * 1024, 3), std::vector<std::uint8_t>(3, 0xFF));

  // Progress: silent on a pipe, unless asked for; then a line a second and the last, with
  // the rate and the module time.
  std::ofstream(dir_ / "k.bin", std::ios::binary) << std::string(0x30000, 'k');
  r = Run("write " + Dir() + " 0x80000 " + (dir_ / "k.bin").string() + " --erase");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Run("read " + Dir() + " 0x80000 192K -o " + (dir_ / "k2.bin").string() + " --progress");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("reading: 192 KB of 192 KB (100%), "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of module time\n"), std::string::npos) << r.err;

  for (const char* bad : {"--size 3M", "--size 256K", "--size 256M", "--size 1M --cfi-size 0x13",
                          "--size 1X", "--size K"}) {
    r = Run("create " + (dir_ / "bad").string() + " --nor " + bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "bad")) << bad;
  }
}

// IMBREL_TRACE makes the models write what they see to trace.log in the module, with the
// module time: the commands, and each chip's change to ready.
TEST_F(ImbrelModuleTool, TraceListsCommandsAndStatusChanges) {
  Create();
  std::ofstream(dir_ / "four.bin", std::ios::binary) << "abcd";
  CommandResult r = RunCommand("IMBREL_TRACE=1 " +
                               Tool("write " + Dir() + " 0x40000 " + (dir_ / "four.bin").string()));
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(dir_ / "m" / "trace.log");
  std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(trace.find(" s: NOR: low chip: write 0x00E8 at bus offset 0x40000"), std::string::npos)
      << trace;
  EXPECT_NE(trace.find(" s: NOR: high chip ready, status 0x80"), std::string::npos) << trace;
  r = Run("read " + Dir() + " 0x40000 4 -o " + (dir_ / "back.bin").string());
  std::ifstream again(dir_ / "m" / "trace.log");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()),
            trace)
      << "no trace without IMBREL_TRACE";
}

TEST_F(ImbrelModuleTool, BadRangesAndFilesTouchNothing) {
  Create();
  test::PokeImage(dir_ / "m", 0xC0000, std::vector<std::uint8_t>(16, 0));
  std::ofstream(dir_ / "two.bin", std::ios::binary) << "ab";
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"erase " + Dir() + " 0xC0000 0x40001", "runs past the flash"},
      {"erase " + Dir() + " 0x100001 0", "runs past the flash"},
      {"erase " + Dir() + " 0xC0000 -1", "not a number"},
      {"read " + Dir() + " 0", "OFFSET needs a LENGTH"},
      {"erase " + Dir() + " 0x1_0000 1", "not a number"},
      {"erase " + Dir() + " 0x100000000 1", "not a number"},
      {"write " + Dir() + " 0xFFFFF " + (dir_ / "two.bin").string(), "runs past the flash"},
      {"write " + Dir() + " 0xC0000 " + (dir_ / "missing.bin").string(),
       "missing.bin: no such file"},
      {"read " + Dir() + " 0xFFFFF 2", "runs past the flash"},
      {"read " + (dir_ / "nowhere").string() + " 0 4", "nowhere: does not exist"},
      {"write " + Dir() + " 0xC0000 " + dir_.path().string(), "is a directory, not a file"},
      {"create " + (dir_ / "both").string() + " --nor --nand", "a module has one kind of flash"},
      {"frobnicate", "subcommand"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
  }
  EXPECT_EQ(Image(0xC0000, 16), std::vector<std::uint8_t>(16, 0));
  EXPECT_EQ(Image(0xFFFFE, 2), std::vector<std::uint8_t>(2, 0xFF));
}

TEST_F(ImbrelModuleTool, FailedOperationsSayWhichAndExitNonZero) {
  Create();
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nor]]\nkind = \"locked-down\"\nblock = 0x80000\n";
  test::PokeImage(dir_ / "m", 0x80000, std::vector<std::uint8_t>(4, 0));
  CommandResult r = Run("erase " + Dir() + " 0x40000 0x80000");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("erase failed at the block 0x80000 + 0x40000 (the block is locked); the "
                       "blocks before it are erased"),
            std::string::npos)
      << r.err;
  // A write says which of the chip's reports it was: the lock, a program error, a time-out.
  std::ofstream(dir_ / "one.bin", std::ios::binary) << "a";
  r = Run("write " + Dir() + " 0x80010 " + (dir_ / "one.bin").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("write failed at 0x80010 (the block is locked)"), std::string::npos)
      << r.err;
  for (const auto& [kind, said] :
       {std::pair{"program-error", "the chip reported a program error"},
        std::pair{"never-ready", "the chip did not get ready in time"}}) {
    std::ofstream(dir_ / "m" / "faults.toml")
        << "[[nor]]\nkind = \"" << kind << "\"\nblock = 0xC0000\n";
    r = Run("write " + Dir() + " 0xC0010 " + (dir_ / "one.bin").string());
    EXPECT_EQ(r.status, 1) << kind;
    EXPECT_NE(r.err.find("write failed at 0xc0010 (" + std::string(said) + ")"), std::string::npos)
        << r.err;
  }
  std::ofstream(dir_ / "m" / "faults.toml") << "[[nor]]\nkind = \"locked-down\"\nblock = 0x80000\n";

  // The module's faults as info --json gives them.
  r = Run("info --json " + Dir());
  EXPECT_EQ(r.status, 0);
  nlohmann::json info = nlohmann::json::parse(r.out);
  EXPECT_EQ(info["flash"], "nor");
  EXPECT_EQ(info["part_number"], 17);
  EXPECT_EQ(info["driver_started"], true);
  EXPECT_EQ(info["flash_size"], 0x100000);
  bool fault_row = false;
  for (const auto& row : info["rows"]) {
    fault_row |= row["name"] == "fault" &&
                 row["value"].get<std::string>().find("locked-down") != std::string::npos;
  }
  EXPECT_TRUE(fault_row) << r.out;

  std::ofstream(dir_ / "m" / "faults.toml") << "[[nor]]\nkind = \"melted\"\n";
  r = Run("info " + Dir());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("faults.toml: fault kind 'melted'"), std::string::npos) << r.err;

  std::ofstream(dir_ / "m" / "faults.toml") << "[[nor]\n";
  r = Run("info " + Dir());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("faults.toml: line 1"), std::string::npos) << r.err;
}

TEST_F(ImbrelModuleTool, MalformedModuleIsNamedInOneLine) {
  Create();
  std::filesystem::resize_file(dir_ / "m" / "nor.img", 1000);
  CommandResult r = Run("read " + Dir() + " 0 4");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("nor.img: is 1000 bytes"), std::string::npos) << r.err;
  std::ofstream(dir_ / "m" / "module.toml") << "[cpu]\npart_number = 99\n";
  r = Run("info " + Dir());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("module.toml: part_number is 0x63"), std::string::npos) << r.err;
}

TEST(ImbrelTool, CreatesTheDefaultModuleOnFirstUse) {
  test::TempDir home;
  std::string env = "env -u IMBREL_MODULE XDG_DATA_HOME=" + home.path().string() + " ";
  // No terminal and no input: the main dialog opens on the console and the end of input
  // closes it, with no error shown.
  CommandResult r = RunCommand(env + IMBREL_TOOL);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("made a new virtual module"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(home / "imbrel/module/nor.img"));
  r = RunCommand(env + IMBREL_TOOL);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("made a new virtual module"), std::string::npos);
  r = RunCommand(std::string(IMBREL_TOOL) + " --module " + (home / "none").string());
  EXPECT_EQ(r.status, 2);
}

}  // namespace

namespace {

TEST(ImbrelModuleNand, CreateMakesTheChipAndInfoDescribesIt) {
  test::TempDir dir;
  std::string m = (dir / "n").string();
  CommandResult r = RunCommand(Tool("create " + m + " --nand --chip 0xF1EC --part 8 --blank"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "n" / "nand.img"), 1024ull * 64 * 2112);
  EXPECT_FALSE(std::filesystem::exists(dir / "n" / "nor.img"));
  r = RunCommand(Tool("info " + m));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* text :
       {"part number 8", "0xF1EC Samsung K9F1G08U0B", "EC F1 00 95 40", "1024 blocks of 64 pages",
        "controller clock 156 MHz", "no page programmed more than 4 times"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
}

TEST(ImbrelModuleNand, ErasedPagesRead0xFFAndTheWholeFlashReadsToStandardOutput) {
  test::TempDir dir;
  std::string m = (dir / "m").string();
  ASSERT_EQ(RunCommand(Tool("create " + m + " --nand --chip 0xF1EC")).status, 0);
  CommandResult r = RunCommand(Tool("read " + m + " 0x3000000 0x800 -o " + (dir / "e").string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "e"), 0x800u);
  std::ifstream in(dir / "e", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(0x800, '\xFF'));
  r = RunCommand(Tool("read " + m + " -o - | wc -c"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "131596288\n");  // FlashSize: the 128 MB chip less its reserve
}

// A plain write whose program fails moves the block to the reserve with what it holds. A
// block the maker marked bad holds nothing: its mark stays behind, and the replacement holds
// the write and reads as such, now and after a restart.
TEST(ImbrelModuleNand, WriteOverAMakerBadBlockLeavesItsMarkBehind) {
  test::TempDir dir;
  std::string m = (dir / "m").string();
  ASSERT_EQ(
      RunCommand(Tool("create " + m + " --nand --chip 0xF1EC --factory-bad-blocks 100")).status, 0);
  std::string data(4096, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
  std::ofstream(dir / "4k.bin", std::ios::binary) << data;
  CommandResult r = RunCommand(Tool("write " + m + " 0xC80000 " + (dir / "4k.bin").string()));
  EXPECT_EQ(r.status, 0) << r.err;
  for (int start = 0; start < 2; ++start) {
    r = RunCommand(Tool("read " + m + " 0xC80000 4096 -o " + (dir / "back").string()));
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream in(dir / "back", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == data);
    // Only the maker's block is bad; the reserve block in use is not.
    r = RunCommand(Tool("map " + m));
    EXPECT_NE(r.out.find("1 bad: its logical block moved to the reserve, 1 reserve block in use"),
              std::string::npos)
        << r.out;
    std::filesystem::remove_all(dir / "m" / "ram");  // a restart
    std::filesystem::create_directory(dir / "m" / "ram");
  }
}

// A block whose program fails cannot be moved when one of its pages holds data the ECC cannot
// give back whole: the write fails and names that page, and nothing is relocated.
TEST(ImbrelModuleNand, WriteThatCannotMoveItsBlockNamesThePageThatDoesNotRead) {
  test::TempDir dir;
  std::string m = (dir / "m").string();
  ASSERT_EQ(RunCommand(Tool("create " + m + " --nand --chip 0xF1EC")).status, 0);
  std::ofstream(dir / "4k.bin", std::ios::binary) << std::string(4096, 'a');
  std::ofstream(dir / "2k.bin", std::ios::binary) << std::string(2048, 'b');
  ASSERT_EQ(RunCommand(Tool("write " + m + " 0x280000 " + (dir / "4k.bin").string())).status, 0);
  // Physical page 1281 (logical 0x280800): two flipped bits in one step.
  for (const char* fault : {"--bit-flip 1281 --byte 10 --bit 1",
                            "--bit-flip 1281 --byte 20 --bit 2", "--bad-block 20 --on program"}) {
    ASSERT_EQ(RunCommand(Tool("fault " + m + " " + fault)).status, 0);
  }
  CommandResult r = RunCommand(Tool("write " + m + " 0x282800 " + (dir / "2k.bin").string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("imbrel-module: write failed at 0x282800: its block reported a program "
                       "error and cannot be moved to the reserve, as the page at 0x280800 does "
                       "not read"),
            std::string::npos)
      << r.err;
  r = RunCommand(Tool("info " + m));
  EXPECT_NE(r.out.find("reloc table physical page 63, 0 entries"), std::string::npos) << r.out;
}

TEST(ImbrelModuleNand, DumpGivesPagesWithTheirSpareAreaRawOrCorrected) {
  test::TempDir dir;
  std::string m = (dir / "m").string();
  ASSERT_EQ(RunCommand(Tool("create " + m + " --nand --chip 0xF1EC")).status, 0);
  ASSERT_EQ(RunCommand(Tool("fault " + m + " --bit-flip 0 --byte 10 --bit 3")).status, 0);
  std::ifstream img(dir / "m" / "nand.img", std::ios::binary);
  std::string cells(2112, '\0');
  img.read(cells.data(), 2112);  // physical page 0: data, then the spare area
  auto dump = [&](const std::string& options) {
    CommandResult r = RunCommand(Tool("dump " + m + " 0 1 -o - " + options));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  std::string raw = dump("--raw"), corrected = dump("");
  ASSERT_EQ(raw.size(), 2112u);
  std::string flipped = cells;
  flipped[10] = static_cast<char>(flipped[10] ^ 0x08);
  EXPECT_EQ(raw, flipped);      // the flipped bit as the cells read
  EXPECT_EQ(corrected, cells);  // the ECC mends it; the spare area as it is
}

TEST(ImbrelModuleNand, CreateRefusesOptionsThatDoNotFitAndLeavesNothing) {
  test::TempDir dir;
  std::string m = (dir / "n").string();
  for (const char* args : {" --nand --part 17", " --nand --part 10", " --nor --chip 0xDAEC",
                           " --nand --cfi-size 0x18", " --nand --nor", " --nand --chip 0x10000"}) {
    CommandResult r = RunCommand(Tool("create " + m + args));
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("imbrel-module: "), std::string::npos) << args << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "n")) << args;
  }
}

TEST(ImbrelModuleNand, InfoListsFaultsAndTwoChipSelects) {
  test::TempDir dir;
  std::string m = (dir / "n").string();
  ASSERT_EQ(RunCommand(Tool("create " + m + " --nand --chip 0xDCAD --blank")).status, 0);
  std::ofstream(dir / "n" / "faults.toml")
      << "[[nand]]\nkind = \"bit-flip\"\npage = 70\nbyte = 2050\nbit = 7\n"
      << "[[nand]]\nkind = \"never-ready\"\nchip_select = 1\n";
  CommandResult r = RunCommand(Tool("info " + m));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* text : {"blocks 0-4095 on CS0, 4096-8191 on CS1",
                           "bit-flip, page 70 byte 2050 bit 7", "never-ready, CS1"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
  std::ofstream(dir / "n" / "faults.toml") << "[[nand]]\nkind = \"melt\"\n";
  r = RunCommand(Tool("info " + m));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("faults.toml: fault kind 'melt'"), std::string::npos) << r.err;
}

}  // namespace

namespace {

// The program maps the flash in 32 MB pieces, as on the device: reads, writes and
// verification across the line between two pieces see one flash, on every size that has one.
TEST_F(ImbrelModuleTool, FlashesLargerThanOnePieceReadAndWriteAcrossItsEnd) {
  const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> bytes(0x20000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
  }();
  const std::string file = (dir_ / "data.bin").string();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  for (const char* size : {"0x19", "0x1A"}) {
    SCOPED_TRACE(size);
    std::filesystem::remove_all(dir_ / "m");
    ASSERT_EQ(Run("create " + Dir() + " --nor --blank --cfi-size " + size).status, 0);
    CommandResult r = Run("write " + Dir() + " 0x1FF0000 " + file + " --erase");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Image(0x1FF0000, data.size()), data);
    r = Run("verify " + Dir() + " 0x1FF0000 " + file);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string whole = (dir_ / "flash.bin").string();
    r = Run("read " + Dir() + " -o " + whole);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::ifstream in(whole, std::ios::binary);
    in.seekg(0x1FF0000);
    std::vector<std::uint8_t> back(data.size());
    in.read(reinterpret_cast<char*>(back.data()), static_cast<std::streamsize>(back.size()));
    EXPECT_EQ(back, data);
    // The whole flash, past the driver's 64 MB too.
    EXPECT_EQ(std::filesystem::file_size(whole),
              std::filesystem::file_size(dir_ / "m" / "nor.img"));
  }
}

}  // namespace

namespace {

// verify --bin holds the flash to what an update from the image leaves: the records where the
// updater puts them (item 5's base for a kernel address), 0xFF in the rest of its blocks.
TEST_F(ImbrelModuleTool, VerifyBinHoldsTheFlashToWhatAnUpdateLeaves) {
  // A bootloader and a 16 KB OS image, for the module to start; the update replaces the image.
  Create("--bootloader-version 1.3 --image-size 0x4000");
  std::vector<std::uint8_t> data(0x5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  const std::string raw = (dir_ / "k.raw").string(), bin = (dir_ / "m" / "fs" / "k.bin").string();
  std::ofstream(raw, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_EQ(RunCommand(std::string(IMBREL_BIN_TOOL) + " make -o " + bin +
                       " --start 0x80081000 --length 0x6000 --raw " + raw + " --at 0x80081000")
                .status,
            0);
  // Not yet written: the OS image's words differ from the record's bytes, from the second.
  CommandResult r = Run("verify " + Dir() + " --bin " + bin);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("at 0x80001 it holds 0x00, record 0 of the image 0x01; 20416 bytes"),
            std::string::npos)
      << r.err;

  r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() + " --ui console /u '\\k.bin'");
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run("verify " + Dir() + " --bin - < " + bin);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("0x80000 to 0xbffff holds it as an update leaves it (20480 bytes of "
                       "records, 241664 erased"),
            std::string::npos)
      << r.out;

  // A byte the image leaves erased, programmed since.
  const std::string one = (dir_ / "one").string();
  std::ofstream(one) << "z";
  ASSERT_EQ(Run("write " + Dir() + " 0x86000 " + one).status, 0);
  r = Run("verify " + Dir() + " --bin " + bin);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("at 0x86000 it holds 0x7a, the image (erased there) 0xff; 1 byte of "
                       "0x80000 to 0xbffff differs"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Run("verify " + Dir() + " --bin " + one).status, 2);  // not a BIN image
}

// A file the updater refuses is no update the flash could hold: verify --bin says why, even
// where the flash holds every record where it would land.
TEST_F(ImbrelModuleTool, VerifyBinRefusesWhatTheUpdaterRefuses) {
  ASSERT_EQ(Run("create " + Dir() + " --nand --blank").status, 0);
  const std::string a = (dir_ / "a.raw").string(), b = (dir_ / "b.raw").string();
  std::ofstream(a, std::ios::binary) << std::string(0x800, 'a');
  std::ofstream(b, std::ios::binary) << std::string(0x800, 'b');
  ASSERT_EQ(Run("write " + Dir() + " 0x100000 " + b).status, 0);
  ASSERT_EQ(Run("write " + Dir() + " 0x101000 " + a).status, 0);
  // The same two records, going up and going down within one block.
  const std::string up = (dir_ / "up.bin").string(), down = (dir_ / "down.bin").string();
  const std::string make = std::string(IMBREL_BIN_TOOL) + " make --start 0x100000 --length 0x2000";
  ASSERT_EQ(
      RunCommand(make + " -o " + up + " --record 0x100000=" + b + " --record 0x101000=" + a).status,
      0);
  ASSERT_EQ(RunCommand(make + " -o " + down + " --record 0x101000=" + a + " --record 0x100000=" + b)
                .status,
            0);
  CommandResult r = Run("verify " + Dir() + " --bin " + up);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = Run("verify " + Dir() + " --bin " + down);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("the updater would not write this image: record 1 at 0x100000 lands at "
                       "flash [0x100000, 0x100800), on a NAND page that the update has "
                       "programmed already"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("(Records overlap or out of order!)"), std::string::npos) << r.err;
}

}  // namespace
