// The engine tool: its JSON reader and writer, and the tool itself run as a separate
// process on tables it creates (BLOBs among them), on the shipped knowledge base, and
// on damaged copies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/support/reruzo_tool.h"
#include "tests/support/temp_dir.h"
#include "tools/reruzo/json.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvane::testing;
using reruzo::cli::EJsonError;
using reruzo::cli::ParseJson;
using reruzo::cli::TJsonValue;

// ---- The JSON reader and writer ----------------------------------------------------

TEST(ReruzoJson, ReadsEveryKindAndKeepsNumbersExact) {
    const TJsonValue v = ParseJson(
        "{\"a\": [1, -0.5, 2e3, 9223372036854775807],\n"
        " \"s\": \"t\\u00e9\\ud83d\\ude00\\n\\\"\", \"b\": true, \"f\": false, \"z\": null, \"o\": {}}",
        7);
    ASSERT_TRUE(v.IsObject());
    ASSERT_EQ(v.Members().size(), 6u);
    const auto& a = v.Find("a")->Items();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].AsInteger(), 1);
    EXPECT_EQ(a[1].Text(), "-0.5");
    EXPECT_FALSE(a[1].AsInteger().has_value());
    EXPECT_EQ(a[1].AsDouble(), -0.5);
    EXPECT_FALSE(a[2].AsInteger().has_value());  // an exponent is no integer
    EXPECT_EQ(a[2].AsDouble(), 2000.0);
    EXPECT_EQ(a[3].AsInteger(), INT64_MAX);
    EXPECT_EQ(v.Find("s")->Text(), "t\xC3\xA9\xF0\x9F\x98\x80\n\"");
    EXPECT_TRUE(v.Find("b")->AsBoolean());
    EXPECT_FALSE(v.Find("f")->AsBoolean());
    EXPECT_TRUE(v.Find("z")->IsNull());
    EXPECT_TRUE(v.Find("o")->IsObject());
    EXPECT_EQ(v.Find("missing"), nullptr);
    // Positions count from the line given.
    EXPECT_EQ(v.Find("s")->Line(), 8);
    EXPECT_EQ(v.Find("s")->Column(), 7);
}

TEST(ReruzoJson, RefusesMalformedTextAtItsPosition) {
    struct TCase {
        const char* text;
        int line;
        int column;
        const char* message;
    };
    const TCase cases[] = {
        {"{\"a\": 1,}", 1, 9, "a trailing comma before '}'"},
        {"[1, 2,]", 1, 7, "a trailing comma before ']'"},
        {"{\"a\": 01}", 1, 8, "leading zero"},
        {"{\"a\": 1.}", 1, 9, "expected a digit after the decimal point"},
        {"{\"a\": -}", 1, 8, "expected a digit"},
        {"{\"a\": 'x'}", 1, 7, "expected a value, found '''"},
        {"{a: 1}", 1, 2, "expected a key in double quotes"},
        {"{\"a\" 1}", 1, 6, "expected ':' after a key"},
        {"{\"a\": 1 \"b\": 2}", 1, 9, "expected ',' or '}' after a value"},
        {"{\"a\": 1, \"a\": 2}", 1, 10, "the key \"a\" appears twice"},
        {"\n\n  \"tab\there\"", 3, 7, "control character"},
        {"\"\\x\"", 1, 2, "unknown escape \\x"},
        {"\"\\ud800\"", 1, 2, "a high surrogate must be followed by a low one"},
        {"\"\\udc00\"", 1, 2, "a low surrogate without a high one"},
        {"\"\xC3\x28\"", 1, 2, "not valid UTF-8"},
        {"\"\xC0\xAF\"", 1, 2, "not valid UTF-8"},  // an overlong form
        {"\"open", 1, 6, "the string is not closed"},
        {"tru", 1, 1, "expected a value"},
        {"nullx", 1, 5, "unexpected 'x' after 'null'"},
        {"{} {}", 1, 4, "unexpected '{' after the value"},
        {"", 1, 1, "expected a value, found the end of the input"},
        {"// note\n{}", 1, 1, "expected a value, found '/'"},
    };
    for (const TCase& c : cases) {
        try {
            ParseJson(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const EJsonError& e) {
            EXPECT_EQ(e.Line, c.line) << c.text;
            EXPECT_EQ(e.Column, c.column) << c.text << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.text << ": " << e.what();
        }
    }
    // Nesting is limited rather than exhausting the stack.
    EXPECT_THROW(ParseJson(std::string(100000, '[')), EJsonError);
    EXPECT_NO_THROW(ParseJson(std::string(200, '[') + std::string(200, ']')));
}

TEST(ReruzoJson, WritesValidTextThatReadsBack) {
    std::string out;
    reruzo::cli::AppendJsonString(out, std::string("q\"b\\\n\t\x01\x7F\xC3\xA9", 10));
    EXPECT_EQ(out, "\"q\\\"b\\\\\\n\\t\\u0001\\u007f\xC3\xA9\"");
    EXPECT_EQ(ParseJson(out).Text(), std::string("q\"b\\\n\t\x01\x7F\xC3\xA9", 10));
    out.clear();
    reruzo::cli::AppendJsonString(out, "a\xFF" "b");  // not UTF-8: replaced
    EXPECT_EQ(out, "\"a\xEF\xBF\xBD" "b\"");
    TJsonValue doc = TJsonValue::Object();
    doc.Add("n", TJsonValue::Number(-42));
    doc.Add("l", TJsonValue::Array()).Push(TJsonValue::Boolean(true));
    doc.Add("o", TJsonValue::Object()).Add("x", TJsonValue());
    out.clear();
    reruzo::cli::WriteJson(out, doc);
    EXPECT_EQ(out, "{\"n\":-42,\"l\":[true],\"o\":{\"x\":null}}");
    std::string pretty;
    reruzo::cli::WriteJson(pretty, doc, 2);
    EXPECT_EQ(pretty, "{\n  \"n\": -42,\n  \"l\": [true],\n  \"o\": {\"x\": null}\n}");
    // Objects in arrays each take a line of their own.
    TJsonValue list = TJsonValue::Array();
    list.Push(TJsonValue::Object()).Add("a", TJsonValue::Number(1));
    list.Push(TJsonValue::Object()).Add("b", TJsonValue::Array()).Push(TJsonValue::String("c"));
    pretty.clear();
    reruzo::cli::WriteJson(pretty, list, 2);
    EXPECT_EQ(pretty, "[\n  {\"a\": 1},\n  {\"b\": [\"c\"]}\n]");
    EXPECT_EQ(reruzo::cli::JsonNumberText(0.1), "0.1");
    EXPECT_EQ(reruzo::cli::JsonNumberText(-1e300), "-1e+300");
    EXPECT_FALSE(reruzo::cli::JsonNumberText(1.0 / 0.0).has_value());
}

// ---- The tool -----------------------------------------------------------------------

TEST_F(ReruzoTool, InfoDescribesACreatedTable) {
    Load("every", kEveryTypeSchema, kEveryTypeInput);
    const TRun run = Reruzo("info " + Table("every"));
    ASSERT_EQ(run.code, 0) << run.err;
    const TJsonValue info = ParseJson(run.out);
    EXPECT_EQ(info.Find("table")->Text(), "every");
    const auto& fields = info.Find("fields")->Items();
    ASSERT_EQ(fields.size(), 17u);
    const char* types[] = {"autoinc", "char",    "bytes", "varbytes", "date",  "time",   "timestamp", "boolean", "smallint",
                           "word",    "integer", "largeint", "float",  "money", "bcd",   "memo",      "blob"};
    const int subtypes[] = {29, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 21, 0, 22, 23};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(fields[i].Find("number")->AsInteger(), static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(fields[i].Find("type")->Text(), types[i]) << i;
        EXPECT_EQ(fields[i].Find("subtype")->AsInteger(), subtypes[i]) << i;
        EXPECT_FALSE(fields[i].Find("required")->AsBoolean());
        EXPECT_EQ(fields[i].Find("charcase")->Text(), "keep");
    }
    EXPECT_EQ(fields[1].Find("name")->Text(), "name");
    EXPECT_EQ(fields[1].Find("length")->AsInteger(), 12);
    EXPECT_EQ(fields[1].Find("description")->Text(), "display name");
    EXPECT_EQ(fields[9].Find("default")->Text(), "7");
    EXPECT_EQ(fields[14].Find("scale")->AsInteger(), 2);
    EXPECT_EQ(fields[4].Find("length")->AsInteger(), 0);
    EXPECT_EQ(fields[0].Find("min")->Text(), "");
    // Key lengths: one indicator byte per field and its width (char 12: 13 bytes,
    // integer 4), plus the identifier (4) in indexes that are not unique.
    const auto& indexes = info.Find("indexes")->Items();
    ASSERT_EQ(indexes.size(), 4u);
    struct TIndex {
        int slot;
        const char* name;
        const char* field;
        bool unique, descending, nocase;
        const char* compression;
        int keyLength;
    };
    const TIndex expected[] = {{0, "", "id", true, false, false, "none", 5},
                               {1, "byName", "name", false, false, true, "full", 18},
                               {2, "byN", "n", false, true, false, "none", 9},
                               {31, "Sys Deleted", nullptr, false, false, false, "none", 5}};
    for (std::size_t i = 0; i < 4; ++i) {
        const TJsonValue& x = indexes[i];
        EXPECT_EQ(x.Find("slot")->AsInteger(), expected[i].slot);
        EXPECT_EQ(x.Find("name")->Text(), expected[i].name);
        ASSERT_EQ(x.Find("fields")->Items().size(), expected[i].field ? 1u : 0u) << i;
        if (expected[i].field) {
            EXPECT_EQ(x.Find("fields")->Items()[0].Text(), expected[i].field);
        }
        EXPECT_EQ(x.Find("unique")->AsBoolean(), expected[i].unique) << i;
        EXPECT_EQ(x.Find("descending")->AsBoolean(), expected[i].descending) << i;
        EXPECT_EQ(x.Find("nocase")->AsBoolean(), expected[i].nocase) << i;
        EXPECT_EQ(x.Find("compression")->Text(), expected[i].compression) << i;
        EXPECT_EQ(x.Find("keyLength")->AsInteger(), expected[i].keyLength) << i;
    }
    EXPECT_EQ(info.Find("recordCount")->AsInteger(), 3);
    EXPECT_EQ(info.Find("slotCount")->AsInteger(), 3);
    EXPECT_EQ(info.Find("firstFreeRecord")->AsInteger(), 0);
    EXPECT_EQ(info.Find("lastAutoInc")->AsInteger(), 3);
    EXPECT_EQ(info.Find("language")->AsInteger(), 0);
    EXPECT_FALSE(info.Find("encrypted")->AsBoolean());
    EXPECT_EQ(info.Find("description")->Text(), "every type");
    EXPECT_EQ(info.Find("userMajor")->AsInteger(), 2);
    EXPECT_EQ(info.Find("userMinor")->AsInteger(), 5);
    EXPECT_EQ(info.Find("blobBlockSize")->AsInteger(), 1024);
    // The BLOB file of a table whose BLOBs are all NULL has no blocks.
    const TJsonValue* blob = info.Find("blobFile");
    ASSERT_NE(blob, nullptr) << run.out;
    EXPECT_EQ(blob->Find("formatVersion")->AsInteger(), 5);
    EXPECT_EQ(blob->Find("blockSize")->AsInteger(), 1024);
    EXPECT_EQ(blob->Find("blockCount")->AsInteger(), 0);
    EXPECT_EQ(blob->Find("firstFreeBlock")->AsInteger(), 0);
    // A table without BLOB fields has no BLOB file.
    Load("people", kPeopleSchema, "");
    EXPECT_EQ(ParseJson(Reruzo("info " + Table("people")).out).Find("blobFile"), nullptr);
}

TEST_F(ReruzoTool, LoadAndDumpRoundTripEveryType) {
    Load("every", kEveryTypeSchema, kEveryTypeInput);
    const TRun dump = Reruzo("dump " + Table("every"));
    ASSERT_EQ(dump.code, 0) << dump.err;
    const auto lines = Lines(dump.out);
    ASSERT_EQ(lines.size(), 3u) << dump.out;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i], kEveryTypeDump[i]);
    ExpectSound("every");

    // A dump with its identifiers loads into an equal table.
    const TRun meta = Reruzo("dump " + Table("every") + " --meta");
    ASSERT_EQ(meta.code, 0);
    EXPECT_EQ(Lines(meta.out)[0].rfind("{\"_slot\":1,\"_id\":1,\"id\":1,\"name\":\"alpha\"", 0), 0u) << meta.out;
    const TRun copy = Reruzo("load " + Table("copy") + " --keep-ids --schema " + dir.File("every.json"), meta.out);
    ASSERT_EQ(copy.code, 0) << copy.err;
    EXPECT_EQ(copy.out, "3 records appended\n");
    EXPECT_EQ(Reruzo("dump " + Table("copy")).out, dump.out);

    // The same table in UTF-8 instead of GBK stores other bytes for the same text.
    WriteText(dir.File("utf8.json"), kEveryTypeSchema);
    ASSERT_EQ(Reruzo("load " + Table("utf8") + " --codepage 65001 --schema " + dir.File("utf8.json"), kEveryTypeInput).code, 0);
    EXPECT_EQ(Reruzo("dump " + Table("utf8") + " --codepage 65001").out, dump.out);
    EXPECT_TRUE(Contains(Reruzo("dump " + Table("utf8")).out, "\"name\":\"涓"));  // UTF-8 bytes read as GBK

    // An encrypted table needs its password.
    std::string secret = kEveryTypeSchema;
    secret.insert(secret.rfind('}'), ", \"password\": \"s3cret\"");
    WriteText(dir.File("secret.json"), secret);
    ASSERT_EQ(Reruzo("load " + Table("secret") + " --schema " + dir.File("secret.json"), kEveryTypeInput).code, 0);
    const TRun locked = Reruzo("dump " + Table("secret"));
    EXPECT_EQ(locked.code, 1);
    EXPECT_TRUE(Contains(locked.err, "a password is required")) << locked.err;
    EXPECT_EQ(Reruzo("dump " + Table("secret") + " --password s3cret").out, dump.out);
    EXPECT_TRUE(ParseJson(Reruzo("info " + Table("secret")).out).Find("encrypted")->AsBoolean());
    ExpectSound("secret");
}

