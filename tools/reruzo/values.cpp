// Conversions between record fields and their JSON forms (see values.h).
#include "tools/reruzo/values.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/field_text.h"
#include "engine/storage/value_text.h"
#include "platform/codepage.h"

namespace reruzo::cli {

// ---- Code pages ---------------------------------------------------------------------

namespace {
constexpr int kUtf8CodePage = 65001;
}

bool TTextCodec::Supported(int codePage) {
    return codePage == kUtf8CodePage || quorvane::codepage::FromUtf8("A", codePage).has_value();
}

std::string TTextCodec::ToUtf8(std::string_view text) const {
    if (codePage_ == kUtf8CodePage) return std::string(text);
    return quorvane::codepage::ToUtf8(text, codePage_);
}

std::optional<std::string> TTextCodec::FromUtf8(std::string_view utf8) const {
    if (codePage_ == kUtf8CodePage) return std::string(utf8);
    return quorvane::codepage::FromUtf8(utf8, codePage_);
}

std::string TTextCodec::Encode(std::string_view utf8, const std::string& what) const {
    auto text = FromUtf8(utf8);
    if (!text) throw EValueError(what + " has a character that code page " + std::to_string(codePage_) + " lacks");
    return *text;
}

// ---- Output -------------------------------------------------------------------------

namespace {

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    for (std::uint8_t b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    out += '"';
}

void AppendFloat(std::string& out, double v) {
    if (auto text = JsonNumberText(v)) {
        out += *text;
    } else {
        out += std::isnan(v) ? "\"NaN\"" : v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    }
}

}  // namespace

std::vector<std::uint8_t> ReadBlobContents(TDataCursor& cursor, std::span<const std::uint8_t> record,
                                           const TFieldDesc& field) {
    std::vector<std::uint8_t> contents;
    if (FieldIsNull(record, field)) return contents;
    try {
        contents.resize(cursor.GetBlobSize(record, field.FieldNo));
        contents.resize(cursor.GetBlob(record, field.FieldNo, 0, contents));
    } catch (...) {
        cursor.FreeBlob(record, field.FieldNo);
        throw;
    }
    cursor.FreeBlob(record, field.FieldNo);
    return contents;
}

void AppendColumnJson(std::string& out, TDataCursor& cursor, std::span<const std::uint8_t> record,
                      const TFieldDesc& field, const TTextCodec& codec) {
    if (IsBlobField(field)) {
        AppendBlobJson(out, ReadBlobContents(cursor, record, field), field, codec);
    } else {
        AppendFieldJson(out, record, field, codec);
    }
}

void AppendFieldJson(std::string& out, std::span<const std::uint8_t> record, const TFieldDesc& f,
                     const TTextCodec& codec) {
    using TKind = TPlainValue::TKind;
    const TPlainValue v = FieldPlainValue(record, f);
    switch (v.kind) {
        case TKind::Null: out += "null"; return;
        case TKind::Integer: out += std::to_string(v.integer); return;
        case TKind::Float: AppendFloat(out, v.number); return;
        case TKind::Boolean: out += v.boolean ? "true" : "false"; return;
        case TKind::Text: AppendJsonString(out, v.text); return;
        case TKind::String: AppendJsonString(out, codec.ToUtf8(v.text)); return;
        case TKind::Bytes:
            AppendHex(out, std::span(reinterpret_cast<const std::uint8_t*>(v.text.data()), v.text.size()));
            return;
    }
}

void AppendBlobJson(std::string& out, std::span<const std::uint8_t> contents, const TFieldDesc& f,
                    const TTextCodec& codec) {
    if (contents.empty()) {
        out += "null";
    } else if (IsTextBlob(f)) {
        AppendJsonString(out, codec.ToUtf8(std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size())));
    } else {
        AppendHex(out, contents);
    }
}

// ---- Input --------------------------------------------------------------------------

