// Text forms of field values: the conversions by which default, minimum and maximum
// value texts of field descriptors (and later literal constants) become values.
//   integer   optional leading blanks, then an optional sign and decimal digits, or a
//             hexadecimal prefix ("$", "x", "X", "0x", "0X") and hexadecimal digits
//   boolean   "TRUE" or "FALSE" in any letter case
//   float     decimal number with "." as the separator and an optional exponent
//   date      year "-" month "-" day
//   time      hours ":" minutes [":" seconds ["." milliseconds]] [" AM" | " PM"]
//   timestamp a date, a blank and a time
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/storage/date_time.h"

namespace reruzo {

std::optional<std::int32_t> ParseInt32(std::string_view text);
std::optional<std::int64_t> ParseInt64(std::string_view text);
std::optional<bool> ParseBoolean(std::string_view text);
std::optional<double> ParseFloat(std::string_view text);
std::optional<TCalendarDate> ParseDate(std::string_view text);
std::optional<TClockTime> ParseTime(std::string_view text);
struct TDateTimeValue {
    TCalendarDate date;
    TClockTime time;
};
std::optional<TDateTimeValue> ParseTimeStamp(std::string_view text);

// True when `text` is an acceptable default, minimum or maximum value for a field of
// the given engine type code: empty text always is; string and byte types take any
// text; numbers, booleans, dates and times must convert; "CURRENT_DATE",
// "CURRENT_TIME" and "CURRENT_TIMESTAMP" (any case) are accepted where they apply.
bool IsValidValueText(std::uint8_t fieldType, std::string_view text);

// Written-out forms of values: a date as a four-digit year, "-", two-digit month, "-",
// two-digit day; a time on a 12-hour clock ("02:05 PM", seconds and milliseconds only
// when not 0); a timestamp as date, blank, time; a float in its shortest exact form.
std::string DateText(std::int32_t dayNumber);
std::string TimeText(std::int32_t milliseconds);
std::string FloatText(double value);

}  // namespace reruzo
