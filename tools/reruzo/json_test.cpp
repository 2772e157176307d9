// The engine tool's JSON reader and writer: numbers kept as their source text, the
// strict grammar with the line, column and words of every refusal, positions of the
// values read, and what the writer makes of text that is not UTF-8.
#include "tools/reruzo/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using reruzo::cli::AppendJsonString;
using reruzo::cli::EJsonError;
using reruzo::cli::ParseJson;
using reruzo::cli::TJsonValue;
using reruzo::cli::WriteJson;

struct TFault {
    int line = 0;
    int column = 0;
    std::string message;
};

// The error reading `text` raises; a fault at line 0 when it reads without one.
TFault FaultOf(std::string_view text, int line = 1) {
    try {
        ParseJson(text, line);
    } catch (const EJsonError& e) {
        return {e.Line, e.Column, e.what()};
    }
    return {};
}

void ExpectFault(std::string_view text, int line, int column, const std::string& message) {
    const TFault f = FaultOf(text);
    EXPECT_EQ(f.message, message) << text;
    EXPECT_EQ(f.line, line) << text << ": " << f.message;
    EXPECT_EQ(f.column, column) << text << ": " << f.message;
}

// ---- Numbers ------------------------------------------------------------------------

TEST(Json, IntegersKeepAllSixtyFourBits) {
    const TJsonValue v = ParseJson("[9223372036854775807, -9223372036854775808, 9007199254740993, 0]");
    const auto& items = v.Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Text(), "9223372036854775807");
    EXPECT_EQ(items[0].AsInteger(), INT64_MAX);
    EXPECT_EQ(items[1].Text(), "-9223372036854775808");
    EXPECT_EQ(items[1].AsInteger(), INT64_MIN);
    // Above 2^53 a double would round this to ...992.
    EXPECT_EQ(items[2].AsInteger(), 9007199254740993);
    EXPECT_EQ(items[3].AsInteger(), 0);
}

TEST(Json, NumbersBeyondSixtyFourBitsKeepTheirDigits) {
    const TJsonValue v = ParseJson("[18446744073709551615, 9223372036854775808, -9223372036854775809, "
                                   "123456789012345678901234567890]");
    const auto& items = v.Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Text(), "18446744073709551615");
    EXPECT_FALSE(items[0].AsInteger().has_value());
    EXPECT_EQ(items[1].Text(), "9223372036854775808");
    EXPECT_FALSE(items[1].AsInteger().has_value());
    EXPECT_EQ(items[2].Text(), "-9223372036854775809");
    EXPECT_FALSE(items[2].AsInteger().has_value());
    EXPECT_EQ(items[3].Text(), "123456789012345678901234567890");
    EXPECT_EQ(items[3].AsDouble(), 1.2345678901234568e29);
}

TEST(Json, DecimalsKeepTheirSourceText) {
    const TJsonValue v = ParseJson(
        "{\"bcd\": 12345678901234567890.12345678901234567890, \"tenth\": 0.10, \"exp\": 1E+2, \"small\": 5e-324,"
        " \"tiny\": 1e-400, \"neg\": -0.000}");
    EXPECT_EQ(v.Find("bcd")->Text(), "12345678901234567890.12345678901234567890");
    EXPECT_EQ(v.Find("tenth")->Text(), "0.10");
    EXPECT_EQ(v.Find("exp")->Text(), "1E+2");
    EXPECT_FALSE(v.Find("exp")->AsInteger().has_value());
    EXPECT_EQ(v.Find("exp")->AsDouble(), 100.0);
    EXPECT_EQ(v.Find("small")->Text(), "5e-324");
    EXPECT_EQ(v.Find("tiny")->Text(), "1e-400");
    EXPECT_EQ(v.Find("neg")->Text(), "-0.000");
}

TEST(Json, MinusZeroStaysMinusZero) {
    const TJsonValue v = ParseJson("[-0, 0, -0.0, -0e0]");
    const auto& items = v.Items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Text(), "-0");
    EXPECT_EQ(items[0].AsInteger(), 0);
    EXPECT_TRUE(std::signbit(*items[0].AsDouble()));
    EXPECT_EQ(items[1].Text(), "0");
    EXPECT_EQ(items[2].Text(), "-0.0");
    EXPECT_EQ(items[3].Text(), "-0e0");
    // Written back as read.
    std::string out;
    WriteJson(out, v);
    EXPECT_EQ(out, "[-0,0,-0.0,-0e0]");
}

