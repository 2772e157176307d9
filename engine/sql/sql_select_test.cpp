// Running SELECT statements on a small table whose rows the tests know: copied and
// live results, result names and types, expression columns, the WHERE clause as an
// index-answered filter, the maximum row count, progress, repeated executions, the
// preparation messages, and that nothing is left behind.
#include "engine/sql/sql_statement.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/field_text.h"
#include "engine/table/data_session.h"
#include "tests/support/engine_error.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

struct TPerson {
    const char* name;
    int age;
    const char* city;
};

const TPerson kPeople[] = {{"Ann", 34, "Oslo"}, {"Bob", 25, "Rome"}, {"Cid", 41, "Oslo"},
                           {"Dee", 30, "Kyiv"}, {"Eve", 34, "Rome"}, {"Fay", 19, "Lima"}};

class SqlSelect : public ::testing::Test {
protected:
    void SetUp() override {
        session.SetPrivateDir(privateDir.Dir());
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 20),
                    MakeFieldDesc("age", kFieldSmallInt), MakeFieldDesc("city", kFieldString, 10)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc byAge;
        byAge.Name = "byAge";
        byAge.FieldCount = 1;
        byAge.FieldNumbers[0] = 3;
        s.Secondaries = {byAge};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("people", s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName("people");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (const TPerson& p : kPeople) {
            c.InitRecord(r);
            PutStringField(r, c.Fields()[1], p.name);
            PutIntegerField(r, c.Fields()[2], p.age);
            PutStringField(r, c.Fields()[3], p.city);
            c.AppendRecord(r, false);
        }
    }

    std::unique_ptr<TQueryStatement> Run(const std::string& text, bool requestLive = false, std::int32_t max = -1,
                                         TQueryStatement::TProgress progress = {}) {
        auto s = std::make_unique<TQueryStatement>(directory, requestLive, max, std::move(progress));
        s->Prepare(text);
        s->Execute();
        return s;
    }

    // The result rows as "v1|v2|..." texts, in the result cursor's order.
    static std::vector<std::string> Rows(TDataCursor& c) {
        std::vector<std::string> rows;
        std::vector<std::uint8_t> r(c.RecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(r) == 0) {
            std::string row;
            for (const TFieldDesc& f : c.Fields()) {
                if (!row.empty()) row += "|";
                row += FieldIsNull(r, f) ? "NULL"
                                         : FieldDataText(f.FieldType, FieldData(r, f), TBooleanWords::Capitalised)
                                               .value_or("?");
            }
            rows.push_back(row);
        }
        return rows;
    }

    static std::vector<std::string> Names(const TDataCursor& c) {
        std::vector<std::string> names;
        for (const TFieldDesc& f : c.Fields()) names.push_back(f.Name);
        return names;
    }

