// Tests of cursors: navigation in natural, primary and secondary order, record
// numbers, bookmarks, key search, index switching, record locks through cursors, and
// resynchronisation after other cursors and processes changed the table.
#include "engine/table/data_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "tests/support/table_loader.h"
#include "engine/storage/byte_order.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_error.h"
#include "tests/support/table_rows.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::DeleteRow;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;

constexpr int kRows = 3000;

TIndexDesc Index(const char* name, std::uint16_t field, bool unique) {
    TIndexDesc d;
    d.Name = name;
    d.Unique = unique;
    d.FieldCount = 1;
    d.FieldNumbers[0] = field;
    return d;
}

// id (auto-increment, primary), keyid (index "key", not unique), name (index "name").
void MakeTable(const std::string& dir, int rows, std::vector<std::int32_t>* keyids = nullptr) {
    TDataSession session;
    TDataDirectory& d = session.OpenDirectory("db", dir);
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("keyid", kFieldInteger),
                MakeFieldDesc("name", kFieldString, 20)};
    s.Primary = Index("", 1, true);
    s.Secondaries = {Index("key", 2, false), Index("name", 3, true)};
    TDataTable* t = nullptr;
    ASSERT_EQ(d.CreateTable("t", s, t), 0);
    TTableLoader loader(*t);
    std::mt19937 rng(11);
    for (int i = 1; i <= rows; ++i) {
        auto r = loader.BlankRecord();
        const auto keyid = static_cast<std::int32_t>(rng() % 50);
        if (keyids) keyids->push_back(keyid);
        PutIntegerField(r, loader.Fields()[1], keyid);
        char name[16];
        std::snprintf(name, sizeof name, "row%05d", kRows + 1 - i);  // names in reverse order
        PutStringField(r, loader.Fields()[2], name);
        loader.Append(r);
    }
    d.CloseTable(t, false);
    session.CloseDirectory(d);
}

struct TCursorFixture : ::testing::Test {
    TTempDir tmp;
    TDataSession session;
    TDataDirectory* dir = nullptr;
    std::vector<std::int32_t> keyids;
    void SetUp() override {
        MakeTable(tmp.Dir(), kRows, &keyids);
        dir = &session.OpenDirectory("db", tmp.Dir());
    }
    void TearDown() override { session.CloseDirectory(*dir); }
    std::unique_ptr<TDataCursor> Open(const std::string& index = "") {
        auto c = std::make_unique<TDataCursor>(*dir);
        c->SetTableName("t");
        c->OpenCursor();
        c->SetIndexName(index);
        return c;
    }
    static std::int64_t Field(const TDataCursor& c, const std::vector<std::uint8_t>& r, int no) {
        return GetIntegerField(r, c.Fields()[static_cast<std::size_t>(no - 1)]);
    }
    // Deletes the row of identifier `id` in a child process with a session of its own;
    // the child's exit status (0: deleted).
    int DeleteInAnotherProcess(std::int32_t id) const {
        const std::string path = tmp.Dir();
        TChild child([&](TChild&) {
            TDataSession s;
            TDataDirectory& d = s.OpenDirectory("db", path);
            TDataTable* t = nullptr;
            if (d.OpenTable("t", {}, t) < 0) return 1;
            DeleteRow(*t, id);
            d.CloseTable(t, false);
            return 0;
        });
        return child.Wait();
    }
};

TEST_F(TCursorFixture, PrimaryOrderForwardBackwardAndByNumber) {
    auto c = Open();
    EXPECT_EQ(c->GetRecordCount(), kRows);
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    for (int i = 1; i <= kRows; ++i) {
        ASSERT_EQ(c->GetNextRecord(r), 0) << i;
        ASSERT_EQ(Field(*c, r, 1), i);
        ASSERT_EQ(c->GetRecNo(), i);
    }
    EXPECT_EQ(c->GetNextRecord(r), RERUZO_EOF);
    EXPECT_EQ(r, std::vector<std::uint8_t>(r.size(), 0));  // zeroed
    EXPECT_EQ(c->GetPriorRecord(r), 0);                     // the last one again
    EXPECT_EQ(Field(*c, r, 1), kRows);
    c->SetToEnd();
    for (int i = kRows; i >= 1; --i) {
        ASSERT_EQ(c->GetPriorRecord(r), 0);
        ASSERT_EQ(Field(*c, r, 1), i);
    }
    EXPECT_EQ(c->GetPriorRecord(r), RERUZO_BOF);
    c->SetToRecNo(1234);
    EXPECT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(Field(*c, r, 1), 1234);
    EXPECT_EQ(c->GetRecNo(), 1234);
    c->SetToRecNo(kRows + 5);
    EXPECT_EQ(c->GetCurRecord(r, false), RERUZO_EOF);
}