TEST_F(ReruzoTool, DumpOrdersAndSelects) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    using TIds = std::vector<std::int64_t>;
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (TIds{2, 3, 1, 4}));  // Alice, bob, carol, dave
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --natural")), (TIds{1, 2, 3, 4}));
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --index byAge")), (TIds{3, 1, 2, 4}));   // 41, 30, 25, 12
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --index byCity")), (TIds{4, 2, 3, 1}));  // athens, berlin, Oslo, Paris
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --filter " + Quote("age > 20 and age < 35"))), (TIds{2, 1}));
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --index byAge --filter " + Quote("age > 20"))), (TIds{3, 1, 2}));
    // Partial comparison ('p*' is a prefix) and letter case.
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --filter " + Quote("city = 'p*'"))), TIds{});
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --filter " + Quote("city = 'p*'") + " --nocase")), (TIds{1}));
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --filter " + Quote("city = 'p*'") + " --nocase --nopartial")), TIds{});
    const TRun meta = Reruzo("dump " + t + " --natural --meta --filter " + Quote("name = 'bob'"));
    EXPECT_EQ(meta.out, "{\"_slot\":3,\"_id\":3,\"id\":3,\"name\":\"bob\",\"age\":41,\"city\":\"Oslo\"}\n");
    const TRun bad = Reruzo("dump " + t + " --filter " + Quote("age >"));
    EXPECT_EQ(bad.code, 1);
    EXPECT_TRUE(Contains(bad.err, "Filter error")) << bad.err;
    const TRun noIndex = Reruzo("dump " + t + " --index nope");
    EXPECT_EQ(noIndex.code, 1);
    EXPECT_TRUE(Contains(noIndex.err, "Invalid secondary index name 'nope'")) << noIndex.err;
}

TEST_F(ReruzoTool, AppendKeepsIdentifiersOnlyWhenAsked) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    TRun run = Reruzo("append " + t, "{\"id\":100,\"name\":\"erin\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "1 record appended\n");
    run = Reruzo("append " + t + " --keep-ids", "{\"_id\":50,\"name\":\"gus\"}\n{\"id\":100,\"name\":\"fay\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    run = Reruzo("append " + t, "{\"name\":\"hal\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    // erin got the next identifier, gus and fay kept theirs, and hal follows the highest.
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{2, 3, 1, 4, 5, 100, 50, 101}));
    EXPECT_EQ(ParseJson(Reruzo("info " + t).out).Find("lastAutoInc")->AsInteger(), 101);
    ExpectSound("people");
    // A kept identifier that a record has already is refused, as are two that differ.
    run = Reruzo("append " + t + " --keep-ids", "{\"_id\":50,\"name\":\"ivy\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "line 1: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Sys Deleted")) << run.err;
    run = Reruzo("append " + t + " --keep-ids", "{\"id\":7,\"_id\":8,\"name\":\"jo\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "line 1: \"_id\" gives identifier 8, the record has 7 already")) << run.err;
    EXPECT_EQ(Ids(Reruzo("dump " + t)).size(), 8u);
}

