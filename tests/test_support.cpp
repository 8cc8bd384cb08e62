#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
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

namespace {

// The temporary directories this process made and has not yet removed. A process that ends
// without running destructors (a child's _exit, a restart's or a power cut's quick_exit)
// removes its own; a forked child leaves its parent's alone.
struct LiveDir {
  const TempDir* dir;
  pid_t owner;
};
std::mutex live_dirs_mutex;
std::vector<LiveDir>& LiveDirs() {
  static auto* dirs = new std::vector<LiveDir>();  // outlives every TempDir
  return *dirs;
}

void RemoveOwnDirs() {
  std::lock_guard<std::mutex> lock(live_dirs_mutex);
  const pid_t self = getpid();
  for (const LiveDir& live : LiveDirs()) {
    if (live.owner != self) continue;
    std::error_code ec;
    std::filesystem::remove_all(live.dir->path(), ec);
  }
}

[[maybe_unused]] const bool remove_at_quick_exit = (std::at_quick_exit(RemoveOwnDirs), true);

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "imbrel-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (!made) {
    perror("mkdtemp");
    abort();
  }
  path_ = made;
  std::lock_guard<std::mutex> lock(live_dirs_mutex);
  LiveDirs().push_back({this, getpid()});
}

TempDir::~TempDir() {
  {
    std::lock_guard<std::mutex> lock(live_dirs_mutex);
    std::erase_if(LiveDirs(), [this](const LiveDir& live) { return live.dir == this; });
  }
  // A forked child that returns through its parent's scopes leaves the parent's directories.
  if (owner_ != getpid()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void ExitWithoutDestructors(int status) {
  fflush(stdout);
  fflush(stderr);
  RemoveOwnDirs();
  _exit(status);
}

int RunInChild(const std::function<void()>& body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    body();
    ExitWithoutDestructors(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& file) {
  std::string text = ReadFile(file);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string ToolPath(const char* name) {
  static const std::filesystem::path here =
      std::filesystem::read_symlink("/proc/self/exe").parent_path();
  std::filesystem::path beside = here / name;
  if (access(beside.c_str(), X_OK) == 0) return beside.string();
  return (here.parent_path() / name).string();
}

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
  result.out = ReadFile(dir / "out");
  result.err = ReadFile(dir / "err");
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
  ExitWithoutDestructors(::testing::Test::HasFailure() ? 1 : 0);
}

}  // namespace test::detail