TEST_F(TCursorFixture, SecondaryOrderFollowsKeysThenIdentifiers) {
    auto c = Open("KEY");  // names ignore letter case
    EXPECT_EQ(c->IndexName(), "key");
    std::vector<std::pair<std::int32_t, std::int32_t>> expected;  // keyid, id
    for (int i = 0; i < kRows; ++i) expected.emplace_back(keyids[static_cast<std::size_t>(i)], i + 1);
    std::sort(expected.begin(), expected.end());
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    for (const auto& [keyid, id] : expected) {
        ASSERT_EQ(c->GetNextRecord(r), 0);
        ASSERT_EQ(Field(*c, r, 2), keyid);
        ASSERT_EQ(Field(*c, r, 1), id);
    }
    EXPECT_EQ(c->GetNextRecord(r), RERUZO_EOF);
    // Bookmarks come back to the same record in this order.
    c->SetToRecNo(777);
    c->GetCurRecord(r, false);
    const auto bookmark = c->GetBookmark();
    EXPECT_EQ(bookmark.size(), 9u);
    const auto id = Field(*c, r, 1);
    c->SetToBegin();
    EXPECT_TRUE(c->SetToBookmark(bookmark, false));
    c->GetCurRecord(r, false);
    EXPECT_EQ(Field(*c, r, 1), id);
    EXPECT_EQ(c->GetRecNo(), 777);
    c->SetToRecNo(778);
    EXPECT_LT(c->CompareBookmarks(bookmark, c->GetBookmark()), 0);
    EXPECT_EQ(CodeOf([&] { c->SetIndexName("nope"); }), RERUZO_INVALIDINDEXNAME);
}

TEST_F(TCursorFixture, SwitchingTheIndexKeepsTheCurrentRecord) {
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(10);
    c->SetIndexName("name");  // names run in reverse order of the ids
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(Field(*c, r, 1), 10);
    EXPECT_EQ(c->GetRecNo(), kRows + 1 - 10);
    c->SetIndexName("NAME");  // only the letter case differs: nothing happens
    EXPECT_EQ(c->GetRecNo(), kRows + 1 - 10);
    c->SetIndexName("");
    EXPECT_EQ(c->GetRecNo(), 10);
}

TEST_F(TCursorFixture, FindExactPartialAndNearest) {
    auto c = Open("key");
    std::vector<std::uint8_t> probe(c->RecordSize()), out(c->RecordSize());
    // Partial find on a non-unique index: the first record with that keyid.
    const std::int32_t wanted = keyids[100];
    PutIntegerField(probe, c->Fields()[1], wanted);
    ASSERT_TRUE(c->Find(true, probe, 0, 0, false, out));
    EXPECT_EQ(Field(*c, out, 2), wanted);
    std::int32_t firstId = 0;
    for (int i = 0; i < kRows && !firstId; ++i) firstId = keyids[static_cast<std::size_t>(i)] == wanted ? i + 1 : 0;
    EXPECT_EQ(Field(*c, out, 1), firstId);
    // Nearest above every key: the last record.
    PutIntegerField(probe, c->Fields()[1], 1000);
    EXPECT_FALSE(c->Find(true, probe, 0, 0, true, out));
    EXPECT_EQ(c->GetRecNo(), kRows);
    EXPECT_EQ(c->GetCurRecord(out, false), 0);
    // Exact search on the unique name index; a miss leaves the cursor where it was.
    c->SetIndexName("name");
    PutStringField(probe, c->Fields()[2], "row01500");
    ASSERT_TRUE(c->Find(true, probe, 1, 0, false, out));
    EXPECT_EQ(Field(*c, out, 1), kRows + 1 - 1500);
    PutStringField(probe, c->Fields()[2], "zzz");
    EXPECT_FALSE(c->Find(true, probe, 1, 0, false, out));
    EXPECT_EQ(c->GetRecNo(), 1500);
    // Partial length: the first name starting with "row012".
    PutStringField(probe, c->Fields()[2], "row012");
    ASSERT_TRUE(c->Find(true, probe, 0, 6, true, out));
    EXPECT_EQ(GetStringField(out, c->Fields()[2]), "row01200");
}

