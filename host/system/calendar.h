// The Gregorian calendar of file times: FILETIME ticks (100 ns since 1601-01-01 UTC), host
// times (seconds since 1970) and the "2009-03-07T00:00:00" text the host tools use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace host {

/// Ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;
constexpr std::uint64_t kTicksPerSecond = 10000000ull;
/// The last year a SYSTEMTIME can hold.
constexpr int kLastYear = 30827;

struct CivilTime {
  int year = 1601;
  int month = 1;        // 1..12
  int day = 1;          // 1..31
  int day_of_week = 1;  // 0 = Sunday
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

bool IsLeapYear(int year);
/// 28..31; 0 for a month outside 1..12.
int DaysInMonth(int year, int month);
/// 0 = Sunday.
int DayOfWeek(int year, int month, int day);

/// The calendar time of `ticks` (any value: the year may pass kLastYear).
CivilTime CivilFromTicks(std::uint64_t ticks);
/// Ticks of a valid date and time from 1601 on; nullopt otherwise.
std::optional<std::uint64_t> TicksFromCivil(const CivilTime& time);

/// Ticks of a host time; times before 1601 give 0.
std::uint64_t TicksFromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0);
/// Seconds since 1970 (negative before) and the nanoseconds left over.
void UnixFromTicks(std::uint64_t ticks, std::int64_t* seconds, std::int64_t* nanoseconds);

/// "YYYY-MM-DDTHH:MM:SS" (or with a blank for the T), UTC; nullopt when it is not a valid
/// time from 1601 to kLastYear.
std::optional<std::uint64_t> ParseIsoTime(std::string_view text);
/// "2009-03-07 00:00:00".
std::string FormatTicks(std::uint64_t ticks);

}  // namespace host
