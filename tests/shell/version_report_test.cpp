// The version report and boot-image recognition against flash contents written by the tests.

#include "shell/version_report.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "flash_layout.h"
#include "host/oal/platform_layer.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "platform/platform_codes.h"

namespace {

using host::ui::UiEvent;

class VersionReportTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    test::ModuleSetup setup;
    setup.cfi_size = 0x13;  // 1 MB
    Open(setup);
    // The driver is selected once per process; start it again on this test's module.
    SelectFlashDriver();
    ASSERT_EQ(NorInitialize(), 1);
    ui_ = &host::ui::UseScriptBackend();
  }
  std::filesystem::path Dir() { return dir_ / "module"; }

  // The running image: version words from the platform layer, build time from default.fdf.
  void RunningImage(std::uint32_t id, std::uint32_t major, std::uint32_t minor_build,
                    std::uint64_t built) {
    host::SetControlCodeHandler(kIoctlImageVersion, [=](LPVOID, DWORD, LPVOID out, DWORD, LPDWORD) {
      DWORD words[3] = {id, major, minor_build};
      std::memcpy(out, words, sizeof words);
      return TRUE;
    });
    std::filesystem::create_directories(Dir() / "fs" / "windows");
    std::filesystem::path fdf = Dir() / "fs" / "windows" / "default.fdf";
    std::ofstream(fdf) << "fdf";
    // A file's CE creation time is its host modification time.
    std::int64_t unix_100ns = static_cast<std::int64_t>(built) - 116444736000000000LL;
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = unix_100ns / 10000000;
    times[0].tv_usec = times[1].tv_usec = 0;
    utimes(fdf.c_str(), times);
  }

  std::string Report() {
    ShowVersionReport(nullptr);
    auto boxes = ui_->Events(UiEvent::Kind::kMessageBox);
    EXPECT_EQ(boxes.size(), 1u);
    if (boxes.empty()) return "";
    EXPECT_EQ(host::Utf8(boxes[0].caption), "BSP Version");
    EXPECT_EQ(boxes[0].flags, 0u);
    return host::Utf8(boxes[0].text);
  }

  host::ui::ScriptBackend* ui_ = nullptr;
};

TEST_F(VersionReportTest, RecordWithBetaBuildAndRunningImage) {
  test::WriteBootImage(
      Dir(), {.offset = 0, .size = 0x20000, .built = test::FileTimeOf(2010, 5, 17, 13, 45, 30)});
  test::WriteVersionRecord(Dir(), 0x2000, 1, 1, 0x00050003);
  RunningImage(1, 2, 7, test::FileTimeOf(2009, 3, 7));
  EXPECT_EQ(Report(),
            "Bootloader (in Flash)\r\nID:\tOSTRALA\r\nVer:\t1.3 BETA, Build 5\r\n"
            "Built:\t17 May 2010 13:45:30 (GMT)"
            "\r\n\r\nImage (current running)\r\nID:\tOSTRALA\r\nVer:\t2.7 \r\n"
            "Built:\t07 Mar 2009 00:00:00 (GMT)");
}

TEST_F(VersionReportTest, ReleaseRecordHasNoBetaText) {
  test::WriteBootImage(Dir(), {.offset = 0x8000, .size = 0x20000});
  test::WriteVersionRecord(Dir(), 0xA000, 1, 1, 3);
  VersionInfo info = {};
  WCHAR built[kBuildTimeChars];
  ReadBootloaderVersion(&info, built);
  EXPECT_EQ(info.Major, 1);
  EXPECT_EQ(info.MinorBuild, 3u);
  EXPECT_EQ(host::Utf8(built), "17 May 2010 13:45:30 (GMT)");  // the header at 0x8000
  std::string text = Report();
  EXPECT_NE(text.find("Ver:\t1.3 \r\n"), std::string::npos) << text;
}

