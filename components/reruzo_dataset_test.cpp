// Tests of the table, session and database components reading real data files.
#include "components/reruzo_dataset.h"

#include <gtest/gtest.h>

#include "engine/storage/date_time.h"
#include "engine/table/data_session.h"
#include "tests/support/table_builder.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

TFieldDesc Column(const char* name, std::uint8_t type, std::uint8_t length = 0,
                  std::uint8_t sub = 0) {
    return MakeFieldDesc(name, type, length, sub);
}

// Writes a small item table: three rows, the second one NULL in "title".
void WriteItems(const TTempDir& dir, const char* table = "items") {
    TTableBuilder file(dir.Dir(), table,
                      {Column("id", kFieldInteger, 0, kSubAutoInc), Column("parent", kFieldInteger),
                       Column("title", kFieldString, 40), Column("flag", kFieldBoolean),
                       Column("born", kFieldDate), Column("at", kFieldTime),
                       Column("price", kFieldFloat, 0, kSubMoney), Column("num", kFieldString, 5)});
    const char* titles[] = {"Browser", nullptr, "Desktop"};
    for (int i = 0; i < 3; ++i) {
        auto r = file.BlankRecord();
        const auto& f = file.Fields();
        PutIntegerField(r, f[1], i == 0 ? -1 : 1);
        if (titles[i]) PutStringField(r, f[2], titles[i]);
        PutBooleanField(r, f[3], i % 2);
        PutIntegerField(r, f[4], DateToDayNumber({2004, 8, 25}));
        PutIntegerField(r, f[5], TimeToMilliseconds({14, 5, 0, 0}));
        PutFloatField(r, f[6], 2.5);
        PutStringField(r, f[7], i == 2 ? "1a2" : "42");
        file.Append(r);
    }
    file.Finish();
}

struct TableFixture : ::testing::Test {
    TTempDir dir;
    TRERUZODatabase db;
    TRERUZOTable table;
    void SetUp() override {
        WriteItems(dir);
        db.SetDatabaseName("kbtest");
        db.SetDirectory(dir.Dir());
        table.SetDatabaseName("kbtest");
        table.SetTableName("items");
    }
};

TEST_F(TableFixture, ReadsRowsInOrderWithTypedFields) {
    table.Open();
    EXPECT_TRUE(table.Active());
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(db.UserCount(), 1);
    ASSERT_EQ(table.Fields().size(), 8u);
    EXPECT_EQ(table.FieldDefs()[0].DataType, TFieldType::ftAutoInc);
    EXPECT_EQ(table.FieldDefs()[2].DataType, TFieldType::ftString);
    EXPECT_EQ(table.FieldDefs()[2].Size, 40);
    EXPECT_EQ(table.FieldDefs()[6].DataType, TFieldType::ftCurrency);

    std::vector<std::string> titles;
    for (table.First(); !table.Eof(); table.Next()) titles.push_back(table.FieldByName("title").AsString());
    EXPECT_EQ(titles, (std::vector<std::string>{"Browser", "", "Desktop"}));
    EXPECT_EQ(table.RecordCount(), 3);

    table.First();
    EXPECT_EQ(table.FieldByName("ID").AsInteger(), 1);  // names ignore letter case
    EXPECT_EQ(table.FieldByName("parent").AsInteger(), -1);
    EXPECT_EQ(table.FieldByName("parent").AsString(), "-1");
    EXPECT_EQ(table.FieldByName("flag").AsString(), "False");
    EXPECT_EQ(table.FieldByName("born").AsString(), "2004-08-25");
    EXPECT_EQ(table.FieldByName("at").AsString(), "02:05 PM");
    EXPECT_EQ(table.FieldByName("price").AsString(), "2.5");
    EXPECT_EQ(table.FieldByName("num").AsInteger(), 42);
    EXPECT_EQ(std::get<std::int64_t>(table.FieldValues("parent")), -1);
    EXPECT_EQ(std::get<std::string>(table.FieldValues("title")), "Browser");

    table.Next();
    EXPECT_TRUE(table.FieldByName("title").IsNull());
    EXPECT_EQ(table.FieldByName("title").AsString(), "");
    EXPECT_TRUE(IsNullValue(table.FieldValues("title")));
    EXPECT_EQ(table.FieldByName("flag").AsString(), "True");

    table.Next();
    try {
        table.FieldByName("num").AsInteger();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "'1a2' is not a valid integer value");
    }
    table.Next();
    EXPECT_TRUE(table.Eof());
}

