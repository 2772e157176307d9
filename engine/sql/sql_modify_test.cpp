// INSERT, UPDATE and DELETE on tables whose rows the tests know: the grammar's
// messages, values and their conversions, every row changed exactly once whatever
// the change does to the cursor's order, the statement's own transaction with its
// intermediate commits as another session sees them on disk, abort through progress,
// rollback on errors, an outer transaction, BLOBs, and two processes at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/sql/sql_statement.h"
#include "engine/storage/field_text.h"
#include "engine/table/data_session.h"
#include "tests/support/engine_error.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TChild;

// t(id autoinc primary, k integer indexed, u integer unique, name char(20), d date,
// note memo); row i (from 1) has k = u = i and name "r<i>".
class SqlModify : public ::testing::Test {
protected:
    void SetUp() override { session.SetPrivateDir(privateDir.Dir()); }

    void MakeTable(int rows, const std::string& name = "t") {
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("k", kFieldInteger),
                    MakeFieldDesc("u", kFieldInteger), MakeFieldDesc("name", kFieldString, 20),
                    MakeFieldDesc("d", kFieldDate), MakeFieldDesc("note", kFieldBlob, 0, kSubMemo)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc byK;
        byK.Name = "byK";
        byK.FieldCount = 1;
        byK.FieldNumbers[0] = 2;
        TIndexDesc byU = byK;
        byU.Name = "byU";
        byU.FieldNumbers[0] = 3;
        byU.Unique = true;
        s.Secondaries = {byK, byU};
        TDataTable* t = nullptr;
        ASSERT_EQ(directory.CreateTable(name, s, t), 0);
        directory.CloseTable(t, false);
        TDataCursor c(directory);
        c.SetTableName(name);
        c.OpenCursor();
        std::vector<std::uint8_t> r(c.RecordSize());
        directory.StartTransaction();
        for (int i = 1; i <= rows; ++i) {
            c.InitRecord(r);
            PutIntegerField(r, c.Fields()[1], i);
            PutIntegerField(r, c.Fields()[2], i);
            PutStringField(r, c.Fields()[3], "r" + std::to_string(i));
            c.AppendRecord(r, false);
        }
        directory.Commit(true, false);
    }

    std::int32_t Exec(const std::string& text, TQueryStatement::TProgress progress = {},
                      const std::vector<TParamValue>& parameters = {}) {
        TQueryStatement s(directory, false, -1, std::move(progress));
        s.Prepare(text);
        if (!parameters.empty()) s.SetParameters(parameters);
        s.Execute();
        return s.rowCount;
    }

    // The text of "SQL error - ..." (or the whole message of another error).
    std::string Error(const std::string& text, const std::vector<TParamValue>& parameters = {}) {
        return quorvane::testing::SqlErrorOf([&] { Exec(text, {}, parameters); });
    }

    // A column of every record, in record order, as texts ("NULL" for NULL); read by
    // a session of its own, as another program would.
    std::vector<std::string> Column(const std::string& field, const std::string& table = "t") {
        TDataSession reader;
        TDataDirectory& d = reader.OpenDirectory("", dir.Dir());
        std::vector<std::string> values;
        {
            TDataCursor c(d);
            c.SetTableName(table);
            c.SetNaturalOrder(true);
            c.OpenCursor();
            const auto f = std::find_if(c.Fields().begin(), c.Fields().end(),
                                        [&](const TFieldDesc& x) { return x.Name == field; });
            EXPECT_NE(f, c.Fields().end()) << field;
            std::vector<std::uint8_t> r(c.RecordSize());
            c.SetToBegin();
            while (c.GetNextRecord(r) == 0) {
                if (f->FieldType == kFieldBlob) {
                    std::vector<std::uint8_t> bytes(c.GetBlobSize(r, f->FieldNo));
                    c.GetBlob(r, f->FieldNo, 0, bytes);
                    c.FreeBlob(r, f->FieldNo);
                    values.push_back(FieldIsNull(r, *f) ? "NULL" : std::string(bytes.begin(), bytes.end()));
                    continue;
                }
                values.push_back(FieldIsNull(r, *f) ? "NULL"
                                                    : FieldDataText(f->FieldType, FieldData(r, *f), TBooleanWords::Capitalised)
                                                          .value_or("?"));
            }
        }
        reader.CloseDirectory(d);
        return values;
    }

