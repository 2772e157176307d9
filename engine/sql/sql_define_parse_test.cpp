// Parsing the table definition statements: what CREATE TABLE, CREATE INDEX, ALTER
// TABLE, DROP TABLE and DROP INDEX fill in (columns with their types and attributes,
// primary keys, table options, alterations), the exact message of every way they can
// be malformed, and that a failed parse leaves no node behind. Nothing is opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "engine/errors/engine_errors.h"
#include "engine/sql/sql_statement.h"
#include "engine/table/data_session.h"
#include "platform/nls.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

class SqlDefineParse : public ::testing::Test {
protected:
    std::unique_ptr<TQueryStatement> Parse(const std::string& text) {
        auto s = std::make_unique<TQueryStatement>(directory);
        s->Parse(text);
        return s;
    }
    // The message a text is refused with, after "SQL error - "; "" when it parses.
    // Every refusal must leave the node pool as it found it.
    std::string Error(const std::string& text) {
        const std::int64_t nodes = LiveNodeCount();
        const std::string message = quorvane::testing::SqlErrorOf(
            [&] { Parse(text); },
            [&](const ERERUZOEngineError& e) { EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE) << text; });
        EXPECT_EQ(LiveNodeCount(), nodes) << "nodes left behind by: " << text;
        return message;
    }
    static std::uint16_t LanguageId(const std::string& name) {
        for (const auto& language : quorvane::nls::Languages()) {
            if (name == language.name) return language.id;
        }
        ADD_FAILURE() << "no language " << name;
        return 0;
    }

    quorvane::testing::TTempDir tmp;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("db", tmp.Dir());
};

// The type a column definition was given: type, subtype, length, scale.
struct TType {
    std::uint8_t dataType;
    std::uint8_t subType;
    std::uint16_t length;
    std::uint8_t scale;
    bool operator==(const TType&) const = default;
};
std::ostream& operator<<(std::ostream& out, const TType& t) {
    return out << "{" << int(t.dataType) << ", " << int(t.subType) << ", " << t.length << ", " << int(t.scale) << "}";
}
TType TypeOf(const TCreateField& f) { return {f.dataType, f.subType, f.length, f.scale}; }

TEST_F(SqlDefineParse, CreateTableWithEveryAttributeAndOption) {
    auto s = Parse(
        "CREATE TABLE IF NOT EXISTS 'data/people.db' ("
        "  id AUTOINC,"
        "  [full name] CHAR(20) DESCRIPTION 'The name' NOT NULL DEFAULT 'nobody' MIN 'a' MAX 'zzz' CHARCASE UPPER,"
        "  \"code\" varchar(5) minimum -10 maximum +2.5 charcase lower,"
        "  note character(250) charcase nochange,"
        "  CONSTRAINT pk UNIQUE DESCENDING NOCASE PRIMARY KEY (id, [full name]) COMPRESS FULL"
        "  DESCRIPTION 'People we know' BLOB BLOCK SIZE 1024"
        "  LANGUAGE 'German (Standard)' SORT 'german phone book order'"
        "  ENCRYPTED WITH 'secret' USER MAJOR VERSION 3 USER MINOR VERSION 7);");
    EXPECT_EQ(s->Kind(), skCreateTable);
    EXPECT_FALSE(s->MoreStatements());
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_TRUE(d.ifNotExists);
    EXPECT_EQ(d.table.tableName, "people");
    EXPECT_EQ(d.table.directory, "data/");
    EXPECT_FALSE(d.table.memory);

    ASSERT_EQ(d.fields.size(), 4u);
    const TCreateField& id = d.fields[0];
    EXPECT_EQ(id.name, "id");
    EXPECT_EQ(id.fieldNo, 1);
    EXPECT_EQ(TypeOf(id), (TType{kFieldInteger, 29, 0, 0}));
    EXPECT_FALSE(id.required || id.descriptionGiven || id.defaultGiven || id.minimumGiven || id.maximumGiven ||
                 id.charCaseGiven || id.requiredGiven);
    EXPECT_EQ(id.text, "id AUTOINC");
    ASSERT_TRUE(id.nameTree);
    EXPECT_EQ(id.nameTree->kind, nkColumn);
    EXPECT_EQ(id.nameTree->name, "id");

    const TCreateField& name = d.fields[1];
    EXPECT_EQ(name.name, "full name");
    EXPECT_EQ(name.fieldNo, 2);
    EXPECT_EQ(TypeOf(name), (TType{kFieldString, 0, 20, 0}));
    EXPECT_EQ(name.description, "The name");
    EXPECT_TRUE(name.required);
    EXPECT_EQ(name.defaultValue, "nobody");
    EXPECT_EQ(name.minimum, "a");
    EXPECT_EQ(name.maximum, "zzz");
    EXPECT_EQ(name.charCase, ccUpper);
    EXPECT_TRUE(name.descriptionGiven && name.requiredGiven && name.defaultGiven && name.minimumGiven &&
                name.maximumGiven && name.charCaseGiven);
    EXPECT_EQ(name.text, "[full name] CHAR(20) DESCRIPTION 'The name' NOT NULL DEFAULT 'nobody' MIN 'a' MAX 'zzz' "
                         "CHARCASE UPPER");
    // The name node carries the type and its argument.
    EXPECT_EQ(name.nameTree->dataType, kFieldString);
    ASSERT_EQ(name.nameTree->operands.size(), 1u);
    EXPECT_EQ(PrintTree(name.nameTree->operands[0]), "20");

    const TCreateField& code = d.fields[2];
    EXPECT_EQ(code.name, "code") << "a quoted string names a column";
    EXPECT_EQ(code.nameTree->kind, nkColumn);
    EXPECT_EQ(code.nameTree->name, "code");
    EXPECT_EQ(TypeOf(code), (TType{kFieldString, 0, 5, 0}));
    EXPECT_EQ(code.minimum, "-10");
    EXPECT_EQ(code.maximum, "+2.5");
    EXPECT_EQ(code.charCase, ccLower);
    EXPECT_FALSE(code.required || code.requiredGiven || code.descriptionGiven);
    EXPECT_EQ(d.fields[3].charCase, ccNoChange);
    EXPECT_TRUE(d.fields[3].charCaseGiven);
    EXPECT_EQ(d.fields[3].length, 250);
    EXPECT_EQ(d.fields[3].fieldNo, 4);

    ASSERT_EQ(d.indexes.size(), 1u);
    const TCreateIndex& key = d.indexes[0];
    EXPECT_EQ(key.name, "");
    EXPECT_EQ(key.columns, (std::vector<std::string>{"id", "full name"}));
    EXPECT_TRUE(key.unique && key.descending && key.noCase);
    EXPECT_EQ(key.compression, 3);
    EXPECT_FALSE(key.add || key.redefine || key.drop);

    EXPECT_EQ(d.description, "People we know");
    EXPECT_EQ(d.blobBlockSize, 1024);
    EXPECT_EQ(d.languageId, LanguageId("German (Standard)"));
    EXPECT_EQ(d.languageId, 0x0407);
    EXPECT_EQ(d.sortId, quorvane::nls::kSortGermanPhoneBook);
    EXPECT_EQ(d.password, "secret");
    EXPECT_TRUE(d.encrypted);
    EXPECT_EQ(d.userMajor, 3);
    EXPECT_EQ(d.userMinor, 7);
    EXPECT_EQ(d.lastAutoInc, -1);
    EXPECT_FALSE(d.noBackup || d.ifExists);
    // The table definition leaves a SELECT's result options alone.
    EXPECT_FALSE(s->MainQuery()->resultLanguageGiven || s->MainQuery()->resultSortGiven);
}

