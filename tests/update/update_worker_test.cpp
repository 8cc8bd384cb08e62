// Updates end to end on a NOR module: BIN images from the tests' writer, the update dialog
// under the script window system, and the flash file afterwards.

#include "update/update_worker.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bin_writer.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nor/nor_flash.h"
#include "flash_layout.h"
#include "host/oal/platform_layer.h"
#include "host/system/kernel_objects.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "platform/platform_codes.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "update/flash_regions.h"
#include "update/update_dialog.h"

namespace {

using host::ui::UiEvent;
using test::BinLayout;
using test::BinRecordLayout;

class UpdateWorkerTest : public test::ModuleTest {
 protected:
  void SetUp() override {
    test::ModuleSetup setup;
    setup.cfi_size = 0x13;  // 1 MB
    Open(setup);
    SelectFlashDriver();
    ASSERT_EQ(NorInitialize(), 1);
    ui_ = &host::ui::UseScriptBackend();
    InitCommonControls();
    AbortFlag = 0;
    QuietFlag = 1;
    RegionTable[kRegionConfigBlock].Start = kConfigBlockPlace;
    // Item 0 answered with 8 known bytes; item 5 not answered unless a test says so.
    saved_item0_.clear();
    host::SetControlCodeHandler(kIoctlConfigGet,
                                [this](LPVOID in, DWORD, LPVOID out, DWORD size, LPDWORD returned) {
                                  ConfigRequest request;
                                  std::memcpy(&request, in, sizeof request);
                                  if (request.item == 0 && size >= 8) {
                                    std::memcpy(out, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
                                    *returned = 8;
                                    return TRUE;
                                  }
                                  if (request.item == 5 && item5_base_ && size >= 24) {
                                    DWORD words[6] = {item5_base_, 0xF0000, 0x4000, 0, 0, 0};
                                    std::memcpy(out, words, sizeof words);
                                    *returned = 24;
                                    return TRUE;
                                  }
                                  return FALSE;
                                });
    host::SetControlCodeHandler(kIoctlConfigSet, [this](LPVOID in, DWORD, LPVOID, DWORD, LPDWORD) {
      ConfigRequest request;
      std::memcpy(&request, in, sizeof request);
      auto* bytes = reinterpret_cast<const std::uint8_t*>(request.buffer);
      saved_item0_.assign(bytes, bytes + request.size);
      return TRUE;
    });
  }

  std::filesystem::path Dir() { return dir_ / "module"; }
  std::vector<std::uint8_t> Image(std::uint64_t offset, std::size_t count) {
    return test::ReadImage(Dir(), offset, count);
  }

  // Runs one update of `bytes` as an update command would: the dialog without owner.
  void Update(const std::vector<std::uint8_t>& bytes, DWORD quiet = 1) {
    test::WriteFile(Dir() / "fs" / "USB HD" / "IMAGES" / "t.bin", bytes);
    std::u16string path = u"\\USB HD\\IMAGES\\t.bin";
    std::copy(path.begin(), path.end(), ImagePath);
    ImagePath[path.size()] = 0;
    QuietFlag = quiet;
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  }

  std::vector<std::pair<std::string, std::string>> Boxes() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const UiEvent& e : ui_->Events(UiEvent::Kind::kMessageBox)) {
      out.emplace_back(host::Utf8(e.caption), host::Utf8(e.text));
    }
    return out;
  }
  std::vector<std::string> ItemTexts(int item) {
    std::vector<std::string> out;
    for (const UiEvent& e : ui_->Events(UiEvent::Kind::kItemText)) {
      if (e.id == item) out.push_back(host::Utf8(e.text));
    }
    return out;
  }
  std::vector<std::pair<int, int>> Ranges(int item) {
    std::vector<std::pair<int, int>> out;
    for (const UiEvent& e : ui_->Events(UiEvent::Kind::kProgressRange)) {
      if (e.id == item) out.emplace_back(e.low, e.high);
    }
    return out;
  }

  host::ui::ScriptBackend* ui_ = nullptr;
  DWORD item5_base_ = 0;
  std::vector<std::uint8_t> saved_item0_;
};

