// The JSON reader (a recursive descent over the grammar, with positions for every
// error) and writer of the engine tool.
#include "tools/reruzo/json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace reruzo::cli {

// ---- Values ---------------------------------------------------------------------

TJsonValue TJsonValue::Boolean(bool value) {
    TJsonValue v;
    v.kind_ = TKind::Boolean;
    v.boolean_ = value;
    return v;
}

TJsonValue TJsonValue::Number(std::string text) {
    TJsonValue v;
    v.kind_ = TKind::Number;
    v.text_ = std::move(text);
    return v;
}

TJsonValue TJsonValue::Number(std::int64_t value) { return Number(std::to_string(value)); }

TJsonValue TJsonValue::String(std::string utf8) {
    TJsonValue v;
    v.kind_ = TKind::String;
    v.text_ = std::move(utf8);
    return v;
}

TJsonValue TJsonValue::Array() {
    TJsonValue v;
    v.kind_ = TKind::Array;
    return v;
}

TJsonValue TJsonValue::Object() {
    TJsonValue v;
    v.kind_ = TKind::Object;
    return v;
}

std::optional<std::int64_t> TJsonValue::AsInteger() const {
    if (kind_ != TKind::Number || text_.find_first_of(".eE") != std::string::npos) return std::nullopt;
    std::int64_t v = 0;
    const char* end = text_.data() + text_.size();
    const auto r = std::from_chars(text_.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end) return std::nullopt;
    return v;
}

std::optional<double> TJsonValue::AsDouble() const {
    if (kind_ != TKind::Number) return std::nullopt;
    double v = 0;
    const char* end = text_.data() + text_.size();
    const auto r = std::from_chars(text_.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end) return std::nullopt;
    return v;
}

const TJsonValue* TJsonValue::Find(std::string_view key) const {
    for (const auto& [k, v] : members_) {
        if (k == key) return &v;
    }
    return nullptr;
}

TJsonValue& TJsonValue::Push(TJsonValue value) {
    items_.push_back(std::move(value));
    return items_.back();
}

TJsonValue& TJsonValue::Add(std::string key, TJsonValue value) {
    members_.emplace_back(std::move(key), std::move(value));
    return members_.back().second;
}

const char* TJsonValue::KindName(TKind kind) {
    switch (kind) {
        case TKind::Null: return "null";
        case TKind::Boolean: return "a boolean";
        case TKind::Number: return "a number";
        case TKind::String: return "a string";
        case TKind::Array: return "an array";
        case TKind::Object: return "an object";
    }
    return "?";
}

// ---- Reading ----------------------------------------------------------------------

namespace {

constexpr int kMaxDepth = 256;

// Length of the UTF-8 sequence at `p` (at most `left` bytes), 0 when it is not a
// valid one: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left, std::uint32_t* codePoint = nullptr) {
    const unsigned char c = p[0];
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
        n = 1;
        cp = c;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (n > left) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    if (codePoint) *codePoint = cp;
    return n;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Describe(const char* p, const char* end) {
    if (p >= end) return "the end of the input";
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7F) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "byte 0x%02X", c);
        return buf;
    }
    return std::string("'") + static_cast<char>(c) + "'";
}

}  // namespace

class TJsonReader {
public:
    TJsonReader(std::string_view text, int line) : p_(text.data()), end_(text.data() + text.size()), line_(line) {}

