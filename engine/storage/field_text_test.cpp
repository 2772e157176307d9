// Field data as text: the written-out forms of every type with both Boolean wordings,
// the plain forms of a record's fields (damaged dates and times keep their numbers),
// and reading the plain date and time forms.
#include "engine/storage/field_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"

namespace reruzo {
namespace {

template <typename T>
std::vector<std::uint8_t> LE(T value) {
    std::vector<std::uint8_t> out(sizeof value);
    PutLE(out.data(), value);
    return out;
}

std::optional<std::string> Written(std::uint8_t type, const std::vector<std::uint8_t>& data,
                                   TBooleanWords words = TBooleanWords::Capitalised) {
    return FieldDataText(type, data, words);
}

TEST(FieldText, WrittenOutFormOfEveryType) {
    EXPECT_EQ(Written(kFieldString, {'a', 'b', 0, 'x'}), "ab");
    EXPECT_EQ(Written(kFieldSmallInt, LE<std::int16_t>(-5)), "-5");
    EXPECT_EQ(Written(kFieldWord, LE<std::uint16_t>(65535)), "65535");
    EXPECT_EQ(Written(kFieldInteger, LE<std::int32_t>(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(Written(kFieldLargeInt, LE<std::int64_t>(9007199254740993)), "9007199254740993");
    EXPECT_EQ(Written(kFieldBoolean, LE<std::uint16_t>(1)), "True");
    EXPECT_EQ(Written(kFieldBoolean, LE<std::uint16_t>(0)), "False");
    EXPECT_EQ(Written(kFieldBoolean, LE<std::uint16_t>(1), TBooleanWords::Upper), "TRUE");
    EXPECT_EQ(Written(kFieldBoolean, LE<std::uint16_t>(0), TBooleanWords::Upper), "FALSE");
    EXPECT_EQ(Written(kFieldFloat, LE(0.1)), "0.1");
    std::vector<std::uint8_t> bcd(kBcdSize);
    CurrencyToBcd(-125000, bcd);
    EXPECT_EQ(Written(kFieldBCD, bcd), "-12.5");
    EXPECT_EQ(Written(kFieldDate, LE<std::int32_t>(693594)), "1899-12-30");
    EXPECT_EQ(Written(kFieldDate, LE<std::int32_t>(0)), "");
    EXPECT_EQ(Written(kFieldTime, LE<std::int32_t>(TimeToMilliseconds({14, 5, 0, 0}))), "02:05 PM");
    EXPECT_EQ(Written(kFieldTimeStamp, LE(ToTimeStamp(693594, TimeToMilliseconds({0, 0, 1, 5})))),
              "1899-12-30 12:00:01.5 AM");
    EXPECT_EQ(Written(kFieldTimeStamp, LE(-1.0)), "");
    EXPECT_EQ(Written(kFieldBytes, {0, 'A', 0}), std::string("\0A\0", 3));
    EXPECT_FALSE(Written(kFieldBlob, LE<std::int32_t>(7)));
    EXPECT_FALSE(Written(kFieldForeignInteger, LE<std::int32_t>(7)));
}

TEST(FieldText, PlainFormsOfARecord) {
    using TKind = TPlainValue::TKind;
    std::vector<TFieldDesc> fields = {
        MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 8),
        MakeFieldDesc("ok", kFieldBoolean),  MakeFieldDesc("price", kFieldBCD),
        MakeFieldDesc("day", kFieldDate),    MakeFieldDesc("at", kFieldTime),
        MakeFieldDesc("stamp", kFieldTimeStamp), MakeFieldDesc("raw", kFieldBytes, 2),
        MakeFieldDesc("memo", kFieldBlob, 0, kSubMemo), MakeFieldDesc("none", kFieldFloat)};
    std::vector<std::uint8_t> record(LayoutRecord(fields), 0);
    PutLE<std::int32_t>(record.data() + 5, 42);
    PutStringField(record, fields[1], "\xC4\xE3", {});
    PutBooleanField(record, fields[2], 1);
    std::vector<std::uint8_t> bcd(kBcdSize);
    CurrencyToBcd(30000, bcd);
    PutFieldData(record, fields[3], bcd, {});
    PutIntegerField(record, fields[4], 693594);
    PutIntegerField(record, fields[5], TimeToMilliseconds({23, 59, 58, 7}));
    PutFloatField(record, fields[6], ToTimeStamp(693595, 1));
    const std::uint8_t raw[] = {0xAB, 0x01};
    PutFieldData(record, fields[7], raw, {});
    PutBlobReference(record, fields[8], 3, 10);

    const TPlainValue id = FieldPlainValue(record, fields[0]);
    EXPECT_EQ(id.kind, TKind::Integer);
    EXPECT_EQ(id.integer, 42);
    const TPlainValue name = FieldPlainValue(record, fields[1]);
    EXPECT_EQ(name.kind, TKind::String);
    EXPECT_EQ(name.text, "\xC4\xE3");
    EXPECT_EQ(FieldPlainValue(record, fields[2]).kind, TKind::Boolean);
    EXPECT_TRUE(FieldPlainValue(record, fields[2]).boolean);
    EXPECT_EQ(FieldPlainValue(record, fields[3]).text, "3");
    EXPECT_EQ(FieldPlainValue(record, fields[4]).text, "1899-12-30");
    EXPECT_EQ(FieldPlainValue(record, fields[5]).text, "23:59:58.007");
    EXPECT_EQ(FieldPlainValue(record, fields[6]).text, "1899-12-31 00:00:00.001");
    const TPlainValue bytes = FieldPlainValue(record, fields[7]);
    EXPECT_EQ(bytes.kind, TKind::Bytes);
    EXPECT_EQ(bytes.text, "\xAB\x01");
    EXPECT_EQ(FieldPlainValue(record, fields[8]).kind, TKind::Null) << "a BLOB's contents are no plain value";
    EXPECT_EQ(FieldPlainValue(record, fields[9]).kind, TKind::Null);

    // Values the calendar cannot show keep their stored numbers.
    PutIntegerField(record, fields[4], -3);
    PutIntegerField(record, fields[5], 86400000);
    PutFloatField(record, fields[6], -2.5);
    const TPlainValue day = FieldPlainValue(record, fields[4]);
    EXPECT_EQ(day.kind, TKind::Integer);
    EXPECT_EQ(day.integer, -3);
    EXPECT_EQ(FieldPlainValue(record, fields[5]).integer, 86400000);
    const TPlainValue stamp = FieldPlainValue(record, fields[6]);
    EXPECT_EQ(stamp.kind, TKind::Float);
    EXPECT_EQ(stamp.number, -2.5);
}

TEST(FieldText, ReadingPlainDatesAndTimes) {
    EXPECT_EQ(ParseIsoDate("1899-12-30"), 693594);
    EXPECT_EQ(ParseIsoDate("2024-02-29"), DateToDayNumber({2024, 2, 29}));
    EXPECT_FALSE(ParseIsoDate("2023-02-29"));
    EXPECT_FALSE(ParseIsoDate("2023-2-28"));
    EXPECT_FALSE(ParseIsoDate("2023-02-28 "));
    EXPECT_EQ(ParseIsoTime("23:59:58.007"), TimeToMilliseconds({23, 59, 58, 7}));
    EXPECT_EQ(ParseIsoTime("00:00:01"), 1000);
    EXPECT_FALSE(ParseIsoTime("24:00:00"));
    EXPECT_FALSE(ParseIsoTime("12:00:00.5"));
    EXPECT_FALSE(ParseIsoTime("12:00"));
    EXPECT_EQ(IsoTimeText(TimeToMilliseconds({9, 8, 7, 6})), "09:08:07.006");
    EXPECT_FALSE(IsoTimeText(-1));
}

}  // namespace
}  // namespace reruzo