namespace {

[[noreturn]] void Refuse(const std::string& what) { throw EValueError(what); }

// A value as a message shows it: strings quoted, numbers as written, both cut to an
// Excerpt.
std::string Shown(const TJsonValue& v) {
    if (v.IsString()) {
        std::string s;
        AppendJsonString(s, Excerpt(v.Text()));
        return s;
    }
    if (v.IsNumber()) return Excerpt(v.Text());
    if (v.IsBoolean()) return v.AsBoolean() ? "true" : "false";
    return TJsonValue::KindName(v.Kind());
}

template <typename T>
std::vector<std::uint8_t> Bytes(T v) {
    std::vector<std::uint8_t> out(sizeof v);
    PutLE(out.data(), v);
    return out;
}

std::int64_t IntegerIn(const TJsonValue& v, std::int64_t low, std::int64_t high) {
    const auto n = v.AsInteger();
    if (!n || *n < low || *n > high) {
        Refuse("takes an integer from " + std::to_string(low) + " to " + std::to_string(high) + ", not " + Shown(v));
    }
    return *n;
}

double FloatOf(const TJsonValue& v) {
    if (v.IsString()) {
        if (v.Text() == "NaN") return std::numeric_limits<double>::quiet_NaN();
        if (v.Text() == "Infinity") return std::numeric_limits<double>::infinity();
        if (v.Text() == "-Infinity") return -std::numeric_limits<double>::infinity();
    }
    const auto d = v.AsDouble();
    if (!d) Refuse("takes a number, not " + Shown(v));
    return *d;
}

const std::string& StringOf(const TJsonValue& v, const char* form) {
    if (!v.IsString()) Refuse(std::string("takes ") + form + ", not " + Shown(v));
    return v.Text();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of a hexadecimal string (either letter case, two digits a byte).
std::vector<std::uint8_t> HexOf(const TJsonValue& v) {
    const std::string& hex = StringOf(v, "hexadecimal bytes");
    std::vector<std::uint8_t> out(hex.size() / 2);
    bool sound = hex.size() % 2 == 0;
    for (std::size_t i = 0; sound && i < out.size(); ++i) {
        const int high = HexDigit(hex[2 * i]);
        const int low = HexDigit(hex[2 * i + 1]);
        sound = high >= 0 && low >= 0;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (!sound) Refuse("takes hexadecimal bytes, not " + Shown(v));
    return out;
}

}  // namespace

std::vector<std::uint8_t> EncodeBcd(std::string_view text, std::uint8_t scale) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    std::string whole, fraction;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') whole += text[i++];
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') fraction += text[i++];
        if (fraction.empty()) whole.clear();  // "5." is not a number
    }
    if (i != text.size() || whole.empty()) throw EValueError("takes a decimal number, not \"" + Excerpt(text) + "\"");
    while (whole.size() > 1 && whole[0] == '0') whole.erase(0, 1);
    while (fraction.size() > scale && fraction.back() == '0') fraction.pop_back();
    if (fraction.size() > scale) {
        throw EValueError("has " + std::to_string(scale) + " decimal places, \"" + Excerpt(text) + "\" has more");
    }
    if (whole.size() > static_cast<std::size_t>(kBcdFieldPrecision - scale)) {
        throw EValueError("takes at most " + std::to_string(kBcdFieldPrecision - scale) + " digits before the decimal point");
    }
    fraction.resize(scale, '0');
    const std::string digits = std::string(static_cast<std::size_t>(kBcdFieldPrecision - scale) - whole.size(), '0') + whole + fraction;
    const bool zero = digits.find_first_not_of('0') == std::string::npos;
    std::vector<std::uint8_t> out(kBcdSize, 0);
    PackBcd(negative && !zero, digits, scale, out);
    return out;
}

