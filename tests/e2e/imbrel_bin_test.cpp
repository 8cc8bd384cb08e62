// imbrel-bin as a person or a script runs it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <numeric>
#include <sstream>

#include "host/bin_image.h"
#include "test_support.h"

namespace {

using test::CommandResult;

class ImbrelBinTool : public ::testing::Test {
 protected:
  CommandResult Run(const std::string& args) {
    return test::RunCommand(std::string(IMBREL_BIN_TOOL) + " " + args);
  }
  std::string Path(const std::string& name) { return (dir_ / name).string(); }
  std::string Put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return test::WriteBytes(dir_ / name, bytes);
  }
  static std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 1) {
    std::vector<std::uint8_t> data(count);
    std::iota(data.begin(), data.end(), first);
    return data;
  }
  // Lines of `text` that contain `part`.
  static int CountLines(const std::string& text, const std::string& part) {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(part) != std::string::npos;
    return n;
  }
  test::TempDir dir_;
};

TEST_F(ImbrelBinTool, MakeThenInfoListsEveryRecordWhereItLands) {
  const std::vector<std::uint8_t> kernel = Bytes(16385);
  const std::vector<std::uint8_t> tail = Bytes(5, 0x60);
  Put("kernel.raw", kernel);
  Put("tail.raw", tail);
  CommandResult r = Run("make -o " + Path("nk.bin") + " --start 0x80001000 --record 0x80006000=" +
                        Path("tail.raw") + " --raw " + Path("kernel.raw") + " --at 0x80001000");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("3 records"), std::string::npos) << r.out;

  // The file holds the records in command-line order, the raw data split at 16384 bytes.
  host::BinImage image = host::ReadBinFile(dir_ / "nk.bin");
  ASSERT_EQ(image.problems.size(), 1u);
  EXPECT_EQ(image.problems[0].kind, host::BinProblemKind::kNotAscending);
  EXPECT_EQ(image.start, 0x80001000u);
  EXPECT_EQ(image.length, 0x5005u);  // extent: up to the end of the tail
  ASSERT_EQ(image.records.size(), 3u);
  EXPECT_EQ(image.records[0].address, 0x80006000u);
  EXPECT_EQ(image.records[1].length, 16384u);
  EXPECT_EQ(image.records[2].address, 0x80005000u);
  EXPECT_EQ(image.records[2].length, 1u);
  EXPECT_EQ(image.data(2)[0], kernel.back());

  r = Run("info " + Path("nk.bin"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* expected : {
           "start 0x80001000, length 0x00005005",
           "image base 0x80000 (the default: the module does not answer configuration item 5), "
           "offset -0x7ff81000",
           // The blocks an update takes, on each kind of module.
           "erases      on NOR (the default device) 0x80000-0xbffff (1 block); on NAND "
           "0x80000-0x9ffff (1 block)",
           "      0  0x80006000  0x00000005  0x000001ea  0x00085000  ok",
           "      1  0x80001000  0x00004000",
           "      2  0x80005000  0x00000001  0x00000001  0x00084000  ok",
           "note: the records are not in ascending address order",
           "the updater would accept this file",
       }) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }

  // Placement options move the flash column and the erased range.
  r = Run("info " + Path("nk.bin") + " --item5 0x200000");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("erases      on NOR (the default device) 0x200000-0x23ffff (1 block); on "
                       "NAND 0x200000-0x21ffff (1 block)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("0x80005000  0x00000001  0x00000001  0x00204000"), std::string::npos);
  r = Run("info " + Path("nk.bin") + " --image-offset 0");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("erases      on NOR (the default device) nothing: it lies past the flash; "
                       "on NAND 0x80000000-0x8001ffff (1 block)"),
            std::string::npos)
      << r.out;
}

TEST_F(ImbrelBinTool, InfoReadsStandardInputFromAPipeOrARedirect) {
  Put("data.raw", Bytes(100));
  const std::string make = std::string(IMBREL_BIN_TOOL) + " make -o - --start 0x1000 --raw " +
                           Path("data.raw") + " --at 0x1000";
  CommandResult r = test::RunCommand(make + " | " + IMBREL_BIN_TOOL + " info -");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("the updater would accept this file"), std::string::npos) << r.out;
  ASSERT_EQ(test::RunCommand(make + " > " + Path("a.bin")).status, 0);
  r = Run("info - < " + Path("a.bin"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("start 0x00001000, length 0x00000064"), std::string::npos) << r.out;
  r = Run("info - < /dev/null");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("standard input: is empty"), std::string::npos) << r.err;
}

