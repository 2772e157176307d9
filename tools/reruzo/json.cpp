// The JSON reader and writer of the engine tool. Reading goes through nlohmann-json's
// SAX interface, with positions for every value and every error; writing is done
// here, in the tool's own layout.
#include "tools/reruzo/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

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
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
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
    return n;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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

// Builds a TJsonValue from the events of nlohmann-json's SAX parser, which does the
// reading proper: the grammar, escapes, UTF-8 and the conversion of strings.
//
// The events carry no positions, and a number event carries no source text for
// integers (and for other numbers a copy made with the locale's decimal point), so
// the reader walks a cursor through the text in step with the events. Every event
// stands for a token that the parser has just read and found well-formed, and the
// only tokens between two events are ',' and ':'; so the cursor skips blanks, commas
// and colons, is then at the token's first character (the value's line and column),
// and steps over the token with the little it needs to know of its shape. A number's
// text is the stretch the cursor stepped over: exactly the source, so 64-bit integers,
// "-0", long decimals and integers too long for 64 bits all keep their digits.
//
// When the parser reports an error, the cursor is at the end of the last good token,
// and the parser stopped in the next token or two. The reader then looks at that
// part of the text in the context of the events so far (which container is open,
// whether a key or a value came last) and names the fault and its position the way
// the messages of the tool always have. Should it find none where the parser did, it
// falls back to the parser's own message at the parser's position.
class TJsonReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    TJsonReader(std::string_view text, int line)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), firstLine_(line), line_(line) {}

    TJsonValue ReadDocument() {
        // The parser skips a byte order mark at the start; JSON text has none.
        if (p_ != end_ && static_cast<unsigned char>(*p_) == 0xEF) Locate();
        nlohmann::json::sax_parse(begin_, end_, this);
        // The parser also takes a zero byte for the end of the input: whatever is
        // left after the value must be blanks only.
        Locate();
        return std::move(root_);
    }

    // ---- Events ----

    bool null() override {
        Scalar(TJsonValue(), 4);
        lastWord_ = "null";
        return true;
    }

    bool boolean(bool value) override {
        Scalar(TJsonValue::Boolean(value), value ? 4 : 5);
        lastWord_ = value ? "true" : "false";
        return true;
    }

    bool number_integer(number_integer_t) override { return Number(); }
    bool number_unsigned(number_unsigned_t) override { return Number(); }
    bool number_float(number_float_t, const string_t&) override { return Number(); }

    bool string(string_t& value) override {
        ToToken();
        const int line = line_;
        const int column = column_;
        StepOverString();
        Place(TJsonValue::String(std::move(value)), line, column);
        return true;
    }

    bool binary(binary_t&) override { return false; }  // JSON text has no binary values

    bool start_object(std::size_t) override { return Open(TJsonValue::Object(), TState::ObjectOpen); }
    bool start_array(std::size_t) override { return Open(TJsonValue::Array(), TState::ArrayOpen); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t& key) override {
        ToToken();
        const int line = line_;
        const int column = column_;
        StepOverString();
        if (stack_.back()->Find(key)) {
            throw EJsonError("the key \"" + Excerpt(key) + "\" appears twice", line, column);
        }
        key_ = std::move(key);
        state_ = TState::Key;
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& error) override {
        // 406: a number beyond the range of a double.
        numberOutOfRange_ = error.id == 406;
        Locate();
        // Not found: the parser's own words, without its prefix of kind and position,
        // at the last character it read.
        std::string what = error.what();
        const std::size_t column = what.find("column ");
        const std::size_t colon = column == std::string::npos ? std::string::npos : what.find(": ", column);
        if (colon != std::string::npos) {
            what.erase(0, colon + 2);
        } else if (what.compare(0, 1, "[") == 0 && what.find("] ") != std::string::npos) {
            what.erase(0, what.find("] ") + 2);
        }
        const std::size_t at = std::min(position > 0 ? position - 1 : 0, static_cast<std::size_t>(end_ - begin_));
        p_ = begin_;
        line_ = firstLine_;
        column_ = 1;
        Advance(at);
        // The parser's words quote the token it last read, which may be long.
        Fail(ShortenQuoted(what));
    }

