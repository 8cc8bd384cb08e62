// imbrel-module create with the content a real module has: the options, what info shows, and
// the structures in the flash image's bytes, read here with an independent reader.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <cstring>
#include <fstream>

#include "module_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

constexpr std::uint32_t kSignature = 0x43454345;

std::uint32_t Word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t w;
  std::memcpy(&w, &bytes[at], 4);
  return w;
}

struct BootImageSeen {
  bool valid = false;
  std::uint32_t size = 0;
  std::uint64_t built = 0;
};

// A boot image as the format defines it: signature, ROM header offset, first and last address.
BootImageSeen ReadBootImage(const fs::path& module, std::uint32_t offset) {
  BootImageSeen seen;
  auto head = test::ReadImage(module, offset + 0x40, 12);
  if (Word(head, 0) != kSignature) return seen;
  std::uint32_t r = Word(head, 8);
  auto rom = test::ReadImage(module, offset + r, 84 + 32);
  seen.valid = Word(head, 4) - r == Word(rom, 8);
  seen.size = Word(rom, 12) - Word(rom, 8) + 4;
  seen.built = Word(rom, 84 + 4) | (std::uint64_t{Word(rom, 84 + 8)} << 32);
  return seen;
}

bool AllErased(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t b : bytes) {
    if (b != 0xFF) return false;
  }
  return true;
}