    TJsonValue ReadDocument() {
        SkipBlanks();
        TJsonValue v = ReadValue(0);
        SkipBlanks();
        if (p_ != end_) Fail("unexpected " + Describe(p_, end_) + " after the value");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const { throw EJsonError(what, line_, column_); }

    void Advance(std::size_t n = 1) {
        for (std::size_t i = 0; i < n; ++i, ++p_) {
            if (*p_ == '\n') {
                ++line_;
                column_ = 1;
            } else if ((static_cast<unsigned char>(*p_) & 0xC0) != 0x80) {
                ++column_;
            }
        }
    }

    void SkipBlanks() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) Advance();
    }

    void Expect(char c, const char* what) {
        SkipBlanks();
        if (p_ == end_ || *p_ != c) Fail(std::string("expected ") + what + ", found " + Describe(p_, end_));
        Advance();
    }

    TJsonValue ReadValue(int depth) {
        if (depth > kMaxDepth) Fail("values nested more than 256 deep");
        if (p_ == end_) Fail("expected a value, found the end of the input");
        const int line = line_;
        const int column = column_;
        TJsonValue v;
        switch (*p_) {
            case '{': v = ReadObject(depth); break;
            case '[': v = ReadArray(depth); break;
            case '"': v = TJsonValue::String(ReadString()); break;
            case 't': ReadWord("true"); v = TJsonValue::Boolean(true); break;
            case 'f': ReadWord("false"); v = TJsonValue::Boolean(false); break;
            case 'n': ReadWord("null"); break;
            default:
                if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
                    v = TJsonValue::Number(ReadNumber());
                } else {
                    Fail("expected a value, found " + Describe(p_, end_));
                }
        }
        v.line_ = line;
        v.column_ = column;
        return v;
    }

    void ReadWord(const char* word) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0)
            Fail("expected a value, found " + Describe(p_, end_));
        Advance(n);
        if (p_ != end_ && ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z') || (*p_ >= '0' && *p_ <= '9')))
            Fail("unexpected " + Describe(p_, end_) + " after '" + word + "'");
    }

    std::string ReadNumber() {
        const char* start = p_;
        auto digits = [&] {
            const char* from = p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') Advance();
            return p_ - from;
        };
        if (*p_ == '-') Advance();
        if (p_ == end_ || *p_ < '0' || *p_ > '9') Fail("expected a digit, found " + Describe(p_, end_));
        if (*p_ == '0') {
            Advance();
            if (p_ != end_ && *p_ >= '0' && *p_ <= '9') Fail("a number must not start with a leading zero");
        } else {
            digits();
        }
        if (p_ != end_ && *p_ == '.') {
            Advance();
            if (digits() == 0) Fail("expected a digit after the decimal point, found " + Describe(p_, end_));
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            Advance();
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) Advance();
            if (digits() == 0) Fail("expected a digit in the exponent, found " + Describe(p_, end_));
        }
        return std::string(start, p_);
    }

    unsigned ReadHex4() {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
            if (p_ == end_) Fail("expected four hexadecimal digits after \\u");
            const char c = *p_;
            unsigned d;
            if (c >= '0' && c <= '9') {
                d = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                d = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                d = static_cast<unsigned>(c - 'A' + 10);
            } else {
                Fail("expected four hexadecimal digits after \\u, found " + Describe(p_, end_));
            }
            v = v << 4 | d;
            Advance();
        }
        return v;
    }

    std::string ReadString() {
        Advance();  // the opening quote
        std::string out;
        for (;;) {
            if (p_ == end_) Fail("the string is not closed");
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                Advance();
                return out;
            }
            if (c < 0x20) Fail("a control character (" + Describe(p_, end_) + ") must be escaped in a string");
            if (c == '\\') {
                // Escape errors point at the backslash.
                const int line = line_;
                const int column = column_;
                auto bad = [&](const std::string& what) { throw EJsonError(what, line, column); };
                Advance();
                if (p_ == end_) Fail("the string is not closed");
                const char e = *p_;
                Advance();
                switch (e) {
                    case '"': out += '"'; break;
                    case '\\': out += '\\'; break;
                    case '/': out += '/'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    case 'u': {
                        std::uint32_t cp = ReadHex4();
                        if (cp >= 0xDC00 && cp <= 0xDFFF) bad("a low surrogate without a high one before it");
                        if (cp >= 0xD800 && cp <= 0xDBFF) {
                            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                                bad("a high surrogate must be followed by a low one");
                            Advance(2);
                            const std::uint32_t low = ReadHex4();
                            if (low < 0xDC00 || low > 0xDFFF) bad("a high surrogate must be followed by a low one");
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        }
                        AppendUtf8(out, cp);
                        break;
                    }
                    default:
                        bad(std::string("unknown escape \\") + (e >= 0x20 && e < 0x7F ? std::string(1, e) : "?"));
                }
                continue;
            }
            const std::size_t n = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(p_),
                                                     static_cast<std::size_t>(end_ - p_));
            if (n == 0) Fail("the text is not valid UTF-8");
            out.append(p_, n);
            Advance(n);
        }
    }

    TJsonValue ReadArray(int depth) {
        Advance();
        TJsonValue v = TJsonValue::Array();
        SkipBlanks();
        if (p_ != end_ && *p_ == ']') {
            Advance();
            return v;
        }
        for (;;) {
            SkipBlanks();
            v.Push(ReadValue(depth + 1));
            SkipBlanks();
            if (p_ != end_ && *p_ == ']') {
                Advance();
                return v;
            }
            Expect(',', "',' or ']' after an array item");
            SkipBlanks();
            if (p_ != end_ && *p_ == ']') Fail("a trailing comma before ']'");
        }
    }

    TJsonValue ReadObject(int depth) {
        Advance();
        TJsonValue v = TJsonValue::Object();
        SkipBlanks();
        if (p_ != end_ && *p_ == '}') {
            Advance();
            return v;
        }
        for (;;) {
            SkipBlanks();
            if (p_ == end_ || *p_ != '"') {
                if (p_ != end_ && *p_ == '}') Fail("a trailing comma before '}'");
                Fail("expected a key in double quotes, found " + Describe(p_, end_));
            }
            const int line = line_;
            const int column = column_;
            std::string key = ReadString();
            if (v.Find(key)) throw EJsonError("the key \"" + key + "\" appears twice", line, column);
            Expect(':', "':' after a key");
            SkipBlanks();
            v.Add(std::move(key), ReadValue(depth + 1));
            SkipBlanks();
            if (p_ != end_ && *p_ == '}') {
                Advance();
                return v;
            }
            Expect(',', "',' or '}' after a value");
        }
    }

    const char* p_;
    const char* end_;
    int line_;
    int column_ = 1;
};