TEST_F(TCursorFixture, NaturalOrderWalksTheLiveSlots) {
    {
        TDataTable* t = nullptr;
        ASSERT_EQ(dir->OpenTable("t", {}, t), 0);
        DeleteRow(*t, 5);
        dir->CloseTable(t, false);
    }
    auto c = std::make_unique<TDataCursor>(*dir);
    c->SetTableName("t");
    c->SetNaturalOrder(true);
    c->OpenCursor();
    EXPECT_TRUE(c->InNaturalOrder());
    EXPECT_EQ(c->GetRecordCount(), kRows - 1);
    EXPECT_EQ(c->BookmarkSize(), 4u);
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(5);
    c->GetCurRecord(r, false);
    EXPECT_EQ(Field(*c, r, 1), 6);  // slot 5 is gone
    std::vector<std::uint8_t> five(4);
    PutLE<std::int32_t>(five.data(), 5);
    EXPECT_FALSE(c->SetToBookmark(five, false));
    c->GetCurRecord(r, false);
    EXPECT_EQ(Field(*c, r, 1), 6);
}

TEST_F(TCursorFixture, NewCursorsSeeEveryDeleteAndAppendSinceTheLastOneCollectedTheLiveRecords) {
    auto natural = [&] {
        auto c = std::make_unique<TDataCursor>(*dir);
        c->SetTableName("t");
        c->SetNaturalOrder(true);
        c->OpenCursor();
        return c;
    };
    auto keeper = Open();  // keeps the table object, and what it remembers, open
    DeleteRow(keeper->Table(), 5);
    std::vector<std::uint8_t> r(keeper->RecordSize());
    auto first = natural();  // collects the live records
    EXPECT_EQ(first->GetRecordCount(), kRows - 1);
    // Deletes and an append in this process...
    DeleteRow(keeper->Table(), 7);
    DeleteRow(keeper->Table(), 9);
    EXPECT_EQ(natural()->GetRecordCount(), kRows - 3);
    keeper->InitRecord(r);
    PutStringField(r, keeper->Fields()[2], "again");
    keeper->AppendRecord(r, false);
    auto second = natural();
    EXPECT_EQ(second->GetRecordCount(), kRows - 2);
    std::vector<std::int32_t> slots;
    second->SetToBegin();
    while (second->GetNextRecord(r) == 0) slots.push_back(second->CurrentRecordNo());
    EXPECT_EQ(slots.size(), static_cast<std::size_t>(kRows - 2));
    // The deleted slots stay out of the walk, unless the append took one of them.
    EXPECT_LE(std::count(slots.begin(), slots.end(), 5) + std::count(slots.begin(), slots.end(), 7) +
                  std::count(slots.begin(), slots.end(), 9),
              1);
    // ...and a delete by another process, seen once a checked operation reads the
    // headers again.
    ASSERT_EQ(DeleteInAnotherProcess(100), 0);
    keeper->Refresh();
    auto third = natural();
    EXPECT_EQ(third->GetRecordCount(), kRows - 3);
    std::vector<std::uint8_t> hundred(4);
    PutLE<std::int32_t>(hundred.data(), 100);
    EXPECT_FALSE(third->SetToBookmark(hundred, false));
}

TEST_F(TCursorFixture, EmptyViewsGiveStatusCodes) {
    TTempDir other;
    MakeTable(other.Dir(), 0);
    TDataDirectory& d = session.OpenDirectory("empty", other.Dir());
    TDataCursor c(d);
    c.SetTableName("t");
    c.OpenCursor();
    std::vector<std::uint8_t> r(c.RecordSize(), 7);
    c.SetToBegin();
    EXPECT_EQ(c.GetNextRecord(r), RERUZO_EOF);
    EXPECT_EQ(r, std::vector<std::uint8_t>(r.size(), 0));
    EXPECT_EQ(c.GetCurRecord(r, false), RERUZO_NOCURRREC);
    EXPECT_EQ(c.GetPriorRecord(r), RERUZO_BOF);
    EXPECT_EQ(c.GetRecordCount(), 0);
    EXPECT_EQ(c.GetRecNo(), 0);
    EXPECT_EQ(CodeOf([&] { c.SetTableName("x"); }), RERUZO_TABLEOPEN);
    c.CloseCursor();
    session.CloseDirectory(d);
}