class ModuleContent : public ::testing::Test {
 protected:
  fs::path Dir() { return dir_ / "m"; }
  CommandResult Run(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  std::string Create(const std::string& options) {
    CommandResult r = Run("create " + Dir().string() + " --nor " + options);
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run("info " + Dir().string());
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  test::TempDir dir_;
};

void ExpectLines(const std::string& out, std::initializer_list<const char*> lines) {
  for (const char* line : lines)
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}

TEST_F(ModuleContent, OptionsLandInTheFlashAndTheModuleFiles) {
  std::string info = Create(
      "--bootloader-version 1.3-beta5 --bootloader-time 2009-01-02T03:04:05 "
      "--item0 0x11223344,0x55667788 --item5 0x80000,0x1400000,0x40000,1,2,3 "
      "--image-version 1.2.7-beta9 --image-size 0x60000 --image-time 2010-05-17T13:45:30 "
      "--fdf-time 2009-03-07T00:00:00 --mem-base 0x1500000 --mem-len 0x800000");
  ExpectLines(info,
              {
                  "bootloader  boot image at 0x0: 0x20000 bytes",
                  "built 2009-01-02 03:04:05",
                  "version record at 0x2C48: id 1, version 1.3-beta5",
                  "config blk  at 0x40000",
                  "OS image    boot image at 0x80000: 0x60000 bytes, built 2010-05-17 13:45:30",
                  "item 0      0x11223344 0x55667788",
                  "item 5      0x00080000 0x01400000 0x00040000 0x00000001",
                  "image ver   id 1, version 2.7-beta9",
                  "default.fdf created 2009-03-07 00:00:00",
                  "MemBase = 0x01500000, MemLen = 0x00800000",
              });

  // The bootloader: a boot image at 0 and a version record in the first 256 KB.
  BootImageSeen boot = ReadBootImage(Dir(), 0);
  EXPECT_TRUE(boot.valid);
  EXPECT_EQ(boot.size, 0x20000u);
  EXPECT_EQ(boot.built, 0x1C96C86C5664080u);  // 2009-01-02 03:04:05
  auto first = test::ReadImage(Dir(), 0, 0x40000);
  std::vector<std::size_t> records;
  for (std::size_t at = 0; at + 20 <= first.size(); at += 4) {
    if (Word(first, at) == 0x01234567 && Word(first, at + 16) == 0x89ABCDEF) records.push_back(at);
  }
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(Word(first, records[0] + 4), 1u);
  EXPECT_EQ(Word(first, records[0] + 8), 1u);
  EXPECT_EQ(Word(first, records[0] + 12), 3u | (5u << 16));
  EXPECT_TRUE(AllErased(test::ReadImage(Dir(), 0x20000, 0x20000)));

  // The configuration block: marker, settings, the erased word.
  auto block = test::ReadImage(Dir(), 0x40000, 0x40000);
  EXPECT_EQ(Word(block, 0), 0xCF014000u);
  std::size_t words = 1;
  while (Word(block, 4 * words) != 0xFFFFFFFF) ++words;
  EXPECT_GE(words, 4u);
  EXPECT_TRUE(AllErased(std::vector<std::uint8_t>(block.begin() + 4 * words, block.end())));

  // The OS image, its end, and the erased flash after it.
  BootImageSeen image = ReadBootImage(Dir(), 0x80000);
  EXPECT_TRUE(image.valid);
  EXPECT_EQ(image.size, 0x60000u);
  EXPECT_EQ(image.built, 0x1CAF5C736CA3900u);  // 2010-05-17 13:45:30
  EXPECT_FALSE(AllErased(test::ReadImage(Dir(), 0x80000 + 0x60000 - 4, 4)));
  EXPECT_TRUE(AllErased(test::ReadImage(Dir(), 0xE0000, 0x1F20000)));

  // The platform's words and the default registry as any TOML reader sees module.toml.
  toml::table config = toml::parse_file((Dir() / "module.toml").string());
  auto words_of = [&](const char* key) {
    std::vector<std::int64_t> out;
    if (const toml::array* a = config["platform"][key].as_array()) {
      for (const toml::node& n : *a) out.push_back(n.value_or<std::int64_t>(-1));
    }
    return out;
  };
  EXPECT_EQ(words_of("item0"), (std::vector<std::int64_t>{0x11223344, 0x55667788}));
  EXPECT_EQ(words_of("item5"), (std::vector<std::int64_t>{0x80000, 0x1400000, 0x40000, 1, 2, 3}));
  EXPECT_EQ(words_of("image_version"), (std::vector<std::int64_t>{1, 2, 7 | (9 << 16)}));
  auto fmd = config["registry"]["Drivers\\BuiltIn\\StrataFMD"];
  EXPECT_EQ(fmd["MemBase"].value<std::int64_t>(), 0x1500000);
  EXPECT_EQ(fmd["MemLen"].value<std::int64_t>(), 0x800000);

  struct stat st;
  ASSERT_EQ(stat((Dir() / "fs" / "windows" / "default.fdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1236384000);  // 2009-03-07 00:00:00 UTC
}

TEST_F(ModuleContent, BannerBootloaderAndTheOldConfigurationPlace) {
  std::string info = Create("--bootloader-banner \"1.4 Mar 7 2009\" --old-config-place");
  ExpectLines(info, {"banner at 0x", "1.4 for Kelvane Ostrala Built Mar 7 2009",
                     "config blk  at its old place 0x88000",
                     "OS image    boot image at 0xC8000: 0x100000 bytes",
                     "item 5      0x000C8000 0x01400000 0x00040000"});
  auto first = test::ReadImage(Dir(), 0, 0x40000);
  for (std::size_t at = 0; at < first.size(); at += 4) {
    ASSERT_NE(Word(first, at), 0x01234567u) << "a version record at " << at;
  }
  std::string window(first.begin() + 0x8000, first.begin() + 0x28000);
  const std::string banner =
      "Microsoft Windows CE Ethernet Bootloader 1.4 for Kelvane Ostrala Built Mar 7 2009";
  std::size_t at = window.find(banner);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(window[at + banner.size()], '\0');
  // The module entry holds the banner's date.
  EXPECT_EQ(ReadBootImage(Dir(), 0).built, 0x1C99EB7A8810000u);

  EXPECT_TRUE(AllErased(test::ReadImage(Dir(), 0x40000, 0x40000)));
  EXPECT_EQ(Word(test::ReadImage(Dir(), 0x88000, 4), 0), 0xCF014000u);
  EXPECT_TRUE(ReadBootImage(Dir(), 0xC8000).valid);
  EXPECT_EQ(ReadBootImage(Dir(), 0xC8000).size, 0x100000u);
}

TEST_F(ModuleContent, DefaultsFitTheFlashSize) {
  // 32 MB: the documented layout.
  std::string info = Create("");
  ExpectLines(info, {"version record at 0x2C48: id 1, version 1.3",
                     "OS image    boot image at 0x80000: 0x100000 bytes",
                     "item 5      0x00080000 0x01400000 0x00040000 0x00000000",
                     "MemBase = 0x01480000, MemLen = 0x00B80000", "image ver   id 1, version 5.3",
                     "default.fdf created 2009-03-07 00:00:00"});
  // 1 MB: the image shrinks to end where the registry area starts; MemBase follows it.
  fs::remove_all(Dir());
  info = Create("--cfi-size 0x13");
  ExpectLines(info, {"OS image    boot image at 0x80000: 0x20000 bytes",
                     "item 5      0x00080000 0x000A0000 0x00002000",
                     "MemBase = 0x000A4000, MemLen = 0x0005C000"});
}

TEST_F(ModuleContent, PartsLeftOutAreAbsent) {
  std::string info = Create(
      "--cfi-size 0x13 --no-bootloader --no-config-block --no-image --no-item0 --no-item5 "
      "--no-image-version --no-fdf --no-registry");
  ExpectLines(info, {"no boot image at 0x0 or 0x8000", "no version record and no banner",
                     "config blk  none", "OS image    none", "item 0      none (not answered)",
                     "item 5      none", "image ver   none", "default.fdf none",
                     "default reg none in module.toml"});
  EXPECT_TRUE(AllErased(test::ReadImage(Dir(), 0, 0x100000)));
  toml::table config = toml::parse_file((Dir() / "module.toml").string());
  EXPECT_FALSE(config["platform"]);
  EXPECT_FALSE(config["registry"]);

  // --blank is the same, and a part named after it comes back alone.
  fs::remove_all(Dir());
  info = Create("--cfi-size 0x13 --blank --item5 0x80000,0xC0000,0x8000,0,0,0");
  ExpectLines(info, {"item 5      0x00080000 0x000C0000", "item 0      none", "OS image    none"});
  EXPECT_TRUE(AllErased(test::ReadImage(Dir(), 0, 0x100000)));
}

TEST_F(ModuleContent, BadContentOptionsAreRefusedAndLeaveNothing) {
  struct Case {
    std::string options;
    std::string message;
  };
  const Case cases[] = {
      {"--item0 1", "item 0 '1' is not 2 words"},
      {"--item0 1,2,3", "item 0 '1,2,3' is not 2 words"},
      {"--item5 1,2,3,4,5,0x100000000", "not a number"},
      {"--image-version 1.2", "image version '1.2'"},
      {"--bootloader-version 1.3-rc1", "bootloader version '1.3-rc1'"},
      {"--bootloader-banner \"1.4 Foo 7 2009\"", "banner's date 'Foo 7 2009'"},
      {"--bootloader-banner 1.4", "is not like"},
      {"--bootloader-banner \"1.4 Mar 7 2009\" --bootloader-version 1.3", "excludes"},
      {"--bootloader-place 0x4000", "is not 0 or 0x8000"},
      {"--bootloader-size 0x50000", "overlaps the bootloader"},
      {"--fdf-time 2009-02-29T00:00:00", "is not a UTC time"},
      {"--image-time yesterday", "is not a UTC time"},
      {"--image-place 0x40000", "the OS image at 0x40000 overlaps the configuration block"},
      {"--image-size 0x3000000", "runs past the flash"},
      {"--item5 0x80000,0x1F00000,0x100000,0,0,0", "item 5's registry area"},
      {"--mem-len 0x2000000", "runs past the flash"},
      {"--mem-base 0x2000000", "is past the flash"},
      {"--no-image --image-size 0x1000", "excludes"},
      {"--cfi-size 0x12", "no room for the OS image at 0x80000"},
  };
  for (const Case& c : cases) {
    CommandResult r = Run("create " + Dir().string() + " --nor " + c.options);
    EXPECT_EQ(r.status, 2) << c.options;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.options << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
              r.err.find("Run with") == std::string::npos ? 1 : 2)
        << r.err;
    EXPECT_FALSE(fs::exists(Dir())) << c.options;
  }
  int entries = 0;
  for (auto& e : fs::directory_iterator(dir_.path())) entries += e.exists();
  EXPECT_EQ(entries, 0);
}

TEST(ImbrelDefaultModule, HasTheFactoryContent) {
  test::TempDir home;
  // The program's own run does not matter here (its input ends at once), only the module.
  CommandResult r =
      RunCommand("env -u IMBREL_MODULE XDG_DATA_HOME=" + home.path().string() + " " + IMBREL_TOOL);
  ASSERT_NE(r.err.find("made a new virtual module"), std::string::npos) << r.err;
  fs::path module = home / "imbrel/module";
  r = RunCommand(std::string(IMBREL_MODULE_TOOL) + " info " + module.string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ReadBootImage(module, 0).valid);
  EXPECT_TRUE(ReadBootImage(module, 0x80000).valid);
  EXPECT_EQ(Word(test::ReadImage(module, 0x40000, 4), 0), 0xCF014000u);
  EXPECT_TRUE(fs::exists(module / "fs" / "windows" / "default.fdf"));
  ExpectLines(r.out, {"item 5      0x00080000 0x01400000 0x00040000",
                      "Drivers\\BuiltIn\\StrataFMD: ", "MemBase = 0x01480000"});
}

}  // namespace