TEST_F(ReruzoTool, WritingIsAllOrNothingWithTheLineOfTheFault) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    const std::string before = Reruzo("dump " + t + " --meta").out;
    // The third record repeats a primary key: the first two are not kept either.
    TRun run = Reruzo("append " + t, "{\"name\":\"x1\"}\n{\"name\":\"x2\"}\n{\"name\":\"carol\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "reruzo: line 3: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Duplicate key found in the index")) << run.err;
    EXPECT_EQ(Reruzo("dump " + t + " --meta").out, before);
    ExpectSound("people");

    // Required fields, bounds and defaults of the field descriptors.
    Load("checked", R"({"fields": [{"name": "code", "type": "char", "length": 4, "required": true},
                                   {"name": "qty", "type": "integer", "min": 1, "max": 10, "default": 5}]})",
         "");
    const std::string c = Table("checked");
    run = Reruzo("append " + c, "{\"code\":\"a\"}\n{\"code\":\"b\",\"qty\":11}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "line 2: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "The value for the field 'qty'")) << run.err;
    EXPECT_EQ(Reruzo("dump " + c).out, "");
    run = Reruzo("append " + c, "{\"code\":\"a\"}\n{\"qty\":3}\n");
    EXPECT_TRUE(Contains(run.err, "line 2: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "A value must be provided for the field 'code'")) << run.err;
    ASSERT_EQ(Reruzo("append " + c, "{\"code\":\"a\"}\n{\"code\":\"b\",\"qty\":2}\n").code, 0);
    EXPECT_EQ(Reruzo("dump " + c).out, "{\"code\":\"a\",\"qty\":5}\n{\"code\":\"b\",\"qty\":2}\n");

    // Values that do not suit their field, named with their line.
    struct TBad {
        const char* line;
        const char* message;
    };
    const TBad bad[] = {
        {R"({"qty":"3"})", "line 1: field \"qty\" takes an integer from -2147483648 to 2147483647, not \"3\""},
        {R"({"qty":2.5})", "line 1: field \"qty\" takes an integer"},
        {R"({"qty":2147483648})", "line 1: field \"qty\" takes an integer"},
        {R"({"code":"abcde"})", "line 1: field \"code\" holds 4 bytes, the text takes 5"},
        {R"({"code":"abc中"})", "line 1: field \"code\" holds 4 bytes, the text takes 5"},  // 中 takes two bytes in GBK
        {R"({"nope":1})", "line 1: the table has no field \"nope\""},
        {"[1]", "line 1: expected an object, found an array"},
    };
    for (const TBad& b : bad) {
        run = Reruzo("append " + c, b.line);
        EXPECT_EQ(run.code, 1) << b.line;
        EXPECT_TRUE(Contains(run.err, b.message)) << b.line << ": " << run.err;
    }
    Load("every", kEveryTypeSchema, "");
    const std::string e = Table("every");
    const TBad typed[] = {
        {R"({"note":5})", "field \"note\" takes a string, not 5"},
        {R"({"pic":"0x00"})", "field \"pic\" takes hexadecimal bytes, not \"0x00\""},
        {R"({"day":"2023-02-29"})", "field \"day\" takes a date \"YYYY-MM-DD\", not \"2023-02-29\""},
        {R"({"clock":"24:00:00"})", "field \"clock\" takes a time"},
        {R"({"stamp":"2020-01-01T10:00:00"})", "field \"stamp\" takes a timestamp"},
        {R"({"flag":1})", "field \"flag\" takes true or false, not 1"},
        {R"({"raw":"abc"})", "field \"raw\" takes hexadecimal bytes"},
        {R"({"raw":"0102030405"})", "field \"raw\" holds 3 bytes, the value has 5"},
        {R"({"amount":"1.234"})", "field \"amount\" has 2 decimal places"},
        {R"({"amount":"1e5"})", "field \"amount\" takes a decimal number"},
        {R"({"small":40000})", "field \"small\" takes an integer from -32768 to 32767"},
        {R"({"w":-1})", "field \"w\" takes an integer from 0 to 65535"},
        {R"({"f":"x"})", "field \"f\" takes a number"},
    };
    for (const TBad& b : typed) {
        run = Reruzo("append " + e, std::string("{}\n") + b.line + "\n");
        EXPECT_EQ(run.code, 1) << b.line;
        EXPECT_TRUE(Contains(run.err, std::string("line 2: ") + b.message)) << b.line << ": " << run.err;
    }
    EXPECT_EQ(Reruzo("dump " + e).out, "");
}

TEST_F(ReruzoTool, DeleteByFilterThenDumpAndVerify) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    TRun run = Reruzo("delete " + t + " --filter " + Quote("age > 20 and age < 35"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "2 records deleted\n");
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{3, 4}));
    EXPECT_EQ(Ids(Reruzo("dump " + t + " --index byCity")), (std::vector<std::int64_t>{4, 3}));
    ExpectSound("people");
    const TJsonValue info = ParseJson(Reruzo("info " + t).out);
    EXPECT_EQ(info.Find("recordCount")->AsInteger(), 2);
    EXPECT_EQ(info.Find("slotCount")->AsInteger(), 4);
    EXPECT_NE(info.Find("firstFreeRecord")->AsInteger(), 0);
    // A new record takes a freed slot but a new identifier.
    ASSERT_EQ(Reruzo("append " + t, "{\"name\":\"erin\",\"age\":33}\n").code, 0);
    const TRun erin = Reruzo("dump " + t + " --meta --filter " + Quote("name = 'erin'"));
    const TJsonValue record = ParseJson(erin.out);
    EXPECT_EQ(record.Find("_id")->AsInteger(), 5);
    const auto slot = *record.Find("_slot")->AsInteger();
    EXPECT_TRUE(slot == 1 || slot == 2) << erin.out;
    ExpectSound("people");
    run = Reruzo("delete " + t + " --filter " + Quote("name = 'nobody'"));
    EXPECT_EQ(run.out, "0 records deleted\n");
    run = Reruzo("delete " + t + " --filter " + Quote("city = 'OSLO'") + " --nocase");
    EXPECT_EQ(run.out, "1 record deleted\n");
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{4, 5}));
    ExpectSound("people");
}

TEST_F(ReruzoTool, VerifyReportsDamage) {
    Load("people", kPeopleSchema, kPeopleInput);
    ExpectSound("people");
    const auto sound = dir.Read("people.IDX");

    // The record count in the index header.
    auto bytes = sound;
    bytes[3974] += 1;
    dir.Write("people.IDX", bytes);
    TRun run = Reruzo("verify " + Table("people"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.out, "the index file counts 5 records, the data file holds 4")) << run.out;
    EXPECT_TRUE(Contains(run.out, ": damaged, 4 records in 4 slots")) << run.out;

    // The primary index's first entry (Alice, slot 2) made to point at carol's slot 1.
    bytes = sound;
    const std::size_t keyLength = bytes[14 + 31] | bytes[14 + 32] << 8;
    std::int32_t root;
    std::memcpy(&root, &bytes[14 + 86], 4);
    const std::size_t entry = static_cast<std::size_t>(root) * 4096 + 13;
    ASSERT_EQ(std::memcmp(&bytes[entry + 1], "Alice", 5), 0);
    ASSERT_EQ(bytes[entry + keyLength], 2);
    bytes[entry + keyLength] = 1;
    dir.Write("people.IDX", bytes);
    run = Reruzo("verify " + Table("people"));
    EXPECT_EQ(run.code, 1);
    for (const char* problem : {"the primary index: the entry of slot 1 holds another key than the record",
                                "the primary index: slot 1 has 2 entries", "the primary index: slot 2 has no entry"}) {
        EXPECT_TRUE(Contains(run.out, problem)) << problem << "\n" << run.out;
    }
    EXPECT_EQ(Lines(run.out).size(), 4u) << run.out;

    // A missing index file.
    fs::remove(dir.File("people.IDX"));
    run = Reruzo("verify " + Table("people"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.out, "people.IDX is missing")) << run.out;
}

// ---- BLOB fields --------------------------------------------------------------------

// Notes with every kind of BLOB the tool names, in blocks of 128 bytes: 18 header bytes
// and 110 data bytes each.
const char* const kNotesSchema = R"({
  "fields": [
    {"name": "id", "type": "autoinc"},
    {"name": "name", "type": "char", "length": 10},
    {"name": "body", "type": "memo"},
    {"name": "rich", "type": "fmtmemo"},
    {"name": "pic", "type": "graphic"},
    {"name": "typed", "type": "typedbinary"}
  ],
  "primary": {"fields": ["id"]},
  "blobBlockSize": 128
})";

// 100 lines of "汉字abc" in JSON: 8 bytes each in GBK (two double-byte characters,
// three letters and a line feed), 800 bytes in all.
std::string LongMemoJson() {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "汉字abc\\n";
    return text;
}

// Each record's BLOBs are written in field order when it is appended, each with the
// next stamp (from 1) in the next blocks:
//   slot 1 "zh"     body   22 bytes (11 GBK characters)     block 1       stamp 1
//                   pic     8 bytes                          block 2       stamp 2
//   slot 2 "long"   body  800 bytes: 7 full blocks + 30      blocks 3..10  stamp 3
//   slot 3 "empty"  every BLOB empty or null: no blocks
//   slot 4 "typed"  rich   12 bytes ("{\rtf1 " 7, 粗体 4, "}" 1) block 11  stamp 4
//                   typed   3 bytes                          block 12      stamp 5
std::string NotesInput() {
    return std::string(R"({"name":"zh","body":"中文备忘录：长城与黄河","pic":"89504E470d0a1a0a"})") + "\n" +
           R"({"name":"long","body":")" + LongMemoJson() + "\"}\n" +
           R"({"name":"empty","body":"","rich":"","pic":"","typed":null})" + "\n" +
           R"({"name":"typed","rich":"{\\rtf1 粗体}","typed":"0001ff"})" + "\n";
}

// What dump gives: memo text as strings, the other kinds as lower-case hexadecimal,
// empty BLOBs as null.
std::vector<std::string> NotesDump() {
    return {R"({"id":1,"name":"zh","body":"中文备忘录：长城与黄河","rich":null,"pic":"89504e470d0a1a0a","typed":null})",
            R"({"id":2,"name":"long","body":")" + LongMemoJson() + R"(","rich":null,"pic":null,"typed":null})",
            R"({"id":3,"name":"empty","body":null,"rich":null,"pic":null,"typed":null})",
            R"({"id":4,"name":"typed","body":null,"rich":"{\\rtf1 粗体}","pic":null,"typed":"0001ff"})"};
}

using TBytes = std::vector<unsigned char>;

std::int64_t Le(const TBytes& b, std::size_t at, int size) {
    std::uint64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
    return size == 4 ? static_cast<std::int32_t>(v) : static_cast<std::int64_t>(v);
}

