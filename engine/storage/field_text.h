// Field data as text: the one conversion from the bytes a field stores to what people
// and other programs read, shared by the dataset components, expressions and the
// engine tool.
//
// Two forms:
//   written-out  what a field shows as a string: integers in decimal, Booleans as
//                words, floats in their shortest exact form, BCD as decimal text,
//                dates "YYYY-MM-DD", times on a 12-hour clock ("02:05 PM"), a
//                timestamp as date, blank, time; strings up to their first zero byte;
//                bytes as they are
//   plain        what data interchange (JSON) carries: numbers and Booleans as such,
//                BCD as decimal text, dates "YYYY-MM-DD", times "HH:MM:SS.mmm" on a
//                24-hour clock, timestamps "YYYY-MM-DD HH:MM:SS.mmm", strings in the
//                table's code page, bytes as they are
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/storage/data_format.h"

namespace reruzo {

// How a written-out Boolean reads: dataset fields say "True" and "False",
// expressions "TRUE" and "FALSE".
enum class TBooleanWords : std::uint8_t { Capitalised, Upper };

// The written-out form of field data of an engine type (the data bytes as a record or
// an expression value stores them). A date, time or timestamp outside the calendar
// gives "". Nothing for a type without a written-out form (BLOBs, codes this engine
// does not write).
std::optional<std::string> FieldDataText(std::uint8_t fieldType, std::span<const std::uint8_t> data,
                                         TBooleanWords words);

// A field's value in its plain form.
struct TPlainValue {
    enum class TKind : std::uint8_t {
        Null,     // NULL, and BLOB fields (their contents are not plain values)
        Integer,  // `integer`; also a date or time the calendar cannot show, as stored
        Float,    // `number`; also a timestamp the calendar cannot show, as stored
        Boolean,  // `boolean`
        Text,     // `text`: ASCII (BCD, dates, times, timestamps)
        String,   // `text`: the field's characters in the table's code page
        Bytes,    // `text`: all of the field's bytes
    };
    TKind kind = TKind::Null;
    std::int64_t integer = 0;
    double number = 0;
    bool boolean = false;
    std::string text;
};
TPlainValue FieldPlainValue(std::span<const std::uint8_t> record, const TFieldDesc& field);

// The plain forms of a time, and both ways for dates and times: "YYYY-MM-DD" and
// "HH:MM:SS.mmm" (the milliseconds may be left out when reading). Nothing for a value
// outside the calendar or a text of another shape.
std::optional<std::string> IsoTimeText(std::int32_t milliseconds);
std::optional<std::int32_t> ParseIsoDate(std::string_view text);
std::optional<std::int32_t> ParseIsoTime(std::string_view text);

}  // namespace reruzo