TEST_F(TableFixture, UnknownFieldAndMissingNames) {
    table.Open();
    try {
        table.FieldByName("nope");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Field 'nope' not found");
    }
    table.Close();
    table.SetTableName("");
    try {
        table.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Missing table name.");
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(db.UserCount(), 0);
}

TEST_F(TableFixture, MissingTableLeavesTheComponentInactive) {
    table.SetTableName("vrqinfo");
    try {
        table.Open();
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_OSENOENT);
        EXPECT_STREQ(e.what(), "RERUZO Engine Error # 11010 Table 'vrqinfo' does not exist");
    }
    EXPECT_FALSE(table.Active());
    EXPECT_TRUE(table.Fields().empty());
}

TEST_F(TableFixture, DeletedSlotsAreSkippedAndBookmarksFindRows) {
    auto bytes = dir.Read("items.DAT");
    const std::size_t recordSize = bytes[21] | bytes[22] << 8;
    bytes[127 + 8 * 768 + recordSize] = 1;  // slot 2 deleted
    dir.Write("items.DAT", bytes);
    table.Open();  // no index file: it is made again and the rows come in natural order
    EXPECT_EQ(table.RecordCount(), 2);
    const auto first = table.GetBookmark();
    table.Next();
    EXPECT_EQ(table.RecNo(), 2);
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
    EXPECT_EQ(table.GetBookmark(), (std::vector<std::uint8_t>{3, 0, 0, 0}));  // slot 3
    EXPECT_TRUE(table.GotoBookmark(first));
    EXPECT_EQ(table.FieldByName("title").AsString(), "Browser");
    EXPECT_FALSE(table.GotoBookmark({2, 0, 0, 0}));  // the deleted slot: the next row instead
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
    table.Prior();
    EXPECT_EQ(table.FieldByName("title").AsString(), "Browser");
    table.Prior();
    EXPECT_TRUE(table.Bof());
    table.Last();
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
}

TEST_F(TableFixture, OpeningTwiceDoesNothingAndSettingsNeedAClosedTable) {
    table.Open();
    table.Next();
    table.Open();  // no reopen: still on the second row
    EXPECT_EQ(table.RecNo(), 2);
    try {
        table.SetTableName("other");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an open dataset");
    }
    EXPECT_EQ(table.EngineVersion(), "3.01");
    table.Close();
    table.Close();
    EXPECT_FALSE(table.Active());
}

TEST_F(TableFixture, DatabaseRulesAndClosingClosesDatasets) {
    table.Open();
    try {
        db.SetDirectory("/elsewhere/");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an open database.");
    }
    db.Close();
    EXPECT_FALSE(table.Active());
    EXPECT_NO_THROW(db.SetDirectory(dir.Dir()));

    TRERUZODatabase other;
    try {
        other.SetDatabaseName("C:\\data");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Database name C:\\data is not valid.");
    }
    try {
        other.SetDatabaseName("KBTEST");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Database name KBTEST already exists.");
    }
    try {
        other.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Database name is missing.");
    }
}

std::vector<std::string> Titles(TRERUZOTable& t) {
    std::vector<std::string> titles;
    for (t.First(); !t.Eof(); t.Next()) titles.push_back(t.FieldByName("title").AsString());
    return titles;
}

TEST_F(TableFixture, FilterTextAndSwitchFollowTheirSequences) {
    // Set while closed: made at the next open.
    table.SetFilter("parent = 1");
    table.SetFiltered(true);
    table.Open();
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"", "Desktop"}));
    EXPECT_EQ(table.RecordCount(), 2);
    ASSERT_EQ(table.Cursor()->Filters().size(), 1u);
    const TFilter* made = table.Cursor()->Filters().front().get();

    // The same text and options make no new filter, but a filtered dataset moves to
    // its first row.
    table.Last();
    table.SetFilter("parent = 1");
    EXPECT_EQ(table.Cursor()->Filters().front().get(), made);
    EXPECT_TRUE(table.Bof());
    EXPECT_EQ(table.FieldByName("title").AsString(), "");

    // An invalid text fails with the engine's message and keeps the filter in force.
    try {
        table.SetFilter("parent = = 1");
        ADD_FAILURE() << "accepted";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_INVALIDFILTER);
        EXPECT_NE(std::string(e.what()).find("Filter error for the table 'items' - "), std::string::npos) << e.what();
    }
    EXPECT_EQ(table.Filter(), "parent = 1");
    EXPECT_EQ(table.RecordCount(), 2);

    // Case-insensitive comparison through the options.
    table.SetFilter("title = 'desktop'");
    EXPECT_EQ(table.RecordCount(), 0);
    table.SetFilterOptions(foCaseInsensitive);
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"Desktop"}));

    // Switching off shows every row; setting the same value again moves to the first.
    table.SetFiltered(false);
    EXPECT_EQ(table.RecordCount(), 3);
    table.Last();
    table.SetFiltered(false);
    EXPECT_EQ(table.FieldByName("title").AsString(), "Browser");
    // Unfiltered, a new text does not move the dataset.
    table.Last();
    table.SetFilter("parent = -1");
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
    table.SetFiltered(true);
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"Browser"}));
    // The empty text drops the expression filter: all rows show.
    table.SetFilter("");
    EXPECT_TRUE(table.Cursor()->Filters().empty());
    EXPECT_EQ(table.RecordCount(), 3);
}

