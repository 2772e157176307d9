// Calendar encodings of the table engine. A date is a day number in which
// 0001-01-01 is day 1 (so 1899-12-30 is day 693594); a time is milliseconds since
// midnight; a timestamp is day number * 86400000 + milliseconds since midnight,
// kept as a float64. All use the proleptic Gregorian calendar.
#pragma once

#include <cstdint>
#include <optional>

namespace reruzo {

inline constexpr std::int32_t kDaysTo18991230 = 693594;
inline constexpr std::int64_t kMsPerDay = 86400000;

struct TCalendarDate {
    int year = 1;
    int month = 1;
    int day = 1;
    friend bool operator==(const TCalendarDate&, const TCalendarDate&) = default;
};

struct TClockTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    friend bool operator==(const TClockTime&, const TClockTime&) = default;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(const TCalendarDate& d);
bool IsValidTime(const TClockTime& t);

// Day number of a valid calendar date (1..9999 years).
std::int32_t DateToDayNumber(const TCalendarDate& d);
// Calendar date of a day number; nullopt outside 0001-01-01 .. 9999-12-31.
std::optional<TCalendarDate> DayNumberToDate(std::int32_t day);

std::int32_t TimeToMilliseconds(const TClockTime& t);
// Clock time of a millisecond count; nullopt outside 0 .. 86399999.
std::optional<TClockTime> MillisecondsToTime(std::int32_t ms);

double ToTimeStamp(std::int32_t day, std::int32_t ms);
// Splits a timestamp into day number and milliseconds; nullopt when it does not name
// a representable date.
struct TTimeStampParts {
    std::int32_t day;
    std::int32_t ms;
};
std::optional<TTimeStampParts> SplitTimeStamp(double stamp);

// The header's informational "last updated" value: a day count since 1899-12-30 with
// the time as fraction, minus 693594.
double HeaderLastUpdated(std::int32_t day, std::int32_t ms);

// Local date and time now.
TCalendarDate Today();
TClockTime TimeOfDayNow();

}  // namespace reruzo