TEST_F(TCursorFixture, ARecordDeletedByAnotherCursorMovesUsToTheNearestEntry) {
    auto c = Open();
    auto other = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(100);
    DeleteRow(other->Table(), 100);  // same table object: the counters tell at once
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(Field(*c, r, 1), 101);
    EXPECT_EQ(c->GetRecordCount(), kRows - 1);
    ASSERT_EQ(c->GetNextRecord(r), 0);
    EXPECT_EQ(Field(*c, r, 1), 102);
    // The bookmark of a deleted record: not found, and the cursor stands on the next.
    std::vector<std::uint8_t> gone(5);
    gone[0] = 1;
    EncodeInt32(100, gone.data() + 1);
    EXPECT_FALSE(c->SetToBookmark(gone, false));
    c->GetCurRecord(r, false);
    EXPECT_EQ(Field(*c, r, 1), 101);
}

TEST_F(TCursorFixture, ADeleteByAnotherProcessIsSeenWithStrictDetection) {
    session.SetStrictChangeDetection(true);
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(50);
    ASSERT_EQ(DeleteInAnotherProcess(50), 0);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(Field(*c, r, 1), 51);
    EXPECT_EQ(c->GetRecordCount(), kRows - 1);
    EXPECT_FALSE(c->Table().CheckLockHeld());  // released after the operation
}

TEST_F(TCursorFixture, RecordLocksThroughCursors) {
    auto a = Open();
    auto b = Open();
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToRecNo(3);
    a->GetCurRecord(r, false);
    EXPECT_EQ(a->GetCurRecord(r, true), 0);  // lock for editing
    b->SetToRecNo(3);
    std::vector<std::uint8_t> rb(b->RecordSize());
    b->GetCurRecord(rb, false);
    EXPECT_EQ(CodeOf([&] { b->GetCurRecord(rb, true); }), RERUZO_RECLOCKFAILED);
    a->WriteUnlockRecord(0);
    EXPECT_EQ(b->GetCurRecord(rb, true), 0);
    b->WriteUnlockRecord(0);
    // A buffer that no longer matches the record: changed by someone else.
    rb[20] ^= 0xFF;
    EXPECT_EQ(CodeOf([&] { b->GetCurRecord(rb, true); }), RERUZO_KEYORRECDELETED);
    EXPECT_FALSE(b->Table().LockedRecords().Has(3));
}

TEST_F(TCursorFixture, FieldsOfRecordBuffersAndRefresh) {
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(7);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    std::vector<std::uint8_t> value;
    EXPECT_TRUE(c->GetField(3, r, value));
    EXPECT_EQ(std::string(value.begin(), value.begin() + 8), "row02994");
    const std::uint8_t five[4] = {5, 0, 0, 0};
    c->PutField(2, r, five, false);
    EXPECT_EQ(Field(*c, r, 2), 5);
    c->PutField(2, r, {}, true);
    EXPECT_FALSE(c->GetField(2, r, value));
    EXPECT_EQ(CodeOf([&] { c->GetField(0, r, value); }), RERUZO_OUTOFRANGE);
    EXPECT_EQ(CodeOf([&] { c->PutField(4, r, five, false); }), RERUZO_OUTOFRANGE);
    // Refresh keeps the position when nothing changed.
    c->Refresh();
    EXPECT_EQ(c->GetRecNo(), 7);
    EXPECT_FALSE(c->Table().CheckLockHeld());
    // And at an edge the cursor stays at that edge.
    c->SetToEnd();
    c->Refresh();
    EXPECT_TRUE(c->Eof());
    EXPECT_EQ(c->GetNextRecord(r), RERUZO_EOF);
}

TEST_F(TCursorFixture, RefreshInsideATransactionKeepsUncommittedChanges) {
    auto c = Open();
    dir->StartTransaction();
    DeleteRow(c->Table(), 5);
    c->Refresh();
    EXPECT_EQ(c->GetRecordCount(), kRows - 1);
    c->SetToRecNo(5);
    std::vector<std::uint8_t> r(c->RecordSize());
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(Field(*c, r, 1), 6);
    dir->Rollback();
    c->Refresh();
    EXPECT_EQ(c->GetRecordCount(), kRows);
}

TEST_F(TCursorFixture, ATableKeptOpenByATransactionIsTakenOverWhenOpenedAgain) {
    dir->StartTransaction();
    {
        auto c = Open();
        DeleteRow(c->Table(), 5);
        c->CloseCursor();
    }
    auto again = Open("name");
    EXPECT_TRUE(again->Table().TransactionActive());
    EXPECT_TRUE(again->Table().TransactionLockHeld());
    EXPECT_EQ(again->GetRecordCount(), kRows - 1);  // the uncommitted delete is still there
    dir->Rollback();
    again->Refresh();
    EXPECT_EQ(again->GetRecordCount(), kRows);
}

