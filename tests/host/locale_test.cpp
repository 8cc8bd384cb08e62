// Date and time pictures of the module's locale, flags, buffer sizes and invalid dates.

#include <gtest/gtest.h>

#include <string>

#include "ce/files.h"
#include "ce/kernel.h"
#include "host/system/text.h"

namespace {

SYSTEMTIME Date(int year, int month, int day) {
  SYSTEMTIME t = {};
  t.wYear = static_cast<WORD>(year);
  t.wMonth = static_cast<WORD>(month);
  t.wDay = static_cast<WORD>(day);
  t.wDayOfWeek = 3;  // wrong on purpose: the day of the week follows from the date
  return t;
}

SYSTEMTIME Time(int hour, int minute, int second) {
  SYSTEMTIME t = Date(2009, 3, 7);
  t.wHour = static_cast<WORD>(hour);
  t.wMinute = static_cast<WORD>(minute);
  t.wSecond = static_cast<WORD>(second);
  return t;
}

std::string FormatDate(const SYSTEMTIME& t, const char16_t* picture, DWORD flags = 0,
                       LCID locale = LOCALE_SYSTEM_DEFAULT) {
  WCHAR out[128];
  int n = GetDateFormatW(locale, flags, &t, picture, out, 128);
  if (n == 0) return "<failed " + std::to_string(GetLastError()) + ">";
  EXPECT_EQ(static_cast<std::size_t>(n), std::u16string(out).size() + 1);
  return host::Utf8(out);
}

std::string FormatTime(const SYSTEMTIME& t, const char16_t* picture, DWORD flags = 0) {
  WCHAR out[128];
  int n = GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, flags, &t, picture, out, 128);
  if (n == 0) return "<failed " + std::to_string(GetLastError()) + ">";
  EXPECT_EQ(static_cast<std::size_t>(n), std::u16string(out).size() + 1);
  return host::Utf8(out);
}

TEST(GetDateFormatW, Pictures) {
  struct Case {
    SYSTEMTIME date;
    const char16_t* picture;
    DWORD flags;
    const char* expected;
  };
  const SYSTEMTIME march7 = Date(2009, 3, 7);
  const Case cases[] = {
      {march7, u"dd MMM yyyy", 0, "07 Mar 2009"},
      {march7, u"d/M/y", 0, "7/3/9"},
      {march7, u"dddd, MMMM dd, yy", 0, "Saturday, March 07, 09"},
      {march7, u"ddd MMM", 0, "Sat Mar"},
      {march7, u"ddddd MMMMM yyyyy", 0, "Saturday March 2009"},
      {march7, u"yyyy-MM-dd", 0, "2009-03-07"},
      {march7, u"'Built' d 'of' MMMM", 0, "Built 7 of March"},
      {march7, u"'It''s' yyyy", 0, "It's 2009"},
      {march7, u"h:mm, 'dd'", 0, "h:mm, dd"},  // time letters are plain text in a date
      {march7, nullptr, 0, "3/7/2009"},
      {march7, nullptr, LOCALE_NOUSEROVERRIDE, "3/7/2009"},
      {Date(2008, 12, 25), u"dddd", 0, "Thursday"},
      {Date(2008, 2, 29), u"ddd d MMM", 0, "Fri 29 Feb"},
      {Date(2000, 2, 29), u"dddd", 0, "Tuesday"},
      {Date(1601, 1, 1), u"dddd d MMMM yyyy", 0, "Monday 1 January 1601"},
      {Date(2010, 11, 30), u"M MM MMM MMMM", 0, "11 11 Nov November"},
      {Date(2007, 1, 5), u"yy y", 0, "07 7"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatDate(c.date, c.picture, c.flags), c.expected)
        << (c.picture ? host::Utf8(c.picture) : "(null)");
  }
  // The user default locale is the same English (United States).
  EXPECT_EQ(FormatDate(march7, u"dd MMM yyyy", 0, LOCALE_USER_DEFAULT), "07 Mar 2009");
  EXPECT_EQ(FormatDate(march7, u"dd", 0, 0x0407), "<failed 87>");
}

TEST(GetDateFormatW, InvalidDatesFail) {
  const SYSTEMTIME dates[] = {Date(2009, 0, 7),  Date(2009, 13, 7), Date(2009, 3, 0),
                              Date(2009, 3, 32), Date(2009, 2, 29), Date(2009, 4, 31),
                              Date(1900, 2, 29), SYSTEMTIME{}};
  for (const SYSTEMTIME& date : dates) {
    EXPECT_EQ(FormatDate(date, u"dd MMM yyyy"), "<failed 87>")
        << date.wYear << "-" << date.wMonth << "-" << date.wDay;
  }
  EXPECT_EQ(FormatDate(Date(2009, 4, 30), u"dd MMM"), "30 Apr");
}

