// Two imbrel processes on one module: the flash mutex "OnModuleFlash" makes a version report
// wait for a running update, and two updates run one after the other, never interleaved.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bin_writer.h"
#include "host/tool_support.h"
#include "module_fixture.h"
#include "test_support.h"

namespace {

using test::CommandResult;
using test::RunCommand;

// The sample image's data, record by record (the sample bootloader is one record per 16 KB).
std::vector<std::uint8_t> BinData(const std::vector<std::uint8_t>& bin, std::uint32_t* start) {
  auto word = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bin[at] | bin[at + 1] << 8 | bin[at + 2] << 16 |
                                      static_cast<std::uint32_t>(bin[at + 3]) << 24);
  };
  *start = word(7);
  std::vector<std::uint8_t> data;
  for (std::size_t at = 15; at + 12 <= bin.size();) {
    std::uint32_t address = word(at), length = word(at + 4), sum = word(at + 8);
    if (address == 0 && sum == 0) break;
    EXPECT_EQ(address - *start, data.size()) << "the sample's records follow each other";
    data.insert(data.end(), bin.begin() + at + 12, bin.begin() + at + 12 + length);
    at += 12 + length;
  }
  return data;
}

class Concurrency : public ::testing::Test {
 protected:
  std::string Dir() { return (dir_ / "m").string(); }

