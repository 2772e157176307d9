// Tests of writing through cursors: slot reuse and the chain of deleted slots,
// identifiers, value checks and defaults, unique keys, the indexes a modification
// touches, stale buffers, and several processes writing one table at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "engine/storage/bcd.h"
#include "engine/table/data_cursor.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "engine/storage/value_text.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"
#include "tests/support/write_table.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::MakeRowsTable;
using quorvane::testing::OneFieldIndex;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;

// Every index holds exactly the keys of the live records, the checkers find nothing,
// and the record count agrees.
void ExpectSound(TDataCursor& c) {
    TDataTable& t = c.Table();
    TIndexFile& index = t.Index();
    TDataFile& data = t.Data();
    EXPECT_EQ(CheckIndexFile(index, data.Fields(), data.LanguageId(), data.SortId()), std::vector<std::string>{});
    EXPECT_EQ(data.CheckRecords(), std::vector<std::string>{});
    std::int32_t live = 0;
    std::vector<int> slots;
    if (!index.NoPrimaryIndex()) slots.push_back(0);
    for (int s = 1; s <= index.Header().SecondaryCount; ++s) slots.push_back(s);
    for (std::int32_t n = 1; n <= data.SlotCount(); ++n) {
        TPinnedRecord r(data.GetRecord(nullptr, n, {}));
        std::vector<std::uint8_t> sys(kSysDeletedKeyLength);
        BuildSysDeletedKey(r->Data(), sys);
        std::int32_t at = 0;
        EXPECT_TRUE(TIndexTree(index, kSysDeletedSlot, SysDeletedLayout()).FindExact(sys.data(), &at)) << n;
        EXPECT_EQ(at, n);
        if (r->State() != 0) continue;
        ++live;
        for (int s : slots) {
            TKeyLayout layout = MakeKeyLayout(index.Descriptor(s), s, data.Fields(), 0, 0);
            std::vector<std::uint8_t> key(layout.KeyLength());
            BuildKey(layout, r->Data(), key);
            std::int32_t ref = 0;
            EXPECT_TRUE(TIndexTree(index, s, layout).FindExact(key.data(), &ref)) << "slot " << n << " index " << s;
            EXPECT_EQ(ref, n);
        }
    }
    EXPECT_EQ(index.RecordCount(), live);
    for (int s : slots) {
        TKeyLayout layout = MakeKeyLayout(index.Descriptor(s), s, data.Fields(), 0, 0);
        EXPECT_EQ(TIndexTree(index, s, layout).Count(), live) << "index " << s;
    }
}

struct TWriteFixture : quorvane::testing::TRowsTableFixture {
    // Stands on the record in slot n and deletes it.
    static void DeleteSlot(TDataCursor& c, std::int32_t n) {
        std::array<std::uint8_t, 4> bookmark{};
        PutLE(bookmark.data(), n);
        c.SetIndexName("");
        std::vector<std::uint8_t> r(c.RecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(r) == 0 && c.CurrentRecordNo() != n) {
        }
        ASSERT_EQ(c.CurrentRecordNo(), n);
        c.DeleteRecord(r, true);
    }
};

