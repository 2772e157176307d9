// Written-out and plain forms of field data.
#include "engine/storage/field_text.h"

#include <cstdio>
#include <cstring>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"

namespace reruzo {
namespace {

std::string TimeStampText(double stamp) {
    const auto parts = SplitTimeStamp(stamp);
    if (!parts) return {};
    return DateText(parts->day) + " " + TimeText(parts->ms);
}

// Reads `n` decimal digits at `pos` of `s`.
bool Digits(std::string_view s, std::size_t pos, std::size_t n, int& value) {
    if (pos + n > s.size()) return false;
    value = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<std::string> FieldDataText(std::uint8_t fieldType, std::span<const std::uint8_t> data,
                                         TBooleanWords words) {
    const std::uint8_t* p = data.data();
    switch (fieldType) {
        case kFieldString: {
            const auto* chars = reinterpret_cast<const char*>(p);
            return std::string(chars, strnlen(chars, data.size()));
        }
        case kFieldSmallInt: return std::to_string(GetLE<std::int16_t>(p));
        case kFieldWord: return std::to_string(GetLE<std::uint16_t>(p));
        case kFieldInteger: return std::to_string(GetLE<std::int32_t>(p));
        case kFieldLargeInt: return std::to_string(GetLE<std::int64_t>(p));
        case kFieldBoolean: {
            const bool value = GetLE<std::uint16_t>(p) != 0;
            if (words == TBooleanWords::Upper) return value ? "TRUE" : "FALSE";
            return value ? "True" : "False";
        }
        case kFieldFloat: return FloatText(GetLE<double>(p));
        case kFieldBCD: return BcdText(data);
        case kFieldDate: return DateText(GetLE<std::int32_t>(p));
        case kFieldTime: return TimeText(GetLE<std::int32_t>(p));
        case kFieldTimeStamp: return TimeStampText(GetLE<double>(p));
        case kFieldBytes:
        case kFieldVarBytes: return std::string(reinterpret_cast<const char*>(p), data.size());
        default: return std::nullopt;
    }
}

TPlainValue FieldPlainValue(std::span<const std::uint8_t> record, const TFieldDesc& f) {
    using TKind = TPlainValue::TKind;
    TPlainValue v;
    if (f.FieldType == kFieldBlob || FieldIsNull(record, f)) return v;
    // A date or time the calendar cannot show (a damaged record) keeps its stored
    // number, so that nothing is hidden.
    auto textOr = [&v](std::optional<std::string> text, auto raw, TKind rawKind) {
        if (text) {
            v.kind = TKind::Text;
            v.text = std::move(*text);
        } else if (rawKind == TKind::Float) {
            v.kind = TKind::Float;
            v.number = static_cast<double>(raw);
        } else {
            v.kind = TKind::Integer;
            v.integer = static_cast<std::int64_t>(raw);
        }
    };
    switch (f.FieldType) {
        case kFieldString:
            v.kind = TKind::String;
            v.text = GetStringField(record, f);
            break;
        case kFieldBoolean:
            v.kind = TKind::Boolean;
            v.boolean = GetBooleanField(record, f);
            break;
        case kFieldSmallInt:
        case kFieldWord:
        case kFieldInteger:
        case kFieldLargeInt:
            v.kind = TKind::Integer;
            v.integer = GetIntegerField(record, f);
            break;
        case kFieldFloat:
            v.kind = TKind::Float;
            v.number = GetFloatField(record, f);
            break;
        case kFieldBCD:
            v.kind = TKind::Text;
            v.text = BcdText(FieldData(record, f));
            break;
        case kFieldDate: {
            const auto day = static_cast<std::int32_t>(GetIntegerField(record, f));
            std::string text = DateText(day);
            textOr(text.empty() ? std::nullopt : std::optional(std::move(text)), day, TKind::Integer);
            break;
        }
        case kFieldTime: {
            const auto ms = static_cast<std::int32_t>(GetIntegerField(record, f));
            textOr(IsoTimeText(ms), ms, TKind::Integer);
            break;
        }
        case kFieldTimeStamp: {
            const double stamp = GetFloatField(record, f);
            std::optional<std::string> text;
            if (const auto parts = SplitTimeStamp(stamp)) {
                const std::string date = DateText(parts->day);
                const auto time = IsoTimeText(parts->ms);
                if (!date.empty() && time) text = date + " " + *time;
            }
            textOr(std::move(text), stamp, TKind::Float);
            break;
        }
        default: {
            const auto data = FieldData(record, f);
            v.kind = TKind::Bytes;
            v.text.assign(reinterpret_cast<const char*>(data.data()), data.size());
            break;
        }
    }
    return v;
}

std::optional<std::string> IsoTimeText(std::int32_t milliseconds) {
    const auto t = MillisecondsToTime(milliseconds);
    if (!t) return std::nullopt;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t->hour, t->minute, t->second, t->millisecond);
    return std::string(buf);
}

std::optional<std::int32_t> ParseIsoDate(std::string_view s) {
    TCalendarDate d;
    if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, d.year) || !Digits(s, 5, 2, d.month) ||
        !Digits(s, 8, 2, d.day) || !IsValidDate(d))
        return std::nullopt;
    return DateToDayNumber(d);
}

std::optional<std::int32_t> ParseIsoTime(std::string_view s) {
    TClockTime t;
    if ((s.size() != 8 && s.size() != 12) || s[2] != ':' || s[5] != ':' || !Digits(s, 0, 2, t.hour) ||
        !Digits(s, 3, 2, t.minute) || !Digits(s, 6, 2, t.second))
        return std::nullopt;
    if (s.size() == 12 && (s[8] != '.' || !Digits(s, 9, 3, t.millisecond))) return std::nullopt;
    if (!IsValidTime(t)) return std::nullopt;
    return TimeToMilliseconds(t);
}

}  // namespace reruzo
