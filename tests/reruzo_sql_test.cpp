// The engine's SQL shell, `reruzo sql`, run as a separate process: JSON and table
// output, several statements, parameters, dot-commands, errors and exit statuses.
#include <gtest/gtest.h>

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
              ");\n"
              "CREATE DESC INDEX \"byAge\" ON \"people\" (\"age\");\n"
              "CREATE NOCASE INDEX \"byCity\" ON \"people\" (\"city\");\n"
              "PRIMARY KEY (\"name\") unique\n"
              "\"byAge\" (\"age\") descending\n"
              "\"byCity\" (\"city\") nocase\n"
              "CREATE TABLE \"every\" (\n"
              "  \"id\" AUTOINC,\n"
              "  \"name\" CHAR(12),\n"
              "  \"raw\" BYTES(3),\n"
              "  \"var\" VARBYTES(4),\n"
              "  \"day\" DATE,\n"
              "  \"clock\" TIME,\n"
              "  \"stamp\" TIMESTAMP,\n"
              "  \"flag\" BOOLEAN,\n"
              "  \"small\" SMALLINT,\n"
              "  \"w\" WORD,\n"
              "  \"n\" INTEGER,\n"
              "  \"big\" LARGEINT,\n"
              "  \"f\" FLOAT,\n"
              "  \"cash\" MONEY,\n"
              "  \"amount\" DECIMAL(32, 2),\n"
              "  \"note\" BLOB(0, 1),\n"
              "  \"pic\" BLOB(0, 2),\n"
              "  PRIMARY KEY (\"id\")\n"
              ");\n"
              "CREATE NOCASE INDEX \"byName\" ON \"every\" (\"name\");\n"
              "CREATE DESC INDEX \"byN\" ON \"every\" (\"n\");\n"
              "CREATE TABLE \"coded\" (\n"
              "  \"code\" CHAR(4) NOT NULL,\n"
              "  \"qty\" INTEGER\n"
              ");\n"
              "CREATE UNIQUE INDEX \"byCode\" ON \"coded\" (\"code\", \"qty\");\n"
              "\"byCode\" (\"code\", \"qty\") unique\n");
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
