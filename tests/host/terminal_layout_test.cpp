// The terminal backend's arithmetic: dialog units to cells on the program's own templates,
// centring and clipping, progress fill over odd ranges, button faces and message lines.

#include "host/ui/terminal_layout.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ostream>
#include <string>

namespace host::ui::terminal {
void PrintTo(const CellRect& r, std::ostream* os) {
  *os << "{row " << r.row << ", col " << r.col << ", " << r.rows << " x " << r.cols << "}";
}
}  // namespace host::ui::terminal

namespace {

using host::ui::terminal::ButtonLabel;
using host::ui::terminal::CellRect;
using host::ui::terminal::ControlCells;
using host::ui::terminal::DialogFrame;
using host::ui::terminal::FitText;
using host::ui::terminal::MessageLines;
using host::ui::terminal::ProgressFill;
using host::ui::terminal::TextWidth;
using host::ui::terminal::Wide;

struct FrameCase {
  const char* name;
  int cx, cy, screen_rows, screen_cols;
  CellRect expected;
};
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class DialogFrameTable : public ::testing::TestWithParam<FrameCase> {};

TEST_P(DialogFrameTable, ScalesAndCentres) {
  const FrameCase& c = GetParam();
  EXPECT_EQ(DialogFrame(c.cx, c.cy, c.screen_rows, c.screen_cols), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogFrameTable,
    ::testing::Values(
        // 119 units: 29 whole columns, 14.9 rows → 15; plus border and caption.
        FrameCase{"MainDialogOn100x40", 119, 119, 40, 100, {11, 34, 17, 31}},
        FrameCase{"UpdateDialogOn100x40", 171, 89, 40, 100, {13, 28, 14, 44}},
        FrameCase{"OddScreenRoundsCentreDown", 119, 119, 25, 81, {4, 25, 17, 31}},
        FrameCase{"ExactRowsAddNoPartialRow", 40, 16, 24, 80, {10, 34, 4, 12}},
        FrameCase{"OneUnitMoreTakesAnotherRow", 40, 17, 24, 80, {9, 34, 5, 12}},
        FrameCase{"LargerThanScreenStartsAtZero", 400, 400, 24, 80, {0, 0, 52, 102}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ControlCase {
  const char* name;
  int x, y, cx, cy;
  CellRect expected;
};
void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ControlCellsTable : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlCellsTable, MapsDialogUnitsToCells) {
  const ControlCase& c = GetParam();
  EXPECT_EQ(ControlCells(c.x, c.y, c.cx, c.cy), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlCellsTable,
    ::testing::Values(
        // The main dialog's buttons: 21 units apart, so 2 or 3 rows apart at their centres.
        ControlCase{"SaveRegistry", 7, 7, 105, 19, {2, 1, 1, 27}},
        ControlCase{"ClearRegistry", 7, 28, 105, 19, {4, 1, 1, 27}},
        ControlCase{"UpdateImage", 7, 49, 105, 19, {7, 1, 1, 27}},
        ControlCase{"BspVersion", 7, 70, 105, 19, {9, 1, 1, 27}},
        ControlCase{"Coldboot", 69, 93, 43, 19, {12, 17, 1, 11}},
        ControlCase{"Warmboot", 7, 93, 43, 19, {12, 1, 1, 11}},
        // The update dialog's bars and labels.
        ControlCase{"SectionBar", 7, 20, 157, 13, {3, 1, 1, 40}},
        ControlCase{"ImageBar", 7, 52, 157, 14, {7, 1, 1, 40}},
        ControlCase{"SectionLabel", 7, 7, 157, 10, {1, 1, 1, 40}},
        ControlCase{"HiddenAbort", 52, 71, 58, 11, {9, 13, 1, 14}},
        // Three rows and more keep their rows.
        ControlCase{"TallStatic", 0, 12, 40, 40, {1, 0, 5, 10}},
        ControlCase{"NarrowerThanAColumnKeepsOne", 5, 0, 2, 8, {0, 1, 1, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressFill, IsProportionalOverAnyRange) {
  struct Case {
    int width, low, high, position, expected;
  };
  const Case cases[] = {
      {40, 0, 10, 0, 0},
      {40, 0, 10, 5, 20},
      {40, 0, 10, 10, 40},
      {40, 0, 100, 33, 13},                  // rounds down: 13.2
      {40, 0, 100, 99, 39},                  // full only at the end
      {40, -50, 50, 0, 20},                  // negative low
      {40, 100, 0, 100, 0},                  // reversed range starts empty
      {40, 100, 0, 25, 30},                  // and fills towards high
      {40, 0, 0x7FFFFFFF, 0x40000000, 20},   // no overflow on a 31-bit range
      {40, -0x7FFFFFFF, 0x7FFFFFFF, 0, 20},  // nor on a range wider than int
      {40, 5, 5, 5, 0},                      // empty range
      {40, 0, 10, 12, 40},                   // outside the range: clipped
      {40, 0, 10, -3, 0},
      {0, 0, 10, 5, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressFill(c.width, c.low, c.high, c.position), c.expected)
        << c.width << " cells, " << c.low << ".." << c.high << " at " << c.position;
  }
}

TEST(ButtonLabel, FillsExactlyTheButtonWidth) {
  struct Case {
    std::wstring text;
    int width;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"Save Registry to Flash", 27, L"[ Save Registry to Flash  ]"},
      {L"Update Bootloader/Image", 27, L"[ Update Bootloader/Image ]"},
      {L"Coldboot", 11, L"[Coldboot ]"},
      {L"OK", 8, L"[  OK  ]"},
      {L"Update Bootloader/Image", 10, L"[Update B]"},
      {L"OK", 2, L"[]"},
      {L"OK", 1, L"O"},
      {L"", 1, L" "},
      {L"OK", 0, L""},
  };
  for (const Case& c : cases) {
    std::wstring label = ButtonLabel(c.text, c.width);
    EXPECT_EQ(label, c.expected) << c.width;
    EXPECT_EQ(TextWidth(label), c.width);
  }
}

TEST(MessageLines, BreaksExpandsTabsAndWraps) {
  using Lines = std::vector<std::wstring>;
  struct Case {
    const char* name;
    std::wstring text;
    int width;
    Lines expected;
  };
  const Case cases[] = {
      {"BspVersion",
       L"Bootloader:\t1.2\nImage:\t3.4",
       60,
       {L"Bootloader:     1.2", L"Image:  3.4"}},
      {"TabOnAStopGoesToTheNext", L"12345678\tx", 60, {L"12345678        x"}},
      {"LeadingTab", L"\tx", 60, {L"        x"}},
      {"CarriageReturnsDropped", L"a\r\nb", 60, {L"a", L"b"}},
      {"EmptyLinesKept", L"a\n\nb\n", 60, {L"a", L"", L"b", L""}},
      {"Empty", L"", 60, {L""}},
      {"WrapsAtABlank", L"the quick brown fox", 10, {L"the quick", L"brown fox"}},
      {"BlanksAtTheWrapGo", L"aaaa    bbbb", 6, {L"aaaa", L"bbbb"}},
      {"FitsExactly", L"abcde fghij", 5, {L"abcde", L"fghij"}},
      {"CutsAWordLongerThanTheLine", L"abcdefghijkl", 5, {L"abcde", L"fghij", L"kl"}},
      {"TabsCountBeforeWrapping", L"a\tb", 8, {L"a", L"b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageLines(c.text, c.width), c.expected) << c.name;
  }
}

// Wide characters take two columns: a cut must not split one, nor count it as one.
TEST(TextWidth, CountsDoubleWidthCharacters) {
  std::string saved = std::setlocale(LC_CTYPE, nullptr);
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(TextWidth(L"\u65E5\u672C"), 4);
  EXPECT_EQ(FitText(L"\u65E5\u672C", 3), L"\u65E5");
  EXPECT_EQ(ButtonLabel(L"\u65E5\u672C", 7), L"[\u65E5\u672C ]");
  EXPECT_EQ(MessageLines(L"\u65E5\u672C\u8A9E", 4),
            (std::vector<std::wstring>{L"\u65E5\u672C", L"\u8A9E"}));
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(Wide, JoinsSurrogatePairsAndReplacesLoneOnes) {
  EXPECT_EQ(Wide(u"A\U0001F600B"), L"A\U0001F600B");
  EXPECT_EQ(Wide(std::u16string{u'a', char16_t{0xD800}, u'b'}), L"a\uFFFDb");
  EXPECT_EQ(Wide(std::u16string{char16_t{0xDC00}}), L"\uFFFD");
}

}  // namespace
