// The program as a script or a person runs it: imbrel on modules made by imbrel-module.

#include <gtest/gtest.h>

#include <fstream>

#include "bin_writer.h"
#include "module_fixture.h"
#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

class ImbrelProgram : public ::testing::Test {
 protected:
  void Create(const std::string& options = "") {
    CommandResult r =
        RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + Dir() + " --nor " + options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string Dir() { return (dir_ / "m").string(); }
  // Runs imbrel on the console with `input` on standard input.
  CommandResult Run(const std::string& args, const std::string& input = "") {
    std::ofstream(dir_ / "input") << input;
    return RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() + " --ui console " + args +
                      " < " + (dir_ / "input").string());
  }
  std::string KeptRegistry() {
    std::ifstream in(dir_ / "m" / "registry.toml");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string BootLog() {
    std::ifstream in(dir_ / "m" / "boot.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  test::TempDir dir_;
};

TEST_F(ImbrelProgram, VersionReportOfABetaBootloader) {
  Create("--bootloader-version 1.3-beta5");
  CommandResult r = Run("", "BSP Version\n");
  EXPECT_EQ(r.status, 0);
  // On standard output with plain line ends, for scripts.
  EXPECT_EQ(r.out,
            "Bootloader (in Flash)\nID:\tOSTRALA\nVer:\t1.3 BETA, Build 5\n"
            "Built:\t20 Jan 2009 10:15:00 (GMT)\n\nImage (current running)\nID:\tOSTRALA\n"
            "Ver:\t5.3 \nBuilt:\t07 Mar 2009 00:00:00 (GMT)\n");
  EXPECT_NE(r.err.find("[BSP Version] (on standard output) -> OK"), std::string::npos) << r.err;
}

TEST_F(ImbrelProgram, QuietUpdateFromTheCommandLine) {
  Create("--times typical");
  CommandResult r = Run("/u \\\\USB\\ HD\\\\IMAGES\\\\nk.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("WARNING"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Image: 00080000  Len: 00040000(262144)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("update done; took 1.9"), std::string::npos) << r.err;
  // The image's first words: the sample's fill pattern.
  auto flash = test::ReadImage(dir_ / "m", 0x80000, 8);
  EXPECT_EQ(flash, (std::vector<std::uint8_t>{0x00, 0x00, 0x4C, 0x4E, 0x01, 0x00, 0x4C, 0x4E}));
}

// "/u /home/me/nk.bin", a path on this machine: the module cannot see it, and a hint names
// --usb. The flash is not touched.
TEST_F(ImbrelProgram, AHostPathToUpdateFromGetsAHintNamingUsb) {
  Create();
  const auto before = test::ReadImage(dir_ / "m", 0x80000, 64);
  std::filesystem::copy_file(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "nk.bin", dir_ / "nk.bin");
  CommandResult r = Run("/u " + (dir_ / "nk.bin").string());
  EXPECT_NE(r.err.find("hint: " + (dir_ / "nk.bin").string() +
                       " is a file on this machine, which the module does not see; show its "
                       "folder as \\USB HD with --usb " +
                       dir_.path().string() + " and update from '\\USB HD\\nk.bin'"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::ReadImage(dir_ / "m", 0x80000, 64), before);
  // As the hint says.
  r = Run("--usb " + dir_.path().string() + " /u '\\USB HD\\nk.bin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("hint:"), std::string::npos) << r.err;
}

TEST_F(ImbrelProgram, HostOptionsAsUsersExpect) {
  Create();
  // A misspelt host option is refused, not taken for the program's command line.
  CommandResult r = RunCommand(std::string(IMBREL_TOOL) + " --modul " + Dir() + " </dev/null");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option --modul"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Imbrel 2.9"), std::string::npos) << r.err;
  r = RunCommand(std::string(IMBREL_TOOL) + " --version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("imbrel ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Imbrel 2.9"), std::string::npos) << r.out;  // the dialogs' version
  // After "--" the words are the program's, and "--" itself is not one of them.
  r = Run("-- /u \\\\USB\\ HD\\\\IMAGES\\\\NK.BIN");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Image: 00080000  Len: 00040000(262144)"), std::string::npos) << r.err;
  r = Run("--ui script");
  EXPECT_EQ(r.status, 2);
}

TEST_F(ImbrelProgram, FailedUpdateEndsWithItsErrorAndStatusOne) {
  Create();
  test::WriteFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "junk.bin",
                  std::vector<std::uint8_t>(64, 0x5A));
  CommandResult r = Run("/u \\\\USB\\ HD\\\\IMAGES\\\\junk.bin /fu");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("[Updating IMAGE] update failed: Not a WinCE Binary Image file!; took 0."),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("left erased"), std::string::npos) << r.err;  // it wrote nothing

  // A program that fails part way: the line says what the update left behind.
  std::ofstream(dir_ / "m" / "faults.toml")
      << "[[nor]]\nkind = \"program-error\"\nblock = 0xA0000\n";
  r = Run("--summary /u \\\\USB\\ HD\\\\IMAGES\\\\nk.bin");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("[Updating IMAGE] update failed: Error writing to Flash!"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("[Updating IMAGE] the flash is left erased or partly written: erased "
                       "0x80000-0xbffff (256 KB); programmed 0x80000-0x8003f (64 bytes)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("imbrel: this run changed the flash: erased 0x80000-0xbffff"),
            std::string::npos)
      << r.err;
}

TEST_F(ImbrelProgram, UpdateFromTheMainDialogEndsInAColdRestart) {
  Create();
  CommandResult r = Run("--open '\\USB HD\\IMAGES\\nk.bin' --answer ok --answer yes",
                        "Update Bootloader/Image\n");
  EXPECT_EQ(r.status, 0) << r.err;  // the module restarted
  EXPECT_NE(r.err.find("[WARNING] This Image will overwrite the following sections:\nIMAGE\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("[RESET] To finish the update reset the system.\n Reset now? -> Yes"),
            std::string::npos)
      << r.err;
  std::string log = BootLog();
  EXPECT_NE(log.find("cold-start preparation"), std::string::npos) << log;
  EXPECT_NE(log.find("cold restart"), std::string::npos) << log;
  EXPECT_LT(log.find("cold-start preparation"), log.find("cold restart"));
}

TEST_F(ImbrelProgram, DeclinedOverwriteWarningWritesNothing) {
  Create();
  auto before = test::ReadImage(dir_ / "m", 0x80000, 64);
  CommandResult r = Run("--open '\\USB HD\\IMAGES\\nk.bin'", "3\n");  // Cancel is the default
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("Are you sure you want to continue? -> Cancel"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadImage(dir_ / "m", 0x80000, 64), before);
}

TEST_F(ImbrelProgram, RegistryAndRestartCommands) {
  Create();
  CommandResult r = Run("/f");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("[Registry] Registry Successfully Saved"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::file_size(dir_ / "m" / "registry.toml") > 0);

  // An answer option takes one value: the command line after it is the program's.
  r = Run("--answer ok /f");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Registry Successfully Saved -> OK"), std::string::npos) << r.err;

  r = Run("/cu /fu");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("[Registry]"), std::string::npos) << r.err;

  r = Run("/c");
  EXPECT_NE(r.err.find("[Registry] Registry Successfully Cleared"), std::string::npos) << r.err;

  // A command the program does not understand: its warning, and status 2 for scripts; the
  // commands around it still run.
  r = Run("/x /cu");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("WARINING: Imbrel.exe: commandline command not supported"),
            std::string::npos)
      << r.err;

  r = Run("/rc500 /f");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("[Registry]"), std::string::npos);  // the restart ended everything
  EXPECT_NE(BootLog().find("cold restart at 0.5"), std::string::npos) << BootLog();
  r = Run("/r");
  EXPECT_NE(BootLog().find("warm restart"), std::string::npos) << BootLog();
}

TEST_F(ImbrelProgram, FailedRegistrySaveIsReportedUnlessQuiet) {
  Create();
  std::ofstream(dir_ / "m" / "faults.toml") << "[registry]\nflush = \"fail\"\n";
  CommandResult r = Run("/f");
  EXPECT_NE(r.err.find("[Registry] Registry Save FAILED!"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
  r = Run("/fu");
  EXPECT_EQ(r.err.find("[Registry]"), std::string::npos) << r.err;
  EXPECT_EQ(KeptRegistry().find("StrataFMD"), std::string::npos);
  // No box, but the host saw the call fail: the status and a line say so.
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("imbrel: the registry save (RegFlushKey) failed"), std::string::npos)
      << r.err;
}

TEST_F(ImbrelProgram, QuietClearErasesTheSavedCopyThenColdRestarts) {
  Create("--times typical");
  ASSERT_EQ(Run("/fu").status, 0);
  ASSERT_NE(KeptRegistry().find("StrataFMD"), std::string::npos);
  CommandResult r = Run("/cu /rc");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(KeptRegistry().find("StrataFMD"), std::string::npos);
  // The clear erased the block holding the copy (1 s; the other half was blank), then the
  // restart came after its 1 ms.
  EXPECT_NE(BootLog().find("cold restart at 1.00"), std::string::npos) << BootLog();
}

TEST_F(ImbrelProgram, UpdateThenColdRestartAfterItsDelay) {
  Create("--times typical");
  CommandResult r = Run("/u \\\\USB\\ HD\\\\IMAGES\\\\nk.bin /rc3000");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("update done; took 1.9"), std::string::npos) << r.err;
  // The update's 1.9 s, then the 3 s delay.
  EXPECT_NE(BootLog().find("cold restart at 4.9"), std::string::npos) << BootLog();
}

}  // namespace

namespace {

TEST_F(ImbrelProgram, UsbFolderIsShownAsTheStickAndCannotBeLeft) {
  Create();
  const std::filesystem::path usb = dir_ / "stick";
  std::filesystem::create_directories(usb / "Images");
  std::filesystem::copy_file(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "nk.bin",
                             usb / "Images" / "mine.bin");
  std::filesystem::create_symlink(dir_ / "m" / "module.toml", usb / "Images" / "out.bin");
  const std::string before = test::ReadFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "nk.bin");
  const std::string option = "--usb " + usb.string() + " ";

