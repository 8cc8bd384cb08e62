// Named shared memory as the program uses it: one set of bytes for every process of the
// module until the module restarts, and failures that come back as Win32 errors.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ce/ce.h"
#include "host/oal/restart.h"
#include "host/system/shared_memory.h"
#include "module_fixture.h"
#include "test_support.h"

namespace {

constexpr DWORD kSize = 16388;
const WCHAR* const kName = TEXT("NAND_FLASH_BBMT");

HANDLE Create(const WCHAR* name, DWORD size = kSize, DWORD protect = PAGE_READWRITE) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}

BYTE* View(HANDLE mapping, DWORD bytes = kSize) {
  return static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, bytes));
}

bool AllZero(const BYTE* bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (bytes[i]) return false;
  }
  return true;
}

class SharedMemoryTest : public test::ModuleTest {
 protected:
  void SetUp() override { Open(); }
  std::filesystem::path ram() { return module().dir() / "ram"; }
  // Files of mappings in ram/ (the module keeps other things there too).
  int MappingFiles() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ram())) {
      if (entry.path().filename().string().find("mapping-") != std::string::npos) ++n;
    }
    return n;
  }
};

TEST_F(SharedMemoryTest, NamedMappingIsOneSetOfBytesForEveryProcess) {
  EXPECT_EQ(test::RunInChild([] {
              HANDLE mapping = Create(kName);
              ASSERT_NE(mapping, nullptr);
              EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
              BYTE* bytes = View(mapping);
              ASSERT_NE(bytes, nullptr);
              EXPECT_TRUE(AllZero(bytes, kSize));
              std::memcpy(bytes, "BBMT", 4);
              bytes[kSize - 1] = 0x5A;
            }),
            0);
  // The creator has ended; the bytes stay for the next process.
  EXPECT_EQ(test::RunInChild([] {
              HANDLE mapping = Create(kName);
              ASSERT_NE(mapping, nullptr);
              EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
              BYTE* bytes = View(mapping);
              ASSERT_NE(bytes, nullptr);
              EXPECT_EQ(std::memcmp(bytes, "BBMT", 4), 0);
              EXPECT_EQ(bytes[kSize - 1], 0x5A);
              bytes[4] = 0x11;
            }),
            0);
  HANDLE mapping = Create(kName);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  BYTE* bytes = View(mapping);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[4], 0x11);
  // A write here is seen by a process that has the mapping open at the same time.
  bytes[5] = 0x22;
  EXPECT_EQ(test::RunInChild([] { EXPECT_EQ(View(Create(kName))[5], 0x22); }), 0);
  EXPECT_TRUE(UnmapViewOfFile(bytes));
  EXPECT_TRUE(CloseHandle(mapping));
}

TEST_F(SharedMemoryTest, RestartOfTheModuleForgetsTheBytes) {
  EXPECT_EQ(test::RunInChild([] {
              BYTE* bytes = View(Create(kName));
              ASSERT_NE(bytes, nullptr);
              bytes[0] = 0x42;
            }),
            0);
  EXPECT_EQ(MappingFiles(), 1);
  EXPECT_EQ(test::RunInChild([] { host::RestartModule(nullptr, 0); }), 0);
  EXPECT_EQ(MappingFiles(), 0);

  EXPECT_EQ(test::RunInChild([] {
              HANDLE mapping = Create(kName);
              ASSERT_NE(mapping, nullptr);
              EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
              BYTE* bytes = View(mapping);
              ASSERT_NE(bytes, nullptr);
              EXPECT_TRUE(AllZero(bytes, kSize));
            }),
            0);
}

TEST_F(SharedMemoryTest, ProcessesRacingToCreateAgreeOnOneCreator) {
  // Every process counts itself in the bytes when it was the one that created them; each
  // must see the whole size whether it created or opened.
  constexpr int kProcesses = 8;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      HANDLE mapping = Create(TEXT("race"), 0x20000);
      bool created = mapping && GetLastError() == ERROR_SUCCESS;
      BYTE* bytes = mapping ? View(mapping, 0) : nullptr;
      if (!bytes) _exit(2);
      auto* creators = reinterpret_cast<std::atomic<int>*>(bytes);
      if (created) creators->fetch_add(1);
      bytes[0x1FFFF] = 1;  // the last byte is there for every process
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HANDLE mapping = Create(TEXT("race"), 0x20000);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  BYTE* bytes = View(mapping, 0);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(reinterpret_cast<std::atomic<int>*>(bytes)->load(), 1);
  EXPECT_EQ(std::filesystem::file_size(ram() / "mapping-race"), 0x20000u);
}