TEST(Json, NumbersAreWrittenFromTheirText) {
    const std::string text = "{\"a\":18446744073709551616,\"b\":0.1000000000000000000001,\"c\":-0,\"d\":2.50E-3}";
    std::string out;
    WriteJson(out, ParseJson(text));
    EXPECT_EQ(out, text);
}

TEST(Json, ANumberBeyondTheRangeOfADoubleIsRefusedAtItsStart) {
    ExpectFault("{\"big\": 1e400}", 1, 9, "the number is beyond the range of a double");
    ExpectFault("[1, -" + std::string(400, '9') + "]", 1, 5, "the number is beyond the range of a double");
}

// ---- Positions of values ------------------------------------------------------------

TEST(Json, ValuesKnowWhereTheyStart) {
    const TJsonValue v = ParseJson("{\n"
                                   "  \"name\": \"\xC3\xA9t\xC3\xA9\", \"n\": -12,\n"
                                   "\t\"list\": [true, null, {\"k\": [ ]}],\r\n"
                                   "  \"\\u00e9\": 1e5}",
                                   10);
    EXPECT_EQ(v.Line(), 10);
    EXPECT_EQ(v.Column(), 1);
    EXPECT_EQ(v.Find("name")->Line(), 11);
    EXPECT_EQ(v.Find("name")->Column(), 11);
    // A character of two bytes takes one column.
    EXPECT_EQ(v.Find("n")->Line(), 11);
    EXPECT_EQ(v.Find("n")->Column(), 23);
    const TJsonValue& list = *v.Find("list");
    EXPECT_EQ(list.Line(), 12);
    EXPECT_EQ(list.Column(), 10);
    EXPECT_EQ(list.Items()[0].Column(), 11);
    EXPECT_EQ(list.Items()[1].Column(), 17);
    EXPECT_EQ(list.Items()[2].Column(), 23);
    EXPECT_EQ(list.Items()[2].Find("k")->Column(), 29);
    EXPECT_EQ(v.Find("\xC3\xA9")->Line(), 13);
    EXPECT_EQ(v.Find("\xC3\xA9")->Column(), 13);
    EXPECT_EQ(v.Find("\xC3\xA9")->Text(), "1e5");
}

TEST(Json, AScalarDocumentStartsAfterItsBlanks) {
    const TJsonValue v = ParseJson("\n  \"x\"  \n", 4);
    EXPECT_EQ(v.Text(), "x");
    EXPECT_EQ(v.Line(), 5);
    EXPECT_EQ(v.Column(), 3);
}

// ---- The strict grammar -------------------------------------------------------------

TEST(Json, CommentsAreRefused) {
    ExpectFault("// note\n{}", 1, 1, "expected a value, found '/'");
    ExpectFault("/* note */ 1", 1, 1, "expected a value, found '/'");
    ExpectFault("[1, /* two */ 2]", 1, 5, "expected a value, found '/'");
    ExpectFault("{\"a\": 1 // one\n}", 1, 9, "expected ',' or '}' after a value, found '/'");
    ExpectFault("1 # note", 1, 3, "unexpected '#' after the value");
}

TEST(Json, TrailingCommasAreRefused) {
    ExpectFault("[1, 2,]", 1, 7, "a trailing comma before ']'");
    ExpectFault("{\"a\": 1,\n  }", 2, 3, "a trailing comma before '}'");
    ExpectFault("[,]", 1, 2, "expected a value, found ','");
    ExpectFault("{,}", 1, 2, "expected a key in double quotes, found ','");
    ExpectFault("[1,,2]", 1, 4, "expected a value, found ','");
}

TEST(Json, LeadingZerosAreRefused) {
    ExpectFault("01", 1, 2, "a number must not start with a leading zero");
    ExpectFault("[-012]", 1, 4, "a number must not start with a leading zero");
    ExpectFault("{\"a\": 00.5}", 1, 8, "a number must not start with a leading zero");
    // Zero itself, and zeros after the first digit, are fine.
    EXPECT_EQ(ParseJson("[0, 0.05, 100]").Items()[2].Text(), "100");
}