TEST_F(SqlDefineParse, CreateTableDefaultsAndTheCommaBeforeTheKey) {
    // Without options every default stays; the "," before the primary key may be left out.
    auto s = Parse("create table t (id integer primary key (id))");
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_FALSE(d.ifNotExists);
    EXPECT_EQ(d.table.tableName, "t");
    EXPECT_EQ(d.table.directory, "");
    ASSERT_EQ(d.fields.size(), 1u);
    ASSERT_EQ(d.indexes.size(), 1u);
    EXPECT_EQ(d.indexes[0].columns, std::vector<std::string>{"id"});
    EXPECT_FALSE(d.indexes[0].unique || d.indexes[0].descending || d.indexes[0].noCase);
    EXPECT_EQ(d.indexes[0].compression, 0);
    EXPECT_EQ(d.languageId, 0);
    EXPECT_EQ(d.sortId, 0);
    EXPECT_EQ(d.blobBlockSize, 512);
    EXPECT_EQ(d.description, "");
    EXPECT_EQ(d.password, "");
    EXPECT_FALSE(d.encrypted);
    EXPECT_EQ(d.userMajor, 1);
    EXPECT_EQ(d.userMinor, 0);
    EXPECT_FALSE(d.languageGiven || d.sortGiven || d.encryptionGiven || d.descriptionGiven ||
                 d.blobBlockSizeGiven || d.userMajorGiven || d.userMinorGiven);

    // With the ",", and a second column.
    auto two = Parse("create table t (id integer, name char(20) not null, primary key (id))");
    const TTableDefinition& t = two->MainQuery()->definition;
    ASSERT_EQ(t.fields.size(), 2u);
    EXPECT_EQ(t.fields[1].fieldNo, 2);
    EXPECT_EQ(t.fields[1].length, 20);
    EXPECT_TRUE(t.fields[1].required);
    ASSERT_EQ(t.indexes.size(), 1u);

    // No primary key clause: no index definition; a "," may stand before the options.
    auto plain = Parse("create table t (a integer, description 'x')");
    EXPECT_TRUE(plain->MainQuery()->definition.indexes.empty());
    EXPECT_EQ(plain->MainQuery()->definition.description, "x");
    EXPECT_EQ(plain->MainQuery()->definition.fields.size(), 1u);
    // Every key word of the clause may begin it.
    for (const char* start : {"constraint k primary", "unique primary", "asc primary", "ascending primary",
                              "desc primary", "descending primary", "nocase primary"}) {
        auto k = Parse(std::string("create table t (a integer, ") + start + " key (a))");
        EXPECT_EQ(k->MainQuery()->definition.indexes.size(), 1u) << start;
    }
}

