#include "host/system/calendar.h"

#include <cstdio>

namespace host {

namespace {

constexpr std::int64_t kDaysFrom1601To1970 = 134774;
constexpr std::uint64_t kTicksPerDay = 86400 * kTicksPerSecond;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian, any year): the
// year is counted from March, so that the leap day is the last day of its year.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int DayOfWeek(int year, int month, int day) {
  // 1970-01-01 was a Thursday.
  std::int64_t days = DaysFromCivil(year, month, day);
  return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

CivilTime CivilFromTicks(std::uint64_t ticks) {
  CivilTime t;
  std::uint64_t days = ticks / kTicksPerDay;
  std::uint64_t rest = ticks % kTicksPerDay;
  std::int64_t year;
  CivilFromDays(static_cast<std::int64_t>(days) - kDaysFrom1601To1970, &year, &t.month, &t.day);
  t.year = static_cast<int>(year);
  // 1601-01-01 was a Monday.
  t.day_of_week = static_cast<int>((days + 1) % 7);
  t.hour = static_cast<int>(rest / (3600 * kTicksPerSecond));
  t.minute = static_cast<int>(rest / (60 * kTicksPerSecond) % 60);
  t.second = static_cast<int>(rest / kTicksPerSecond % 60);
  t.millisecond = static_cast<int>(rest / 10000 % 1000);
  return t;
}

std::optional<std::uint64_t> TicksFromCivil(const CivilTime& t) {
  if (t.year < 1601 || t.year > kLastYear || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
      t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59 ||
      t.millisecond < 0 || t.millisecond > 999) {
    return std::nullopt;
  }
  std::int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDaysFrom1601To1970;
  std::uint64_t seconds =
      static_cast<std::uint64_t>(days) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return seconds * kTicksPerSecond + static_cast<std::uint64_t>(t.millisecond) * 10000;
}

std::uint64_t TicksFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t kEpochSeconds =
      static_cast<std::int64_t>(kUnixEpochTicks / kTicksPerSecond);
  if (seconds < -kEpochSeconds) return 0;
  return static_cast<std::uint64_t>(seconds + kEpochSeconds) * kTicksPerSecond +
         static_cast<std::uint64_t>(nanoseconds / 100);
}

void UnixFromTicks(std::uint64_t ticks, std::int64_t* seconds, std::int64_t* nanoseconds) {
  *seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond) -
             static_cast<std::int64_t>(kUnixEpochTicks / kTicksPerSecond);
  *nanoseconds = static_cast<std::int64_t>(ticks % kTicksPerSecond) * 100;
}

std::optional<std::uint64_t> ParseIsoTime(std::string_view text) {
  CivilTime t;
  char separator = 0;
  int used = 0;
  std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &separator,
                  &t.hour, &t.minute, &t.second, &used) != 7 ||
      static_cast<std::size_t>(used) != copy.size() || (separator != 'T' && separator != ' ') ||
      copy.size() != 19) {
    return std::nullopt;
  }
  return TicksFromCivil(t);
}

std::string FormatTicks(std::uint64_t ticks) {
  CivilTime t = CivilFromTicks(ticks);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

}  // namespace host
