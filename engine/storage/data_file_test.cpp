// Tests of the data file handler: creating and reopening tables, the record cache
// (read-ahead, eviction, pins, flushing in runs), header writes, encryption, limits,
// damaged files, and a randomised run against a simple model of the file.
#include "engine/storage/data_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TTempDir;

// Fields: id (auto-increment), n (Integer), s (String of `length`):
// RecordSize = 9 + 5 + length + 2.
std::vector<TFieldDesc> Fields(std::uint8_t length) {
    std::vector<TFieldDesc> f = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc),
                                 MakeFieldDesc("n", kFieldInteger), MakeFieldDesc("s", kFieldString, length)};
    LayoutRecord(f);
    return f;
}

// Creates a table of `count` records whose n is the slot number.
void MakeTable(const TTempDir& dir, const std::string& name, int count, std::uint8_t length = 84,
               bool encrypted = false) {
    TDataFile file(dir.Dir(), name);
    file.InitHeader(0, 0, 1, 2, encrypted, "pw", "test table", 0, Fields(length));
    for (int i = 1; i <= count; ++i) {
        TPinnedRecord r(file.AppendRecord());
        r->SetRecordId(file.NextAutoInc());
        PutIntegerField(r->Data(), file.FieldDesc(2), i);
        PutStringField(r->Data(), file.FieldDesc(3), "row " + std::to_string(i));
        r->SetModified(true);
    }
    file.FlushRecords(false);
    file.WriteFieldDescs();
    file.WriteHeader(true, false);
}

std::int64_t NOf(TDataFile& f, std::int32_t slot) {
    TPinnedRecord r(f.GetRecord(nullptr, slot, {}));
    return GetIntegerField(r->Data(), f.FieldDesc(2));
}

TEST(DataFile, CreatedTableReopensAndPassesTheStructureCheck) {
    TTempDir dir;
    MakeTable(dir, "t", 5);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    f.VerifyStructure();
    EXPECT_EQ(f.RecordSize(), 100);
    EXPECT_EQ(f.SlotCount(), 5);
    EXPECT_EQ(f.LastAutoInc(), 5);
    EXPECT_EQ(f.UserMajorVersion(), 1);
    EXPECT_EQ(f.UserMinorVersion(), 2);
    EXPECT_EQ(f.Description(), "test table");
    EXPECT_EQ(f.Password(), "");  // not encrypted: no password kept
    EXPECT_EQ(f.Header().ChangeCount, 1u);
    EXPECT_EQ(f.Header().EngineVersion, 30100u);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(NOf(f, i), i);
    TPinnedRecord r(f.GetRecord(nullptr, 3, {}));
    EXPECT_EQ(r->RecordId(), 3);
    EXPECT_EQ(GetStringField(r->Data(), f.FieldDesc(3)), "row 3");
}

TEST(DataFile, ReadAheadReadsEightyOneSlotsInOneCall) {
    TTempDir dir;
    MakeTable(dir, "t", 200);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    EXPECT_EQ(f.RecordsPerRead(), 81);
    EXPECT_EQ(f.CacheCapacity(), 163u);
    TPinnedRecord(f.GetRecord(nullptr, 1, {.readAhead = true}));
    EXPECT_EQ(f.Stats().readCalls, 1u);
    EXPECT_EQ(f.Stats().diskReads, 81u);
    for (int i = 2; i <= 81; ++i) EXPECT_EQ(NOf(f, i), i);
    EXPECT_EQ(f.Stats().readCalls, 1u);
    EXPECT_EQ(f.Stats().cacheHits, 80u);
    // Near the end the run stops at the last slot.
    TPinnedRecord(f.GetRecord(nullptr, 190, {.readAhead = true}));
    EXPECT_EQ(f.Stats().diskReads, 81u + 11u);
    // Backward: the run ends at the slot asked for.
    TPinnedRecord(f.GetRecord(nullptr, 150, {.forward = false, .readAhead = true}));
    EXPECT_EQ(f.Stats().readCalls, 3u);
    // k = Min(81, NextRecordNo - n) = 51, so the run is slots 100..150.
    EXPECT_EQ(f.Stats().diskReads, 81u + 11u + 51u);
    EXPECT_EQ(NOf(f, 100), 100);
    EXPECT_EQ(f.Stats().readCalls, 3u);
    EXPECT_EQ(f.CheckCache(), "");
}

