// wsprintfW as the program uses it for its messages and version texts, its 1024-character
// bound, and NKDbgPrintfW's lines on standard error.

#include "host/ui/wide_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "ce/ui.h"
#include "host/system/text.h"

namespace {

struct FormatCase {
  const char* name;
  std::u16string_view expected;
  std::function<int(WCHAR*)> format;
};
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

const FormatCase kFormatCases[] = {
    {"Version", u"Imbrel 2.9", [](WCHAR* b) { return wsprintfW(b, u"Imbrel %d.%d", 2, 9); }},
    {"PrecisionZeroFillsHex", u"Erasing Flash Sector at 00080000",
     [](WCHAR* b) { return wsprintfW(b, u"Erasing Flash Sector at %.8x", 0x80000); }},
    {"ImageLine", u"Image: 80040000  Len: 01c00000(29360128)",
     [](WCHAR* b) {
       return wsprintfW(b, u"Image: %.8x  Len: %.8x(%d)", 0x80040000u, 0x1C00000u, 0x1C00000);
     }},
    {"Negative", u"-42 -7", [](WCHAR* b) { return wsprintfW(b, u"%d %i", -42, -7); }},
    {"MostNegative", u"-2147483648", [](WCHAR* b) { return wsprintfW(b, u"%d", INT_MIN); }},
    {"Zero", u"0 0 0", [](WCHAR* b) { return wsprintfW(b, u"%d %u %x", 0, 0u, 0u); }},
    {"UnsignedOfAllOnes", u"4294967295 -1",
     [](WCHAR* b) { return wsprintfW(b, u"%u %d", 0xFFFFFFFFu, 0xFFFFFFFFu); }},
    {"HexCase", u"beef BEEF ffffffff",
     [](WCHAR* b) { return wsprintfW(b, u"%x %X %x", 0xBEEFu, 0xBEEFu, -1); }},
    {"WidthRightAligns", u"[   42]", [](WCHAR* b) { return wsprintfW(b, u"[%5d]", 42); }},
    {"MinusLeftAligns", u"[42   ]", [](WCHAR* b) { return wsprintfW(b, u"[%-5d]", 42); }},
    {"ZeroFillsWidth", u"[00042]", [](WCHAR* b) { return wsprintfW(b, u"[%05d]", 42); }},
    {"ZeroFillGoesAfterSign", u"[-0042]", [](WCHAR* b) { return wsprintfW(b, u"[%05d]", -42); }},
    {"MinusOverridesZero", u"[42   ]", [](WCHAR* b) { return wsprintfW(b, u"[%-05d]", 42); }},
    {"PrecisionInsideWidth", u"[    00ab]",
     [](WCHAR* b) { return wsprintfW(b, u"[%8.4x]", 0xAB); }},
    {"PrecisionAfterSign", u"[-0005]", [](WCHAR* b) { return wsprintfW(b, u"[%.4d]", -5); }},
    {"ZeroFlagIgnoredWithPrecision", u"[   007]",
     [](WCHAR* b) { return wsprintfW(b, u"[%06.3d]", 7); }},
    {"NarrowWidthKeepsAllDigits", u"[12345]",
     [](WCHAR* b) { return wsprintfW(b, u"[%2d]", 12345); }},
    {"LongPrefixChangesNothing", u"-1 4000000000 ABC 00000abc",
     [](WCHAR* b) { return wsprintfW(b, u"%ld %lu %lX %08lx", -1, 4000000000u, 0xABCu, 0xABCu); }},
    {"WideString", u"[USB HD]", [](WCHAR* b) { return wsprintfW(b, u"[%s]", u"USB HD"); }},
    {"NullString", u"[(null)]",
     [](WCHAR* b) { return wsprintfW(b, u"[%s]", static_cast<const WCHAR*>(nullptr)); }},
    {"StringInWidth", u"[    nk][nk    ]",
     [](WCHAR* b) { return wsprintfW(b, u"[%6s][%-6s]", u"nk", u"nk"); }},
    {"StringPrecisionCuts", u"[abc]", [](WCHAR* b) { return wsprintfW(b, u"[%.3s]", u"abcdef"); }},
    {"Characters", u"OK [  x] \u00e9",
     [](WCHAR* b) { return wsprintfW(b, u"%c%c [%3c] %c", u'O', u'K', u'x', 0xE9); }},
    {"NonAsciiString", u"\u20ac 5", [](WCHAR* b) { return wsprintfW(b, u"%s %d", u"\u20ac", 5); }},
    {"Percent", u"100% [%]", [](WCHAR* b) { return wsprintfW(b, u"100%% [%%]"); }},
    {"UnknownCopiesThroughAndTakesNoArgument", u"%q 7 %-8.3y 8",
     [](WCHAR* b) { return wsprintfW(b, u"%q %d %-8.3y %d", 7, 8); }},
    {"FormatEndingInConversion", u"abc %05", [](WCHAR* b) { return wsprintfW(b, u"abc %05"); }},
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, FormatsAsCeDoes) {
  const FormatCase& c = GetParam();
  WCHAR buffer[host::kWsprintfCapacity];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  int length = c.format(buffer);
  ASSERT_EQ(length, static_cast<int>(c.expected.size()));
  EXPECT_EQ(host::Utf8(std::u16string_view(buffer, length)), host::Utf8(c.expected));
  EXPECT_EQ(buffer[length], 0);
}

INSTANTIATE_TEST_SUITE_P(Wsprintf, FormatTest, ::testing::ValuesIn(kFormatCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A buffer larger than wsprintfW may use, with a sentinel after its bound.
struct BoundedBuffer {
  BoundedBuffer() { std::fill(std::begin(chars), std::end(chars), u'#'); }
  std::u16string_view Text(int length) const { return {chars, static_cast<std::size_t>(length)}; }
  WCHAR chars[host::kWsprintfCapacity + 16];
};

TEST(WsprintfBound, LongOutputStopsAt1023CharactersAndKeepsTerminator) {
  std::u16string a(1000, u'a');
  std::u16string b(1000, u'b');
  BoundedBuffer buffer;
  int length = wsprintfW(buffer.chars, u"%s%s", a.c_str(), b.c_str());
  EXPECT_EQ(length, 1023);
  EXPECT_EQ(buffer.Text(1023), a + std::u16string(23, u'b'));
  EXPECT_EQ(buffer.chars[1023], 0);
  EXPECT_EQ(buffer.chars[1024], u'#');
}

TEST(WsprintfBound, OutputOfExactly1023CharactersIsWhole) {
  std::u16string text(1020, u'x');
  BoundedBuffer buffer;
  int length = wsprintfW(buffer.chars, u"%s%d", text.c_str(), 123);
  EXPECT_EQ(length, 1023);
  EXPECT_EQ(buffer.Text(length), text + u"123");
  EXPECT_EQ(buffer.chars[1023], 0);
}

TEST(WsprintfBound, PaddingWiderThanTheBoundIsCut) {
  BoundedBuffer buffer;
  int length = wsprintfW(buffer.chars, u"%2000d", 5);
  EXPECT_EQ(length, 1023);
  EXPECT_EQ(buffer.Text(length), std::u16string(1023, u' '));
  EXPECT_EQ(buffer.chars[1023], 0);
  EXPECT_EQ(buffer.chars[1024], u'#');

  length = wsprintfW(buffer.chars, u"%-99999999999d|", 5);
  EXPECT_EQ(length, 1023);
  EXPECT_EQ(buffer.chars[0], u'5');
  EXPECT_EQ(buffer.chars[1022], u' ');
}

int FormatInto(WCHAR* buffer, std::size_t capacity, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  int length = host::VFormatWide(buffer, capacity, format, args);
  va_end(args);
  return length;
}

TEST(VFormatWide, SmallCapacityTruncatesAndTerminates) {
  struct {
    std::size_t capacity;
    std::u16string_view expected;
  } const cases[] = {{5, u"ab-1"}, {2, u"a"}, {1, u""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    WCHAR buffer[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    int length = FormatInto(buffer, c.capacity, u"ab%d%s", -12, u"xyz");
    EXPECT_EQ(std::u16string_view(buffer, length), c.expected);
    EXPECT_EQ(buffer[length], 0);
    EXPECT_EQ(buffer[c.capacity], u'#');
  }
}

TEST(VFormatWide, ZeroCapacityWritesNothing) {
  WCHAR buffer[1] = {u'#'};
  EXPECT_EQ(FormatInto(buffer, 0, u"abc"), 0);
  EXPECT_EQ(buffer[0], u'#');
}

struct DebugCase {
  const char* name;
  const char* expected;
  std::function<void()> print;
};
void PrintTo(const DebugCase& c, std::ostream* os) { *os << c.name; }

const DebugCase kDebugCases[] = {
    {"AddsNewline", "Imbrel 2.9\n", [] { NKDbgPrintfW(u"Imbrel %d.%d", 2, 9); }},
    {"KeepsOwnNewline", "Erase 00040000\n", [] { NKDbgPrintfW(u"Erase %.8x\n", 0x40000); }},
    {"CarriageReturnAtEndIsDropped", "not supported\nsent\r\n",
     [] {
       NKDbgPrintfW(u"not %s\n\r", u"supported");
       NKDbgPrintfW(u"sent\r\n");
     }},
    {"EmptyIsOneNewline", "\n", [] { NKDbgPrintfW(u""); }},
    {"WritesUtf8",
     "Gr\xC3\xBC\xC3\x9F"
     "e \xE2\x82\xAC\n",
     [] { NKDbgPrintfW(u"Gr\u00fc\u00dfe %s", u"\u20ac"); }},
};

class DebugPrintTest : public ::testing::TestWithParam<DebugCase> {};

TEST_P(DebugPrintTest, WritesOneLineToStandardError) {
  ::testing::internal::CaptureStderr();
  GetParam().print();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(NKDbgPrintfW, DebugPrintTest, ::testing::ValuesIn(kDebugCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
