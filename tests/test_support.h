// Helpers shared by the tests: temporary directories and child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test {

/// A fresh directory under the system's temporary directory, removed with its contents.
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
};

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

/// Runs a shell command line and captures its output.
CommandResult RunCommand(const std::string& command_line);

/// Writes `bytes` to `file` (replacing it) and returns its path as a string.
std::string WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

}  // namespace test

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
