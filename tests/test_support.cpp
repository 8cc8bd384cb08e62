#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/hardware/model_notes.h"

namespace {

// A command the chips do not know is a driver fault: it fails the test that sent it, unless
// the test expects it (ExpectUnknownCommands).
std::vector<std::string>* expected_unknown = nullptr;

void FailOnUnknownCommand(const std::string& text) {
  if (expected_unknown) {
    expected_unknown->push_back(text);
    return;
  }
  ADD_FAILURE() << "a chip was sent a command it does not know: " << text;
}

[[maybe_unused]] const bool unknown_commands_fail =
    (host::SetUnknownCommandHook(FailOnUnknownCommand), true);

}  // namespace

namespace test {

ExpectUnknownCommands::ExpectUnknownCommands() : outer_(expected_unknown) {
  expected_unknown = &seen_;
}
ExpectUnknownCommands::~ExpectUnknownCommands() { expected_unknown = outer_; }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "imbrel-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (!made) {
    perror("mkdtemp");
    abort();
  }
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

int RunInChild(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

namespace {
std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

CommandResult RunCommand(const std::string& command_line) {
  TempDir dir;
  std::string full = "(" + command_line + ") >'" + (dir / "out").string() + "' 2>'" +
                     (dir / "err").string() + "' </dev/null";
  int raw = std::system(full.c_str());
  CommandResult result;
  if (WIFEXITED(raw))
    result.status = WEXITSTATUS(raw);
  else if (WIFSIGNALED(raw))
    result.status = 128 + WTERMSIG(raw);
  result.out = Slurp(dir / "out");
  result.err = Slurp(dir / "err");
  return result;
}

std::string WriteBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return file.string();
}

}  // namespace test

namespace test::detail {

void RunAndExit(const std::function<void()>& body) {
  fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  body();
  fflush(stdout);
  fflush(stderr);
  _exit(::testing::Test::HasFailure() ? 1 : 0);
}

}  // namespace test::detail