TEST_F(TCursorFixture, ARecordThisCursorHoldsCanBeLockedAgain) {
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(9);
    ASSERT_EQ(c->GetCurRecord(r, false), 0);
    EXPECT_EQ(c->GetCurRecord(r, true), 0);
    EXPECT_EQ(c->GetCurRecord(r, true), 0);  // already ours
    EXPECT_TRUE(c->Table().LockedRecords().Has(9));
    c->WriteUnlockRecord(0);
    EXPECT_FALSE(c->Table().LockedRecords().Has(9));
}

TEST_F(TCursorFixture, NoCheckLockOutlivesAFailedOperation) {
    session.SetStrictChangeDetection(true);  // every operation takes the check lock
    auto c = Open();
    EXPECT_EQ(CodeOf([&] { c->SetIndexName("no such index"); }), RERUZO_INVALIDINDEXNAME);
    EXPECT_FALSE(c->Table().CheckLockHeld());
    auto other = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToRecNo(3);
    other->SetToRecNo(3);
    other->GetCurRecord(r, false);
    EXPECT_EQ(other->GetCurRecord(r, true), 0);
    EXPECT_EQ(CodeOf([&] { c->GetCurRecord(r, true); }), RERUZO_RECLOCKFAILED);
    EXPECT_FALSE(c->Table().CheckLockHeld());
}

TEST_F(TCursorFixture, ClonesStandOnTheSameRecord) {
    auto c = Open("name");
    c->SetToRecNo(42);
    auto clone = c->CloneCursor();
    EXPECT_EQ(clone->IndexName(), "name");
    EXPECT_EQ(clone->GetRecNo(), 42);
    EXPECT_EQ(clone->GetBookmark(), c->GetBookmark());
    auto natural = Open();
    EXPECT_EQ(natural->SetToRecBuf(*c), 0);
    EXPECT_EQ(natural->CurrentRecordNo(), c->CurrentRecordNo());
    // A clone of a cursor in natural order stays in natural order.
    auto slots = std::make_unique<TDataCursor>(*dir);
    slots->SetTableName("t");
    slots->SetNaturalOrder(true);
    slots->OpenCursor();
    slots->SetToRecNo(10);
    auto slotClone = slots->CloneCursor();
    EXPECT_EQ(slotClone->BookmarkSize(), 4u);
    EXPECT_EQ(slotClone->CurrentRecordNo(), 10);
}

TEST_F(TCursorFixture, ATreeDeeperThanSixtyFourLevelsIsCorrupt) {
    const std::int32_t root = [&] {
        TIndexFile f(tmp.Dir(), "t");
        f.Open();
        return f.Root(0);
    }();
    auto bytes = tmp.Read("t.IDX");
    // Make the root a node whose first child is itself.
    bytes[static_cast<std::size_t>(root) * 4096] = 0;
    PutLE<std::int32_t>(bytes.data() + root * 4096 + 13 + 5, root);
    tmp.Write("t.IDX", bytes);
    TDataCursor c(*dir);
    c.SetTableName("t");
    EXPECT_EQ(CodeOf([&] { c.OpenCursor(); }), RERUZO_INDEXCORRUPT);
    EXPECT_FALSE(c.IsOpen());
}

TEST_F(TCursorFixture, ASiblingLinkLoopEndsTheScanAsCorruption) {
    const std::int32_t root = [&] {
        TIndexFile f(tmp.Dir(), "t");
        f.Open();
        return f.Root(0);
    }();
    auto bytes = tmp.Read("t.IDX");
    ASSERT_EQ(bytes[static_cast<std::size_t>(root) * 4096], 0) << "the root must be a node over leaves";
    const std::int32_t leaf = GetLE<std::int32_t>(bytes.data() + root * 4096 + 13 + 5);
    PutLE<std::int32_t>(bytes.data() + leaf * 4096 + 7, leaf);  // the first leaf's next link points to itself
    tmp.Write("t.IDX", bytes);
    auto c = Open();
    std::vector<std::uint8_t> r(c->RecordSize());
    std::uint16_t status = 0;
    int rows = 0;
    const std::uint16_t code = CodeOf([&] {
        while ((status = c->GetNextRecord(r)) == 0 && rows <= kRows) ++rows;
    });
    EXPECT_EQ(code, RERUZO_INDEXCORRUPT);
    EXPECT_LT(rows, kRows);
}

}  // namespace
}  // namespace reruzo