TEST(DataFile, SequentialReadingCostsOneCallPerRunAndNoAllocationOnceWarm) {
    TTempDir dir;
    MakeTable(dir, "t", 1000);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    for (int pass = 0; pass < 3; ++pass) {
        for (int i = 1; i <= 1000; ++i) {
            TPinnedRecord r(f.GetRecord(nullptr, i, {.readAhead = true}));
            ASSERT_EQ(GetIntegerField(r->Data(), f.FieldDesc(2)), i);
        }
        ASSERT_EQ(f.CheckCache(), "");
    }
    // 1000 slots in runs of 81: 13 reads a pass (the cache holds only 163 records).
    EXPECT_EQ(f.Stats().readCalls, 39u);
    EXPECT_EQ(f.Stats().diskReads, 3000u);
    // Records were reused: never more than the capacity in existence.
    EXPECT_LE(f.CachedCount() + f.PooledCount(), f.CacheCapacity());
}

TEST(DataFile, FlushWritesOneRunPerGroupOfConsecutiveSlots) {
    TTempDir dir;
    MakeTable(dir, "t", 30);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    for (int slot : {2, 3, 4, 10, 20, 21}) {
        TPinnedRecord r(f.GetRecord(nullptr, slot, {.readAhead = true}));
        PutIntegerField(r->Data(), f.FieldDesc(2), slot * 1000);
        r->SetModified(true);
    }
    EXPECT_TRUE(f.FlushRecords(false));
    EXPECT_EQ(f.Stats().writeCalls, 3u);
    EXPECT_FALSE(f.FlushRecords(false));
    f.Close();
    f.Open();
    EXPECT_EQ(NOf(f, 3), 3000);
    EXPECT_EQ(NOf(f, 21), 21000);
    EXPECT_EQ(NOf(f, 22), 22);
}

TEST(DataFile, ReloadingSkipsModifiedAndPinnedRecords) {
    TTempDir dir;
    MakeTable(dir, "t", 20);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    {
        TPinnedRecord r(f.GetRecord(nullptr, 5, {}));
        PutIntegerField(r->Data(), f.FieldDesc(2), -5);
        r->SetModified(true);
    }
    TPinnedRecord p6(f.GetRecord(nullptr, 6, {}));
    PutIntegerField(p6->Data(), f.FieldDesc(2), -6);
    {
        TPinnedRecord r7(f.GetRecord(nullptr, 7, {}));
        PutIntegerField(r7->Data(), f.FieldDesc(2), -7);  // clean in the cache's eyes
    }
    TPinnedRecord(f.GetRecord(nullptr, 1, {.readAhead = true}));  // run 1..20
    EXPECT_EQ(NOf(f, 5), -5);
    EXPECT_EQ(NOf(f, 6), -6);
    EXPECT_EQ(NOf(f, 7), 7);  // reloaded from the file
    EXPECT_EQ(f.CheckCache(), "");
}

TEST(DataFile, EvictionRespectsPinsAndGrowsWhenNothingCanGo) {
    TTempDir dir;
    MakeTable(dir, "t", 100, 250);  // 267-byte records: capacity 61
    TDataFile f(dir.Dir(), "t");
    f.Open();
    ASSERT_EQ(f.CacheCapacity(), 61u);
    std::vector<TPinnedRecord> pins;
    for (int i = 1; i <= 61; ++i) pins.emplace_back(f.GetRecord(nullptr, i, {}));
    EXPECT_EQ(f.CachedCount(), 61u);
    // Every cached record is pinned: the cache grows by 64 instead of evicting.
    EXPECT_EQ(NOf(f, 62), 62);
    EXPECT_EQ(f.CacheCapacity(), 125u);
    for (int i = 1; i <= 61; ++i) EXPECT_EQ(GetIntegerField(pins[static_cast<std::size_t>(i - 1)]->Data(), f.FieldDesc(2)), i);
    pins.clear();
    f.TrimCache();
    EXPECT_EQ(f.CacheCapacity(), 61u);
    EXPECT_LE(f.CachedCount(), 61u);
    EXPECT_EQ(f.CheckCache(), "");
}