    std::string Error(const std::string& text, bool requestLive = false) {
        return quorvane::testing::SqlErrorOf([&] { Run(text, requestLive); }, [](const ERERUZOEngineError& e) {
            EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE) << e.what();
        });
    }

    // The table files in a folder.
    static std::vector<std::string> Tables(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(folder)) {
            if (e.path().extension() == ".DAT") names.push_back(e.path().stem().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // cities(name, country): Oslo Norway, Rome Italy, Kyiv Ukraine, Paris France.
    void MakeCities() {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("name", kFieldString, 10), MakeFieldDesc("country", kFieldString, 10)};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("cities", s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName("cities");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (const auto& [name, country] : std::vector<std::pair<const char*, const char*>>{
                 {"Oslo", "Norway"}, {"Rome", "Italy"}, {"Kyiv", "Ukraine"}, {"Paris", "France"}}) {
            c.InitRecord(r);
            PutStringField(r, c.Fields()[0], name);
            PutStringField(r, c.Fields()[1], country);
            c.AppendRecord(r, false);
        }
    }

    // ages(a SMALLINT, label): 34 "thirty-four", 30 "thirty", 99 "ninety-nine", no index.
    void MakeAges() {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("a", kFieldSmallInt), MakeFieldDesc("label", kFieldString, 12)};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("ages", s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName("ages");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (const auto& [a, label] :
             std::vector<std::pair<int, const char*>>{{34, "thirty-four"}, {30, "thirty"}, {99, "ninety-nine"}}) {
            c.InitRecord(r);
            PutIntegerField(r, c.Fields()[0], a);
            PutStringField(r, c.Fields()[1], label);
            c.AppendRecord(r, false);
        }
    }

    quorvane::testing::TTempDir tmp;
    quorvane::testing::TTempDir privateDir;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("db", tmp.Dir());
};

TEST_F(SqlSelect, ACopiedResultHoldsTheQualifyingRowsAndGoesAwayWithTheStatement) {
    auto s = Run("select * from people where age > 30");
    TDataQuery& q = *s->MainQuery();
    EXPECT_FALSE(q.live);
    TDataCursor& result = *s->ResultCursor();
    EXPECT_EQ(Names(result), (std::vector<std::string>{"id", "name", "age", "city"}));
    EXPECT_FALSE(result.Fields()[0].IsAutoInc()) << "copied identifiers are plain integers";
    EXPECT_EQ(Rows(result), (std::vector<std::string>{"1|Ann|34|Oslo", "3|Cid|41|Oslo", "5|Eve|34|Rome"}));
    EXPECT_EQ(s->rowCount, 3);
    // The condition is a filter of the source cursor, answered by the index on age.
    TDataCursor& source = *q.sourceTables[0].cursor;
    ASSERT_EQ(source.Filters().size(), 1u);
    EXPECT_EQ(source.GetFilterOptimizeLevel(source.Filters()[0].get()), 2);
    // The result is a temporary table in the private folder, deleted with the statement.
    EXPECT_EQ(Tables(privateDir.Dir()).size(), 1u);
    s.reset();
    EXPECT_TRUE(Tables(privateDir.Dir()).empty());
    EXPECT_EQ(Tables(tmp.Dir()), (std::vector<std::string>{"people"}));
}

TEST_F(SqlSelect, ALiveResultIsTheTablesOwnCursorOnlyWithAllItsColumns) {
    auto s = Run("select * from people where city = 'Oslo'", true);
    EXPECT_TRUE(s->MainQuery()->live);
    TDataCursor& result = *s->ResultCursor();
    EXPECT_EQ(result.TableName(), "people");
    EXPECT_EQ(Rows(result), (std::vector<std::string>{"1|Ann|34|Oslo", "3|Cid|41|Oslo"}));
    EXPECT_TRUE(Tables(privateDir.Dir()).empty());
    // A select list that is not the table's own columns is copied even when a live
    // result was asked for: the table's cursor would show the wrong columns.
    auto partial = Run("select name, age from people where city = 'Oslo'", true);
    EXPECT_FALSE(partial->MainQuery()->live);
    EXPECT_EQ(Rows(*partial->ResultCursor()), (std::vector<std::string>{"Ann|34", "Cid|41"}));
    // ORDER BY that an index of the table gives stays live, in that index's order.
    auto byAge = Run("select * from people where city <> 'Lima' order by age", true);
    EXPECT_TRUE(byAge->MainQuery()->live);
    EXPECT_EQ(Rows(*byAge->ResultCursor()), (std::vector<std::string>{"2|Bob|25|Rome", "4|Dee|30|Kyiv", "1|Ann|34|Oslo",
                                                                       "5|Eve|34|Rome", "3|Cid|41|Oslo"}));
    auto byName = Run("select * from people order by name", true);
    EXPECT_FALSE(byName->MainQuery()->live) << "no index gives this order";
    auto into = Run("select * into x from people", true);
    EXPECT_EQ(into->MainQuery()->live, false);
}

TEST_F(SqlSelect, ExpressionColumnsAndResultNames) {
    auto s = Run("select name, age + 1, age * 2, name n, upper(city), name from people where age < 26");
    TDataCursor& result = *s->ResultCursor();
    EXPECT_EQ(Names(result), (std::vector<std::string>{"name", "Expression", "Expression_1", "n", "Expression_2",
                                                       "name_1"}));
    EXPECT_EQ(Rows(result), (std::vector<std::string>{"Bob|26|50|Bob|ROME|Bob", "Fay|20|38|Fay|LIMA|Fay"}));
    EXPECT_EQ(result.Fields()[4].FieldType, kFieldString);
    EXPECT_EQ(result.Fields()[4].Length, 10);
    auto aliased = Run("select age as [the age], city from people where name = 'Dee'");
    EXPECT_EQ(Names(*aliased->ResultCursor()), (std::vector<std::string>{"the age", "city"}));
    EXPECT_EQ(Rows(*aliased->ResultCursor()), (std::vector<std::string>{"30|Kyiv"}));
}

TEST_F(SqlSelect, MaximumRowCountProgressAndRepeatedExecutions) {
    auto limited = Run("select name from people", false, 2);
    EXPECT_EQ(Rows(*limited->ResultCursor()), (std::vector<std::string>{"Ann", "Bob"}));

    std::vector<int> reports;
    auto stopped = Run("select name from people", false, -1, [&](int percent) {
        reports.push_back(percent);
        return percent < 50;
    });
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.back(), 50);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    // The rows copied before the abort stay.
    EXPECT_EQ(stopped->ResultCursor()->GetRecordCount(), 3);

    auto twice = std::make_unique<TQueryStatement>(directory, false, -1);
    twice->Prepare("select name from people where age >= 34");
    twice->Execute();
    twice->Execute();
    EXPECT_EQ(Rows(*twice->ResultCursor()), (std::vector<std::string>{"Ann", "Cid", "Eve"}));
}

