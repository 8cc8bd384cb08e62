// The console window system as a script or a person meets it: imbrel-ui-demo with choices on
// standard input and everything else on standard error.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "host/module/module.h"
#include "module_fixture.h"
#include "test_support.h"

namespace {

using test::CommandResult;

const std::string kListing =
    "1) Save Registry to Flash  2) Clear Registry on Flash  3) Update Bootloader/Image  4) BSP "
    "Version  5) Coldboot  6) Warmboot";

// `input` goes through printf, so "\n" in it is a line break.
CommandResult RunDemo(const std::string& input, const std::string& options = "") {
  return test::RunCommand("printf '" + input + "' | " + IMBREL_UI_DEMO + " --ui console " +
                          options);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// `first` shows in `text`, and `second` after it.
::testing::AssertionResult InOrder(const std::string& text, const std::string& first,
                                   const std::string& second) {
  std::size_t a = text.find(first);
  if (a == std::string::npos) return ::testing::AssertionFailure() << "no \"" << first << "\"";
  if (text.find(second, a + first.size()) == std::string::npos) {
    return ::testing::AssertionFailure() << "no \"" << second << "\" after \"" << first << "\"";
  }
  return ::testing::AssertionSuccess();
}

TEST(ConsoleUi, ChoiceByNumberPressesTheButtonAndEndOfInputCancels) {
  CommandResult r = RunDemo("4\\n");
  EXPECT_EQ(r.status, 0) << r.err;
  // The version report goes to standard output, its line breaks and tabs kept; the
  // transcript says where it went.
  EXPECT_EQ(r.out, "Bootloader:\t1.2\nImage:\t3.4\nmain dialog ended: 0\n");
  EXPECT_TRUE(InOrder(r.err, "Demo 2.9: " + kListing, "> 4) BSP Version")) << r.err;
  EXPECT_TRUE(InOrder(r.err, "> 4) BSP Version", "[BSP Version] (on standard output) -> OK"))
      << r.err;
  EXPECT_TRUE(InOrder(r.err, "(on standard output) -> OK", "end of input: cancel")) << r.err;
  EXPECT_EQ(Count(r.err, "end of input"), 1u) << r.err;
  // A message box does not take the input away: the buttons are listed once.
  EXPECT_EQ(Count(r.err, kListing), 1u) << r.err;
}

TEST(ConsoleUi, ChoiceByTextIgnoresCaseAndSurroundingBlanks) {
  struct Case {
    std::string input;
    std::string shows;
  };
  const Case cases[] = {
      {"bsp version\\n", "[BSP Version] (on standard output)"},
      {"BSP VERSION\\n", "[BSP Version] (on standard output)"},
      {"  Coldboot \\n", "title: Coldboot"},
      {"save registry to flash\\r\\n", "title: Saved"},
      {"6", "title: Warmboot"},  // the last line needs no line break
      {"\\n\\n5\\n", "title: Coldboot"},
  };
  for (const Case& c : cases) {
    CommandResult r = RunDemo(c.input);
    EXPECT_EQ(r.status, 0) << c.input << "\n" << r.err;
    EXPECT_NE(r.err.find(c.shows), std::string::npos) << c.input << "\n" << r.err;
    EXPECT_EQ(r.err.find("is not a button"), std::string::npos) << c.input << "\n" << r.err;
  }
}

TEST(ConsoleUi, UnknownChoiceComplainsListsAgainAndReadsOn) {
  CommandResult r = RunDemo("reboot\\n9\\n0\\n4\\n");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* choice : {"\"reboot\"", "\"9\"", "\"0\""}) {
    EXPECT_NE(r.err.find(std::string(choice) + " is not a button of Demo 2.9"), std::string::npos)
        << choice << "\n"
        << r.err;
  }
  EXPECT_EQ(Count(r.err, kListing), 4u) << r.err;
  EXPECT_TRUE(InOrder(r.err, "\"0\" is not a button", "[BSP Version] (on standard output)"))
      << r.err;
  EXPECT_EQ(r.out, "Bootloader:\t1.2\nImage:\t3.4\nmain dialog ended: 0\n");
}

TEST(ConsoleUi, CommandsDoNotRepeatTheListing) {
  CommandResult r = RunDemo("1\\n5\\n6\\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Count(r.err, kListing), 1u) << r.err;
  EXPECT_TRUE(InOrder(r.err, "title: Saved", "title: Coldboot")) << r.err;
  EXPECT_TRUE(InOrder(r.err, "title: Coldboot", "title: Warmboot")) << r.err;
}

TEST(ConsoleUi, MessageBoxAnswers) {
  struct Case {
    std::string options;
    std::string box;
    std::string title;
  };
  const Case cases[] = {
      {"", "[Registry] Clear the registry? -> No", "title: Answer: No"},
      {"--answer yes", "[Registry] Clear the registry? -> Yes", "title: Answer: Yes"},
      {"--answer no", "[Registry] Clear the registry? -> No", "title: Answer: No"},
  };
  for (const Case& c : cases) {
    CommandResult r = RunDemo("2\\n", c.options);
    EXPECT_EQ(r.status, 0) << c.options << "\n" << r.err;
    EXPECT_TRUE(InOrder(r.err, c.box, c.title)) << c.options << "\n" << r.err;
  }
}

TEST(ConsoleUi, AnswersAreUsedInOrderOnePerBox) {
  CommandResult r = RunDemo("2\\n2\\n2\\n", "--answer yes --answer no");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(InOrder(r.err, "-> Yes", "-> No")) << r.err;
  EXPECT_EQ(Count(r.err, "Clear the registry? -> No"), 2u) << r.err;
}

TEST(ConsoleUi, AnswerThatIsNotAButtonOfTheBoxIsNamedAndTheDefaultTaken) {
  CommandResult r = RunDemo("2\\n", "--answer ok");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("--answer ok does not fit the box [Registry] Clear the registry? (Yes/No)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("[Registry] Clear the registry? -> No"), std::string::npos) << r.err;
}

TEST(ConsoleUi, UpdateNamesItsBarsAtAFewLinesASecondAndUnchangedTextOnce) {
  CommandResult r = RunDemo("3\\n", "--file x");
  EXPECT_EQ(r.status, 0) << r.err;
  // Each bar is named by the text above it; the demo's update takes well under a second, so
  // one line tells where the bars ended.
  EXPECT_EQ(r.err.find("bar 1"), std::string::npos) << r.err;
  EXPECT_EQ(Count(r.err, "%; Image "), 1u) << r.err;
  EXPECT_TRUE(InOrder(r.err, "[Updating IMAGE] Section 100%; Image 100%", "Update done -> OK"))
      << r.err;
  // The line for each record the update writes is folded into the progress line, unless
  // --verbose asks for every line.
  EXPECT_EQ(Count(r.err, "[Updating IMAGE] Section: "), 0u) << r.err;
  EXPECT_EQ(Count(r.err, "[Updating IMAGE] Image: 00080000"), 1u) << r.err;
  EXPECT_EQ(Count(RunDemo("3\\n", "--file x --verbose").err, "[Updating IMAGE] Section: "), 10u);
  // Back on top after the update dialog, the main dialog lists its buttons under its new title.
  EXPECT_TRUE(InOrder(r.err, "Update done", "Update: 10: " + kListing)) << r.err;
  EXPECT_EQ(r.out, "main dialog ended: 0\n");
}

class ConsoleUiFileOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    host::CreateOptions options;
    options.cfi_size = 0x14;
    host::CreateModule(dir_ / "m", options);
    std::filesystem::create_directories(dir_ / "m" / "fs" / "USB HD" / "IMAGES");
    std::ofstream(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "nk.bin") << "image";
  }
  CommandResult Run(const std::string& options) {
    return RunDemo("3\\n", "--module '" + (dir_ / "m").string() + "' " + options);
  }
  test::TempDir dir_;
};

TEST_F(ConsoleUiFileOpen, OpenAnswersTheFileDialogAndTheUpdateRuns) {
  CommandResult r = Run("--open '\\USB HD\\IMAGES\\nk.bin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(
      r.err.find("[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES -> \\USB HD\\IMAGES\\nk.bin"),
      std::string::npos)
      << r.err;
  EXPECT_TRUE(InOrder(r.err, "-> \\USB HD\\IMAGES\\nk.bin", "[Update] Update done")) << r.err;
  EXPECT_NE(r.err.find("Update: 10: "), std::string::npos) << r.err;
}

TEST_F(ConsoleUiFileOpen, BareNameIsInTheFolderTheDialogOpensOn) {
  CommandResult r = Run("--open nk.bin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("-> \\USB HD\\IMAGES\\nk.bin"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Update: 10: "), std::string::npos) << r.err;
}