TEST_F(VersionReportTest, RecordScanSkipsIncompleteStartsAndCrossesPieces) {
  test::WriteVersionRecord(Dir(), 0x100, 1, 9, 9, /*complete=*/false);
  test::WriteVersionRecord(Dir(), 0x1FFC, 7, 1, 2);  // start word is the last of a piece
  test::WriteVersionRecord(Dir(), 0x3000, 1, 5, 5);  // a later record loses
  VersionInfo info = {};
  ASSERT_EQ(FindVersionRecord(&info), 1);
  EXPECT_EQ(info.Id, 7u);
  EXPECT_EQ(info.Major, 1);
  EXPECT_EQ(info.MinorBuild, 2u);
  // Without a ROM header at 0 or 0x8000 the build time is unknown.
  WCHAR built[kBuildTimeChars];
  ReadBootloaderVersion(&info, built);
  EXPECT_EQ(host::Utf8(built), "Unknown Date");
}

TEST_F(VersionReportTest, RecordBeyond256KBIsNotFound) {
  test::WriteVersionRecord(Dir(), 0x40000, 1, 1, 1);
  VersionInfo info = {};
  EXPECT_EQ(FindVersionRecord(&info), 0);
  EXPECT_EQ(info.Id, 0u);
}

TEST_F(VersionReportTest, BannerGivesVersionAndBuildDate) {
  test::WriteText(Dir(), 0x9003,
                  "xxMicrosoft Windows CE Ethernet Bootloader 1.4 for Kelvane Ostrala Built Mar 7 "
                  "2009\n");
  RunningImage(5, 3, 1, test::FileTimeOf(2011, 1, 2, 3, 4, 5));
  EXPECT_EQ(Report(),
            "Bootloader (in Flash)\r\nID:\tOSTRALA\r\nVer:\t1.4 \r\n"
            "Built:\t07 Mar 2009 00:00:00 (GMT)"
            "\r\n\r\nImage (current running)\r\nID:\tUNKNOWN\r\nVer:\t3.1 \r\n"
            "Built:\t02 Jan 2011 03:04:05 (GMT)");
}