TEST_F(SqlSelect, PreparationMessagesAndTablesLeftClosed) {
    EXPECT_EQ(Error("select * from people having age > 1"),
              "A GROUP BY clause must exist in order to use the HAVING clause");
    EXPECT_EQ(Error("select * as x from people"), "Invalid use of column correlation name 'x' for '*' specified in source columns");
    EXPECT_EQ(Error("select q.* from people"),
              "Invalid column name '*' or table correlation name 'q' specified in source columns");
    EXPECT_EQ(Error("select name from people where age"), "WHERE or JOIN clause must be a boolean expression");
    EXPECT_EQ(Error("select name || name || name || name || name || name || name || name || name || name || name || name "
                    "|| name from people"),
              "Column expression 'name || name || name || name || name || name || name || name || name || name || name "
              "|| name || name' exceeds the maximum allowable field size");
    EXPECT_EQ(Error("select * from people order by 5"), "Invalid column number '5' specified in ORDER BY clause");
    EXPECT_EQ(Error("select name from people group by 0"), "Invalid column number '0' specified in GROUP BY clause");
    EXPECT_EQ(Error("select name from people order by q.name"),
              "Invalid column name 'name' or table correlation name 'q' specified in ORDER BY clause");
    EXPECT_EQ(Error("select city, count(*) from people group by city having sum(age) > 1"),
              "Expression in HAVING clause not found in source columns");
    EXPECT_NE(Error("select nosuch from people"), "");
    // A missing table is the storage layer's error, and nothing stays open.
    try {
        Run("select * from nosuch");
        ADD_FAILURE() << "a missing table";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_NE(e.EngineCode, RERUZO_SQLPARSE);
    }
    EXPECT_TRUE(Tables(privateDir.Dir()).empty());
    for (const auto& t : directory.Tables()) EXPECT_EQ(t->OpenCount(), 0) << t->Name();
}