TEST_F(ConsoleUiFileOpen, OpenIgnoresCaseAsTheModulesFilesDo) {
  CommandResult r = Run("--open '\\usb hd\\images\\NK.BIN'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(InOrder(r.err, "-> \\usb hd\\images\\NK.BIN", "[Update] Update done")) << r.err;
}

TEST_F(ConsoleUiFileOpen, WithoutOpenTheDialogIsCancelled) {
  CommandResult r = Run("");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("-> cancelled (no --open)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Update: -2: " + kListing), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[Updating IMAGE] update cancelled"), std::string::npos) << r.err;
}

TEST_F(ConsoleUiFileOpen, MissingFileIsRefusedAndTheSecondAskCancels) {
  CommandResult r = Run("--open '\\USB HD\\IMAGES\\gone.bin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(InOrder(r.err, "-> \\USB HD\\IMAGES\\gone.bin",
                      "[Open] \\USB HD\\IMAGES\\gone.bin\nFile not found. -> OK"))
      << r.err;
  EXPECT_TRUE(InOrder(r.err, "File not found.", "-> cancelled (--open was taken already)"))
      << r.err;
  EXPECT_NE(r.err.find("Update: -2: "), std::string::npos) << r.err;
}

TEST(ConsoleUi, AnswerAndOpenAreRefusedOutsideTheConsole) {
  for (const char* options : {"--ui terminal --answer yes", "--ui script --open nk.bin"}) {
    CommandResult r = test::RunCommand(std::string(IMBREL_UI_DEMO) + " " + options);
    EXPECT_EQ(r.status, 2) << options << "\n" << r.err;
    EXPECT_NE(r.err.find("--answer and --open are for the console window system"),
              std::string::npos)
        << options << "\n"
        << r.err;
    EXPECT_EQ(r.out, "") << options;
  }
}

