// Parsing SQL statements: what a SELECT fills in (tables, columns, joins, clauses),
// the exact message of every way a statement can be malformed, parameters, several
// statements in one text, and that a failed parse leaves no node behind.
#include "engine/sql/sql_statement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace reruzo {
namespace {

class SqlParse : public ::testing::Test {
protected:
    std::unique_ptr<TQueryStatement> Prepare(const std::string& text, bool requestLive = true) {
        auto s = std::make_unique<TQueryStatement>(directory, requestLive, 50);
        s->Parse(text);
        return s;
    }
    // The message a text is refused with, after "SQL error - "; "" when it parses.
    std::string Error(const std::string& text) {
        const std::int64_t nodes = LiveNodeCount();
        return quorvane::testing::SqlErrorOf([&] { Prepare(text); }, [&](const ERERUZOEngineError& e) {
            EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE) << text;
            EXPECT_EQ(LiveNodeCount(), nodes) << "nodes left behind by: " << text;
        });
    }

    quorvane::testing::TTempDir tmp;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("db", tmp.Dir());
};

TEST_F(SqlParse, TheSearchStatementOfThePrograms) {
    auto s = Prepare("select * from vrqinfo where title like '%text%' and parent<>-1");
    EXPECT_EQ(s->Kind(), skSelect);
    const TDataQuery& q = *s->MainQuery();
    ASSERT_EQ(q.resultFields.size(), 1u);
    EXPECT_EQ(q.resultFields[0].columnName, "*");
    EXPECT_FALSE(q.resultFields[0].isExpression);
    ASSERT_EQ(q.sourceTables.size(), 1u);
    EXPECT_EQ(q.sourceTables[0].tableName, "vrqinfo");
    EXPECT_EQ(q.sourceTables[0].correlationName, "vrqinfo");
    EXPECT_EQ(q.sourceTables[0].tableNumber, 1);
    EXPECT_EQ(PrintTree(q.where.get()), "(AND (LIKE title '%text%') (< > parent (- 1)))");
    EXPECT_TRUE(q.hasWhere);
    EXPECT_FALSE(q.distinct || q.hasGroupBy || q.hasOrderBy || q.hasHaving || q.hasSeveralTables);
    EXPECT_EQ(q.top, -1);
    EXPECT_TRUE(q.requestLive);
    EXPECT_EQ(q.maxRowCount, 50);
    EXPECT_EQ(s->Queries().size(), 1u);

    auto plain = Prepare("select * from vrqinfo;");
    EXPECT_EQ(plain->MainQuery()->where, nullptr);
    EXPECT_FALSE(plain->MoreStatements());
}

TEST_F(SqlParse, ColumnsAliasesAndCorrelationNames) {
    auto s = Prepare("SELECT DISTINCT title t, v.intro AS [the intro], sum(id), count(*) c, id + 1, "
                     "avg(id * 2) AS x.y FROM vrqinfo v");
    const TDataQuery& q = *s->MainQuery();
    EXPECT_TRUE(q.distinct);
    ASSERT_EQ(q.resultFields.size(), 6u);
    EXPECT_EQ(q.resultFields[0].columnName, "title");
    EXPECT_EQ(q.resultFields[0].alias, "t");
    EXPECT_EQ(q.resultFields[1].qualifier, "v");
    EXPECT_EQ(q.resultFields[1].columnName, "intro");
    EXPECT_EQ(q.resultFields[1].alias, "the intro");
    EXPECT_EQ(q.resultFields[2].aggregate, akSum);
    EXPECT_EQ(q.resultFields[2].columnName, "id");
    EXPECT_FALSE(q.resultFields[2].isExpression);
    EXPECT_EQ(q.resultFields[3].aggregate, akCount);
    EXPECT_EQ(q.resultFields[3].alias, "c");
    EXPECT_TRUE(q.resultFields[4].isExpression);
    EXPECT_EQ(q.resultFields[4].text, "id + 1");
    EXPECT_EQ(q.resultFields[5].aggregate, akAvg);
    EXPECT_TRUE(q.resultFields[5].isExpression) << "an aggregate over an expression";
    EXPECT_EQ(q.resultFields[5].alias, "y") << "the name after '.' replaces the alias";
    EXPECT_TRUE(q.hasExpressionColumns);
    EXPECT_EQ(q.sourceTables[0].correlationName, "v");

    auto path = Prepare("select a from 'data/people.dat' as p, MEMORY scratch");
    const TDataQuery& pq = *path->MainQuery();
    ASSERT_EQ(pq.sourceTables.size(), 2u);
    EXPECT_EQ(pq.sourceTables[0].tableName, "people");
    EXPECT_EQ(pq.sourceTables[0].directory, "data/");
    EXPECT_EQ(pq.sourceTables[0].correlationName, "p");
    EXPECT_TRUE(pq.sourceTables[1].memory);
    EXPECT_EQ(pq.sourceTables[1].directory, "Memory");
    EXPECT_EQ(pq.sourceTables[1].tableNumber, 2);
    EXPECT_TRUE(pq.hasSeveralTables);
    EXPECT_FALSE(pq.hasExpressionColumns);
}

