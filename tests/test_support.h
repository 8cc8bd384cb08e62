// Helpers shared by the tests: temporary directories and child processes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test {

/// A fresh directory under the system's temporary directory ($TMPDIR), removed with its
/// contents: by the destructor, or, when the process that made it ends without destructors
/// (ExitWithoutDestructors, a restart's or power cut's quick_exit), as the process ends.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
  int owner_ = getpid();  // the process that made it
};

/// Ends the process at once with `status`, as _exit does, after flushing the standard streams
/// and removing the temporary directories the process made.
[[noreturn]] void ExitWithoutDestructors(int status);

/// Runs `body` in a forked child, for code that needs a process of its own (process-wide
/// state set once). GoogleTest assertions inside `body` are reported by the child; the
/// result is the child's exit status: 0 when `body` returned without a failed assertion.
int RunInChild(const std::function<void()>& body);

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

/// While one lives, commands the chips do not know are collected instead of failing the test.
class ExpectUnknownCommands {
 public:
  ExpectUnknownCommands();
  ~ExpectUnknownCommands();
  ExpectUnknownCommands(const ExpectUnknownCommands&) = delete;
  ExpectUnknownCommands& operator=(const ExpectUnknownCommands&) = delete;
  const std::vector<std::string>& seen() const { return seen_; }

 private:
  std::vector<std::string>* outer_;
  std::vector<std::string> seen_;
};

/// The path of one of the build's executables: the tools at the top of the build tree
/// ("imbrel", "imbrel-module", "imbrel-bin") and the test tools beside this test program
/// ("imbrel-ui-demo", "imbrel-power-cut", "imbrel-update-campaign",
/// "imbrel-sequence-campaign"). Found from this program's
/// own place, so that the test sources hold no path of the build tree.
std::string ToolPath(const char* name);

/// Runs a shell command line and captures its output.
CommandResult RunCommand(const std::string& command_line);

/// The whole of `file` (empty when it cannot be read), read in one piece: tests compare whole
/// flash images, and a byte-at-a-time read of 138 MB costs seconds in an unoptimised build.
std::string ReadFile(const std::filesystem::path& file);
std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& file);

/// Writes `bytes` to `file` (replacing it) and returns its path as a string.
std::string WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

}  // namespace test

#define IMBREL_TOOL ::test::ToolPath("imbrel")
#define IMBREL_MODULE_TOOL ::test::ToolPath("imbrel-module")
#define IMBREL_BIN_TOOL ::test::ToolPath("imbrel-bin")
#define IMBREL_UI_DEMO ::test::ToolPath("imbrel-ui-demo")
#define IMBREL_POWER_CUT_TOOL ::test::ToolPath("imbrel-power-cut")
#define IMBREL_UPDATE_CAMPAIGN_TOOL ::test::ToolPath("imbrel-update-campaign")
#define IMBREL_SEQUENCE_CAMPAIGN_TOOL ::test::ToolPath("imbrel-sequence-campaign")

/// Runs `body` in a new process that runs only the current test, so that state the program
/// sets once per process starts fresh. The test's fixture is set up again in that process.
/// Assertion failures inside `body` fail the test with the child's output.
#define EXPECT_IN_FRESH_PROCESS(...)                                                               \
  do {                                                                                             \
    auto fresh_process_body = [&] { __VA_ARGS__; };                                                \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                \
    EXPECT_EXIT(::test::detail::RunAndExit(fresh_process_body), ::testing::ExitedWithCode(0), ""); \
  } while (0)

namespace test::detail {
/// Runs `body` with standard output sent to standard error, then exits 0 when no assertion
/// failed.
[[noreturn]] void RunAndExit(const std::function<void()>& body);
}  // namespace test::detail