void PutLe(TBytes& b, std::size_t at, std::int64_t value, int size) {
    for (int i = 0; i < size; ++i) b.at(at + static_cast<std::size_t>(i)) = static_cast<unsigned char>(value >> (8 * i));
}

// Where block n of a BLOB file with 128-byte blocks starts, and its header fields.
std::size_t BlockAt(std::int32_t n) { return 512 + static_cast<std::size_t>(n - 1) * 128; }
enum TBlockField : std::size_t { kPrev = 0, kNext = 4, kUsed = 8, kStamp = 10, kSize = 14 };
int WidthOf(TBlockField f) { return f == kUsed ? 2 : 4; }
std::int64_t BlockField(const TBytes& b, std::int32_t n, TBlockField f) { return Le(b, BlockAt(n) + f, WidthOf(f)); }
void SetBlockField(TBytes& b, std::int32_t n, TBlockField f, std::int64_t v) { PutLe(b, BlockAt(n) + f, v, WidthOf(f)); }

bool HasBytes(const TBytes& file, const TBytes& part) {
    return std::search(file.begin(), file.end(), part.begin(), part.end()) != file.end();
}

TEST_F(ReruzoTool, BlobsRoundTripThroughLoadDumpAndAppend) {
    Load("notes", kNotesSchema, NotesInput());
    const std::string t = Table("notes");
    TRun dump = Reruzo("dump " + t);
    ASSERT_EQ(dump.code, 0) << dump.err;
    EXPECT_EQ(Lines(dump.out), NotesDump());
    ExpectSound("notes");

    // The BLOB file as worked out above.
    const TBytes blb = dir.Read("notes.BLB");
    ASSERT_EQ(blb.size(), 512u + 12 * 128);
    EXPECT_EQ(Le(blb, 13, 4), 13);  // NextBlockNo
    EXPECT_EQ(BlockField(blb, 1, kUsed), 22);
    EXPECT_EQ(BlockField(blb, 1, kSize), 22);
    EXPECT_EQ(TBytes(blb.begin() + BlockAt(1) + 18, blb.begin() + BlockAt(1) + 22), (TBytes{0xD6, 0xD0, 0xCE, 0xC4}));  // 中文
    EXPECT_EQ(BlockField(blb, 3, kSize), 800);
    for (std::int32_t n = 3; n <= 10; ++n) {
        EXPECT_EQ(BlockField(blb, n, kPrev), n == 3 ? 0 : n - 1) << n;
        EXPECT_EQ(BlockField(blb, n, kNext), n == 10 ? 0 : n + 1) << n;
        EXPECT_EQ(BlockField(blb, n, kUsed), n == 10 ? 30 : 110) << n;
        EXPECT_EQ(BlockField(blb, n, kStamp), 3) << n;
    }
    EXPECT_EQ(TBytes(blb.begin() + BlockAt(12) + 18, blb.begin() + BlockAt(12) + 21), (TBytes{0x00, 0x01, 0xFF}));

    TJsonValue info = ParseJson(Reruzo("info " + t).out);
    const TJsonValue* file = info.Find("blobFile");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Find("formatVersion")->AsInteger(), 5);
    EXPECT_EQ(file->Find("blockSize")->AsInteger(), 128);
    EXPECT_EQ(file->Find("blockCount")->AsInteger(), 12);
    EXPECT_EQ(file->Find("firstFreeBlock")->AsInteger(), 0);
    const std::int64_t changes = *file->Find("changeCount")->AsInteger();
    EXPECT_FALSE(info.Find("encrypted")->AsBoolean());

    // An appended record's BLOBs take the next two blocks; the header counts the change.
    TRun run = Reruzo("append " + t, "{\"name\":\"more\",\"body\":\"追加\",\"typed\":\"ABCDEF\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    dump = Reruzo("dump " + t);
    std::vector<std::string> expected = NotesDump();
    expected.push_back(R"({"id":5,"name":"more","body":"追加","rich":null,"pic":null,"typed":"abcdef"})");
    EXPECT_EQ(Lines(dump.out), expected);
    info = ParseJson(Reruzo("info " + t).out);
    EXPECT_EQ(info.Find("blobFile")->Find("blockCount")->AsInteger(), 14);
    EXPECT_GT(*info.Find("blobFile")->Find("changeCount")->AsInteger(), changes);
    ExpectSound("notes");

    // A dump with its identifiers loads into an equal table.
    const TRun meta = Reruzo("dump " + t + " --meta");
    run = Reruzo("load " + Table("copy") + " --keep-ids --schema " + dir.File("notes.json"), meta.out);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "5 records appended\n");
    EXPECT_EQ(Reruzo("dump " + Table("copy")).out, dump.out);
    ExpectSound("copy");

    // In UTF-8 the same memo takes 33 bytes (11 characters of 3 bytes) and comes back
    // the same through --codepage 65001.
    ASSERT_EQ(Reruzo("load " + Table("utf8") + " --codepage 65001 --schema " + dir.File("notes.json"), NotesInput()).code, 0);
    EXPECT_EQ(Lines(Reruzo("dump " + Table("utf8") + " --codepage 65001").out), NotesDump());
    const TBytes utf8 = dir.Read("utf8.BLB");
    EXPECT_EQ(BlockField(utf8, 1, kSize), 33);
    EXPECT_EQ(TBytes(utf8.begin() + BlockAt(1) + 18, utf8.begin() + BlockAt(1) + 24),
              (TBytes{0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87}));  // 中文
    // 800 bytes in GBK are 1000 in UTF-8 (each 汉字 two bytes more): ten blocks.
    EXPECT_EQ(BlockField(utf8, 3, kSize), 1000);
    EXPECT_EQ(ParseJson(Reruzo("info " + Table("utf8")).out).Find("blobFile")->Find("blockCount")->AsInteger(), 14);
}

TEST_F(ReruzoTool, EmptyBlobsAreNullAndRequiredOnesNeedContents) {
    Load("req", R"({"fields": [{"name": "name", "type": "char", "length": 4},
                               {"name": "body", "type": "memo", "required": true},
                               {"name": "raw", "type": "blob"}], "blobBlockSize": 64})",
         "");
    const std::string t = Table("req");
    TRun run = Reruzo("append " + t, "{\"name\":\"a\",\"body\":\"x\",\"raw\":\"\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    for (const char* line : {R"({"name":"b","body":""})", R"({"name":"b","body":null})", R"({"name":"b"})"}) {
        run = Reruzo("append " + t, line);
        EXPECT_EQ(run.code, 1) << line;
        EXPECT_TRUE(Contains(run.err, "line 1: ")) << line << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "A value must be provided for the field 'body'")) << line << ": " << run.err;
    }
    // Keys that differ in letter case name one field: the last one counts.
    run = Reruzo("append " + t, "{\"name\":\"c\",\"body\":\"first\",\"BODY\":\"second\",\"raw\":\"00\",\"Raw\":null}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Reruzo("dump " + t).out,
              "{\"name\":\"a\",\"body\":\"x\",\"raw\":null}\n{\"name\":\"c\",\"body\":\"second\",\"raw\":null}\n");
    // Two one-block memos, nothing for the empty and null BLOBs.
    EXPECT_EQ(ParseJson(Reruzo("info " + t).out).Find("blobFile")->Find("blockCount")->AsInteger(), 2);
    ExpectSound("req");
}

TEST_F(ReruzoTool, BadBlobValuesAreRefusedWithTheirLineAndField) {
    Load("notes", kNotesSchema, NotesInput());
    const std::string t = Table("notes");
    const std::string before = Reruzo("dump " + t + " --meta").out;
    const TBytes blb = dir.Read("notes.BLB");
    struct TBad {
        const char* line;
        const char* message;
    };
    const TBad bad[] = {
        {R"({"pic":"0g"})", "line 2: field \"pic\" takes hexadecimal bytes, not \"0g\""},
        {R"({"typed":"abc"})", "line 2: field \"typed\" takes hexadecimal bytes, not \"abc\""},
        {R"({"pic":12})", "line 2: field \"pic\" takes hexadecimal bytes, not 12"},
        {R"({"rich":["x"]})", "line 2: field \"rich\" takes a string, not an array"},
        {R"({"body":false})", "line 2: field \"body\" takes a string, not false"},
        {R"({"body":"😀"})", "line 2: field \"body\" the text has a character that code page 936 lacks"},
    };
    for (const TBad& b : bad) {
        const TRun run = Reruzo("append " + t, std::string("{\"name\":\"ok\",\"body\":\"fine\"}\n") + b.line + "\n");
        EXPECT_EQ(run.code, 1) << b.line;
        EXPECT_EQ(run.err, std::string("reruzo: ") + b.message + "\n") << b.line;
    }
    // Nothing of the good first lines was kept.
    EXPECT_EQ(Reruzo("dump " + t + " --meta").out, before);
    EXPECT_EQ(dir.Read("notes.BLB"), blb);
}

