// The platform layer's configuration, image version and registry clear codes, reached through
// KernelIoControl as the program reaches them, and the module.toml line a set rewrites.

#include "host/oal/platform_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ce/kernel.h"
#include "host/module/module.h"
#include "host/system/registry.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class PlatformCodesTest : public ::testing::Test {
 protected:
  fs::path Dir() { return dir_ / "m"; }
  void Make(bool items = true, const std::string& faults = "") {
    host::CreateOptions options = host::CreateOptions::Blank();
    options.cfi_size = 0x12;
    if (items) {
      options.item0 = std::array<std::uint32_t, 2>{0x11223344, 0x55667788};
      options.item5 = true;
      options.item5_words = std::array<std::uint32_t, 6>{0x80000, 0x60000, 0x4000, 7, 8, 9};
      options.image_version = std::array<std::uint32_t, 3>{1, 2, 7 | (3 << 16)};
    }
    host::CreateModule(Dir(), options);
    if (!faults.empty()) std::ofstream(Dir() / "faults.toml") << faults;
  }
  void Start() {
    module_.reset();
    module_ = host::Module::Open(Dir());
  }

  // A configuration get as the program makes it: the record names the buffer, which is also
  // the call's output.
  BOOL Get(ULONG_PTR item, void* buffer, DWORD size, DWORD* returned) {
    host::ConfigRecord record = {item, reinterpret_cast<ULONG_PTR>(buffer), size};
    *returned = 0;
    return KernelIoControl(host::kCodeConfigGet, &record, sizeof record, buffer, size, returned);
  }
  BOOL Set(ULONG_PTR item, const void* buffer, DWORD size) {
    host::ConfigRecord record = {item, reinterpret_cast<ULONG_PTR>(buffer), size};
    DWORD returned = 0;
    return KernelIoControl(host::kCodeConfigSet, &record, sizeof record, const_cast<void*>(buffer),
                           size, &returned);
  }

  test::TempDir dir_;
  std::unique_ptr<host::Module> module_;
};

TEST_F(PlatformCodesTest, ConfigGetAnswersTheItemsTheModuleHas) {
  Make();
  Start();
  DWORD item5[6] = {};
  DWORD returned = 0;
  ASSERT_TRUE(Get(5, item5, sizeof item5, &returned));
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(std::vector<DWORD>(item5, item5 + 6),
            (std::vector<DWORD>{0x80000, 0x60000, 0x4000, 7, 8, 9}));
  DWORD item0[2] = {};
  ASSERT_TRUE(Get(0, item0, sizeof item0, &returned));
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(item0[0], 0x11223344u);
  EXPECT_EQ(item0[1], 0x55667788u);
}

TEST_F(PlatformCodesTest, ConfigGetLeavesUnansweredWhatItCannotGive) {
  Make();
  Start();
  struct Case {
    const char* what;
    ULONG_PTR item;
    DWORD size;
  };
  const Case cases[] = {
      {"an item no module has", 3, 24},
      {"item 5 into 8 bytes", 5, 8},
      {"item 0 into 4 bytes", 0, 4},
  };
  for (const Case& c : cases) {
    std::uint8_t buffer[32];
    std::memset(buffer, 0xCC, sizeof buffer);
    DWORD returned = 0;
    EXPECT_FALSE(Get(c.item, buffer, c.size, &returned)) << c.what;
    EXPECT_EQ(returned, 0u) << c.what;
    EXPECT_EQ(buffer[0], 0xCC) << c.what;
  }
  // A record cut short is refused.
  host::ConfigRecord record = {5, 0, 24};
  DWORD returned = 0;
  EXPECT_FALSE(
      KernelIoControl(host::kCodeConfigGet, &record, sizeof record - 1, nullptr, 0, &returned));

  module_.reset();
  fs::remove_all(Dir());
  Make(/*items=*/false);
  Start();
  DWORD item5[6] = {};
  EXPECT_FALSE(Get(5, item5, sizeof item5, &returned));
  EXPECT_FALSE(Get(0, item5, 8, &returned));
  EXPECT_EQ(returned, 0u);
}