TEST_F(UpdateWorkerTest, RecordsLandAtTheirOffsetsAndTheRestIsErased) {
  test::PokeImage(Dir(), 0x40000, std::vector<std::uint8_t>(0x80004, 0x00));
  auto a = test::Pattern(5, 1), b = test::Pattern(0x4003, 2), c = test::Pattern(3, 3);
  Update(test::MakeBin({.start = 0x40000,
                        .length = 0x48000,
                        .records = {{0x50001, b}, {0x40003, a}, {0x87FFD, c}}}));
  EXPECT_EQ(Boxes().size(), 0u);
  EXPECT_EQ(Image(0x40003, 5), a);
  EXPECT_EQ(Image(0x50001, b.size()), b);
  EXPECT_EQ(Image(0x87FFD, 3), c);
  EXPECT_EQ(Image(0x40000, 3), std::vector<std::uint8_t>(3, 0xFF));
  EXPECT_EQ(Image(0x40008, 0x100), std::vector<std::uint8_t>(0x100, 0xFF));
  EXPECT_EQ(Image(0x54004, 0x100), std::vector<std::uint8_t>(0x100, 0xFF));
  EXPECT_EQ(Image(0xC0000, 4), std::vector<std::uint8_t>(4, 0x00));  // outside the range
  EXPECT_EQ(saved_item0_,
            std::vector<std::uint8_t>({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
  auto ended = ui_->Events(UiEvent::Kind::kDialogEnded);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].result, 0);
  EXPECT_EQ(ImagePath[0], 0);
  EXPECT_EQ(ItemTexts(1005), std::vector<std::string>{"Image: 00040000  Len: 00048000(294912)"});
}

TEST_F(UpdateWorkerTest, AddressTranslation) {
  struct Case {
    DWORD start;
    DWORD item5;
    DWORD offset;
  };
  const Case cases[] = {
      {0xBCA00000, 0, 0 - 0xBCA00000u},
      {0xBFFFFFFE, 0, 0 - 0xBFFFFFFEu},
      {0xBFFFFFFF, 0, 0},
      {0x80000000, 0, 0x80000 - 0x80000000u},
      {0x80000000, 0xC0000, 0xC0000 - 0x80000000u},
      {0xA0000000, 0, 0x80000 - 0xA0000000u},
      {0x9CA00000, 0xC0000, 0},
      {0x7FFFFFFF, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ImageOffsetFor(c.start, c.item5 ? c.item5 : 0x80000), c.offset)
        << std::hex << c.start;
  }
  // Through a run: item 5 places the image and a record at start + 0x100 follows it.
  item5_base_ = 0xC0000;
  auto data = test::Pattern(16, 9);
  Update(test::MakeBin({.start = 0x80000000, .length = 0x200, .records = {{0x80000100, data}}}));
  EXPECT_EQ(ImageStart, 0xC0000u);
  EXPECT_EQ(Image(0xC0100, 16), data);
}

TEST_F(UpdateWorkerTest, RecordSizesGiveChunksAndBarRanges) {
  Update(test::MakeBin({.start = 0x40000,
                        .length = 0x10000,
                        .records = {{0x40000, {}},
                                    {0x41000, test::Pattern(2047, 1)},
                                    {0x42000, test::Pattern(2048, 2)},
                                    {0x44000, test::Pattern(16385, 3)}}}));
  EXPECT_TRUE(Boxes().empty());
  // The erase covers the whole 256 KB block; then one range a record.
  std::vector<std::pair<int, int>> expected = {{0, 256}, {0, 1}, {0, 1}, {0, 2}, {0, 16}};
  EXPECT_EQ(Ranges(1002), expected);
  EXPECT_EQ(Ranges(1003), (std::vector<std::pair<int, int>>{{0, 64}}));
  EXPECT_EQ(Image(0x44000, 16385), test::Pattern(16385, 3));
  auto sections = ItemTexts(1004);
  EXPECT_NE(std::find(sections.begin(), sections.end(), "Section: 00044000  Len: 00004001(16385)"),
            sections.end());
  EXPECT_NE(std::find(sections.begin(), sections.end(), "Erasing Flash Sector at 00040000"),
            sections.end());

  // An image that starts inside a block: the erase names the block it erases.
  Update(test::MakeBin({.start = 0x81000, .length = 0x1000, .records = {}}));
  sections = ItemTexts(1004);
  EXPECT_NE(std::find(sections.begin(), sections.end(), "Erasing Flash Sector at 00080000"),
            sections.end());
  EXPECT_EQ(std::find(sections.begin(), sections.end(), "Erasing Flash Sector at 00081000"),
            sections.end());
}

TEST_F(UpdateWorkerTest, EndRecordWithLengthAndRecordAtAddressZero) {
  auto data = test::Pattern(4, 200);
  auto bin = test::MakeBin(
      {.start = 0x40000, .length = 0x1000, .records = {{0x40000, data}}, .end_length = 1234});
  auto trailing = test::Pattern(64, 1);  // never read
  bin.insert(bin.end(), trailing.begin(), trailing.end());
  Update(bin);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Image(0x40000, 4), data);

  // Address 0 with a non-zero checksum is an ordinary record, at flash offset ImageOffset.
  std::vector<std::uint8_t> one = {1};
  Update(test::MakeBin({.start = 0, .length = 0x1000, .records = {{0, one}}}));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Image(0, 1), one);
}