TEST_F(ImbrelBinTool, MakeWritesTheEntryPointAndWarnsOfARecordAtZero) {
  Put("d.raw", Bytes(64));
  CommandResult r = Run("make -o " + Path("e.bin") +
                        " --start 0x80001000 --entry 0x80001040 "
                        "--record 0x80001000=" +
                        Path("d.raw"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Run("info " + Path("e.bin"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("end record  at file offset 0x5b, entry point 0x80001040"),
            std::string::npos)
      << r.out;
  r = Run("info --json " + Path("e.bin"));
  EXPECT_EQ(r.status, 0) << r.out;
  nlohmann::json info = nlohmann::json::parse(r.out);
  EXPECT_EQ(info["accepted"], true);
  EXPECT_EQ(info["end_record"]["entry_point"], 0x80001040u);
  EXPECT_EQ(info["start"], 0x80001000u);
  EXPECT_EQ(info["records"][0]["flash"], 0x80000u) << r.out;
  r = Run("make -o " + Path("z.bin") + " --start 0 --record 0=" + Path("d.raw"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning: a record at address 0"), std::string::npos) << r.err;
}

TEST_F(ImbrelBinTool, InfoTakesPlacementAndSizeFromAModuleAndExplainsHmit) {
  for (const char* flash : {"--nor", "--nand"}) {
    std::string module = Path(std::string("m") + flash);
    ASSERT_EQ(test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " " + flash)
                  .status,
              0);
    CommandResult r = Run("info '" + module + "/fs/USB HD/IMAGES/eboot.bin' --module " + module);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(flash == std::string("--nor") ? "flash size  0x2000000 bytes"
                                                       : "flash size  0xfb00000 bytes"),
              std::string::npos)
        << r.out;
    // Only part number 9's NAND driver stores "HMIT" in the boot area.
    EXPECT_EQ(r.out.find("\"HMIT\" (0x54494D48) at flash bytes 4-7") != std::string::npos,
              flash == std::string("--nand"))
        << r.out;
    r = Run("info '" + module + "/fs/USB HD/IMAGES/nk.bin' --module " + module);
    EXPECT_NE(r.out.find("(word 0 of the module's configuration item 5)"), std::string::npos)
        << r.out;
  }
}

// With a module, info names the blocks the updater erases, the range verify --bin holds the
// flash to: whole blocks, the NOR parameter blocks, and on NAND the whole boot area for an
// image that starts in it.
TEST_F(ImbrelBinTool, InfoWithAModuleNamesTheRangeVerifyBinHoldsTheFlashTo) {
  const std::pair<std::uint32_t, std::size_t> images[] = {
      {0x80000, 0x1000}, {0x80800, 0x40000}, {0x10000, 0x100}, {0x20000, 0x800}, {0x3F000, 0x2000}};
  for (const char* flash : {"--nor", "--nand"}) {
    std::string module = Path(std::string("m") + flash);
    ASSERT_EQ(test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " " + flash)
                  .status,
              0);
    for (auto [start, length] : images) {
      SCOPED_TRACE(std::string(flash) + " " + std::to_string(start));
      host::BinWriter writer(start);
      writer.Add(start, Bytes(length));
      const std::string bin = Put("i.bin", writer.Build());
      CommandResult info = Run("info " + bin + " --json --module " + module);
      nlohmann::json j = nlohmann::json::parse(info.out);
      CommandResult verify =
          test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " verify " + module + " --bin " + bin);
      // It differs (nothing was written), naming the range it holds the flash to.
      char range[64];
      std::snprintf(range, sizeof range, "%#llx to %#llx differ",
                    static_cast<unsigned long long>(j["erase_start"].get<std::uint64_t>()),
                    static_cast<unsigned long long>(j["erase_end"].get<std::uint64_t>() - 1));
      EXPECT_NE(verify.err.find(range), std::string::npos) << range << "\n" << verify.err;
    }
  }
}
TEST_F(ImbrelBinTool, InfoExitStatusSaysWhetherTheUpdaterWouldFail) {
  host::BinWriter w(0x80000000);
  w.Add(0x80000000, Bytes(100000), 16384);
  const std::string good = Put("good.bin", w.Build());
  auto with_overlap = w;
  with_overlap.Add(0x80000010, Bytes(4));
  struct Case {
    std::string args;
    int status;
    std::string words;
  };
  const Case cases[] = {
      {"info " + good, 0, "problems    none"},
      {"info " + good + " --flash-size 0x100000", 0, "problems    none"},
      {"info " + good + " --flash-size 0x9869F", 1,
       "error: record 6 at 0x80018000 lands at flash [0x98000, 0x986a0), not inside"},
      {"info " + good + " --flash-size 0x100000 --item5 0xF0000", 1,
       "error: the erased range [0xf0000, 0x1086a0) is not inside the flash"},
      {"info " + Put("sig.bin", w.Build({.bad_signature = true})), 1, "Not a WinCE Binary Image"},
      {"info " + Put("cut.bin", w.Build({.truncate_to = 5000})), 1, "(11411 missing)"},
      {"info " + Put("noend.bin", w.Build({.no_end_record = true})), 1, "no end record"},
      {"info " + Put("crc.bin", w.Build({.bad_checksum_record = 2})), 1, "BAD CRC"},
      {"info " + Put("overlap.bin", with_overlap.Build()), 1, "error: record 7"},
      {"info " + Put("endlen.bin", w.Build({.end_record_length = 9})), 0, "entry point 0x00000009"},
      {"info " + Path("missing.bin"), 2, "missing.bin: cannot be read"},
      {"info " + dir_.path().string(), 2, "is a directory"},
      {"info " + good + " --flash-size 0x100000001", 2, "flash size"},
      {"info " + good + " --item5 0x80000 --image-offset 0", 2, "excludes"},
      {"info", 2, "FILE"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.words), std::string::npos) << c.args << "\n" << r.out << r.err;
  }
}