TEST_F(SqlParse, JoinsAndTheWhereTree) {
    auto s = Prepare("select * from a inner join b on a.x = b.x left outer join c on c.y = b.y "
                     "right join d on d.z = a.z where a.k > 1 nojoinoptimize");
    const TDataQuery& q = *s->MainQuery();
    ASSERT_EQ(q.sourceTables.size(), 4u);
    // A right join's table goes to the front; the numbers keep the order written.
    EXPECT_EQ(q.sourceTables[0].tableName, "d");
    EXPECT_EQ(q.sourceTables[0].tableNumber, 4);
    EXPECT_EQ(q.sourceTables[1].tableName, "a");
    EXPECT_EQ(q.sourceTables[3].tableNumber, 3);
    ASSERT_EQ(q.joins.size(), 3u);
    EXPECT_EQ(q.joins[0].kind, jkInner);
    EXPECT_EQ(q.joins[0].tableNumber, 2);
    EXPECT_EQ(q.joins[1].kind, jkLeftOuter);
    EXPECT_EQ(q.joins[2].kind, jkRightOuter);
    EXPECT_EQ(q.joins[2].tableNumber, 4);
    EXPECT_EQ(PrintTree(q.joins[1].condition), "(= c.y b.y)");
    EXPECT_EQ(PrintTree(q.where.get()),
              "(AND (AND (AND (= a.x b.x) (= c.y b.y)) (= d.z a.z)) (> a.k 1))");
    EXPECT_TRUE(q.hasSeveralTables && q.hasWhere && q.noJoinOptimize);

    EXPECT_EQ(Error("select * from a full join b on a.x=b.x"),
              "Full outer joins are currently not supported in RERUZO SQL SELECT statements");
    EXPECT_EQ(Error("select * from a inner b on a.x=b.x"), "JOIN keyword expected after INNER keyword, instead found 'b'");
    EXPECT_EQ(Error("select * from a left outer b"), "JOIN keyword expected after LEFT or OUTER keyword, instead found 'b'");
    EXPECT_EQ(Error("select * from a right x"), "JOIN keyword expected after RIGHT or OUTER keyword, instead found 'x'");
    EXPECT_EQ(Error("select * from a join 7"), "Table name expected after JOIN keyword, instead found '7'");
    EXPECT_EQ(Error("select * from a join b where x"), "ON keyword expected in JOIN clause, instead found 'where'");
    EXPECT_EQ(Error("select * from a join b on a.x in (select x from c)"),
              "Sub-select queries are not allowed in WHERE or JOIN clause");
    EXPECT_EQ(Error("select * from a, b A"), "Duplicate table correlation name 'A' found in source tables");
}

