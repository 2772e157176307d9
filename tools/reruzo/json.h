// A small, strict JSON reader and writer for the engine tool: schema files, record
// lines, and the tool's own output.
//
// Reading goes through nlohmann-json's SAX interface and follows the JSON grammar
// exactly: no comments, no trailing commas, no leading zeros, no single quotes, no
// unescaped control characters, no lone surrogates, valid UTF-8 only, and no key
// twice in one object. Numbers keep their source text, so that 64-bit integers and
// decimals reach their fields unrounded. Values know the line and column where they
// start; errors carry the line and column of the offending character.
//
// Writing produces valid UTF-8 JSON; bytes of a string that are not UTF-8 come out
// as U+FFFD.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reruzo::cli {

// A reading error at a position of the input (line and column count from 1).
class EJsonError : public std::runtime_error {
public:
    EJsonError(const std::string& what, int line, int column)
        : std::runtime_error(what), Line(line), Column(column) {}
    int Line;
    int Column;
};

class TJsonValue {
public:
    enum class TKind { Null, Boolean, Number, String, Array, Object };

    TJsonValue() = default;
    static TJsonValue Boolean(bool value);
    // `text` must be a JSON number.
    static TJsonValue Number(std::string text);
    static TJsonValue Number(std::int64_t value);
    static TJsonValue String(std::string utf8);
    static TJsonValue Array();
    static TJsonValue Object();

    TKind Kind() const { return kind_; }
    bool IsNull() const { return kind_ == TKind::Null; }
    bool IsBoolean() const { return kind_ == TKind::Boolean; }
    bool IsNumber() const { return kind_ == TKind::Number; }
    bool IsString() const { return kind_ == TKind::String; }
    bool IsArray() const { return kind_ == TKind::Array; }
    bool IsObject() const { return kind_ == TKind::Object; }

    bool AsBoolean() const { return boolean_; }
    // The number's source text, or the string's UTF-8 contents.
    const std::string& Text() const { return text_; }
    // The number as an integer: nullopt when it has a fraction or exponent, or does
    // not fit in 64 bits.
    std::optional<std::int64_t> AsInteger() const;
    // The number as a double (nullopt when out of range).
    std::optional<double> AsDouble() const;

    const std::vector<TJsonValue>& Items() const { return items_; }
    const std::vector<std::pair<std::string, TJsonValue>>& Members() const { return members_; }
    // The member of an object with that key, nullptr when there is none.
    const TJsonValue* Find(std::string_view key) const;

    // Building: Push appends to an array, Add appends a member to an object.
    TJsonValue& Push(TJsonValue value);
    TJsonValue& Add(std::string key, TJsonValue value);

    // Where the value started in its input (0 for built values).
    int Line() const { return line_; }
    int Column() const { return column_; }

    // A name for the kind in messages: "null", "a boolean", "a number", ...
    static const char* KindName(TKind kind);

private:
    friend class TJsonReader;
    TKind kind_ = TKind::Null;
    bool boolean_ = false;
    std::string text_;
    std::vector<TJsonValue> items_;
    std::vector<std::pair<std::string, TJsonValue>> members_;
    int line_ = 0;
    int column_ = 0;
};

// Reads one JSON value that fills all of `text` (blanks around it allowed). `line`
// is the line number of the text's first character, for messages. Raises EJsonError.
TJsonValue ParseJson(std::string_view text, int line = 1);

// Appends `utf8` as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view utf8);
// Writes a value compactly (`indent` < 0) or with that many blanks per level.
void WriteJson(std::string& out, const TJsonValue& value, int indent = -1);
// A double in its shortest exact form as a JSON number; nullopt for infinities and NaN.
std::optional<std::string> JsonNumberText(double value);

// ---- Input in messages ----
// A message quotes at most this many characters of an input value, name or line, so
// that a huge value cannot flood standard error.
inline constexpr std::size_t kMaxQuotedCharacters = 200;
// What marks the place where a quoted input was cut.
inline constexpr std::string_view kCutMark = "...";

// `text` as a message quotes it: its first kMaxQuotedCharacters characters (UTF-8
// sequences count as one, other bytes each as one) followed by kCutMark when there
// was more.
std::string Excerpt(std::string_view text);
// A message made elsewhere (the engine, the JSON parser) with each stretch between
// two single quotes, where those put names and tokens of the input, cut to an Excerpt.
std::string ShortenQuoted(std::string_view message);

}  // namespace reruzo::cli