TEST(DataFile, EvictionFlushesModifiedRecordsOutsideTransactions) {
    TTempDir dir;
    MakeTable(dir, "t", 100, 250);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    for (int i = 1; i <= 61; ++i) {
        TPinnedRecord r(f.GetRecord(nullptr, i, {}));
        PutIntegerField(r->Data(), f.FieldDesc(2), -i);
        r->SetModified(true);
    }
    EXPECT_EQ(NOf(f, 62), 62);  // needs room: all are modified, so they are flushed first
    EXPECT_EQ(f.CacheCapacity(), 61u);
    EXPECT_EQ(f.Stats().writeCalls, 1u);
    TDataFile other(dir.Dir(), "t");
    other.Open();
    EXPECT_EQ(NOf(other, 30), -30);
}

struct TTransactionOwner : TDataFileOwner {
    bool InTransaction() const override { return true; }
};

TEST(DataFile, InsideATransactionTheCacheGrowsInsteadOfWriting) {
    TTempDir dir;
    MakeTable(dir, "t", 100, 250);
    TTransactionOwner owner;
    TDataFile f(dir.Dir(), "t", &owner);
    f.Open();
    for (int i = 1; i <= 61; ++i) {
        TPinnedRecord r(f.GetRecord(nullptr, i, {}));
        PutIntegerField(r->Data(), f.FieldDesc(2), -i);
        r->SetModified(true);
    }
    EXPECT_EQ(NOf(f, 62), 62);
    EXPECT_EQ(f.CacheCapacity(), 125u);
    EXPECT_EQ(f.Stats().writeCalls, 0u);
    TDataFile other(dir.Dir(), "t");
    other.Open();
    EXPECT_EQ(NOf(other, 30), 30);  // nothing reached the disk
}

struct TScriptedReader : TRecordReader {
    bool changed = false;
    int asked = 0;
    std::int32_t count = 3;
    bool ChangedBeforeRead() override {
        ++asked;
        return changed;
    }
    std::int32_t ReadAheadCount(bool) override { return count; }
};

struct TStrictOwner : TDataFileOwner {
    bool StrictChangeDetection() const override { return true; }
};

TEST(DataFile, CursorIsAskedForChangesOnlyOnACacheMiss) {
    TTempDir dir;
    MakeTable(dir, "t", 20);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    TScriptedReader cursor;
    TPinnedRecord(f.GetRecord(&cursor, 4, {.cursorCount = true, .readAhead = true}));
    EXPECT_EQ(cursor.asked, 1);
    EXPECT_EQ(f.Stats().diskReads, 3u);  // the cursor's own run length
    TPinnedRecord(f.GetRecord(&cursor, 5, {.cursorCount = true, .readAhead = true}));
    EXPECT_EQ(cursor.asked, 1);  // a hit asks nothing
    cursor.changed = true;
    EXPECT_EQ(f.GetRecord(&cursor, 10, {.cursorCount = true, .readAhead = true}), nullptr);
    EXPECT_EQ(f.Stats().readCalls, 1u);

    TStrictOwner strict;
    TDataFile s(dir.Dir(), "t", &strict);
    s.Open();
    TPinnedRecord(s.GetRecord(&cursor, 10, {.cursorCount = true, .readAhead = true}));
    EXPECT_EQ(cursor.asked, 2);  // not asked: strict detection checks elsewhere
}

TEST(DataFile, HeaderWritesAdvanceTheChangeCounterSeenByOthers) {
    TTempDir dir;
    MakeTable(dir, "t", 3);
    TDataFile a(dir.Dir(), "t"), b(dir.Dir(), "t");
    a.Open();
    b.Open();
    EXPECT_FALSE(b.HeaderChanged());
    a.WriteHeader(false, false);  // not modified, not forced: nothing written
    EXPECT_FALSE(b.HeaderChanged());
    a.NextAutoInc();
    a.WriteHeader(false, true);
    EXPECT_FALSE(a.HeaderModified());
    EXPECT_TRUE(b.HeaderChanged());
    EXPECT_EQ(b.LastAutoInc(), 4);
    EXPECT_EQ(b.Header().ChangeCount, a.Header().ChangeCount);
}

