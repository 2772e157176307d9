// Locking, change detection and transactions of table objects, between processes
// (forked children) and within one.
#include "engine/table/data_table.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/table/data_session.h"
#include "engine/index/index_build.h"
#include "engine/index/index_tree.h"
#include "engine/storage/byte_order.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TChild;
using quorvane::testing::TTempDir;

TTableStructure Structure() {
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("keyid", kFieldInteger)};
    s.Primary.FieldCount = 1;
    s.Primary.FieldNumbers[0] = 1;
    TIndexDesc key;
    key.Name = "key";
    key.FieldCount = 1;
    key.FieldNumbers[0] = 2;
    s.Secondaries = {key};
    return s;
}

// Appends a record the way a writer does: under the write lock, entering its keys in
// every index, and writing everything with the change counters advanced.
void AppendRow(TDataTable& t, std::int32_t keyid) {
    t.WriteLock();
    TDataFile& data = t.Data();
    TIndexFile& index = t.Index();
    std::int32_t slot = 0;
    {
        TPinnedRecord r(data.AppendRecord());
        slot = r->RecordNo();
        r->SetRecordId(data.NextAutoInc());
        PutIntegerField(r->Data(), data.FieldDesc(2), keyid);
        r->SetModified(true);
        for (int s : {0, 1, kSysDeletedSlot}) {
            if (!index.Descriptor(s).Defined()) continue;
            TKeyLayout layout = MakeKeyLayout(index.Descriptor(s), s, data.Fields(), 0, 0);
            std::vector<std::uint8_t> key(layout.KeyLength());
            BuildKey(layout, r->Data(), key);
            TIndexTree(index, s, layout).Insert(key.data(), slot);
        }
    }
    index.IncRecordCount();
    t.FlushBuffers({}, {.data = true, .index = true});
    t.WriteUnlock();
}

std::int32_t KeyIdOf(TDataTable& t, std::int32_t slot) {
    TPinnedRecord r(t.Data().GetRecord(nullptr, slot, {}));
    return static_cast<std::int32_t>(GetIntegerField(r->Data(), t.Data().FieldDesc(2)));
}

class LockingTest : public ::testing::Test {
protected:
    void SetUp() override {
        TDataDirectory& dir = session.OpenDirectory("db", tmp.Dir());
        TDataTable* t = nullptr;
        ASSERT_EQ(dir.CreateTable("t", Structure(), t), 0);
        dir.CloseTable(t, false);
        session.CloseDirectory(dir);
        SetFileLockRetriesForTests(30);  // about 0.1 s instead of 25 s
    }
    void TearDown() override { SetFileLockRetriesForTests(kFileLockRetries); }

    // Opens the table in a fresh session (as another process would).
    struct TOpened {
        TDataSession session;
        TDataDirectory* dir = nullptr;
        TDataTable* table = nullptr;
        TOpened(const std::string& path, TTableOpenOptions options = {}) {
            dir = &session.OpenDirectory("db", path);
            const int code = dir->OpenTable("t", options, table);
            if (code < 0) RaiseEngineError(static_cast<std::uint16_t>(-code), {.table = "t"});
        }
        ~TOpened() {
            if (table) dir->CloseTable(table, false);
            session.CloseDirectory(*dir);
        }
    };

    TTempDir tmp;
    TDataSession session;
};