TEST(Json, MalformedNumbersAreRefusedWhereTheyGoWrong) {
    ExpectFault("-", 1, 2, "expected a digit, found the end of the input");
    ExpectFault("[-x]", 1, 3, "expected a digit, found 'x'");
    ExpectFault("[+1]", 1, 2, "expected a value, found '+'");
    ExpectFault("[.5]", 1, 2, "expected a value, found '.'");
    ExpectFault("[1.]", 1, 4, "expected a digit after the decimal point, found ']'");
    ExpectFault("[1e]", 1, 4, "expected a digit in the exponent, found ']'");
    ExpectFault("[1e+]", 1, 5, "expected a digit in the exponent, found ']'");
    ExpectFault("[1.5.3]", 1, 5, "expected ',' or ']' after an array item, found '.'");
    ExpectFault("[0x10]", 1, 3, "expected ',' or ']' after an array item, found 'x'");
}

TEST(Json, SingleQuotesAreRefused) {
    ExpectFault("{\"a\": 'x'}", 1, 7, "expected a value, found '''");
    ExpectFault("{'a': 1}", 1, 2, "expected a key in double quotes, found '''");
}

TEST(Json, WordsAreExact) {
    ExpectFault("tru", 1, 1, "expected a value, found 't'");
    ExpectFault("[True]", 1, 2, "expected a value, found 'T'");
    ExpectFault("nullx", 1, 5, "unexpected 'x' after 'null'");
    ExpectFault("[false1]", 1, 7, "unexpected '1' after 'false'");
    ExpectFault("[true, nul]", 1, 8, "expected a value, found 'n'");
    ExpectFault("[NaN]", 1, 2, "expected a value, found 'N'");
}

TEST(Json, StructureIsChecked) {
    ExpectFault("", 1, 1, "expected a value, found the end of the input");
    ExpectFault("  \n ", 2, 2, "expected a value, found the end of the input");
    ExpectFault("{a: 1}", 1, 2, "expected a key in double quotes, found 'a'");
    ExpectFault("{\"a\" 1}", 1, 6, "expected ':' after a key, found '1'");
    ExpectFault("{\"a\": 1 \"b\": 2}", 1, 9, "expected ',' or '}' after a value, found '\"'");
    ExpectFault("[1 2]", 1, 4, "expected ',' or ']' after an array item, found '2'");
    ExpectFault("[1", 1, 3, "expected ',' or ']' after an array item, found the end of the input");
    ExpectFault("{\"a\":", 1, 6, "expected a value, found the end of the input");
    ExpectFault("{\"a\": 1]", 1, 8, "expected ',' or '}' after a value, found ']'");
    ExpectFault("[}", 1, 2, "expected a value, found '}'");
    ExpectFault("{} {}", 1, 4, "unexpected '{' after the value");
    ExpectFault("1 2", 1, 3, "unexpected '2' after the value");
}

TEST(Json, ControlCharactersMustBeEscaped) {
    ExpectFault("\n\n  \"tab\there\"", 3, 7, "a control character (byte 0x09) must be escaped in a string");
    ExpectFault("[\"a\nb\"]", 1, 4, "a control character (byte 0x0A) must be escaped in a string");
    ExpectFault(std::string_view("\"a\0b\"", 5), 1, 3, "a control character (byte 0x00) must be escaped in a string");
    ExpectFault("{\"k\x1F\": 1}", 1, 4, "a control character (byte 0x1F) must be escaped in a string");
    // Escaped, they are fine; DEL needs no escape.
    EXPECT_EQ(ParseJson("\"\\t\\u0000\x7F\"").Text(), std::string("\t\0\x7F", 3));
}

TEST(Json, EscapesAreChecked) {
    ExpectFault("\"\\x\"", 1, 2, "unknown escape \\x");
    ExpectFault("[\"ab\\'\"]", 1, 5, "unknown escape \\'");
    ExpectFault("\"\\u12G4\"", 1, 6, "expected four hexadecimal digits after \\u, found 'G'");
    ExpectFault("\"\\u12", 1, 6, "expected four hexadecimal digits after \\u");
    ExpectFault("\"abc\\", 1, 6, "the string is not closed");
    ExpectFault("\"open", 1, 6, "the string is not closed");
    ExpectFault("{\"a\":\n \"b}", 2, 5, "the string is not closed");
}

