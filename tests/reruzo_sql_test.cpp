// The engine's SQL shell, `reruzo sql`, run as a separate process: JSON and table
// output, several statements, parameters, dot-commands, errors and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/reruzo_tool.h"

namespace {

using namespace quorvane::testing;

// ---- SQL ----------------------------------------------------------------------------

// Runs `reruzo sql` on the test's folder.
class ReruzoSql : public ReruzoTool {
protected:
    TRun Sql(const std::string& options, const std::string& input = "") { return Reruzo("sql " + dir.Dir() + " " + options, input); }
    // What `reruzo info` shows of a table's structure: its fields, indexes, header
    // options and BLOB block size, as JSON lines. The counts of records and slots, the
    // last auto-increment value and the BLOB file's counters, which change as the
    // table is used, are left out.
    std::string Structure(const std::string& table, const std::string& options = "") {
        const TRun run = Reruzo("info " + Quote(Table(table)) + " " + options);
        EXPECT_EQ(run.code, 0) << run.err;
        if (run.code != 0) return {};
        const reruzo::cli::TJsonValue info = reruzo::cli::ParseJson(run.out);
        std::string out;
        for (const char* key : {"fields", "indexes", "recordSize", "language", "sort", "encrypted", "description",
                                "userMajor", "userMinor", "blobBlockSize"}) {
            const reruzo::cli::TJsonValue* value = info.Find(key);
            EXPECT_NE(value, nullptr) << key << " in " << run.out;
            out += std::string(key) + ": ";
            if (value) reruzo::cli::WriteJson(out, *value);
            out += "\n";
        }
        if (const reruzo::cli::TJsonValue* blob = info.Find("blobFile"); blob && blob->Find("blockSize")) {
            out += "blobFile.blockSize: ";
            reruzo::cli::WriteJson(out, *blob->Find("blockSize"));
            out += "\n";
        }
        return out;
    }
    // `.schema TABLE`, then the table dropped by the name the text gives it and made
    // again by running the text: `.schema` must give the same text, and `info` the
    // same structure. Returns the text.
    std::string ExpectSchemaRoundTrips(const std::string& table, const std::string& options = "") {
        const TRun schema = Sql(options, ".schema " + table + "\n");
        EXPECT_EQ(schema.code, 0) << schema.err;
        const std::string before = Structure(table, options);
        const std::string head = "CREATE TABLE ";
        const auto open = schema.out.find(" (\n");
        EXPECT_EQ(schema.out.rfind(head, 0), 0u) << schema.out;
        if (schema.out.rfind(head, 0) != 0 || open == std::string::npos) return schema.out;
        const std::string name = schema.out.substr(head.size(), open - head.size());
        const TRun drop = Sql(options + " -c " + Quote("drop table " + name));
        EXPECT_EQ(drop.code, 0) << drop.err;
        EXPECT_FALSE(std::filesystem::exists(Table(table) + ".DAT")) << table;
        const TRun made = Sql(options, schema.out);
        EXPECT_EQ(made.code, 0) << made.err << "\n" << schema.out;
        const TRun again = Sql(options, ".schema " + table + "\n");
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(again.out, schema.out);
        EXPECT_EQ(Structure(table, options), before) << schema.out;
        return schema.out;
    }
    // The count line ends every table; its time varies, so it is checked by its form.
    static void ExpectCountLine(const std::string& line, const std::string& count) {
        const std::string prefix = count + " (";
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        EXPECT_TRUE(line.size() == prefix.size() + 8 && line.compare(line.size() - 3, 3, " s)") == 0 &&
                    line[prefix.size() + 1] == '.' && line.find_first_not_of("0123456789", prefix.size() + 2) == line.size() - 3)
            << line;
    }
};

TEST_F(ReruzoSql, SelectRowsAsJsonLines) {
    Load("people", kPeopleSchema, kPeopleInput);
    TRun run = Sql("--json -c " + Quote("select * from people where age > 20"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"id\":2,\"name\":\"Alice\",\"age\":25,\"city\":\"berlin\"}\n"
              "{\"id\":3,\"name\":\"bob\",\"age\":41,\"city\":\"Oslo\"}\n"
              "{\"id\":1,\"name\":\"carol\",\"age\":30,\"city\":\"Paris\"}\n");
    EXPECT_EQ(run.err, "");
    // Columns in the order of the select list, under their aliases; no rows, no output.
    run = Sql("--json -c " + Quote("select city as town, name from people where name = 'bob'"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"town\":\"Oslo\",\"name\":\"bob\"}\n");
    run = Sql("--json -c " + Quote("select * from people where age > 99"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    // Every type comes out as dump writes it.
    Load("every", kEveryTypeSchema, kEveryTypeInput);
    run = Sql("--json -c " + Quote("select * from every"));
    ASSERT_EQ(run.code, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i], kEveryTypeDump[i]);
}

TEST_F(ReruzoSql, BlobColumnsShowTheirContents) {
    Load("notes",
         R"({"fields": [{"name": "id", "type": "integer"}, {"name": "note", "type": "memo"}, {"name": "pic", "type": "graphic"}]})",
         "{\"id\":1,\"note\":\"first\",\"pic\":\"00ff10\"}\n{\"id\":2}\n");
    TRun run = Sql("--json -c " + Quote("select note, pic, id from notes order by id desc"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"note\":null,\"pic\":null,\"id\":2}\n{\"note\":\"first\",\"pic\":\"00ff10\",\"id\":1}\n");
    run = Sql("-c " + Quote("select note, pic from notes where id = 1"));
    ASSERT_EQ(run.code, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[2], "first  00ff10");
}

TEST_F(ReruzoSql, TablesAlignWideCharactersByTheirDisplayWidth) {
    Load("words", R"({"fields": [{"name": "word", "type": "char", "length": 20}, {"name": "n", "type": "integer"}]})",
         "");
    ASSERT_EQ(Reruzo("append " + Table("words") + " --codepage 65001",
                     "{\"word\":\"中文字\",\"n\":1}\n{\"word\":\"한글ＡＢ\",\"n\":22}\n{\"word\":\"abc。\",\"n\":-3}\n"
                     "{\"n\":4444}\n")
                  .code,
              0);
    const TRun run = Sql("--codepage 65001 -c " + Quote("select word, n from words"));
    ASSERT_EQ(run.code, 0) << run.err;
    // 中文字 takes 6 columns, 한글ＡＢ 8, abc。 5; numbers are right-aligned.
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 7u) << run.out;
    EXPECT_EQ(lines[0], "word         n");
    EXPECT_EQ(lines[1], "--------  ----");
    EXPECT_EQ(lines[2], "中文字       1");
    EXPECT_EQ(lines[3], "한글ＡＢ    22");
    EXPECT_EQ(lines[4], "abc。       -3");
    EXPECT_EQ(lines[5], "NULL      4444");
    ExpectCountLine(lines[6], "4 rows");
    EXPECT_EQ(run.err, "");
}

TEST_F(ReruzoSql, SeveralStatementsEachPrintTheirResult) {
    Load("people", kPeopleSchema, kPeopleInput);
    const TRun run = Sql("-c " + Quote(".timer off\nselect name from people where age < 20; select name, age, city\n"
                                       "  from people where age >= 30;\nselect * from people where age = 41"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "name\n"
              "----\n"
              "dave\n"
              "1 row\n"
              "name   age  city\n"
              "-----  ---  -----\n"
              "bob     41  Oslo\n"
              "carol   30  Paris\n"
              "2 rows\n"
              "id  name  age  city\n"
              "--  ----  ---  ----\n"
              " 3  bob    41  Oslo\n"
              "1 row\n");
    // Statements and dot-commands from a file; the last statement needs no ";".
    WriteText(dir.File("script.sql"), ".mode json\nselect name\n  from people\n  where city = 'Paris';\n"
                                      ".mode table\n.timer off\nselect age from people where name = 'dave'\n");
    const TRun script = Sql(dir.File("script.sql"));
    ASSERT_EQ(script.code, 0) << script.err;
    EXPECT_EQ(script.out, "{\"name\":\"carol\"}\nage\n---\n 12\n1 row\n");
}

TEST_F(ReruzoSql, ChangesReportTheRowsAffected) {
    Load("people", kPeopleSchema, kPeopleInput);
    TRun run = Sql("-c " + Quote(".timer off\ninsert into people (name, age, city) values ('erin', 7, 'Rome');\n"
                                 "update people set age = age + 1 where age < 30; delete from people where city = 'Oslo';\n"
                                 "update people set city = 'x' where age > 99;\nselect name, age from people"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "1 row affected\n"
              "3 rows affected\n"
              "1 row affected\n"
              "0 rows affected\n"
              "name   age\n"
              "-----  ---\n"
              "Alice   26\n"
              "carol   30\n"
              "dave    13\n"
              "erin     8\n"
              "4 rows\n");
    // Under --json the counts go to standard error, the rows to standard output.
    run = Sql("--json -c " + Quote("update people set age = 1 where name = 'dave'; select age from people where age = 1"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"age\":1}\n");
    EXPECT_EQ(run.err.rfind("1 row affected (", 0), 0u) << run.err;
    // A key violation part way rolls the statement back, names the table, and leaves
    // the table sound.
    run = Sql("-c " + Quote("update people set name = 'same' where age > 5"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "Duplicate key found in the index")) << run.err;
    EXPECT_TRUE(Contains(run.err, "of the table 'people'")) << run.err;
    EXPECT_EQ(Reruzo("verify " + Table("people")).code, 0);
    run = Sql("--json -c " + Quote("select name from people where name = 'same'"));
    EXPECT_EQ(run.out, "");
}

TEST_F(ReruzoSql, StatementsReachTheEngineInTheTablesCodePage) {
    // The tables' code page is 936 by default: a literal in a statement compares with
    // the stored bytes, a name a statement makes is stored like the others, and
    // messages quoting the statement come back readable.
    Load("words", R"({"fields": [{"name": "word", "type": "char", "length": 20}]})", "{\"word\":\"中文\"}\n{\"word\":\"x\"}\n");
    TRun run = Sql("--json -c " + Quote("select word from words where word = '中文'"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"word\":\"中文\"}\n");
    run = Sql("-c " + Quote("insert into words values ('汉字'); alter table words add 备注 char(10)"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Reruzo("dump " + Table("words")).out,
              "{\"word\":\"中文\",\"备注\":null}\n{\"word\":\"x\",\"备注\":null}\n{\"word\":\"汉字\",\"备注\":null}\n");
    run = Sql("-c " + Quote(".timer off\ninsert into words (word) values ('12'); alter table words redefine word integer"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "1 row affected\n0 rows\n");
    EXPECT_EQ(run.err, "reruzo: 3 values did not convert to the new type of their column and are NULL now\n");
    run = Sql("-c " + Quote("select 名字 from words"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "'名字'")) << run.err;
    // A character the code page has no form for is refused before the engine sees it.
    run = Sql("-c " + Quote("select word from words where word = '😀'"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "the statement")) << run.err;
}

TEST_F(ReruzoSql, AveragesShowWithoutTheirHiddenCounts) {
    Load("people", kPeopleSchema, kPeopleInput);
    // Ages over 20: carol 30, Alice 25, bob 41, whose average is 32; with dave's 12 the
    // four average 27. The count AVG keeps for itself is not a result column.
    TRun run = Sql("--json -c " + Quote("select count(*), avg(age) from people where age > 20"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"Count Of *\":3,\"Average Of age\":32}\n");
    run = Sql("-c " + Quote(".timer off\nselect avg(age) as mean from people"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "mean\n----\n  27\n1 row\n");
}

TEST_F(ReruzoSql, ParametersBindToTheFirstStatement) {
    Load("people", kPeopleSchema, kPeopleInput);
    TRun run = Sql("--json --param 20 --param '\"Paris\"' -c " + Quote("select name from people where age > ? and city <> ?"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"name\":\"Alice\"}\n{\"name\":\"bob\"}\n");
    run = Sql("--json --param 29.5 -c " + Quote("select name from people where age < ?; select name from people where age > 40"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"name\":\"Alice\"}\n{\"name\":\"dave\"}\n{\"name\":\"bob\"}\n");
    run = Sql("--json --param 4294967296 -c " + Quote("select name from people where age < ?"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 4u) << run.out;
    run = Sql("--json --param null -c " + Quote("select name from people where age = ?"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    // A string in the table's code page.
    Load("words", R"({"fields": [{"name": "word", "type": "char", "length": 20}]})", "{\"word\":\"中文\"}\n{\"word\":\"x\"}\n");
    run = Sql("--json --param '\"中文\"' -c " + Quote("select * from words where word = ?"));
    EXPECT_EQ(run.out, "{\"word\":\"中文\"}\n") << run.err;
    // As many values as the first statement has parameters.
    run = Sql("--param 1 --param 2 -c " + Quote("select name from people where age > ?"));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: the first statement has 1 parameter, --param gives 2\n");
}

TEST_F(ReruzoSql, AnEngineErrorStopsTheStatementsAfterTheOnesDone) {
    Load("people", kPeopleSchema, kPeopleInput);
    TRun run = Sql("--json -c " + Quote("select name from people where age > 40; select nope from people; select * from people"));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "{\"name\":\"bob\"}\n");
    EXPECT_EQ(run.err.rfind("reruzo: RERUZO Engine Error # ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, "nope")) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    // Statements the engine does not run yet are errors like any other.
    run = Sql("-c " + Quote("alter table people add x integer at 9"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "AT column position must be between 1 and 4")) << run.err;
    EXPECT_EQ(run.out, "");
    run = Sql("--json -c " + Quote("select * from missing"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "Table 'missing' does not exist")) << run.err;
    // An encrypted table needs its password; several may be given.
    std::string secret = kPeopleSchema;
    secret.insert(secret.rfind('}'), ", \"password\": \"s3cret\"");
    Load("secret", secret, kPeopleInput);
    run = Sql("--json -c " + Quote("select name from secret where age = 12"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "a password is required")) << run.err;
    run = Sql("--json --password other --password s3cret -c " + Quote("select name from secret where age = 12"));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"name\":\"dave\"}\n");
    // A dot-command that fails ends a script too.
    run = Sql("", ".tables\n.schema nothing\n.tables\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "people\nsecret\n");
    EXPECT_TRUE(Contains(run.err, "Table 'nothing' does not exist")) << run.err;
    run = Sql("-c .bogus");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "reruzo: unknown command \".bogus\" (.help lists the commands)\n");
}

TEST_F(ReruzoSql, DotCommandsDescribeTheTables) {
    Load("people", kPeopleSchema, kPeopleInput);
    Load("every", kEveryTypeSchema, "");
    Load("coded", R"({"fields": [{"name": "code", "type": "char", "length": 4, "required": true},
                                  {"name": "qty", "type": "integer"}],
                      "indexes": [{"name": "byCode", "fields": ["code", "qty"], "unique": true}]})",
         "");
    const TRun run = Sql("", ".tables\n.schema people\n.indexes people\n.schema every.DAT\n.schema coded\n.indexes coded\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "coded\n"
              "every\n"
              "people\n"
              "CREATE TABLE \"people\" (\n"
              "  \"id\" AUTOINC,\n"
              "  \"name\" CHAR(10),\n"
              "  \"age\" SMALLINT,\n"
              "  \"city\" CHAR(10),\n"
              "  PRIMARY KEY (\"name\")\n"
              "  USER MAJOR VERSION 0\n"
              ");\n"
              "CREATE DESC INDEX \"byAge\" ON \"people\" (\"age\");\n"
              "CREATE NOCASE INDEX \"byCity\" ON \"people\" (\"city\");\n"
              "PRIMARY KEY (\"name\") unique\n"
              "\"byAge\" (\"age\") descending\n"
              "\"byCity\" (\"city\") nocase\n"
              "CREATE TABLE \"every\" (\n"
              "  \"id\" AUTOINC,\n"
              "  \"name\" CHAR(12) DESCRIPTION 'display name',\n"
              "  \"raw\" BYTES(3),\n"
              "  \"var\" BYTES(4) /* the table has VARBYTES(4), which SQL cannot make */,\n"
              "  \"day\" DATE,\n"
              "  \"clock\" TIME,\n"
              "  \"stamp\" TIMESTAMP,\n"
              "  \"flag\" BOOLEAN,\n"
              "  \"small\" SMALLINT,\n"
              "  \"w\" WORD DEFAULT 7,\n"
              "  \"n\" INTEGER,\n"
              "  \"big\" LARGEINT,\n"
              "  \"f\" FLOAT,\n"
              "  \"cash\" MONEY,\n"
              "  \"amount\" DECIMAL(32, 2),\n"
              "  \"note\" BLOB(0, 1),\n"
              "  \"pic\" BLOB(0, 2),\n"
              "  PRIMARY KEY (\"id\")\n"
              "  DESCRIPTION 'every type'\n"
              "  BLOB BLOCK SIZE 1024\n"
              "  USER MAJOR VERSION 2\n"
              "  USER MINOR VERSION 5\n"
              ");\n"
              "CREATE NOCASE INDEX \"byName\" ON \"every\" (\"name\") COMPRESS FULL;\n"
              "CREATE DESC INDEX \"byN\" ON \"every\" (\"n\");\n"
              "CREATE TABLE \"coded\" (\n"
              "  \"code\" CHAR(4) NOT NULL,\n"
              "  \"qty\" INTEGER,\n"
              "  USER MAJOR VERSION 0\n"
              ");\n"
              "CREATE UNIQUE INDEX \"byCode\" ON \"coded\" (\"code\", \"qty\");\n"
              "\"byCode\" (\"code\", \"qty\") unique\n");
}

TEST_F(ReruzoSql, SchemaMakesTheTableAgain) {
    // Every data type, every column attribute, a primary key with its options and
    // compression, secondary indexes with theirs, and every table option.
    const char* const create =
        "create table t (\n"
        "  id autoinc description 'row id',\n"
        "  code char(8) not null default 'AB' min 'AA' max 'ZZ' charcase upper,\n"
        "  low char(20) charcase lower,\n"
        "  plain char(1) charcase nochange,\n"
        "  small smallint default -5 min -100 max 100,\n"
        "  w word max 60000,\n"
        "  n integer not null,\n"
        "  big largeint min 0,\n"
        "  amount decimal(20, 2) default 1.5 min -99.25,\n"
        "  f float default '1e3',\n"
        "  cash money,\n"
        "  day date default '2024-02-29',\n"
        "  clock time default '12:30:00',\n"
        "  stamp timestamp,\n"
        "  flag boolean default true,\n"
        "  raw bytes(3),\n"
        "  raw10 bytes,\n"
        "  memo blob(1, 1),\n"
        "  bin blob(0, 2),\n"
        "  fmt blob(0, 3),\n"
        "  pic blob(0, 5),\n"
        "  typed blob(0, 7),\n"
        "  desc nocase primary key (code, n) compress full\n"
        "  description 'every type'\n"
        "  blob block size 1024\n"
        "  language 'German (Standard)' sort 'German Phone Book Order'\n"
        "  user major version 3\n"
        "  user minor version 7\n"
        ");\n"
        "create unique desc nocase index byLow on t (low, small) compress dupbyte;\n"
        "create index byDay on t (day) compress trailbyte;\n"
        "create desc index byStamp on t (stamp, id) compress none;\n";
    TRun run = Sql("", create);
    ASSERT_EQ(run.code, 0) << run.err;
    const std::string schema = ExpectSchemaRoundTrips("t");
    EXPECT_EQ(schema,
              "CREATE TABLE \"t\" (\n"
              "  \"id\" AUTOINC DESCRIPTION 'row id',\n"
              "  \"code\" CHAR(8) NOT NULL DEFAULT 'AB' MIN 'AA' MAX 'ZZ' CHARCASE UPPER,\n"
              "  \"low\" CHAR(20) CHARCASE LOWER,\n"
              "  \"plain\" CHAR(1),\n"
              "  \"small\" SMALLINT DEFAULT -5 MIN -100 MAX 100,\n"
              "  \"w\" WORD MAX 60000,\n"
              "  \"n\" INTEGER NOT NULL,\n"
              "  \"big\" LARGEINT MIN 0,\n"
              "  \"amount\" DECIMAL(32, 2) DEFAULT 1.5 MIN -99.25,\n"
              "  \"f\" FLOAT DEFAULT '1e3',\n"
              "  \"cash\" MONEY,\n"
              "  \"day\" DATE DEFAULT '2024-02-29',\n"
              "  \"clock\" TIME DEFAULT '12:30:00',\n"
              "  \"stamp\" TIMESTAMP,\n"
              "  \"flag\" BOOLEAN DEFAULT 'true',\n"
              "  \"raw\" BYTES(3),\n"
              "  \"raw10\" BYTES(10),\n"
              "  \"memo\" BLOB(0, 1),\n"
              "  \"bin\" BLOB(0, 2),\n"
              "  \"fmt\" BLOB(0, 3),\n"
              "  \"pic\" BLOB(0, 5),\n"
              "  \"typed\" BLOB(0, 7),\n"
              "  DESC NOCASE PRIMARY KEY (\"code\", \"n\") COMPRESS FULL\n"
              "  DESCRIPTION 'every type'\n"
              "  BLOB BLOCK SIZE 1024\n"
              "  LANGUAGE 'German (Standard)' SORT 'German Phone Book Order'\n"
              "  USER MAJOR VERSION 3\n"
              "  USER MINOR VERSION 7\n"
              ");\n"
              "CREATE UNIQUE DESC NOCASE INDEX \"byLow\" ON \"t\" (\"low\", \"small\") COMPRESS DUPBYTE;\n"
              "CREATE INDEX \"byDay\" ON \"t\" (\"day\") COMPRESS TRAILBYTE;\n"
              "CREATE DESC INDEX \"byStamp\" ON \"t\" (\"stamp\", \"id\");\n");
    // What the table was made with is what info shows after the round trip.
    const std::string structure = Structure("t");
    for (const char* part : {"\"charcase\":\"upper\"", "\"min\":\"-99.25\"", "\"default\":\"1e3\"",
                             "\"type\":\"typedbinary\"", "\"compression\":\"trailbyte\"", "\"nocase\":true"}) {
        EXPECT_TRUE(Contains(structure, part)) << part << " in " << structure;
    }
    EXPECT_TRUE(Contains(structure, "language: 1031\nsort: 1\n")) << structure;
    EXPECT_TRUE(Contains(structure, "userMajor: 3\nuserMinor: 7\nblobBlockSize: 1024\n")) << structure;

    // Without options: the version CREATE TABLE gives unasked is left out, and the
    // options come right after the last column. A minor version needs the major one
    // before it, and a table that load made has major version 0.
    run = Sql("-c " + Quote("create table bare (a integer);\n"
                            "create table minor (a integer, user major version 1 user minor version 2)"));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(ExpectSchemaRoundTrips("bare"), "CREATE TABLE \"bare\" (\n  \"a\" INTEGER\n);\n");
    EXPECT_EQ(ExpectSchemaRoundTrips("minor"),
              "CREATE TABLE \"minor\" (\n  \"a\" INTEGER,\n  USER MAJOR VERSION 1\n  USER MINOR VERSION 2\n);\n");
    Load("people", kPeopleSchema, kPeopleInput);
    EXPECT_TRUE(
        Contains(ExpectSchemaRoundTrips("people"), "  PRIMARY KEY (\"name\")\n  USER MAJOR VERSION 0\n);\n"));
    Load("coded", R"({"fields": [{"name": "code", "type": "char", "length": 4, "min": "b", "max": "y", "default": "c"}],
                      "indexes": [{"name": "byCode", "fields": ["code"], "unique": true, "compression": "full"}],
                      "language": 1033, "userMajor": 0, "userMinor": 4})",
         "");
    EXPECT_EQ(ExpectSchemaRoundTrips("coded"),
              "CREATE TABLE \"coded\" (\n"
              "  \"code\" CHAR(4) DEFAULT 'c' MIN 'b' MAX 'y',\n"
              "  LANGUAGE 'English (USA)'\n"
              "  USER MAJOR VERSION 0\n"
              "  USER MINOR VERSION 4\n"
              ");\n"
              "CREATE UNIQUE INDEX \"byCode\" ON \"coded\" (\"code\") COMPRESS FULL;\n");
}

TEST_F(ReruzoSql, SchemaKeepsQuotesAndChineseText) {
    // Quotes of both kinds, doubled ones among them, in names and texts. The dialect
    // reads a doubled quote of either kind as one inside either kind of string.
    const char* const create =
        "create table \"quo\"\"te's\" (\n"
        "  \"名字\" char(10) description '中文 \"说明\" it''s \"\"x\"\"\"\" ''''y''''' default '默认''s',\n"
        "  \"it's\" integer min -3,\n"
        "  nocase primary key (\"名字\")\n"
        "  description '表 ''单'' \"x\"'\n"
        ");\n"
        "create index \"索引\" on \"quo\"\"te's\" (\"it's\");\n";
    TRun run = Sql("--codepage 65001", create);
    ASSERT_EQ(run.code, 0) << run.err;
    const std::string table = "quo\"te's";
    const std::string structure = Structure(table, "--codepage 65001");
    EXPECT_TRUE(Contains(structure, "\"description\":\"中文 \\\"说明\\\" it's \\\"x\\\"\\\" ''y''\"")) << structure;
    EXPECT_TRUE(Contains(structure, "\"default\":\"默认's\"")) << structure;
    EXPECT_TRUE(Contains(structure, "description: \"表 '单' \\\"x\\\"\"")) << structure;
    EXPECT_EQ(ExpectSchemaRoundTrips(table, "--codepage 65001"),
              "CREATE TABLE \"quo\"\"te''s\" (\n"
              "  \"名字\" CHAR(10) DESCRIPTION '中文 \"\"说明\"\" it''s \"\"x\"\"\"\" ''''y''''' DEFAULT '默认''s',\n"
              "  \"it''s\" INTEGER MIN -3,\n"
              "  NOCASE PRIMARY KEY (\"名字\")\n"
              "  DESCRIPTION '表 ''单'' \"\"x\"\"'\n"
              ");\n"
              "CREATE INDEX \"索引\" ON \"quo\"\"te''s\" (\"it''s\");\n");
    // In the default code page, 936, the table's texts are shown in UTF-8 all the same.
    Load("words", R"({"fields": [{"name": "字", "type": "char", "length": 10, "description": "中文 \"说明\"",
                                   "default": "默认"}],
                      "indexes": [{"name": "索引", "fields": ["字"]}], "description": "表 'x'"})",
         "");
    run = Sql("", ".schema words\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "CREATE TABLE \"words\" (\n"
              "  \"字\" CHAR(10) DESCRIPTION '中文 \"\"说明\"\"' DEFAULT '默认',\n"
              "  DESCRIPTION '表 ''x'''\n"
              "  USER MAJOR VERSION 0\n"
              ");\n"
              "CREATE INDEX \"索引\" ON \"words\" (\"字\");\n");
}

TEST_F(ReruzoSql, SchemaOfAnEncryptedTableHidesThePassword) {
    TRun run = Sql("-c " + Quote("create table e (a integer, b blob(0, 1), primary key (a) description 'kept' "
                                 "encrypted with 's3cret' user major version 2)"));
    ASSERT_EQ(run.code, 0) << run.err;
    const std::string expected =
        "CREATE TABLE \"e\" (\n"
        "  \"a\" INTEGER,\n"
        "  \"b\" BLOB(0, 1),\n"
        "  PRIMARY KEY (\"a\")\n"
        "  DESCRIPTION 'kept'\n"
        "  /* the table is encrypted; its password is not shown: ENCRYPTED WITH and the password go here */\n"
        "  USER MAJOR VERSION 2\n"
        ");\n";
    // Neither without the password nor with it.
    run = Sql("", ".schema e\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, expected);
    run = Sql("--password s3cret", ".schema e\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, expected);
    EXPECT_FALSE(Contains(run.out, "s3cret"));
    // With the password written where the comment stands, the text makes the table
    // again, encrypted.
    const std::string before = Structure("e");
    EXPECT_TRUE(Contains(before, "encrypted: true\n")) << before;
    std::string text = run.out;
    const auto comment = text.find("/*");
    ASSERT_NE(comment, std::string::npos);
    text.replace(comment, text.find("*/") + 2 - comment, "ENCRYPTED WITH 's3cret'");
    ASSERT_EQ(Sql("-c " + Quote("drop table e")).code, 0);
    run = Sql("", text);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Structure("e"), before);
    EXPECT_EQ(Sql("", ".schema e\n").out, expected);
    run = Sql("-c " + Quote("select * from e"));
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "a password is required")) << run.err;
}

TEST_F(ReruzoSql, SchemaShowsWhatSqlCannotMake) {
    Load("odd", R"({"fields": [{"name": "v", "type": "varbytes", "length": 4}, {"name": "big", "type": "largeint"},
                                {"name": "b", "type": "memo"}, {"name": "n", "type": "integer"}],
                    "indexes": [{"name": "byN", "fields": ["n"]}]})",
         "");
    // VARBYTES is made as BYTES, with a comment naming the field's own type.
    TRun run = Sql("", ".schema odd\n");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "  \"v\" BYTES(4) /* the table has VARBYTES(4), which SQL cannot make */,\n"))
        << run.out;
    // Types that tables from elsewhere may have: a BLOB of kind 4, which the engine
    // reads as a binary one, and a type code this engine never writes. Descriptors
    // follow the 127 header bytes, 768 bytes each, with the type at 84 and the
    // subtype at 85.
    {
        std::fstream file(Table("odd") + ".DAT", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(127 + 768 * 1 + 84);
        file.put(static_cast<char>(19));
        file.seekp(127 + 768 * 2 + 85);
        file.put(static_cast<char>(25));
        ASSERT_TRUE(file.good());
    }
    run = Sql("", ".schema odd\n");
    ASSERT_EQ(run.code, 0) << run.err;
    const std::string schema = run.out;
    EXPECT_EQ(schema,
              "CREATE TABLE \"odd\" (\n"
              "  \"v\" BYTES(4) /* the table has VARBYTES(4), which SQL cannot make */,\n"
              "  \"big\" /* the table has field type 19, which SQL cannot make */,\n"
              "  \"b\" BLOB(0, 2) /* the table has BLOB of kind 4, which SQL cannot make */,\n"
              "  \"n\" INTEGER,\n"
              "  USER MAJOR VERSION 0\n"
              ");\n"
              "CREATE INDEX \"byN\" ON \"odd\" (\"n\");\n");
    // A field without a type stops the statement, rather than make another table.
    ASSERT_EQ(Sql("-c " + Quote("drop table odd")).code, 0);
    run = Sql("", schema);
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(Contains(run.err, "SQL data type keyword expected, instead found ','")) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Table("odd") + ".DAT"));
}

TEST_F(ReruzoSql, BadCommandLinesExitTwo) {
    Load("people", kPeopleSchema, kPeopleInput);
    const std::string d = dir.Dir();
    const std::string cases[] = {
        "sql",
        "sql --json",
        "sql " + d + " --bogus",
        "sql " + d + " -c " + Quote("select * from people") + " " + dir.File("script.sql"),
        "sql " + d + " a.sql b.sql",
        "sql " + d + " -c",
        "sql " + d + " --json --json -c x",
        "sql " + d + " --param '{' -c x",
        "sql " + d + " --param '[1]' -c x",
        "sql " + d + " --param 1e999 -c x",
        "sql " + d + " --param",
        "sql " + d + " --codepage 12345 -c x",
        "sql " + d + " --codepage 936 --codepage 65001 -c x",
        "sql " + d + " --index byAge -c x",
    };
    for (const std::string& args : cases) {
        const TRun run = Reruzo(args);
        EXPECT_EQ(run.code, 2) << args;
        EXPECT_TRUE(Contains(run.err, "usage: reruzo COMMAND TABLE")) << args << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "reruzo sql DIR")) << args << ": " << run.err;
        EXPECT_EQ(run.out, "") << args;
    }
}

}  // namespace