TEST_F(ReruzoTool, EncryptedBlobsNeedOneOfThePasswordsGiven) {
    std::string schema = kNotesSchema;
    schema.insert(schema.rfind('}'), ", \"password\": \"k3y\"");
    Load("secret", schema, NotesInput());
    Load("plain", kNotesSchema, NotesInput());
    const std::string t = Table("secret");
    // The plain file holds the GBK bytes of 中文 and the picture's signature; the
    // enciphered one neither.
    const TBytes zh{0xD6, 0xD0, 0xCE, 0xC4};
    const TBytes png{0x89, 0x50, 0x4E, 0x47};
    EXPECT_TRUE(HasBytes(dir.Read("plain.BLB"), zh));
    EXPECT_TRUE(HasBytes(dir.Read("plain.BLB"), png));
    EXPECT_FALSE(HasBytes(dir.Read("secret.BLB"), zh));
    EXPECT_FALSE(HasBytes(dir.Read("secret.BLB"), png));

    TRun run = Reruzo("dump " + t);
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "a password is required")) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Reruzo("dump " + t + " --password wrong").code, 1);
    EXPECT_EQ(Lines(Reruzo("dump " + t + " --password k3y").out), NotesDump());
    run = Reruzo("dump " + t + " --password wrong --password k3y");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Lines(run.out), NotesDump());

    // info and verify read the header and blocks deciphered.
    const TJsonValue info = ParseJson(Reruzo("info " + t + " --password k3y --password other").out);
    EXPECT_TRUE(info.Find("encrypted")->AsBoolean());
    EXPECT_EQ(info.Find("blobFile")->Find("blockCount")->AsInteger(), 12);
    run = Reruzo("verify " + t + " --password other --password k3y");
    EXPECT_EQ(run.code, 0) << run.out << run.err;

    // Writing with several passwords; the deleted record's block goes to the free chain.
    run = Reruzo("append " + t + " --password nope --password k3y", "{\"name\":\"x\",\"pic\":\"01\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Reruzo("append " + t, "{\"name\":\"y\"}\n").code, 1);
    run = Reruzo("delete " + t + " --filter " + Quote("name = 'x'") + " --password k3y --password other");
    EXPECT_EQ(run.out, "1 record deleted\n") << run.err;
    EXPECT_EQ(ParseJson(Reruzo("info " + t).out).Find("blobFile")->Find("firstFreeBlock")->AsInteger(), 13);
    EXPECT_EQ(Lines(Reruzo("dump " + t + " --password k3y").out), NotesDump());
    ExpectSound("secret");
}

// The problem lines of a verify run (all but the closing line), expecting damage.
std::vector<std::string> Problems(const TRun& run) {
    EXPECT_EQ(run.code, 1) << run.out << run.err;
    std::vector<std::string> lines = Lines(run.out);
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return lines;
    EXPECT_TRUE(Contains(lines.back(), ": damaged, ")) << run.out;
    lines.pop_back();
    return lines;
}

TEST_F(ReruzoTool, VerifyWalksEveryBlobChain) {
    Load("notes", kNotesSchema, NotesInput());
    ExpectSound("notes");
    const std::string t = Table("notes");
    const TBytes sound = dir.Read("notes.BLB");
    const TBytes soundData = dir.Read("notes.DAT");
    using TLines = std::vector<std::string>;
    struct TDamage {
        const char* what;
        std::function<void(TBytes&)> change;
        TLines problems;
    };
    const TDamage damages[] = {
        {"another stamp in the middle of a chain", [](TBytes& b) { SetBlockField(b, 5, kStamp, 999); },
         {"slot 2, field 'body': block 5 carries stamp 999, the record's is 3"}},
        {"a link out of range", [](TBytes& b) { SetBlockField(b, 4, kNext, 77); },
         {"slot 2, field 'body': block 4 links to block 77, outside blocks 1..12",
          "the BLOB file: blocks 5..10 are neither used nor free: leaked"}},
        {"a loop", [](TBytes& b) { SetBlockField(b, 6, kNext, 4); },
         {"slot 2, field 'body': the chain loops back to block 4",
          "the BLOB file: blocks 7..10 are neither used nor free: leaked"}},
        {"a wrong back link", [](TBytes& b) { SetBlockField(b, 8, kPrev, 3); },
         {"slot 2, field 'body': block 8 links back to block 3, not 7"}},
        {"a size the blocks do not hold", [](TBytes& b) { SetBlockField(b, 3, kSize, 801); },
         {"slot 2, field 'body': the BLOB's size is 801 bytes, its blocks hold 800"}},
        {"a block not full in the middle", [](TBytes& b) { SetBlockField(b, 4, kUsed, 100); },
         {"slot 2, field 'body': block 4 uses 100 of its 110 bytes, yet the chain goes on",
          "slot 2, field 'body': the BLOB's size is 800 bytes, its blocks hold 790"}},
        {"more bytes than a block holds", [](TBytes& b) { SetBlockField(b, 12, kUsed, 111); },
         {"slot 4, field 'typed': block 12 uses 111 bytes, a block holds 110",
          "slot 4, field 'typed': the BLOB's size is 3 bytes, its blocks hold 111"}},
        {"a block nobody uses", [](TBytes& b) {
             PutLe(b, 13, 14, 4);  // NextBlockNo: one block more
             b.resize(b.size() + 128, 0);
         },
         {"the BLOB file: block 13 is neither used nor free: leaked"}},
        {"a file shorter than its header says", [](TBytes& b) { b.resize(b.size() - 128); },
         {"the BLOB file: the header counts 12 blocks, the file holds 11",
          "slot 4, field 'typed': block 12 lies past the end of the file"}},
        {"a free chain into a BLOB", [](TBytes& b) { PutLe(b, 9, 11, 4); },
         {"the BLOB file: the free chain starts at block 11, which carries stamp 4 (a free block has none)"}},
        {"a free chain out of range", [](TBytes& b) { PutLe(b, 9, 40, 4); },
         {"the BLOB file: the free chain starts at block 40, outside blocks 1..12"}},
    };
    for (const TDamage& d : damages) {
        TBytes bytes = sound;
        d.change(bytes);
        dir.Write("notes.BLB", bytes);
        EXPECT_EQ(Problems(Reruzo("verify " + t)), d.problems) << d.what;
    }

    // Two records naming one BLOB: slot 4's typed field made to refer to slot 1's
    // picture (block 2, stamp 2), which leaves its own block 12 to nobody.
    dir.Write("notes.BLB", sound);
    TBytes data = soundData;
    const std::size_t recordSize = static_cast<std::size_t>(Le(data, 21, 2));
    const std::size_t fieldCount = static_cast<std::size_t>(Le(data, 23, 2));
    const std::size_t typedOffset = static_cast<std::size_t>(Le(data, 127 + 768 * 5 + 90, 2));
    const std::size_t reference = 127 + 768 * fieldCount + 3 * recordSize + typedOffset + 1;
    ASSERT_EQ(Le(data, reference, 4), 12);
    ASSERT_EQ(Le(data, reference + 4, 4), 5);
    PutLe(data, reference, 2, 4);
    PutLe(data, reference + 4, 2, 4);
    dir.Write("notes.DAT", data);
    EXPECT_EQ(Problems(Reruzo("verify " + t)),
              (TLines{"slot 4, field 'typed': block 2 is used by slot 1, field 'pic' as well",
                      "the BLOB file: block 12 is neither used nor free: leaked"}));
    dir.Write("notes.DAT", soundData);

    // A damaged chain stops a dump with the record and field named.
    TBytes looped = sound;
    SetBlockField(looped, 6, kNext, 4);
    dir.Write("notes.BLB", looped);
    const TRun dump = Reruzo("dump " + t);
    EXPECT_EQ(dump.code, 1);
    EXPECT_TRUE(Contains(dump.err, "reruzo: slot 2, field \"body\": ")) << dump.err;
    EXPECT_TRUE(Contains(dump.err, "BLOB block buffers corrupt")) << dump.err;
    dir.Write("notes.BLB", sound);
    ExpectSound("notes");
}

TEST_F(ReruzoTool, VerifyChecksTheFreeChainOfTheBlobFile) {
    Load("notes", kNotesSchema, NotesInput());
    const std::string t = Table("notes");
    // Deleting "long" frees blocks 3..10 in chain order, each becoming the head of the
    // free chain: 10, 9, ..., 3.
    ASSERT_EQ(Reruzo("delete " + t + " --filter " + Quote("name = 'long'")).out, "1 record deleted\n");
    ExpectSound("notes");
    EXPECT_EQ(ParseJson(Reruzo("info " + t).out).Find("blobFile")->Find("firstFreeBlock")->AsInteger(), 10);
    const TBytes sound = dir.Read("notes.BLB");
    ASSERT_EQ(BlockField(sound, 10, kNext), 9);
    ASSERT_EQ(BlockField(sound, 3, kNext), 0);
    ASSERT_EQ(BlockField(sound, 3, kStamp), 0);
    using TLines = std::vector<std::string>;
    struct TDamage {
        const char* what;
        std::function<void(TBytes&)> change;
        TLines problems;
    };
    const TDamage damages[] = {
        {"a lost free chain", [](TBytes& b) { PutLe(b, 9, 0, 4); },
         {"the BLOB file: blocks 3..10 are neither used nor free: leaked"}},
        {"a free chain that loops", [](TBytes& b) { SetBlockField(b, 3, kNext, 10); },
         {"the BLOB file: the free chain links from block 3 to block 10 again: the chain loops"}},
        {"a free chain into a BLOB", [](TBytes& b) { SetBlockField(b, 5, kNext, 1); },
         {"the BLOB file: the free chain links from block 5 to block 1, which carries stamp 1 (a free block has none)",
          "the BLOB file: blocks 3..4 are neither used nor free: leaked"}},
        {"a BLOB into the free chain", [](TBytes& b) { SetBlockField(b, 1, kNext, 4); },
         {"slot 1, field 'body': block 1 uses 22 of its 110 bytes, yet the chain goes on",
          "slot 1, field 'body': block 4 is on the free chain as well"}},
    };
    for (const TDamage& d : damages) {
        TBytes bytes = sound;
        d.change(bytes);
        dir.Write("notes.BLB", bytes);
        EXPECT_EQ(Problems(Reruzo("verify " + t)), d.problems) << d.what;
    }
}