private:
    // What the last event was, and so what may follow it.
    enum class TState { Start, ArrayOpen, ObjectOpen, Key, Value };

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

    bool At(char c) const { return p_ != end_ && *p_ == c; }

    void SkipBlanks() {
        while (p_ != end_ && IsBlank(*p_)) Advance();
    }

    // ---- The cursor in step with the events ----

    // To the first character of the token of the current event.
    void ToToken() {
        while (p_ != end_ && (IsBlank(*p_) || *p_ == ',' || *p_ == ':')) Advance();
    }

    // Over a string the parser has read: to after its closing quote.
    void StepOverString() {
        Advance();
        while (p_ != end_ && *p_ != '"') Advance(*p_ == '\\' && end_ - p_ > 1 ? 2 : 1);
        if (p_ != end_) Advance();
    }

    // Over a number the parser has read, the way it reads one: the longest match.
    void StepOverNumber() {
        auto digits = [&] {
            while (p_ != end_ && IsDigit(*p_)) Advance();
        };
        if (At('-')) Advance();
        if (At('0')) {
            Advance();
        } else {
            digits();
        }
        if (At('.')) {
            Advance();
            digits();
        }
        if (At('e') || At('E')) {
            Advance();
            if (At('+') || At('-')) Advance();
            digits();
        }
    }

    bool Number() {
        ToToken();
        const int line = line_;
        const int column = column_;
        const char* start = p_;
        StepOverNumber();
        const std::string_view text(start, static_cast<std::size_t>(p_ - start));
        Place(TJsonValue::Number(std::string(text)), line, column);
        lastZero_ = text == "0" || text == "-0";
        return true;
    }

    void Scalar(TJsonValue value, std::size_t length) {
        ToToken();
        const int line = line_;
        const int column = column_;
        Advance(length);
        Place(std::move(value), line, column);
    }

    // Puts a new value into the open array or object (or makes it the document).
    TJsonValue& Place(TJsonValue value, int line, int column) {
        if (stack_.size() > kMaxDepth) throw EJsonError("values nested more than 256 deep", line, column);
        value.line_ = line;
        value.column_ = column;
        state_ = TState::Value;
        lastWord_ = nullptr;
        lastZero_ = false;
        if (stack_.empty()) return root_ = std::move(value);
        TJsonValue& into = *stack_.back();
        return into.IsArray() ? into.Push(std::move(value)) : into.Add(std::move(key_), std::move(value));
    }

    bool Open(TJsonValue value, TState state) {
        ToToken();
        const int line = line_;
        const int column = column_;
        Advance();
        // A pointer to the new value stays good while it is open: its container gets
        // no other member before it is closed.
        stack_.push_back(&Place(std::move(value), line, column));
        state_ = state;
        return true;
    }

    bool Close() {
        ToToken();
        Advance();
        stack_.pop_back();
        state_ = TState::Value;
        lastWord_ = nullptr;
        lastZero_ = false;
        return true;
    }

    // ---- Naming a fault ----

    // From the end of the last good token, finds the first fault of the text and
    // raises it; returns when there is none up to the next token that would have
    // been an event.
    void Locate() {
        const int depth = static_cast<int>(stack_.size());
        switch (state_) {
            case TState::Start:
                SkipBlanks();
                LocateValue(depth);
                return;
            case TState::ArrayOpen:
                SkipBlanks();
                if (!At(']')) LocateValue(depth);
                return;
            case TState::ObjectOpen:
                SkipBlanks();
                if (!At('}')) LocateKey();
                return;
            case TState::Key:
                Expect(':', "':' after a key");
                SkipBlanks();
                LocateValue(depth);
                return;
            case TState::Value:
                break;
        }
        // Right after a value: a word or a zero run on into more letters or digits.
        if (lastWord_ && p_ != end_ && IsAlnum(*p_))
            Fail("unexpected " + Describe(p_, end_) + " after '" + lastWord_ + "'");
        if (lastZero_ && p_ != end_ && IsDigit(*p_)) Fail("a number must not start with a leading zero");
        SkipBlanks();
        if (stack_.empty()) {
            if (p_ != end_) Fail("unexpected " + Describe(p_, end_) + " after the value");
        } else if (stack_.back()->IsArray()) {
            if (At(']')) return;
            Expect(',', "',' or ']' after an array item");
            SkipBlanks();
            if (At(']')) Fail("a trailing comma before ']'");
            LocateValue(depth);
        } else {
            if (At('}')) return;
            Expect(',', "',' or '}' after a value");
            SkipBlanks();
            LocateKey();
        }
    }

    void Expect(char c, const char* what) {
        SkipBlanks();
        if (!At(c)) Fail(std::string("expected ") + what + ", found " + Describe(p_, end_));
        Advance();
    }

    void LocateKey() {
        if (!At('"')) {
            if (At('}')) Fail("a trailing comma before '}'");
            Fail("expected a key in double quotes, found " + Describe(p_, end_));
        }
        LocateString();
    }

    void LocateValue(int depth) {
        if (depth > kMaxDepth) Fail("values nested more than 256 deep");
        if (p_ == end_) Fail("expected a value, found the end of the input");
        switch (*p_) {
            case '{':
            case '[': return;  // an event had come for it
            case '"': LocateString(); return;
            case 't': LocateWord("true"); return;
            case 'f': LocateWord("false"); return;
            case 'n': LocateWord("null"); return;
            default:
                if (*p_ == '-' || IsDigit(*p_)) {
                    LocateNumber();
                    return;
                }
                Fail("expected a value, found " + Describe(p_, end_));
        }
    }

    void LocateWord(const char* word) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0)
            Fail("expected a value, found " + Describe(p_, end_));
        Advance(n);
        if (p_ != end_ && IsAlnum(*p_)) Fail("unexpected " + Describe(p_, end_) + " after '" + word + "'");
    }

    void LocateNumber() {
        const int line = line_;
        const int column = column_;
        auto digits = [&] {
            const char* from = p_;
            while (p_ != end_ && IsDigit(*p_)) Advance();
            return p_ - from;
        };
        if (At('-')) Advance();
        if (p_ == end_ || !IsDigit(*p_)) Fail("expected a digit, found " + Describe(p_, end_));
        if (At('0')) {
            Advance();
            if (p_ != end_ && IsDigit(*p_)) Fail("a number must not start with a leading zero");
        } else {
            digits();
        }
        if (At('.')) {
            Advance();
            if (digits() == 0) Fail("expected a digit after the decimal point, found " + Describe(p_, end_));
        }
        if (At('e') || At('E')) {
            Advance();
            if (At('+') || At('-')) Advance();
            if (digits() == 0) Fail("expected a digit in the exponent, found " + Describe(p_, end_));
        }
        if (numberOutOfRange_) throw EJsonError("the number is beyond the range of a double", line, column);
    }

    void LocateHex4() {
        for (int i = 0; i < 4; ++i) {
            if (p_ == end_) Fail("expected four hexadecimal digits after \\u");
            const char c = *p_;
            if (!IsDigit(c) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F'))
                Fail("expected four hexadecimal digits after \\u, found " + Describe(p_, end_));
            Advance();
        }
    }

    unsigned Hex4Before() const {
        return static_cast<unsigned>(std::stoul(std::string(p_ - 4, p_), nullptr, 16));
    }

    void LocateString() {
        Advance();  // the opening quote
        for (;;) {
            if (p_ == end_) Fail("the string is not closed");
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                Advance();
                return;
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
                if (e == 'u') {
                    LocateHex4();
                    const unsigned cp = Hex4Before();
                    if (cp >= 0xDC00 && cp <= 0xDFFF) bad("a low surrogate without a high one before it");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                            bad("a high surrogate must be followed by a low one");
                        Advance(2);
                        LocateHex4();
                        const unsigned low = Hex4Before();
                        if (low < 0xDC00 || low > 0xDFFF) bad("a high surrogate must be followed by a low one");
                    }
                } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
                    bad(std::string("unknown escape \\") + (e >= 0x20 && e < 0x7F ? std::string(1, e) : "?"));
                }
                continue;
            }
            const std::size_t n = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(p_),
                                                     static_cast<std::size_t>(end_ - p_));
            if (n == 0) Fail("the text is not valid UTF-8");
            Advance(n);
        }
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    int firstLine_;
    int line_;
    int column_ = 1;

    TJsonValue root_;
    // The open arrays and objects, innermost last.
    std::vector<TJsonValue*> stack_;
    // The key of the member whose value comes next.
    std::string key_;
    TState state_ = TState::Start;
    // The last value was this word, or the number 0 or -0.
    const char* lastWord_ = nullptr;
    bool lastZero_ = false;
    bool numberOutOfRange_ = false;
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

// ---- Input in messages ------------------------------------------------------------

std::string Excerpt(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t at = 0;
    for (std::size_t characters = 0; at < size; ++characters) {
        if (characters == kMaxQuotedCharacters) return std::string(text.substr(0, at)) + std::string(kCutMark);
        // A byte that starts no valid sequence counts as a character of its own.
        const std::size_t n = p[at] < 0x80 ? 1 : Utf8SequenceLength(p + at, size - at);
        at += n == 0 ? 1 : n;
    }
    return std::string(text);
}

std::string ShortenQuoted(std::string_view message) {
    if (message.size() <= kMaxQuotedCharacters) return std::string(message);
    std::string out;
    for (std::size_t from = 0;;) {
        const std::size_t quote = message.find('\'', from);
        out += Excerpt(message.substr(from, quote == std::string_view::npos ? std::string_view::npos : quote - from));
        if (quote == std::string_view::npos) return out;
        out += '\'';
        from = quote + 1;
    }
}

}  // namespace reruzo::cli