TEST(Json, LoneSurrogatesAreRefused) {
    ExpectFault("\"\\ud800\"", 1, 2, "a high surrogate must be followed by a low one");
    ExpectFault("[\"x\\uD83D\\u0041\"]", 1, 4, "a high surrogate must be followed by a low one");
    ExpectFault("[\"x\\uD83D\\uD83D\"]", 1, 4, "a high surrogate must be followed by a low one");
    ExpectFault("\"\\udc00\"", 1, 2, "a low surrogate without a high one before it");
    // A pair is one character.
    EXPECT_EQ(ParseJson("\"\\uD83D\\uDE00\"").Text(), "\xF0\x9F\x98\x80");
}

TEST(Json, OnlyValidUtf8IsRead) {
    ExpectFault("\"\xC3\x28\"", 1, 2, "the text is not valid UTF-8");
    ExpectFault("\"\xC0\xAF\"", 1, 2, "the text is not valid UTF-8");          // an overlong form
    ExpectFault("\"\xED\xA0\x80\"", 1, 2, "the text is not valid UTF-8");      // an encoded surrogate
    ExpectFault("\"\xF4\x90\x80\x80\"", 1, 2, "the text is not valid UTF-8");  // above U+10FFFF
    ExpectFault("\"\x80\"", 1, 2, "the text is not valid UTF-8");              // a lone continuation byte
    ExpectFault("\"\xE2\x82\"", 1, 2, "the text is not valid UTF-8");          // cut short
    // The column counts characters, not bytes.
    ExpectFault("{\"a\": \"\xE4\xB8\xAD\xE6\x96\x87\",\n \"b\": \"\xC3\xA9\xC3\xA9\xFF\"}", 2, 10,
                "the text is not valid UTF-8");
    // Outside a string any byte above ASCII is refused.
    ExpectFault("[\xC3\xA9]", 1, 2, "expected a value, found byte 0xC3");
    EXPECT_EQ(ParseJson("\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"").Text(), "\xE4\xB8\xAD\xF0\x9F\x98\x80");
}

TEST(Json, AByteOrderMarkOrAZeroByteIsNoBlank) {
    ExpectFault("\xEF\xBB\xBF{}", 1, 1, "expected a value, found byte 0xEF");
    ExpectFault(std::string_view("{}\0", 3), 1, 3, "unexpected byte 0x00 after the value");
    ExpectFault(std::string_view("[1,\0]", 5), 1, 4, "expected a value, found byte 0x00");
    ExpectFault(std::string_view("{\"a\": 1\0}", 9), 1, 8, "expected ',' or '}' after a value, found byte 0x00");
}

TEST(Json, AKeyTwiceInOneObjectIsRefusedAtTheSecond) {
    ExpectFault("{\"a\": 1, \"a\": 2}", 1, 10, "the key \"a\" appears twice");
    ExpectFault("{\n  \"x\": {\"k\": 1},\n  \"y\": {\"k\": 2, \"m\": 3,\n         \"k\": 4}\n}", 4, 10,
                "the key \"k\" appears twice");
    // The same key once escaped and once not is the same key.
    ExpectFault("{\"\xC3\xA9\": 1, \"\\u00e9\": 2}", 1, 10, "the key \"\xC3\xA9\" appears twice");
    // Before a later fault of the same object.
    ExpectFault("{\"a\": 1, \"a\" 2}", 1, 10, "the key \"a\" appears twice");
    // The same key in different objects is fine.
    const TJsonValue v = ParseJson("[{\"a\": 1}, {\"a\": 2, \"b\": {\"a\": 3}}]");
    EXPECT_EQ(v.Items()[1].Find("b")->Find("a")->Text(), "3");
}

TEST(Json, ErrorsCountLinesFromTheLineGiven) {
    const TFault f = FaultOf("{\n\"a\": [1,]}", 41);
    EXPECT_EQ(f.message, "a trailing comma before ']'");
    EXPECT_EQ(f.line, 42);
    EXPECT_EQ(f.column, 9);
}

TEST(Json, NestingIsLimitedTo256) {
    const std::string deepest = std::string(257, '[') + std::string(257, ']');
    EXPECT_EQ(FaultOf(deepest).line, 0);
    ExpectFault(std::string(258, '[') + std::string(258, ']'), 1, 258, "values nested more than 256 deep");
    ExpectFault(std::string(257, '[') + "1" + std::string(257, ']'), 1, 258, "values nested more than 256 deep");
    ExpectFault(std::string(100000, '['), 1, 258, "values nested more than 256 deep");
    ExpectFault(std::string(257, '['), 1, 258, "values nested more than 256 deep");
    std::string objects;
    for (int i = 0; i < 300; ++i) objects += "{\"k\":";
    ExpectFault(objects, 1, 257 * 5 + 1, "values nested more than 256 deep");
}

// ---- Writing ------------------------------------------------------------------------

TEST(Json, BytesThatAreNotUtf8AreWrittenAsReplacementCharacters) {
    const auto quoted = [](std::string_view s) {
        std::string out;
        AppendJsonString(out, s);
        return out;
    };
    EXPECT_EQ(quoted("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
    // One for each byte that starts no valid sequence.
    EXPECT_EQ(quoted("\xE2\x82" "A"), "\"\xEF\xBF\xBD\xEF\xBF\xBD" "A\"");
    EXPECT_EQ(quoted("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(quoted("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(quoted("\xF4\x90\x80\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    // Valid sequences pass unchanged, and what is written reads back.
    EXPECT_EQ(quoted("\xE4\xB8\xAD\xF0\x9F\x98\x80"), "\"\xE4\xB8\xAD\xF0\x9F\x98\x80\"");
    EXPECT_EQ(ParseJson(quoted("x\xFFy\x01")).Text(), "x\xEF\xBF\xBDy\x01");
}

TEST(Json, WrittenTextReadsBackTheSame) {
    const std::string text = "{\n"
                             "  \"name\": \"t\\u00e9\",\n"
                             "  \"list\": [1, -0, 1.50, \"\\u001f\"],\n"
                             "  \"rows\": [\n"
                             "    {\"a\": 18446744073709551616},\n"
                             "    {\"b\": [true, false, null]}\n"
                             "  ],\n"
                             "  \"nested\": {\n"
                             "    \"inner\": {\"x\": [1, 2]}\n"
                             "  }\n"
                             "}";
    const TJsonValue v = ParseJson(text);
    std::string pretty;
    WriteJson(pretty, v, 2);
    EXPECT_EQ(pretty, "{\n"
                      "  \"name\": \"t\xC3\xA9\",\n"
                      "  \"list\": [1, -0, 1.50, \"\\u001f\"],\n"
                      "  \"rows\": [\n"
                      "    {\"a\": 18446744073709551616},\n"
                      "    {\"b\": [true, false, null]}\n"
                      "  ],\n"
                      "  \"nested\": {\n"
                      "    \"inner\": {\"x\": [1, 2]}\n"
                      "  }\n"
                      "}");
    std::string again;
    WriteJson(again, ParseJson(pretty), 2);
    EXPECT_EQ(again, pretty);
}

}  // namespace

namespace {

using reruzo::cli::Excerpt;
using reruzo::cli::ShortenQuoted;

TEST(Json, MessagesQuoteAtMost200Characters) {
    EXPECT_EQ(Excerpt(""), "");
    EXPECT_EQ(Excerpt(std::string(200, 'a')), std::string(200, 'a'));
    EXPECT_EQ(Excerpt(std::string(201, 'a')), std::string(200, 'a') + "...");
    // Characters, not bytes: 250 two-byte "é" keep 200, whole.
    std::string accents;
    for (int i = 0; i < 250; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(Excerpt(accents), accents.substr(0, 400) + "...");
    // A byte that starts no UTF-8 sequence counts as one character, and a sequence
    // cut short by the end of the text too.
    const std::string mixed = std::string(199, 'a') + "\xFF" + "b";
    EXPECT_EQ(Excerpt(mixed), std::string(199, 'a') + "\xFF...");
    EXPECT_EQ(Excerpt(std::string(199, 'a') + "\xE4\xB8"), std::string(199, 'a') + "\xE4...");

    // Messages of others: each stretch between single quotes is cut the same way.
    const std::string name(300, 'n');
    EXPECT_EQ(ShortenQuoted("Table '" + name + "' does not exist in '" + name + "'"),
              "Table '" + std::string(200, 'n') + "...' does not exist in '" + std::string(200, 'n') + "...'");
    EXPECT_EQ(ShortenQuoted("Table 'short' is fine"), "Table 'short' is fine");
}

}  // namespace