TEST_F(ReruzoTool, VerifyEndsOnAnyDamageOfTheBlobFile) {
    Load("notes", kNotesSchema, NotesInput());
    const std::string t = Table("notes");
    const TBytes sound = dir.Read("notes.BLB");
    // Block headers of made-up numbers, mostly within reach of each other, and headers
    // counting blocks the file cannot have: verify reports and ends, dump fails or
    // shows what it can, neither crashes nor hangs.
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::int64_t>((seed >> 8) % range);
    };
    for (int round = 0; round < 6; ++round) {
        TBytes bytes = sound;
        for (std::int32_t n = 1; n <= 12; ++n) {
            SetBlockField(bytes, n, kPrev, next(15) - 1);
            SetBlockField(bytes, n, kNext, next(15) - 1);
            SetBlockField(bytes, n, kUsed, next(130));
            SetBlockField(bytes, n, kStamp, next(7));
            SetBlockField(bytes, n, kSize, next(1500) - 10);
        }
        PutLe(bytes, 9, next(15) - 1, 4);
        dir.Write("notes.BLB", bytes);
        const TRun verify = Reruzo("verify " + t);
        EXPECT_EQ(verify.code, 1) << round << "\n" << verify.out << verify.err;
        const TRun dump = Reruzo("dump " + t);
        EXPECT_TRUE(dump.code == 0 || dump.code == 1) << round << ": " << dump.err;
    }
    TBytes bytes = sound;
    PutLe(bytes, 13, 2000000000, 4);  // NextBlockNo
    PutLe(bytes, 9, 1999999999, 4);   // FirstFreeBlock
    dir.Write("notes.BLB", bytes);
    EXPECT_EQ(Problems(Reruzo("verify " + t)),
              (std::vector<std::string>{"the BLOB file: the header counts 1999999999 blocks, the file holds 12",
                                        "the BLOB file: the free chain's block 1999999999 lies past the end of the file"}));
    PutLe(bytes, 13, -5, 4);
    dir.Write("notes.BLB", bytes);
    EXPECT_EQ(Problems(Reruzo("verify " + t)),
              (std::vector<std::string>{"the BLOB file: the header's next block number is -5, below 1"}));
    fs::remove(dir.File("notes.BLB"));
    const TRun missing = Reruzo("verify " + t);
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.out, "notes.BLB is missing")) << missing.out;
}

void CopyKnowledgeBase(const TTempDir& to) {
    for (const char* f : {"vrqinfo.DAT", "vrqinfo.IDX", "vrqdtl.DAT", "vrqdtl.IDX"})
        fs::copy_file(std::string(QUORVANE_BIN_DIR) + f, to.File(f));
}

TEST(ReruzoToolOnKnowledgeBase, VerifiesAndShowsTheShippedTables) {
    TTempDir dir;
    CopyKnowledgeBase(dir);
    const TRun run = Reruzo("verify " + dir.File("vrqdtl"));
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_TRUE(Contains(run.out, ": ok, ")) << run.out;
    const TRun info = Reruzo("info " + dir.File("vrqdtl.DAT"));
    ASSERT_EQ(info.code, 0) << info.err;
    const TJsonValue described = ParseJson(info.out);
    bool keyIndex = false;
    for (const TJsonValue& x : described.Find("indexes")->Items()) keyIndex = keyIndex || x.Find("name")->Text() == "key";
    EXPECT_TRUE(keyIndex) << info.out;
    const TRun dump = Reruzo("dump " + dir.File("vrqinfo") + " --codepage 936");
    EXPECT_EQ(dump.code, 0);
    EXPECT_TRUE(Contains(dump.out, "浏览器标题栏与主页修复"));
    // The filter text is converted to the table's code page like the records.
    const TRun found = Reruzo("dump " + dir.File("vrqinfo") + " --filter " + Quote("title = '浏览器标题栏与主页修复'"));
    EXPECT_EQ(Lines(found.out).size(), 1u) << found.out << found.err;
}

TEST(ReruzoToolOnKnowledgeBase, ReportsDamageAndMissingTables) {
    TTempDir dir;
    CopyKnowledgeBase(dir);
    // Change a keyid in the data file: the index "key" no longer matches it.
    auto bytes = dir.Read("vrqdtl.DAT");
    const std::size_t recordSize = bytes[21] | bytes[22] << 8;
    const std::size_t fieldCount = bytes[23] | bytes[24] << 8;
    bytes[127 + 768 * fieldCount + 5 * recordSize + 212] ^= 0x40;  // keyid of slot 6
    dir.Write("vrqdtl.DAT", bytes);
    const TRun run = Reruzo("verify " + dir.File("vrqdtl"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.out, "index 'key': the entry of slot 6 holds another key than the record")) << run.out;
    EXPECT_TRUE(Contains(run.out, "damaged")) << run.out;
    const TRun missing = Reruzo("verify " + dir.File("nothing"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.err, "RERUZO Engine Error # 11010 Table 'nothing' does not exist")) << missing.err;
}

TEST_F(ReruzoTool, MalformedInputReportsItsLine) {
    Load("people", kPeopleSchema, "");
    TRun run = Reruzo("append " + Table("people"), "{\"name\":\"x\"}\n\n{\"name\": \"y\",}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: line 3, column 14: a trailing comma before '}'\n");
    run = Reruzo("append " + Table("people"), "{\"name\":\"x\"} {\"name\":\"y\"}\n");
    EXPECT_EQ(run.err, "reruzo: line 1, column 14: unexpected '{' after the value\n");
    EXPECT_EQ(Reruzo("dump " + Table("people")).out, "");

    // A schema error names the file, line and column; no table is made.
    WriteText(dir.File("bad.json"), "{\"fields\": [\n  {\"name\": \"a\", \"type\": \"char\", \"length\": 5},\n"
                                    "  {\"name\": \"b\", \"type\": \"chr\"}\n]}\n");
    run = Reruzo("load " + Table("t") + " --schema " + dir.File("bad.json"));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: " + dir.File("bad.json") + ", line 3, column 25: field 2: unknown type \"chr\"\n");
    EXPECT_FALSE(fs::exists(dir.File("t.DAT")));
    const std::pair<const char*, const char*> schemas[] = {
        {R"({"fields": []})", "the schema needs \"fields\""},
        {R"({"fields": [{"name": "a", "type": "char"}]})", "field 1: a char field needs a \"length\""},
        {R"({"fields": [{"name": "a", "type": "integer", "size": 4}]})", "field 1 has an unknown key \"size\""},
        {R"({"fields": [{"name": "a", "type": "bcd", "scale": 5}]})", "\"scale\" must be an integer from 0 to 4"},
        {R"({"fields": [{"name": "a", "type": "integer"}], "primary": {"fields": ["b"]}})", "there is no field \"b\""},
        {R"({"fields": [{"name": "a", "type": "integer"}], "indexes": [{"fields": ["a"]}]})", "index 1 needs a \"name\""},
        {R"({"fields": [{"name": "a", "type": "integer"}], "indexes": [{"name": "i", "fields": ["a"], "compression": "zip"}]})",
         "\"compression\" must be one of \"none\", \"dupbyte\", \"trailbyte\", \"full\""},
        {R"({"fields": [{"name": "a", "type": "integer", "required": 1}]})", "\"required\" must be true or false"},
    };
    for (const auto& [schema, message] : schemas) {
        WriteText(dir.File("bad.json"), schema);
        run = Reruzo("load " + Table("t") + " --schema " + dir.File("bad.json"));
        EXPECT_EQ(run.code, 1) << schema;
        EXPECT_TRUE(Contains(run.err, message)) << schema << ": " << run.err;
        EXPECT_FALSE(fs::exists(dir.File("t.DAT"))) << schema;
    }
    // The engine's own checks of a structure, and a table that exists already.
    WriteText(dir.File("bad.json"), R"({"fields": [{"name": "1a", "type": "integer"}]})");
    run = Reruzo("load " + Table("t") + " --schema " + dir.File("bad.json"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "RERUZO Engine Error #")) << run.err;
    WriteText(dir.File("bad.json"), kPeopleSchema);
    run = Reruzo("load " + Table("people") + " --schema " + dir.File("bad.json"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "The table 'people' already exists")) << run.err;
    // Input that fails takes the new table away again.
    run = Reruzo("load " + Table("t") + " --schema " + dir.File("bad.json"), "{\"name\":\"a\"}\n{\"age\":\"old\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "line 2: field \"age\"")) << run.err;
    EXPECT_FALSE(fs::exists(dir.File("t.DAT")));
    EXPECT_FALSE(fs::exists(dir.File("t.IDX")));
}