TEST_F(SqlParse, TrailingClauses) {
    auto s = Prepare("select name, count(name) from t group by t.name, 1 having count(name) > 2 "
                     "order by 2 desc, name ascending nocase top 10 with locks "
                     "language 'German (Standard)' sort 'german phone book order' encrypted with 'pw'");
    const TDataQuery& q = *s->MainQuery();
    ASSERT_EQ(q.groupByFields.size(), 2u);
    EXPECT_EQ(q.groupByFields[0].qualifier, "t");
    EXPECT_EQ(q.groupByFields[0].columnName, "name");
    EXPECT_TRUE(q.groupByFields[1].byNumber);
    EXPECT_EQ(q.groupByFields[1].columnNumber, 1);
    EXPECT_EQ(PrintTree(q.having.get()), "(> (COUNT name) 2)");
    ASSERT_EQ(q.orderByFields.size(), 2u);
    EXPECT_EQ(q.orderByFields[0].columnNumber, 2);
    EXPECT_TRUE(q.orderByFields[0].descending);
    EXPECT_EQ(q.orderByFields[1].columnName, "name");
    EXPECT_FALSE(q.orderByFields[1].descending);
    EXPECT_TRUE(q.orderByNoCase);
    EXPECT_EQ(q.top, 10);
    EXPECT_TRUE(q.withLocks);
    EXPECT_TRUE(q.resultLanguageGiven);
    EXPECT_EQ(q.resultLanguage, 0x0407);
    EXPECT_TRUE(q.resultSortGiven);
    EXPECT_EQ(q.resultSort, 1);
    EXPECT_EQ(q.resultPassword, "pw");
    EXPECT_TRUE(q.resultPasswordGiven);

    EXPECT_EQ(Error("select * from t group name"), "BY keyword expected after GROUP keyword, instead found 'name'");
    EXPECT_EQ(Error("select * from t group by +"), "Column name or column number expected in GROUP BY clause, instead found '+'");
    EXPECT_EQ(Error("select * from t order x"), "BY keyword expected after ORDER keyword, instead found 'x'");
    EXPECT_EQ(Error("select * from t order by t."), "Column name or column number expected in ORDER BY clause, instead found ''");
    EXPECT_EQ(Error("select * from t top x"), "Integer value expected after TOP keyword, instead found 'x'");
    EXPECT_EQ(Error("select * from t top 1.5"), "Integer value expected after TOP keyword, instead found '1.5'");
    EXPECT_EQ(Error("select * from t with x"), "LOCKS keyword expected after WITH keyword, instead found 'x'");
    EXPECT_EQ(Error("select * from t language 'Klingon'"), "Invalid language constant 'Klingon' specified after LANGUAGE keyword");
    EXPECT_EQ(Error("select * from t language 'English (USA)' sort 'German Phone Book Order'"),
              "Invalid sort constant 'German Phone Book Order' specified after SORT keyword");
    EXPECT_EQ(Error("select * from t encrypted 'x'"), "WITH keyword expected after ENCRYPTED keyword, instead found 'x'");
    EXPECT_EQ(Error("select a, count(*) from t group by a having count(*) > 1"), "");
    EXPECT_EQ(Error("select a from t group by a having * > 1"), "* (all columns) symbol is not allowed in HAVING clause");
    EXPECT_EQ(Error("select a from t group by a having sum(*) > 1"),
              "* (all columns) symbol is not allowed in HAVING clause");
    EXPECT_EQ(Error("select * from t having sum(a) > 1 and a like 'x'"),
              "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause");
    // HAVING without GROUP BY is the preparation's business, not the parser's.
    EXPECT_EQ(Error("select * from t having x > 1"), "");
}

TEST_F(SqlParse, SelectListAndStatementMessages) {
    EXPECT_EQ(Error("select * from vrqinfo x y"), "End of SELECT statement expected, instead found 'y'");
    EXPECT_EQ(Error("select from t"), "Source column expression is empty");
    EXPECT_EQ(Error("select a, from t"), "Source column expression is empty");
    EXPECT_EQ(Error("select sum(x)+1 from t"), "Aggregate functions cannot be used within expressions");
    EXPECT_EQ(Error("select sum(max(x)) from t"), "Aggregate functions cannot be nested");
    EXPECT_EQ(Error("select ? from t"), "Parameters are not allowed in source column expression");
    EXPECT_EQ(Error("select a as 5 from t"), "Symbol or string expected after AS keyword, instead found '5'");
    EXPECT_EQ(Error("select a b.+ from t"), "Symbol or string expected after table correlation name, instead found '+'");
    EXPECT_EQ(Error("select a t"), "FROM keyword expected, instead found ''");
    EXPECT_EQ(Error("select a from 5"), "Table name expected after FROM keyword, instead found '5'");
    EXPECT_EQ(Error("select a into 5 from t"), "Result table name expected in INTO clause, instead found '5'");
    EXPECT_EQ(Error("select * from t where x in (select a into b from c)"),
              "The INTO clause can only be used with the master query");
    EXPECT_EQ(Error("select * from t where x in (select a from)"), "Table name expected after FROM keyword, instead found ')'");
    EXPECT_EQ(Error("select * from t union update"), "SELECT keyword expected, instead found 'update'");
    EXPECT_EQ(Error("grant all"),
              "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'grant'");
    EXPECT_EQ(Error("create view v"), "TABLE or INDEX keyword expected, instead found 'view'");
    EXPECT_EQ(Error("alter index i"), "TABLE keyword expected, instead found 'index'");
    EXPECT_EQ(Error("drop view v"), "TABLE or INDEX keyword expected, instead found 'view'");
    EXPECT_EQ(Prepare("drop table if exists t")->MainQuery()->kind, skDropTable);
    EXPECT_EQ(Prepare("create unique index i on t (a)")->MainQuery()->kind, skCreateIndex);

    auto into = Prepare("select a into memory from t");
    EXPECT_TRUE(into->MainQuery()->intoMemory);
    EXPECT_EQ(into->MainQuery()->intoTableName, "");
    EXPECT_FALSE(into->MainQuery()->requestLive) << "INTO turns request-live off";
    auto named = Prepare("select a into 'out/result' from t");
    EXPECT_EQ(named->MainQuery()->intoTableName, "out/result");
}

