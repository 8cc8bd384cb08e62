// Bad input at the host's edges: a broken module directory is refused with one line on
// standard error before anything is written; a path or an image file the program cannot use
// ends in the program's own error box. Either way the flash file keeps every byte.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bin_writer.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "module_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

const char kNkBin[] = "'\\USB HD\\IMAGES\\nk.bin'";

std::size_t Lines(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += c == '\n';
  return count;
}

class BadInput : public ::testing::Test {
 protected:
  fs::path Dir() { return dir_ / "m"; }

  void Create(const std::string& options = "--nor --cfi-size 0x16") {
    CommandResult r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " create '" + Dir().string() +
                                 "' " + options + " >/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
  }

  CommandResult Run(const std::string& args, const std::string& prefix = "") {
    return RunCommand(prefix + std::string(IMBREL_TOOL) + " --module '" + Dir().string() +
                      "' --ui console " + args);
  }

  // A valid bootloader image for flash offset 0 whose bytes are all 0x5A: if any of it lands,
  // the flash shows it.
  static std::vector<std::uint8_t> Intruder() {
    const std::uint32_t start = 0xBCA00000;
    return test::MakeBin({start, 0x8000, {{start, std::vector<std::uint8_t>(0x8000, 0x5A)}}});
  }

  test::TempDir dir_;
};

// The host refuses the module: exit status 2, exactly one line on standard error that names
// the file and the problem, and the flash file as it was.
struct BrokenModule {
  const char* name;
  std::function<void(const fs::path& module)> breakage;
  const char* file;     // the file the line names
  const char* problem;  // words of the problem
};

void PrintTo(const BrokenModule& c, std::ostream* os) { *os << c.name; }

class BrokenModuleIsRefused : public BadInput,
                              public ::testing::WithParamInterface<BrokenModule> {};