TEST(DataFile, FailedWritesLeaveTheCachedImageUnchanged) {
    TTempDir dir;
    MakeTable(dir, "t", 5);
    TDataFile f(dir.Dir(), "t");
    f.SetReadOnly(true);
    f.Open();
    {
        TPinnedRecord r(f.GetRecord(nullptr, 2, {}));
        PutIntegerField(r->Data(), f.FieldDesc(2), 99);
        r->SetModified(true);
    }
    EXPECT_EQ(CodeOf([&] { f.FlushRecords(false); }), RERUZO_WRITEERR);
    EXPECT_EQ(NOf(f, 2), 99);
    EXPECT_EQ(f.CheckCache(), "");
    // Still modified: a second flush tries again.
    EXPECT_EQ(CodeOf([&] { f.FlushRecords(false); }), RERUZO_WRITEERR);
    const auto count = f.Header().ChangeCount;
    EXPECT_EQ(CodeOf([&] { f.WriteHeader(true, false); }), RERUZO_WRITEERR);
    EXPECT_EQ(f.Header().ChangeCount, count);
}

TEST(DataFile, EncryptedSlotsDifferOnDiskAndReadBackIdentical) {
    TTempDir dir;
    MakeTable(dir, "enc", 4, 84, true);
    MakeTable(dir, "plain", 4, 84, false);
    const auto enc = dir.Read("enc.DAT");
    const auto plain = dir.Read("plain.DAT");
    ASSERT_EQ(enc.size(), plain.size());
    const std::size_t first = 127 + 3 * 768;
    EXPECT_NE(std::vector<unsigned char>(enc.begin() + first, enc.end()),
              std::vector<unsigned char>(plain.begin() + first, plain.end()));
    // Header fields other than the two strings are stored plain.
    EXPECT_EQ(std::vector<unsigned char>(enc.begin() + 8, enc.begin() + 27),
              std::vector<unsigned char>(plain.begin() + 8, plain.begin() + 27));
    TDataFile f(dir.Dir(), "enc");
    f.Open();
    f.VerifyStructure();
    EXPECT_TRUE(f.Encrypted());
    EXPECT_EQ(f.Password(), "pw");
    EXPECT_EQ(f.Description(), "test table");
    EXPECT_EQ(f.FieldDesc(3).Name, "s");
    TPinnedRecord r(f.GetRecord(nullptr, 4, {.readAhead = true}));
    EXPECT_EQ(GetStringField(r->Data(), f.FieldDesc(3)), "row 4");
}

TEST(DataFile, SizeLimitsGiveTableFull) {
    TTempDir dir;
    MakeTable(dir, "t", 1);
    auto bytes = dir.Read("t.DAT");
    PutLE<std::int32_t>(bytes.data() + 13, 200000001);
    dir.Write("t.DAT", bytes);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    EXPECT_EQ(CodeOf([&] { f.AppendRecord(); }), RERUZO_TABLEFULL);
    f.Close();
    // 260-byte records: slot 15384606 ends at byte 3999999991, slot 15384607 beyond
    // byte 4000000000.
    MakeTable(dir, "wide", 1, 244);
    bytes = dir.Read("wide.DAT");
    ASSERT_EQ(GetLE<std::uint16_t>(bytes.data() + 21), 260);
    PutLE<std::int32_t>(bytes.data() + 13, 15384606);
    dir.Write("wide.DAT", bytes);
    TDataFile w(dir.Dir(), "wide");
    w.Open();
    TPinnedRecord last(w.AppendRecord());
    EXPECT_EQ(last->RecordNo(), 15384606);
    EXPECT_EQ(CodeOf([&] { w.AppendRecord(); }), RERUZO_TABLEFULL);
    EXPECT_EQ(CodeOf([&] { w.GetRecord(nullptr, 0, {}); }), RERUZO_FILECORRUPT);
}

TEST(DataFile, ReadingPastTheLastSlotIsCorruptionNotAnAppend) {
    // A damaged index may hold a record number at or past the end; a reader must not
    // grow the table for it.
    TTempDir dir;
    MakeTable(dir, "t", 5);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    EXPECT_EQ(CodeOf([&] { f.GetRecord(nullptr, 6, {.readAhead = true}); }), RERUZO_FILECORRUPT);
    EXPECT_EQ(CodeOf([&] { f.GetRecord(nullptr, 7, {.readAhead = true}); }), RERUZO_FILECORRUPT);
    EXPECT_EQ(f.Header().NextRecordNo, 6);
    EXPECT_FALSE(f.HeaderModified());
}

