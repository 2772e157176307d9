// Evaluation of the functions of the expression language: scalar functions on
// strings, numbers, dates and times, EXTRACT, and CAST with its text conversions.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/expr/expression_check.h"
#include "engine/expr/expression_values.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"

namespace reruzo::evaluation {
namespace {

namespace nls = quorvane::nls;

// ---- Functions ---------------------------------------------------------------------------

std::int32_t DayOfWeek(std::int32_t day) {
    // Day 1 (0001-01-01) was a Monday.
    return static_cast<std::int32_t>(((static_cast<std::int64_t>(day) - 1) % 7 + 7) % 7) + 1;
}

// Week number: weeks start on Monday; week 1 starts at the first Monday of the year,
// or at the Monday before it when 4 January comes earlier.
std::int32_t WeekOf(std::int32_t day, int year) {
    auto firstMonday = [](int y) {
        const std::int32_t jan1 = DateToDayNumber({y, 1, 1});
        std::int32_t monday = jan1 + (8 - DayOfWeek(jan1)) % 7;
        if (jan1 + 3 < monday) monday -= 7;
        return monday;
    };
    std::int32_t n = day - firstMonday(year) + 1;
    if (n <= 0 && year > 1) n = day - firstMonday(year - 1) + 1;
    if (n == 365) return 1;
    return (n + 6) / 7;
}

TValue Extract(const TExpToken& n, const TEvalContext& c) {
    TValue a = Eval(n.Operand(0), c);
    if (a->isNull) return NullValue(kFieldInteger);
    std::int32_t day = 0, ms = 0;
    bool hasDate = false;
    switch (a->dataType) {
        case kFieldDate:
            day = GetLE<std::int32_t>(a->value.data());
            hasDate = true;
            break;
        case kFieldTime: ms = GetLE<std::int32_t>(a->value.data()); break;
        case kFieldTimeStamp: {
            const auto parts = SplitTimeStamp(GetLE<double>(a->value.data()));
            if (!parts) return NullValue(kFieldInteger);
            day = parts->day;
            ms = parts->ms;
            hasDate = true;
            break;
        }
        default: return NullValue(kFieldInteger);
    }
    TCalendarDate date{0, 0, 0};
    if (hasDate) {
        const auto d = DayNumberToDate(day);
        if (!d) return NullValue(kFieldInteger);
        date = *d;
    }
    const TClockTime time = MillisecondsToTime(ms).value_or(TClockTime{});
    std::int32_t v = 0;
    switch (n.op) {
        case opExtractYear: v = date.year; break;
        case opExtractMonth: v = date.month; break;
        case opExtractDay: v = date.day; break;
        case opExtractDayOfWeek: v = hasDate ? DayOfWeek(day) : 0; break;
        case opExtractWeek: v = hasDate ? WeekOf(day, date.year) : 0; break;
        case opExtractHour: v = time.hour; break;
        case opExtractMinute: v = time.minute; break;
        case opExtractSecond: v = time.second; break;
        default: break;
    }
    TValue r = NewValue(kFieldInteger);
    StoreNumber(*r, kFieldInteger, Int(v));
    return r;
}

// The length a CAST to CHAR(n) or BYTES(n) keeps; unlimited when not given.
std::size_t TargetLength(const TExpToken& n) {
    if (const TExpToken* len = n.Operand(1); len && !len->isNull && IsNumeric(len->dataType))
        return static_cast<std::size_t>(std::max<std::int64_t>(0, AsInteger(NumberOf(*len))));
    if (n.dataSize > 0) return n.dataType == kFieldString ? n.dataSize - 1 : n.dataSize;
    return SIZE_MAX;
}

// The decimals a CAST to DECIMAL(p, s) keeps: s, else the node's scale, else 0 when
// only a precision is given; 4 (all of them) for a plain DECIMAL.
int CastScale(const TExpToken& n) {
    if (const TExpToken* s = n.Operand(2); s && !s->isNull && IsNumeric(s->dataType))
        return static_cast<int>(AsInteger(NumberOf(*s)));
    if (n.scale > 0 || n.Operand(1)) return n.scale;
    return 4;
}

// Rounds a BCD value half away from zero to `decimals` (0..3) places.
void KeepDecimals(TExpToken& r, int decimals) {
    if (decimals >= 4) return;
    std::int64_t unit = 1;
    for (int i = std::max(decimals, 0); i < 4; ++i) unit *= 10;
    const std::int64_t cur = AsCurrency(NumberOf(r));
    const std::int64_t half = cur < 0 ? -unit / 2 : unit / 2;
    StoreNumber(r, kFieldBCD, Currency((cur + half) / unit * unit));
}

// A text converted to a value of `type` by the text forms; raises when it does not convert.
void ParseInto(TExpToken& r, std::uint8_t type, std::string_view text) {
    switch (type) {
        case kFieldDate: {
            const auto d = ParseDate(text);
            if (!d) RaiseConversion(text, "date");
            StoreNumber(r, type, Int(DateToDayNumber(*d)));
            return;
        }
        case kFieldTime: {
            const auto t = ParseTime(text);
            if (!t) RaiseConversion(text, "time");
            StoreNumber(r, type, Int(TimeToMilliseconds(*t)));
            return;
        }
        case kFieldTimeStamp: {
            const auto s = ParseTimeStamp(text);
            if (!s) RaiseConversion(text, "date and time");
            StoreNumber(r, type, Float(ToTimeStamp(DateToDayNumber(s->date), TimeToMilliseconds(s->time))));
            return;
        }
        case kFieldBoolean: {
            const auto b = ParseBoolean(text);
            if (!b) RaiseConversion(text, "boolean");
            StoreNumber(r, type, Int(*b ? 1 : 0));
            return;
        }
        case kFieldBCD: {
            const auto f = ParseFloat(text);
            if (!f) RaiseConversion(text, "currency value");
            StoreNumber(r, type, Float(*f));
            return;
        }
        case kFieldSmallInt:
        case kFieldWord:
        case kFieldInteger:
        case kFieldLargeInt:
            if (const auto i = ParseInt64(text)) {
                StoreNumber(r, type, Int(*i));
                return;
            }
            [[fallthrough]];
        default: {
            const auto f = ParseFloat(text);
            if (!f) RaiseConversion(text, "floating-point number");
            StoreNumber(r, type, Float(*f));
            return;
        }
    }
}

TValue Cast(const TExpToken& n, const TEvalContext& c) {
    TValue a = Eval(n.Operand(0), c);
    const std::uint8_t target = n.dataType;
    if (a->isNull) return NullValue(target, n.subType);
    TValue r = NewValue(target, n.subType);
    const bool fromBlob = a->dataType == kFieldBlob;
    if (target == kFieldString) {
        std::string written;
        std::string_view text;
        if (fromBlob || IsText(*a)) {
            text = fromBlob ? RawBytes(*a) : Text(*a);
            text = text.substr(0, strnlen(text.data(), text.size()));
        } else {
            written = ValueText(*a);
            text = written;
        }
        const std::size_t keep = TargetLength(n);
        PutText(*r, text.substr(0, std::min(keep, text.size())), keep == SIZE_MAX ? 0 : static_cast<std::uint32_t>(keep + 1));
        return r;
    }
    if (fromBlob) {
        // A BLOB is copied whole.
        PutBlob(*r, RawBytes(*a), target == kFieldBlob ? n.subType : a->subType);
        if (target != kFieldBlob) r->dataType = a->dataType;
        return r;
    }
    if (target == kFieldBlob || target == kFieldBytes) {
        const std::string written = IsText(*a) ? std::string(Text(*a)) : ValueText(*a);
        if (target == kFieldBlob) {
            PutBlob(*r, written, n.subType);
        } else {
            const std::size_t keep = std::min(TargetLength(n), written.size());
            r->Reserve(keep + 1);
            std::memcpy(r->value.data(), written.data(), keep);
            r->dataSize = static_cast<std::uint32_t>(keep);
        }
        return r;
    }
    if (IsText(*a)) {
        ParseInto(*r, target, Text(*a));
        if (target == kFieldBCD) KeepDecimals(*r, CastScale(n));
        return r;
    }
    TNumber v = NumberOf(*a);
    const std::uint8_t source = a->dataType;
    // Between the date and time kinds by their parts; everything else by stored value.
    if (source == kFieldDate && target == kFieldTimeStamp) {
        v = Float(ToTimeStamp(static_cast<std::int32_t>(v.i), 0));
    } else if (source == kFieldTimeStamp && (target == kFieldDate || target == kFieldTime)) {
        const auto parts = SplitTimeStamp(v.f);
        if (!parts) return NullValue(target, n.subType);
        v = Int(target == kFieldDate ? parts->day : parts->ms);
    } else if ((source == kFieldDate && target == kFieldTime) || (source == kFieldTime && target == kFieldDate)) {
        v = Int(0);
    }
    StoreNumber(*r, target, v);
    if (target == kFieldBCD) KeepDecimals(*r, CastScale(n));
    return r;
}

}  // namespace

TValue Function(const TExpToken& n, const TEvalContext& c) {
    switch (n.op) {
        case opSum:
        case opCount:
        case opMin:
        case opMax:
        case opAvg: {
            const TExpToken* arg = n.Operand(0);
            if (arg && arg->kind == nkColumn && arg->name == "*") {
                TValue r = NewValue(kFieldInteger);
                StoreNumber(*r, kFieldInteger, Int(1));
                return r;
            }
            return Eval(arg, c);
        }
        case opUpper:
        case opLower: {
            TValue a = Eval(n.Operand(0), c);
            if (a->isNull) return NullValue(kFieldString);
            const nls::TCaseTable& map = nls::CaseTable(c.languageId, n.op == opUpper);
            const std::string_view s = Text(*a);
            TValue r = NewValue(kFieldString);
            PutText(*r, s, a->dataType == kFieldString ? a->dataSize : 0);
            for (std::size_t i = 0; i < s.size(); ++i) r->value[i] = map[r->value[i]];
            return r;
        }
        case opLength: {
            TValue a = Eval(n.Operand(0), c);
            if (a->isNull) return NullValue(kFieldInteger);
            TValue r = NewValue(kFieldInteger);
            StoreNumber(*r, kFieldInteger, Int(static_cast<std::int64_t>(Text(*a).size())));
            return r;
        }
        case opSubstring: {
            TValue a = Eval(n.Operand(0), c);
            TValue from = Eval(n.Operand(1), c);
            TValue count = n.Operand(2) ? Eval(n.Operand(2), c) : nullptr;
            if (a->isNull || from->isNull || (count && count->isNull)) return NullValue(kFieldString);
            const std::string_view s = Text(*a);
            const std::int64_t start = std::max<std::int64_t>(1, AsInteger(NumberOf(*from))) - 1;
            const std::int64_t length = count ? AsInteger(NumberOf(*count)) : INT64_MAX;
            TValue r = NewValue(kFieldString);
            if (start >= static_cast<std::int64_t>(s.size()) || length <= 0) {
                r->isNull = true;
                return r;
            }
            const auto begin = static_cast<std::size_t>(start);
            const std::size_t take = std::min<std::uint64_t>(static_cast<std::uint64_t>(length), s.size() - begin);
            PutText(*r, s.substr(begin, take), n.dataSize);
            return r;
        }
        case opTrimLeading:
        case opTrimTrailing:
        case opTrimBoth: {
            TValue a = Eval(n.Operand(0), c);
            TValue ch = Eval(n.Operand(1), c);
            const std::string_view t = Text(*ch);
            if (a->isNull || t.empty()) return NullValue(kFieldString);
            std::string_view s = Text(*a);
            if (n.op != opTrimTrailing) {
                while (!s.empty() && s.front() == t[0]) s.remove_prefix(1);
            }
            if (n.op != opTrimLeading) {
                while (!s.empty() && s.back() == t[0]) s.remove_suffix(1);
            }
            TValue r = NewValue(kFieldString);
            PutText(*r, s, a->dataType == kFieldString ? a->dataSize : 0);
            return r;
        }
        case opPos:
        case opOccurs: {
            TValue a = Eval(n.Operand(0), c);
            TValue what = Eval(n.Operand(1), c);
            if (a->isNull || what->isNull) return NullValue(kFieldInteger);
            const std::string_view s = Text(*a), w = Text(*what);
            const bool doubleByte = c.languageId == 0;
            std::int64_t v = 0;
            if (n.op == opPos) {
                const std::size_t at = Find(s, w, 0, doubleByte);
                v = at == std::string_view::npos ? 0 : static_cast<std::int64_t>(at) + 1;
            } else {
                for (std::size_t at = Find(s, w, 0, doubleByte); at != std::string_view::npos;
                     at = Find(s, w, at + w.size(), doubleByte))
                    ++v;
            }
            TValue r = NewValue(kFieldInteger);
            StoreNumber(*r, kFieldInteger, Int(v));
            return r;
        }
        case opReplace: {
            TValue a = Eval(n.Operand(0), c);
            TValue what = Eval(n.Operand(1), c);
            TValue with = Eval(n.Operand(2), c);
            if (a->isNull) return NullValue(kFieldString);
            // An empty search text finds nothing. An empty replacement is stored as
            // NULL like every empty string, and removes each match.
            if (what->isNull || Text(*what).empty()) return a;
            const std::string_view s = Text(*a), w = Text(*what), x = with->isNull ? std::string_view() : Text(*with);
            const bool doubleByte = c.languageId == 0;
            std::size_t matches = 0;
            for (std::size_t at = Find(s, w, 0, doubleByte); at != std::string_view::npos;
                 at = Find(s, w, at + w.size(), doubleByte))
                ++matches;
            const std::size_t size = s.size() - matches * w.size() + matches * x.size();
            TValue r = NewValue(kFieldString);
            r->Reserve(size + 1);
            std::uint8_t* out = r->value.data();
            std::size_t done = 0;
            for (std::size_t at = Find(s, w, 0, doubleByte); at != std::string_view::npos;
                 at = Find(s, w, at + w.size(), doubleByte)) {
                CopyBytes(out, s.substr(done, at - done));
                out += at - done;
                CopyBytes(out, x);
                out += x.size();
                done = at + w.size();
            }
            CopyBytes(out, s.substr(done));
            r->value[size] = 0;
            r->dataSize = std::max<std::uint32_t>(n.dataSize, static_cast<std::uint32_t>(size + 1));
            r->isNull = size == 0;
            return r;
        }
        case opExtractYear:
        case opExtractMonth:
        case opExtractWeek:
        case opExtractDay:
        case opExtractDayOfWeek:
        case opExtractHour:
        case opExtractMinute:
        case opExtractSecond: return Extract(n, c);
        case opAbs: {
            TValue a = Eval(n.Operand(0), c);
            if (a->isNull || IsText(*a) || IsRaw(*a)) return a;
            const TNumber v = NumberOf(*a);
            if (AsDouble(v) < 0) {
                TNumber m = v;
                if (m.kind == TNumber::kFloat) {
                    m.f = -m.f;
                } else {
                    m.i = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(m.i));
                }
                StoreNumber(*a, a->dataType, m);
            }
            return a;
        }
        case opRound: {
            TValue a = Eval(n.Operand(0), c);
            TValue places = n.Operand(1) ? Eval(n.Operand(1), c) : nullptr;
            if (a->isNull || (places && places->isNull)) return NullValue(kFieldFloat);
            const double scale = std::pow(10.0, places ? static_cast<double>(AsInteger(NumberOf(*places))) : 0.0);
            TValue r = NewValue(kFieldFloat);
            StoreNumber(*r, kFieldFloat, Float(std::round(AsDouble(NumberOf(*a)) * scale) / scale));
            return r;
        }
        case opIf: {
            const bool condition = IsTrue(*Eval(n.Operand(0), c));
            TValue v = Eval(n.Operand(condition ? 1 : 2), c);
            // Numbers take the result type of the IF.
            if (!v->isNull && IsNumeric(n.dataType) && IsNumeric(v->dataType) && v->dataType != n.dataType)
                StoreNumber(*v, n.dataType, NumberOf(*v));
            return v;
        }
        case opCast: return Cast(n, c);
        default: return NullValue(n.dataType);
    }
}

}  // namespace reruzo::evaluation