// With a module, info's verdict is the updater's: each file is looked at, then given to the
// updater on the same module, and both say the same.
TEST_F(ImbrelBinTool, InfoWithAModuleGivesTheUpdatersVerdictOnWhereRecordsLand) {
  struct Record {
    std::uint32_t address;
    std::size_t bytes;
  };
  struct Case {
    const char* name;
    const char* flash;
    std::uint32_t length;
    std::vector<Record> records;
    const char* refusal;  // the updater's text, or null when it writes the file
    const char* words;    // in info's output
  };
  const Case cases[] = {
      {"down.bin",
       "--nand",
       0x2000,
       {{0x101000, 0x800}, {0x100000, 0x800}},
       "Records overlap or out of order!",
       "error: record 1 at 0x100000 lands at flash [0x100000, 0x100800), on a NAND page that "
       "the update has programmed already"},
      {"again.bin",
       "--nand",
       0x2000,
       {{0x100000, 0x100}, {0x100800, 0x100}, {0x100100, 0x100}},
       "Records overlap or out of order!",
       "error: record 2 at 0x100100"},
      {"blocks.bin",
       "--nand",
       0x20800,
       {{0x120000, 0x800}, {0x100000, 0x800}},
       nullptr,
       "the updater would accept this file"},
      {"outside.bin",
       "--nand",
       0x800,
       {{0x100000, 0x800}, {0x140000, 0x10}},
       "Record outside the image range!",
       "error: record 1 at 0x140000 lands at flash [0x140000, 0x140010), not inside the blocks "
       "that the erase of [0x100000, 0x100800) takes"},
      {"down.bin",
       "--nor",
       0x2000,
       {{0x101000, 0x800}, {0x100000, 0x800}},
       nullptr,
       "the updater would accept this file"},
      {"outside.bin",
       "--nor",
       0x800,
       {{0x100000, 0x800}, {0x140000, 0x10}},
       "Record outside the image range!",
       "error: record 1 at 0x140000"},
  };
  for (const char* flash : {"--nand", "--nor"}) {
    const std::string module = Path(std::string("m") + flash);
    ASSERT_EQ(test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " " + flash)
                  .status,
              0);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.flash);
    const std::string module = Path(std::string("m") + c.flash);
    host::BinWriter w(0x100000);
    w.SetLength(c.length);
    std::uint8_t first = 1;
    for (const Record& r : c.records) w.Add(r.address, Bytes(r.bytes, first++));
    const std::string file = test::WriteBytes(module + "/fs/" + c.name, w.Build());
    CommandResult info = Run("info " + file + " --module " + module);
    EXPECT_EQ(info.status, c.refusal ? 1 : 0) << info.out << info.err;
    EXPECT_NE(info.out.find(c.words), std::string::npos) << info.out;
    if (c.refusal) {
      EXPECT_NE(info.out.find(c.refusal), std::string::npos) << info.out;
    }
    CommandResult update = test::RunCommand(std::string(IMBREL_TOOL) + " --module " + module +
                                            " --ui console '/u \\" + c.name + "'");
    EXPECT_EQ(update.status, c.refusal ? 1 : 0) << update.err;
    if (c.refusal) {
      EXPECT_NE(update.err.find(std::string("[ERROR] ") + c.refusal), std::string::npos)
          << update.err;
    }
  }
}