TEST_F(TableFixture, OnFilterRecordSeesEachRowAsTheCurrentOne) {
    std::vector<std::string> seen;
    table.SetOnFilterRecord([&](TRERUZODataSet& d, bool& accept) {
        EXPECT_EQ(d.State(), TDataSetState::dsFilter);
        seen.push_back(d.FieldByName("title").AsString());
        accept = d.FieldByName("num").AsString() == "42";
    });
    table.Open();
    EXPECT_EQ(table.RecordCount(), 3);  // not filtered yet
    EXPECT_TRUE(seen.empty());
    table.SetFilter("parent = 1");
    table.SetFiltered(true);
    // Evaluated last, the handler sees only what the expression let through.
    EXPECT_EQ(seen, (std::vector<std::string>{"", "Desktop"}));
    EXPECT_EQ(Titles(table), (std::vector<std::string>{""}));
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    table.SetOnFilterRecord(nullptr);
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"", "Desktop"}));
}

TEST_F(TableFixture, EditFieldWriteAndMovingOnStoresTheRow) {
    table.Open();
    EXPECT_THROW(table.FieldByName("title").SetAsString("x"), EDatabaseError);  // browse state
    try {
        table.FieldByName("title").SetAsString("x");
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Table is not in edit or insert mode.");
    }
    table.First();
    table.Edit();
    EXPECT_EQ(table.State(), TDataSetState::dsEdit);
    table.FieldByName("title").SetAsString(std::string(60, 'w'));  // cut to the field's 40
    table.FieldByName("parent").SetAsString("0x10");
    EXPECT_THROW(table.FieldByName("parent").SetAsString("ten"), EDatabaseError);
    EXPECT_THROW(table.FieldByName("id").SetAsInteger(5), EDatabaseError);  // the auto-increment field
    table.Next();  // stores the row
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    table.Close();
    table.Open();
    EXPECT_EQ(table.FieldByName("title").AsString(), std::string(40, 'w'));
    EXPECT_EQ(table.FieldByName("parent").AsInteger(), 16);
    EXPECT_EQ(table.RecordCount(), 3);

    // Edit without a change and moving on: nothing written, the lock is gone.
    table.Edit();
    table.Next();
    EXPECT_EQ(table.State(), TDataSetState::dsBrowse);
    EXPECT_TRUE(table.DataTable()->LockedRecords().Members().empty());

    // A second dataset cannot edit a row the first one holds.
    TRERUZOTable other;
    other.SetDatabaseName("kbtest");
    other.SetTableName("items");
    other.Open();
    table.First();
    table.Edit();
    other.First();
    try {
        other.Edit();
        ADD_FAILURE() << "two editors of one row";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_RECLOCKFAILED);
    }
    EXPECT_EQ(other.State(), TDataSetState::dsBrowse);
    table.Cancel();
    other.Edit();
    other.FieldByName("num").SetAsString("7");
    other.Post();
    // The first dataset's copy is stale now: editing it again fails and says why.
    EXPECT_THROW(table.Edit(), ERERUZOEngineError);
    table.First();
    table.Edit();
    EXPECT_EQ(table.FieldByName("num").AsString(), "7");
    table.Cancel();
}