TEST_F(VersionReportTest, BannerEdgeCases) {
  struct Case {
    const char* text;
    const char* version;
    const char* built;
  };
  const Case cases[] = {
      // A month in lower case is no month.
      {"Microsoft Windows CE Ethernet Bootloader 1.4 for Kelvane Ostrala Built dec 7 2009", "1.4 ",
       "Unknown Date"},
      // A restart of the match inside the banner ("MMicrosoft").
      {"MMicrosoft Windows CE Ethernet Bootloader 2.0 for Kelvane Ostrala Built Dec 31 2008",
       "2.0 ", "31 Dec 2008 00:00:00 (GMT)"},
      // A month token far too long for its buffer.
      {"Microsoft Windows CE Ethernet Bootloader 1.1 for Kelvane Ostrala Built "
       "Maaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 7 2009",
       "1.1 ", "Unknown Date"},
      // Text that stops after the version.
      {"Microsoft Windows CE Ethernet Bootloader 3.2", "3.2 ", "Unknown Date"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    test::WriteText(Dir(), 0x8000, std::string(0x200, '\xFF'));
    test::WriteText(Dir(), 0x8000, std::string(c.text) + '\0');
    VersionInfo info = {};
    WCHAR built[kBuildTimeChars];
    ReadBootloaderVersion(&info, built);
    EXPECT_EQ(info.Id, 1u);
    WCHAR version[64];
    wsprintfW(version, u"%d.%d ", info.Major, static_cast<int>(info.MinorBuild & 0xFFFF));
    EXPECT_EQ(host::Utf8(version), c.version);
    EXPECT_EQ(host::Utf8(built), c.built);
  }
}

TEST_F(VersionReportTest, BannerAtTheVeryEndOfTheWindowHasEmptyText) {
  std::string banner = "Microsoft Windows CE Ethernet Bootloader ";
  test::WriteText(Dir(), 0x28000 - banner.size(), banner);
  char* text = FindBootloaderBanner();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  free(text);
  test::WriteText(Dir(), 0x28000 - banner.size(), std::string(banner.size(), '\xFF'));
  test::WriteText(Dir(), 0x28000 - banner.size() + 1, banner);  // runs past the window
  EXPECT_EQ(FindBootloaderBanner(), nullptr);
}

TEST_F(VersionReportTest, NothingFoundShowsUnknownAndTheImageStill) {
  RunningImage(1, 4, 0x00020001, test::FileTimeOf(2009, 3, 7));
  EXPECT_EQ(Report(),
            "Bootloader (in Flash)\r\nID:\tUNKNOWN\r\nVer:\t0.0 \r\nBuilt:\tUnknown Date"
            "\r\n\r\nImage (current running)\r\nID:\tOSTRALA\r\nVer:\t4.1 BETA, Build 2\r\n"
            "Built:\t07 Mar 2009 00:00:00 (GMT)");
}

TEST_F(VersionReportTest, UnansweredImageVersionShowsNoBorrowedWords) {
  test::WriteBootImage(Dir(), {.offset = 0, .size = 0x20000});
  test::WriteVersionRecord(Dir(), 0x2000, 1, 1, 3);
  std::string text = Report();
  EXPECT_NE(text.find("Image (current running)\r\nID:\tUNKNOWN\r\nVer:\t0.0 \r\n"
                      "Built:\tUnknown Date"),
            std::string::npos)
      << text;
}

TEST_F(VersionReportTest, ImageSizeFromRomHeaderCompHeaderOrNothing) {
  test::WriteBootImage(Dir(), {.offset = 0x80000, .size = 0x12344, .first = 0x80001000});
  test::PokeImage(Dir(), 0xC8000, test::Words({0x504D4F43, 0, 0x54321, 0, 0}));
  test::WriteBootImage(Dir(), {.offset = 0x8000, .size = 0x1000, .consistent = false});
  EXPECT_EQ(ImageSizeAt(0x80000), 0x12344u);
  EXPECT_EQ(ImageSizeAt(0xC8000), 0x54321u);
  EXPECT_EQ(ImageSizeAt(0), 0u);
  EXPECT_EQ(ImageSizeAt(0x8000), 0u);   // signature but inconsistent addresses
  EXPECT_EQ(ImageSizeAt(0xFFFF0), 0u);  // the header would lie past the flash
  test::PokeImage(Dir(), 0x40040, test::Words({0x43454345, 0x1000, 0xFFFFFF00}));
  EXPECT_EQ(ImageSizeAt(0x40000), 0u);  // R points outside the flash: nothing read
}

TEST_F(VersionReportTest, MonthNamesAreWholeAndCaseSensitive) {
  const std::pair<const char*, int> cases[] = {{"Jan", 1},   {"Mar", 3}, {"Dec", 12}, {"dec", 0},
                                               {"March", 0}, {"Ma", 0},  {"", 0}};
  for (auto [name, month] : cases) EXPECT_EQ(MonthFromName(name), month) << name;
}

// Another process holds the flash mutex until the report has said that it waits for it; only
// then is it let go. A report that did not wait would show its box first.
TEST_F(VersionReportTest, ReportWaitsForAnotherProcessHoldingTheFlash) {
  // The report's standard error goes to a file, where it says that it waits.
  const std::filesystem::path said = dir_ / "report-stderr.txt";
  const int said_fd = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(said_fd, 0);
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  std::filesystem::path ram = Dir() / "ram";
  pid_t child = fork();
  if (child == 0) {
    host::SetKernelObjectDirectory(ram);
    HANDLE m = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
    WaitForSingleObject(m, INFINITE);
    char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(2);
    close(release[1]);
    while (read(release[0], &c, 1) > 0) {
    }
    _exit(0);  // dies holding it
  }
  close(release[0]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);

  std::fflush(stderr);
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(said_fd, STDERR_FILENO);
  std::atomic<bool> reported{false};
  bool waiting_said = false, reported_first = false;
  std::thread watch([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && !reported) {
      if (test::ReadFile(said).find("waiting for the module's flash") != std::string::npos) {
        waiting_said = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reported_first = reported;
    close(release[1]);  // the child reads the end of the pipe and lets go
  });
  Report();
  reported = true;
  watch.join();
  std::fflush(stderr);
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  for (int fd : {said_fd, ready[0], ready[1]}) close(fd);
  waitpid(child, nullptr, 0);

  EXPECT_FALSE(reported_first) << "the report ran while another process held the flash";
  EXPECT_TRUE(waiting_said) << test::ReadFile(said);
}

}  // namespace