TEST_F(UpdateWorkerTest, EveryErrorBoxWithItsTextAndCaption) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> file;
    std::string caption;
    std::string text;
  };
  auto good = test::Pattern(64, 5);
  auto bin = test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, good}}});
  std::vector<std::uint8_t> cut_in_data(bin.begin(), bin.begin() + 15 + 12 + 10);
  std::vector<std::uint8_t> cut_in_header(bin.begin(), bin.begin() + 12);
  std::vector<std::uint8_t> cut_after_header(bin.begin(), bin.begin() + 15 + 12 + 64);
  const Case cases[] = {
      {"signature",
       {'B', '0', '0', '0', 'F', 'F', '\r'},
       "ERRER",
       "Not a WinCE Binary Image file!"},
      {"short file", {'B', '0'}, "ERRER", "Not a WinCE Binary Image file!"},
      {"header cut", cut_in_header, "ERROR", "Unexpected end of file!"},
      {"data cut", cut_in_data, "ERROR", "Unexpected end of file!"},
      {"no end record", cut_after_header, "ERROR", "Unexpected end of file!"},
      {"checksum",
       test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, good, 1}}}),
       "ERROR",
       "BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with another file"},
      {"empty record with a checksum",
       test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {}, 5}}}), "ERROR",
       "BAD CRC, Image File seems to be corrupt. Don't reboot Now! Try updating with another file"},
      {"record outside the blocks the image erases",
       test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x80000, good}}}), "ERROR",
       "Record outside the image range!"},
      {"record past the flash",
       test::MakeBin({.start = 0xF0000, .length = 0x20000, .records = {{0xFFFF0, good}}}), "ERROR",
       "Record outside the image range!"},
      {"records overlap",
       test::MakeBin({.start = 0x40000,
                      .length = 0x1000,
                      .records = {{0x40040, good}, {0x40000, good}, {0x40020, good}}}),
       "ERROR", "Records overlap or out of order!"},
      {"erase past the flash", test::MakeBin({.start = 0xF0000, .length = 0x20000, .records = {}}),
       "ERROR", "Error erasing Flash!"},
  };
  // Every file is refused before the erase: what the flash held stays.
  const auto held = test::Pattern(0x100, 9);
  test::PokeImage(Dir(), 0x40000, held);
  test::PokeImage(Dir(), 0xF0000, held);
  for (DWORD quiet : {1u, 0u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::size_t before = Boxes().size();
      ui_->AnswerMessageBoxes({IDOK});  // an overwrite warning, if any, goes on
      Update(c.file, quiet);
      auto boxes = Boxes();
      ASSERT_GT(boxes.size(), before);
      EXPECT_EQ(boxes.back(), std::make_pair(c.caption, c.text));
      EXPECT_EQ(ImagePath[0], 0);
    }
  }
  EXPECT_EQ(ui_->Events(UiEvent::Kind::kDialogEnded).size(), 2 * std::size(cases));
  EXPECT_EQ(Image(0x40000, 0x100), held);
  EXPECT_EQ(Image(0xF0000, 0x100), held);
}

TEST_F(UpdateWorkerTest, WorkerThatCannotStartEndsTheDialogWithAnError) {
  host::SetThreadCreationFails(true);
  Update(test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {}}));
  host::SetThreadCreationFails(false);
  EXPECT_EQ(Boxes().back(),
            std::make_pair(std::string("ERROR"), std::string("Error starting the update!")));
  EXPECT_EQ(ui_->Events(UiEvent::Kind::kDialogEnded).size(), 1u);
  EXPECT_EQ(ImagePath[0], 0);
}

TEST_F(UpdateWorkerTest, MissingFileIsNamed) {
  std::u16string path = u"\\USB HD\\IMAGES\\none.bin";
  std::copy(path.begin(), path.end(), ImagePath);
  ImagePath[path.size()] = 0;
  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  EXPECT_EQ(Boxes().back(),
            std::make_pair(std::string("ERROR"),
                           std::string("Cannot Open Image File \\USB HD\\IMAGES\\none.bin")));
}

TEST_F(UpdateWorkerTest, RestartQuestionOnlyAfterASuccessThatIsNotQuiet) {
  auto bin = test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {1, 2}}}});
  ui_->AnswerMessageBoxes({IDNO});
  Update(bin, 0);
  auto boxes = ui_->Events(UiEvent::Kind::kMessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(host::Utf8(boxes[0].caption), "RESET");
  EXPECT_EQ(host::Utf8(boxes[0].text), "To finish the update reset the system.\n Reset now?");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_YESNO));
  Update(bin, 1);
  EXPECT_EQ(ui_->Events(UiEvent::Kind::kMessageBox).size(), 1u);
}

