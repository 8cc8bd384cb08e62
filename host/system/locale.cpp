// Date and time formatting of the one locale the module has: English (United States), the
// system and user default. Pictures as Win32 documents them; what the host does not model:
// other locales, calendars and eras ("g"), and partial output into a buffer that is too small
// (it stays untouched).

#include <ctime>
#include <string>

#include "ce/files.h"
#include "ce/kernel.h"
#include "host/system/calendar.h"

namespace host {

namespace {

constexpr LCID kEnglishUnitedStates = 0x0409;
constexpr DWORD kErrorInvalidFlags = 1004;  // ERROR_INVALID_FLAGS
constexpr DWORD kDateShortDate = 0x1;       // DATE_SHORTDATE
constexpr DWORD kDateLongDate = 0x2;        // DATE_LONGDATE

const char16_t* const kDayNames[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                     u"Thursday", u"Friday", u"Saturday"};
const char16_t* const kDayAbbreviations[] = {u"Sun", u"Mon", u"Tue", u"Wed",
                                             u"Thu", u"Fri", u"Sat"};
const char16_t* const kMonthNames[] = {u"January",   u"February", u"March",    u"April",
                                       u"May",       u"June",     u"July",     u"August",
                                       u"September", u"October",  u"November", u"December"};
const char16_t* const kMonthAbbreviations[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                               u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

bool KnownLocale(LCID locale) {
  return locale == LOCALE_SYSTEM_DEFAULT || locale == LOCALE_USER_DEFAULT ||
         locale == kEnglishUnitedStates;
}

std::u16string Number(int value, int digits) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value);
  while (static_cast<int>(text.size()) < digits) text.insert(text.begin(), u'0');
  return text;
}

// Expands a picture. `field` gives a field's text for its letter and count, or nullopt when
// the letter is not a field; `dropped` says a field is left out together with its separator
// (the literal text before it, and the text after it up to a blank or the next field).
template <typename Field, typename Dropped>
std::u16string Expand(const char16_t* picture, Field field, Dropped dropped) {
  std::u16string out;
  std::size_t after_field = 0;  // where the text after the last field written starts
  bool skipping = false;        // in the separator after a dropped field
  for (const char16_t* p = picture; *p;) {
    if (*p == u'\'') {
      std::u16string quoted;
      for (++p; *p; ++p) {
        if (*p == u'\'') {
          if (p[1] != u'\'') {
            ++p;
            break;
          }
          ++p;
        }
        quoted += *p;
      }
      if (!skipping) out += quoted;
      continue;
    }
    char16_t letter = *p;
    int count = 0;
    while (*p == letter) ++p, ++count;
    if (std::optional<std::u16string> text = field(letter, count)) {
      if (dropped(letter)) {
        out.erase(after_field);
        skipping = true;
        continue;
      }
      out += *text;
      after_field = out.size();
      skipping = false;
      continue;
    }
    for (int i = 0; i < count; ++i) {
      // A blank ends the separator of a dropped field, unless nothing is written yet.
      if (skipping && letter == u' ' && !out.empty()) skipping = false;
      if (!skipping) out += letter;
    }
  }
  return out;
}

int Deliver(const std::u16string& text, LPWSTR out, int out_size) {
  int needed = static_cast<int>(text.size()) + 1;
  if (out_size == 0) return needed;
  if (needed > out_size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  text.copy(out, text.size());
  out[text.size()] = 0;
  return needed;
}

bool CheckCall(LCID locale, LPWSTR out, int out_size) {
  if (!KnownLocale(locale) || out_size < 0 || (!out && out_size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

SYSTEMTIME Now() {
  std::time_t now = std::time(nullptr);
  std::tm local;
  localtime_r(&now, &local);
  SYSTEMTIME t = {};
  t.wYear = static_cast<WORD>(local.tm_year + 1900);
  t.wMonth = static_cast<WORD>(local.tm_mon + 1);
  t.wDay = static_cast<WORD>(local.tm_mday);
  t.wDayOfWeek = static_cast<WORD>(local.tm_wday);
  t.wHour = static_cast<WORD>(local.tm_hour);
  t.wMinute = static_cast<WORD>(local.tm_min);
  t.wSecond = static_cast<WORD>(local.tm_sec);
  return t;
}

}  // namespace

}  // namespace host

int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                   int out_size) {
  if (!host::CheckCall(locale, out, out_size)) return 0;
  if (flags & ~(LOCALE_NOUSEROVERRIDE | host::kDateShortDate | host::kDateLongDate) ||
      (picture && (flags & (host::kDateShortDate | host::kDateLongDate))) ||
      (flags & host::kDateShortDate && flags & host::kDateLongDate)) {
    SetLastError(host::kErrorInvalidFlags);
    return 0;
  }
  SYSTEMTIME t = time ? *time : host::Now();
  int days = host::DaysInMonth(t.wYear, t.wMonth);
  if (days == 0 || t.wDay < 1 || t.wDay > days) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The day of the week follows from the date; the caller's wDayOfWeek is not read.
  int day_of_week = host::DayOfWeek(t.wYear, t.wMonth, t.wDay);
  if (!picture) picture = flags & host::kDateLongDate ? u"dddd, MMMM d, yyyy" : u"M/d/yyyy";
  auto field = [&](char16_t letter, int count) -> std::optional<std::u16string> {
    switch (letter) {
      case u'd':
        if (count >= 4) return host::kDayNames[day_of_week];
        if (count == 3) return host::kDayAbbreviations[day_of_week];
        return host::Number(t.wDay, count);
      case u'M':
        if (count >= 4) return host::kMonthNames[t.wMonth - 1];
        if (count == 3) return host::kMonthAbbreviations[t.wMonth - 1];
        return host::Number(t.wMonth, count);
      case u'y':
        if (count >= 3) return host::Number(t.wYear, 4);
        return host::Number(t.wYear % 100, count);
    }
    return std::nullopt;
  };
  return host::Deliver(host::Expand(picture, field, [](char16_t) { return false; }), out, out_size);
}

int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                   int out_size) {
  if (!host::CheckCall(locale, out, out_size)) return 0;
  if (flags & ~(LOCALE_NOUSEROVERRIDE | TIME_NOMINUTESORSECONDS | TIME_NOSECONDS |
                TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT)) {
    SetLastError(host::kErrorInvalidFlags);
    return 0;
  }
  SYSTEMTIME t = time ? *time : host::Now();
  if (t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool force24 = flags & TIME_FORCE24HOURFORMAT;
  // The locale's 24-hour time is "HH:mm:ss".
  if (!picture) picture = force24 ? u"HH:mm:ss" : u"h:mm:ss tt";
  auto field = [&](char16_t letter, int count) -> std::optional<std::u16string> {
    count = count > 2 ? 2 : count;
    switch (letter) {
      case u'h': {
        int hour = force24 ? t.wHour : (t.wHour % 12 == 0 ? 12 : t.wHour % 12);
        return host::Number(hour, count);
      }
      case u'H':
        return host::Number(t.wHour, count);
      case u'm':
        return host::Number(t.wMinute, count);
      case u's':
        return host::Number(t.wSecond, count);
      case u't': {
        std::u16string marker = t.wHour < 12 ? u"AM" : u"PM";
        return count == 1 ? marker.substr(0, 1) : marker;
      }
    }
    return std::nullopt;
  };
  auto dropped = [&](char16_t letter) {
    switch (letter) {
      case u't':
        return force24 || (flags & TIME_NOTIMEMARKER) != 0;
      case u'm':
        return (flags & TIME_NOMINUTESORSECONDS) != 0;
      case u's':
        return (flags & (TIME_NOMINUTESORSECONDS | TIME_NOSECONDS)) != 0;
    }
    return false;
  };
  return host::Deliver(host::Expand(picture, field, dropped), out, out_size);
}