TEST_F(ImbrelBinTool, InfoKeepsThousandsOfBadRecordsToOneLineEach) {
  host::BinWriter w(0);
  w.Add(0x40000, Bytes(3000 * 16), 16);
  std::vector<std::uint8_t> file = w.Build();
  for (std::size_t k = 0; k < 3000; ++k) file[15 + k * 28 + 12] ^= 1;  // every checksum wrong
  CommandResult r = Run("info " + Put("many.bin", file));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(CountLines(r.out, "BAD CHECKSUM"), 3000);
  // The problem list shows the first few and counts the rest.
  EXPECT_EQ(CountLines(r.out, "error: record"), 10);
  EXPECT_NE(r.out.find("and 2990 more like the one above"), std::string::npos) << r.out;
}

TEST_F(ImbrelBinTool, MakeRefusesBadInputAndLeavesNoFile) {
  Put("four.raw", Bytes(4));
  Put("zeros.raw", std::vector<std::uint8_t>(64, 0));
  Put("empty.raw", {});
  std::ofstream(dir_ / "old.bin") << "keep me";
  const std::string four = Path("four.raw");
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"--start 0 --record 0x10=" + Path("nothing.raw"), "nothing.raw: no such file"},
      {"--start 0 --record 0x10=" + dir_.path().string(), "is not a regular file"},
      {"--start 0 --record 0x10=" + Path("empty.raw"), "empty.raw: is empty"},
      {"--start 0", "no data"},
      {"--start 0x10 --length 0 --record 0x10=" + four, "length is 0"},
      {"--start 0 --record 0x10=" + four + " --record 0x12=" + four, "overlaps record 0"},
      {"--start 0x100 --record 0xFC=" + four, "outside the image"},
      {"--start 0 --length 4 --record 0x2=" + four, "outside the image"},
      {"--start 0 --raw " + Path("zeros.raw") + " --at 0 --chunk 16", "read it as the end record"},
      {"--start 0 --raw " + four + " --at 0xFFFFFFFE", "runs past address 0xffffffff"},
      {"--start 0 --raw " + four + " --at 0 --chunk 0", "chunk 0"},
      {"--start 0 --raw " + four, "--at"},
      {"--start 0 --at 0 --record 0=" + four, "--raw"},
      {"--start 0 --chunk 4 --record 0=" + four, "--raw"},
      {"--start 0x1_000 --record 0x1000=" + four, "start '0x1_000' is not a number"},
      {"--start 0 --record 0x1000" + four, "is not ADDR=PATH"},
      {"--start 0 --record 0x100000000=" + four, "record address"},
      {"--record 0=" + four, "--start"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run("make -o " + Path("out.bin") + " " + c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_LE(CountLines(r.err, "imbrel-bin:"), 1) << r.err;
  }
  // A refused make over an existing file leaves it as it was.
  CommandResult r = Run("make -o " + Path("old.bin") + " --start 0 --record 0x10=" + four +
                        " --record 0x11=" + four);
  EXPECT_EQ(r.status, 2);
  std::ifstream old(dir_ / "old.bin");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "keep me");
  // Nothing but the inputs and old.bin: no output, no temporary file.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_.path())) entries += e.exists();
  EXPECT_EQ(entries, 4);
  // An output in a directory that does not exist is refused too.
  r = Run("make -o " + Path("no/such/dir.bin") + " --start 0 --record 0x10=" + four);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

TEST_F(ImbrelBinTool, MakeReplacesAnExistingFileWhole) {
  std::ofstream(dir_ / "nk.bin") << std::string(100000, 'x');
  const std::string four = Put("four.raw", Bytes(4));
  CommandResult r =
      Run("make -o " + Path("nk.bin") + " --start 0 --length 0x100 --record 8=" + four + " --raw " +
          four + " --at 0");
  ASSERT_EQ(r.status, 0) << r.err;
  host::BinImage image = host::ReadBinFile(dir_ / "nk.bin");
  EXPECT_EQ(image.bytes.size(), 15u + 2 * 16 + 12);
  EXPECT_EQ(image.length, 0x100u);
  EXPECT_FALSE(image.HasErrors());
  // An overlap allowed is still an overlap, and info says so.
  r = Run("make -o " + Path("o.bin") + " --start 0 --record 8=" + four + " --record 9=" + four +
          " --allow-overlap");
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run("info " + Path("o.bin"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("error: record 1 [0x9, 0xd) overlaps record 0 [0x8, 0xc)"),
            std::string::npos)
      << r.out;
}

}  // namespace