TEST_F(TWriteFixture, DeletedSlotsAreReusedOnlyUnderAPrimaryIndex) {
    MakeRowsTable(tmp.Dir(), "keyed", true);
    MakeRowsTable(tmp.Dir(), "plain", false);
    auto keyed = Open("keyed");
    Fill(*keyed, 6);
    DeleteSlot(*keyed, 2);
    DeleteSlot(*keyed, 5);
    TDataFile& data = keyed->Table().Data();
    EXPECT_EQ(data.Header().FirstFreeRecord, 5);
    {
        TPinnedRecord five(data.GetRecord(nullptr, 5, {}));
        EXPECT_EQ(five->NextFree(), 2);  // the chain 5 -> 2 -> 0
    }
    keyed->AppendRecord(Row(*keyed, 0, 0, "new1"), true);
    EXPECT_EQ(keyed->CurrentRecordNo(), 5);
    keyed->AppendRecord(Row(*keyed, 0, 0, "new2"), true);
    EXPECT_EQ(keyed->CurrentRecordNo(), 2);
    EXPECT_EQ(data.Header().FirstFreeRecord, 0);
    keyed->AppendRecord(Row(*keyed, 0, 0, "new3"), true);
    EXPECT_EQ(keyed->CurrentRecordNo(), 7);
    // Reused slots carry new identifiers; their deleted entries gave way.
    std::vector<std::uint8_t> r(keyed->RecordSize());
    keyed->GetCurRecord(r, false);
    EXPECT_EQ(GetIntegerField(r, keyed->Fields()[0]), 9);
    ExpectSound(*keyed);

    auto plain = Open("plain");
    Fill(*plain, 3);
    DeleteSlot(*plain, 2);
    TDataFile& plainData = plain->Table().Data();
    {
        TPinnedRecord two(plainData.GetRecord(nullptr, 2, {}));
        EXPECT_EQ(two->NextFree(), 0);
    }
    plain->AppendRecord(Row(*plain, 0, 0, "new"), true);
    EXPECT_EQ(plain->CurrentRecordNo(), 4);  // physical order stays the order of insertion
    EXPECT_EQ(plain->GetRecordCount(), 3);
    ExpectSound(*plain);
}

TEST_F(TWriteFixture, ACloneOfTheCurrentRecordPostsAsANewOne) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 3);
    c->SetToRecNo(2);
    std::vector<std::uint8_t> copy(c->RecordSize());
    ASSERT_EQ(c->CloneCurRecord(copy), 0);
    EXPECT_EQ(GetLE<std::int32_t>(copy.data() + 5), 0);  // a new record gets a new identifier
    EXPECT_EQ(GetIntegerField(copy, c->Fields()[2]), 2);
    PutStringField(copy, c->Fields()[3], "copy of r2");
    c->AppendRecord(copy, true);
    std::vector<std::uint8_t> r(c->RecordSize());
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[0]), 4);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[2]), 2);
    c->SetSuppressAutoInc(true);
    ASSERT_EQ(c->CloneCurRecord(copy), 0);
    EXPECT_EQ(GetLE<std::int32_t>(copy.data() + 5), 4);
    c->SetToEnd();
    EXPECT_EQ(c->CloneCurRecord(copy), RERUZO_EOF);
}

TEST_F(TWriteFixture, IdentifiersWrapAndSuppressedOnesRaiseTheCounter) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    TDataFile& data = c->Table().Data();
    Fill(*c, 10);
    EXPECT_EQ(data.LastAutoInc(), 10);
    c->SetSuppressAutoInc(true);
    auto row = Row(*c, 1, 1, "kept");
    PutLE<std::int32_t>(row.data() + 5, 1000);
    c->AppendRecord(row, true);
    EXPECT_EQ(data.LastAutoInc(), 1000);
    auto low = Row(*c, 1, 1, "low");
    PutLE<std::int32_t>(low.data() + 5, 5);
    // Identifier 5 is live already.
    EXPECT_EQ(CodeOf([&] { c->AppendRecord(low, true); }), RERUZO_KEYVIOL);
    PutLE<std::int32_t>(low.data() + 5, 500);
    c->AppendRecord(low, true);
    EXPECT_EQ(data.LastAutoInc(), 1001);  // advances by one even below the counter
    // After 2147483647 the identifiers start again at 1, which is still taken here:
    // the append is refused and nothing changes.
    c->SetSuppressAutoInc(false);
    data.SetLastAutoInc(std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(CodeOf([&] { c->AppendRecord(Row(*c, 1, 1, "wrapped"), true); }), RERUZO_KEYVIOL);
    EXPECT_EQ(c->GetRecordCount(), 12);
    ExpectSound(*c);
    DeleteSlot(*c, 1);
    c->AppendRecord(Row(*c, 1, 1, "wrapped"), true);
    std::vector<std::uint8_t> r(c->RecordSize());
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[0]), 1);
    EXPECT_EQ(CheckIndexFile(c->Table().Index(), data.Fields(), 0, 0), std::vector<std::string>{});
}

