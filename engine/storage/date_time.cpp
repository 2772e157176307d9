// Conversions between calendar values and the engine's day-number encodings.
#include "engine/storage/date_time.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

namespace reruzo {

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(const TCalendarDate& d) {
    return d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
           d.day <= DaysInMonth(d.year, d.month);
}

bool IsValidTime(const TClockTime& t) {
    return t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
           t.second < 60 && t.millisecond >= 0 && t.millisecond < 1000;
}

std::int32_t DateToDayNumber(const TCalendarDate& d) {
    const int y = d.year - 1;
    std::int32_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < d.month; ++m) days += DaysInMonth(d.year, m);
    return days + d.day;
}

std::optional<TCalendarDate> DayNumberToDate(std::int32_t day) {
    if (day < 1 || day > DateToDayNumber({9999, 12, 31})) return std::nullopt;
    // Whole 400-, 100-, 4- and 1-year cycles, counted from day 0 = 0000-12-31.
    std::int32_t n = day - 1;
    const int q400 = n / 146097;
    n %= 146097;
    int q100 = n / 36524;
    if (q100 == 4) q100 = 3;
    n -= q100 * 36524;
    const int q4 = n / 1461;
    n %= 1461;
    int q1 = n / 365;
    if (q1 == 4) q1 = 3;
    n -= q1 * 365;
    TCalendarDate d;
    d.year = q400 * 400 + q100 * 100 + q4 * 4 + q1 + 1;
    d.month = 1;
    while (n >= DaysInMonth(d.year, d.month)) n -= DaysInMonth(d.year, d.month++);
    d.day = n + 1;
    return d;
}

std::int32_t TimeToMilliseconds(const TClockTime& t) {
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

std::optional<TClockTime> MillisecondsToTime(std::int32_t ms) {
    if (ms < 0 || ms >= kMsPerDay) return std::nullopt;
    return TClockTime{ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
}

double ToTimeStamp(std::int32_t day, std::int32_t ms) {
    return static_cast<double>(static_cast<std::int64_t>(day) * kMsPerDay + ms);
}

std::optional<TTimeStampParts> SplitTimeStamp(double stamp) {
    if (!std::isfinite(stamp) || stamp < 0 || stamp > 1e15) return std::nullopt;
    const auto whole = static_cast<std::int64_t>(std::llround(stamp));
    const auto day = static_cast<std::int32_t>(whole / kMsPerDay);
    const auto ms = static_cast<std::int32_t>(whole % kMsPerDay);
    if (!DayNumberToDate(day)) return std::nullopt;
    return TTimeStampParts{day, ms};
}

double HeaderLastUpdated(std::int32_t day, std::int32_t ms) {
    const double sinceEpoch = (day - kDaysTo18991230) + static_cast<double>(ms) / kMsPerDay;
    return sinceEpoch - kDaysTo18991230;
}

namespace {
std::tm LocalNow(int* millis) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    if (millis) {
        *millis = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000);
    }
    return tm;
}
}  // namespace

TCalendarDate Today() {
    const std::tm tm = LocalNow(nullptr);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

TClockTime TimeOfDayNow() {
    int ms = 0;
    const std::tm tm = LocalNow(&ms);
    return {tm.tm_hour, tm.tm_min, std::min(tm.tm_sec, 59), ms};
}

}  // namespace reruzo