TEST_F(PlatformCodesTest, SetOfItem0SurvivesAReopen) {
  Make();
  std::string before = test::ReadFile(Dir() / "module.toml");
  Start();
  const DWORD words[2] = {0xDEADBEEF, 0x00000042};
  ASSERT_TRUE(Set(0, words, sizeof words));
  DWORD got[2] = {};
  DWORD returned = 0;
  ASSERT_TRUE(Get(0, got, sizeof got, &returned));
  EXPECT_EQ(got[0], 0xDEADBEEFu);

  // Only item0's line changed: every other line, comments too, is as it was.
  std::string after = test::ReadFile(Dir() / "module.toml");
  std::size_t at = before.find("item0 = ");
  ASSERT_NE(at, std::string::npos);
  std::size_t end = before.find('\n', at);
  std::string old_line = before.substr(at, end - at);
  std::string new_line =
      "item0 = [0xDEADBEEF, 0x00000042]" + old_line.substr(old_line.find(']') + 1);
  EXPECT_EQ(after, before.substr(0, at) + new_line + before.substr(end));

  Start();
  std::memset(got, 0, sizeof got);
  ASSERT_TRUE(Get(0, got, sizeof got, &returned));
  EXPECT_EQ(got[0], 0xDEADBEEFu);
  EXPECT_EQ(got[1], 0x42u);
}

TEST_F(PlatformCodesTest, SetRefusesOtherItemsSizesAndAFault) {
  Make(true, "[platform]\nconfig_set = \"fail\"\n");
  std::string before = test::ReadFile(Dir() / "module.toml");
  Start();
  const DWORD words[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(Set(5, words, 24));
  EXPECT_FALSE(Set(0, words, 4));
  EXPECT_FALSE(Set(0, words, 8));  // the fault
  EXPECT_EQ(test::ReadFile(Dir() / "module.toml"), before);
  DWORD got[2] = {};
  DWORD returned = 0;
  ASSERT_TRUE(Get(0, got, sizeof got, &returned));
  EXPECT_EQ(got[0], 0x11223344u);
}

TEST_F(PlatformCodesTest, ImageVersionIsWrittenWhateverOutputSizeTheCallerGives) {
  Make();
  Start();
  DWORD words[3] = {};
  ASSERT_TRUE(KernelIoControl(host::kCodeImageVersion, nullptr, 0, words, 0, nullptr));
  EXPECT_EQ(std::vector<DWORD>(words, words + 3), (std::vector<DWORD>{1, 2, 0x00030007}));
  EXPECT_FALSE(KernelIoControl(host::kCodeImageVersion, nullptr, 0, nullptr, 12, nullptr));

  module_.reset();
  fs::remove_all(Dir());
  Make(/*items=*/false);
  Start();
  DWORD untouched[3] = {9, 9, 9};
  EXPECT_FALSE(KernelIoControl(host::kCodeImageVersion, nullptr, 0, untouched, 0, nullptr));
  EXPECT_EQ(untouched[0], 9u);
}

TEST_F(PlatformCodesTest, RegistryClearFaultLeavesTheKeptCopy) {
  Make(true, "[platform]\nregistry_clear = \"fail\"\n");
  std::ofstream(Dir() / "registry.toml") << "['Saved']\nValue = 1\n";
  Start();
  EXPECT_FALSE(KernelIoControl(host::kCodeRegistryClear, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(test::ReadFile(Dir() / "registry.toml"), "['Saved']\nValue = 1\n");
}

TEST(SetPlatformLine, ReplacesOneLineAndKeepsTheRest) {
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"the line, with its comment",
       "# top\n[platform]\nitem0 = [1, 2]   # kept\nitem5 = [0, 0, 0, 0, 0, 0]\n",
       "# top\n[platform]\nitem0 = [0x00000003, 0x00000004]   # kept\nitem5 = [0, 0, 0, 0, 0, "
       "0]\n"},
      {"an array over several lines",
       "[platform]\n  item0 = [\n  1,\n  2,\n] # two words\n[time]\npace = \"fast\"\n",
       "[platform]\n  item0 = [0x00000003, 0x00000004] # two words\n[time]\npace = \"fast\"\n"},
      {"only in [platform]", "[other]\nitem0 = 5\n[platform]\nitem0 = [1, 2]\n",
       "[other]\nitem0 = 5\n[platform]\nitem0 = [0x00000003, 0x00000004]\n"},
      {"a key that is longer", "[platform]\nitem00 = 1\n",
       "[platform]\nitem0 = [0x00000003, 0x00000004]\nitem00 = 1\n"},
      {"no table yet", "[cpu]\npart_number = 17\n",
       "[cpu]\npart_number = 17\n\n[platform]\nitem0 = [0x00000003, 0x00000004]\n"},
  };
  test::TempDir dir;
  const std::uint32_t words[2] = {3, 4};
  for (const Case& c : cases) {
    std::ofstream(dir / "module.toml", std::ios::binary) << c.before;
    host::SetPlatformLine(dir / "module.toml", "item0", host::PlatformWords(words, 2));
    EXPECT_EQ(test::ReadFile(dir / "module.toml"), c.after) << c.name;
  }
}

}  // namespace
