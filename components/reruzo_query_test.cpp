// Tests of the query component on a small item table: the SQL lines and what a change
// of them does, ":name" parameters, a master supplying values, live and copied
// results, and the messages.
#include "components/reruzo_query.h"

#include <gtest/gtest.h>

#include "engine/table/data_session.h"
#include "tests/support/table_builder.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

// items(id autoinc, parent, title, num): (1, -1, Browser, 42), (2, 1, NULL, 42),
// (3, 1, Desktop, 7).
void WriteItems(const TTempDir& dir) {
    TTableBuilder file(dir.Dir(), "items",
                       {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("parent", kFieldInteger),
                        MakeFieldDesc("title", kFieldString, 40), MakeFieldDesc("num", kFieldInteger)});
    const char* titles[] = {"Browser", nullptr, "Desktop"};
    const int parents[] = {-1, 1, 1};
    const int nums[] = {42, 42, 7};
    for (int i = 0; i < 3; ++i) {
        auto r = file.BlankRecord();
        const auto& f = file.Fields();
        PutIntegerField(r, f[1], parents[i]);
        if (titles[i]) PutStringField(r, f[2], titles[i]);
        PutIntegerField(r, f[3], nums[i]);
        file.Append(r);
    }
    file.Finish();
}

struct QueryFixture : ::testing::Test {
    TTempDir dir;
    TTempDir privateDir;
    TRERUZODatabase db;
    TRERUZOQuery query;

    void SetUp() override {
        WriteItems(dir);
        TRERUZOSession::Default().SetPrivateDir(privateDir.Dir());
        db.SetDatabaseName("kbtest");
        db.SetDirectory(dir.Dir());
        query.SetDatabaseName("kbtest");
    }

    static std::vector<std::string> Titles(TRERUZODataSet& d) {
        std::vector<std::string> titles;
        for (d.First(); !d.Eof(); d.Next()) titles.push_back(d.FieldByName("title").AsString());
        return titles;
    }

    template <typename F>
    static std::string Message(F action) {
        try {
            action();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
};

TEST_F(QueryFixture, OpensOnTheResultAndAnyChangeOfTheLinesClosesIt) {
    query.SQL().Add("select * from items");
    query.Open();
    EXPECT_TRUE(query.Prepared());
    EXPECT_EQ(query.Fields().size(), 4u);
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Browser", "", "Desktop"}));
    EXPECT_EQ(db.UserCount(), 1);

    query.SQL().Add("where parent = 1 order by title desc");
    EXPECT_FALSE(query.Active());
    EXPECT_FALSE(query.Prepared());
    EXPECT_EQ(db.UserCount(), 0);
    query.Open();
    EXPECT_EQ(query.RecordCount(), 2);
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Desktop", ""}));

    // The dataset's own filter works on the result as on a table.
    query.SetFilter("num = 7");
    query.SetFiltered(true);
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Desktop"}));

    query.SQL().Clear();
    EXPECT_FALSE(query.Active());
    EXPECT_EQ(Message([&] { query.Open(); }), "No SQL statement available");
    query.SQL().Add("x");
    EXPECT_EQ(Message([&] { query.Open(); }), "No SQL statement available");
    EXPECT_FALSE(query.Active());
}

TEST_F(QueryFixture, NamedParametersBecomeMarkersAndKeepTheirValues) {
    query.SQL().Add("select title from items");
    query.SQL().Add("where (parent = :p or id = :P) and num = :num and title <> ':quoted' and [a:b] is null");
    ASSERT_EQ(query.Params().Count(), 2u);  // "p" and "P" are one parameter
    EXPECT_EQ(query.Params()[0].Name(), "p");
    EXPECT_EQ(query.Params()[1].Name(), "num");
    EXPECT_EQ(query.Text(),
              "select title from items\nwhere (parent = ? or id = ?) and num = ? and title <> ':quoted' and [a:b] is null");

    query.SQL().SetText("select title from items where (parent = :p or id = :P) and num = :num");
    EXPECT_EQ(Message([&] { query.Open(); }), "No value for parameter 'p'");
    EXPECT_FALSE(query.Active());
    EXPECT_EQ(db.UserCount(), 0);
    query.ParamByName("P").SetAsInteger(1);
    EXPECT_EQ(Message([&] { query.Open(); }), "No value for parameter 'num'");
    query.ParamByName("num").SetAsInteger(42);
    query.Open();
    // parent = 1 or id = 1, with num 42: rows 1 and 2.
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Browser", ""}));

    // A parameter that keeps its name keeps its value; a new one has none.
    query.SQL().SetText("select title from items where num = :num and parent = :other");
    EXPECT_TRUE(query.ParamByName("num").Bound());
    EXPECT_FALSE(query.ParamByName("other").Bound());
    EXPECT_EQ(Message([&] { query.ParamByName("p"); }), "Parameter 'p' not found");
    query.ParamByName("other").Clear();  // NULL: no row has parent = NULL
    query.Open();
    EXPECT_EQ(query.RecordCount(), 0);

    // A script of several statements goes to the engine unparsed.
    query.SQL().SetText("select title from items where id = :x; select 1 from items");
    EXPECT_EQ(query.Params().Count(), 0u);
    EXPECT_EQ(query.Text(), "select title from items where id = :x; select 1 from items");
    // Without ParamCheck the markers stay as written too.
    query.SetParamCheck(false);
    query.SQL().SetText("select title from items where id = :x");
    EXPECT_EQ(query.Params().Count(), 0u);
}

TEST_F(QueryFixture, AMasterGivesValuesAndMovingItRunsTheQueryAgain) {
    TRERUZOTable master;
    master.SetDatabaseName("kbtest");
    master.SetTableName("items");
    TDataSource source;
    source.SetDataSet(&master);
    master.Open();

    query.SQL().SetText("select title from items where id = :parent");
    query.SetDataSource(&source);
    master.Next();  // row 2, parent 1
    query.Open();
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Browser"}));
    master.First();  // parent -1: nothing
    EXPECT_TRUE(query.Active());
    EXPECT_EQ(query.RecordCount(), 0);
    // A value of its own wins over the master's.
    query.ParamByName("parent").SetAsInteger(3);
    query.Close();
    query.Open();
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Desktop"}));

    TDataSource own;
    own.SetDataSet(&query);
    EXPECT_EQ(Message([&] { query.SetDataSource(&own); }), "Circular data links are not allowed.");
    EXPECT_EQ(query.DataSource(), &source);
}

TEST_F(QueryFixture, OnlyALiveResultCanBeChangedAndOnlyWhenNotReadOnly) {
    query.SQL().SetText("select * from items where parent = 1");
    query.Open();
    EXPECT_FALSE(query.LiveResult());
    EXPECT_EQ(Message([&] { query.Edit(); }), "Cannot modify a read-only dataset.");
    EXPECT_EQ(Message([&] { query.SetRequestLive(true); }), "Cannot perform this operation on an open dataset");
    EXPECT_EQ(Message([&] { query.Prepare(); }), "Cannot perform this operation on an open dataset");
    query.Close();

    query.SetRequestLive(true);
    query.Open();
    ASSERT_TRUE(query.LiveResult());
    query.Last();
    query.Edit();
    query.FieldByName("title").SetAsString("Start page");
    query.Post();
    query.Close();
    TRERUZOTable table;
    table.SetDatabaseName("kbtest");
    table.SetTableName("items");
    table.Open();
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"Browser", "", "Start page"}));
    table.Close();

    query.SetReadOnly(true);
    query.Open();
    EXPECT_EQ(Message([&] { query.Delete(); }), "Cannot modify a read-only dataset.");
}

