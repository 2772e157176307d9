// Tests of the value text conversions and of the validity of value texts per type.
#include "engine/storage/value_text.h"

#include <gtest/gtest.h>

#include "engine/storage/data_format.h"

namespace reruzo {
namespace {

TEST(ValueText, IntegerConversion) {
    EXPECT_EQ(ParseInt32("42"), 42);
    EXPECT_EQ(ParseInt32("  -7"), -7);
    EXPECT_EQ(ParseInt32("+7"), 7);
    EXPECT_EQ(ParseInt32("$FFFFFFFF"), -1);  // hexadecimal is a bit pattern
    EXPECT_EQ(ParseInt32("0x7fffffff"), INT32_MAX);
    EXPECT_EQ(ParseInt32("X10"), 16);
    EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
    EXPECT_FALSE(ParseInt32("4294967295"));  // too big in decimal
    EXPECT_FALSE(ParseInt32("2147483648"));
    EXPECT_FALSE(ParseInt32("$100000000"));
    EXPECT_FALSE(ParseInt32("12 "));
    EXPECT_FALSE(ParseInt32(""));
    EXPECT_FALSE(ParseInt32("$"));
    EXPECT_FALSE(ParseInt32("-"));
    EXPECT_FALSE(ParseInt32("1.5"));
    EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_FALSE(ParseInt64("9223372036854775808"));
}

TEST(ValueText, DatesTimesAndBooleans) {
    EXPECT_EQ(ParseDate("2004-2-29")->day, 29);
    EXPECT_FALSE(ParseDate("2003-2-29"));
    EXPECT_FALSE(ParseDate("2003/2/1"));
    EXPECT_EQ(*ParseTime("13:05"), (TClockTime{13, 5, 0, 0}));
    EXPECT_EQ(*ParseTime("1:02:03.4"), (TClockTime{1, 2, 3, 4}));
    EXPECT_EQ(ParseTime("12:00 AM")->hour, 0);
    EXPECT_EQ(ParseTime("12:30 pm")->hour, 12);
    EXPECT_EQ(ParseTime("1:00 PM")->hour, 13);
    EXPECT_FALSE(ParseTime("13:00 PM"));
    EXPECT_FALSE(ParseTime("25:00"));
    auto ts = ParseTimeStamp("1999-12-31 23:59:59");
    ASSERT_TRUE(ts);
    EXPECT_EQ(ts->date.year, 1999);
    EXPECT_EQ(ts->time.second, 59);
    EXPECT_EQ(ParseBoolean("tRuE"), true);
    EXPECT_EQ(ParseBoolean("FALSE"), false);
    EXPECT_FALSE(ParseBoolean("yes"));
    EXPECT_DOUBLE_EQ(*ParseFloat("-1.25e2"), -125.0);
    EXPECT_FALSE(ParseFloat("1,5"));
}

TEST(ValueText, ValidityPerFieldType) {
    EXPECT_TRUE(IsValidValueText(kFieldInteger, ""));
    EXPECT_TRUE(IsValidValueText(kFieldString, "anything at all"));
    EXPECT_TRUE(IsValidValueText(kFieldSmallInt, "-32768"));
    EXPECT_FALSE(IsValidValueText(kFieldSmallInt, "32768"));
    EXPECT_FALSE(IsValidValueText(kFieldWord, "-1"));
    EXPECT_TRUE(IsValidValueText(kFieldWord, "65535"));
    EXPECT_FALSE(IsValidValueText(kFieldInteger, "ten"));
    EXPECT_TRUE(IsValidValueText(kFieldBoolean, "true"));
    EXPECT_TRUE(IsValidValueText(kFieldDate, "current_date"));
    EXPECT_FALSE(IsValidValueText(kFieldDate, "CURRENT_TIME"));
    EXPECT_TRUE(IsValidValueText(kFieldTime, "CURRENT_TIME"));
    EXPECT_TRUE(IsValidValueText(kFieldTimeStamp, "CURRENT_DATE"));
    EXPECT_TRUE(IsValidValueText(kFieldTimeStamp, "2001-01-01"));
    EXPECT_TRUE(IsValidValueText(kFieldTimeStamp, "10:00"));
    EXPECT_FALSE(IsValidValueText(kFieldTimeStamp, "soon"));
    EXPECT_TRUE(IsValidValueText(kFieldBlob, "whatever"));
}

}  // namespace
}  // namespace reruzo

namespace reruzo {
namespace {

TEST(ValueText, WrittenOutForms) {
    EXPECT_EQ(DateText(693594), "1899-12-30");
    EXPECT_EQ(DateText(0), "");
    EXPECT_EQ(TimeText(0), "12:00 AM");
    EXPECT_EQ(TimeText(TimeToMilliseconds({14, 5, 0, 0})), "02:05 PM");
    EXPECT_EQ(TimeText(TimeToMilliseconds({12, 0, 7, 0})), "12:00:07 PM");
    EXPECT_EQ(TimeText(TimeToMilliseconds({1, 2, 3, 40})), "01:02:03.40 AM");
    EXPECT_EQ(FloatText(2.5), "2.5");
    EXPECT_EQ(FloatText(0.1), "0.1");
}

}  // namespace
}  // namespace reruzo
