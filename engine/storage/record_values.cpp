// Default values of new records and the value checks of records being written.
#include "engine/storage/bcd.h"
#include "engine/storage/record_values.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"

namespace reruzo {
namespace {

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool Is(std::string_view text, std::string_view word) {
    text = Trimmed(text);
    return text.size() == word.size() &&
           std::equal(text.begin(), text.end(), word.begin(),
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

template <typename T>
std::vector<std::uint8_t> Bytes(T value, std::size_t size) {
    std::vector<std::uint8_t> out(size, 0);
    PutLE<T>(out.data(), value);
    return out;
}

std::int32_t Now() { return TimeToMilliseconds(TimeOfDayNow()); }
std::int32_t TodayNumber() { return DateToDayNumber(Today()); }

// The value of a number field as a double, for comparisons.
double NumberOf(const TFieldDesc& f, std::span<const std::uint8_t> d) {
    switch (f.FieldType) {
        case kFieldSmallInt: return GetLE<std::int16_t>(d.data());
        case kFieldWord: return GetLE<std::uint16_t>(d.data());
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: return GetLE<std::int32_t>(d.data());
        case kFieldLargeInt: return static_cast<double>(GetLE<std::int64_t>(d.data()));
        case kFieldFloat:
        case kFieldTimeStamp: return GetLE<double>(d.data());
        case kFieldBCD: {
            const auto parsed = ParseFloat(BcdText(d));
            return parsed ? *parsed : 0.0;
        }
        default: return 0;
    }
}

// Compares two field values of the field's type: -1, 0 or 1.
int CompareValues(const TFieldDesc& f, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                  const TStringRules& rules) {
    if (f.FieldType == kFieldString) {
        const auto text = [](std::span<const std::uint8_t> s) {
            const auto* c = reinterpret_cast<const char*>(s.data());
            return std::string_view(c, strnlen(c, s.size()));
        };
        if (rules.LanguageId != 0) {
            return quorvane::nls::CompareStrings(text(a), text(b), rules.LanguageId, rules.SortId,
                                                 quorvane::nls::kSortStringSort | quorvane::nls::kNormIgnoreNonSpace);
        }
        const int c = text(a).compare(text(b));
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    const double x = NumberOf(f, a);
    const double y = NumberOf(f, b);
    return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> FieldValueFromText(const TFieldDesc& f, std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::size_t size = f.DataSize;
    switch (f.FieldType) {
        case kFieldString: {
            std::vector<std::uint8_t> out(size, 0);
            std::memcpy(out.data(), text.data(), std::min(text.size(), size > 0 ? size - 1 : 0));
            return out;
        }
        case kFieldSmallInt: {
            const auto v = ParseInt32(text);
            if (!v || *v < -32768 || *v > 32767) return std::nullopt;
            return Bytes<std::int16_t>(static_cast<std::int16_t>(*v), size);
        }
        case kFieldWord: {
            const auto v = ParseInt32(text);
            if (!v || *v < 0 || *v > 65535) return std::nullopt;
            return Bytes<std::uint16_t>(static_cast<std::uint16_t>(*v), size);
        }
        case kFieldInteger: {
            const auto v = ParseInt32(text);
            if (!v) return std::nullopt;
            return Bytes<std::int32_t>(*v, size);
        }
        case kFieldLargeInt: {
            const auto v = ParseInt64(text);
            if (!v) return std::nullopt;
            return Bytes<std::int64_t>(*v, size);
        }
        case kFieldBoolean: {
            const auto v = ParseBoolean(text);
            if (!v) return std::nullopt;
            return Bytes<std::uint16_t>(*v ? 1 : 0, size);
        }
        case kFieldFloat: {
            const auto v = ParseFloat(text);
            if (!v) return std::nullopt;
            return Bytes<double>(*v, size);
        }
        case kFieldBCD: return BcdFromText(text, f.Scale);
        case kFieldDate: {
            if (Is(text, "CURRENT_DATE")) return Bytes<std::int32_t>(TodayNumber(), size);
            const auto d = ParseDate(text);
            if (!d) return std::nullopt;
            return Bytes<std::int32_t>(DateToDayNumber(*d), size);
        }
        case kFieldTime: {
            if (Is(text, "CURRENT_TIME")) return Bytes<std::int32_t>(Now(), size);
            const auto t = ParseTime(text);
            if (!t) return std::nullopt;
            return Bytes<std::int32_t>(TimeToMilliseconds(*t), size);
        }
        case kFieldTimeStamp: {
            // A time alone falls on the zero day of timestamps, 1899-12-30.
            const std::int32_t zeroDay = DateToDayNumber({1899, 12, 30});
            if (Is(text, "CURRENT_TIMESTAMP")) return Bytes<double>(ToTimeStamp(TodayNumber(), Now()), size);
            if (Is(text, "CURRENT_DATE")) return Bytes<double>(ToTimeStamp(TodayNumber(), 0), size);
            if (Is(text, "CURRENT_TIME")) return Bytes<double>(ToTimeStamp(zeroDay, Now()), size);
            if (const auto s = ParseTimeStamp(text)) {
                return Bytes<double>(ToTimeStamp(DateToDayNumber(s->date), TimeToMilliseconds(s->time)), size);
            }
            if (const auto d = ParseDate(text)) return Bytes<double>(ToTimeStamp(DateToDayNumber(*d), 0), size);
            if (const auto t = ParseTime(text)) return Bytes<double>(ToTimeStamp(zeroDay, TimeToMilliseconds(*t)), size);
            return std::nullopt;
        }
        default: return std::nullopt;
    }
}

void FillDefaults(std::span<std::uint8_t> record, const std::vector<TFieldDesc>& fields, const TStringRules& rules) {
    std::fill(record.begin(), record.end(), 0);
    for (const TFieldDesc& f : fields) {
        if (f.DefaultValue.empty() || !f.HasSlot()) continue;
        if (const auto value = FieldValueFromText(f, f.DefaultValue)) PutFieldData(record, f, *value, rules);
    }
}

bool HasValueChecks(const std::vector<TFieldDesc>& fields) {
    return std::any_of(fields.begin(), fields.end(), [](const TFieldDesc& f) {
        return f.Required != 0 || !f.MinValue.empty() || !f.MaxValue.empty();
    });
}

bool HasDefaults(const std::vector<TFieldDesc>& fields) {
    return std::any_of(fields.begin(), fields.end(), [](const TFieldDesc& f) { return !f.DefaultValue.empty(); });
}

std::uint16_t CheckRecordValues(std::span<const std::uint8_t> record, const std::vector<TFieldDesc>& fields,
                                const TStringRules& rules, std::string& field) {
    for (const TFieldDesc& f : fields) {
        if (!f.HasSlot()) continue;
        field = f.Name;
        if (f.Required != 0 && FieldIsNull(record, f)) return RERUZO_REQDERR;
        const bool ranged = f.FieldType != kFieldBlob && f.FieldType != kFieldBoolean && f.FieldType != kFieldBytes &&
                            f.FieldType != kFieldVarBytes;
        if (!ranged) continue;
        const auto value = FieldData(record, f);
        if (const auto low = FieldValueFromText(f, f.MinValue); low && CompareValues(f, value, *low, rules) < 0)
            return RERUZO_MINVALERR;
        if (const auto high = FieldValueFromText(f, f.MaxValue); high && CompareValues(f, value, *high, rules) > 0)
            return RERUZO_MAXVALERR;
    }
    field.clear();
    return 0;
}

}  // namespace reruzo