TEST(GetDateFormatW, SizesCountTheTerminator) {
  SYSTEMTIME t = Date(2009, 3, 7);
  WCHAR out[16];
  std::fill(std::begin(out), std::end(out), u'#');
  // Size 0 asks for the size and writes nothing.
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", out, 0), 12);
  EXPECT_EQ(out[0], u'#');
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", nullptr, 0), 12);
  SetLastError(0);
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", out, 11), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &t, u"dd MMM yyyy", out, 12), 12);
  EXPECT_EQ(std::u16string(out), u"07 Mar 2009");
  EXPECT_EQ(out[12], u'#');
}

TEST(GetTimeFormatW, PicturesAndFlags) {
  struct Case {
    SYSTEMTIME time;
    const char16_t* picture;
    DWORD flags;
    const char* expected;
  };
  const DWORD kForce24 = LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT;  // 0x80000008
  const Case cases[] = {
      {Time(0, 0, 0), nullptr, kForce24, "00:00:00"},
      {Time(13, 56, 13), nullptr, kForce24, "13:56:13"},
      {Time(8, 5, 3), nullptr, TIME_FORCE24HOURFORMAT, "08:05:03"},
      {Time(0, 0, 0), nullptr, 0, "12:00:00 AM"},
      {Time(12, 0, 0), nullptr, 0, "12:00:00 PM"},
      {Time(13, 56, 13), nullptr, LOCALE_NOUSEROVERRIDE, "1:56:13 PM"},
      {Time(8, 5, 3), u"hh:mm:ss tt", 0, "08:05:03 AM"},
      {Time(13, 56, 13), u"h:m:s t", 0, "1:56:13 P"},
      {Time(14, 5, 3), u"h hh H HH m mm s ss t tt", 0, "2 02 14 14 5 05 3 03 P PM"},
      {Time(0, 0, 0), u"h/H/hh/HH", 0, "12/0/12/00"},
      {Time(8, 56, 13), u"hhh HHH mmm sss", 0, "08 08 56 13"},
      {Time(8, 5, 3), u"'at' h 'o''clock'", 0, "at 8 o'clock"},
      // Forced 24 hours: h and hh count to 23 and the marker goes with its separator.
      {Time(13, 56, 13), u"h:mm tt", TIME_FORCE24HOURFORMAT, "13:56"},
      {Time(0, 7, 0), u"h:mm tt", TIME_FORCE24HOURFORMAT, "0:07"},
      {Time(8, 5, 3), u"tt hh:mm", TIME_FORCE24HOURFORMAT, "08:05"},
      {Time(8, 56, 13), u"h:m:s tt", TIME_NOSECONDS, "8:56 AM"},
      {Time(8, 56, 13), u"h.@:m.@:s.@:tt", TIME_NOSECONDS, "8.@:56AM"},
      {Time(8, 56, 13), nullptr, TIME_NOMINUTESORSECONDS, "8 AM"},
      {Time(13, 56, 13), u"h1t2tt3m", TIME_NOTIMEMARKER, "156"},
      {Time(8, 56, 13), u"'123'tt", TIME_NOTIMEMARKER, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatTime(c.time, c.picture, c.flags), c.expected)
        << (c.picture ? host::Utf8(c.picture) : "(null)") << " flags " << std::hex << c.flags;
  }
}

TEST(GetTimeFormatW, InvalidTimesAndSizes) {
  for (SYSTEMTIME t : {Time(24, 0, 0), Time(23, 60, 0), Time(23, 59, 60)}) {
    EXPECT_EQ(FormatTime(t, nullptr), "<failed 87>") << t.wHour << ":" << t.wMinute;
  }
  // The date does not matter to a time.
  SYSTEMTIME t = Time(7, 8, 9);
  t.wMonth = 60;
  EXPECT_EQ(FormatTime(t, u"HH:mm"), "07:08");

  SYSTEMTIME midnight = Time(0, 0, 0);
  WCHAR out[16];
  EXPECT_EQ(
      GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &midnight, nullptr, out, 0), 9);
  SetLastError(0);
  EXPECT_EQ(
      GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &midnight, nullptr, out, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &midnight, nullptr, nullptr, 5), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