TEST(DataFile, NewTableLimits) {
    TTempDir dir;
    std::vector<TFieldDesc> blobs;
    for (int i = 0; i < 65; ++i) blobs.push_back(MakeFieldDesc("b" + std::to_string(i), kFieldBlob));
    LayoutRecord(blobs);
    TDataFile a(dir.Dir(), "blobs");
    EXPECT_EQ(CodeOf([&] { a.InitHeader(0, 0, 0, 0, false, "", "", 0, blobs); }), RERUZO_BLOBLIMIT);
    std::vector<TFieldDesc> wide;
    for (int i = 0; i < 300; ++i) wide.push_back(MakeFieldDesc("s" + std::to_string(i), kFieldString, 250));
    LayoutRecord(wide);
    TDataFile b(dir.Dir(), "wide");
    EXPECT_EQ(CodeOf([&] { b.InitHeader(0, 0, 0, 0, false, "", "", 0, wide); }), RERUZO_RECTOOBIG);
    EXPECT_FALSE(b.IsOpen());
}

TEST(DataFile, EmptyCutsTheFileAndResetsTheHeader) {
    TTempDir dir;
    MakeTable(dir, "t", 10);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    TPinnedRecord(f.GetRecord(nullptr, 1, {.readAhead = true}));
    f.Empty();
    EXPECT_EQ(f.CachedCount(), 0u);
    f.WriteHeader(false, false);
    EXPECT_EQ(f.FileSize(), 127u + 3 * 768);
    EXPECT_EQ(f.SlotCount(), 0);
    EXPECT_EQ(f.LastAutoInc(), 0);
    f.VerifyStructure();
}

TEST(DataFile, HeaderAndDescriptorChanges) {
    TTempDir dir;
    MakeTable(dir, "t", 2);
    TDataFile f(dir.Dir(), "t");
    f.Open();
    TFieldDesc d = f.FieldDesc(2);
    d.Name = "count";
    d.Description = "how many";
    d.MinValue = "0";
    d.FieldType = kFieldString;  // not copied: only names, texts and checks change
    f.SetFieldDescInfo(2, d);
    f.SetHeaderInfo("ignored", "renamed", 40, 3, 4);
    f.WriteFieldDescs();
    f.WriteHeader(false, false);
    f.Close();
    f.Open();
    f.VerifyStructure();
    EXPECT_EQ(f.FieldDesc(2).Name, "count");
    EXPECT_EQ(f.FieldDesc(2).FieldType, kFieldInteger);
    EXPECT_EQ(f.FieldDesc(2).MinValue, "0");
    EXPECT_EQ(f.Description(), "renamed");
    EXPECT_EQ(f.Password(), "");
    EXPECT_EQ(f.LastAutoInc(), 40);
    EXPECT_EQ(f.UserMajorVersion(), 3);
    EXPECT_EQ(f.NextAutoInc(), 41);
    f.SetLastAutoInc(INT32_MAX);
    EXPECT_EQ(f.NextAutoInc(), 1);  // wraps
}

TEST(DataFile, DamagedFilesGiveEngineErrorsAndLeaveNothingOpen) {
    TTempDir dir;
    MakeTable(dir, "t", 6, 20);
    const auto good = dir.Read("t.DAT");
    std::mt19937 rng(99);
    for (int round = 0; round < 500; ++round) {
        auto bytes = good;
        switch (round % 4) {
            case 0: bytes.resize(rng() % bytes.size()); break;
            case 1: PutLE<std::uint16_t>(bytes.data() + 23, static_cast<std::uint16_t>(rng())); break;
            case 2: PutLE<std::uint16_t>(bytes.data() + 21, static_cast<std::uint16_t>(rng())); break;
            default:
                for (int i = 0; i < 3; ++i) bytes[rng() % bytes.size()] = static_cast<unsigned char>(rng());
        }
        dir.Write("t.DAT", bytes);
        TDataFile f(dir.Dir(), "t");
        try {
            f.Open();
            f.VerifyStructure();
            for (std::int32_t n = 1; n <= f.SlotCount(); ++n) {
                TPinnedRecord r(f.GetRecord(nullptr, n, {.readAhead = true}));
                for (const auto& d : f.Fields()) {
                    if (d.HasSlot() || d.IsAutoInc()) (void)FieldData(r->Data(), d);
                }
            }
        } catch (const ERERUZOEngineError&) {
        }
        f.Close();
        ASSERT_EQ(TFileList::Instance().Find(TFileKind::Disk, f.FileName()), nullptr) << round;
    }
}