TEST_F(SqlDefineParse, DataTypesMapOntoEngineTypes) {
    const std::map<std::string, TType> types = {
        {"smallint", {kFieldSmallInt, 0, 0, 0}},
        {"word", {kFieldWord, 0, 0, 0}},
        {"integer", {kFieldInteger, 0, 0, 0}},
        {"int", {kFieldInteger, 0, 0, 0}},
        {"largeint", {kFieldLargeInt, 0, 0, 0}},
        {"autoinc", {kFieldInteger, 29, 0, 0}},
        {"decimal", {kFieldBCD, 0, 0, 0}},
        {"decimal(10)", {kFieldBCD, 0, 0, 0}},
        {"decimal(10, 2)", {kFieldBCD, 0, 0, 2}},
        {"decimal(20, 4)", {kFieldBCD, 0, 0, 4}},
        {"numeric(8, 3)", {kFieldFloat, 0, 0, 0}},
        {"float", {kFieldFloat, 0, 0, 0}},
        {"float(1.5, 2)", {kFieldFloat, 0, 0, 0}},
        {"money", {kFieldFloat, 21, 0, 0}},
        {"character(1)", {kFieldString, 0, 1, 0}},
        {"char(30)", {kFieldString, 0, 30, 0}},
        {"varchar(250)", {kFieldString, 0, 250, 0}},
        {"date", {kFieldDate, 0, 0, 0}},
        {"time", {kFieldTime, 0, 0, 0}},
        {"timestamp", {kFieldTimeStamp, 0, 0, 0}},
        {"boolean", {kFieldBoolean, 0, 0, 0}},
        {"bytes", {kFieldBytes, 0, 10, 0}},
        {"bytes(16)", {kFieldBytes, 0, 16, 0}},
        {"blob(1, 1)", {kFieldBlob, 22, 0, 0}},
        {"blob(10, 2)", {kFieldBlob, 23, 0, 0}},
        {"blob(1, 3)", {kFieldBlob, 24, 0, 0}},
        {"blob(1, 5)", {kFieldBlob, 26, 0, 0}},
        {"blob(1, 7)", {kFieldBlob, 28, 0, 0}},
    };
    const std::int64_t nodes = LiveNodeCount();
    for (const auto& [type, expected] : types) {
        auto s = Parse("create table t (c " + type + ")");
        ASSERT_EQ(s->MainQuery()->definition.fields.size(), 1u) << type;
        EXPECT_EQ(TypeOf(s->MainQuery()->definition.fields[0]), expected) << type;
        EXPECT_EQ(s->MainQuery()->definition.fields[0].text, "c " + type);
    }
    EXPECT_EQ(LiveNodeCount(), nodes) << "the argument checks must give back their nodes";
}

TEST_F(SqlDefineParse, NamesAndTextsAreCut) {
    const std::string longName(40, 'n'), longText(60, 'x');
    auto s = Parse("create table t (" + longName + " integer description '" + longText + "' default '" + longText +
                   "' min '" + longText + "' max '" + longText + "', b integer)");
    const TCreateField& f = s->MainQuery()->definition.fields.at(0);
    EXPECT_EQ(f.name, std::string(30, 'n'));
    EXPECT_EQ(f.description, std::string(50, 'x'));
    EXPECT_EQ(f.defaultValue, std::string(50, 'x'));
    EXPECT_EQ(f.minimum, std::string(50, 'x'));
    EXPECT_EQ(f.maximum, std::string(50, 'x'));
    auto index = Parse("create index " + longName + " on t (" + longName + ")");
    const TCreateIndex& i = index->MainQuery()->definition.indexes.at(0);
    EXPECT_EQ(i.name, std::string(30, 'n'));
    EXPECT_EQ(i.columns.at(0), longName) << "an index column is kept as written";
}

TEST_F(SqlDefineParse, MemoryTablesAndPasswords) {
    auto s = Parse("create table memory scratch (a integer encrypted with '')");
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_TRUE(d.table.memory);
    EXPECT_EQ(d.table.directory, "Memory");
    EXPECT_EQ(d.table.tableName, "scratch");
    EXPECT_EQ(d.password, "");
    EXPECT_FALSE(d.encrypted) << "an empty password encrypts nothing";
    EXPECT_TRUE(d.encryptionGiven);

    auto symbol = Parse("create table memory 'x/scratch.db' (a integer encrypted with pw)");
    const TTableDefinition& m = symbol->MainQuery()->definition;
    EXPECT_EQ(m.table.directory, "Memory") << "a path does not move a table out of memory";
    EXPECT_EQ(m.table.tableName, "scratch");
    EXPECT_EQ(m.password, "pw");
    EXPECT_TRUE(m.encrypted);
}

TEST_F(SqlDefineParse, CreateIndex) {
    auto s = Parse("create unique descending nocase index byname on memory 'people.db' (name, [first name]) "
                   "compress dupbyte;");
    EXPECT_EQ(s->Kind(), skCreateIndex);
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_TRUE(d.table.memory);
    EXPECT_EQ(d.table.tableName, "people");
    ASSERT_EQ(d.indexes.size(), 1u);
    const TCreateIndex& i = d.indexes[0];
    EXPECT_EQ(i.name, "byname");
    EXPECT_EQ(i.columns, (std::vector<std::string>{"name", "first name"}));
    EXPECT_TRUE(i.unique && i.descending && i.noCase);
    EXPECT_EQ(i.compression, 1);
    EXPECT_TRUE(d.fields.empty());

    // Each word the statement may start with after CREATE.
    const std::map<std::string, TCreateIndex> starts = {
        {"create index i on t (a)", {}},
        {"create unique index i on t (a) compress trailbyte", {.unique = true, .compression = 2}},
        {"create asc index i on t (a) compress none", {}},
        {"create ascending index i on t (a) compress full", {.compression = 3}},
        {"create desc index i on t (a)", {.descending = true}},
        {"create nocase index 'the index' on 'dir/t' (a)", {.noCase = true}},
    };
    for (const auto& [text, expected] : starts) {
        auto index = Parse(text);
        const TCreateIndex& got = index->MainQuery()->definition.indexes.at(0);
        EXPECT_EQ(got.unique, expected.unique) << text;
        EXPECT_EQ(got.descending, expected.descending) << text;
        EXPECT_EQ(got.noCase, expected.noCase) << text;
        EXPECT_EQ(got.compression, expected.compression) << text;
        EXPECT_EQ(got.columns, std::vector<std::string>{"a"}) << text;
    }
    auto quoted = Parse("create nocase index 'the index' on 'dir/t' (a)");
    EXPECT_EQ(quoted->MainQuery()->definition.indexes[0].name, "the index");
    EXPECT_EQ(quoted->MainQuery()->definition.table.directory, "dir/");
    EXPECT_EQ(quoted->MainQuery()->definition.table.tableName, "t");
}