TEST_F(LockingTest, AReaderStopsAWriterOfAnotherProcessButNotAnotherReader) {
    const std::string path = tmp.Dir();
    TChild child([&](TChild& self) {
        TOpened o(path);
        o.table->ReadLock();
        self.Tell('R');
        self.Await();
        o.table->ReadUnlock();
        self.Tell('U');
        self.Await();
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'R');
    TOpened me(path);
    EXPECT_EQ(CodeOf([&] { me.table->WriteLock(); }), RERUZO_LOCKTIMEOUT);
    EXPECT_FALSE(me.table->WriteLockHeld());
    // A failed write lock leaves nothing of itself: the table byte is free for others.
    EXPECT_TRUE(me.table->Data().LockRange(true, kTableWriteByte, 1));
    me.table->Data().LockRange(false, kTableWriteByte, 1);
    EXPECT_NO_THROW(me.table->ReadLock());  // readers share
    me.table->ReadUnlock();
    child.Say('g');
    ASSERT_EQ(child.Hear(), 'U');
    EXPECT_NO_THROW(me.table->WriteLock());
    EXPECT_TRUE(me.table->WriteLockHeld());
    me.table->WriteUnlock();
    child.Say('x');
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(LockingTest, AWriterStopsReadersAndWritersOfAnotherProcess) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    me.table->WriteLock();
    TChild child([&](TChild&) {
        SetFileLockRetriesForTests(30);
        TOpened o(path);
        if (CodeOf([&] { o.table->ReadLock(); }) != RERUZO_LOCKTIMEOUT) return 1;
        if (CodeOf([&] { o.table->WriteLock(); }) != RERUZO_LOCKTIMEOUT) return 2;
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    me.table->WriteUnlock();
}

TEST_F(LockingTest, RecordLocksRetryAsTheSessionSays) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    AppendRow(*me.table, 1);
    AppendRow(*me.table, 2);
    TChild child([&](TChild& self) {
        TOpened o(path);
        o.table->LockRecord(2);
        o.table->CheckUnlock();
        self.Tell('L');
        self.Await();
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'L');
    me.session.SetLockRetryCount(0);
    EXPECT_EQ(CodeOf([&] { me.table->LockRecord(2); }), RERUZO_RECLOCKFAILED);
    EXPECT_FALSE(me.table->CheckLockHeld());  // nothing of the failed lock stays
    me.session.SetLockRetryCount(3);
    me.session.SetLockWaitTime(20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CodeOf([&] { me.table->LockRecord(2); }), RERUZO_RECLOCKFAILED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));  // three waits
    EXPECT_NO_THROW(me.table->LockRecord(1));  // another record is free
    me.table->CheckUnlock();
    me.table->UnlockRecord(1);
    EXPECT_EQ(CodeOf([&] { me.table->UnlockRecord(1); }), RERUZO_UNLOCKFAILED);
    EXPECT_EQ(CodeOf([&] { me.table->LockRecord(0); }), RERUZO_RECLOCKFAILED);
    child.Say('x');
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(LockingTest, ATransactionKeepsUnlockedRecordsLockedUntilItEnds) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    AppendRow(*me.table, 1);
    me.table->StartTransaction();
    EXPECT_TRUE(me.table->TransactionLockHeld());
    me.table->LockRecord(1);
    me.table->CheckUnlock();
    me.table->UnlockRecord(1);
    EXPECT_TRUE(me.table->DeferredUnlocks().Has(1));
    EXPECT_TRUE(me.table->LockedRecords().Has(1));
    EXPECT_FALSE(me.table->LockRecord(1));  // held already: nothing new is taken
    auto otherTries = [&] {
        TChild child([&](TChild&) {
            TOpened o(path);
            o.session.SetLockRetryCount(0);
            return CodeOf([&] { o.table->LockRecord(1); }) == RERUZO_RECLOCKFAILED ? 1 : 0;
        });
        return child.Wait();
    };
    EXPECT_EQ(otherTries(), 1);  // still locked
    me.table->Commit(true, false);
    EXPECT_FALSE(me.table->LockedRecords().Has(1));
    EXPECT_EQ(otherTries(), 0);  // free after the commit
}

// A commit releases runs of consecutive records in one call each: exactly the
// records whose unlock waited for it, not a neighbour still being edited nor one
// in a gap.
TEST_F(LockingTest, ACommitReleasesRunsOfRecordsAndNothingElse) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    for (int i = 1; i <= 8; ++i) AppendRow(*me.table, i);
    me.table->StartTransaction();
    for (std::int32_t n : {2, 3, 4, 5, 7}) {
        me.table->LockRecord(n);
        me.table->CheckUnlock();
    }
    for (std::int32_t n : {2, 3, 5, 7}) me.table->UnlockRecord(n);  // 4 is still being edited
    auto othersLocked = [&] {
        TChild child([&](TChild&) {
            TOpened o(path);
            o.session.SetLockRetryCount(0);
            int mask = 0;
            for (std::int32_t n = 1; n <= 8; ++n) {
                if (CodeOf([&] {
                        o.table->LockRecord(n);
                        o.table->CheckUnlock();
                        o.table->UnlockRecord(n);
                    }) == RERUZO_RECLOCKFAILED) {
                    mask |= 1 << n;
                }
            }
            return mask;
        });
        return child.Wait();
    };
    EXPECT_EQ(othersLocked(), (1 << 2) | (1 << 3) | (1 << 4) | (1 << 5) | (1 << 7));
    me.table->Commit(true, false);
    EXPECT_EQ(othersLocked(), 1 << 4);
    EXPECT_TRUE(me.table->LockedRecords().Has(4));
    EXPECT_EQ(me.table->LockedRecords().Count(), 1);
    me.table->UnlockRecord(4);
    EXPECT_EQ(othersLocked(), 0);
}

TEST_F(LockingTest, ACommitThatCannotHaveTheWriteLockLeavesTheTransactionRunning) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    me.table->StartTransaction();
    AppendRow(*me.table, 7);
    TChild child([&](TChild& self) {
        TOpened o(path);
        o.table->ReadLock();
        self.Tell('R');
        self.Await();
        o.table->ReadUnlock();
        return 0;
    });
    ASSERT_EQ(child.Hear(), 'R');
    EXPECT_EQ(CodeOf([&] { me.table->Commit(true, false); }), RERUZO_LOCKTIMEOUT);
    // Nothing was given up: the transaction and its lock remain, and so does the row.
    EXPECT_TRUE(me.table->TransactionActive());
    EXPECT_TRUE(me.table->TransactionLockHeld());
    EXPECT_EQ(me.table->Data().SlotCount(), 1);
    child.Say('g');
    EXPECT_EQ(child.Wait(), 0);
    me.table->Commit(true, false);
    EXPECT_FALSE(me.table->TransactionActive());
    EXPECT_FALSE(me.table->TransactionLockHeld());
    TChild reader([&](TChild&) {
        TOpened o(path);
        return o.table->Data().SlotCount() == 1 && KeyIdOf(*o.table, 1) == 7 ? 0 : 1;
    });
    EXPECT_EQ(reader.Wait(), 0);
}

