// Tests of cursors at the edges where writes, ranges, filters and other processes
// meet: positions kept across changes, searches in filtered views, the deleted-slot
// index after slot reuse, and records changed under a pending modification.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "engine/table/data_cursor.h"
#include "tests/support/table_loader.h"
#include "engine/expr/expression_check.h"
#include "engine/sql/expression_filter.h"
#include "engine/storage/byte_order.h"
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

using TEdgeFixture = quorvane::testing::TRowsTableFixture;

TEST_F(TEdgeFixture, ACursorAtBofStaysThereWhenAnotherInsertsBeforeIt) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 5);
    a->SetIndexName("name");
    auto b = Open("t");
    a->SetToBegin();
    b->AppendRecord(Row(*b, 0, 0, "a0"), false);
    std::vector<std::uint8_t> r(a->RecordSize());
    ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "a0");
}

TEST_F(TEdgeFixture, ACursorAtEofStaysThereWhenAnotherInsertsAfterIt) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 5);
    a->SetIndexName("name");
    auto b = Open("t");
    a->SetToEnd();
    b->AppendRecord(Row(*b, 0, 0, "zz"), false);
    std::vector<std::uint8_t> r(a->RecordSize());
    ASSERT_EQ(a->GetPriorRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "zz");
}


TEST_F(TEdgeFixture, AnAppendWithoutRepositioningKeepsTheWalk) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 6);
    a->SetIndexName("name");
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToBegin();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r3");
    EXPECT_EQ(a->GetRecNo(), 3);
    a->AppendRecord(Row(*a, 0, 0, "a0"), false);
    EXPECT_EQ(a->GetRecNo(), 4) << "record number after an insert before us";
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    EXPECT_EQ(Name(*a, r), "r3");
    ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r4");
}

TEST_F(TEdgeFixture, NaturalOrderNumbersFollowAnAppendIntoAnEarlierSlot) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t", true);
    Fill(*a, 5);
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToRecNo(2);
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    a->DeleteRecord(r, true);  // slot 2 free
    a->SetToRecNo(3);          // slot 4
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    EXPECT_EQ(Name(*a, r), "r4");
    a->AppendRecord(Row(*a, 0, 0, "new"), false);  // reuses slot 2
    EXPECT_EQ(a->CurrentRecordNo(), 4);
    EXPECT_EQ(a->GetRecNo(), 4);
}

TEST_F(TEdgeFixture, FindDoesNotFindWhatAFilterHides) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 6);
    a->SetIndexName("name");
    TFilter* f = AddExprFilter(*a, "value > 3", {}, {.countCheck = true});
    a->ActivateFilter(f);
    EXPECT_EQ(a->GetRecordCount(), 3);
    std::vector<std::uint8_t> key = Row(*a, 0, 0, "r1"), out(a->RecordSize());
    const bool found = a->Find(true, key, 0, 0, false, out);
    EXPECT_FALSE(found) << "r1 is hidden by the filter";
    // The cursor rests on the next visible record, never on the hidden one.
    std::vector<std::uint8_t> r(a->RecordSize());
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    EXPECT_GT(GetIntegerField(r, a->Fields()[2]), 3) << Name(*a, r);
    EXPECT_EQ(Name(*a, r), "r4");
}

TEST_F(TEdgeFixture, ReplacingAConditionEvaluatesTheFiltersAfterItAgain) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 10);
    TFilter* expr = AddExprFilter(*a, "value < 5", {}, {.countCheck = true});
    a->AddCallbackFilter(
        [](TDataCursor& c, std::span<const std::uint8_t> rec, std::int32_t) {
            return GetIntegerField(rec, c.Fields()[2]) % 2 == 0;
        }, {.countCheck = true, .evaluateLast = true});
    a->ActivateFilter(nullptr);
    EXPECT_EQ(a->GetRecordCount(), 2);
    ReplaceFilterExpression(*a, expr,
                            CompileFilter("value < 10", "t", a->Fields(), 0, 0, {false, false}));
    EXPECT_EQ(a->GetRecordCount(), 4);
    EXPECT_EQ(Names(*a), (std::vector<std::string>{"r2", "r4", "r6", "r8"}));
}

// Kept identifiers: two deleted slots with one identifier.

TEST_F(TEdgeFixture, AFailedModificationKeepsTheCallersLock) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 3);
    a->SetIndexName("name");
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToBegin();
    ASSERT_EQ(a->GetNextRecord(r), 0);  // r1
    ASSERT_EQ(a->GetCurRecord(r, true), 0);
    const std::int32_t n = a->CurrentRecordNo();
    EXPECT_TRUE(a->Table().LockedRecords().Has(n));
    auto dup = r;
    PutStringField(dup, a->Fields()[3], "r2");
    EXPECT_EQ(CodeOf([&] { a->ModifyRecord(dup, true, true); }), RERUZO_KEYVIOL);
    EXPECT_TRUE(a->Table().LockedRecords().Has(n)) << "the edit lock is gone after a failed post";
}