  CommandResult r = Run(option + "/u '\\USB HD\\IMAGES\\MINE.BIN'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("update done"), std::string::npos) << r.err;
  // The module's own stick is out of sight for the run, and left as it was.
  r = Run(option + "/u '\\USB HD\\IMAGES\\nk.bin'");
  EXPECT_NE(r.err.find("Cannot Open Image File"), std::string::npos) << r.err;
  for (const char* path : {"\\USB HD\\..\\module.toml", "\\USB HD\\Images\\out.bin"}) {
    r = Run(option + "/u '" + path + "'");
    EXPECT_NE(r.err.find("Cannot Open Image File"), std::string::npos) << path << r.err;
  }
  EXPECT_EQ(test::ReadFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "nk.bin"), before);
  EXPECT_EQ(Run("--usb " + (dir_ / "none").string() + " /fu").status, 2);
}

}  // namespace

namespace {

// The man pages answer what --help alone does not: each subcommand's options, the exit
// statuses, the environment and examples. Made in the plain build only.
TEST(ManPages, NameSubcommandsExitStatusEnvironmentAndExamples) {
  const std::filesystem::path man =
      std::filesystem::path(test::ToolPath("imbrel")).parent_path() / "man";
  if (!std::filesystem::exists(man / "imbrel.1")) GTEST_SKIP() << "no man pages in this build";
  for (const char* tool : {"imbrel", "imbrel-module", "imbrel-bin"}) {
    const std::string page = test::ReadFile(man / (std::string(tool) + ".1"));
    for (const char* part : {"EXIT STATUS", "ENVIRONMENT", "IMBREL_MODULE", "NO_COLOR",
                             "IMBREL_TRACE", "XDG_DATA_HOME", "EXAMPLES"}) {
      EXPECT_NE(page.find(part), std::string::npos) << tool << ": " << part;
    }
  }
  const std::string module = test::ReadFile(man / "imbrel-module.1");
  EXPECT_NE(module.find(".SS verify"), std::string::npos);
  EXPECT_NE(module.find("--bin"), std::string::npos);
  EXPECT_NE(test::ReadFile(man / "imbrel.1").find("\\-\\-usb"), std::string::npos);
}

}  // namespace