TEST_F(TWriteFixture, ValueChecksAndDefaultsComeFromTheFieldDescriptors) {
    MakeRowsTable(tmp.Dir(), "t", true, [](TTableStructure& s) {
        s.Fields[2].Required = 1;
        s.Fields[2].MinValue = "10";
        s.Fields[2].MaxValue = "20";
        s.Fields[1].DefaultValue = "7";
        s.Fields.push_back(MakeFieldDesc("born", kFieldDate));
        s.Fields.back().DefaultValue = "current_date";
        s.Fields.push_back(MakeFieldDesc("price", kFieldBCD));
        s.Fields.back().Scale = 2;
        s.Fields.back().DefaultValue = "12.5";
    });
    auto c = Open("t");
    std::vector<std::uint8_t> r(c->RecordSize());
    c->InitRecordDefaults(r);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[1]), 7);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[4]), DateToDayNumber(Today()));
    EXPECT_EQ(BcdText(FieldData(r, c->Fields()[5])), "12.5");
    EXPECT_TRUE(FieldIsNull(r, c->Fields()[2]));
    try {
        c->AppendRecord(r, true);
        FAIL() << "a required field was left empty";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_REQDERR);
        EXPECT_EQ(e.ContextField, "value");
    }
    PutIntegerField(r, c->Fields()[2], 9);
    EXPECT_EQ(CodeOf([&] { c->AppendRecord(r, true); }), RERUZO_MINVALERR);
    PutIntegerField(r, c->Fields()[2], 21);
    EXPECT_EQ(CodeOf([&] { c->AppendRecord(r, true); }), RERUZO_MAXVALERR);
    EXPECT_EQ(c->GetRecordCount(), 0);
    EXPECT_EQ(c->Table().Data().SlotCount(), 0);  // nothing was written
    PutIntegerField(r, c->Fields()[2], 10);
    c->AppendRecord(r, true);
    EXPECT_EQ(c->GetRecordCount(), 1);
}

TEST_F(TWriteFixture, UniqueKeysAreCheckedBeforeAnythingChanges) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 20);
    TIndexFile& index = c->Table().Index();
    const std::int32_t pages = index.Header().PageCount;
    try {
        c->AppendRecord(Row(*c, 1, 1, "r7"), true);
        FAIL() << "a duplicate name was accepted";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_KEYVIOL);
        EXPECT_EQ(e.ContextIndex, "name");
    }
    EXPECT_EQ(c->GetRecordCount(), 20);
    EXPECT_EQ(index.Header().PageCount, pages);
    ExpectSound(*c);
    // A modification into a taken name fails the same way and keeps the record.
    c->SetToRecNo(3);
    std::vector<std::uint8_t> r(c->RecordSize());
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    PutStringField(r, c->Fields()[3], "r4");
    EXPECT_EQ(CodeOf([&] { c->ModifyRecord(r, true, true); }), RERUZO_KEYVIOL);
    c->WriteUnlockRecord(0);
    EXPECT_FALSE(c->Table().LockedRecords().Has(c->CurrentRecordNo()));
    ExpectSound(*c);
}

TEST_F(TWriteFixture, ModifyingANonKeyFieldTouchesNoIndex) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 50);
    TIndexFile& index = c->Table().Index();
    const std::int32_t changes = index.Header().ChangeCount;
    const std::int32_t dataChanges = c->Table().Data().Header().ChangeCount;
    c->SetToRecNo(10);
    std::vector<std::uint8_t> r(c->RecordSize());
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    PutIntegerField(r, c->Fields()[2], 4242);
    c->ModifyRecord(r, true, true);
    EXPECT_EQ(index.Header().ChangeCount, changes);
    EXPECT_GT(c->Table().Data().Header().ChangeCount, dataChanges);
    EXPECT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[2]), 4242);
    // A key change moves the record in its index.
    c->SetIndexName("name");
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    ASSERT_EQ(c->GetCurRecord(r, true), 0);
    PutStringField(r, c->Fields()[3], "zzz");
    c->ModifyRecord(r, true, true);
    EXPECT_EQ(c->GetRecNo(), 50);  // last in name order now
    EXPECT_GT(index.Header().ChangeCount, changes);
    ExpectSound(*c);
}