TEST_F(LockingTest, AnAppendByAnotherProcessIsSeenThroughTheCounters) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    AppendRow(*me.table, 7);
    EXPECT_EQ(KeyIdOf(*me.table, 1), 7);
    EXPECT_FALSE(me.table->CheckChanges());
    TChild child([&](TChild&) {
        TOpened o(path);
        AppendRow(*o.table, 8);
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(me.table->Data().SlotCount(), 1);
    EXPECT_TRUE(me.table->CheckLock());  // the check lock finds the change
    me.table->CheckUnlock();
    EXPECT_EQ(me.table->Data().SlotCount(), 2);
    EXPECT_EQ(me.table->Index().RecordCount(), 2);
    EXPECT_EQ(KeyIdOf(*me.table, 2), 8);
    EXPECT_EQ(CheckTableIndexes(me.table->Data(), me.table->Index()), std::vector<std::string>{});
}

TEST_F(LockingTest, ARollbackRestoresTheTableAndOthersNeverSeeTheChanges) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    AppendRow(*me.table, 1);
    me.table->StartTransaction();
    AppendRow(*me.table, 2);
    {
        TPinnedRecord r(me.table->Data().GetRecord(nullptr, 1, {}));
        PutIntegerField(r->Data(), me.table->Data().FieldDesc(2), 100);
        r->SetModified(true);
    }
    EXPECT_EQ(me.table->Data().SlotCount(), 2);
    TChild child([&](TChild&) {
        TOpened o(path);
        return o.table->Data().SlotCount() == 1 && KeyIdOf(*o.table, 1) == 1 ? 0 : 1;
    });
    EXPECT_EQ(child.Wait(), 0);
    me.table->Rollback();
    EXPECT_FALSE(me.table->TransactionActive());
    EXPECT_EQ(me.table->Data().SlotCount(), 1);
    EXPECT_EQ(KeyIdOf(*me.table, 1), 1);
    EXPECT_EQ(me.table->Index().RecordCount(), 1);
    EXPECT_EQ(CheckTableIndexes(me.table->Data(), me.table->Index()), std::vector<std::string>{});
    // And a committed transaction reaches the disk.
    me.table->StartTransaction();
    AppendRow(*me.table, 3);
    me.table->Commit(true, false);
    TOpened other(path);
    EXPECT_EQ(other.table->Data().SlotCount(), 2);
    EXPECT_EQ(KeyIdOf(*other.table, 2), 3);
}

TEST_F(LockingTest, LocksOfAProcessThatDiesAreReleased) {
    const std::string path = tmp.Dir();
    TChild child([&](TChild&) {
        TOpened o(path);
        o.table->WriteLock();
        o.table->LockRecord(0 + 1);
        ::_exit(0);  // dies holding everything
        return 0;
    });
    ASSERT_EQ(child.Wait(), 0);
    TOpened me(path);
    EXPECT_NO_THROW(me.table->WriteLock());
    me.table->WriteUnlock();
    EXPECT_NO_THROW(me.table->LockRecord(1));
}

TEST_F(LockingTest, AnExclusiveOpenShutsOutOtherProcesses) {
    const std::string path = tmp.Dir();
    TTableOpenOptions exclusive;
    exclusive.Exclusive = true;
    TOpened me(path, exclusive);
    // An exclusive table takes no locks and checks no counters.
    EXPECT_FALSE(me.table->WriteLock());
    EXPECT_FALSE(me.table->WriteLockHeld());
    EXPECT_FALSE(me.table->LockRecord(5));
    TChild child([&](TChild&) { return CodeOf([&] { TOpened o(path); }) == RERUZO_OSEACCES ? 0 : 1; });
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(LockingTest, InsideATransactionTheCachesGrowInsteadOfWriting) {
    const std::string path = tmp.Dir();
    TOpened me(path);
    me.table->StartTransaction();
    for (int i = 0; i < 3000; ++i) AppendRow(*me.table, i);
    // Nothing reached the disk: another process still sees an empty table.
    TChild child([&](TChild&) {
        TOpened o(path);
        return o.table->Data().SlotCount() == 0 ? 0 : 1;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_GT(me.table->Data().CacheCapacity(), 8192u / 21u);
    me.table->Commit(true, false);
    TOpened other(path);
    EXPECT_EQ(other.table->Data().SlotCount(), 3000);
    EXPECT_EQ(CheckTableIndexes(other.table->Data(), other.table->Index()), std::vector<std::string>{});
}

}  // namespace
}  // namespace reruzo
