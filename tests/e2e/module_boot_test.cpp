// A module runs what its flash holds: a cold restart boots the image an update wrote, the
// registry saved lives in the flash (and goes with it), and a module whose flash does not boot
// says why and is repaired with imbrel-module.

#include <gtest/gtest.h>

#include <fstream>

#include "host/system/registry.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

constexpr char kNkBin[] = "'\\USB HD\\IMAGES\\nk.bin'";

class ModuleBoot : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { Create(GetParam()); }
  void Create(const std::string& options) {
    CommandResult r = Tool("create " + Dir() + " " + options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Dir() { return (dir_ / "m").string(); }
  CommandResult Tool(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  // imbrel on the console, with `input` for its main dialog.
  CommandResult Run(const std::string& args, const std::string& input = "") {
    std::ofstream(dir_ / "input") << input;
    return RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() + " --ui console " + args +
                      " < " + (dir_ / "input").string());
  }
  std::string Report() {
    CommandResult r = Run("", "BSP Version\n");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  std::string Info() { return Tool("info " + Dir()).out; }
  // The live registry of the module as it runs.
  host::RegistryTree Live() { return host::LoadRegistryFile(dir_ / "m" / "ram" / "registry.toml"); }
  void SetLive(const std::string& tables) {
    std::ofstream(dir_ / "m" / "ram" / "registry.toml", std::ios::app) << tables;
  }
  // A BIN image of `bytes` bytes at flash `offset` (an address below the kernel's lands as is).
  void PutImage(const std::string& name, std::uint32_t offset, std::uint32_t bytes) {
    std::vector<std::uint8_t> raw(bytes, 0x5A);
    std::string raw_file = test::WriteBytes(dir_ / "raw", raw);
    CommandResult r = RunCommand(std::string(IMBREL_BIN_TOOL) + " make -o " + Dir() + "/fs/" +
                                 name + " --start " + std::to_string(offset) + " --raw " +
                                 raw_file + " --at " + std::to_string(offset));
    ASSERT_EQ(r.status, 0) << r.err;
  }

  test::TempDir dir_;
};

TEST_P(ModuleBoot, ColdRestartRunsTheImageTheUpdateWrote) {
  EXPECT_NE(Report().find("Image (current running)\nID:\tOSTRALA\nVer:\t5.3 \n"
                          "Built:\t07 Mar 2009 00:00:00 (GMT)"),
            std::string::npos);
  // The sample nk.bin carries a version record of 5.4 and was built on 17 May 2010. A warm
  // restart keeps the image the module runs; a cold one boots the new one.
  CommandResult r = Run("/u " + std::string(kNkBin) + " /r");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Report().find("Ver:\t5.3 \nBuilt:\t07 Mar 2009"), std::string::npos);
  EXPECT_NE(Info().find("boots       a start runs the OS image at 0x80000 (0x40000 bytes, "
                        "version 5.4 from its version record, built 2010-05-17 13:45:30)"),
            std::string::npos)
      << Info();
  ASSERT_EQ(Run("/rc").status, 0);
  const std::string report = Report();
  EXPECT_NE(report.find("Image (current running)\nID:\tOSTRALA\nVer:\t5.4 \n"
                        "Built:\t17 May 2010 13:45:30 (GMT)"),
            std::string::npos)
      << report;
  EXPECT_NE(Info().find("running     the OS image at 0x80000 (0x40000 bytes, version 5.4"),
            std::string::npos)
      << Info();
}

TEST_P(ModuleBoot, UpdateOverTheRegistryRegionStartsTheModuleFromTheDefault) {
  ASSERT_EQ(Run("/fu").status, 0);  // the first run starts the module
  SetLive("\n['Saved']\nValue = 7\n");
  ASSERT_EQ(Run("/fu").status, 0);
  EXPECT_NE(Info().find("registry    copy 2 in half 1"), std::string::npos) << Info();
  ASSERT_EQ(Run("/rc").status, 0);
  ASSERT_EQ(Run("/fu").status, 0);
  EXPECT_NE(Live().FindKey(u"Saved"), nullptr) << "the saved registry did not start the module";

  // An image over the whole registry area: info's item 5 row says "registry area START + LENGTH".
  const std::string area = Info().substr(Info().find("registry area ") + 14);
  const std::uint32_t start = std::stoul(area, nullptr, 16);
  const std::uint32_t length = std::stoul(area.substr(area.find(" + ") + 3), nullptr, 16);
  PutImage("reg.bin", start, length);
  CommandResult r = Run("'/u \\reg.bin'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Live().FindKey(u"Saved"), nullptr) << "the running module lost its live registry";
  ASSERT_EQ(Run("/rc").status, 0);
  ASSERT_EQ(Run("/fu").status, 0);
  EXPECT_EQ(Live().FindKey(u"Saved"), nullptr) << "the registry came from nowhere";
  EXPECT_NE(Live().FindKey(u"Drivers\\BuiltIn\\StrataFMD"), nullptr);
}

TEST_P(ModuleBoot, GarbageOverTheOsImageStopsTheStartUntilARepair) {
  const std::string good = (dir_ / "os.img").string();
  ASSERT_EQ(Tool("read " + Dir() + " 0x80000 0x40000 -o " + good).status, 0);
  ASSERT_EQ(Run("/fu").status, 0);
  std::vector<std::uint8_t> junk(0x1000);
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::string junk_file = test::WriteBytes(dir_ / "junk", junk);
  ASSERT_EQ(Tool("write " + Dir() + " 0x80000 " + junk_file + " --erase").status, 0);

  // The module runs on until it boots again: a warm restart boots nothing.
  ASSERT_EQ(Run("/r").status, 0);
  EXPECT_EQ(Run("/fu").status, 0);
  ASSERT_EQ(Run("/rc").status, 0);
  const char* why =
      "no boot image at 0x80000, where item 5 places the OS image; the bootloader stays in its "
      "menu";
  for (const std::string& command :
       {std::string("/fu"), std::string(), "/u " + std::string(kNkBin)}) {
    CommandResult r = Run(command, "BSP Version\n");
    EXPECT_EQ(r.status, 4) << command << "\n" << r.err;
    EXPECT_EQ(r.err, std::string("imbrel: the module does not start: ") + why + "\n") << command;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_NE(Info().find(std::string("boots       no: ") + why), std::string::npos) << Info();

  // The bootloader's download mode: the good image written back, and the module starts.
  CommandResult r = Tool("write " + Dir() + " 0x80000 " + good + " --erase");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(Info().find("boots       a start runs the OS image at 0x80000"), std::string::npos);
  EXPECT_EQ(Run("/fu").status, 0);
  EXPECT_NE(Report().find("Ver:\t5.3 \nBuilt:\t07 Mar 2009"), std::string::npos);
}

TEST_P(ModuleBoot, NoBootloaderNoStart) {
  std::vector<std::uint8_t> junk(0x800, 0x00);
  ASSERT_EQ(
      Tool("write " + Dir() + " 0 " + test::WriteBytes(dir_ / "zeros", junk) + " --erase").status,
      0);
  CommandResult r = Run("");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err,
            "imbrel: the module does not start: no boot image at 0x0 or 0x8000, where the "
            "bootloader belongs; nothing runs\n");
}

INSTANTIATE_TEST_SUITE_P(Flash, ModuleBoot,
                         ::testing::Values("--nor", "--nand --chip 0xF1EC --part 8"),
                         [](const auto& info) {
                           return std::string(info.index == 0 ? "Nor" : "Nand");
                         });

// A registry save cut by a power failure at each of its flash operations leaves the copy
// before or the new one in force at the next start, never neither.
TEST(RegistrySaveCut, LeavesTheOldCopyOrTheNewOne) {
  test::TempDir dir;
  const std::string m = (dir / "m").string();
  auto tool = [&](const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  };
  auto run = [&](const std::string& args) {
    return RunCommand(std::string(IMBREL_TOOL) + " --module " + m + " --ui console " + args +
                      " < /dev/null");
  };
  auto generation = [&]() -> long {
    const host::RegistryTree live = host::LoadRegistryFile(dir / "m" / "ram" / "registry.toml");
    const host::RegistryValue* v = live.FindValue(u"Gen", u"N");
    return v ? static_cast<long>(v->number) : -1;
  };
  ASSERT_EQ(tool("create " + m + " --nor").status, 0);
  ASSERT_EQ(run("/fu").status, 0);
  long in_force = -1;  // the default registry has no Gen key
  int cuts = 0;
  for (int after = 0; after < 200; ++after) {
    ASSERT_EQ(run("").status, 0);  // a start, when the last run was cut
    ASSERT_EQ(generation(), in_force) << "after a cut during operation " << after;
    const fs::path live = dir / "m" / "ram" / "registry.toml";
    host::RegistryTree tree = host::LoadRegistryFile(live);
    tree.SetValue(u"Gen", {u"N", REG_DWORD, static_cast<DWORD>(after), {}});
    host::WriteRegistryFile(live, tree);
    ASSERT_EQ(tool("fault " + m + " --power-cut-after " + std::to_string(after)).status, 0);
    CommandResult r = run("/fu");
    ASSERT_EQ(tool("fault " + m + " --clear").status, 0);
    if (r.status == 0) {
      in_force = after;  // saved whole before the cut would fall
      break;
    }
    ASSERT_EQ(r.status, 5) << r.err;  // a status of its own: 3 is a cancel's
    ++cuts;
    ASSERT_EQ(run("").status, 0);
    long now = generation();
    ASSERT_TRUE(now == in_force || now == after)
        << "a cut during operation " << after << " left registry " << now;
    in_force = now;
  }
  EXPECT_GE(cuts, 2) << "the save was never cut";
  EXPECT_GE(in_force, 0);
}

}  // namespace

namespace {

// A registry area that item 5 puts inside the OS image is not saved into: the save fails,
// and the image still boots.
TEST(RegistryArea, InsideTheOsImageIsRefusedAndTheImageKept) {
  test::TempDir dir;
  const std::string m = (dir / "m").string();
  ASSERT_EQ(RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + m +
                       " --nor --item5 0x80000,0x100000,0x40000,0,0,0 --image-size 0x100000")
                .status,
            0);
  const std::string run = std::string(IMBREL_TOOL) + " --module " + m + " --ui console ";
  CommandResult r = RunCommand(run + "/fu < /dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the registry area (0x00100000 + 2 x 0x40000) lies in the OS image at "
                       "0x80000 (0x100000 bytes)"),
            std::string::npos)
      << r.err;
  ASSERT_EQ(RunCommand(run + "/rc < /dev/null").status, 0);
  EXPECT_EQ(RunCommand(run + "/fu < /dev/null").status, 1);  // started again: the image is whole
}

}  // namespace