TEST_F(ReruzoTool, BadUsageExitsTwo) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    const std::string cases[] = {
        "",
        "bogus " + t,
        "dump",
        "dump --natural",
        "dump " + t + " --sideways",
        "dump " + t + " --index",
        "dump " + t + " --index byAge --natural",
        "dump " + t + " --nocase",
        "dump " + t + " --meta --meta",
        "info " + t + " --meta",
        "verify " + t + " --filter x",
        "delete " + t,
        "load " + t,
        "append " + t + " --schema x.json",
        "dump " + t + " --codepage abc",
        "dump " + t + " --codepage 12345",
    };
    for (const std::string& args : cases) {
        const TRun run = Reruzo(args);
        EXPECT_EQ(run.code, 2) << args;
        EXPECT_TRUE(Contains(run.err, "usage: reruzo COMMAND TABLE")) << args << ": " << run.err;
        EXPECT_EQ(run.out, "") << args;
    }
    // Nothing was changed by any of them.
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{2, 3, 1, 4}));
}


// ---- Concurrent writers, unreadable input, refused schemas, long input ---------------

// Runs the tool with standard input taken from the open descriptor `input` (a pipe, a
// device, a folder), which the caller keeps and closes.
TRun ReruzoReading(const std::vector<std::string>& arguments, int input) {
    TTempDir io;
    const std::string program = std::string(QUORVANE_BIN_DIR) + "reruzo";
    const std::string out = io.File("out");
    const std::string err = io.File("err");
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::dup2(input, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto text = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text(out), text(err)};
}

// The number a line "N records deleted" gives; -1 for any other output.
std::int64_t DeletedCount(const std::string& out) {
    std::istringstream in(out);
    std::int64_t n = -1;
    std::string word1, word2;
    if (!(in >> n >> word1 >> word2) || (word1 != "record" && word1 != "records") || word2 != "deleted") return -1;
    return n;
}

TEST_F(ReruzoTool, DeleteSelectsInItsTransactionWhileOthersAppend) {
    Load("log", R"({"fields": [{"name": "id", "type": "autoinc"}, {"name": "tag", "type": "char", "length": 8}],
                    "primary": {"fields": ["id"]}})",
         "{\"tag\":\"keep\"}\n{\"tag\":\"keep\"}\n{\"tag\":\"keep\"}\n");
    const std::string t = Table("log");
    const std::string stop = dir.File("stop");
    // Three other processes append a record "new" at a time until told to stop, and
    // write down how many they appended. They are told and waited for however the
    // test ends.
    struct TAppenders {
        std::string stop;
        std::vector<pid_t> pids;
        std::vector<int> statuses;
        void Finish() {
            WriteText(stop, "");
            for (pid_t pid : pids) {
                int status = 0;
                ::waitpid(pid, &status, 0);
                statuses.push_back(status);
            }
            pids.clear();
        }
        ~TAppenders() { Finish(); }
    } appenders{stop, {}, {}};
    for (int i = 0; i < 3; ++i) {
        const std::string tally = dir.File("appended" + std::to_string(i));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int appended = 0;
            bool sound = true;
            while (sound && !fs::exists(stop)) {
                const TRun run = Reruzo("append " + t, "{\"tag\":\"new\"}\n");
                sound = run.code == 0 && run.out == "1 record appended\n";
                appended += sound ? 1 : 0;
            }
            WriteText(tally, std::to_string(appended));
            ::_exit(sound ? 0 : 1);  // past the fixture: its folder is the parent's
        }
        appenders.pids.push_back(pid);
    }
    // Meanwhile every delete succeeds and counts what it deleted. Counting the
    // selection before the transaction began failed about one call in ten here.
    std::int64_t deleted = 0;
    int failed = 0;
    std::string failure;
    for (int i = 0; i < 100; ++i) {
        const TRun run = Reruzo("delete " + t + " --filter " + Quote("tag = 'new'"));
        const std::int64_t n = DeletedCount(run.out);
        if (run.code != 0 || n < 0) {
            ++failed;
            failure = run.out + run.err;
            continue;
        }
        deleted += n;
    }
    appenders.Finish();
    std::int64_t appended = 0;
    for (std::size_t i = 0; i < appenders.statuses.size(); ++i) {
        const int status = appenders.statuses[i];
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "appender " << i;
        std::ifstream in(dir.File("appended" + std::to_string(i)));
        std::int64_t n = 0;
        in >> n;
        appended += n;
    }
    EXPECT_EQ(failed, 0) << failure;
    // What is left of the appended records goes with one more delete: every record
    // "new" was deleted exactly once, and the three others stay.
    const TRun last = Reruzo("delete " + t + " --filter " + Quote("tag = 'new'"));
    ASSERT_EQ(last.code, 0) << last.err;
    deleted += DeletedCount(last.out);
    EXPECT_GT(appended, 0);
    EXPECT_EQ(deleted, appended);
    EXPECT_EQ(Reruzo("dump " + t).out, "{\"id\":1,\"tag\":\"keep\"}\n{\"id\":2,\"tag\":\"keep\"}\n{\"id\":3,\"tag\":\"keep\"}\n");
    ExpectSound("log");
}

TEST_F(ReruzoTool, InputThatCannotBeReadIsAnError) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    const std::string before = Reruzo("dump " + t + " --meta").out;

    // NUL bytes are no text: the endless ones of /dev/zero, and one in a third line
    // after two good ones (column 6: after {"age).
    const int zero = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(zero, 0);
    TRun run = ReruzoReading({"append", t}, zero);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "reruzo: line 1, column 1: a NUL byte: the input must be text, one JSON object a line\n");
    run = Reruzo("append " + t, std::string("{\"name\":\"x1\"}\n{\"name\":\"x2\"}\n{\"age") + '\0' + "\":3}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: line 3, column 6: a NUL byte: the input must be text, one JSON object a line\n");

    // A folder given as standard input cannot be read at all.
    const int folder = ::open(dir.Dir().c_str(), O_RDONLY);
    ASSERT_GE(folder, 0);
    run = ReruzoReading({"append", t}, folder);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "reruzo: standard input: line 1 cannot be read: " + std::string(std::strerror(EISDIR)) + "\n");
    ::close(folder);

    // Reading fails after two lines: a pipe that does not wait for its writer, who
    // stays but writes nothing more. The two lines read are not appended either.
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(pipe[0], F_SETFL, ::fcntl(pipe[0], F_GETFL) | O_NONBLOCK), 0);
    const std::string lines = "{\"name\":\"x1\"}\n{\"name\":\"x2\"}\n";
    ASSERT_EQ(::write(pipe[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    run = ReruzoReading({"append", t}, pipe[0]);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "reruzo: standard input: line 3 cannot be read: " + std::string(std::strerror(EAGAIN)) + "\n");
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_EQ(Reruzo("dump " + t + " --meta").out, before);
    ExpectSound("people");

    // A script of `sql` on such a pipe: the statement read whole runs, the one after
    // it is not run but reported.
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(pipe[0], F_SETFL, ::fcntl(pipe[0], F_GETFL) | O_NONBLOCK), 0);
    const std::string script = "select count(*) as n from people;\ndelete from people\n";
    ASSERT_EQ(::write(pipe[1], script.data(), script.size()), static_cast<ssize_t>(script.size()));
    run = ReruzoReading({"sql", dir.Dir(), "--json"}, pipe[0]);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "{\"n\":4}\n");
    EXPECT_EQ(run.err, "reruzo: standard input: cannot be read to its end\n");
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_EQ(Reruzo("dump " + t + " --meta").out, before);

    // `load` takes its new table away again.
    WriteText(dir.File("people.json"), kPeopleSchema);
    run = ReruzoReading({"load", Table("fresh"), "--schema", dir.File("people.json")}, zero);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: line 1, column 1: a NUL byte: the input must be text, one JSON object a line\n");
    ::close(zero);
    for (const char* extension : {".DAT", ".IDX", ".BLB"}) EXPECT_FALSE(fs::exists(Table("fresh") + extension));
}

// A schema of one integer field "a" and `count` secondary indexes i0, i1, ... over it.
std::string WithIndexes(int count) {
    std::string schema = R"({"fields": [{"name": "a", "type": "integer"}], "indexes": [)";
    for (int i = 0; i < count; ++i) {
        schema += std::string(i ? ", " : "") + "{\"name\": \"i" + std::to_string(i) + "\", \"fields\": [\"a\"]}";
    }
    return schema + "]}";
}

