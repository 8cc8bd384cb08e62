// CE files over the module's fs/: opens, reads, sizes and times, what is refused, and the
// calendar of file times.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ce/files.h"
#include "ce/kernel.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"
#include "module_fixture.h"

namespace {

namespace fs = std::filesystem;

std::uint64_t Ticks(const FILETIME& t) {
  return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

HANDLE Open(const char16_t* name, DWORD access = GENERIC_READ, DWORD creation = OPEN_EXISTING) {
  return CreateFileW(name, access, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class FilesTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    Open();
    fs::create_directories(Fs() / "USB HD" / "IMAGES");
    content_.resize(10000);
    for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(Fs() / "USB HD" / "IMAGES" / "nk.bin", std::ios::binary) << content_;
  }
  fs::path Fs() { return dir_ / "module" / "fs"; }
  using test::ModuleTest::Open;

  std::string content_;
};

TEST_F(FilesTest, ReadsAFileInPiecesUntilItsEnd) {
  std::size_t handles = host::OpenHandleCount();
  HANDLE file = ::Open(u"\\USB HD\\IMAGES\\nk.bin");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), 10000u);
  EXPECT_EQ(high, 0u);

  std::string got;
  std::vector<DWORD> pieces;
  for (;;) {
    char buffer[4096];
    DWORD read = 12345;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    pieces.push_back(read);
    if (read == 0) break;
    got.append(buffer, read);
  }
  EXPECT_EQ(pieces, (std::vector<DWORD>{4096, 4096, 1808, 0}));
  EXPECT_EQ(got, content_);

  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(host::OpenHandleCount(), handles);
  DWORD read = 0;
  char byte;
  EXPECT_FALSE(ReadFile(file, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(file));
}

TEST_F(FilesTest, CreationTimeIsTheHostModificationTime) {
  fs::path file = Fs() / "windows" / "default.fdf";
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "fdf";
  // atime 2010-05-17 13:45:30.25, mtime 2009-03-07 00:00:00.
  struct timespec times[2] = {{1274103930, 250000000}, {1236384000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  HANDLE h = ::Open(u"\\windows\\default.fdf");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME created = {}, accessed = {}, written = {};
  ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
  EXPECT_EQ(Ticks(created), 0x1C99EB7A8810000u);
  EXPECT_EQ(Ticks(written), 0x1C99EB7A8810000u);
  EXPECT_EQ(Ticks(accessed), 0x1CAF5C736CA3900u + 2500000u);
  // Each of the three may be left out.
  FILETIME only = {};
  EXPECT_TRUE(GetFileTime(h, &only, nullptr, nullptr));
  EXPECT_EQ(Ticks(only), 0x1C99EB7A8810000u);
  CloseHandle(h);
}

TEST_F(FilesTest, NamesIgnoreCaseAsOnTheModule) {
  HANDLE h = ::Open(u"\\usb hd\\Images\\NK.BIN");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 10000u);
  CloseHandle(h);
  // Forward slashes and a missing leading backslash name the same file.
  h = ::Open(u"USB HD/IMAGES/nk.bin");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST_F(FilesTest, LinksInsideFsAreFollowed) {
  fs::create_symlink("USB HD/IMAGES/nk.bin", Fs() / "alias.bin");
  HANDLE h = ::Open(u"\\alias.bin");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 10000u);
  CloseHandle(h);
}

TEST_F(FilesTest, RefusalsSayWhyAndTouchNothing) {
  fs::path module = dir_ / "module";
  fs::create_directory_symlink("..", Fs() / "up");
  fs::create_symlink("../module.toml", Fs() / "settings.toml");
  ASSERT_EQ(mkfifo((Fs() / "pipe").c_str(), 0644), 0);
  std::ofstream(dir_ / "outside.bin") << "secret";
  std::ifstream in(module / "module.toml");
  std::string toml_before(std::istreambuf_iterator<char>(in), {});

  struct Case {
    const char16_t* name;
    DWORD access;
    DWORD creation;
    DWORD error;
  };
  const Case cases[] = {
      {u"\\none.bin", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {u"\\USB HD\\IMAGES\\none.bin", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {u"\\nodir\\nk.bin", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\USB HD\\..\\..\\module.toml", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\..\\outside.bin", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\.\\USB HD\\IMAGES\\nk.bin", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\up\\module.toml", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\UP\\module.toml", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\UP\\none.toml", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\settings.toml", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\USB HD", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {u"\\pipe", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {u"", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"\\USB HD\\IMAGES\\nk.bin", GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {u"\\USB HD\\IMAGES\\nk.bin", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
       ERROR_ACCESS_DENIED},
      {u"\\USB HD\\IMAGES\\nk.bin", GENERIC_READ, CREATE_ALWAYS, ERROR_NOT_SUPPORTED},
      {u"\\new.bin", GENERIC_READ, CREATE_NEW, ERROR_NOT_SUPPORTED},
      {u"\\new.bin", GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
  };
  std::size_t handles = host::OpenHandleCount();
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(::Open(c.name, c.access, c.creation), INVALID_HANDLE_VALUE) << host::Utf8(c.name);
    EXPECT_EQ(GetLastError(), c.error) << host::Utf8(c.name);
  }
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(host::OpenHandleCount(), handles);
  EXPECT_FALSE(fs::exists(Fs() / "new.bin"));
  std::ifstream again(module / "module.toml");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), std::istreambuf_iterator<char>()),
            toml_before);
  std::ifstream image(Fs() / "USB HD" / "IMAGES" / "nk.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), std::istreambuf_iterator<char>()),
            content_);
}

TEST_F(FilesTest, FileCallsRefuseOtherHandlesAndBadArguments) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  DWORD read = 7;
  char buffer[4];
  FILETIME t;
  EXPECT_FALSE(ReadFile(mutex, buffer, 4, &read, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(mutex, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(GetFileTime(mutex, &t, nullptr, nullptr));
  EXPECT_FALSE(GetFileTime(INVALID_HANDLE_VALUE, &t, nullptr, nullptr));
  CloseHandle(mutex);

  HANDLE file = ::Open(u"\\USB HD\\IMAGES\\nk.bin");
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  int overlapped = 0;
  EXPECT_FALSE(ReadFile(file, buffer, 4, &read, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReadFile(file, buffer, 4, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Nothing was consumed by the refused reads.
  ASSERT_TRUE(ReadFile(file, buffer, 4, &read, nullptr));
  EXPECT_EQ(std::string(buffer, 4), content_.substr(0, 4));
  CloseHandle(file);
}

TEST(FileTimeToSystemTime, ConvertsTheWholeCalendar) {
  struct Case {
    std::uint64_t ticks;
    SYSTEMTIME expected;  // year, month, day of week, day, hour, minute, second, ms
  };
  const Case cases[] = {
      {0, {1601, 1, 1, 1, 0, 0, 0, 0}},                            // the epoch, a Monday
      {0x1C99EB7A8810000, {2009, 3, 6, 7, 0, 0, 0, 0}},            // Saturday
      {0x1C87ACF7DD37C50, {2008, 2, 5, 29, 12, 34, 56, 789}},      // a leap day
      {0x1BF8247EBCC8000, {2000, 2, 2, 29, 0, 0, 0, 0}},           // leap century
      {0x14F6598C43F8000, {1900, 3, 4, 1, 0, 0, 0, 0}},            // 1900 had no 29th
      {0x19DB1DED53E8000, {1970, 1, 4, 1, 0, 0, 0, 0}},            // Thursday
      {0x14F6598C43F8000 - 1, {1900, 2, 3, 28, 23, 59, 59, 999}},  // 100 ns before
      {0x24C85A5ED127A980, {9999, 12, 5, 31, 23, 59, 59, 0}},
      {0x7FFF35F4F06C58F0, {30827, 12, 5, 31, 23, 59, 59, 999}},  // the last day
  };
  for (const Case& c : cases) {
    FILETIME ft = {static_cast<DWORD>(c.ticks), static_cast<DWORD>(c.ticks >> 32)};
    SYSTEMTIME st = {};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << std::hex << c.ticks;
    const SYSTEMTIME& e = c.expected;
    EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute,
                                st.wSecond, st.wMilliseconds}),
              std::vector<int>({e.wYear, e.wMonth, e.wDayOfWeek, e.wDay, e.wHour, e.wMinute,
                                e.wSecond, e.wMilliseconds}))
        << std::hex << c.ticks;
  }
  // Past the last year a SYSTEMTIME holds.
  for (std::uint64_t ticks : {0x7FFF35F4F06C8000ull, 0x7FFFFFFFFFFFFFFFull, ~0ull}) {
    FILETIME ft = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME st = {};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st)) << std::hex << ticks;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
}

}  // namespace