// The demo as a child whose standard input the test writes and whose standard error it reads
// as the lines come: a pipe, or a terminal of `columns` columns.
class Demo {
 public:
  Demo(const std::vector<std::string>& options, bool terminal = false, int columns = 0) {
    std::vector<std::string> args = {IMBREL_UI_DEMO, "--ui", "console"};
    args.insert(args.end(), options.begin(), options.end());
    Start(args, terminal, columns);
  }
  /// Another program, `argv` whole, its standard error a pipe.
  struct Program {
    std::vector<std::string> argv;
  };
  explicit Demo(const Program& program) { Start(program.argv, false, 0); }

  ~Demo() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) close(fd);
    }
  }

 private:
  void Start(std::vector<std::string> args, bool terminal, int columns) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2], out[2], err[2] = {-1, -1};
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    if (terminal) {
      err[0] = posix_openpt(O_RDWR | O_NOCTTY);
      EXPECT_GE(err[0], 0);
      EXPECT_EQ(grantpt(err[0]), 0);
      EXPECT_EQ(unlockpt(err[0]), 0);
      err[1] = open(ptsname(err[0]), O_RDWR | O_NOCTTY);
      EXPECT_GE(err[1], 0);
      termios mode{};
      tcgetattr(err[1], &mode);
      cfmakeraw(&mode);  // the bytes as written: no "\r\n" for "\n"
      tcsetattr(err[1], TCSANOW, &mode);
      winsize size{};
      size.ws_col = static_cast<unsigned short>(columns);
      size.ws_row = 24;
      ioctl(err[0], TIOCSWINSZ, &size);
    } else {
      EXPECT_EQ(pipe(err), 0);
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      signal(SIGINT, SIG_DFL);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }

 public:
  void Write(const std::string& text) {
    EXPECT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    close(in_);
    in_ = -1;
  }
  void Interrupt() { kill(pid_, SIGINT); }

  /// Reads standard error until `text` has come; false after ten seconds or at its end.
  bool WaitFor(const std::string& text) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (err_text_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > limit || !ReadError(100)) return false;
    }
    return true;
  }

  /// Waits for the end; the exit status, or 128 + the signal.
  int Finish() {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadError(100)) {
      if (std::chrono::steady_clock::now() > limit) {
        ADD_FAILURE() << "the demo did not end";
        kill(pid_, SIGKILL);
      }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    char buffer[4096];
    for (ssize_t got; (got = read(out_, buffer, sizeof buffer)) > 0;) out_text_.append(buffer, got);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& err() const { return err_text_; }
  const std::string& out() const { return out_text_; }

 private:
  // False at the end of standard error (a terminal reports EIO once the child is gone).
  bool ReadError(int timeout_ms) {
    pollfd fd{err_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return true;
    char buffer[4096];
    ssize_t got = read(err_, buffer, sizeof buffer);
    if (got <= 0) return false;
    err_text_.append(buffer, got);
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string err_text_, out_text_;
};

TEST(ConsoleUiInterrupt, CtrlCCancelsTheTopDialogAndTheProgramGoesOn) {
  Demo demo({"--file", "x", "--step-ms", "100"});
  demo.Write("3\n");
  ASSERT_TRUE(demo.WaitFor("%; Image ")) << demo.err();
  demo.Interrupt();
  ASSERT_TRUE(demo.WaitFor("[Update] Update aborted -> OK")) << demo.err();
  EXPECT_NE(demo.err().find("Ctrl-C: cancel sent to Updating IMAGE"), std::string::npos);
  demo.CloseInput();
  EXPECT_EQ(demo.Finish(), 0) << demo.err();
  EXPECT_EQ(demo.err().find("Image 100%"), std::string::npos) << demo.err();
  EXPECT_EQ(demo.out(), "main dialog ended: 0\n");
}

TEST(ConsoleUiInterrupt, SecondCtrlCEndsTheProgram) {
  Demo demo({"--file", "x", "--step-ms", "100"});
  demo.Write("3\n");
  ASSERT_TRUE(demo.WaitFor("%; Image ")) << demo.err();
  demo.Interrupt();
  ASSERT_TRUE(demo.WaitFor("Update: ")) << demo.err();
  demo.Interrupt();
  EXPECT_EQ(demo.Finish(), 130) << demo.err();
  EXPECT_EQ(demo.out(), "");
  // Its last line says what the flash was left as: the update had ended, and the demo's
  // writes no flash.
  const std::string& err = demo.err();
  EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1),
            "imbrel: ended by Ctrl-C; no update was under way, and this run changed nothing in "
            "the flash\n")
      << err;
}