TEST_F(TEdgeFixture, ASearchPastTheEndOfAFilteredViewRestsAfterItsLastRecord) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 20);
    a->SetIndexName("name");
    TFilter* f = AddExprFilter(*a, "value > 17", {}, {.countCheck = true});
    a->ActivateFilter(f);
    a->SetToEnd();
    const std::int32_t atEnd = a->GetRecNo();
    std::vector<std::uint8_t> key(a->BookmarkSize(), 0);
    auto rec = Row(*a, 0, 0, "zzz");
    TKeyLayout l = a->ActiveKeyLayout();
    BuildKey(l, rec, key);
    a->SetToBookmark(key, true);
    EXPECT_TRUE(a->Eof());
    EXPECT_EQ(a->GetRecNo(), atEnd);
}

TEST_F(TEdgeFixture, ReusingTheLastSlotReplacesItsDeletedEntry) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t", true);
    Fill(*a, 5);
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToRecNo(5);
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    ASSERT_EQ(a->CurrentRecordNo(), 5);
    a->DeleteRecord(r, true);
    a->AppendRecord(Row(*a, 0, 0, "new"), true);
    EXPECT_EQ(a->CurrentRecordNo(), 5);
    TDataTable& t = a->Table();
    EXPECT_EQ(TIndexTree(t.Index(), kSysDeletedSlot, SysDeletedLayout()).Count(), 5);
    EXPECT_EQ(a->GetRecordCount(), 5);
    auto b = Open("t", true);
    EXPECT_EQ(b->GetRecordCount(), 5) << "a fresh natural-order cursor";
    EXPECT_EQ(Names(*b), (std::vector<std::string>{"r1", "r2", "r3", "r4", "new"}));
    b->SetIndexName("name");
    TFilter* f = AddExprFilter(*b, "value >= 0", {}, {.countCheck = true});
    b->ActivateFilter(f);
    EXPECT_EQ(b->GetRecordCount(), 5) << "a filtered cursor";
    // Once another slot is deleted, the live bitmap comes from "Sys Deleted".
    a->SetToRecNo(1);
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    a->DeleteRecord(r, true);
    auto d = Open("t", true);
    EXPECT_EQ(d->GetRecordCount(), 4);
    EXPECT_EQ(Names(*d), (std::vector<std::string>{"r2", "r3", "r4", "new"}));
}

TEST_F(TEdgeFixture, SwitchingTheIndexDropsTheRangeFromAFilteredView) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto c = Open("t");
    Fill(*c, 60);
    c->SetIndexName("tag");
    std::vector<std::uint8_t> low(c->RecordSize()), high(c->RecordSize());
    c->InitRecord(low);
    c->InitRecord(high);
    PutIntegerField(low, c->Fields()[1], 1);
    PutIntegerField(high, c->Fields()[1], 1);
    c->SetRange(true, low, 1, high, 1);
    TFilter* f = AddExprFilter(*c, "value > 0", {}, {.countCheck = true});
    c->ActivateFilter(f);
    EXPECT_EQ(c->GetRecordCount(), 20);
    c->SetIndexName("name");
    EXPECT_FALSE(c->RangeActive());
    EXPECT_EQ(c->GetRecordCount(), 60);
    EXPECT_EQ(Names(*c).size(), 60u);
}

TEST_F(TEdgeFixture, ABuildStartedAgainTakesTheRangeAgain) {
    {
        TDataSession s;
        TDataDirectory& d = s.OpenDirectory("db", tmp.Dir());
        TTableStructure st;
        st.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("tag", kFieldInteger),
                     MakeFieldDesc("value", kFieldInteger), MakeFieldDesc("name", kFieldString, 16)};
        st.Primary = OneFieldIndex("", 1, true);
        st.Secondaries = {OneFieldIndex("tag", 2, false), OneFieldIndex("name", 4, true)};
        TDataTable* t = nullptr;
        ASSERT_EQ(d.CreateTable("big", st, t), 0);
        TTableLoader loader(*t);
        for (int i = 1; i <= 3000; ++i) {
            auto r = loader.BlankRecord();
            PutIntegerField(r, loader.Fields()[1], i % 3);
            PutIntegerField(r, loader.Fields()[2], i);
            PutStringField(r, loader.Fields()[3], "r" + std::to_string(i));
            loader.Append(r);
        }
        d.CloseTable(t, false);
        s.CloseDirectory(d);
    }
    auto c = Open("big");
    c->SetIndexName("tag");
    std::vector<std::uint8_t> r(c->RecordSize());
    c->SetToBegin();
    while (c->GetNextRecord(r) == 0) {
    }
    std::vector<std::uint8_t> low(c->RecordSize());
    c->InitRecord(low);
    PutIntegerField(low, c->Fields()[1], 1);
    c->SetRange(true, low, 1, low, 1);
    EXPECT_EQ(c->GetRecordCount(), 1000);
    c->SetToBegin();
    while (c->GetNextRecord(r) == 0) {
    }
    c->SetToBegin();
    ASSERT_EQ(c->GetNextRecord(r), 0);
    EXPECT_EQ(c->CurrentRecordNo(), 1);
    const std::string path = tmp.Dir();
    {
        TChild child([&](TChild&) {
            TDataSession s;
            TDataDirectory& d = s.OpenDirectory("db", path);
            TDataCursor w(d);
            w.SetTableName("big");
            w.OpenCursor();
            for (int i = 0; i < 50; ++i) w.AppendRecord(Row(w, 0, 0, "c" + std::to_string(i)), false);
            w.CloseCursor();
            s.CloseDirectory(d);
            return 0;
        });
        EXPECT_EQ(child.Wait(), 0);
    }
    TFilter* f = AddExprFilter(*c, "value >= 0", {}, {.countCheck = true});
    c->ActivateFilter(f);
    std::map<std::int64_t, int> tags;
    int n = 0;
    c->SetToBegin();
    while (c->GetNextRecord(r) == 0) {
        ++tags[GetIntegerField(r, c->Fields()[1])];
        ++n;
    }
    EXPECT_EQ(tags.size(), 1u);
    EXPECT_EQ(n, 1000);
    EXPECT_EQ(c->GetRecordCount(), 1000);
}