TEST_P(BrokenModuleIsRefused, WithOneLineBeforeAnythingIsWritten) {
  Create();
  // A run that opened the module before leaves ram/ with the live registry.
  ASSERT_EQ(Run("/fu").status, 0);
  GetParam().breakage(Dir());
  std::string flash = test::ReadFile(Dir() / "nor.img");
  std::string kept = test::ReadFile(Dir() / "registry.toml");

  for (const char* command : {kNkBin, "", "/fu"}) {
    CommandResult r =
        Run(std::string(*command == '\'' ? "/u " : "") + command, "printf 'BSP Version\\n' | ");
    EXPECT_EQ(r.status, 2) << command << "\n" << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << command << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("imbrel: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(GetParam().file), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(GetParam().problem), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  EXPECT_TRUE(test::ReadFile(Dir() / "nor.img") == flash) << "nor.img changed";
  EXPECT_EQ(test::ReadFile(Dir() / "registry.toml"), kept);
}

void Put(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

// Erases item 5's registry area of the 8 MB module straight in its flash file.
void EraseRegistryArea(const fs::path& m) {
  std::fstream image(m / "nor.img", std::ios::in | std::ios::out | std::ios::binary);
  image.seekp(0x500000);
  const std::string erased(0x80000, '\xFF');
  image.write(erased.data(), static_cast<std::streamsize>(erased.size()));
}

void Resize(const fs::path& file, std::int64_t by) {
  fs::resize_file(file,
                  static_cast<std::uintmax_t>(static_cast<std::int64_t>(fs::file_size(file)) + by));
}

INSTANTIATE_TEST_SUITE_P(
    Host, BrokenModuleIsRefused,
    ::testing::Values(
        BrokenModule{"ModuleTomlWithoutAClosingBracket",
                     [](const fs::path& m) { Put(m / "module.toml", "[cpu\npart_number = 17\n"); },
                     "module.toml", "line 1"},
        BrokenModule{"ModuleTomlMissing", [](const fs::path& m) { fs::remove(m / "module.toml"); },
                     "module.toml", "missing"},
        BrokenModule{"ModuleTomlEmpty", [](const fs::path& m) { Put(m / "module.toml", ""); },
                     "module.toml", "[cpu]"},
        BrokenModule{"ModuleTomlOfBinaryBytes",
                     [](const fs::path& m) {
                       Put(m / "module.toml", std::string("\xFF\xFE\x00\x01[cpu]\n", 10));
                     },
                     "module.toml", "line"},
        BrokenModule{"ModuleTomlIsAFolder",
                     [](const fs::path& m) {
                       fs::remove(m / "module.toml");
                       fs::create_directory(m / "module.toml");
                     },
                     "module.toml", "not a file"},
        BrokenModule{"CfiSizeAsText",
                     [](const fs::path& m) {
                       std::string text = test::ReadFile(m / "module.toml");
                       std::size_t at = text.find("cfi_size = ");
                       text.replace(at, text.find('\n', at) - at, "cfi_size = \"big\"");
                       Put(m / "module.toml", text);
                     },
                     "module.toml", "cfi_size"},
        BrokenModule{"NorImgOneByteShort", [](const fs::path& m) { Resize(m / "nor.img", -1); },
                     "nor.img", "bytes"},
        BrokenModule{"NorImgOneBlockLong",
                     [](const fs::path& m) { Resize(m / "nor.img", 0x40000); }, "nor.img", "bytes"},
        BrokenModule{"NorImgEmpty", [](const fs::path& m) { fs::resize_file(m / "nor.img", 0); },
                     "nor.img", "is 0 bytes"},
        BrokenModule{"NorImgMissing", [](const fs::path& m) { fs::remove(m / "nor.img"); },
                     "nor.img", "cannot open"},
        BrokenModule{"FaultsTomlMalformed",
                     [](const fs::path& m) { Put(m / "faults.toml", "[[nor]\nkind = 1\n"); },
                     "faults.toml", "line 1"},
        // A start with no copy in flash takes the registry file of an older module.
        BrokenModule{"OlderRegistryFileMalformed",
                     [](const fs::path& m) {
                       fs::remove_all(m / "ram");
                       EraseRegistryArea(m);
                       Put(m / "registry.toml", "['Drivers\\BuiltIn\nDll = \n");
                     },
                     "registry.toml", "line"},
        BrokenModule{"LiveRegistryMalformed",
                     [](const fs::path& m) { Put(m / "ram" / "registry.toml", "= 3\n"); },
                     "registry.toml", "line 1"},
        BrokenModule{"RamIsAFile",
                     [](const fs::path& m) {
                       fs::remove_all(m / "ram");
                       Put(m / "ram", "not a folder\n");
                     },
                     "ram", "not a folder"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BadInput, NandImgOfTheWrongSizeIsRefusedAndKeptAsItWas) {
  Create("--nand --chip 0xF1EC");
  Resize(Dir() / "nand.img", -2112);  // one page short
  std::string before = test::ReadFile(Dir() / "nand.img");
  CommandResult r = Run("/u '\\USB HD\\IMAGES\\eboot.bin'");
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(Lines(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("nand.img: is "), std::string::npos) << r.err;
  EXPECT_TRUE(test::ReadFile(Dir() / "nand.img") == before) << "nand.img changed";
}

// --usb names the folder the update reads from: one that is empty (an unset variable in a
// script), missing or a file is refused with one line saying why, and the module's own
// USB HD is not used instead.
TEST_F(BadInput, UsbFolderThatIsEmptyMissingOrAFileIsRefusedAndNothingIsWritten) {
  Create();
  const std::string file = (dir_ / "file").string();
  std::ofstream(file) << "not a folder\n";
  const std::string before = test::ReadFile(Dir() / "nor.img");
  struct Case {
    std::string option;
    std::string words;
  };
  const Case cases[] = {
      {"--usb ''", "--usb \"\": an empty folder name"},
      {"--usb=", "--usb \"\": an empty folder name"},
      {"--usb '" + (dir_ / "none").string() + "'", "none: no such folder"},
      {"--usb '" + file + "'", "file: not a folder"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run(c.option + " /u " + kNkBin);
    EXPECT_EQ(r.status, 2) << c.option << "\n" << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << c.option << "\n" << r.err;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << c.option << "\n" << r.err;
  }
  EXPECT_TRUE(test::ReadFile(Dir() / "nor.img") == before) << "nor.img changed";
}

// A read-only module: the program must not start on a module whose RAM and flash it cannot
// keep. Root writes through any mode bits, so as root the test runs imbrel as "nobody".
TEST_F(BadInput, ReadOnlyModuleIsRefusedWithOneLine) {
  Create();
  std::string prefix;
  if (geteuid() == 0) {
    if (RunCommand("setpriv --reuid=65534 --regid=65534 --clear-groups true").status != 0) {
      GTEST_SKIP() << "running as root without setpriv: mode bits cannot make a read-only module";
    }
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    fs::permissions(dir_.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  for (const auto& [ram_made, flash_writable] :
       {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
    SCOPED_TRACE(std::string(ram_made ? "ram/ made by an earlier run" : "a module never opened") +
                 (flash_writable ? ", nor.img writable" : ""));
    if (ram_made) {
      ASSERT_EQ(Run("/fu").status, 0);
    } else {
      fs::remove_all(Dir() / "ram");
    }
    std::string flash = test::ReadFile(Dir() / "nor.img");
    for (const auto& entry : fs::recursive_directory_iterator(Dir())) {
      fs::permissions(entry.path(),
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
      fs::permissions(entry.path(), fs::perms::others_read | fs::perms::group_read,
                      fs::perm_options::add);
      if (entry.is_directory()) {
        fs::permissions(entry.path(), fs::perms::others_exec | fs::perms::group_exec,
                        fs::perm_options::add);
      }
    }
    fs::permissions(Dir(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                               fs::perms::others_exec);
    if (flash_writable) {
      fs::permissions(Dir() / "nor.img", fs::perms::owner_write | fs::perms::others_write,
                      fs::perm_options::add);
    }
    CommandResult r = Run("/u " + std::string(kNkBin), prefix);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("imbrel: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(Dir().string()), std::string::npos) << r.err;
    EXPECT_TRUE(test::ReadFile(Dir() / "nor.img") == flash) << "nor.img changed";
    fs::permissions(Dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    for (const auto& entry : fs::recursive_directory_iterator(Dir())) {
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    }
  }
}

// A path the program may not follow ends in its own error box, and the flash is as it was.
struct ForbiddenPath {
  const char* name;
  std::function<void(const fs::path& module, const fs::path& outside)> setup;
  const char* ce_path;
};

void PrintTo(const ForbiddenPath& c, std::ostream* os) { *os << c.name; }

class PathOutsideFs : public BadInput, public ::testing::WithParamInterface<ForbiddenPath> {};

TEST_P(PathOutsideFs, IsNotOpened) {
  Create();
  // A valid image outside fs/: the test can tell whether the program read it.
  fs::path outside = dir_ / "outside";
  test::WriteFile(outside / "intruder.bin", Intruder());
  GetParam().setup(Dir(), outside);
  std::string flash = test::ReadFile(Dir() / "nor.img");
  std::string ce_path = GetParam().ce_path;
  CommandResult r = Run("/u '" + ce_path + "'");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("[ERROR] Cannot Open Image File " + ce_path), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Image: "), std::string::npos) << r.err;
  EXPECT_TRUE(test::ReadFile(Dir() / "nor.img") == flash) << "nor.img changed";
}

INSTANTIATE_TEST_SUITE_P(
    Host, PathOutsideFs,
    ::testing::Values(
        ForbiddenPath{"DotDotToEtcPasswd", [](const fs::path&, const fs::path&) {},
                      "\\..\\..\\etc\\passwd"},
        ForbiddenPath{"DotDotToTheImageBesideTheModule", [](const fs::path&, const fs::path&) {},
                      "\\..\\..\\outside\\intruder.bin"},
        ForbiddenPath{"DotDotInsideAFolder", [](const fs::path&, const fs::path&) {},
                      "\\USB HD\\..\\..\\..\\outside\\intruder.bin"},
        ForbiddenPath{"SlashesAsSeparators", [](const fs::path&, const fs::path&) {},
                      "\\USB HD\\IMAGES\\..\\..\\..\\outside\\intruder.bin"},
        ForbiddenPath{"LinkToAFileOutside",
                      [](const fs::path& m, const fs::path& outside) {
                        fs::create_symlink(outside / "intruder.bin",
                                           m / "fs" / "USB HD" / "IMAGES" / "link.bin");
                      },
                      "\\USB HD\\IMAGES\\link.bin"},
        ForbiddenPath{"RelativeLinkToAFileOutside",
                      [](const fs::path& m, const fs::path&) {
                        fs::create_symlink("../../../../outside/intruder.bin",
                                           m / "fs" / "USB HD" / "IMAGES" / "link.bin");
                      },
                      "\\USB HD\\IMAGES\\link.bin"},
        ForbiddenPath{"LinkToAFileOutsideNamedInAnotherCase",
                      [](const fs::path& m, const fs::path& outside) {
                        fs::create_symlink(outside / "intruder.bin",
                                           m / "fs" / "USB HD" / "IMAGES" / "link.bin");
                      },
                      "\\usb hd\\images\\LINK.BIN"},
        ForbiddenPath{"LinkToAFolderOutside",
                      [](const fs::path& m, const fs::path& outside) {
                        fs::create_directory_symlink(outside, m / "fs" / "stick");
                      },
                      "\\stick\\intruder.bin"},
        ForbiddenPath{"LinkToAFolderOutsideNamedInAnotherCase",
                      [](const fs::path& m, const fs::path& outside) {
                        fs::create_directory_symlink(outside, m / "fs" / "stick");
                      },
                      "\\STICK\\INTRUDER.BIN"},
        ForbiddenPath{"LinkToTheRootOfTheHost",
                      [](const fs::path& m, const fs::path&) {
                        fs::create_directory_symlink("/", m / "fs" / "host");
                      },
                      "\\host\\etc\\passwd"},
        ForbiddenPath{"FsMissing",
                      [](const fs::path& m, const fs::path&) { fs::remove_all(m / "fs"); },
                      "\\USB HD\\IMAGES\\nk.bin"},
        ForbiddenPath{"FsIsALinkToAMissingFolder",
                      [](const fs::path& m, const fs::path& outside) {
                        fs::remove_all(m / "fs");
                        fs::create_directory_symlink(outside / "gone", m / "fs");
                      },
                      "\\intruder.bin"},
        ForbiddenPath{"AFolderInsteadOfAFile", [](const fs::path&, const fs::path&) {},
                      "\\USB HD\\IMAGES"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BadInput, LinksThatStayInsideFsAreFollowed) {
  Create();
  test::WriteFile(Dir() / "fs" / "USB HD" / "IMAGES" / "intruder.bin", Intruder());
  fs::create_symlink("intruder.bin", Dir() / "fs" / "USB HD" / "IMAGES" / "link.bin");
  CommandResult r = Run("/u '\\USB HD\\IMAGES\\link.bin'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFile(Dir() / "nor.img").substr(0, 0x8000), std::string(0x8000, '\x5A'));
}

// A link inside fs/ that another program keeps pointing in and out of fs/: whatever the timing,
// an open through it never reaches the file outside.
class LinkChangedDuringTheOpen : public test::ModuleTest {};

TEST_F(LinkChangedDuringTheOpen, NeverOpensTheFileOutside) {
  Open();
  fs::path fs_dir = dir_ / "module" / "fs";
  fs::create_directories(fs_dir);
  std::ofstream(fs_dir / "inside.bin") << "inside";
  std::ofstream(dir_ / "outside.bin") << "outside";
  fs::create_symlink("inside.bin", fs_dir / "flip.bin");
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (bool out = true; !stop; out = !out) {
      fs::path next = fs_dir / ".flip-next";
      fs::remove(next);
      fs::create_symlink(out ? (dir_ / "outside.bin") : fs::path("inside.bin"), next);
      fs::rename(next, fs_dir / "flip.bin");  // replaces the link in one step
    }
  });
  int opened = 0, outside = 0;
  for (int i = 0; i < 4000; ++i) {
    HANDLE file = CreateFileW(u"\\flip.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    ++opened;
    char text[16] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    outside += std::string(text, got) != "inside";
  }
  stop = true;
  flipper.join();
  EXPECT_EQ(outside, 0) << "of " << opened << " opens";
  EXPECT_GT(opened, 0);
}

// The image file changes under the running update. The worker must report the file's fault,
// never a success, whatever it had already written.
struct ChangingImage {
  const char* name;
  std::function<void(const fs::path& file, std::size_t record_bytes)> change;
  const char* expected;  // the error box, or "" for a clean update from the old contents
};

void PrintTo(const ChangingImage& c, std::ostream* os) { *os << c.name; }

class ImageChangingWhileRead : public BadInput,
                               public ::testing::WithParamInterface<ChangingImage> {};

TEST_P(ImageChangingWhileRead, IsReportedAndNeverASuccess) {
  Create();
  // 64 KB in four records of 16 KB, bound for flash offset 0: its erase (a parameter block a
  // second at the module's pace) leaves time to change the file before the records are read.
  const std::uint32_t start = 0xBCA00000;
  test::BinLayout layout{start, 0x10000, {}};
  std::vector<std::uint8_t> data = test::Pattern(0x10000, 0x21);
  for (std::uint32_t at = 0; at < data.size(); at += 0x4000) {
    layout.records.push_back(
        {start + at, std::vector<std::uint8_t>(data.begin() + at, data.begin() + at + 0x4000)});
  }
  fs::path file = Dir() / "fs" / "USB HD" / "IMAGES" / "moving.bin";
  test::WriteFile(file, test::MakeBin(layout));
  fs::path log = dir_ / "update.log";
  auto update = std::async(std::launch::async, [&] {
    return Run("--pace real /u '\\USB HD\\IMAGES\\moving.bin' 2>'" + log.string() + "'");
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (test::ReadFile(log).find("Image: 00000000") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(test::ReadFile(log).find("Image: 00000000"), std::string::npos) << test::ReadFile(log);
  GetParam().change(file, 12 + 0x4000);
  CommandResult r = update.get();
  std::string err = test::ReadFile(log);
  std::string expected = GetParam().expected;
  EXPECT_EQ(r.status, expected.empty() ? 0 : 1) << err;  // 1: an error box was shown
  if (expected.empty()) {
    EXPECT_EQ(err.find("ERROR"), std::string::npos) << err;
    EXPECT_TRUE(test::ReadFile(Dir() / "nor.img").substr(0, data.size()) ==
                std::string(data.begin(), data.end()));
  } else {
    EXPECT_NE(err.find("[ERROR] " + expected), std::string::npos) << err;
  }
}

// Every record's data bytes after the first changed in place: their sums no longer match.
void RewriteInPlace(const fs::path& file, std::size_t record_bytes) {
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  for (std::size_t record = 0; record < 4; ++record) {
    std::size_t at = 15 + record * record_bytes + 12;
    std::string bytes(record_bytes - 12, '\0');
    io.seekg(static_cast<std::streamoff>(at));
    io.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x80);  // sum +-128
    io.seekp(static_cast<std::streamoff>(at));
    io.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Host, ImageChangingWhileRead,
    ::testing::Values(ChangingImage{"TruncatedToItsHeader",
                                    [](const fs::path& f, std::size_t) { fs::resize_file(f, 15); },
                                    "Unexpected end of file!"},
                      ChangingImage{"TruncatedInsideTheSecondRecord",
                                    [](const fs::path& f, std::size_t bytes) {
                                      fs::resize_file(f, 15 + bytes + 100);
                                    },
                                    "Unexpected end of file!"},
                      ChangingImage{"TruncatedToNothing",
                                    [](const fs::path& f, std::size_t) { fs::resize_file(f, 0); },
                                    "Unexpected end of file!"},
                      ChangingImage{
                          "RewrittenInPlace", RewriteInPlace,
                          "BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating "
                          "with another file"},
                      ChangingImage{"ReplacedByRenameKeepsTheOpenedFile",
                                    [](const fs::path& f, std::size_t) {
                                      fs::path other = f.parent_path() / "other.bin";
                                      test::WriteFile(other, {'B', '0', '0', '0', 'F', 'F', '\n'});
                                      fs::rename(other, f);
                                    },
                                    ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