    std::int32_t DiskCount(const std::string& table = "t") { return static_cast<std::int32_t>(Column("id", table).size()); }

    quorvane::testing::TTempDir dir;
    quorvane::testing::TTempDir privateDir;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("", dir.Dir());
};

std::vector<std::string> Numbers(int from, int to, int step = 1) {
    std::vector<std::string> v;
    for (int i = from; i <= to; i += step) v.push_back(std::to_string(i));
    return v;
}

TEST_F(SqlModify, GrammarMessages) {
    MakeTable(3);
    const std::map<std::string, std::string> cases = {
        {"insert t values (1)", "INTO keyword expected, instead found 't'"},
        {"insert into", "Table name expected after INTO clause, instead found ''"},
        {"insert into memory (k) values (1)", "Table name expected after INTO keyword, instead found '('"},
        {"insert into t (k values (1)", "Right parentheses expected after list of table columns, instead found 'values'"},
        {"insert into t (k) values 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
        {"insert into t (k) values (1", "Right parentheses expected after list of values, instead found ''"},
        {"insert into t (k) (1)", "VALUES or SELECT  keyword expected, instead found '('"},
        {"insert into t (k) values (1) commit", "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
        {"insert into t values (1) commit interval x", "Integer value expected after INTERVAL keyword, instead found 'x'"},
        {"insert into t (k) values (1) junk", "End of INSERT statement expected, instead found 'junk'"},
        {"insert into t (k + 1) values (1)", "Column name expected in table column, instead found 'k + 1'"},
        {"insert into t (k) values (sum(k))", "Aggregate functions are not allowed in value expression"},
        {"update", "Table name expected, instead found ''"},
        {"update t as = 1", "Symbol or string expected after AS keyword, instead found '='"},
        {"update t k = 1", "SET keyword expected, instead found '='"},
        {"update t set x 1", "Assignment (=) operator expected after column name, instead found '1'"},
        {"update t set k = 1 where", "Unknown or unexpected symbol '' found in WHERE or JOIN clause"},
        {"update t set k = 1 from u", "The first source table specified in FROM clause must match the table being updated in "
                                      "the UPDATE statement"},
        {"update t x set k = 1 from t y", "The first source table specified in FROM clause must match the table being "
                                          "updated in the UPDATE statement"},
        {"update t set k = 1 from t full join t u on t.k = u.k",
         "Full outer joins are currently not supported in RERUZO SQL UPDATE statements"},
        {"update t set k = 1 junk junk", "End of UPDATE statement expected, instead found 'junk'"},
        {"delete t", "FROM keyword expected, instead found 't'"},
        {"delete from", "Table name expected after FROM keyword, instead found ''"},
        {"delete from t full join t u on t.k = u.k",
         "Full outer joins are currently not supported in RERUZO SQL DELETE statements"},
        {"delete from t where k = 1 noautoinc", "End of DELETE statement expected, instead found 'noautoinc'"},
    };
    for (const auto& [text, message] : cases) EXPECT_EQ(Error(text), message) << text;
    // A commit interval below one is refused before anything changes.
    for (const char* text : {"delete from t commit interval 0", "delete from t commit interval -5",
                             "delete from t commit interval 99999999999"}) {
        EXPECT_NE(Error(text).find("COMMIT INTERVAL must be a number of rows from 1 to 2147483647"), std::string::npos)
            << text;
    }
    EXPECT_EQ(DiskCount(), 3);
}

TEST_F(SqlModify, PreparationChecksColumnsAndConstantValues) {
    MakeTable(3);
    EXPECT_EQ(Error("insert into t (k, name) values (1)"), "The number of values must match the number of table columns");
    EXPECT_EQ(Error("insert into t (d) values ('2003-13-45')"),
              "Date, time, or timestamp expression expected, instead found '2003-13-45' in update values");
    EXPECT_EQ(Error("insert into t (k) values ('abc')"), "Type mismatch between column 'k' and constant 'abc' in update values");
    EXPECT_EQ(Error("update t set zz = 1"), "Invalid column name 'zz' or table correlation name '' specified in table columns");
    EXPECT_EQ(Error("update t set q.k = 1"), "Invalid column name 'k' or table correlation name 'q' specified in table columns");
    // A column of another table of FROM has no place in the target's records.
    MakeTable(1, "u");
    EXPECT_EQ(Error("update t set u.k = 1 from t, u"),
              "Invalid column name 'k' or table correlation name 'u' specified in table columns");
    EXPECT_EQ(Error("update t set k = 1 where zz = 2"),
              "Invalid column name 'zz' or table correlation name '' specified in WHERE or JOIN clause");
    EXPECT_EQ(Error("update t set k = 1 where k + 1"), "WHERE or JOIN clause must be a boolean expression");
    // The session hears of each change statement as it is prepared, with its code.
    std::vector<int> codes;
    session.StatementCallback = [&](TDataDirectory& d, int code) {
        EXPECT_EQ(&d, &directory);
        codes.push_back(code);
    };
    Exec("insert into t (k, u) values (4, 4)");
    Exec("update t set k = 5 where k = 4");
    Exec("delete from t where k = 5");
    Exec("select * from t");
    session.StatementCallback = nullptr;
    EXPECT_EQ(codes, (std::vector<int>{1, 2, 3}));
    // Accepted: the updated table written again first in FROM, with or without its name.
    EXPECT_EQ(Exec("update t set k = 1 from t where k = 2"), 1);
    EXPECT_EQ(Exec("update t as x set k = 7 from t x where x.k = 1"), 2);
    EXPECT_EQ(Column("k"), (std::vector<std::string>{"7", "7", "3"}));
    EXPECT_EQ(Column("id"), Numbers(1, 3));
}

TEST_F(SqlModify, InsertValuesStoresConvertedValuesAndDefaults) {
    MakeTable(0);
    // A quoted string is the text typed, even when it spells a column's name.
    EXPECT_EQ(Exec("insert into t (k, u, name, d) values (1, -2, 'name', '2003-01-02')"), 1);
    EXPECT_EQ(Exec("insert into t values (0, 2, 3, 'k', NULL, 'memo text')"), 1);
    EXPECT_EQ(Exec("insert into t (u, k) values (3 * 10, 2.7)"), 1);  // CAST cuts the fraction off
    EXPECT_EQ(Column("id"), Numbers(1, 3));  // the auto-increment field counts on
    EXPECT_EQ(Column("k"), (std::vector<std::string>{"1", "2", "2"}));
    EXPECT_EQ(Column("u"), (std::vector<std::string>{"-2", "3", "30"}));
    EXPECT_EQ(Column("name"), (std::vector<std::string>{"name", "k", "NULL"}));
    EXPECT_EQ(Column("d"), (std::vector<std::string>{"2003-01-02", "NULL", "NULL"}));
    EXPECT_EQ(Column("note"), (std::vector<std::string>{"NULL", "memo text", "NULL"}));
    // Parameters take their values at execution and are converted there; a text that
    // does not convert is refused with the value named.
    EXPECT_EQ(Exec("insert into t (k, u, name) values (?, ?, ?)", {},
                   {StringParam("41"), IntegerParam(40), IntegerParam(12345)}),
              1);
    EXPECT_EQ(Column("k").back(), "41");
    EXPECT_EQ(Column("name").back(), "12345");
    EXPECT_EQ(Error("insert into t (k, u) values (?, 50)", {StringParam("forty")}),
              "Type mismatch between column k and constant value ? in INSERT statement");
    // The unique index refuses a duplicate; nothing is appended.
    const std::string duplicate = Error("insert into t (k, u) values (9, 30)");
    EXPECT_NE(duplicate.find("Duplicate key found in the index 'byU' of the table 't'"), std::string::npos) << duplicate;
    EXPECT_EQ(DiskCount(), 4);
}

TEST_F(SqlModify, UpdateChangesEveryQualifyingRowExactlyOnce) {
    MakeTable(1200);
    // The key of an index moves every row along that index's order.
    EXPECT_EQ(Exec("update t set k = k + 1"), 1200);
    EXPECT_EQ(Column("k"), Numbers(2, 1201));
    // Rows move within the range the filter selects (from 2..801 to 402..1201, which
    // already holds rows the filter chose).
    EXPECT_EQ(Exec("update t set k = k + 400 where k between 2 and 801"), 800);
    std::vector<std::string> expected = Numbers(402, 1201);
    const std::vector<std::string> rest = Numbers(802, 1201);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(Column("k"), expected);
    // The primary key moves every row to the end of the primary index.
    EXPECT_EQ(Exec("update t set id = id + 5000 noautoinc"), 1200);
    EXPECT_EQ(Column("id"), Numbers(5001, 6200));
    // A row moved into the filter's range is not taken again.
    EXPECT_EQ(Exec("update t set u = u + 1200 where u <= 1200"), 1200);
    EXPECT_EQ(Column("u"), Numbers(1201, 2400));
    // Every value reads the row as it was: a swap swaps.
    EXPECT_EQ(Exec("update t set k = u, u = k where id = 5001"), 1);
    EXPECT_EQ(Column("k").front(), "1201");
    EXPECT_EQ(Column("u").front(), "402");
}

TEST_F(SqlModify, DeleteRemovesExactlyTheRowsThatQualified) {
    MakeTable(1000);
    EXPECT_EQ(Exec("delete from t where k > 900 or name like 'r1%'"), 100 + 111);
    EXPECT_EQ(DiskCount(), 1000 - 211);
    // A condition between tables is tested per row of the join.
    MakeTable(10, "u");
    EXPECT_EQ(Exec("update u set name = 'keep' where k <= 5"), 5);
    EXPECT_EQ(Exec("delete from t join u on t.k = u.k where u.name = 'keep'"), 4);  // k 1 went with 'r1%'
    EXPECT_EQ(Column("k").front(), "6");
    EXPECT_EQ(Exec("delete from t where k in (select k from u where name <> 'keep')"), 4);  // and k 10
    EXPECT_EQ(DiskCount(), 1000 - 211 - 4 - 4);
    EXPECT_EQ(Exec("delete from t"), 1000 - 219);
    EXPECT_EQ(DiskCount(), 0);
    EXPECT_EQ(Exec("delete from t"), 0);
}

TEST_F(SqlModify, UpdateFromJoinedTablesChangesEachTargetRowOnce) {
    MakeTable(5);
    MakeTable(3, "u");
    // u holds k 1..3 twice over once it gets its copies: each t row still changes once,
    // with the first joined row's values.
    EXPECT_EQ(Exec("insert into u (k, u, name) select k, u + 100, 'second' from u"), 3);
    EXPECT_EQ(Exec("update t set name = x.name, u = t.u * 10 from t join u x on t.k = x.k"), 3);
    EXPECT_EQ(Column("name"), (std::vector<std::string>{"r1", "r2", "r3", "r4", "r5"}));
    EXPECT_EQ(Column("u"), (std::vector<std::string>{"10", "20", "30", "4", "5"}));
    // A LEFT JOIN keeps the rows without a partner, whose columns read NULL.
    EXPECT_EQ(Exec("update t set name = x.name from t left join u x on t.k = x.k and x.u > 100"), 5);
    EXPECT_EQ(Column("name"), (std::vector<std::string>{"second", "second", "second", "NULL", "NULL"}));
    EXPECT_NE(Error("update t set k = 1 from t right join u on t.k = u.k").find("Right outer joins"), std::string::npos);
}

TEST_F(SqlModify, InsertSelectCopiesLiveAndCopiedResultsAndItsOwnRows) {
    MakeTable(50);
    MakeTable(0, "u");
    // A live result: the columns are evaluated on the source rows.
    EXPECT_EQ(Exec("insert into u select * from t where k <= 10"), 10);
    EXPECT_EQ(Column("k", "u"), Numbers(1, 10));
    EXPECT_EQ(Column("id", "u"), Numbers(1, 10));
    // A copied result (ORDER BY without an index): paired by position.
    EXPECT_EQ(Exec("insert into u (k, u, name) select u + 1000, k + 1000, name from t where k > 45 order by name desc"), 5);
    EXPECT_EQ(Column("name", "u").back(), "r46");
    // Into itself: the rows read are those that existed when the statement began.
    EXPECT_EQ(Exec("insert into t (k, u, name) select k, u + 50, name from t"), 50);
    EXPECT_EQ(DiskCount(), 100);
    EXPECT_EQ(Column("u"), Numbers(1, 100));
    // NOAUTOINC keeps the identifiers: into itself they collide, and nothing stays.
    const std::string collision = Error("insert into t select * from t noautoinc");
    EXPECT_NE(collision.find("Duplicate key"), std::string::npos) << collision;
    EXPECT_EQ(DiskCount(), 100);
    EXPECT_EQ(Error("insert into u select k from t"), "The number of values must match the number of table columns");
}

TEST_F(SqlModify, NullsAndBlobsThroughInsertAndUpdate) {
    MakeTable(3);
    EXPECT_EQ(Exec("update t set note = 'first note' where k = 1"), 1);
    EXPECT_EQ(Exec("update t set note = note + ', more', d = NULL, name = NULL where k <= 2"), 2);
    EXPECT_EQ(Column("note"), (std::vector<std::string>{"first note, more", ", more", "NULL"}));
    EXPECT_EQ(Column("name"), (std::vector<std::string>{"NULL", "NULL", "r3"}));
    // A BLOB is copied, never shared: deleting the source leaves the copy whole.
    EXPECT_EQ(Exec("insert into t (k, u, note) select k + 10, u + 10, note from t where k = 1"), 1);
    EXPECT_EQ(Exec("delete from t where k = 1"), 1);
    EXPECT_EQ(Column("note"), (std::vector<std::string>{", more", "NULL", "first note, more"}));
    EXPECT_EQ(Exec("update t set note = NULL"), 3);
    EXPECT_EQ(Column("note"), (std::vector<std::string>{"NULL", "NULL", "NULL"}));
    std::string big(100000, 'x');
    EXPECT_EQ(Exec("update t set note = ? where k = 2", {}, {StringParam(big)}), 1);
    EXPECT_EQ(Column("note").front(), big);
}

TEST_F(SqlModify, IntermediateCommitsReachTheDiskEveryInterval) {
    MakeTable(100);
    // Another session counts the records on disk at every progress report (every 5 rows).
    std::vector<std::pair<int, int>> seen;  // percent, records on disk
    const std::int32_t rows = Exec("delete from t commit interval 10 flush", [&](int percent) {
        seen.emplace_back(percent, DiskCount());
        return true;
    });
    EXPECT_EQ(rows, 100);
    ASSERT_FALSE(seen.empty());
    for (const auto& [percent, onDisk] : seen) {
        if (percent == 100) continue;
        // Before row `percent` is deleted, (percent - 1) rows are done, whole tens of them committed.
        EXPECT_EQ(onDisk, 100 - (percent - 1) / 10 * 10) << percent;
    }
    EXPECT_EQ(DiskCount(), 0);
}

TEST_F(SqlModify, DefaultCommitIntervalFollowsTheRecordSize) {
    MakeTable(1300);
    TDataCursor c(directory);
    c.SetTableName("t");
    c.OpenCursor();
    const std::int32_t interval = std::min(32768 / c.RecordSize(), 8192);
    c.CloseCursor();
    std::vector<int> onDisk;
    Exec("update t set k = -k", [&](int) {
        const std::vector<std::string> k = Column("k");
        onDisk.push_back(static_cast<int>(std::count_if(k.begin(), k.end(), [](const std::string& v) { return v[0] == '-'; })));
        return true;
    });
    ASSERT_FALSE(onDisk.empty());
    for (int n : onDisk) EXPECT_EQ(n % interval, 0) << n;
    EXPECT_GT(*std::max_element(onDisk.begin(), onDisk.end()), 0);
    EXPECT_EQ(Column("k"), [] {
        std::vector<std::string> v;
        for (int i = 1; i <= 1300; ++i) v.push_back(std::to_string(-i));
        return v;
    }());
}

TEST_F(SqlModify, AbortThroughProgressKeepsTheRowsDoneAndCommitsThem) {
    MakeTable(200);
    int calls = 0;
    const std::int32_t rows = Exec("update t set name = 'done' commit interval 7", [&](int percent) {
        ++calls;
        return percent < 50;
    });
    // The stop comes at the report before row 99 (99 of 200 rounds to 50 %): 98 rows
    // were updated, and all of them committed.
    EXPECT_EQ(rows, 98);
    const std::vector<std::string> names = Column("name");
    EXPECT_EQ(std::count(names.begin(), names.end(), "done"), 98);
    EXPECT_EQ(names[97], "done");
    EXPECT_EQ(names[98], "r99");
    EXPECT_GT(calls, 1);
}

TEST_F(SqlModify, AnErrorRollsBackToTheLastIntermediateCommit) {
    MakeTable(100);
    // Row 60 would take u = 1000, which row 1 already took: a key violation after 59
    // rows, with a commit after every 25 of them.
    EXPECT_EQ(Exec("update t set u = 1000 where k = 1"), 1);
    const std::string message = Error("update t set name = 'x', u = k + 940 where k > 1 commit interval 25");
    EXPECT_NE(message.find("Duplicate key found in the index 'byU' of the table 't'"), std::string::npos) << message;
    const std::vector<std::string> names = Column("name");
    EXPECT_EQ(std::count(names.begin(), names.end(), "x"), 50);
    EXPECT_EQ(names[50], "x");
    EXPECT_EQ(names[51], "r52");
    // The indexes agree with the records: the rolled-back keys are gone from them.
    EXPECT_EQ(Exec("delete from t where u between 992 and 999"), 0);
    EXPECT_EQ(Exec("delete from t where u between 942 and 991"), 50);
    // A required field left NULL part way: the same.
    TTableStructure required;
    required.Fields = {MakeFieldDesc("n", kFieldInteger), MakeFieldDesc("s", kFieldString, 10)};
    required.Fields[1].Required = 1;
    TDataTable* created = nullptr;
    ASSERT_EQ(directory.CreateTable("req", required, created), 0);
    directory.CloseTable(created, false);
    EXPECT_EQ(Exec("insert into req select k, name from t where k > 51"), 49);
    const std::string missing = Error("update req set s = if(n < 72 then 'a' else NULL) commit interval 8");
    EXPECT_NE(missing.find("A value must be provided for the field 's' in the table 'req'"), std::string::npos) << missing;
    const std::vector<std::string> s20 = Column("s", "req");
    EXPECT_EQ(std::count(s20.begin(), s20.end(), "a"), 16);
    // Without intermediate commits, nothing at all stays.
    EXPECT_NE(Error("update t set name = 'y', u = 1000 where k > 51").find("Duplicate key"), std::string::npos);
    const std::vector<std::string> after = Column("name");
    EXPECT_EQ(std::count(after.begin(), after.end(), "y"), 0);
}

TEST_F(SqlModify, ARecordLockedElsewhereStopsTheUpdateWithItsTable) {
    MakeTable(100);
    session.SetLockRetryCount(2);
    session.SetLockWaitTime(5);
    // Another process edits record 60 and holds its lock.
    TChild holder([this](TChild& me) {
        TDataSession own;
        TDataDirectory& d = own.OpenDirectory("", dir.Dir());
        TDataCursor c(d);
        c.SetTableName("t");
        c.SetNaturalOrder(true);
        c.OpenCursor();
        c.SetToRecNo(60);
        std::vector<std::uint8_t> r(c.RecordSize());
        if (c.GetCurRecord(r, false) != 0 || c.GetCurRecord(r, true) != 0) return 1;
        me.Tell('L');
        me.Await();
        c.WriteUnlockRecord(0);
        return 0;
    });
    ASSERT_EQ(holder.Hear(), 'L');
    const std::string message = Error("update t set name = 'x' commit interval 25");
    EXPECT_NE(message.find("Record in the table 't' is in use by another user"), std::string::npos) << message;
    const std::vector<std::string> names = Column("name");
    EXPECT_EQ(std::count(names.begin(), names.end(), "x"), 50);
    EXPECT_EQ(names[49], "x");
    EXPECT_EQ(names[50], "r51");
    holder.Say('g');
    EXPECT_EQ(holder.Wait(), 0);
    // Once the record is free the same statement runs through.
    EXPECT_EQ(Exec("update t set name = 'x' commit interval 25"), 100);
}

TEST_F(SqlModify, AnOuterTransactionIsTheCallersToCommitOrRollBack) {
    MakeTable(30);
    directory.StartTransaction();
    EXPECT_EQ(Exec("update t set name = 'tx'"), 30);
    EXPECT_EQ(Exec("delete from t where k > 20"), 10);
    EXPECT_TRUE(directory.InTransaction());
    EXPECT_EQ(DiskCount(), 30);  // nothing reached the disk
    directory.Rollback();
    EXPECT_EQ(DiskCount(), 30);
    EXPECT_EQ(Column("name").front(), "r1");
    // An error inside the caller's transaction rolls nothing back by itself.
    directory.StartTransaction();
    EXPECT_EQ(Exec("update t set name = 'kept' where k <= 3"), 3);
    EXPECT_NE(Error("insert into t (k, u) values (1, 1)").find("Duplicate key"), std::string::npos);
    directory.Commit(true, false);
    EXPECT_EQ(Column("name")[2], "kept");
    // With INTERVAL the statement commits its rows inside the caller's transaction.
    directory.StartTransaction();
    EXPECT_EQ(Exec("delete from t where k > 10 commit interval 5"), 20);
    directory.Rollback();
    EXPECT_EQ(DiskCount(), 10);
}

TEST_F(SqlModify, TwoProcessesUpdatingTheSameRowsLoseNoUpdate) {
    MakeTable(200);
    session.SetLockRetryCount(255);
    constexpr int kStatements = 15;
    auto worker = [this](TChild&) {
        TDataSession own;
        own.SetPrivateDir(privateDir.Dir());
        own.SetLockRetryCount(20);
        own.SetLockWaitTime(10);
        TDataDirectory& d = own.OpenDirectory("", dir.Dir());
        int done = 0;
        for (int i = 0; i < kStatements; ++i) {
            try {
                TQueryStatement s(d);
                s.Prepare("update t set k = k + 1 where u > 50 commit interval 1000");
                s.Execute();
                if (s.rowCount != 150) return 90;
                ++done;
            } catch (const ERERUZOEngineError& e) {
                if (e.EngineCode != RERUZO_LOCKTIMEOUT && e.EngineCode != RERUZO_RECLOCKFAILED) return 91;
            }
        }
        return done;
    };
    TChild first(worker), second(worker);
    const int a = first.Wait(), b = second.Wait();
    ASSERT_LE(a, kStatements);
    ASSERT_LE(b, kStatements);
    EXPECT_GT(a + b, 0);
    // Every statement that completed added one to each of its 150 rows, no more, no less.
    const std::vector<std::string> k = Column("k");
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(k[static_cast<std::size_t>(i)], std::to_string(i + 1 + (i >= 50 ? a + b : 0))) << i;
    }
}

}  // namespace
}  // namespace reruzo