TEST_F(TEdgeFixture, AnAppendWithoutRepositioningKeepsTheRecordForAnIndexSwitch) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 6);
    a->SetIndexName("name");
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToBegin();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r3");
    a->AppendRecord(Row(*a, 0, 0, "zz"), false);
    a->SetIndexName("tag");
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    EXPECT_EQ(Name(*a, r), "r3");
}

TEST_F(TEdgeFixture, ADeleteWithoutRepositioningLeavesTheCursorBetweenItsNeighbours) {
    MakeRowsTable(tmp.Dir(), "t", true);
    auto a = Open("t");
    Fill(*a, 6);
    a->SetIndexName("name");
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToBegin();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r3");
    a->DeleteRecord(r, false);
    ASSERT_EQ(a->GetNextRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r4");
    ASSERT_EQ(a->GetPriorRecord(r), 0);
    EXPECT_EQ(Name(*a, r), "r2");
}

TEST_F(TEdgeFixture, AModificationOfARecordAnotherProcessDeletedIsRefused) {
    MakeRowsTable(tmp.Dir(), "t", true);
    {
        auto w = Open("t");
        Fill(*w, 5);
    }
    auto a = Open("t");
    a->SetIndexName("name");
    std::vector<std::uint8_t> r(a->RecordSize());
    a->SetToBegin();
    ASSERT_EQ(a->GetNextRecord(r), 0);
    ASSERT_EQ(a->GetNextRecord(r), 0);
    ASSERT_EQ(Name(*a, r), "r2");
    const std::string path = tmp.Dir();
    {
        TChild child([&](TChild&) {
            TDataSession s;
            TDataDirectory& d = s.OpenDirectory("db", path);
            TDataCursor w(d);
            w.SetTableName("t");
            w.OpenCursor();
            w.SetIndexName("name");
            std::vector<std::uint8_t> x(w.RecordSize());
            w.SetToBegin();
            w.GetNextRecord(x);
            w.GetNextRecord(x);
            w.DeleteRecord(x, true);
            w.CloseCursor();
            s.CloseDirectory(d);
            return 0;
        });
        ASSERT_EQ(child.Wait(), 0);
    }
    auto edited = r;
    PutIntegerField(edited, a->Fields()[2], 999);
    EXPECT_EQ(CodeOf([&] { a->ModifyRecord(edited, true, false); }), RERUZO_KEYORRECDELETED);
    auto b = Open("t");
    b->SetIndexName("name");
    std::vector<std::uint8_t> x(b->RecordSize());
    b->SetToBegin();
    while (b->GetNextRecord(x) == 0) {
        EXPECT_NE(GetIntegerField(x, b->Fields()[2]), 999) << "record " << Name(*b, x) << " got the edit meant for r2";
    }
}

TEST_F(TEdgeFixture, AKeptIdentifierThatADeletedSlotHoldsIsRefused) {
    MakeRowsTable(tmp.Dir(), "t", false);
    auto a = Open("t");
    a->SetSuppressAutoInc(true);
    std::vector<std::uint8_t> r(a->RecordSize());
    auto row = Row(*a, 1, 1, "x0");
    PutLE<std::int32_t>(row.data() + 5, 5);
    a->AppendRecord(row, true);
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    a->DeleteRecord(r, true);
    // Slot 1 keeps identifier 5 while deleted: a second record with it would collide
    // with that entry when it is deleted in turn.
    auto again = Row(*a, 1, 1, "x1");
    PutLE<std::int32_t>(again.data() + 5, 5);
    EXPECT_EQ(CodeOf([&] { a->AppendRecord(again, true); }), RERUZO_KEYVIOL);
    PutLE<std::int32_t>(again.data() + 5, 6);
    a->AppendRecord(again, true);
    ASSERT_EQ(a->GetCurRecord(r, false), 0);
    a->DeleteRecord(r, true);
    TDataTable& t = a->Table();
    EXPECT_EQ(CheckIndexFile(t.Index(), t.Data().Fields(), 0, 0), std::vector<std::string>{});
    EXPECT_EQ(TIndexTree(t.Index(), kSysDeletedSlot, SysDeletedLayout()).Count(), t.Data().SlotCount());
}

}  // namespace
}  // namespace reruzo