  void Create(const std::string& options) {
    CommandResult r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " create " + Dir() + " " +
                                 options + " >/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // Starts imbrel in the background. Its standard error joins `shared.log`, which every
  // process appends to: the order of lines there is the order in which they were written.
  std::future<CommandResult> Start(const std::string& name, const std::string& args,
                                   const std::string& input = "") {
    std::ofstream(dir_ / (name + ".in")) << input;
    // --verbose: each record's "Section:" line, which tells the order the writes ran in.
    std::string run = std::string(IMBREL_TOOL) + " --module '" + Dir() +
                      "' --ui console --verbose " + args + " < '" +
                      (dir_ / (name + ".in")).string() + "' 2>> '" + Shared().string() + "'";
    return std::async(std::launch::async, [run] { return RunCommand(run); });
  }

  std::filesystem::path Shared() { return dir_ / "shared.log"; }
  std::string UpdateWithReportDuringIt(const std::string& image);

  // Waits until the shared log shows `text`; false after a minute.
  bool WaitFor(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (test::ReadFile(Shared()).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::vector<std::uint8_t> Flash(std::uint64_t offset, std::size_t count) {
    return test::ReadImage(dir_ / "m", offset, count);
  }

  test::TempDir dir_;
};

// The position in `log` of the last line that shows an update's work (its sections and bars).
std::size_t LastWork(const std::string& log) {
  std::size_t section = log.rfind("Section: "), bar = log.rfind("] bar ");
  if (section == std::string::npos) return bar;
  return bar == std::string::npos ? section : std::max(section, bar);
}

constexpr char kReportOfNewBootloader[] =
    "Bootloader (in Flash)\nID:\tOSTRALA\nVer:\t1.4 \nBuilt:\t17 May 2010 13:45:30 (GMT)";

// Starts a real-pace update of `image` (in fs/USB HD/IMAGES) and, once it has begun, a version
// report; both must run cleanly, and the report, made after the update's last progress line,
// must name the new bootloader. Returns the shared log.
std::string Concurrency::UpdateWithReportDuringIt(const std::string& image) {
  std::future<CommandResult> update =
      Start("update", "--pace real /u '\\USB HD\\IMAGES\\" + image + "'");
  if (!WaitFor("Image: 00000000")) {
    ADD_FAILURE() << test::ReadFile(Shared());
    return "";
  }
  // The update holds the flash mutex from before that line until its erase and copy are done.
  CommandResult report = Start("report", "", "BSP Version\n").get();
  CommandResult updated = update.get();
  std::string log = test::ReadFile(Shared());
  EXPECT_EQ(updated.status, 0) << log;
  EXPECT_EQ(report.status, 0) << log;
  EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
  EXPECT_NE(report.out.find(kReportOfNewBootloader), std::string::npos) << report.out;
  std::size_t shown = log.find("[BSP Version] (on standard output)");
  EXPECT_NE(shown, std::string::npos) << log;
  EXPECT_GT(shown, LastWork(log)) << log;
  return log;
}

TEST_F(Concurrency, VersionReportWaitsForTheUpdateAndNamesTheNewBootloaderOnNor) {
  Create("--nor");
  // The factory bootloader is 1.3; the sample eboot.bin carries 1.4, built 2010-05-17.
  std::string log = UpdateWithReportDuringIt("eboot.bin");
  EXPECT_EQ(log.find("Ver:\t1.3"), std::string::npos) << log;
}

TEST_F(Concurrency, VersionReportWaitsForTheUpdateAndNamesTheNewBootloaderOnNand) {
  Create("--nand --chip 0xF1EC");
  // On NAND the bootloader goes to flash last, from RAM: an image with the sample bootloader
  // and 12 MB more keeps the update busy long enough at the module's pace.
  std::uint32_t start = 0;
  std::string sample = test::ReadFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "eboot.bin");
  std::vector<std::uint8_t> boot =
      BinData(std::vector<std::uint8_t>(sample.begin(), sample.end()), &start);
  ASSERT_EQ(start, 0xBCA00000u);
  test::BinLayout layout{start, 0x1000000, {{start, boot}}};
  for (std::uint32_t at = 0x100000; at < 0xD00000; at += 0x100000) {
    layout.records.push_back(
        {start + at, test::Pattern(0x100000, static_cast<std::uint8_t>(at >> 20))});
  }
  test::WriteFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / "long.bin", test::MakeBin(layout));

  UpdateWithReportDuringIt("long.bin");
}

TEST_F(Concurrency, TwoUpdatesAtOnceRunOneAfterTheOtherAndOneImageEndsWhole) {
  Create("--nor");
  // Two bootloader-sized images for the same place, each a different pattern throughout; A
  // comes in records of 16 KB, B in records of 32 KB, so that the log tells their lines apart.
  const std::uint32_t start = 0xBCA00000;
  std::vector<std::uint8_t> a = test::Pattern(0x20000, 0x11), b = test::Pattern(0x20000, 0x5C);
  for (const auto& [name, data, piece] :
       {std::tuple{"a.bin", a, 0x4000u}, std::tuple{"b.bin", b, 0x8000u}}) {
    test::BinLayout layout{start, 0x20000, {}};
    for (std::uint32_t at = 0; at < data.size(); at += piece) {
      layout.records.push_back(
          {start + at, std::vector<std::uint8_t>(data.begin() + at, data.begin() + at + piece)});
    }
    test::WriteFile(dir_ / "m" / "fs" / "USB HD" / "IMAGES" / name, test::MakeBin(layout));
  }
  std::future<CommandResult> first = Start("a", "--pace real /u '\\USB HD\\IMAGES\\a.bin'");
  std::future<CommandResult> second = Start("b", "--pace real /u '\\USB HD\\IMAGES\\b.bin'");
  CommandResult ra = first.get(), rb = second.get();
  std::string log = test::ReadFile(Shared());
  EXPECT_EQ(ra.status, 0) << log;
  EXPECT_EQ(rb.status, 0) << log;
  EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;

  // The sections of each, in the order they were written: all of one, then all of the other.
  std::string order;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Section: ") == std::string::npos) continue;
    order += line.find("Len: 00004000") != std::string::npos ? 'A' : 'B';
  }
  ASSERT_TRUE(order == "AAAAAAAABBBB" || order == "BBBBAAAAAAAA") << order << "\n" << log;
  // The flash holds the image that ran last, every byte of it.
  std::vector<std::uint8_t> flash = Flash(0, 0x20000);
  EXPECT_TRUE(flash == (order.front() == 'A' ? b : a)) << "the flash holds neither image whole";
}

TEST_F(Concurrency, NoWaitGivesUpAtOnceWhileAnotherProcessHoldsTheFlash) {
  Create("--nor");
  // This process holds the flash, as an imbrel with a box open does.
  host::FlashSession holder(Dir());
  CommandResult r = RunCommand(std::string(IMBREL_TOOL) + " --module " + Dir() +
                               " --ui console --no-wait /u '\\USB HD\\IMAGES\\nk.bin' </dev/null");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("the module's flash is in use by another process; not waiting"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("Updating IMAGE"), std::string::npos) << r.err;
  // imbrel-module takes it after the subcommand as well as before.
  for (const char* args : {" --no-wait read ", " read --no-wait "}) {
    r = RunCommand(std::string(IMBREL_MODULE_TOOL) + args + Dir() + " 0 16 -o /dev/null");
    EXPECT_EQ(r.status, 2) << args << r.err;
  }
}

}  // namespace