TJsonValue ParseJson(std::string_view text, int line) { return TJsonReader(text, line).ReadDocument(); }

// ---- Writing ----------------------------------------------------------------------

void AppendJsonString(std::string& out, std::string_view utf8) {
    static const char* hex = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c >= 0x80) {
            const std::size_t n = Utf8SequenceLength(p, static_cast<std::size_t>(end - p));
            if (n == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
                ++p;
            } else {
                out.append(reinterpret_cast<const char*>(p), n);
                p += n;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++p;
    }
    out += '"';
}

namespace {

void WriteValue(std::string& out, const TJsonValue& v, int indent, int level) {
    auto newline = [&](int at) {
        if (indent < 0) return;
        out += '\n';
        out.append(static_cast<std::size_t>(indent * at), ' ');
    };
    switch (v.Kind()) {
        case TJsonValue::TKind::Null: out += "null"; break;
        case TJsonValue::TKind::Boolean: out += v.AsBoolean() ? "true" : "false"; break;
        case TJsonValue::TKind::Number: out += v.Text(); break;
        case TJsonValue::TKind::String: AppendJsonString(out, v.Text()); break;
        case TJsonValue::TKind::Array: {
            out += '[';
            // Arrays of plain values stay on one line.
            bool nested = false;
            for (const TJsonValue& item : v.Items()) nested = nested || item.IsArray() || item.IsObject();
            bool first = true;
            for (const TJsonValue& item : v.Items()) {
                if (!first) out += indent >= 0 && !nested ? ", " : ",";
                first = false;
                if (nested) newline(level + 1);
                WriteValue(out, item, indent, level + 1);
            }
            if (nested) newline(level);
            out += ']';
            break;
        }
        case TJsonValue::TKind::Object: {
            out += '{';
            // Below the top, an object without nested objects stays on one line.
            bool flat = level > 0;
            for (const auto& [key, value] : v.Members()) {
                flat = flat && !value.IsObject();
                for (const TJsonValue& item : value.Items()) flat = flat && !item.IsArray() && !item.IsObject();
            }
            bool first = true;
            for (const auto& [key, value] : v.Members()) {
                if (!first) out += indent >= 0 && flat ? ", " : ",";
                first = false;
                if (!flat) newline(level + 1);
                AppendJsonString(out, key);
                out += indent >= 0 ? ": " : ":";
                WriteValue(out, value, indent, level + 1);
            }
            if (!v.Members().empty() && !flat) newline(level);
            out += '}';
            break;
        }
    }
}

}  // namespace

void WriteJson(std::string& out, const TJsonValue& value, int indent) { WriteValue(out, value, indent, 0); }

std::optional<std::string> JsonNumberText(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

}  // namespace reruzo::cli
