// Tests of the day-number, time and timestamp encodings.
#include "engine/storage/date_time.h"

#include <gtest/gtest.h>

namespace reruzo {
namespace {

TEST(DateTime, FixedPointsOfTheDayNumber) {
    EXPECT_EQ(DateToDayNumber({1, 1, 1}), 1);
    EXPECT_EQ(DateToDayNumber({1899, 12, 30}), kDaysTo18991230);
    EXPECT_EQ(DateToDayNumber({2000, 3, 1}) - DateToDayNumber({2000, 2, 28}), 2);  // leap
    EXPECT_EQ(DateToDayNumber({1900, 3, 1}) - DateToDayNumber({1900, 2, 28}), 1);  // not leap
    EXPECT_EQ(DateToDayNumber({9999, 12, 31}), 3652059);
}

TEST(DateTime, EveryDayNumberRoundTrips) {
    std::int32_t expected = 1;
    for (std::int32_t day = 1; day <= 3652059; day += 1) {
        auto d = DayNumberToDate(day);
        ASSERT_TRUE(d.has_value()) << day;
        ASSERT_TRUE(IsValidDate(*d)) << day;
        ASSERT_EQ(DateToDayNumber(*d), expected) << day;
        ++expected;
    }
    EXPECT_FALSE(DayNumberToDate(0));
    EXPECT_FALSE(DayNumberToDate(3652060));
    EXPECT_EQ(*DayNumberToDate(693594), (TCalendarDate{1899, 12, 30}));
    EXPECT_EQ(*DayNumberToDate(DateToDayNumber({2004, 2, 29})), (TCalendarDate{2004, 2, 29}));
}

TEST(DateTime, TimesAndTimeStamps) {
    EXPECT_EQ(TimeToMilliseconds({1, 2, 3, 4}), 3723004);
    EXPECT_EQ(*MillisecondsToTime(86399999), (TClockTime{23, 59, 59, 999}));
    EXPECT_FALSE(MillisecondsToTime(86400000));
    EXPECT_FALSE(MillisecondsToTime(-1));
    const double ts = ToTimeStamp(693594, 43200000);
    EXPECT_DOUBLE_EQ(ts, 693594.0 * 86400000 + 43200000);
    auto parts = SplitTimeStamp(ts);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->day, 693594);
    EXPECT_EQ(parts->ms, 43200000);
    EXPECT_FALSE(SplitTimeStamp(-5));
    // The header's last-updated value: days since 1899-12-30 (with the time as
    // fraction) minus 693594.
    EXPECT_DOUBLE_EQ(HeaderLastUpdated(693594 + 10, 43200000), 10.5 - 693594);
}

TEST(DateTime, CalendarRules) {
    EXPECT_FALSE(IsValidDate({1900, 2, 29}));
    EXPECT_TRUE(IsValidDate({2000, 2, 29}));
    EXPECT_FALSE(IsValidDate({2001, 13, 1}));
    EXPECT_FALSE(IsValidDate({0, 1, 1}));
    EXPECT_FALSE(IsValidTime({24, 0, 0, 0}));
}

}  // namespace
}  // namespace reruzo
