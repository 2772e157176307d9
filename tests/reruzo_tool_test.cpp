// The engine tool: its JSON reader and writer, and the tool itself run as a separate
// process on tables it creates, on the shipped knowledge base, and on damaged copies.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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
        {R"({"note":"text"})", "field \"note\" is a BLOB field; BLOB contents cannot be stored yet"},
        {R"({"pic":"00"})", "field \"pic\" is a BLOB field"},
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


}  // namespace