TEST_F(SqlDefineParse, AlterTableColumns) {
    auto s = Parse(
        "alter table memory people"
        " add column c char(10) at 2 description 'd' not null default 'x' min 'a' max 'z' charcase lower,"
        " add e integer,"
        " redefine a b char(12),"
        " redefine column f,"
        " redefine g integer at 1 description 'dd' charcase upper,"
        " redefine h int i decimal(10, 3) not null,"
        " drop column x,"
        " drop y bytes(4)");
    EXPECT_EQ(s->Kind(), skAlterTable);
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_TRUE(d.table.memory);
    EXPECT_EQ(d.table.tableName, "people");
    ASSERT_EQ(d.fields.size(), 8u);
    EXPECT_TRUE(d.indexes.empty());

    const TCreateField& c = d.fields[0];
    EXPECT_TRUE(c.add);
    EXPECT_FALSE(c.redefine || c.drop);
    EXPECT_EQ(c.name, "c");
    EXPECT_EQ(TypeOf(c), (TType{kFieldString, 0, 10, 0}));
    EXPECT_EQ(c.at, 2);
    EXPECT_EQ(c.description, "d");
    EXPECT_TRUE(c.required);
    EXPECT_EQ(c.defaultValue, "x");
    EXPECT_EQ(c.minimum, "a");
    EXPECT_EQ(c.maximum, "z");
    EXPECT_EQ(c.charCase, ccLower);
    EXPECT_TRUE(c.descriptionGiven && c.requiredGiven && c.defaultGiven && c.minimumGiven && c.maximumGiven &&
                c.charCaseGiven);
    EXPECT_EQ(c.text, "c char(10) at 2 description 'd' not null default 'x' min 'a' max 'z' charcase lower");
    EXPECT_EQ(c.fieldNo, 0) << "only CREATE TABLE numbers its columns";

    const TCreateField& e = d.fields[1];
    EXPECT_TRUE(e.add);
    EXPECT_EQ(e.at, 0);
    EXPECT_EQ(e.dataType, kFieldInteger);

    // Renaming: the new name's node holds the old name's node first, then the
    // arguments of the type.
    const TCreateField& ab = d.fields[2];
    EXPECT_TRUE(ab.redefine);
    EXPECT_FALSE(ab.add || ab.drop);
    EXPECT_EQ(ab.name, "a");
    EXPECT_EQ(ab.newName, "b");
    EXPECT_EQ(TypeOf(ab), (TType{kFieldString, 0, 12, 0}));
    ASSERT_TRUE(ab.nameTree);
    EXPECT_EQ(ab.nameTree->name, "b");
    ASSERT_EQ(ab.nameTree->operands.size(), 2u);
    EXPECT_EQ(ab.nameTree->operands[0]->name, "a");
    EXPECT_EQ(ab.nameTree->operands[0]->parent, ab.nameTree.get());
    EXPECT_EQ(PrintTree(ab.nameTree->operands[1]), "12");
    EXPECT_EQ(ab.text, "a b char(12)");

    // Neither a type nor a new name: type 0, nothing given.
    const TCreateField& f = d.fields[3];
    EXPECT_TRUE(f.redefine);
    EXPECT_EQ(f.name, "f");
    EXPECT_EQ(f.newName, "");
    EXPECT_EQ(TypeOf(f), (TType{0, 0, 0, 0}));
    EXPECT_FALSE(f.descriptionGiven || f.requiredGiven || f.charCaseGiven || f.defaultGiven || f.minimumGiven ||
                 f.maximumGiven);
    EXPECT_TRUE(f.nameTree->operands.empty());

    const TCreateField& g = d.fields[4];
    EXPECT_EQ(g.name, "g");
    EXPECT_EQ(g.newName, "");
    EXPECT_EQ(g.dataType, kFieldInteger);
    EXPECT_EQ(g.at, 1);
    EXPECT_EQ(g.description, "dd");
    EXPECT_TRUE(g.descriptionGiven && g.charCaseGiven);
    EXPECT_EQ(g.charCase, ccUpper);
    EXPECT_FALSE(g.requiredGiven || g.defaultGiven);

    // A type after the new name is the one that counts.
    const TCreateField& hi = d.fields[5];
    EXPECT_EQ(hi.name, "h");
    EXPECT_EQ(hi.newName, "i");
    EXPECT_EQ(TypeOf(hi), (TType{kFieldBCD, 0, 0, 3}));
    EXPECT_TRUE(hi.required && hi.requiredGiven);
    ASSERT_EQ(hi.nameTree->operands.size(), 3u);
    EXPECT_EQ(hi.nameTree->operands[0]->dataType, kFieldInteger) << "the old name keeps the type written after it";

    const TCreateField& x = d.fields[6];
    EXPECT_TRUE(x.drop);
    EXPECT_FALSE(x.add || x.redefine);
    EXPECT_EQ(x.name, "x");
    EXPECT_EQ(x.dataType, 0);
    const TCreateField& y = d.fields[7];
    EXPECT_TRUE(y.drop);
    EXPECT_EQ(y.name, "y");
    EXPECT_EQ(TypeOf(y), (TType{kFieldBytes, 0, 4, 0}));
    EXPECT_EQ(y.text, "y bytes(4)");

    // Without a type, a word after the name that is no attribute renames the column.
    auto renamed = Parse("alter table t redefine a b char(10)");
    const TCreateField& r = renamed->MainQuery()->definition.fields.at(0);
    EXPECT_EQ(r.name, "a");
    EXPECT_EQ(r.newName, "b");
    EXPECT_EQ(TypeOf(r), (TType{kFieldString, 0, 10, 0}));
    auto quotedNew = Parse("alter table t redefine a 'new name'");
    EXPECT_EQ(quotedNew->MainQuery()->definition.fields.at(0).newName, "new name");
    // An attribute word, or a word that follows the alterations, is no new name.
    for (const char* after : {"at 1", "description 'x'", "not null", "default 1", "min 1", "minimum 1", "max 1",
                              "maximum 1", "charcase upper", "nobackup", "last autoinc 1", "user major version 2",
                              "blob block size 1024", "encrypted with 'x'", "language 'ANSI Standard'"}) {
        auto kept = Parse(std::string("alter table t redefine a char(5) ") + after);
        const TCreateField& field = kept->MainQuery()->definition.fields.at(0);
        EXPECT_EQ(field.newName, "") << after;
        EXPECT_EQ(field.length, 5) << after;
    }
    // Right after the name, BLOB is read as the column's data type.
    EXPECT_EQ(Error("alter table t redefine a blob block size 1024"),
              "Left parentheses expected after BLOB data type, instead found 'block' in table column");
    auto ended = Parse("alter table t redefine a; drop table t");
    EXPECT_EQ(ended->MainQuery()->definition.fields.at(0).newName, "");
    EXPECT_TRUE(ended->MoreStatements());
}