TEST_F(TWriteFixture, ReadOnlyCursorsAndStaleBuffersAreRefused) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 5);
    auto reader = Open("t", false, true);
    std::vector<std::uint8_t> r(reader->RecordSize());
    reader->SetToBegin();
    ASSERT_EQ(reader->GetNextRecord(r), 0);
    EXPECT_EQ(CodeOf([&] { reader->AppendRecord(r, true); }), RERUZO_OSEACCES);
    EXPECT_EQ(CodeOf([&] { reader->DeleteRecord(r, true); }), RERUZO_OSEACCES);

    // Another cursor changes the record after this one read it.
    auto other = Open("t");
    std::vector<std::uint8_t> mine(c->RecordSize()), theirs(c->RecordSize());
    c->SetToRecNo(2);
    ASSERT_EQ(c->GetCurRecord(mine, false), 0);
    other->SetToRecNo(2);
    ASSERT_EQ(other->GetCurRecord(theirs, false), 0);
    ASSERT_EQ(other->GetCurRecord(theirs, true), 0);
    PutIntegerField(theirs, other->Fields()[2], -1);
    other->ModifyRecord(theirs, true, true);
    EXPECT_EQ(CodeOf([&] { c->DeleteRecord(mine, true); }), RERUZO_KEYORRECDELETED);
    EXPECT_EQ(CodeOf([&] { c->GetCurRecord(mine, true); }), RERUZO_KEYORRECDELETED);
    EXPECT_EQ(c->GetRecordCount(), 5);
    EXPECT_TRUE(c->Table().LockedRecords().Members().empty());  // no lock left behind
}

TEST_F(TWriteFixture, FilteredViewsFollowTheirOwnWrites) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 30);
    TFilter* f = c->AddCallbackFilter(
        [](TDataCursor& cursor, std::span<const std::uint8_t> record, std::int32_t) {
            return GetIntegerField(record, cursor.Fields()[1]) == 1;
        }, {.countCheck = true, .evaluateLast = true});
    c->ActivateFilter(f);
    const std::int32_t count = c->GetRecordCount();
    c->AppendRecord(Row(*c, 1, 0, "joins"), true);
    EXPECT_EQ(c->GetRecordCount(), count + 1);
    c->AppendRecord(Row(*c, 2, 0, "stays out"), true);
    EXPECT_EQ(c->GetRecordCount(), count + 1);
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(r), 0);
    ASSERT_EQ(c->GetNextRecord(r), 0);
    const std::int32_t deleted = c->CurrentRecordNo();
    c->DeleteRecord(r, true);
    EXPECT_EQ(c->GetRecordCount(), count);
    EXPECT_NE(c->CurrentRecordNo(), deleted);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(GetIntegerField(r, c->Fields()[1]), 1);
    ExpectSound(*c);
}

TEST_F(TWriteFixture, RangesRestrictIndexOrderAndFollowWrites) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 60);  // tag = i % 3
    c->SetIndexName("tag");
    std::vector<std::uint8_t> low(c->RecordSize()), high(c->RecordSize());
    c->InitRecord(low);
    c->InitRecord(high);
    PutIntegerField(low, c->Fields()[1], 1);
    PutIntegerField(high, c->Fields()[1], 1);
    // A bound over the first key field takes in every identifier after it.
    c->SetRange(true, low, 1, high, 1);
    EXPECT_TRUE(c->RangeActive());
    EXPECT_EQ(c->GetRecordCount(), 20);
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    int seen = 0;
    while (c->GetNextRecord(r) == 0) {
        ++seen;
        EXPECT_EQ(GetIntegerField(r, c->Fields()[1]), 1);
        EXPECT_EQ(c->GetRecNo(), seen);
    }
    EXPECT_EQ(seen, 20);
    c->SetToEnd();
    ASSERT_EQ(c->GetPriorRecord(r), 0);
    EXPECT_EQ(c->GetRecNo(), 20);
    c->SetToRecNo(5);
    EXPECT_EQ(c->GetRecNo(), 5);
    // Own writes move the range's positions.
    c->AppendRecord(Row(*c, 1, 0, "in range"), true);
    c->AppendRecord(Row(*c, 0, 0, "before it"), true);
    EXPECT_EQ(c->GetRecordCount(), 21);
    // With a filter the view is range and filter together.
    TFilter* f = c->AddCallbackFilter(
        [](TDataCursor& cursor, std::span<const std::uint8_t> record, std::int32_t) {
            return GetIntegerField(record, cursor.Fields()[2]) % 2 == 0;
        }, {.countCheck = true, .evaluateLast = true});
    c->ActivateFilter(f);
    EXPECT_EQ(c->GetRecordCount(), 11);  // values 4, 10, ..., 58 and the new 0
    c->AppendRecord(Row(*c, 1, 100, "joins both"), true);
    EXPECT_EQ(c->GetRecordCount(), 12);
    // A clone keeps the range (and the filter).
    auto clone = c->CloneCursor();
    EXPECT_TRUE(clone->RangeActive());
    EXPECT_EQ(clone->GetRecordCount(), 12);
    c->DropFilter(f);
    // An upside-down range is empty.
    c->SetRange(true, high, 1, low = Row(*c, 0, 0, ""), 1);
    EXPECT_EQ(c->GetRecordCount(), 0);
    c->SetToBegin();
    EXPECT_EQ(c->GetNextRecord(r), RERUZO_EOF);
    c->ResetRange();
    EXPECT_EQ(c->GetRecordCount(), 63);
    // Changing the index ends the range.
    c->SetRange(true, high, 1, high, 1);
    c->SetIndexName("name");
    EXPECT_FALSE(c->RangeActive());
}