TEST_F(ReruzoTool, RefusedLoadLeavesNoFilesAndNamesTheIndex) {
    struct TCase {
        std::string schema;
        std::string message;
    };
    const TCase cases[] = {
        {R"({"fields": [{"name": "a", "type": "integer"}, {"name": "b", "type": "integer"}],
 "indexes": [{"name": "ix", "fields": ["a"]}, {"name": "IX", "fields": ["b"]}]})",
         "line 2, column 56: index 2 (\"IX\"): index 1 has that name already (letter case does not tell index "
         "names apart)"},
        {R"({"fields": [{"name": "a", "type": "integer"}, {"name": "m", "type": "memo"}],
 "indexes": [{"name": "byMemo", "fields": ["a", "m"]}]})",
         "line 2, column 49: index 1 (\"byMemo\"): field \"m\" is a memo field, and BLOB fields cannot be index keys"},
        {R"({"fields": [{"name": "a", "type": "integer"}, {"name": "p", "type": "graphic"}],
 "primary": {"fields": ["p"]}})",
         "line 2, column 25: the primary index: field \"p\" is a graphic field, and BLOB fields cannot be index keys"},
        // The 31st index starts at column 1070 of the one line: after the 59 characters
        // up to "[", the ten indexes i0..i9 take 31 characters each and the twenty
        // i10..i29 32, each with ", " after it: 60 + 10 * 33 + 20 * 34.
        {WithIndexes(31), "line 1, column 1070: index 31 (\"i30\"): a table has at most 30 secondary indexes"},
        // The name's value starts at column 69: 59 characters up to "[", then {"name": .
        {R"({"fields": [{"name": "a", "type": "integer"}], "indexes": [{"name": "1st", "fields": ["a"]}]})",
         "line 1, column 69: index 1 (\"1st\"): an index name starts with a letter or \"_\""},
        {R"({"fields": [{"name": "a", "type": "integer"}], "indexes": [{"name": "a234567890123456789012345678901", "fields": ["a"]}]})",
         "line 1, column 69: index 1 (\"a234567890123456789012345678901\"): an index name takes at most 30 bytes, this "
         "one 31"},
    };
    const std::string schema = dir.File("refused.json");
    for (const TCase& c : cases) {
        WriteText(schema, c.schema);
        const TRun run = Reruzo("load " + Table("t") + " --schema " + schema, "{\"a\":1}\n");
        EXPECT_EQ(run.code, 1) << c.schema;
        EXPECT_EQ(run.err, "reruzo: " + schema + ", " + c.message + "\n") << c.schema;
        for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
            EXPECT_FALSE(fs::exists(Table("t") + extension)) << extension << " after " << c.schema;
        }
    }
    // Thirty secondary indexes are allowed, and the name is free for the next load.
    WriteText(schema, WithIndexes(30));
    TRun run = Reruzo("load " + Table("t") + " --schema " + schema, "{\"a\":1}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    // The thirty and "Sys Deleted"; the table has no primary index.
    EXPECT_EQ(ParseJson(Reruzo("info " + Table("t")).out).Find("indexes")->Items().size(), 31u);

    // The engine stops after the data and index files are written: the BLOB file's
    // name is taken by a folder. The two files go; the folder, which was there, stays.
    fs::create_directory(Table("b") + ".BLB");
    WriteText(schema, R"({"fields": [{"name": "a", "type": "integer"}, {"name": "m", "type": "memo"}]})");
    run = Reruzo("load " + Table("b") + " --schema " + schema);
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "RERUZO Engine Error # 11013")) << run.err;
    EXPECT_FALSE(fs::exists(Table("b") + ".DAT"));
    EXPECT_FALSE(fs::exists(Table("b") + ".IDX"));
    EXPECT_TRUE(fs::is_directory(Table("b") + ".BLB"));
    fs::remove(Table("b") + ".BLB");
    run = Reruzo("load " + Table("b") + " --schema " + schema, "{\"a\":1,\"m\":\"text\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Reruzo("dump " + Table("b")).out, "{\"a\":1,\"m\":\"text\"}\n");
}

TEST_F(ReruzoTool, MessagesQuoteAtMost200CharactersOfTheInput) {
    Load("checked", R"({"fields": [{"name": "code", "type": "char", "length": 4},
                                   {"name": "qty", "type": "integer"},
                                   {"name": "amount", "type": "bcd", "scale": 2}]})",
         "");
    const std::string c = Table("checked");
    const std::string x300(300, 'x');
    const std::string x200(200, 'x');
    std::string wide300;
    std::string wide200;
    for (int i = 0; i < 300; ++i) wide300 += "中";
    for (int i = 0; i < 200; ++i) wide200 += "中";
    struct TCase {
        std::string line;
        std::string message;
    };
    const TCase cases[] = {
        {"{\"qty\":\"" + x300 + "\"}", "line 1: field \"qty\" takes an integer from -2147483648 to 2147483647, not \"" + x200 + "...\""},
        // A character of three bytes counts as one.
        {"{\"qty\":\"" + wide300 + "\"}", "line 1: field \"qty\" takes an integer from -2147483648 to 2147483647, not \"" + wide200 + "...\""},
        {"{\"qty\":" + std::string(300, '1') + ".5}", "line 1: field \"qty\" takes an integer from -2147483648 to 2147483647, not " + std::string(200, '1') + "..."},
        {"{\"" + x300 + "\":1}", "line 1: the table has no field \"" + x200 + "...\""},
        // The second key starts after {, the first key with its quotes, :1, and ",".
        {"{\"" + x300 + "\":1,\"" + x300 + "\":2}", "line 1, column 307: the key \"" + x200 + "...\" appears twice"},
        {"{\"amount\":\"" + x300 + "\"}", "line 1: field \"amount\" takes a decimal number, not \"" + x200 + "...\""},
        {"{\"amount\":\"1." + std::string(298, '1') + "\"}", "line 1: field \"amount\" has 2 decimal places, \"1." + std::string(198, '1') + "...\" has more"},
        {"{\"amount\":1" + std::string(299, '0') + "e5}", "line 1: field \"amount\" takes a decimal number without an exponent, not 1" + std::string(199, '0') + "..."},
    };
    for (const TCase& k : cases) {
        const TRun run = Reruzo("append " + c, k.line + "\n");
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.err, "reruzo: " + k.message + "\n");
    }
    // A value of 10 MB: the message stays short.
    const TRun huge = Reruzo("append " + c, "{\"qty\":\"" + std::string(10'000'000, 'y') + "\"}\n");
    EXPECT_EQ(huge.code, 1);
    EXPECT_LT(huge.err.size(), 300u);
    // What the engine quotes: a name it does not know, from the command line. (The
    // engine's message ends within the name, at its own length limit.)
    const std::string y300(300, 'y');
    TRun run = Reruzo("dump " + c + " --index " + y300);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: RERUZO Engine Error # 10022 Invalid secondary index name '" + std::string(200, 'y') + "...\n");
    run = Reruzo("sql " + dir.Dir() + " -c " + Quote("select * from " + y300));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: RERUZO Engine Error # 11010 Table '" + std::string(200, 'y') + "...\n");
    // And the command line itself.
    run = Reruzo("dump " + c + " --" + y300);
    EXPECT_EQ(run.code, 2);
    EXPECT_TRUE(Contains(run.err, "reruzo: unknown option \"--" + std::string(198, 'y') + "...\"\n")) << run.err;
}

TEST_F(ReruzoTool, RefusesMinimumAboveMaximumAndTheLastIdentifier) {
    struct TCase {
        const char* field;
        const char* message;
    };
    // Each field object starts at column 13, after {"fields": [ .
    const TCase cases[] = {
        {R"({"name": "qty", "type": "integer", "min": 10, "max": 1})",
         "line 1, column 55: field 1 (\"qty\"): \"min\" (10) is above \"max\" (1), so the field would take no value"},
        {R"({"name": "code", "type": "char", "length": 4, "min": "b", "max": "a"})",
         "line 1, column 66: field 1 (\"code\"): \"min\" (b) is above \"max\" (a), so the field would take no value"},
        {R"({"name": "day", "type": "date", "min": "2024-03-01", "max": "2024-02-29"})",
         "line 1, column 52: field 1 (\"day\"): \"min\" (2024-03-01) is above \"max\" (2024-02-29), so the field would "
         "take no value"},
        {R"({"name": "amount", "type": "bcd", "scale": 2, "min": "1.5", "max": 1.25})",
         "line 1, column 66: field 1 (\"amount\"): \"min\" (1.5) is above \"max\" (1.25), so the field would take no "
         "value"},
    };
    const std::string schema = dir.File("range.json");
    for (const TCase& c : cases) {
        WriteText(schema, std::string(R"({"fields": [)") + c.field + "]}");
        const TRun run = Reruzo("load " + Table("r") + " --schema " + schema);
        EXPECT_EQ(run.code, 1) << c.field;
        EXPECT_EQ(run.err, "reruzo: " + schema + ", " + c.message + "\n");
        EXPECT_FALSE(fs::exists(Table("r") + ".DAT")) << c.field;
    }
    // A minimum equal to the maximum leaves one value.
    Load("one", R"({"fields": [{"name": "qty", "type": "integer", "min": 5, "max": 5}]})", "{\"qty\":5}\n");
    TRun run = Reruzo("append " + Table("one"), "{\"qty\":6}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "above the maximum")) << run.err;

    // The last identifier of the range is not kept, by "_id" nor by the field, on
    // `append` and `load` alike; the one before it is.
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string t = Table("people");
    const char* const refusal =
        "a kept record identifier is at most 2147483646: after 2147483647 the table could number no further record\n";
    run = Reruzo("append " + t + " --keep-ids", "{\"_id\":2147483647,\"name\":\"zed\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, std::string("reruzo: line 1: \"_id\": ") + refusal);
    run = Reruzo("append " + t + " --keep-ids", "{\"name\":\"ann\"}\n{\"id\":2147483647,\"name\":\"zed\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, std::string("reruzo: line 2: field \"id\": ") + refusal);
    run = Reruzo("append " + t + " --keep-ids", "{\"id\":2147483648,\"name\":\"zed\"}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: line 1: field \"id\": a record identifier is an integer from 1 to 2147483646, not 2147483648\n");
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{2, 3, 1, 4}));
    WriteText(dir.File("people.json"), kPeopleSchema);
    run = Reruzo("load " + Table("copy") + " --keep-ids --schema " + dir.File("people.json"), "{\"_id\":2147483647}\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, std::string("reruzo: line 1: \"_id\": ") + refusal);
    EXPECT_FALSE(fs::exists(Table("copy") + ".DAT"));
    run = Reruzo("append " + t + " --keep-ids", "{\"id\":2147483646,\"name\":\"zed\"}\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Ids(Reruzo("dump " + t)), (std::vector<std::int64_t>{2, 3, 1, 4, 2147483646}));
    ExpectSound("people");
}


}  // namespace