TEST(DataFile, TruncatedFilesGiveTheirErrors) {
    TTempDir dir;
    MakeTable(dir, "t", 2);
    auto bytes = dir.Read("t.DAT");
    auto open = [&](std::size_t size) {
        auto b = bytes;
        b.resize(size);
        dir.Write("t.DAT", b);
        return CodeOf([&] {
            TDataFile f(dir.Dir(), "t");
            f.Open();
            f.VerifyStructure();
        });
    };
    EXPECT_EQ(open(100), RERUZO_READERR);           // inside the header
    EXPECT_EQ(open(127 + 700), RERUZO_READERR);     // inside the descriptors
    EXPECT_EQ(open(bytes.size() - 1), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(open(bytes.size() - 100), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(open(bytes.size()), 0);
}

// Random gets, changes, pins, flushes, trims and cache drops against a model of the
// file; the cache's invariants hold after every step and the file matches the model.
TEST(DataFile, RandomOperationsAgreeWithAModel) {
    TTempDir dir;
    MakeTable(dir, "t", 300, 250);  // capacity 61: plenty of eviction
    std::map<std::int32_t, std::int64_t> model;
    for (int i = 1; i <= 300; ++i) model[i] = i;
    TDataFile f(dir.Dir(), "t");
    f.Open();
    std::mt19937 rng(7);
    std::vector<TPinnedRecord> pins;
    for (int step = 0; step < 5000; ++step) {
        const int op = static_cast<int>(rng() % 100);
        const auto n = static_cast<std::int32_t>(1 + rng() % f.SlotCount());
        if (op < 50) {
            TPinnedRecord r(f.GetRecord(nullptr, n, {.forward = rng() % 2 == 1, .readAhead = rng() % 2 == 1}));
            ASSERT_EQ(GetIntegerField(r->Data(), f.FieldDesc(2)), model[n]) << "step " << step;
        } else if (op < 80) {
            TPinnedRecord r(f.GetRecord(nullptr, n, {.readAhead = rng() % 2 == 1}));
            const std::int64_t v = static_cast<std::int32_t>(rng());
            PutIntegerField(r->Data(), f.FieldDesc(2), v);
            r->SetModified(true);
            model[n] = v;
        } else if (op < 85) {
            if (pins.size() < 80) pins.emplace_back(f.GetRecord(nullptr, n, {}));
        } else if (op < 90) {
            if (!pins.empty()) pins.erase(pins.begin() + static_cast<std::ptrdiff_t>(rng() % pins.size()));
        } else if (op < 95) {
            f.FlushRecords(false);
        } else if (op < 98) {
            f.TrimCache();
        } else {
            const auto appended = f.Header().NextRecordNo;
            TPinnedRecord r(f.AppendRecord());
            r->SetRecordId(f.NextAutoInc());
            PutIntegerField(r->Data(), f.FieldDesc(2), appended);
            r->SetModified(true);
            model[appended] = appended;
            // A shared table writes every change before the write lock is released,
            // so no reader meets a slot that is not in the file yet.
            r.Release();
            f.FlushRecords(false);
        }
        ASSERT_EQ(f.CheckCache(), "") << "step " << step;
    }
    pins.clear();
    f.FlushRecords(false);
    f.WriteHeader(false, false);
    f.Close();
    TDataFile g(dir.Dir(), "t");
    g.Open();
    g.VerifyStructure();
    ASSERT_EQ(g.SlotCount(), static_cast<std::int32_t>(model.size()));
    for (const auto& [n, v] : model) ASSERT_EQ(NOf(g, n), v) << n;
}

}  // namespace
}  // namespace reruzo
