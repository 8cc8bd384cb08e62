// Mutexes as the program uses them: recursive for their owner, and named ones shared by every
// process of the module and released when their holder dies.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "ce/kernel.h"
#include "host/system/kernel_objects.h"
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
  std::promise<DWORD> tried;
  std::future<DWORD> tried_result = tried.get_future();
  std::thread waiter([&] {
    // While the owner holds it, a waiter that does not wait does not get it.
    tried.set_value(WaitForSingleObject(m, 0));
    got = WaitForSingleObject(m, INFINITE) == WAIT_OBJECT_0;
    ReleaseMutex(m);
  });
  EXPECT_EQ(tried_result.get(), WAIT_TIMEOUT);
  EXPECT_FALSE(got);
  ReleaseMutex(m);
  waiter.join();
  EXPECT_TRUE(got);
  CloseHandle(m);
}

// A child process of the same module; it opens the mutex afresh, as another program would.
// It says on `ready_fd` that it holds the mutex, then releases it when a byte comes on
// `release_fd`, or dies holding it when `release_fd` is -1.
pid_t ChildHolding(const std::filesystem::path& dir, int release_fd, int ready_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    host::SetKernelObjectDirectory(dir);
    HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
    WaitForSingleObject(m, INFINITE);
    char c = 1;
    if (write(ready_fd, &c, 1) != 1) _exit(2);
    if (release_fd < 0) _exit(0);  // dies holding it
    if (read(release_fd, &c, 1) != 1) _exit(2);
    ReleaseMutex(m);
    _exit(0);
  }
  return pid;
}

TEST_F(MutexTest, ProcessesOfTheModuleExcludeEachOther) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = ChildHolding(dir_.path(), release[0], ready[1]);
  char c = 1;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("OnModuleFlash"));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
  ASSERT_EQ(write(release[1], &c, 1), 1);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
  ReleaseMutex(m);
  CloseHandle(m);
  waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
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