TEST_F(QueryFixture, EngineErrorsLeaveTheQueryClosedAndLimitsApply) {
    query.SQL().SetText("select nothing from items");
    try {
        query.Open();
        ADD_FAILURE() << "an unknown column opened";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_SQLPARSE);
    }
    EXPECT_FALSE(query.Active());
    EXPECT_FALSE(query.Prepared());
    EXPECT_EQ(db.UserCount(), 0);

    query.SQL().SetText("select title from items");
    query.SetMaxRowCount(2);
    int reports = 0;
    query.OnQueryProgress = [&](TRERUZOQuery& q, int percent, bool&) {
        EXPECT_EQ(&q, &query);
        EXPECT_GE(percent, 0);
        EXPECT_LE(percent, 100);
        ++reports;
    };
    query.Open();
    EXPECT_EQ(query.RecordCount(), 2);
    EXPECT_GT(reports, 0);
}

TEST_F(QueryFixture, ExecSqlRunsChangesAndCountsTheRowsAffected) {
    EXPECT_EQ(query.RowsAffected(), -1);
    query.SQL().SetText("update items set num = num + :step where parent = 1");
    query.ParamByName("step").SetAsInteger(100);
    int reports = 0;
    query.OnQueryProgress = [&](TRERUZOQuery&, int, bool&) { ++reports; };
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 2);
    EXPECT_FALSE(query.Active());
    EXPECT_GT(reports, 0);
    // Prepared once, run again with another value.
    EXPECT_TRUE(query.Prepared());
    query.ParamByName("step").SetAsInteger(1);
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 2);

    query.SQL().SetText("insert into items (parent, title, num) values (3, 'Taskbar', 1); delete from items where num = 42");
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 2);  // one inserted, one deleted
    EXPECT_FALSE(query.Prepared());

    query.SQL().SetText("select title, num from items order by num");
    query.Open();
    EXPECT_EQ(Titles(query), (std::vector<std::string>{"Taskbar", "Desktop", ""}));
    query.Last();
    EXPECT_EQ(query.FieldByName("num").AsInteger(), 143);
    query.Close();

    // A failed statement changes nothing and leaves no count.
    query.SQL().SetText("insert into items (title) values (1, 2)");
    EXPECT_EQ(Message([&] { query.ExecSQL(); }),
              "RERUZO Engine Error # 11949 SQL error - The number of values must match the number of table columns");
    EXPECT_EQ(query.RowsAffected(), -1);
    EXPECT_FALSE(query.Prepared());
    EXPECT_EQ(db.UserCount(), 0);
}

}  // namespace
}  // namespace reruzo