TEST_F(SqlDefineParse, AlterTablePrimaryKeyAndOptions) {
    auto s = Parse(
        "alter table people drop constraint pk primary key, add unique nocase primary key (a, b) compress trailbyte,"
        " description 'desc' blob block size 2048 language 'English (USA)' encrypted with 'pw'"
        " user major version 2 user minor version 5 last autoinc 100 nobackup");
    const TTableDefinition& d = s->MainQuery()->definition;
    EXPECT_TRUE(d.fields.empty());
    ASSERT_EQ(d.indexes.size(), 2u);
    EXPECT_TRUE(d.indexes[0].drop);
    EXPECT_FALSE(d.indexes[0].add || d.indexes[0].redefine);
    EXPECT_TRUE(d.indexes[0].columns.empty());
    const TCreateIndex& key = d.indexes[1];
    EXPECT_TRUE(key.add);
    EXPECT_FALSE(key.redefine || key.drop);
    EXPECT_TRUE(key.unique && key.noCase);
    EXPECT_FALSE(key.descending);
    EXPECT_EQ(key.columns, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(key.compression, 2);

    EXPECT_EQ(d.description, "desc");
    EXPECT_EQ(d.blobBlockSize, 2048);
    EXPECT_EQ(d.languageId, LanguageId("English (USA)"));
    EXPECT_EQ(d.sortId, 0);
    EXPECT_EQ(d.password, "pw");
    EXPECT_TRUE(d.encrypted);
    EXPECT_EQ(d.userMajor, 2);
    EXPECT_EQ(d.userMinor, 5);
    EXPECT_TRUE(d.descriptionGiven && d.blobBlockSizeGiven && d.languageGiven && d.encryptionGiven &&
                d.userMajorGiven && d.userMinorGiven);
    EXPECT_FALSE(d.sortGiven);
    EXPECT_EQ(d.lastAutoInc, 100);
    EXPECT_TRUE(d.noBackup);

    auto redefine = Parse("alter table t redefine desc primary key (a), drop primary key");
    const TTableDefinition& r = redefine->MainQuery()->definition;
    ASSERT_EQ(r.indexes.size(), 2u);
    EXPECT_TRUE(r.indexes[0].redefine && r.indexes[0].descending);
    EXPECT_FALSE(r.indexes[0].add || r.indexes[0].drop);
    EXPECT_TRUE(r.indexes[1].drop);

    // Nothing but options, each setting its flag only when written.
    auto options = Parse("alter table t user major version 0 last autoinc 0");
    const TTableDefinition& o = options->MainQuery()->definition;
    EXPECT_TRUE(o.fields.empty() && o.indexes.empty());
    EXPECT_TRUE(o.userMajorGiven);
    EXPECT_EQ(o.userMajor, 0);
    EXPECT_FALSE(o.userMinorGiven || o.descriptionGiven || o.languageGiven || o.encryptionGiven ||
                 o.blobBlockSizeGiven);
    EXPECT_EQ(o.lastAutoInc, 0);
    EXPECT_FALSE(o.noBackup);
    EXPECT_EQ(Parse("alter table t")->MainQuery()->definition.lastAutoInc, -1);
    EXPECT_EQ(Parse("alter table t last autoinc 2147483647")->MainQuery()->definition.lastAutoInc, 2147483647);
    // An empty password on ALTER TABLE says to decrypt.
    auto decrypt = Parse("alter table t encrypted with ''");
    EXPECT_TRUE(decrypt->MainQuery()->definition.encryptionGiven);
    EXPECT_FALSE(decrypt->MainQuery()->definition.encrypted);
    // A "," followed by anything but an alteration ends the list.
    auto trailing = Parse("alter table t add a integer, nobackup");
    EXPECT_EQ(trailing->MainQuery()->definition.fields.size(), 1u);
    EXPECT_TRUE(trailing->MainQuery()->definition.noBackup);
}

TEST_F(SqlDefineParse, DropTableAndDropIndex) {
    auto t = Parse("drop table if exists memory 'a/b/t.db'; drop index t.primary");
    EXPECT_EQ(t->Kind(), skDropTable);
    const TTableDefinition& d = t->MainQuery()->definition;
    EXPECT_TRUE(d.ifExists);
    EXPECT_TRUE(d.table.memory);
    EXPECT_EQ(d.table.directory, "Memory");
    EXPECT_EQ(d.table.tableName, "t");
    ASSERT_TRUE(t->MoreStatements());
    t->ParseNext();
    EXPECT_EQ(t->Kind(), skDropIndex);
    EXPECT_EQ(t->MainQuery()->definition.table.tableName, "t");
    EXPECT_EQ(t->MainQuery()->definition.indexName, "primary");
    EXPECT_FALSE(t->MainQuery()->definition.table.memory);

    auto plain = Parse("drop table 'data/t.db'");
    EXPECT_FALSE(plain->MainQuery()->definition.ifExists);
    EXPECT_EQ(plain->MainQuery()->definition.table.directory, "data/");
    EXPECT_EQ(plain->MainQuery()->definition.table.tableName, "t");

    // The qualifier is the table's file name without extension.
    auto index = Parse("drop index memory 'people.db'.[by name];");
    const TTableDefinition& i = index->MainQuery()->definition;
    EXPECT_TRUE(i.table.memory);
    EXPECT_EQ(i.table.directory, "Memory");
    EXPECT_EQ(i.table.tableName, "people");
    EXPECT_EQ(i.indexName, "by name");
    EXPECT_FALSE(index->MoreStatements());
}

TEST_F(SqlDefineParse, GrammarMessages) {
    const std::map<std::string, std::string> cases = {
        // CREATE TABLE
        {"create table if exists t (a int)", "NOT keyword expected after IF keyword, instead found 'exists'"},
        {"create table if not t (a int)", "EXISTS keyword expected after NOT keyword, instead found 't'"},
        {"create table (a int)", "Table name expected after CREATE TABLE keywords, instead found '('"},
        {"create table memory (a int)", "Table name expected, instead found '('"},
        {"create table t a int", "Left parentheses expected before list of table columns, instead found 'a'"},
        {"create table t (a int b int)", "Right parentheses expected after CREATE TABLE statement, instead found 'b'"},
        {"create table t (a int) x", "End of CREATE TABLE statement expected, instead found 'x'"},
        {"create table t (a integer) encrypted with x",
         "End of CREATE TABLE statement expected, instead found 'encrypted'"},
        {"create table t (a int primary key (a) description 'd' nobackup)",
         "Right parentheses expected after CREATE TABLE statement, instead found 'nobackup'"},
        // Column definitions
        {"create table t ()", "Unknown or unexpected symbol ')' found in table column"},
        {"create table t (a)", "SQL data type keyword expected, instead found ')' in table column"},
        {"create table t (a text)", "SQL data type keyword expected, instead found 'text' in table column"},
        {"create table t (t.a int)", "Column name expected in table column, instead found 't.a'"},
        {"create table t (1 int)", "Column name expected in table column, instead found '1'"},
        {"create table t ('' int)", "Column name expected in table column, instead found ''"},
        {"create table t (upper(a) int)", "Column name expected in table column, instead found 'upper'"},
        {"create table t (? int)", "Parameters are not allowed in table column"},
        {"create table t (a int not)", "NULL keyword expected after NOT keyword, instead found ')'"},
        {"create table t (a int not nul)", "NULL keyword expected after NOT keyword, instead found 'nul'"},
        {"create table t (a char(5) charcase title)",
         "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'title'"},
        {"create table t (a int at 1)", "Right parentheses expected after CREATE TABLE statement, instead found 'at'"},
        {"create table t (a int default 1 not null)",
         "Right parentheses expected after CREATE TABLE statement, instead found 'not'"},
        // The data type clause
        {"create table t (a char)", "Left parentheses expected after CHARACTER or CHAR data type, instead found ')' in "
                                    "table column"},
        {"create table t (a char(5)", "Right parentheses expected after CREATE TABLE statement, instead found ''"},
        {"create table t (a character(5 6))",
         "Right parentheses expected after CHARACTER or CHAR data type arguments, instead found '6' in table column"},
        {"create table t (a varchar)", "Left parentheses expected after VARCHAR data type, instead found ')' in table "
                                       "column"},
        {"create table t (a varchar(5 6))",
         "Right parentheses expected after VARCHAR data type arguments, instead found '6' in table column"},
        {"create table t (a bytes(5 6))",
         "Right parentheses expected after CHARACTER data type arguments, instead found '6' in table column"},
        {"create table t (a decimal(10 2))",
         "Right parentheses expected after DECIMAL data type arguments, instead found '2' in table column"},
        {"create table t (a numeric(10 2))",
         "Right parentheses expected after NUMERIC data type arguments, instead found '2' in table column"},
        {"create table t (a float(10 2))",
         "Right parentheses expected after FLOAT data type arguments, instead found '2' in table column"},
        {"create table t (a blob)", "Left parentheses expected after BLOB data type, instead found ')' in table column"},
        {"create table t (a blob(1))", "Comma expected after first BLOB argument, instead found ')' in table column"},
        {"create table t (a blob(1, 2 3))",
         "Right parentheses expected after BLOB data type arguments, instead found '3' in table column"},
        // The checks of the type's arguments
        {"create table t (a char(0))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"create table t (a varchar(251))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"create table t (a bytes(300))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"create table t (a char(99999999999))",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"create table t (a char('5'))", "Length argument must be an integer in table column"},
        {"create table t (a char(2.5))", "Length argument must be an integer in table column"},
        {"create table t (a char(x))", "Length argument must be an integer in table column"},
        {"create table t (a bytes(null))", "Length argument must be an integer in table column"},
        {"create table t (a decimal(10, x))", "Scale argument must be an integer in table column"},
        {"create table t (a float(10, 'x'))", "Scale argument must be an integer in table column"},
        {"create table t (a numeric(10, 1.5))", "Scale argument must be an integer in table column"},
        {"create table t (a decimal(10, 5))",
         "Scale argument must be an integer less than or equal to 4 for the BCD data type table column"},
        {"create table t (a blob(x, 1))", "First BLOB type argument must be an integer in table column"},
        {"create table t (a blob(1, 'a'))", "BLOB type argument must be an integer in table column"},
        {"create table t (b blob(1, 4))",
         "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in table column"},
        {"create table t (b blob(1, 0))",
         "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in table column"},
        // The primary key clause
        {"create table t (a int, constraint pk unique key (a))", "PRIMARY keyword expected, instead found 'key'"},
        {"create table t (a int, unique desc nocase (a))", "PRIMARY keyword expected, instead found '('"},
        {"create table t (a int, primary (a))", "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"create table t (a int, primary key a)", "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"create table t (a int, primary key (a b))",
         "Right parentheses expected after primary key clause, instead found 'b'"},
        {"create table t (a int, primary key (a) compress all)",
         "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'all'"},
        {"create table t (a int, primary key (t.a))", "Column name expected in index column, instead found 't.a'"},
        {"create table t (a int, primary key (1))", "Column name expected in index column, instead found '1'"},
        {"create table t (a int, primary key ())", "Unknown or unexpected symbol ')' found in index column"},
        // Table options
        {"create table t (a int, blob size 5)", "BLOCK keyword expected after BLOB keyword, instead found 'size'"},
        {"create table t (a int, blob block 5)", "SIZE keyword expected after BLOCK keyword, instead found '5'"},
        {"create table t (a int, blob block size x)", "Integer value expected after SIZE keyword, instead found 'x'"},
        {"create table t (a int, blob block size 65536)",
         "Integer value expected after SIZE keyword, instead found '65536'"},
        {"create table t (a int, blob block size 1.5)", "Integer value expected after SIZE keyword, instead found '1.5'"},
        {"create table t (a int, blob block size -1)", "Integer value expected after SIZE keyword, instead found '-'"},
        {"create table t (a int, language 'Klingon')",
         "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
        {"create table t (a int, language English)",
         "Invalid language constant 'English' specified after LANGUAGE keyword"},
        {"create table t (a int, language 'English (USA)' sort 'German Phone Book Order')",
         "Invalid sort constant 'German Phone Book Order' specified after SORT keyword"},
        {"create table t (a int, encrypted 'x')", "WITH keyword expected after ENCRYPTED keyword, instead found 'x'"},
        {"create table t (a integer, user minor version 2)",
         "MAJOR keyword expected after USER keyword, instead found 'minor'"},
        {"create table t (a integer, USER MINOR VERSION 2)",
         "MAJOR keyword expected after USER keyword, instead found 'MINOR'"},
        {"create table t (a int, user major 2)", "VERSION keyword expected after MAJOR keyword, instead found '2'"},
        {"create table t (a int, user major version x)",
         "Integer value expected after VERSION keyword, instead found 'x'"},
        {"create table t (a int, user major version 1 user version 2)",
         "MINOR keyword expected after USER keyword, instead found 'version'"},
        {"create table t (a int, user major version 1 user minor 2)",
         "VERSION keyword expected after MINOR keyword, instead found '2'"},
        {"create table t (a int, user major version 1 user minor version 70000)",
         "Integer value expected after VERSION keyword, instead found '70000'"},
        {"create table t (a int, user major version 1 user minor version 1 user major version 2)",
         "Right parentheses expected after CREATE TABLE statement, instead found 'user'"},
        // CREATE INDEX
        {"create unique i on t (a)", "INDEX keyword expected, instead found 'i'"},
        {"create nocase unique index i on t (a)", "INDEX keyword expected, instead found 'unique'"},
        {"create index (a)", "Index name expected after INDEX keyword, instead found '('"},
        {"create index i t (a)", "ON keyword expected after index name, instead found 't'"},
        {"create index i on (a)", "Table name expected after ON keyword, instead found '('"},
        {"create index i on memory (a)", "Table name expected, instead found '('"},
        {"create index i on t a", "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"create index i on t (a", "Right parentheses expected after primary key clause, instead found ''"},
        {"create index i on t (a) compress",
         "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found ''"},
        {"create index i on t (a) x", "End of CREATE INDEX statement expected, instead found 'x'"},
        {"create index i on t (a + b)", "Right parentheses expected after primary key clause, instead found '+'"},
        // ALTER TABLE
        {"alter table", "Table name expected after ALTER TABLE keywords, instead found ''"},
        {"alter table 5", "Table name expected after ALTER TABLE keywords, instead found '5'"},
        {"alter table memory", "Table name expected, instead found ''"},
        {"alter table t add c", "SQL data type keyword expected, instead found '' in table column"},
        {"alter table t add c integer at x", "Integer value expected after AT keyword, instead found 'x'"},
        {"alter table t add c integer at 0", "Integer value expected after AT keyword, instead found '0'"},
        {"alter table t add c integer at 65536", "Integer value expected after AT keyword, instead found '65536'"},
        {"alter table t add c char(300)",
         "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
        {"alter table t redefine c charcase", "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, "
                                              "instead found ''"},
        {"alter table t redefine c d )", "End of ALTER TABLE statement expected, instead found ')'"},
        {"alter table t redefine c d (", "Unknown or unexpected function 'd' found in table column"},
        {"alter table t redefine c 5", "Column name expected in table column, instead found '5'"},
        {"alter table t redefine c blob(1, 9)",
         "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in table column"},
        {"alter table t redefine c d blob(1, 9)",
         "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in table column"},
        {"alter table t drop", "Unknown or unexpected symbol '' found in table column"},
        {"alter table t drop constraint pk key", "PRIMARY keyword expected, instead found 'key'"},
        {"alter table t drop primary (a)", "KEY keyword expected after PRIMARY keyword, instead found '('"},
        {"alter table t drop constraint pk primary", "KEY keyword expected after PRIMARY keyword, instead found ''"},
        {"alter table t add primary key a", "Left parentheses expected after KEY keyword, instead found 'a'"},
        {"alter table t redefine unique key (a)", "PRIMARY keyword expected, instead found 'key'"},
        {"alter table t add c int, user minor version 1",
         "MAJOR keyword expected after USER keyword, instead found 'minor'"},
        {"alter table t last 5", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
        {"alter table t last autoinc -1", "Integer value expected after AUTOINC keyword, instead found '-1'"},
        {"alter table t last autoinc +1", "Integer value expected after AUTOINC keyword, instead found '+1'"},
        {"alter table t last autoinc 2147483648",
         "Integer value expected after AUTOINC keyword, instead found '2147483648'"},
        {"alter table t last autoinc 1.5", "Integer value expected after AUTOINC keyword, instead found '1.5'"},
        {"alter table t last autoinc x", "Integer value expected after AUTOINC keyword, instead found 'x'"},
        {"alter table t last autoinc '5'", "Integer value expected after AUTOINC keyword, instead found ''5''"},
        {"alter table t last autoinc (5)", "Integer value expected after AUTOINC keyword, instead found '(5)'"},
        {"alter table t last autoinc", "Unknown or unexpected symbol '' found in next auto-increment number"},
        {"alter table t last autoinc ?", "Parameters are not allowed in next auto-increment number"},
        {"alter table t last autoinc 5 5", "End of ALTER TABLE statement expected, instead found '5'"},
        {"alter table t add a int x", "End of ALTER TABLE statement expected, instead found 'x'"},
        {"alter table t nobackup last autoinc 1", "End of ALTER TABLE statement expected, instead found 'last'"},
        // DROP TABLE
        {"drop table", "Table name expected after TABLE keyword, instead found ''"},
        {"drop table if t", "EXISTS keyword expected after IF keyword, instead found 't'"},
        {"drop table if exists", "Table name expected after TABLE keyword, instead found ''"},
        {"drop table memory", "Table name expected, instead found ''"},
        {"drop table t u", "End of DROP TABLE statement expected, instead found 'u'"},
        // DROP INDEX
        {"drop index", "Table name expected after INDEX keyword, instead found ''"},
        {"drop index [t].i", "Table name expected after INDEX keyword, instead found 't'"},
        {"drop index memory ;", "Table name expected, instead found ';'"},
        {"drop index byname", "Table name and index name expected as TABLE.INDEX after INDEX keyword, instead found "
                              "'byname'"},
        {"drop index 'byname'", "Table name and index name expected as TABLE.INDEX after INDEX keyword, instead found "
                                "'byname'"},
        {"drop index t.", "Symbol or string expression expected after table correlation name separator '.', instead "
                          "found '' in index name expression"},
        {"drop index t.i x", "End of DROP INDEX statement expected, instead found 'x'"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(Error(text), message) << text;
}

TEST_F(SqlDefineParse, AFailedParseGivesBackEveryNode) {
    // Failures after trees were built: in a later column, in a type's argument check,
    // in a renaming REDEFINE, in an index column and in the auto-increment number.
    for (const char* text : {
             "create table t (a char(10), b blob(1, 1), c decimal(5, 2) not null, d char(300))",
             "create table t (a char(10), b decimal(10, 9))",
             "create table t (a char(10), b int, primary key (a, b) compress x)",
             "create table t (a char(10), b int, primary key (a, upper(b)))",
             "alter table t redefine a b char(10) at 0",
             "alter table t redefine a char(5) b blob(1, 6)",
             "alter table t add a int, drop b char(2), last autoinc (1 + 2)",
             "alter table t add a int, drop b char(2), last autoinc -5",
             "drop index t.upper(",
         }) {
        const std::int64_t before = LiveNodeCount();
        {
            TQueryStatement s(directory);
            EXPECT_THROW(s.Parse(text), ERERUZOEngineError) << text;
        }
        EXPECT_EQ(LiveNodeCount(), before) << text;
    }
    // Every beginning of a long statement either parses or is refused as a syntax
    // error, without losing a node.
    for (const std::string text : {
             "create table if not exists memory 'a/t.db' (id autoinc, [n m] char(20) description 'x' not null "
             "default -1 min 'a' max 'z' charcase upper, b blob(1, 5), d decimal(9, 2), constraint k unique desc "
             "nocase primary key (id, [n m]) compress full description 'd' blob block size 1024 language "
             "'German (Standard)' sort 'German Phone Book Order' encrypted with 'pw' user major version 2 user minor "
             "version 3);",
             "alter table memory t add column c char(10) at 2 description 'd' not null, redefine a b char(12) at 1 "
             "charcase lower, drop constraint pk primary key, add unique primary key (a) compress dupbyte, drop x "
             "bytes(3), description 'd' last autoinc 100 nobackup;",
             "create unique descending nocase index 'the index' on memory t (a, [b c]) compress trailbyte;",
             "drop index memory 'people.db'.[by name];",
         }) {
        for (std::size_t length = 0; length <= text.size(); ++length) {
            const std::string prefix = text.substr(0, length);
            const std::int64_t before = LiveNodeCount();
            try {
                Parse(prefix);
            } catch (const ERERUZOEngineError& e) {
                EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE) << prefix;
            }
            ASSERT_EQ(LiveNodeCount(), before) << prefix;
        }
        EXPECT_EQ(Error(text), "") << text;
    }

    // A statement that parsed gives its trees back when it is parsed anew.
    TQueryStatement s(directory);
    const std::int64_t before = LiveNodeCount();
    s.Parse("alter table t add a char(10), redefine b c decimal(10, 2), drop d blob(1, 1)");
    EXPECT_GT(LiveNodeCount(), before);
    s.Parse("drop table t");
    EXPECT_EQ(LiveNodeCount(), before);
}

}  // namespace
}  // namespace reruzo