TEST_F(TableFixture, InsertPostCancelAndDelete) {
    table.Open();
    table.Insert();
    EXPECT_EQ(table.State(), TDataSetState::dsInsert);
    EXPECT_TRUE(table.FieldByName("title").IsNull());
    table.FieldByName("title").SetAsString("Start page");
    table.FieldByName("born").SetAsString("2026-12-09");
    table.Post();
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(table.FieldByName("title").AsString(), "Start page");
    EXPECT_EQ(table.FieldByName("id").AsInteger(), 4);
    // A cancelled insert leaves no trace and the dataset back on its row.
    table.Insert();
    table.FieldByName("title").SetAsString("never");
    table.Cancel();
    EXPECT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(table.FieldByName("title").AsString(), "Start page");
    // Deleting the first row makes the next one current.
    table.First();
    table.Delete();
    EXPECT_EQ(table.RecordCount(), 3);
    EXPECT_EQ(table.FieldByName("title").AsString(), "");
    table.Last();
    table.Delete();  // the last row: the one before it becomes current
    EXPECT_EQ(table.RecordCount(), 2);
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
    EXPECT_EQ(Titles(table), (std::vector<std::string>{"", "Desktop"}));
}

TEST(Components, EditOnAnEmptyTableInsertsAndAFailedPostKeepsTheRow) {
    TTempDir dir;
    {
        TDataSession session;
        TDataDirectory& d = session.OpenDirectory("db", dir.Dir());
        TTableStructure s;
        s.Fields = {Column("id", kFieldInteger, 0, kSubAutoInc), Column("name", kFieldString, 10)};
        s.Fields[1].Required = 1;
        TDataTable* t = nullptr;
        ASSERT_EQ(d.CreateTable("people", s, t), 0);
        d.CloseTable(t, false);
        session.CloseDirectory(d);
    }
    TRERUZOTable t;
    t.SetDatabaseName(dir.Dir());
    t.SetTableName("people");
    t.Open();
    t.Edit();
    EXPECT_EQ(t.State(), TDataSetState::dsInsert);
    try {
        t.Post();
        ADD_FAILURE() << "a required field was empty";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_REQDERR);
    }
    EXPECT_EQ(t.State(), TDataSetState::dsInsert);
    t.FieldByName("name").SetAsString("Ann");
    t.Post();
    EXPECT_EQ(t.RecordCount(), 1);
    EXPECT_EQ(t.FieldByName("name").AsString(), "Ann");
}

TEST_F(TableFixture, LocateThroughAFilterWithoutAnIndex) {
    table.Open();
    EXPECT_TRUE(table.Locate("title", {"Desktop"}, 0));
    EXPECT_EQ(table.FieldByName("id").AsInteger(), 3);
    EXPECT_TRUE(table.Locate("title", {"brow"}, loCaseInsensitive | loPartialKey));
    EXPECT_EQ(table.FieldByName("id").AsInteger(), 1);
    EXPECT_FALSE(table.Locate("title", {"brow"}, loPartialKey));  // case counts
    EXPECT_EQ(table.FieldByName("id").AsInteger(), 1);          // and the row stays
    EXPECT_TRUE(table.Locate("parent; num", {"1", "1a2"}, 0));
    EXPECT_EQ(table.FieldByName("title").AsString(), "Desktop");
    EXPECT_TRUE(table.Locate("title", {"it's"}, 0) == false);
    EXPECT_THROW(table.Locate("parent", {"one"}, 0), EDatabaseError);
    EXPECT_TRUE(table.Cursor()->Filters().empty());
}