// Ends in "0x80000-0x9ffff, 0xc0000-0xc3fff": the ranges as [start, end).
std::vector<std::pair<std::size_t, std::size_t>> RangesNamed(const std::string& text) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t at = text.find("0x"); at != std::string::npos; at = text.find("0x", at)) {
    std::size_t used = 0;
    const std::size_t start = std::stoul(text.substr(at), &used, 16);
    at += used;
    if (text.compare(at, 3, "-0x") != 0) continue;
    const std::size_t end = std::stoul(text.substr(at + 1), &used, 16) + 1;
    at += 1 + used;
    ranges.push_back({start, end});
  }
  return ranges;
}

// The Ctrl-C that ends the program in the middle of an update says, as the run's last line,
// what the flash was left as; the flash outside the ranges it names is as it was.
TEST(ConsoleUiInterrupt, SecondCtrlCSaysWhatTheFlashWasLeftAs) {
  test::TempDir dir;
  const std::string module = (dir.path() / "m").string();
  ASSERT_EQ(
      test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " --nor").status, 0);
  const std::vector<std::uint8_t> before = test::ReadFileBytes(dir.path() / "m" / "nor.img");
  Demo imbrel(Demo::Program{{IMBREL_TOOL, "--module", module, "--ui", "console", "--pace", "real",
                             "/u", "\\USB HD\\IMAGES\\nk.bin"}});
  ASSERT_TRUE(imbrel.WaitFor("Erasing Flash Sector at 00080000")) << imbrel.err();
  imbrel.Interrupt();
  ASSERT_TRUE(imbrel.WaitFor("Ctrl-C: cancel sent")) << imbrel.err();
  imbrel.Interrupt();
  EXPECT_EQ(imbrel.Finish(), 130) << imbrel.err();
  const std::string& err = imbrel.err();
  const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  const std::string said =
      "imbrel: ended by Ctrl-C during an update: the flash is left erased or partly written: ";
  ASSERT_EQ(last.rfind(said, 0), 0u) << err;
  const auto ranges = RangesNamed(last);
  ASSERT_FALSE(ranges.empty()) << last;
  EXPECT_EQ(ranges.front().first, 0x80000u) << last;
  const std::vector<std::uint8_t> after = test::ReadFileBytes(dir.path() / "m" / "nor.img");
  ASSERT_EQ(after.size(), before.size());
  std::size_t changed_outside = 0;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] == before[i]) continue;
    const bool named = std::any_of(ranges.begin(), ranges.end(),
                                   [&](const auto& r) { return i >= r.first && i < r.second; });
    if (!named) ++changed_outside;
  }
  EXPECT_EQ(changed_outside, 0u) << last;
}