TEST_F(UpdateWorkerTest, CancelDuringTheEraseStopsBeforeAnyRecord) {
  test::PokeImage(Dir(), 0x40000, std::vector<std::uint8_t>(0x80000, 0x00));
  ui_->When([](const UiEvent& e) { return e.kind == UiEvent::Kind::kProgressPos && e.id == 1002; },
            IDCANCEL);
  Update(test::MakeBin(
             {.start = 0x40000, .length = 0x80000, .records = {{0x40000, test::Pattern(16, 1)}}}),
         0);
  // The first progress call already sees the stop request: nothing was erased.
  EXPECT_EQ(Image(0x80000, 4), std::vector<std::uint8_t>(4, 0x00));
  EXPECT_EQ(Image(0x40000, 4), std::vector<std::uint8_t>(4, 0x00));
  // Not a success: no restart question.
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(UpdateWorkerTest, CancelDuringTheRecordsCutsTheRecordShort) {
  ui_->When(
      [](const UiEvent& e) {
        return e.kind == UiEvent::Kind::kProgressPos && e.id == 1003 && e.low > 0;
      },
      IDCANCEL);
  auto big = test::Pattern(0x10000, 1);
  Update(test::MakeBin({.start = 0x40000, .length = 0x20000, .records = {{0x40000, big}}}), 0);
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].second.substr(0, 7), "BAD CRC");
  EXPECT_EQ(Image(0x40000, 0x4000), std::vector<std::uint8_t>(big.begin(), big.begin() + 0x4000));
  EXPECT_EQ(Image(0x4C000, 4), std::vector<std::uint8_t>(4, 0xFF));
}

TEST_F(UpdateWorkerTest, StillSetAbortFlagStopsTheNextCommandedUpdate) {
  AbortFlag = 1;  // left by an update stopped with the cancel command
  test::PokeImage(Dir(), 0x40000, std::vector<std::uint8_t>(16, 0x00));
  Update(test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {1}}}}), 0);
  EXPECT_EQ(Image(0x40000, 1), std::vector<std::uint8_t>{0x00});
  EXPECT_TRUE(Boxes().empty());
  AbortFlag = 0;
}

TEST_F(UpdateWorkerTest, MovedConfigBlockKeepsItsOwnSettings) {
  std::vector<std::uint8_t> block = test::Words({ConfigBlockMagic, 1, 2, 0xFFFFFFFF});
  test::PokeImage(Dir(), 0x88000, block);
  ui_->AnswerMessageBoxes({IDNO});
  // The region check moves the block; its record keeps the old start, so an image at
  // 0x40000 is not warned about and the saved item is not written back.
  Update(test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {1}}}}), 0);
  EXPECT_EQ(RegionTable[kRegionConfigBlock].Start, kConfigBlockOldPlace);
  EXPECT_TRUE(saved_item0_.empty());
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].first, "RESET");
}

TEST_F(UpdateWorkerTest, FileOpenDialogRoad) {
  test::WriteFile(Dir() / "fs" / "USB HD" / "IMAGES" / "nk.bin",
                  test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {7}}}}));
  test::WriteFile(Dir() / "fs" / "top.bin",
                  test::MakeBin({.start = 0x40000, .length = 0x1000, .records = {{0x40000, {7}}}}));
  ImagePath[0] = 0;
  QuietFlag = 1;
  ui_->AnswerOpenFiles({u"", u"\\USB HD\\IMAGES\\nk.bin", u"\\top.bin"});
  auto run = [] {
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
  };
  run();  // cancelled: the dialog closes at once, nothing written
  EXPECT_EQ(Image(0x40000, 1), std::vector<std::uint8_t>{0xFF});
  AbortFlag = 1;
  run();
  EXPECT_EQ(AbortFlag, 0u);  // a chosen file clears a stop request
  EXPECT_EQ(Image(0x40000, 1), std::vector<std::uint8_t>{7});
  EXPECT_EQ(host::Utf8(ImageDirectory), "\\USB HD\\IMAGES");
  run();
  EXPECT_EQ(host::Utf8(ImageDirectory), "");
  auto opens = ui_->Events(UiEvent::Kind::kOpenFile);
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_EQ(host::Utf8(opens[0].text), "\\USB HD\\IMAGES");
  EXPECT_EQ(host::Utf8(opens[0].caption), "*.bin");
  EXPECT_EQ(host::Utf8(opens[2].text), "\\USB HD\\IMAGES");
}

}  // namespace