TEST_F(SharedMemoryTest, UnnamedMappingsArePrivateAndViewsOutliveTheHandle) {
  HANDLE first = Create(nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = Create(nullptr);
  ASSERT_NE(second, nullptr);
  BYTE* a = View(first);
  BYTE* b = View(first);
  BYTE* c = View(second);
  ASSERT_TRUE(a && b && c);
  a[100] = 7;
  EXPECT_EQ(b[100], 7);  // two views of one mapping
  EXPECT_EQ(c[100], 0);  // another mapping
  EXPECT_EQ(MappingFiles(), 0);

  std::size_t views = host::MappedViewCount();
  EXPECT_TRUE(CloseHandle(first));
  a[101] = 8;
  EXPECT_EQ(b[101], 8);
  EXPECT_TRUE(UnmapViewOfFile(a));
  EXPECT_TRUE(UnmapViewOfFile(b));
  EXPECT_FALSE(UnmapViewOfFile(b));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_EQ(host::MappedViewCount(), views - 2);
  EXPECT_TRUE(UnmapViewOfFile(c));
  EXPECT_TRUE(CloseHandle(second));
}

struct BadCall {
  const char* what;
  HANDLE file;
  DWORD protect;
  DWORD size;
  DWORD access;
  DWORD offset;
  DWORD bytes;
  DWORD error;
};

class SharedMemoryErrorTest : public SharedMemoryTest,
                              public ::testing::WithParamInterface<BadCall> {};

TEST_P(SharedMemoryErrorTest, FailsWithTheWin32Error) {
  const BadCall& call = GetParam();
  SetLastError(ERROR_SUCCESS);
  HANDLE mapping = CreateFileMappingW(call.file, nullptr, call.protect, 0, call.size, nullptr);
  if (!mapping) {
    EXPECT_EQ(GetLastError(), call.error) << call.what;
    return;
  }
  EXPECT_EQ(MapViewOfFile(mapping, call.access, 0, call.offset, call.bytes), nullptr) << call.what;
  EXPECT_EQ(GetLastError(), call.error) << call.what;
  EXPECT_TRUE(CloseHandle(mapping));
}

const HANDLE kSomeFile = reinterpret_cast<HANDLE>(0x44);

INSTANTIATE_TEST_SUITE_P(
    Calls, SharedMemoryErrorTest,
    ::testing::Values(BadCall{"a file behind it", kSomeFile, PAGE_READWRITE, kSize, 0, 0, 0,
                              ERROR_NOT_SUPPORTED},
                      BadCall{"no size", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 0, 0, 0,
                              ERROR_INVALID_PARAMETER},
                      BadCall{"no access protection", INVALID_HANDLE_VALUE, PAGE_NOACCESS, kSize, 0,
                              0, 0, ERROR_INVALID_PARAMETER},
                      BadCall{"writing a read-only mapping", INVALID_HANDLE_VALUE, PAGE_READONLY,
                              kSize, FILE_MAP_ALL_ACCESS, 0, 0, ERROR_ACCESS_DENIED},
                      BadCall{"neither read nor write", INVALID_HANDLE_VALUE, PAGE_READWRITE, kSize,
                              0, 0, 0, ERROR_INVALID_PARAMETER},
                      BadCall{"offset off the granularity", INVALID_HANDLE_VALUE, PAGE_READWRITE,
                              0x30000, FILE_MAP_READ, 0x1000, 0, ERROR_MAPPED_ALIGNMENT},
                      BadCall{"offset at the end", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0x20000,
                              FILE_MAP_READ, 0x20000, 0, ERROR_INVALID_PARAMETER},
                      BadCall{"view past the end", INVALID_HANDLE_VALUE, PAGE_READWRITE, kSize,
                              FILE_MAP_READ, 0, kSize + 1, ERROR_INVALID_PARAMETER}));

TEST_F(SharedMemoryTest, InjectedFailuresFailOnceAndLeaveNothingBehind) {
  host::FailCreateFileMapping(1);
  EXPECT_EQ(Create(kName), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(MappingFiles(), 0);

  HANDLE mapping = Create(kName);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  host::FailMapViewOfFile(2);
  EXPECT_EQ(View(mapping), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(View(mapping), nullptr);
  EXPECT_NE(View(mapping), nullptr);
}

TEST(SharedMemoryWithoutModuleTest, NamedMappingLivesWhileTheProcessHoldsIt) {
  ASSERT_EQ(host::CurrentModule(), nullptr);
  HANDLE first = Create(TEXT("local"));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = Create(TEXT("local"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  BYTE* a = View(first);
  BYTE* b = View(second);
  a[9] = 3;
  EXPECT_EQ(b[9], 3);
  EXPECT_TRUE(UnmapViewOfFile(a));
  EXPECT_TRUE(UnmapViewOfFile(b));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  // The last holder let go: the name is made afresh.
  HANDLE third = Create(TEXT("local"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(View(third)[9], 0);
}

}  // namespace
