// Parsing of value texts into typed values.
#include "engine/storage/value_text.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

#include "engine/storage/data_format.h"

namespace reruzo {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Parses the whole of `text` as an integer in 64 bits; hexadecimal values are taken
// as unsigned bit patterns of at most `hexBits` bits.
std::optional<std::int64_t> ParseInteger(std::string_view text, int hexBits, std::int64_t lo,
                                         std::int64_t hi) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t prefix = 0;
    if (text[0] == '$' || text[0] == 'x' || text[0] == 'X') {
        prefix = 1;
    } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        prefix = 2;
    }
    if (prefix > 0) {
        const std::string_view digits = text.substr(prefix);
        if (digits.empty()) return std::nullopt;
        std::uint64_t v = 0;
        auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
        if (ec != std::errc() || p != digits.data() + digits.size()) return std::nullopt;
        if (hexBits < 64 && v >> hexBits != 0) return std::nullopt;
        if (hexBits == 32) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return static_cast<std::int64_t>(v);
    }
    bool negative = false;
    std::string_view digits = text;
    if (digits[0] == '+' || digits[0] == '-') {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 10);
    if (ec != std::errc() || p != digits.data() + digits.size()) return std::nullopt;
    if (negative) {
        if (v > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
        const std::int64_t r = v == static_cast<std::uint64_t>(INT64_MAX) + 1
                                   ? INT64_MIN
                                   : -static_cast<std::int64_t>(v);
        if (r < lo) return std::nullopt;
        return r;
    }
    if (v > static_cast<std::uint64_t>(hi)) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

// Reads an unsigned decimal number from the front of `s`.
std::optional<int> TakeNumber(std::string_view& s, std::size_t maxDigits = 9) {
    std::size_t n = 0;
    while (n < s.size() && n < maxDigits && std::isdigit(static_cast<unsigned char>(s[n]))) ++n;
    if (n == 0) return std::nullopt;
    int v = 0;
    std::from_chars(s.data(), s.data() + n, v);
    s.remove_prefix(n);
    return v;
}

}  // namespace

std::optional<std::int32_t> ParseInt32(std::string_view text) {
    auto v = ParseInteger(text, 32, INT32_MIN, INT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<std::int32_t>(*v);
}

std::optional<std::int64_t> ParseInt64(std::string_view text) {
    return ParseInteger(text, 64, INT64_MIN, INT64_MAX);
}

std::optional<bool> ParseBoolean(std::string_view text) {
    text = Trim(text);
    if (EqualsNoCase(text, "TRUE")) return true;
    if (EqualsNoCase(text, "FALSE")) return false;
    return std::nullopt;
}

std::optional<double> ParseFloat(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return std::nullopt;
    if (text.front() == '+') text.remove_prefix(1);
    double v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
    return v;
}

std::optional<TCalendarDate> ParseDate(std::string_view text) {
    text = Trim(text);
    TCalendarDate d;
    auto y = TakeNumber(text, 4);
    if (!y || text.empty() || text[0] != '-') return std::nullopt;
    text.remove_prefix(1);
    auto m = TakeNumber(text, 2);
    if (!m || text.empty() || text[0] != '-') return std::nullopt;
    text.remove_prefix(1);
    auto dd = TakeNumber(text, 2);
    if (!dd || !text.empty()) return std::nullopt;
    d = {*y, *m, *dd};
    if (!IsValidDate(d)) return std::nullopt;
    return d;
}

std::optional<TClockTime> ParseTime(std::string_view text) {
    text = Trim(text);
    TClockTime t;
    auto h = TakeNumber(text, 2);
    if (!h || text.empty() || text[0] != ':') return std::nullopt;
    text.remove_prefix(1);
    auto m = TakeNumber(text, 2);
    if (!m) return std::nullopt;
    t.hour = *h;
    t.minute = *m;
    if (!text.empty() && text[0] == ':') {
        text.remove_prefix(1);
        auto s = TakeNumber(text, 2);
        if (!s) return std::nullopt;
        t.second = *s;
        if (!text.empty() && text[0] == '.') {
            text.remove_prefix(1);
            auto ms = TakeNumber(text, 3);
            if (!ms) return std::nullopt;
            t.millisecond = *ms;
        }
    }
    text = Trim(text);
    if (!text.empty()) {
        const bool pm = EqualsNoCase(text, "PM");
        if (!pm && !EqualsNoCase(text, "AM")) return std::nullopt;
        if (t.hour < 1 || t.hour > 12) return std::nullopt;
        t.hour = t.hour % 12 + (pm ? 12 : 0);
    }
    if (!IsValidTime(t)) return std::nullopt;
    return t;
}

std::optional<TDateTimeValue> ParseTimeStamp(std::string_view text) {
    text = Trim(text);
    const auto blank = text.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    auto d = ParseDate(text.substr(0, blank));
    auto t = ParseTime(text.substr(blank + 1));
    if (!d || !t) return std::nullopt;
    return TDateTimeValue{*d, *t};
}

std::string DateText(std::int32_t dayNumber) {
    auto d = DayNumberToDate(dayNumber);
    if (!d) return {};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d->year, d->month, d->day);
    return buf;
}

std::string TimeText(std::int32_t milliseconds) {
    auto t = MillisecondsToTime(milliseconds);
    if (!t) return {};
    char buf[32];
    const int hour12 = t->hour % 12 == 0 ? 12 : t->hour % 12;
    int n = std::snprintf(buf, sizeof buf, "%02d:%02d", hour12, t->minute);
    if (t->second != 0 || t->millisecond != 0) n += std::snprintf(buf + n, sizeof buf - n, ":%02d", t->second);
    if (t->millisecond != 0) n += std::snprintf(buf + n, sizeof buf - n, ".%d", t->millisecond);
    std::snprintf(buf + n, sizeof buf - n, t->hour < 12 ? " AM" : " PM");
    return buf;
}

std::string FloatText(double value) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

bool IsValidValueText(std::uint8_t fieldType, std::string_view text) {
    if (text.empty()) return true;
    switch (fieldType) {
        case kFieldString:
        case kFieldBytes:
        case kFieldVarBytes:
            return true;
        case kFieldSmallInt: {
            auto v = ParseInt32(text);
            return v && *v >= -32768 && *v <= 32767;
        }
        case kFieldWord: {
            auto v = ParseInt32(text);
            return v && *v >= 0 && *v <= 65535;
        }
        case kFieldInteger:
            return ParseInt32(text).has_value();
        case kFieldLargeInt:
            return ParseInt64(text).has_value();
        case kFieldBoolean:
            return ParseBoolean(text).has_value();
        case kFieldFloat:
        case kFieldBCD:
            return ParseFloat(text).has_value();
        case kFieldDate:
            return EqualsNoCase(Trim(text), "CURRENT_DATE") || ParseDate(text).has_value();
        case kFieldTime:
            return EqualsNoCase(Trim(text), "CURRENT_TIME") || ParseTime(text).has_value();
        case kFieldTimeStamp: {
            const auto t = Trim(text);
            return EqualsNoCase(t, "CURRENT_DATE") || EqualsNoCase(t, "CURRENT_TIME") ||
                   EqualsNoCase(t, "CURRENT_TIMESTAMP") || ParseTimeStamp(text) ||
                   ParseDate(text) || ParseTime(text);
        }
        default:
            return true;
    }
}

}  // namespace reruzo