TEST_F(TWriteFixture, IndexesAreAddedOverTheRecordsAndDeletedOntoTheirFreeChain) {
    MakeRowsTable(tmp.Dir(), "t", true);
    {
        auto c = Open("t");
        Fill(*c, 400);  // value = i; tag = i % 3
        TIndexDesc byTag = OneFieldIndex("bytag", 2, false);
        EXPECT_EQ(CodeOf([&] { c->AddSecondaryIndex(byTag); }), RERUZO_NEEDEXCLACCESS);
    }
    auto c = std::make_unique<TDataCursor>(*dir);
    c->SetTableName("t");
    c->SetExclusive(true);
    c->OpenCursor();
    std::vector<int> progress;
    c->ProgressCallback = [&](int percent) { progress.push_back(percent); };
    // A non-unique index never loses a record: its keys end with the identifier.
    c->AddSecondaryIndex(OneFieldIndex("bytag", 2, false));
    EXPECT_EQ(c->GetRecordCount(), 400);
    EXPECT_EQ(progress, (std::vector<int>{5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90,
                                          95, 100}));
    // A unique index over tag meets tag 1 twice: it is refused with the index and the
    // key named, and no record goes.
    const auto bytesBefore = std::filesystem::file_size(tmp.File("t.DAT"));
    try {
        c->AddSecondaryIndex(OneFieldIndex("onetag", 2, true));
        ADD_FAILURE() << "a unique index over duplicate keys was added";
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_KEYVIOL);
        EXPECT_EQ(std::string(e.what()),
                  "RERUZO Engine Error # 9729 Duplicate key found in the index 'onetag' of the table 't': key '1'");
    }
    EXPECT_EQ(c->GetRecordCount(), 400);
    EXPECT_EQ(CodeOf([&] { c->SetIndexName("onetag"); }), RERUZO_INVALIDINDEXNAME);
    EXPECT_EQ(std::filesystem::file_size(tmp.File("t.DAT")), bytesBefore);
    ExpectSound(*c);
    // Over distinct keys it is added and keeps every record.
    c->AddSecondaryIndex(OneFieldIndex("onevalue", 3, true));
    c->SetIndexName("onevalue");
    EXPECT_EQ(c->GetRecordCount(), 400);
    ExpectSound(*c);
    // A deleted index's pages serve the next one before the file grows.
    c->AppendRecord(Row(*c, 7, 1007, "x"), true);
    c->DeleteIndex("BYTAG");
    EXPECT_EQ(c->IndexName(), "");
    const std::int32_t pages = c->Table().Index().Header().PageCount;
    c->AddSecondaryIndex(OneFieldIndex("again", 3, false));
    EXPECT_EQ(c->Table().Index().Header().PageCount, pages);
    EXPECT_EQ(CodeOf([&] { c->DeleteIndex("nosuch"); }), RERUZO_INVALIDINDEXNAME);
    ExpectSound(*c);
    c->CloseCursor();
}