// On NAND the update's last line names the blocks it relocated, and its progress line the
// megabytes, the rate and the module time left.
TEST(ConsoleUi, UpdateLinesNameRelocationsAndTheRate) {
  test::TempDir dir;
  const std::string module = (dir.path() / "n").string();
  ASSERT_EQ(
      test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " --nand").status,
      0);
  ASSERT_EQ(test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " fault " + module +
                             " --bad-block 5 --on program")
                .status,
            0);
  CommandResult r = test::RunCommand(std::string(IMBREL_TOOL) + " --module " + module +
                                     " --ui console /u '\\USB HD\\IMAGES\\nk.bin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("[Updating IMAGE] update done; took "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" s of module time; block 5 went bad (physical block 5): it now lives in "
                       "reserve block 2047; 39 of 40 reserve blocks left\n"),
            std::string::npos)
      << r.err;
  // The whole is the erase (two blocks) and the image's 256 KB.
  EXPECT_NE(r.err.find("Image 100%; Writing: 0.5 of 0.5 MB (erase 0.2, write 0.2), "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(" MB/s, about 0 s of module time left\n"), std::string::npos) << r.err;
}

// The stop request of a Ctrl-C stays set for the updates commanded after the one it stopped
// (the module's flag is process-wide): the next update stops before it writes, and its own
// line says it was cancelled.
TEST(ConsoleUiInterrupt, CtrlCCarriedIntoTheNextUpdateIsACancelOnItsLine) {
  test::TempDir dir;
  const std::string module = (dir.path() / "m").string();
  ASSERT_EQ(
      test::RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + module + " --nor").status, 0);
  std::vector<std::uint8_t> big(0x100000), small(0x1000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::size_t i = 0; i < small.size(); ++i) small[i] = static_cast<std::uint8_t>(i * 5 + 1);
  test::WriteBytes(dir.path() / "big.raw", big);
  test::WriteBytes(dir.path() / "small.raw", small);
  for (const char* name : {"big", "small"}) {
    ASSERT_EQ(test::RunCommand(std::string(IMBREL_BIN_TOOL) + " make -o " + module + "/fs/" + name +
                               ".bin --start 0x80200000 --raw " + (dir.path() / name).string() +
                               ".raw --at 0x80200000")
                  .status,
              0);
  }
  // At the module's own pace the big image's erase alone takes seconds.
  Demo imbrel(Demo::Program{{IMBREL_TOOL, "--module", module, "--ui", "console", "--pace", "real",
                             "/u", "\\big.bin", "/u", "\\small.bin"}});
  ASSERT_TRUE(imbrel.WaitFor("Erasing Flash Sector at 00080000")) << imbrel.err();
  imbrel.Interrupt();
  EXPECT_EQ(imbrel.Finish(), 3) << imbrel.err();
  const std::string& err = imbrel.err();
  EXPECT_NE(err.find("Ctrl-C: cancel sent to Updating IMAGE"), std::string::npos) << err;
  EXPECT_EQ(Count(err, "update cancelled; took"), 2u) << err;
  EXPECT_EQ(err.find("update done"), std::string::npos) << err;
  EXPECT_TRUE(InOrder(err, "Image: 00080000  Len: 00001000(4096)", "update cancelled; took"))
      << err;
  // The second update wrote none of its bytes.
  const std::vector<std::uint8_t> flash = test::ReadImage(dir.path() / "m", 0x80000, small.size());
  EXPECT_NE(flash, small);
}

TEST(ConsoleUiTerminal, ProgressIsOneLineRewrittenInPlaceThatKeepsTheBarsInView) {
  Demo demo({"--file", "x"}, /*terminal=*/true, /*columns=*/50);
  demo.Write("3\n");
  ASSERT_TRUE(demo.WaitFor("[Update] Update done")) << demo.err();
  demo.CloseInput();
  EXPECT_EQ(demo.Finish(), 0) << demo.err();
  const std::string& err = demo.err();
  EXPECT_EQ(err.find("%; Image "), std::string::npos) << err;
  // Every rewrite starts at the line's start, clears what the last one left, and fits the
  // terminal with both bars.
  std::size_t rewrites = 0;
  std::string last;
  for (std::size_t at = err.find('\r'); at != std::string::npos; at = err.find('\r', at + 1)) {
    std::size_t end = err.find("\x1b[K", at);
    ASSERT_NE(end, std::string::npos) << err;
    last = err.substr(at + 1, end - at - 1);
    EXPECT_LE(last.size(), 49u) << last;
    EXPECT_EQ(last.rfind("Updating IMAGE", 0), 0u) << last;
    ++rewrites;
  }
  EXPECT_GE(rewrites, 10u) << err;
  EXPECT_EQ(last.substr(last.size() - 10), "100%  100%") << last;
  // The progress line ends before the message box prints.
  EXPECT_NE(err.find("\x1b[K\n[Update] Update done -> OK"), std::string::npos) << err;
}

}  // namespace
