// The region table and the overwrite warning against flash contents, platform answers and
// registry values.

#include "update/flash_regions.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>

#include "ce/registry.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "flash_layout.h"
#include "host/oal/platform_layer.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "platform/platform_codes.h"

namespace {

using host::ui::UiEvent;

// The table as the program starts with it: tests in one process start from it again.
const std::vector<FlashRegion> kStartingRegions(RegionTable, RegionTable + kRegionCount);

class FlashRegionsTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    std::copy(kStartingRegions.begin(), kStartingRegions.end(), RegionTable);
    test::ModuleSetup setup;
    setup.cfi_size = 0x13;  // 1 MB: 0x88000 and 0xC8000 are inside
    Open(setup);
    SelectFlashDriver();
    ASSERT_EQ(NorInitialize(), 1);
    ui_ = &host::ui::UseScriptBackend();
    // No configuration item 5 unless a test answers it.
    host::SetControlCodeHandler(kIoctlConfigGet, nullptr);
  }
  std::filesystem::path Dir() { return dir_ / "module"; }
  const FlashRegion& Region(int index) { return RegionTable[index]; }
  std::vector<std::uint8_t> Image(std::uint64_t offset, std::size_t count) {
    return test::ReadImage(Dir(), offset, count);
  }
  // A configuration block whose first erased word is at byte `used`.
  void ConfigBlock(std::uint32_t place, std::uint32_t used) {
    std::vector<std::uint8_t> block(used, 0x5A);
    std::memcpy(block.data(), test::Words({ConfigBlockMagic}).data(), 4);
    test::PokeImage(Dir(), place, block);
    test::PokeImage(Dir(), place + used, test::Words({0xFFFFFFFF}));
  }
  host::ui::ScriptBackend* ui_ = nullptr;
};

TEST_F(FlashRegionsTest, BootloaderAt8000IsMeasuredFromTheStart) {
  test::WriteBootImage(Dir(), {.offset = 0x8000, .size = 0x20000});
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionBootloader).Start, 0u);
  EXPECT_EQ(Region(kRegionBootloader).Length, 0x40000u);
  EXPECT_EQ(Region(kRegionBootloader).MeasuredSize, 0x28000u);
}

TEST_F(FlashRegionsTest, ConfigBlockLengthEndsAtTheFirstErasedWord) {
  ConfigBlock(0x40000, 40);
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionConfigBlock).Start, 0x40000u);
  EXPECT_EQ(Region(kRegionConfigBlock).MeasuredSize, 40u);
  EXPECT_EQ(Region(kRegionConfigBlock).Length, 0x40000u);
}

TEST_F(FlashRegionsTest, BlockAtTheOldPlaceIsMovedChunkByChunk) {
  ConfigBlock(0x88000, 4096);
  test::PokeImage(Dir(), 0x8A000, std::vector<std::uint8_t>(16, 0x11));  // beyond the end chunk
  test::PokeImage(Dir(), 0x60000, std::vector<std::uint8_t>(16, 0x00));  // old data at the place
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionConfigBlock).Start, 0x88000u);
  EXPECT_EQ(Region(kRegionConfigBlock).MeasuredSize, 4096u);
  EXPECT_EQ(Image(0x40000, 0x2000), Image(0x88000, 0x2000));  // chunks 0x88000 and 0x89000
  EXPECT_EQ(Image(0x42000, 16), std::vector<std::uint8_t>(16, 0xFF));
  EXPECT_EQ(Image(0x60000, 16), std::vector<std::uint8_t>(16, 0xFF));  // erased
  EXPECT_EQ(Image(0x88000, 4), test::Words({ConfigBlockMagic}));       // old copy stays
}

TEST_F(FlashRegionsTest, BlockAtBothPlacesIsNotMoved) {
  ConfigBlock(0x40000, 8);
  ConfigBlock(0x88000, 64);
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionConfigBlock).Start, 0x40000u);
  EXPECT_EQ(Region(kRegionConfigBlock).MeasuredSize, 8u);
  EXPECT_EQ(Image(0x40008, 4), test::Words({0xFFFFFFFF}));
}

TEST_F(FlashRegionsTest, NoBlockNoImageGiveEmptyRegions) {
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionBootloader).Length, 0u);
  EXPECT_EQ(Region(kRegionConfigBlock).Start, 0x40000u);
  EXPECT_EQ(Region(kRegionConfigBlock).Length, 0u);
  EXPECT_EQ(Region(kRegionImage).Start, 0xC8000u);
  EXPECT_EQ(Region(kRegionImage).Length, 0u);
  // Unanswered item 5 and no registry key leave the last two as they were.
  EXPECT_EQ(Region(kRegionRegistry).Start, 0x1400000u);
  EXPECT_EQ(Region(kRegionFileSystem).Start, 0x14800000u);
}

TEST_F(FlashRegionsTest, ImageAtEitherPlace) {
  test::WriteBootImage(Dir(), {.offset = 0xC8000, .size = 0x30000});
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionImage).Start, 0xC8000u);
  EXPECT_EQ(Region(kRegionImage).Length, 0x40000u);
  test::WriteBootImage(Dir(), {.offset = 0x80000, .size = 0x40001});
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionImage).Start, 0x80000u);
  EXPECT_EQ(Region(kRegionImage).Length, 0x80000u);
  EXPECT_EQ(Region(kRegionImage).MeasuredSize, 0x40001u);
}

