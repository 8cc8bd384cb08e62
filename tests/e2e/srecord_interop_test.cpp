// Images from SRecord (srec_cat's MsBin output) land in the flash byte for byte, and SRecord
// reads the images imbrel-bin makes to the same bytes and entry point. The data comes from a
// fixed seed, so every run checks the same images.

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

class SRecordInterop : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return (dir_ / name).string(); }
  std::string Put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return test::WriteBytes(dir_ / name, bytes);
  }
  std::string Text(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::uint8_t> Random(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random_());
    return bytes;
  }
  CommandResult Srec(const std::string& args) {
    return RunCommand(std::string(SREC_CAT) + " " + args);
  }
  std::mt19937 random_{20261208};
  test::TempDir dir_;
};

TEST_F(SRecordInterop, ImagesPassBothWaysWithTheSameBytes) {
  // Two sections with a gap, at kernel addresses: the image base maps the first to 0x80000.
  const std::vector<std::uint8_t> kernel = Random(5000), tail = Random(777);
  const std::string a = Put("a.raw", kernel), b = Put("b.raw", tail);
  const std::string sections = a + " -binary -offset 0x80001000 " + b +
                               " -binary -offset 0x80003000 -execution-start-address 0x80001040";

  // SRecord's image, through the program's update, to the flash.
  test::TempDir modules;
  std::string m = (modules / "m").string();
  ASSERT_EQ(RunCommand(std::string(IMBREL_MODULE_TOOL) + " create --nor " + m).status, 0);
  CommandResult r = Srec(sections + " -o '" + m + "/fs/USB HD/IMAGES/s.bin' -MsBin");
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunCommand(std::string(IMBREL_TOOL) + " --module " + m +
                 " --ui console /u '\\USB HD\\IMAGES\\s.bin'");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " read " + m + " 0x80000 0x2309 -o " +
                 Path("flash.raw"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::uint8_t> expected(0x2309, 0xFF);
  std::copy(kernel.begin(), kernel.end(), expected.begin());
  std::copy(tail.begin(), tail.end(), expected.begin() + 0x2000);
  std::string flash = Text("flash.raw");
  ASSERT_EQ(flash.size(), expected.size());
  for (std::size_t i = 0; i < flash.size(); ++i) {
    ASSERT_EQ(static_cast<std::uint8_t>(flash[i]), expected[i]) << "at flash 0x80000 + " << i;
  }

  // imbrel-bin's image of the same sections, as SRecord reads it: the same data and entry
  // point as SRecord's own reading of the sections.
  r = RunCommand(std::string(IMBREL_BIN_TOOL) + " make -o " + Path("ours.bin") +
                 " --start 0x80001000 --entry 0x80001040 --record 0x80001000=" + a +
                 " --record 0x80003000=" + b);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Srec(Path("ours.bin") + " -MsBin -o " + Path("ours.srec") + " -Motorola").status, 0);
  ASSERT_EQ(Srec(sections + " -o " + Path("theirs.srec") + " -Motorola").status, 0);
  EXPECT_EQ(Text("ours.srec"), Text("theirs.srec"));
  EXPECT_NE(Text("ours.srec").find("S70580001040"), std::string::npos) << Text("ours.srec");
}

}  // namespace