std::optional<std::vector<std::uint8_t>> FieldDataFromJson(const TJsonValue& v, const TFieldDesc& f,
                                                           const TTextCodec& codec) {
    if (v.IsNull()) return std::nullopt;
    switch (f.FieldType) {
        case kFieldString: {
            const std::string& utf8 = StringOf(v, "a string");
            if (utf8.find('\0') != std::string::npos) Refuse("cannot hold the character U+0000");
            std::string text = codec.Encode(utf8, "the text");
            if (text.size() > f.Length) {
                Refuse("holds " + std::to_string(f.Length) + " bytes, the text takes " + std::to_string(text.size()));
            }
            return std::vector<std::uint8_t>(text.begin(), text.end());
        }
        case kFieldBoolean:
            if (!v.IsBoolean()) Refuse("takes true or false, not " + Shown(v));
            return Bytes<std::uint16_t>(v.AsBoolean() ? 1 : 0);
        case kFieldSmallInt: return Bytes(static_cast<std::int16_t>(IntegerIn(v, -32768, 32767)));
        case kFieldWord: return Bytes(static_cast<std::uint16_t>(IntegerIn(v, 0, 65535)));
        case kFieldInteger: {
            const std::int64_t low = f.IsAutoInc() ? 1 : std::numeric_limits<std::int32_t>::min();
            return Bytes(static_cast<std::int32_t>(IntegerIn(v, low, std::numeric_limits<std::int32_t>::max())));
        }
        case kFieldLargeInt:
            return Bytes(IntegerIn(v, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()));
        case kFieldFloat: return Bytes(FloatOf(v));
        case kFieldBCD:
            if (!v.IsString() && !v.IsNumber()) Refuse("takes a decimal number, not " + Shown(v));
            if (v.IsNumber() && v.Text().find_first_of("eE") != std::string::npos) {
                Refuse("takes a decimal number without an exponent, not " + Excerpt(v.Text()));
            }
            return EncodeBcd(v.Text(), f.Scale);
        case kFieldDate: {
            const auto day = ParseIsoDate(StringOf(v, "a date \"YYYY-MM-DD\""));
            if (!day) Refuse("takes a date \"YYYY-MM-DD\", not " + Shown(v));
            return Bytes(*day);
        }
        case kFieldTime: {
            const auto ms = ParseIsoTime(StringOf(v, "a time \"HH:MM:SS.mmm\""));
            if (!ms) Refuse("takes a time \"HH:MM:SS.mmm\", not " + Shown(v));
            return Bytes(*ms);
        }
        case kFieldTimeStamp: {
            const std::string& s = StringOf(v, "a timestamp \"YYYY-MM-DD HH:MM:SS.mmm\"");
            const auto day = s.size() > 11 && s[10] == ' ' ? ParseIsoDate(std::string_view(s).substr(0, 10)) : std::nullopt;
            const auto ms = day ? ParseIsoTime(std::string_view(s).substr(11)) : std::nullopt;
            if (!ms) Refuse("takes a timestamp \"YYYY-MM-DD HH:MM:SS.mmm\", not " + Shown(v));
            return Bytes(ToTimeStamp(*day, *ms));
        }
        case kFieldBytes:
        case kFieldVarBytes: {
            std::vector<std::uint8_t> out = HexOf(v);
            if (out.size() > f.Length) {
                Refuse("holds " + std::to_string(f.Length) + " bytes, the value has " + std::to_string(out.size()));
            }
            out.resize(f.Length, 0);
            return out;
        }
        case kFieldBlob: Refuse("is a BLOB field, whose contents are not stored in the record");
        default: Refuse("has a type (" + std::to_string(f.FieldType) + ") the tool cannot store");
    }
}

std::vector<std::uint8_t> BlobDataFromJson(const TJsonValue& v, const TFieldDesc& f, const TTextCodec& codec) {
    if (!IsBlobField(f)) Refuse("is no BLOB field");
    if (v.IsNull()) return {};
    if (!IsTextBlob(f)) return HexOf(v);
    // Memo text is as long as it is: unlike a char field it has no closing zero byte,
    // so U+0000 is a character like any other.
    const std::string text = codec.Encode(StringOf(v, "a string"), "the text");
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace reruzo::cli