TEST_F(FlashRegionsTest, ConfigurationItem5PlacesTheRegistry) {
  host::SetControlCodeHandler(kIoctlConfigGet,
                              [](LPVOID in, DWORD, LPVOID out, DWORD size, LPDWORD returned) {
                                ConfigRequest request;
                                std::memcpy(&request, in, sizeof request);
                                if (request.item != 5 || size < 24) return FALSE;
                                DWORD words[6] = {0x80000, 0x1400000, 0x40000, 0, 0, 0};
                                std::memcpy(out, words, sizeof words);
                                *returned = 24;
                                return TRUE;
                              });
  LoadRegionTable();
  EXPECT_EQ(Region(kRegionRegistry).Start, 0x1400000u);
  EXPECT_EQ(Region(kRegionRegistry).Length, 0x80000u);
}

TEST_F(FlashRegionsTest, OverwriteQuestionListsTheRegionsAndCancelStops) {
  test::WriteBootImage(Dir(), {.offset = 0, .size = 0x20000});
  ConfigBlock(0x40000, 64);
  ui_->AnswerMessageBoxes({IDCANCEL, IDOK});
  EXPECT_EQ(CheckImageRegions(-1, 0, 0x80000, nullptr), 0);
  EXPECT_EQ(CheckImageRegions(-1, 0, 0x80000, nullptr), 1);
  auto boxes = ui_->Events(UiEvent::Kind::kMessageBox);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(host::Utf8(boxes[0].text),
            "This Image will overwrite the following sections:\nBootloader\nConfigBlock\n"
            "\n\nAre you sure you want to continue?");
  EXPECT_EQ(host::Utf8(boxes[0].caption), "WARNING");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2));
}

TEST_F(FlashRegionsTest, OverlapIsStrictAtTheEdges) {
  test::WriteBootImage(Dir(), {.offset = 0x80000, .size = 0x40000});
  struct Case {
    DWORD start, length;
    bool asks;
  };
  const Case cases[] = {
      {0x40000, 0x40000, false},  // ends where IMAGE starts (no config block: length 0)
      {0xC0000, 0x1000, false},   // begins where IMAGE ends
      {0xBFFFC, 8, true},
      {0x3F000, 0x2000, true},  // runs over 0x40000: "ConfigBlock" of length 0 is reached
  };
  for (const Case& c : cases) {
    std::size_t before = ui_->Events(UiEvent::Kind::kMessageBox).size();
    ui_->AnswerMessageBoxes({IDOK});
    EXPECT_EQ(CheckImageRegions(-1, c.start, c.length, nullptr), 1);
    EXPECT_EQ(ui_->Events(UiEvent::Kind::kMessageBox).size() - before, c.asks ? 1u : 0u)
        << std::hex << c.start;
  }
  auto boxes = ui_->Events(UiEvent::Kind::kMessageBox);
  EXPECT_NE(host::Utf8(boxes.back().text).find("\nConfigBlock\n"), std::string::npos);
}

TEST_F(FlashRegionsTest, WriteMeantForOneRegionNamesAnother) {
  test::WriteBootImage(Dir(), {.offset = 0x80000, .size = 0x40000});
  ui_->AnswerMessageBoxes({IDYES, IDNO});
  EXPECT_EQ(CheckImageRegions(kRegionImage, 0x80000, 0x40000, nullptr), 1);  // its own region
  EXPECT_EQ(CheckImageRegions(kRegionBootloader, 0x80000, 0x40000, nullptr), 0);
  EXPECT_EQ(CheckImageRegions(kRegionBootloader, 0x80000, 0x40000, nullptr), 1);
  auto boxes = ui_->Events(UiEvent::Kind::kMessageBox);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(host::Utf8(boxes[0].text), "With this settings you override the IMAGE.\nAbort?");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_YESNO | MB_ICONEXCLAMATION));
}

}  // namespace

namespace {

class FlashRegionsRegistryTest : public FlashRegionsTest {
 protected:
  void Registry(const std::string& text) { std::ofstream(Dir() / "ram" / "registry.toml") << text; }
};

TEST_F(FlashRegionsRegistryTest, FileSystemComesFromTheDriverKeyOrItsFallback) {
  Registry("['Drivers\\BuiltIn\\StrataFMD']\nMemBase = 0x1480000\nMemLen = 0xB80000\n");
  LoadRegionTable();
  EXPECT_EQ(RegionTable[kRegionFileSystem].Start, 0x1480000u);
  EXPECT_EQ(RegionTable[kRegionFileSystem].Length, 0xB80000u);

  Registry("['Drivers\\BlockDevice\\StrataFMD']\nMemBase = 0x900000\n");
  LoadRegionTable();
  EXPECT_EQ(RegionTable[kRegionFileSystem].Start, 0x900000u);
  EXPECT_EQ(RegionTable[kRegionFileSystem].Length, 0xB80000u);  // missing value: unchanged

  // A value of the wrong size is not taken.
  Registry("['Drivers\\BuiltIn\\StrataFMD']\nMemBase = 'far away'\nMemLen = 0x10\n");
  LoadRegionTable();
  EXPECT_EQ(RegionTable[kRegionFileSystem].Start, 0x900000u);
  EXPECT_EQ(RegionTable[kRegionFileSystem].Length, 0x10u);
}

}  // namespace