TEST(Components, LocateThroughTheActiveIndex) {
    TTempDir dir;
    {
        TDataSession session;
        TDataDirectory& d = session.OpenDirectory("db", dir.Dir());
        TTableStructure s;
        s.Fields = {Column("id", kFieldInteger, 0, kSubAutoInc), Column("name", kFieldString, 10)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc byName;
        byName.Name = "name";
        byName.FieldCount = 1;
        byName.FieldNumbers[0] = 2;
        s.Secondaries = {byName};
        TDataTable* t = nullptr;
        ASSERT_EQ(d.CreateTable("people", s, t), 0);
        d.CloseTable(t, false);
        session.CloseDirectory(d);
    }
    TRERUZOTable t;
    t.SetDatabaseName(dir.Dir());
    t.SetTableName("people");
    t.SetIndexName("name");
    t.Open();
    for (const char* name : {"Carl", "Bob", "Bea", "Ann", "Bert"}) {
        t.Append();
        t.FieldByName("name").SetAsString(name);
        t.Post();
    }
    EXPECT_TRUE(t.Locate("name", {"Be"}, loPartialKey));
    EXPECT_EQ(t.FieldByName("name").AsString(), "Bea");
    EXPECT_TRUE(t.Locate("name", {"Bob"}, 0));
    EXPECT_EQ(t.FieldByName("id").AsInteger(), 2);
    EXPECT_FALSE(t.Locate("name", {"Bz"}, loPartialKey));
    EXPECT_EQ(t.FieldByName("name").AsString(), "Bob");
    EXPECT_TRUE(t.Cursor()->Filters().empty());
    // A row the filter hides is not found through the index either.
    t.SetFilter("name >= 'B'");
    t.SetFiltered(true);
    EXPECT_FALSE(t.Locate("name", {"Ann"}, 0));
    EXPECT_NE(t.FieldByName("name").AsString(), "Ann");
    EXPECT_TRUE(t.Locate("name", {"C"}, loPartialKey));
    EXPECT_EQ(t.FieldByName("name").AsString(), "Carl");
    // Another OnFilterRecord handler asks the rows again.
    t.SetOnFilterRecord([](TRERUZODataSet& d, bool& accept) { accept = d.FieldByName("name").AsString()[1] == 'e'; });
    EXPECT_EQ(t.RecordCount(), 2);  // Bea, Bert
    t.SetOnFilterRecord([](TRERUZODataSet& d, bool& accept) { accept = d.FieldByName("name").AsString() == "Bob"; });
    EXPECT_EQ(t.RecordCount(), 1);
    EXPECT_EQ(t.FieldByName("name").AsString(), "Bob");
}

TEST(Components, DatasetNamingAFolderGetsATemporaryDatabase) {
    TTempDir dir;
    WriteItems(dir);
    TRERUZOTable a, b;
    a.SetDatabaseName(dir.Dir());
    a.SetTableName("items");
    b.SetDatabaseName(dir.Dir());
    b.SetTableName("ITEMS");
    a.Open();
    b.Open();
    ASSERT_NE(a.Database(), nullptr);
    EXPECT_EQ(a.Database(), b.Database());  // shared
    EXPECT_TRUE(a.Database()->Temporary());
    EXPECT_EQ(a.Database()->UserCount(), 2);
    EXPECT_EQ(b.RecordCount(), 3);
}

TEST(Components, UnnamedDatabaseReadsTheSessionsDefaultDirectory) {
    TTempDir dir;
    const std::string defaultDir = TDataSession::Default().DefaultDirectory();
    ASSERT_FALSE(defaultDir.empty());
    EXPECT_EQ(defaultDir.back(), '/');
    TRERUZOTable t;
    t.SetTableName("no_such_table_here");
    try {
        t.Open();
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_OSENOENT);
        EXPECT_EQ(e.ContextDatabase, defaultDir);
    }
}

// Query results may repeat a name; each repeated name gets a counter.
TEST(Components, RepeatedFieldNamesGetACounter) {
    std::vector<TFieldDesc> descs = {Column("name", kFieldString, 5), Column("NAME", kFieldString, 5),
                                     Column("name_1", kFieldInteger), Column("name", kFieldInteger),
                                     Column("m", 24)};  // codes 24 and up make no field
    LayoutRecord(descs);
    const auto defs = MakeFieldDefs(descs);
    ASSERT_EQ(defs.size(), 4u);
    EXPECT_EQ(defs[0].Name, "name");
    EXPECT_EQ(defs[1].Name, "NAME_1");
    EXPECT_EQ(defs[2].Name, "name_1_1");
    EXPECT_EQ(defs[3].Name, "name_2");
    EXPECT_EQ(defs[3].FieldNo, 4);
    EXPECT_EQ(defs[0].Size, 5);
}

TEST(Components, FieldTypeMapping) {
    EXPECT_EQ(DataSetFieldType(3, 22), TFieldType::ftMemo);
    EXPECT_EQ(DataSetFieldType(3, 25), TFieldType::ftBlob);
    EXPECT_EQ(DataSetFieldType(3, 99), TFieldType::ftBlob);
    EXPECT_EQ(DataSetFieldType(6, 29), TFieldType::ftAutoInc);
    EXPECT_EQ(DataSetFieldType(13, 0), TFieldType::ftInteger);
    EXPECT_EQ(DataSetFieldType(14, 0), TFieldType::ftUnknown);
    EXPECT_EQ(DataSetFieldType(19, 0), TFieldType::ftLargeint);
    EXPECT_EQ(DataSetFieldType(23, 0), TFieldType::ftDataSet);
    EXPECT_EQ(DataSetFieldType(24, 0), TFieldType::ftUnknown);
}

}  // namespace
}  // namespace reruzo
