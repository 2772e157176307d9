// Evaluation of expression trees for one record at a time: values and numbers,
// comparisons, LIKE, columns, operators and predicates (the functions are in
// expression_functions.cpp).
//
// An operator evaluates its operands into temporary nodes, reads them, builds its own
// result node and releases the operands at once (TValue does the releasing, also when
// a conversion raises).
#include "engine/expr/expression_eval.h"
#include "engine/expr/expression_values.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/field_text.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"

namespace reruzo::evaluation {

namespace nls = quorvane::nls;

constexpr unsigned kCompareFlags = nls::kNormIgnoreNonSpace | nls::kSortStringSort;

// ---- Type classes ----------------------------------------------------------------------

bool IsRaw(const TExpToken& v) { return v.dataType == kFieldBytes || (v.dataType == kFieldBlob && !IsMemo(v)); }
bool IsFloating(std::uint8_t t) { return t == kFieldFloat || t == kFieldTimeStamp; }

// Copies the bytes of a view, which may be empty and without storage.
void CopyBytes(void* to, std::string_view from) {
    if (!from.empty()) std::memcpy(to, from.data(), from.size());
}

// ---- Result nodes ----------------------------------------------------------------------

TValue NewValue(std::uint8_t type, std::uint8_t subType) {
    TValue r(AcquireNode());
    r->kind = nkConstant;
    r->dataType = type;
    r->subType = subType;
    r->dataSize = FixedValueSize(type);
    r->Reserve(std::max<std::uint32_t>(r->dataSize, 1));
    return r;
}

TValue NullValue(std::uint8_t type, std::uint8_t subType) {
    TValue r = NewValue(type, subType);
    r->isNull = true;
    return r;
}

void ClearValue(TExpToken& v) { std::fill(v.value.begin(), v.value.end(), std::uint8_t{0}); }

TValue Bool(bool b) {
    TValue r = NewValue(kFieldBoolean);
    PutLE<std::uint16_t>(r->value.data(), b ? 1 : 0);
    return r;
}

// A new value node of the same type, size and scale as `n`, with room for `bytes`.
TValue ValueOfTypeOf(const TExpToken& n, std::size_t bytes) {
    TValue r(AcquireNode());
    r->kind = nkConstant;
    r->dataType = n.dataType;
    r->subType = n.subType;
    r->dataSize = n.dataSize;
    r->scale = n.scale;
    r->Reserve(bytes);
    return r;
}

TValue Copy(const TExpToken& n) {
    TValue r = ValueOfTypeOf(n, n.value.size());
    r->isNull = n.isNull;
    if (!n.isNull) std::copy(n.value.begin(), n.value.end(), r->value.begin());
    return r;
}

// The bytes of a string or memo before the terminating zero; NULL reads as empty.
std::string_view Text(const TExpToken& v) {
    if (v.isNull || v.value.empty()) return {};
    std::size_t cap = v.value.size();
    if (v.dataType == kFieldBlob) cap = std::min<std::size_t>(cap, v.dataSize);
    const char* p = reinterpret_cast<const char*>(v.value.data());
    return {p, strnlen(p, cap)};
}

// The stored bytes of a BYTES or BLOB value.
std::string_view RawBytes(const TExpToken& v) {
    if (v.isNull) return {};
    return {reinterpret_cast<const char*>(v.value.data()), std::min<std::size_t>(v.dataSize, v.value.size())};
}

// Writes a string result: zero-terminated, NULL when empty. Its data size is the
// declared one when that is larger than the text.
void PutText(TExpToken& r, std::string_view s, std::uint32_t declaredSize) {
    r.dataType = kFieldString;
    r.subType = 0;
    r.Reserve(s.size() + 1);
    ClearValue(r);
    CopyBytes(r.value.data(), s);
    r.dataSize = std::max<std::uint32_t>(declaredSize, static_cast<std::uint32_t>(s.size() + 1));
    r.isNull = s.empty();
}

// Writes BLOB bytes, followed by a zero so that a memo also reads as a string.
void PutBlob(TExpToken& r, std::string_view s, std::uint8_t subType) {
    r.dataType = kFieldBlob;
    r.subType = subType;
    r.Reserve(s.size() + 1);
    ClearValue(r);
    CopyBytes(r.value.data(), s);
    r.dataSize = static_cast<std::uint32_t>(s.size());
    r.isNull = s.empty();
}

[[noreturn]] void RaiseConversion(std::string_view text, const char* what) {
    std::string message = "'";
    message.append(text);
    message += "' is not a valid ";
    message += what;
    RaiseEngineError(RERUZO_SQLPARSE, {.text = message});
}

// ---- Numbers ---------------------------------------------------------------------------


std::int64_t ClampToInt64(double f) {
    if (std::isnan(f)) return 0;
    if (f >= 9.2233720368547758e18) return INT64_MAX;
    if (f <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<std::int64_t>(f);
}

double AsDouble(const TNumber& n) {
    switch (n.kind) {
        case TNumber::kFloat: return n.f;
        case TNumber::kCurrency: return static_cast<double>(n.i) / 10000.0;
        default: return static_cast<double>(n.i);
    }
}
std::int64_t AsCurrency(const TNumber& n) {
    switch (n.kind) {
        case TNumber::kFloat: return ClampToInt64(std::round(n.f * 10000.0));
        case TNumber::kCurrency: return n.i;
        default: return static_cast<std::int64_t>(static_cast<std::uint64_t>(n.i) * 10000u);
    }
}
// Floats and currency values are cut towards zero, as the field writers do.
std::int64_t AsInteger(const TNumber& n) {
    switch (n.kind) {
        case TNumber::kFloat: return ClampToInt64(n.f);
        case TNumber::kCurrency: return n.i / 10000;
        default: return n.i;
    }
}

// The numeric view of a stored value: dates as day numbers, times as milliseconds,
// timestamps as float milliseconds, booleans as 0/1. NULL is 0.
TNumber NumberOf(const TExpToken& v) {
    if (v.isNull) return Int(0);
    const std::uint8_t* p = v.value.data();
    switch (v.dataType) {
        case kFieldSmallInt: return Int(GetLE<std::int16_t>(p));
        case kFieldWord: return Int(GetLE<std::uint16_t>(p));
        case kFieldBoolean: return Int(GetLE<std::uint16_t>(p) != 0 ? 1 : 0);
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: return Int(GetLE<std::int32_t>(p));
        case kFieldLargeInt: return Int(GetLE<std::int64_t>(p));
        case kFieldFloat:
        case kFieldTimeStamp: return Float(GetLE<double>(p));
        case kFieldBCD: return Currency(BcdToCurrency(std::span<const std::uint8_t>(p, kBcdSize)));
        default: return Int(0);
    }
}

// Stores a number in the storage format of `type`.
void StoreNumber(TExpToken& r, std::uint8_t type, const TNumber& n) {
    r.dataType = type;
    r.dataSize = FixedValueSize(type);
    r.Reserve(std::max<std::uint32_t>(r.dataSize, 1));
    r.isNull = false;
    std::uint8_t* p = r.value.data();
    switch (type) {
        case kFieldSmallInt: PutLE(p, static_cast<std::int16_t>(AsInteger(n))); break;
        case kFieldWord: PutLE(p, static_cast<std::uint16_t>(AsInteger(n))); break;
        case kFieldBoolean: PutLE<std::uint16_t>(p, AsDouble(n) != 0 ? 1 : 0); break;
        case kFieldInteger:
        case kFieldDate:
        case kFieldTime: PutLE(p, static_cast<std::int32_t>(AsInteger(n))); break;
        case kFieldLargeInt: PutLE(p, AsInteger(n)); break;
        case kFieldFloat:
        case kFieldTimeStamp: PutLE(p, AsDouble(n)); break;
        case kFieldBCD: CurrencyToBcd(AsCurrency(n), std::span<std::uint8_t>(p, kBcdSize)); break;
        default:
            // Not a number type: keep the value as a float.
            r.dataType = kFieldFloat;
            r.dataSize = 8;
            PutLE(p, AsDouble(n));
    }
}

template <typename T>
int Sign(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareNumbers(const TNumber& a, const TNumber& b) {
    if (a.kind == TNumber::kFloat || b.kind == TNumber::kFloat) return Sign(AsDouble(a), AsDouble(b));
    if (a.kind == TNumber::kCurrency || b.kind == TNumber::kCurrency) {
        auto scaled = [](const TNumber& n) {
            return n.kind == TNumber::kCurrency ? static_cast<__int128>(n.i) : static_cast<__int128>(n.i) * 10000;
        };
        return Sign(scaled(a), scaled(b));
    }
    return Sign(a.i, b.i);
}

// ---- Text forms ------------------------------------------------------------------------

// The written-out form of a value that is not text.
std::string ValueText(const TExpToken& v) {
    if (v.isNull) return {};
    switch (v.dataType) {
        case kFieldBytes:
        case kFieldBlob: return std::string(RawBytes(v));
        case kFieldString: return std::string(Text(v));
        default: {
            const std::size_t size = FixedValueSize(v.dataType);
            if (v.value.size() < size) return {};
            return FieldDataText(v.dataType, std::span<const std::uint8_t>(v.value.data(), size), TBooleanWords::Upper)
                .value_or(std::string());
        }
    }
}

// ---- String comparison -----------------------------------------------------------------


// Compares two strings: bytewise without a language (with ASCII letters upper-cased
// when case is ignored, as case-insensitive indexes store them; other bytes may be
// halves of double-byte characters), otherwise in the locale of the table. `prefix` > 0 compares only
// that many leading characters.
int CompareText(std::string_view a, std::string_view b, const TEvalContext& c, bool ignoreCase,
                std::size_t prefix) {
    if (prefix > 0) {
        a = a.substr(0, std::min(prefix, a.size()));
        b = b.substr(0, std::min(prefix, b.size()));
    }
    if (c.languageId != 0) {
        return nls::CompareStrings(a, b, c.languageId, c.sortId, kCompareFlags | (ignoreCase ? nls::kNormIgnoreCase : 0));
    }
    const std::size_t n = std::min(a.size(), b.size());
    if (!ignoreCase) {
        const int r = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
        if (r != 0) return r < 0 ? -1 : 1;
    } else {
        const nls::TCaseTable& up = nls::CaseTable(c.languageId, true);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t x = up[static_cast<unsigned char>(a[i])];
            const std::uint8_t y = up[static_cast<unsigned char>(b[i])];
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return Sign(a.size(), b.size());
}

// Both operands take part as strings: at least one is a string or memo and the other
// is one too or an untyped NULL.
bool TextOperands(const TExpToken& a, const TExpToken& b) {
    const bool ta = IsText(a) || (a.dataType == 0 && a.isNull);
    const bool tb = IsText(b) || (b.dataType == 0 && b.isNull);
    return ta && tb && (IsText(a) || IsText(b));
}

// Compares two values that are not NULL, or two NULLs by their zero values.
int CompareValues(const TExpToken& a, const TExpToken& b, const TEvalContext& c, bool ignoreCase = false,
                  std::size_t prefix = 0) {
    if (TextOperands(a, b)) return CompareText(Text(a), Text(b), c, ignoreCase, prefix);
    if (IsText(a) != IsText(b)) {
        // A string beside another type: compared with that value's written form.
        if (IsText(a)) return CompareText(Text(a), ValueText(b), c, ignoreCase, prefix);
        return CompareText(ValueText(a), Text(b), c, ignoreCase, prefix);
    }
    if (IsRaw(a) || IsRaw(b)) {
        const std::string_view x = RawBytes(a), y = RawBytes(b);
        const std::size_t n = std::min(x.size(), y.size());
        const int r = n == 0 ? 0 : std::memcmp(x.data(), y.data(), n);
        return r != 0 ? (r < 0 ? -1 : 1) : Sign(x.size(), y.size());
    }
    TNumber x = NumberOf(a), y = NumberOf(b);
    // A date beside a timestamp counts in timestamp milliseconds.
    if (a.dataType == kFieldDate && b.dataType == kFieldTimeStamp && !a.isNull)
        x = Float(ToTimeStamp(static_cast<std::int32_t>(x.i), 0));
    if (b.dataType == kFieldDate && a.dataType == kFieldTimeStamp && !b.isNull)
        y = Float(ToTimeStamp(static_cast<std::int32_t>(y.i), 0));
    return CompareNumbers(x, y);
}

// A comparison operator with its NULL rules.
bool Comparison(std::uint8_t op, const TExpToken& a, const TExpToken& b, const TEvalContext& c,
                bool ignoreCase = false, std::size_t prefix = 0) {
    if (op == opEq || op == opNe) {
        bool equal;
        if (a.isNull != b.isNull) {
            equal = false;
        } else if (a.isNull) {
            equal = true;
        } else {
            equal = CompareValues(a, b, c, ignoreCase, prefix) == 0;
        }
        return op == opEq ? equal : !equal;
    }
    // Strings compare as they are (NULL as empty); other types: one NULL is false, two
    // NULLs compare their zero values.
    if (!TextOperands(a, b) && a.isNull != b.isNull) return false;
    const int r = CompareValues(a, b, c, ignoreCase, prefix);
    switch (op) {
        case opLt: return r < 0;
        case opGt: return r > 0;
        case opLe: return r <= 0;
        case opGe: return r >= 0;
        default: return false;
    }
}

bool IsTrue(const TExpToken& v) { return !v.isNull && AsDouble(NumberOf(v)) != 0; }

// ---- LIKE ------------------------------------------------------------------------------

bool SameByte(char a, char b, const TEvalContext& c) {
    if (a == b) return true;
    if (c.languageId == 0) return false;
    return nls::CompareStrings(std::string_view(&a, 1), std::string_view(&b, 1), c.languageId, c.sortId,
                               kCompareFlags) == 0;
}

// "%" matches any run of bytes, "_" one byte. On a mismatch the last "%" takes one
// more value byte and matching resumes after it.
bool Like(std::string_view value, std::string_view pattern, const TEvalContext& c) {
    std::size_t p = 0, v = 0;
    std::size_t starP = std::string_view::npos, starV = 0;
    for (;;) {
        if (p + 1 == pattern.size() && pattern[p] == '%') return true;
        if (p < pattern.size() && pattern[p] == '%') {
            starP = p++;
            starV = v;
            continue;
        }
        if (p == pattern.size() && v == value.size()) return true;
        if (p < pattern.size() && v < value.size() && (pattern[p] == '_' || SameByte(pattern[p], value[v], c))) {
            ++p;
            ++v;
            continue;
        }
        if (starP == std::string_view::npos || starV >= value.size()) return false;
        v = ++starV;
        p = starP + 1;
    }
}

// ---- Substring search --------------------------------------------------------------------

// Positions where a match may start. Without a language a byte 0x81..0xFE leads a
// double-byte character, and the byte after it can not start a match.
std::size_t CharLength(std::string_view s, std::size_t i, bool doubleByte) {
    const auto b = static_cast<unsigned char>(s[i]);
    return doubleByte && b >= 0x81 && b <= 0xFE && i + 1 < s.size() ? 2 : 1;
}

std::size_t Find(std::string_view s, std::string_view what, std::size_t from, bool doubleByte) {
    if (what.empty()) return std::string_view::npos;
    for (std::size_t i = from; i + what.size() <= s.size(); i += CharLength(s, i, doubleByte)) {
        if (std::memcmp(s.data() + i, what.data(), what.size()) == 0) return i;
    }
    return std::string_view::npos;
}

// ---- Columns and operators ---------------------------------------------------------------

TValue ReadColumn(const TExpToken& n, const TEvalContext& c) {
    TValue r = ValueOfTypeOf(n, n.dataSize + 1);
    if (c.columns) {
        c.columns->ReadColumn(n, *r);
    } else {
        r->isNull = true;
    }
    if (r->isNull) ClearValue(*r);
    return r;
}

TValue Unary(const TExpToken& n, const TEvalContext& c) {
    TValue a = Eval(n.Operand(0), c);
    if (n.op == opNot) return Bool(!IsTrue(*a));
    if (n.op != opNegate || IsText(*a) || IsRaw(*a)) return a;
    const std::uint8_t type = n.dataType != 0 ? n.dataType : a->dataType;
    if (a->isNull) return NullValue(type, a->subType);
    TNumber v = NumberOf(*a);
    if (v.kind == TNumber::kFloat) {
        v.f = -v.f;
    } else {
        v.i = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(v.i));
    }
    TValue r = NewValue(type, a->subType);
    StoreNumber(*r, type, v);
    return r;
}

TValue Concatenate(const TExpToken& n, const TExpToken& a, const TExpToken& b) {
    const std::string_view x = Text(a), y = Text(b);
    TValue r = NewValue(kFieldString);
    const std::size_t size = x.size() + y.size();
    r->Reserve(size + 1);
    CopyBytes(r->value.data(), x);
    CopyBytes(r->value.data() + x.size(), y);
    r->value[size] = 0;
    r->isNull = size == 0;
    if (n.dataType == kFieldBlob) {
        r->dataType = kFieldBlob;
        r->subType = kSubMemo;
        r->dataSize = static_cast<std::uint32_t>(size);
    } else {
        r->dataSize = std::max<std::uint32_t>(n.dataSize, static_cast<std::uint32_t>(size + 1));
    }
    return r;
}

// Date and time arithmetic on stored values. Sets the value; false when the operands
// are not a date/time combination this handles.
bool TemporalArithmetic(std::uint8_t op, const TExpToken& a, const TExpToken& b, TNumber& value) {
    const std::uint8_t ta = a.dataType, tb = b.dataType;
    const TNumber x = NumberOf(a), y = NumberOf(b);
    auto dayMs = [](const TNumber& day) { return ToTimeStamp(static_cast<std::int32_t>(day.i), 0); };
    if (op == opAdd && (IsTemporal(ta) != IsTemporal(tb))) {
        const std::uint8_t t = IsTemporal(ta) ? ta : tb;
        const TNumber& base = IsTemporal(ta) ? x : y;
        const TNumber& amount = IsTemporal(ta) ? y : x;
        value = t == kFieldTimeStamp ? Float(base.f + AsDouble(amount)) : Int(base.i + AsInteger(amount));
        return true;
    }
    if (op != opSubtract) return false;
    if (IsTemporal(ta) && !IsTemporal(tb)) {
        value = ta == kFieldTimeStamp ? Float(x.f - AsDouble(y)) : Int(x.i - AsInteger(y));
        return true;
    }
    if (!IsTemporal(ta) || !IsTemporal(tb)) return false;
    if (ta == tb) {
        // Days between dates, milliseconds between times (integers) and timestamps (float).
        value = ta == kFieldTimeStamp ? Float(x.f - y.f) : Int(x.i - y.i);
        return true;
    }
    // Mixed kinds give whole milliseconds: a date counts as its midnight, a time as
    // milliseconds of day 0.
    auto ms = [&](std::uint8_t t, const TNumber& v) {
        return t == kFieldDate ? dayMs(v) : (t == kFieldTime ? static_cast<double>(v.i) : v.f);
    };
    value = Int(ClampToInt64(ms(ta, x) - ms(tb, y)));
    return true;
}

TValue Arithmetic(const TExpToken& n, const TEvalContext& c) {
    TValue a = Eval(n.Operand(0), c);
    TValue b = Eval(n.Operand(1), c);
    if (n.op == opAdd && (IsText(*a) || IsText(*b))) return Concatenate(n, *a, *b);
    const std::uint8_t ta = a->dataType, tb = b->dataType;

    TNumber value;
    const bool temporal = !a->isNull && !b->isNull && TemporalArithmetic(n.op, *a, *b, value);
    // Validation gave the node its type; a tree built without it gets the same rule.
    const std::uint8_t type =
        n.dataType != 0 && n.dataType != kFieldString ? n.dataType : ArithmeticType(n.op, ta, tb);
    if (a->isNull || b->isNull) return NullValue(type, n.subType);
    TValue r = NewValue(type, n.subType);
    if (temporal) {
        StoreNumber(*r, type, value);
        return r;
    }

    const TNumber x = NumberOf(*a), y = NumberOf(*b);
    enum { kIntDomain, kFloatDomain, kCurrencyDomain } domain = kIntDomain;
    if (IsFloating(type)) {
        domain = kFloatDomain;
    } else if (type == kFieldBCD) {
        domain = kCurrencyDomain;
    } else if (x.kind == TNumber::kFloat || y.kind == TNumber::kFloat) {
        domain = kFloatDomain;
    } else if (x.kind == TNumber::kCurrency || y.kind == TNumber::kCurrency) {
        domain = kCurrencyDomain;
    }
    if (domain == kFloatDomain) {
        const double p = AsDouble(x), q = AsDouble(y);
        if (n.op == opDivide && q == 0) return NullValue(type, n.subType);
        double v = 0;
        switch (n.op) {
            case opAdd: v = p + q; break;
            case opSubtract: v = p - q; break;
            case opMultiply: v = p * q; break;
            case opDivide: v = p / q; break;
            default: break;
        }
        value = Float(v);
    } else if (domain == kCurrencyDomain) {
        const __int128 p = AsCurrency(x), q = AsCurrency(y);
        if (n.op == opDivide && q == 0) return NullValue(type, n.subType);
        __int128 v = 0;
        switch (n.op) {
            case opAdd: v = p + q; break;
            case opSubtract: v = p - q; break;
            case opMultiply: v = p * q / 10000; break;
            case opDivide: v = p * 10000 / q; break;
            default: break;
        }
        value = Currency(static_cast<std::int64_t>(v));
    } else {
        const auto p = static_cast<std::uint64_t>(x.i), q = static_cast<std::uint64_t>(y.i);
        if (n.op == opDivide && y.i == 0) return NullValue(type, n.subType);
        std::int64_t v = 0;
        switch (n.op) {
            case opAdd: v = static_cast<std::int64_t>(p + q); break;
            case opSubtract: v = static_cast<std::int64_t>(p - q); break;
            case opMultiply: v = static_cast<std::int64_t>(p * q); break;
            case opDivide: v = (x.i == INT64_MIN && y.i == -1) ? INT64_MIN : x.i / y.i; break;
            default: break;
        }
        value = Int(v);
    }
    StoreNumber(*r, type, value);
    return r;
}

TValue Binary(const TExpToken& n, const TEvalContext& c) {
    switch (n.op) {
        case opAnd:
        case opOr: {
            // The right operand first; the left one only when the right does not decide.
            const bool right = IsTrue(*Eval(n.Operand(1), c));
            if (n.op == opAnd && !right) return Bool(false);
            if (n.op == opOr && right) return Bool(true);
            return Bool(IsTrue(*Eval(n.Operand(0), c)));
        }
        case opEq:
        case opNe:
        case opLt:
        case opGt:
        case opLe:
        case opGe: {
            TValue a = Eval(n.Operand(0), c);
            TValue b = Eval(n.Operand(1), c);
            if (n.kind == nkStringCompare) {
                return Bool(Comparison(n.op, *a, *b, c, n.evalFlag != 0,
                                       n.evalSlot > 0 ? static_cast<std::size_t>(n.evalSlot) : 0));
            }
            return Bool(Comparison(n.op, *a, *b, c));
        }
        case opAdd:
        case opSubtract:
        case opMultiply:
        case opDivide: return Arithmetic(n, c);
        default: return NullValue(n.dataType);
    }
}

TValue Predicate(const TExpToken& n, const TEvalContext& c) {
    switch (n.op) {
        case opLike:
        case opNotLike: {
            TValue v = Eval(n.Operand(0), c);
            TValue p = Eval(n.Operand(1), c);
            const bool match = !v->isNull && !p->isNull && Like(Text(*v), Text(*p), c);
            return Bool(n.op == opLike ? match : !match);
        }
        case opBetween:
        case opNotBetween: {
            TValue v = Eval(n.Operand(0), c);
            bool inside = Comparison(opGe, *v, *Eval(n.Operand(1), c), c);
            if (inside) inside = Comparison(opLe, *v, *Eval(n.Operand(2), c), c);
            return Bool(n.op == opBetween ? inside : !inside);
        }
        case opInList:
        case opNotInList: {
            TValue v = Eval(n.Operand(0), c);
            bool found = false;
            for (std::size_t i = 1; i < n.operands.size() && !found; ++i)
                found = Comparison(opEq, *v, *Eval(n.operands[i], c), c);
            return Bool(n.op == opInList ? found : !found);
        }
        case opInSelect:
        case opNotInSelect: {
            TValue v = Eval(n.Operand(0), c);
            const TExpToken* sub = n.Operand(1);
            const bool found = sub && sub->subSelect && sub->subSelect->Contains(*v);
            return Bool(n.op == opInSelect ? found : !found);
        }
        default: return Bool(false);
    }
}

TValue Eval(const TExpToken* n, const TEvalContext& c) {
    if (!n) return NullValue(0);
    switch (n->kind) {
        case nkColumn: return ReadColumn(*n, c);
        case nkUnary: return Unary(*n, c);
        case nkBinary:
        case nkStringCompare: return Binary(*n, c);
        case nkPredicate: return Predicate(*n, c);
        case nkFunction: return Function(*n, c);
        case nkSubSelect: return NullValue(n->dataType);
        default: return Copy(*n);  // constants and bound parameters
    }
}

}  // namespace reruzo::evaluation

namespace reruzo {

using namespace evaluation;

void TRecordColumns::ReadColumn(const TExpToken& column, TExpToken& into) {
    into.kind = nkConstant;
    ClearValue(into);
    if (column.fieldNo == 0 || column.fieldNo > fields_.size()) {
        into.isNull = true;
        return;
    }
    const TFieldDesc& d = fields_[column.fieldNo - 1u];
    into.dataType = d.FieldType == kFieldVarBytes ? kFieldBytes : d.FieldType;
    into.subType = d.SubType;
    into.scale = d.Scale;
    into.isNull = FieldIsNull(record_, d);
    switch (into.dataType) {
        case kFieldString:
        case kFieldBytes:
        case kFieldBCD: {
            const auto data = FieldData(record_, d);
            into.dataSize = d.DataSize;
            into.Reserve(data.size() + 1);
            ClearValue(into);
            if (!into.isNull) std::copy(data.begin(), data.end(), into.value.begin());
            return;
        }
        case kFieldBlob:
            // The record holds only a reference to the BLOB's blocks; a source with
            // access to the BLOB file supplies the bytes.
            into.dataSize = 0;
            return;
        case kFieldFloat:
        case kFieldTimeStamp:
            StoreNumber(into, into.dataType, Float(into.isNull ? 0.0 : GetFloatField(record_, d)));
            break;
        default:
            StoreNumber(into, into.dataType, Int(into.isNull ? 0 : GetIntegerField(record_, d)));
            break;
    }
    into.isNull = FieldIsNull(record_, d);
    if (into.isNull) ClearValue(into);
}

TExpToken* Evaluate(const TExpToken* root, const TEvalContext& context) { return Eval(root, context).release(); }

bool Accepts(const TExpToken* root, const TEvalContext& context) {
    const TValue v = Eval(root, context);
    return IsTrue(*v);
}

bool LikeMatches(std::string_view value, std::string_view pattern, const TEvalContext& context) {
    return Like(value, pattern, context);
}

}  // namespace reruzo