TEST_F(SqlSelect, AggregatesWithoutGroupByMakeOneRow) {
    {
        // One more person whose age is not known.
        TDataCursor c(directory);
        c.SetTableName("people");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        c.InitRecord(r);
        PutStringField(r, c.Fields()[1], "Gus");
        PutStringField(r, c.Fields()[3], "Oslo");
        c.AppendRecord(r, false);
    }
    auto s = Run("select count(*), count(age), sum(age), avg(age), min(age), max(age), sum(id) from people");
    TDataCursor& result = *s->ResultCursor();
    EXPECT_EQ(Names(result), (std::vector<std::string>{"Count Of *", "Count Of age", "Sum Of age", "Average Of age",
                                                       "Min Of age", "Max Of age", "Sum Of id", "Sys__Avg__Count4"}));
    // 34 + 25 + 41 + 30 + 34 + 19 = 183 over six known ages; Gus's NULL takes no part.
    EXPECT_EQ(Rows(result), (std::vector<std::string>{"7|6|183|30.5|19|41|28|6"}));
    EXPECT_EQ(result.Fields()[2].FieldType, kFieldInteger) << "SUM of a small integer is an integer";
    EXPECT_EQ(result.Fields()[3].FieldType, kFieldFloat);
    EXPECT_EQ(result.Fields()[6].FieldType, kFieldLargeInt) << "SUM of an integer is a large integer";
    EXPECT_FALSE(s->MainQuery()->live);
    EXPECT_TRUE(s->MainQuery()->aggregatesOnly);
    // One row needs no files: the result is a memory table. A grouped result, whose
    // size the groups decide, goes to the private folder as before.
    EXPECT_TRUE(Tables(privateDir.Dir()).empty());
    EXPECT_TRUE(result.Table().InMemory());
    auto grouped = Run("select city, count(*) from people group by city");
    EXPECT_EQ(Rows(*grouped->ResultCursor()).size(), 4u);
    EXPECT_EQ(Tables(privateDir.Dir()).size(), 1u);
    grouped.reset();
    EXPECT_TRUE(Tables(privateDir.Dir()).empty());

    auto none = Run("select count(city) as n, sum(age), avg(age) from people where age > 100");
    EXPECT_EQ(Names(*none->ResultCursor()), (std::vector<std::string>{"n", "Sum Of age", "Average Of age",
                                                                      "Sys__Avg__Count3"}));
    EXPECT_EQ(Rows(*none->ResultCursor()), (std::vector<std::string>{"0|NULL|NULL|0"}));

    auto expression = Run("select max(age * 2), min(id + 1) from people where city = 'Rome'");
    EXPECT_EQ(Names(*expression->ResultCursor()), (std::vector<std::string>{"Max Of Expr", "Min Of Expr"}));
    EXPECT_EQ(Rows(*expression->ResultCursor()), (std::vector<std::string>{"68|3"}));

    EXPECT_EQ(Error("select name, count(*) from people"),
              "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
}

TEST_F(SqlSelect, InSubSelectsRunBeforeTheQueryThatReadsThem) {
    auto s = Run("select name from people where age in (select age from people where city = 'Rome')");
    EXPECT_EQ(Rows(*s->ResultCursor()), (std::vector<std::string>{"Ann", "Bob", "Eve"}));
    EXPECT_EQ(s->Queries().size(), 2u);
    EXPECT_FALSE(s->Queries()[1]->live) << "a live result shows all of its table's columns, so one column is copied";
    auto negated = Run("select name from people where age not in (select age from people where city = 'Rome')");
    EXPECT_EQ(Rows(*negated->ResultCursor()), (std::vector<std::string>{"Cid", "Dee", "Fay"}));
    // Numbers meet by value across types: integer identifiers against small-integer
    // expressions of a copied sub-select result (34-24, 25-24, 41-24, 30-24, 34-24, 19-24).
    auto typed = Run("select name from people where id in (select age - 24 from people)");
    EXPECT_FALSE(typed->Queries()[1]->live);
    EXPECT_EQ(Rows(*typed->ResultCursor()), (std::vector<std::string>{"Ann", "Fay"}));
    EXPECT_EQ(Error("select name from people where age in (select age, name from people)"),
              "More than 1 column for sub-select  specified in WHERE or JOIN clause");
}

TEST_F(SqlSelect, JoinsOfSeveralTables) {
    MakeCities();
    auto inner = Run("select p.name, c.country from people p join cities c on p.city = c.name where p.age > 30");
    EXPECT_EQ(Rows(*inner->ResultCursor()), (std::vector<std::string>{"Ann|Norway", "Cid|Norway", "Eve|Italy"}));
    // The single-table condition is the people cursor's filter, answered by its index.
    TDataCursor& people = *inner->MainQuery()->sourceTables[0].cursor;
    ASSERT_EQ(people.Filters().size(), 1u);
    EXPECT_EQ(people.GetFilterOptimizeLevel(people.Filters()[0].get()), 2);

    auto left = Run("select p.name, c.country from people p left outer join cities c on p.city = c.name");
    EXPECT_EQ(Rows(*left->ResultCursor()), (std::vector<std::string>{"Ann|Norway", "Bob|Italy", "Cid|Norway",
                                                                     "Dee|Ukraine", "Eve|Italy", "Fay|NULL"}));
    auto right = Run("select c.name, p.name from people p right join cities c on p.city = c.name");
    EXPECT_EQ(Rows(*right->ResultCursor()), (std::vector<std::string>{"Oslo|Ann", "Oslo|Cid", "Rome|Bob", "Rome|Eve",
                                                                      "Kyiv|Dee", "Paris|NULL"}));
    auto comma = Run("select p.name, c.country from people p, cities c where p.city = c.name and c.country = 'Italy'");
    EXPECT_EQ(Rows(*comma->ResultCursor()), (std::vector<std::string>{"Bob|Italy", "Eve|Italy"}));
    // A WHERE condition on the optional side sees the NULLs the join adds.
    auto unmatched =
        Run("select p.name from people p left join cities c on p.city = c.name where c.country is null");
    EXPECT_EQ(Rows(*unmatched->ResultCursor()), (std::vector<std::string>{"Fay"}));
    // An ON condition on the joined table narrows what matches, not the left rows.
    auto narrowed = Run("select p.name, c.name from people p left join cities c on p.city = c.name and "
                        "c.country = 'Italy' where p.age < 31");
    EXPECT_EQ(Rows(*narrowed->ResultCursor()), (std::vector<std::string>{"Bob|Rome", "Dee|NULL", "Fay|NULL"}));
    EXPECT_EQ(Error("select p.name from people p, cities c where x.name = p.city"),
              "Table correlation name 'x' referenced in WHERE clause is not defined in the FROM clause");
    EXPECT_EQ(Error("select p.name from people p join cities c on p.city || c.country = c.name"),
              "The join condition cannot contain multiple table correlation names in either the left or right operand "
              "in WHERE or JOIN clause");
    auto all = Run("select * from people p, cities c where p.id = 1 and c.country = 'France'");
    EXPECT_EQ(Names(*all->ResultCursor()),
              (std::vector<std::string>{"id", "name", "age", "city", "name_1", "country"}));
    EXPECT_EQ(Rows(*all->ResultCursor()), (std::vector<std::string>{"1|Ann|34|Oslo|Paris|France"}));
    auto counted = Run("select count(*), sum(p.age) from people p join cities c on c.name = p.city");
    // Ann 34, Bob 25, Cid 41, Dee 30 and Eve 34 live in a city of the table; Fay does not.
    EXPECT_EQ(Rows(*counted->ResultCursor()), (std::vector<std::string>{"5|164"}));
}

TEST_F(SqlSelect, RightJoinsKeepTheirRowsAndLargerJoinedTablesAreSearchedThroughTheirIndex) {
    MakeCities();
    MakeAges();
    // The tables before a RIGHT JOIN are joined among themselves first: a city whose
    // people have no age in the ages table gets NULLs, never a half-joined row.
    auto right = Run("select c.name, p.name, a.label from people p join ages a on a.a = p.age "
                     "right join cities c on c.name = p.city");
    EXPECT_EQ(Rows(*right->ResultCursor()), (std::vector<std::string>{"Oslo|Ann|thirty-four", "Rome|Eve|thirty-four",
                                                                      "Kyiv|Dee|thirty", "Paris|NULL|NULL"}));
    // An ON condition on the RIGHT JOIN's own table decides matches, not its rows.
    auto italy = Run("select c.name, p.name from people p right join cities c on p.city = c.name and "
                     "c.country = 'Italy'");
    EXPECT_EQ(Rows(*italy->ResultCursor()), (std::vector<std::string>{"Oslo|NULL", "Rome|Bob", "Rome|Eve",
                                                                      "Kyiv|NULL", "Paris|NULL"}));

    // people (6 rows) is larger than ages (3) and its age leads the index byAge: each
    // age is looked up there, equal keys in record order, the filter still applied.
    auto searched = Run("select a.label, p.name from ages a join people p on p.age = a.a");
    EXPECT_EQ(Rows(*searched->ResultCursor()),
              (std::vector<std::string>{"thirty-four|Ann", "thirty-four|Eve", "thirty|Dee"}));
    EXPECT_EQ(searched->MainQuery()->sourceTables[1].cursor->IndexName(), "byAge");
    auto filtered = Run("select a.label, p.name from ages a left join people p on p.age = a.a and p.city <> 'Oslo'");
    EXPECT_EQ(Rows(*filtered->ResultCursor()),
              (std::vector<std::string>{"thirty-four|Eve", "thirty|Dee", "ninety-nine|NULL"}));
    // The other way round ages is the smaller side: read once and hashed, same pairs.
    auto hashed = Run("select a.label, p.name from people p join ages a on a.a = p.age");
    EXPECT_EQ(Rows(*hashed->ResultCursor()),
              (std::vector<std::string>{"thirty-four|Ann", "thirty|Dee", "thirty-four|Eve"}));

    // Several conditions may tie one table to one other; not to two different ones.
    auto pair = Run("select p.name from ages a, people p where p.age = a.a and p.name > a.label");
    EXPECT_TRUE(Rows(*pair->ResultCursor()).empty());
    EXPECT_EQ(Error("select p.name from people p, cities c, ages a where p.city = c.name and a.a = p.age and "
                    "a.label = c.name"),
              "Internal join error - table correlation name \"a\" is target of multiple join conditions in WHERE or "
              "JOIN clause");
}

// A large table joined to a much smaller one is walked from the small one, each of its
// rows finding its partners through the large table's index; every condition and both
// filters still apply, and the pairs are those of the walk the other way round.
TEST_F(SqlSelect, ALargeTableJoinedToASmallOneIsSearchedFromTheSmallOne) {
    {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("k", kFieldInteger),
                    MakeFieldDesc("v", kFieldInteger)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc byK;
        byK.Name = "byK";
        byK.FieldCount = 1;
        byK.FieldNumbers[0] = 2;
        s.Secondaries = {byK};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("big", s, t), 0);
        directory.CloseTable(t, false);
        TTableStructure f;
        f.Fields = {MakeFieldDesc("k", kFieldInteger), MakeFieldDesc("tag", kFieldString, 8)};
        ASSERT_EQ(directory.CreateTable("few", f, t), 0);
        directory.CloseTable(t, false);
        TDataCursor b(directory), w(directory);
        b.SetTableName("big");
        w.SetTableName("few");
        b.OpenCursor();
        w.OpenCursor();
        std::vector<std::uint8_t> r(b.RecordSize());
        for (int i = 1; i <= 400; ++i) {
            b.InitRecord(r);
            PutIntegerField(r, b.Fields()[1], i % 100);
            PutIntegerField(r, b.Fields()[2], i % 7);
            b.AppendRecord(r, false);
        }
        std::vector<std::uint8_t> q(w.RecordSize());
        for (int i = 0; i < 20; ++i) {
            w.InitRecord(q);
            PutIntegerField(q, w.Fields()[0], i * 5);
            PutStringField(q, w.Fields()[1], "tag" + std::to_string(i));
            w.AppendRecord(q, false);
        }
    }
    std::vector<std::string> expected;
    for (int id = 1; id <= 400; ++id) {
        const int k = id % 100;
        if (k % 5 != 0 || id % 7 == 3 || k / 5 == 5 || id <= k) continue;
        expected.push_back(std::to_string(id) + "|tag" + std::to_string(k / 5));
    }
    std::sort(expected.begin(), expected.end());
    auto sorted = [](std::vector<std::string> rows) {
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    auto reversed = Run("select b.id, f.tag from big b join few f on b.k = f.k "
                        "where b.v <> 3 and f.tag <> 'tag5' and b.id > f.k");
    EXPECT_EQ(sorted(Rows(*reversed->ResultCursor())), expected);
    EXPECT_EQ(reversed->MainQuery()->sourceTables[0].cursor->IndexName(), "byK");
    auto forward = Run("select b.id, f.tag from few f join big b on b.k = f.k "
                       "where b.v <> 3 and f.tag <> 'tag5' and b.id > f.k");
    EXPECT_EQ(sorted(Rows(*forward->ResultCursor())), expected);
    auto counted = Run("select count(*) from big b join few f on f.k = b.k where b.v <> 3 and f.tag <> 'tag5' "
                       "and b.id > f.k");
    EXPECT_EQ(Rows(*counted->ResultCursor()), (std::vector<std::string>{std::to_string(expected.size())}));
}

// The run files of a sort go to the private folder; when it fills up, the statement
// fails with the write error, leaves no run file, and the INTO table keeps the rows as
// they were copied.
TEST_F(SqlSelect, ASortThatRunsOutOfDiskReportsItAndLeavesTheResultAsItWas) {
    constexpr int kRows = 20000;  // about 2.4 MB of records: three runs of ~1 MB
    {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("n", kFieldInteger), MakeFieldDesc("pad", kFieldString, 100)};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("big", s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName("big");
        c.SetExclusive(true);
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (int n = kRows; n >= 1; --n) {
            c.InitRecord(r);
            PutIntegerField(r, c.Fields()[0], n);
            PutStringField(r, c.Fields()[1], std::string(90, static_cast<char>('a' + n % 26)));
            c.AppendRecord(r, false);
        }
    }
    quorvane::testing::TTempDir runs;
    const std::string database = tmp.Dir(), runDir = runs.Dir();
    quorvane::testing::TChild child([&](quorvane::testing::TChild&) {
        // A 64 KiB file system over the private folder, seen by this process only.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", runDir.c_str(), "tmpfs", 0, "size=64k") != 0) {
            return 77;
        }
        TDataSession full;
        full.SetPrivateDir(runDir);
        TQueryStatement statement(full.OpenDirectory("db", database), false, -1, {});
        statement.Prepare("select n, pad into sorted from big order by n");
        try {
            statement.Execute();
            return 1;
        } catch (const ERERUZOEngineError& e) {
            if (e.EngineCode != RERUZO_WRITEERR) return 2;
        }
        return std::filesystem::is_empty(runDir) ? 0 : 3;
    });
    const int code = child.Wait();
    if (code == 77) GTEST_SKIP() << "no private mount namespace for a small file system here";
    ASSERT_EQ(code, 0) << "1: the sort succeeded, 2: another error, 3: run files left behind";

    TDataCursor sorted(directory);
    sorted.SetTableName("sorted");
    sorted.OpenCursor();
    ASSERT_EQ(sorted.GetRecordCount(), kRows);
    std::vector<std::uint8_t> r(sorted.RecordSize());
    int expected = kRows;  // the source's natural order: descending
    sorted.SetToBegin();
    while (sorted.GetNextRecord(r) == 0) {
        ASSERT_EQ(GetIntegerField(r, sorted.Fields()[0]), expected);
        --expected;
    }
    EXPECT_EQ(expected, 0);
}