TEST_F(TWriteFixture, ATransactionKeepsItsWritesFromTheDiskUntilCommit) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 5);
    const auto sizeOnDisk = [&] { return std::filesystem::file_size(tmp.File("t.DAT")); };
    const auto before = sizeOnDisk();
    dir->StartTransaction();
    for (int i = 0; i < 20; ++i) c->AppendRecord(Row(*c, 1, i, "tx" + std::to_string(i)), true);
    EXPECT_EQ(c->GetRecordCount(), 25);
    EXPECT_EQ(sizeOnDisk(), before);
    dir->Rollback();
    EXPECT_EQ(c->GetRecordCount(), 5);
    std::vector<std::uint8_t> r(c->RecordSize());
    int rows = 0;
    c->SetToBegin();
    while (c->GetNextRecord(r) == 0) ++rows;
    EXPECT_EQ(rows, 5);
    dir->StartTransaction();
    for (int i = 0; i < 20; ++i) c->AppendRecord(Row(*c, 1, i, "tx" + std::to_string(i)), true);
    dir->Commit(true, false);
    EXPECT_GT(sizeOnDisk(), before);
    EXPECT_EQ(c->GetRecordCount(), 25);
    ExpectSound(*c);
}

TEST_F(TWriteFixture, SeveralProcessesWriteOneTable) {
    MakeRowsTable(tmp.Dir(), "t", true);
    const std::string path = tmp.Dir();
    constexpr int kChildren = 4;
    constexpr int kRowsEach = 150;
    std::vector<std::unique_ptr<TChild>> children;
    for (int k = 1; k <= kChildren; ++k) {
        children.push_back(std::make_unique<TChild>([&, k](TChild&) {
            TDataSession s;
            TDataDirectory& d = s.OpenDirectory("db", path);
            TDataCursor c(d);
            c.SetTableName("t");
            c.OpenCursor();
            c.SetIndexName("name");
            std::mt19937 rng(static_cast<unsigned>(k));
            for (int i = 1; i <= kRowsEach; ++i) {
                const std::string name = "c" + std::to_string(k) + "_" + std::to_string(i);
                c.AppendRecord(Row(c, k, i, name), true);
                // Now and then change or drop an own row written earlier.
                if (i % 3 == 0 || i % 5 == 0) {
                    const int j = i - static_cast<int>(rng() % 2);
                    std::vector<std::uint8_t> key(c.RecordSize());
                    c.InitRecord(key);
                    PutStringField(key, c.Fields()[3], "c" + std::to_string(k) + "_" + std::to_string(j));
                    std::vector<std::uint8_t> r(c.RecordSize());
                    if (!c.Find(true, key, 1, 0, false, r)) continue;
                    if (i % 3 == 0) {
                        if (c.GetCurRecord(r, true) != 0) return 3;
                        PutIntegerField(r, c.Fields()[2], -j);
                        c.ModifyRecord(r, true, true);
                    } else {
                        c.DeleteRecord(r, true);
                    }
                }
            }
            c.CloseCursor();
            s.CloseDirectory(d);
            return 0;
        }));
    }
    for (auto& child : children) EXPECT_EQ(child->Wait(), 0);

    auto c = Open("t");
    ExpectSound(*c);
    // Every child's rows that it did not delete are there; the modified ones carry -i.
    std::map<std::string, std::int64_t> rows;
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    while (c->GetNextRecord(r) == 0) rows[GetStringField(r, c->Fields()[3])] = GetIntegerField(r, c->Fields()[2]);
    for (int k = 1; k <= kChildren; ++k) {
        int present = 0;
        for (int i = 1; i <= kRowsEach; ++i) {
            const auto it = rows.find("c" + std::to_string(k) + "_" + std::to_string(i));
            if (it == rows.end()) continue;
            ++present;
            EXPECT_TRUE(it->second == i || it->second == -i) << it->first;
        }
        EXPECT_GT(present, kRowsEach / 2) << "child " << k;
    }
    EXPECT_EQ(static_cast<std::int32_t>(rows.size()), c->GetRecordCount());
}

}  // namespace
}  // namespace reruzo
