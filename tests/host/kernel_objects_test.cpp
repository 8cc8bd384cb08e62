// Mutexes as the program uses them: recursive for their owner, and named ones shared by every
// process of the module and released when their holder dies.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ce/kernel.h"
#include "host/module/kernel_objects.h"
#include "test_support.h"

namespace {

class MutexTest : public ::testing::Test {
 protected:
  void SetUp() override { host::SetKernelObjectDirectory(dir_.path()); }
  void TearDown() override { host::SetKernelObjectDirectory({}); }
  test::TempDir dir_;
};

TEST_F(MutexTest, OwnerMayTakeItAgainAndOthersWait) {
  HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);

  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(m, 20); }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  std::thread([&] {
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();

  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([&] { other = WaitForSingleObject(m, 20); }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);  // still held once
  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([&] {
    other = WaitForSingleObject(m, 20);
    ReleaseMutex(m);
  }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_TRUE(CloseHandle(m));
  EXPECT_FALSE(CloseHandle(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);
}

TEST_F(MutexTest, SameNameIsTheSameMutex) {
  HANDLE a = CreateMutexW(nullptr, TRUE, TEXT("OnModuleFlash"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateMutexW(nullptr, TRUE, TEXT("OnModuleFlash"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_NE(a, b);
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(b, 20); }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(b));  // the owner releases through either handle
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(MutexTest, WaiterGetsItWhenTheOwnerReleases) {
  HANDLE m = CreateMutexW(nullptr, TRUE, TEXT("x"));
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    got = WaitForSingleObject(m, INFINITE) == WAIT_OBJECT_0;
    ReleaseMutex(m);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got);
  ReleaseMutex(m);
  waiter.join();
  EXPECT_TRUE(got);
  CloseHandle(m);
}

// A child process of the same module; it opens the mutex afresh, as another program would.
pid_t ChildHolding(const std::filesystem::path& dir, int hold_ms, int ready_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    host::SetKernelObjectDirectory(dir);
    HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
    WaitForSingleObject(m, INFINITE);
    char c = 1;
    if (write(ready_fd, &c, 1) != 1) _exit(2);
    if (hold_ms < 0) _exit(0);  // dies holding it
    std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
    ReleaseMutex(m);
    _exit(0);
  }
  return pid;
}

TEST_F(MutexTest, ProcessesOfTheModuleExcludeEachOther) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = ChildHolding(dir_.path(), 150, fds[1]);
  char c;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
  EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ReleaseMutex(m);
  CloseHandle(m);
  waitpid(child, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(MutexTest, HolderThatDiesReleasesIt) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = ChildHolding(dir_.path(), -1, fds[1]);
  char c;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  waitpid(child, nullptr, 0);
  HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_OBJECT_0);
  ReleaseMutex(m);
  CloseHandle(m);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