// A copied result holds copies of the BLOBs it selects, in its own BLOB file.
TEST_F(SqlSelect, CopiedResultsCarryTheirBlobValues) {
    {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("pid", kFieldInteger), MakeFieldDesc("note", kFieldBlob, 0, kSubMemo)};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable("notes", s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName("notes");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        for (int pid : {1, 3, 5}) {
            c.InitRecord(r);
            PutIntegerField(r, c.Fields()[0], pid);
            const std::string note = "note of " + std::to_string(pid) + std::string(700 * pid, '.');
            c.PutBlob(r, 2, 0, {reinterpret_cast<const std::uint8_t*>(note.data()), note.size()});
            c.AppendRecord(r, false);
        }
    }
    auto notes = [](TDataCursor& c, int field) {
        std::vector<std::string> out;
        std::vector<std::uint8_t> r(c.RecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(r) == 0) {
            std::string text(c.GetBlobSize(r, field), '\0');
            c.GetBlob(r, field, 0, {reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
            c.FreeBlob(r, field);
            out.push_back(text.substr(0, text.find('.')));
        }
        return out;
    };
    auto sorted = Run("select note, pid from notes where pid > 1 order by pid desc");
    EXPECT_EQ(notes(*sorted->ResultCursor(), 1), (std::vector<std::string>{"note of 5", "note of 3"}));
    // People without a note get NULL; Ann (id 1) and Cid (id 3) get theirs.
    auto joined = Run("select p.name, n.note from people p left join notes n on n.pid = p.id where p.id < 4");
    EXPECT_EQ(notes(*joined->ResultCursor(), 2), (std::vector<std::string>{"note of 1", "", "note of 3"}));
}

TEST_F(SqlSelect, UnionAllAppendsEveryPartInOrder) {
    auto s = Run("select name, age from people where age < 26 union all select city, id from people where id > 4 "
                 "union all select name, age * 10 from people where name = 'Ann'");
    EXPECT_EQ(Names(*s->ResultCursor()), (std::vector<std::string>{"name", "age"}));
    // Bob 25 and Fay 19; then the cities of ids 5 and 6 with the ids (integers into a
    // small-integer column); then Ann's age times ten.
    EXPECT_EQ(Rows(*s->ResultCursor()),
              (std::vector<std::string>{"Bob|25", "Fay|19", "Rome|5", "Lima|6", "Ann|340"}));
    auto star = Run("select * from people where id = 1 union all select * from people where id = 2");
    EXPECT_EQ(Rows(*star->ResultCursor()), (std::vector<std::string>{"1|Ann|34|Oslo", "2|Bob|25|Rome"}));
    EXPECT_EQ(Error("select name, age from people union all select name from people"),
              "The number of columns  in the UNION ALL query must match the  number of columns in the master query");
    EXPECT_EQ(Error("select age from people union all select name from people"),
              "Type mismatch between column expression 'name' in the UNION ALL query and column expression age in "
              "the master query");
}

TEST_F(SqlSelect, OrderGroupDistinctAndUnionSortTheResult) {
    auto ordered = Run("select name, age from people order by age desc, name");
    EXPECT_EQ(Rows(*ordered->ResultCursor()),
              (std::vector<std::string>{"Cid|41", "Ann|34", "Eve|34", "Dee|30", "Bob|25", "Fay|19"}));
    auto byNumber = Run("select city, name from people where age > 20 order by 1, 2 desc");
    EXPECT_EQ(Rows(*byNumber->ResultCursor()),
              (std::vector<std::string>{"Kyiv|Dee", "Oslo|Cid", "Oslo|Ann", "Rome|Eve", "Rome|Bob"}));

    // Groups come out in GROUP BY order; AVG keeps its hidden count.
    auto grouped = Run("select city, count(*), sum(age), avg(age) from people group by city");
    EXPECT_EQ(Rows(*grouped->ResultCursor()),
              (std::vector<std::string>{"Kyiv|1|30|30|1", "Lima|1|19|19|1", "Oslo|2|75|37.5|2", "Rome|2|59|29.5|2"}));
    auto having = Run("select city, count(*) from people group by city having count(*) > 1");
    EXPECT_EQ(Rows(*having->ResultCursor()), (std::vector<std::string>{"Oslo|2", "Rome|2"}));
    auto sums = Run("select city, sum(age) from people group by city order by 2 desc");
    EXPECT_EQ(Rows(*sums->ResultCursor()), (std::vector<std::string>{"Oslo|75", "Rome|59", "Kyiv|30", "Lima|19"}));

    auto distinct = Run("select distinct city from people");
    EXPECT_EQ(Rows(*distinct->ResultCursor()), (std::vector<std::string>{"Kyiv", "Lima", "Oslo", "Rome"}));
    // UNION keeps one of each row of the whole result; ORDER BY applies to all of it.
    auto united = Run("select city from people where age > 30 union select city from people where age < 26 "
                      "order by 1 desc");
    EXPECT_EQ(Rows(*united->ResultCursor()), (std::vector<std::string>{"Rome", "Oslo", "Lima"}));
}

TEST_F(SqlSelect, ParametersBoundAfterPreparingTakePart) {
    TQueryStatement s(directory, false, -1);
    s.Prepare("select name from people where age > ? and city = ?");
    auto bind = [&](std::int32_t age, const std::string& city) {
        TParamValue a{kFieldInteger, 0, std::vector<std::uint8_t>(4), false};
        PutLE<std::int32_t>(a.value.data(), age);
        TParamValue c{kFieldString, 0, std::vector<std::uint8_t>(city.begin(), city.end()), false};
        c.value.push_back(0);
        s.SetParameters({a, c});
        s.Execute();
        return Rows(*s.ResultCursor());
    };
    EXPECT_EQ(bind(30, "Oslo"), (std::vector<std::string>{"Ann", "Cid"}));
    EXPECT_EQ(bind(20, "Rome"), (std::vector<std::string>{"Bob", "Eve"}));
}

TEST_F(SqlSelect, ASelectSeesOnlyWholeRowsWhileAnotherProcessWrites) {
    constexpr int kRows = 300;
    const std::string folder = tmp.Dir();
    quorvane::testing::TChild child([folder](quorvane::testing::TChild& self) {
        TDataSession own;
        TDataDirectory& d = own.OpenDirectory("db", folder);
        TDataCursor c(d);
        c.SetTableName("people");
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        self.Tell('s');
        for (int i = 0; i < kRows; ++i) {
            c.InitRecord(r);
            PutStringField(r, c.Fields()[1], "Kid");
            PutIntegerField(r, c.Fields()[2], 50);
            PutStringField(r, c.Fields()[3], "Nowhere");
            c.AppendRecord(r, false);
        }
        return 0;
    });
    ASSERT_EQ(child.Hear(), 's');
    std::int64_t last = 0;
    for (int round = 0; round < 30; ++round) {
        auto s = Run("select count(*), sum(age), min(age), max(age) from people where age >= 50");
        const std::vector<std::string> rows = Rows(*s->ResultCursor());
        ASSERT_EQ(rows.size(), 1u);
        const std::int64_t count = std::stoll(rows[0].substr(0, rows[0].find('|')));
        // Every row counted is one the other process wrote whole.
        if (count > 0) {
            EXPECT_EQ(rows[0], std::to_string(count) + "|" + std::to_string(50 * count) + "|50|50");
        }
        auto names = Run("select name, city from people where age >= 50");
        for (const std::string& row : Rows(*names->ResultCursor())) ASSERT_EQ(row, "Kid|Nowhere");
        EXPECT_GE(count, last) << "committed rows do not vanish";
        last = count;
    }
    EXPECT_EQ(child.Wait(), 0);
    auto all = Run("select count(*) from people where age >= 50");
    EXPECT_EQ(Rows(*all->ResultCursor()), (std::vector<std::string>{std::to_string(kRows)}));
}

TEST_F(SqlSelect, IntoANamedTableKeepsIt) {
    {
        auto s = Run("select name, city into kept from people where city = 'Rome'");
        EXPECT_EQ(Rows(*s->ResultCursor()), (std::vector<std::string>{"Bob|Rome", "Eve|Rome"}));
    }
    EXPECT_EQ(Tables(tmp.Dir()), (std::vector<std::string>{"kept", "people"}));
    auto again = Run("select * from kept");
    EXPECT_EQ(Rows(*again->ResultCursor()), (std::vector<std::string>{"Bob|Rome", "Eve|Rome"}));
    again.reset();
    // An existing table is never overwritten, not even the query's own source.
    try {
        Run("select * into people from people");
        ADD_FAILURE() << "INTO an existing table";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_TABLEEXISTS);
    }
    auto people = Run("select name from people");
    EXPECT_EQ(people->ResultCursor()->GetRecordCount(), 6);
}

}  // namespace
}  // namespace reruzo