TEST_F(SqlParse, UnionsAndSubSelects) {
    auto s = Prepare("select a from t where a in (select b from u where c = ? order by 1) "
                     "union all select b from u union select c from v order by 1");
    ASSERT_EQ(s->Queries().size(), 4u);
    const TDataQuery& main = *s->MainQuery();
    const TDataQuery& sub = *s->Queries()[1];
    EXPECT_TRUE(sub.subSelect);
    EXPECT_TRUE(sub.requestLive);
    EXPECT_TRUE(sub.hasOrderBy) << "a sub-select reads the trailing clauses";
    EXPECT_EQ(PrintTree(sub.where.get()), "(= c ?)");
    EXPECT_EQ(main.unionKind, ukUnionAll);
    ASSERT_NE(main.unionQuery, nullptr);
    EXPECT_EQ(main.unionQuery, s->Queries()[2].get());
    EXPECT_FALSE(main.unionQuery->requestLive);
    EXPECT_EQ(main.unionQuery->unionKind, ukUnion);
    EXPECT_EQ(main.unionQuery->unionQuery, s->Queries()[3].get());
    EXPECT_FALSE(main.unionQuery->hasOrderBy) << "ORDER BY after a UNION belongs to the main query";
    EXPECT_TRUE(main.hasOrderBy);
    EXPECT_EQ(s->Parameters().size(), 1u);
}

TEST_F(SqlParse, ParametersTakeTheirValuesInOrder) {
    auto s = Prepare("select * from t where a = ? and b between ? and 3");
    ASSERT_EQ(s->Parameters().size(), 2u);
    TParamValue five{kFieldInteger, 0, std::vector<std::uint8_t>(4), false};
    PutLE<std::int32_t>(five.value.data(), 5);
    s->SetParameters({five, TParamValue{}});
    const TExpToken* a = s->Parameters()[0];
    EXPECT_EQ(a->dataType, kFieldInteger);
    EXPECT_FALSE(a->isNull);
    EXPECT_EQ(a->dataSize, 4u);
    EXPECT_EQ(GetLE<std::int32_t>(a->value.data()), 5);
    EXPECT_TRUE(s->Parameters()[1]->isNull);
    EXPECT_EQ(PrintTree(s->MainQuery()->where.get()), "(AND (= a ?) (BETWEEN b ? 3))") << "the nodes stay parameters";
    try {
        s->SetParameters({five, five, five});
        ADD_FAILURE() << "three values for two parameters";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE);
        EXPECT_NE(std::string(e.what()).find("SQL error - Internal parameter error"), std::string::npos) << e.what();
    }
}

TEST_F(SqlParse, SeveralStatementsOneAfterAnother) {
    auto s = Prepare("select a from t; select b from u;select c from v");
    EXPECT_EQ(s->MainQuery()->resultFields[0].columnName, "a");
    ASSERT_TRUE(s->MoreStatements());
    s->ParseNext();
    EXPECT_EQ(s->MainQuery()->resultFields[0].columnName, "b");
    EXPECT_EQ(s->Queries().size(), 1u) << "the statement before is freed";
    s->ParseNext();
    EXPECT_EQ(s->MainQuery()->sourceTables[0].tableName, "v");
    EXPECT_FALSE(s->MoreStatements());
}

TEST_F(SqlParse, DeepAndEnormousStatementsAreRefused) {
    const std::int64_t nodes = LiveNodeCount();
    std::string deep = "select * from t where " + std::string(5000, '(') + "1" + std::string(5000, ')');
    EXPECT_NE(Error(deep), "");
    std::string nested = "select a from t";
    for (int i = 0; i < 5000; ++i) nested = "select a from t where a in (" + nested + ")";
    EXPECT_NE(Error(nested), "");
    std::string wide = "select a from t where a in (";
    for (int i = 0; i < 20000; ++i) wide += std::to_string(i) + ",";
    wide += "0)";
    EXPECT_EQ(Error(wide), "");
    EXPECT_EQ(LiveNodeCount(), nodes);
}

TEST(SqlFuzzCorpus, EveryKeptInputParsesOrIsRefused) {
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVANE_SQL_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0);
        ++inputs;
    }
    EXPECT_GE(inputs, 7);
}

}  // namespace
}  // namespace reruzo
