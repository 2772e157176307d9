// Cursors: writing. Appending, modifying and deleting records under the table write
// lock and a record lock, with every check before the first change; adding and
// deleting indexes on an exclusive table.
#include "engine/table/data_cursor.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_build.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/record_values.h"

namespace reruzo {
// ---- Writing ----------------------------------------------------------------------------

namespace {

// Holds the table write lock for one write; taking it reports changes by others.
class TWriteLockScope {
public:
    explicit TWriteLockScope(TDataTable& table) : table_(table) { changed_ = table_.WriteLock(); }
    ~TWriteLockScope() {
        try {
            table_.WriteUnlock();
        } catch (const ERERUZOEngineError&) {
        }
    }
    TWriteLockScope(const TWriteLockScope&) = delete;
    TWriteLockScope& operator=(const TWriteLockScope&) = delete;
    bool Changed() const { return changed_; }

private:
    TDataTable& table_;
    bool changed_ = false;
};

// Gives a record lock back when a write ends, however it ends (when `active`).
class TRecordUnlock {
public:
    TRecordUnlock(TDataCursor& cursor, std::int32_t slot, bool active) : cursor_(cursor), slot_(slot), active_(active) {}
    ~TRecordUnlock() {
        if (!active_) return;
        try {
            cursor_.WriteUnlockRecord(slot_);
        } catch (const ERERUZOEngineError&) {
        }
    }
    TRecordUnlock(const TRecordUnlock&) = delete;
    TRecordUnlock& operator=(const TRecordUnlock&) = delete;

private:
    TDataCursor& cursor_;
    std::int32_t slot_;
    bool active_;
};

}  // namespace

bool TDataCursor::HoldRecordLock(std::int32_t n) {
    if (myLocks_.Has(n)) return false;
    const bool changed = table_->LockRecord(n);
    table_->CursorLockedRecords().Set(n);
    myLocks_.Set(n);
    if (changed) Resync();
    return true;
}

std::uint16_t TDataCursor::CloneCurRecord(std::span<std::uint8_t> buffer) {
    std::vector<std::uint8_t> current(recordSize_);
    const std::uint16_t status = GetCurRecord(current, false);
    if (status != 0) {
        Zero(buffer);
        return status;
    }
    std::vector<std::uint8_t> copy(recordSize_, 0);
    for (const TFieldDesc& f : fields_) {
        if (!f.HasSlot() || f.FieldType == kFieldBlob) continue;
        std::vector<std::uint8_t> value;
        const bool present = GetField(f.FieldNo, current, value);
        PutField(f.FieldNo, copy, value, !present);
    }
    if (suppressAutoInc_) std::memcpy(copy.data() + 5, current.data() + 5, 4);
    // BLOBs are copied, never shared: the copy gets changed BLOBs of its own (a new
    // record's, record number 0) that its append writes as new chains.
    for (const TFieldDesc& f : fields_) {
        if (f.FieldType != kFieldBlob || !f.HasSlot() || FieldIsNull(current, f)) continue;
        const std::vector<std::uint8_t> value = Blob(current, f.FieldNo, true).Data();
        TBlobBuffer& blob = Blob(copy, f.FieldNo, false);
        blob.Data() = value;
        blob.SetModified(true);
    }
    Zero(buffer);
    std::memcpy(buffer.data(), copy.data(), std::min(buffer.size(), copy.size()));
    return 0;
}

void TDataCursor::InitRecord(std::span<std::uint8_t> buffer) const {
    std::fill(buffer.begin(), buffer.end(), 0);
}

void TDataCursor::InitRecordDefaults(std::span<std::uint8_t> buffer) const {
    if (buffer.size() < recordSize_) {
        InitRecord(buffer);
        return;
    }
    FillDefaults(buffer.first(recordSize_), fields_, {languageId_, sortId_});
}

std::vector<TDataCursor::TWriteIndex> TDataCursor::WriteIndexes() const {
    TIndexFile& index = table_->Index();
    std::vector<TWriteIndex> out;
    auto add = [&](int slot) {
        out.push_back({slot, MakeKeyLayout(index.Descriptor(slot), slot, fields_, languageId_, sortId_)});
    };
    if (SlotReuse()) add(0);
    for (int slot = 1; slot <= index.Header().SecondaryCount; ++slot) add(slot);
    return out;
}

// Deleted slots are reused only when the primary index orders the records; without
// one the physical order is the order of insertion and must stay so.
bool TDataCursor::SlotReuse() const {
    const TIndexFile& index = table_->Index();
    return !index.NoPrimaryIndex() && index.Descriptor(0).FieldCount > 0;
}

void TDataCursor::RequireWritable() const {
    if (!IsOpen()) Raise(RERUZO_NOCURRREC);
    if (readOnly_ || table_->ReadOnly()) Raise(RERUZO_OSEACCES);
}

std::vector<std::uint8_t> TDataCursor::CheckedImage(std::span<const std::uint8_t> buffer) const {
    std::vector<std::uint8_t> image(recordSize_, 0);
    std::memcpy(image.data(), buffer.data(), std::min<std::size_t>(buffer.size(), recordSize_));
    std::string field;
    if (const std::uint16_t code = CheckRecordValues(image, fields_, {languageId_, sortId_}, field)) {
        RaiseEngineError(code, {.database = directory_.Path(), .table = tableName_, .field = field});
    }
    return image;
}

void TDataCursor::RaiseKeyViolation(int slot) const {
    const std::string name = slot == kSysDeletedSlot ? "Sys Deleted" : table_->Index().Descriptor(slot).Name;
    RaiseEngineError(RERUZO_KEYVIOL, {.database = directory_.Path(), .table = tableName_, .index = name});
}

void TDataCursor::FinishChange(TTableChanges changed) {
    if (table_->Exclusive()) {
        // Nothing reaches the disk now; closing or flushing the table writes it, or
        // the next change after the caches outgrew their size.
        table_->MarkChanged(changed);
        if (table_->Journal() && table_->CachesGrown()) table_->FlushBuffers({.trim = true});
    } else {
        table_->FlushBuffers({}, changed);
    }
    // Our own change is no news to us: later fetches need not rebuild anything.
    TakeSnapshot();
    ComputeRange();
}

TDataCursor::TPlace TDataCursor::Place() const {
    return {GetBookmark(), bof_ && !eof_, eof_ && !bof_, recordNo_ != 0};
}

void TDataCursor::Return(const TPlace& place, bool removed) {
    if (place.atBof || !place.onRecord) {
        if (GoFirst()) bof_ = true;
    } else if (place.atEof) {
        if (GoLast()) eof_ = true;
    } else {
        SetToBookmark(place.bookmark, true, true);
        // The removed record's place lies before the one that followed it, so that
        // the next move reaches that one.
        if (removed && Status() == 0) MoveBy(-1);
    }
    if (GetRecordCount() == 0) NoCurrent();
}

void TDataCursor::StandOn(std::int32_t n) {
    // A record the view does not show leaves the cursor on the nearest one it does.
    if (natural_) {
        std::array<std::uint8_t, 4> bookmark{};
        PutLE(bookmark.data(), n);
        SetToBookmark(bookmark, true, true);
    } else {
        SetToBookmark(KeyOf(layout_, record_), true, true);
    }
}

void TDataCursor::AppendRecord(std::span<const std::uint8_t> buffer, bool reposition) {
    RequireWritable();
    std::vector<std::uint8_t> image = CheckedImage(StagedImage(buffer));
    TCheckScope scope{*this};
    const TPlace place = Place();
    TWriteLockScope writeLock(*table_);
    if (writeLock.Changed()) Resync();
    TDataFile& data = table_->Data();
    TIndexFile& index = table_->Index();
    const bool reuse = SlotReuse();
    const std::int32_t s = data.FirstFreeSlot(reuse);
    const TRecordUnlock unlock(*this, s, HoldRecordLock(s));

    // The identifier the record will get: the caller's, or the next one (the write
    // lock keeps anybody else from taking it meanwhile).
    const std::int32_t last = data.LastAutoInc();
    std::int32_t id = GetLE<std::int32_t>(image.data() + 5);
    if (!suppressAutoInc_) {
        id = last == std::numeric_limits<std::int32_t>::max() ? 1 : last + 1;
        PutLE(image.data() + 5, id);
    }
    image[0] = 0;
    PutLE(image.data() + 1, s);

    // Every check before the first change.
    const std::vector<TWriteIndex> indexes = WriteIndexes();
    std::vector<std::vector<std::uint8_t>> keys;
    for (const TWriteIndex& ix : indexes) {
        keys.push_back(KeyOf(ix.layout, image));
        if (ix.layout.unique && TIndexTree(index, ix.slot, ix.layout).FindExact(keys.back().data(), nullptr))
            RaiseKeyViolation(ix.slot);
    }
    const TKeyLayout sysLayout = TKeyLayout::SysDeleted();
    TIndexTree sys(index, kSysDeletedSlot, sysLayout);
    const std::vector<std::uint8_t> liveKey = SysDeletedKeyOf(image);
    // A live record with the same identifier (a supplied one, or one that wrapped
    // round) would make two records one; a deleted slot elsewhere that keeps it would
    // collide when this record is deleted in turn.
    if (sys.FindExact(liveKey.data(), nullptr)) RaiseKeyViolation(kSysDeletedSlot);
    if (suppressAutoInc_) {
        std::vector<std::uint8_t> deletedKey = liveKey;
        deletedKey[0] = 1;
        std::int32_t holder = 0;
        if (sys.FindExact(deletedKey.data(), &holder) && holder != s) RaiseKeyViolation(kSysDeletedSlot);
    }

    // The record's new BLOBs are written before anything else changes.
    const bool blobs = PostBlobs(0, image, {});
    const bool reused = s < data.Header().NextRecordNo;
    TPinnedRecord r(data.AllocRecord(reuse));
    if (r->RecordNo() != s) Raise(RERUZO_FILECORRUPT);
    if (reused) {
        // A reused slot: its deleted entry gives way to the live one.
        sys.Delete(SysDeletedKeyOf(r->Data()).data());
    }
    if (suppressAutoInc_) {
        r->Clear(false);
        data.SetLastAutoInc(std::max<std::int64_t>(std::int64_t{last} + 1, id) > std::numeric_limits<std::int32_t>::max()
                                ? std::numeric_limits<std::int32_t>::max()
                                : std::max(last + 1, id));
    } else {
        r->Clear(true);
    }
    r->CopyFieldsFrom(image);
    r->SetRecordId(id);
    for (std::size_t i = 0; i < indexes.size(); ++i) TIndexTree(index, indexes[i].slot, indexes[i].layout).Insert(keys[i].data(), s);
    sys.Insert(liveKey.data(), s);
    index.IncRecordCount();
    record_.assign(r->Data().begin(), r->Data().begin() + recordSize_);
    r = TPinnedRecord();
    DropBlobs(0);
    FinishChange({.data = true, .index = true, .blob = blobs});
    // The view follows every own write; the cursor moves to the new record only with
    // `reposition`, else it stays where it was.
    FollowWrittenRecord(s, record_);
    reposition ? StandOn(s) : Return(place, false);
}

void TDataCursor::ModifyRecord(std::span<const std::uint8_t> buffer, bool unlock, bool reposition) {
    RequireWritable();
    std::vector<std::uint8_t> image = CheckedImage(StagedImage(buffer));
    TCheckScope scope{*this};
    if (Status() != 0) Raise(RERUZO_NOCURRREC);
    const std::int32_t n = recordNo_;
    const TPlace place = Place();
    TWriteLockScope writeLock(*table_);
    // The record the caller means is the one it stood on; when someone else deleted
    // it meanwhile, the resynchronised cursor stands on another one.
    if (writeLock.Changed()) Resync();
    if (Status() != 0 || recordNo_ != n) Raise(RERUZO_KEYORRECDELETED);
    // A lock taken here goes back on every path; the caller's own lock only after a
    // successful write, so that a failed one can be corrected and posted again.
    const bool lockedHere = HoldRecordLock(n);
    const TRecordUnlock release(*this, n, lockedHere);

    TDataFile& data = table_->Data();
    TIndexFile& index = table_->Index();
    TPinnedRecord r(data.GetRecord(nullptr, n, {}));
    if (r->State() != 0) Raise(RERUZO_KEYORRECDELETED);
    const std::vector<std::uint8_t> old(r->Data().begin(), r->Data().begin() + recordSize_);
    std::int32_t id = GetLE<std::int32_t>(old.data() + 5);
    if (suppressAutoInc_) id = GetLE<std::int32_t>(image.data() + 5);
    image[0] = 0;
    PutLE(image.data() + 1, n);
    PutLE(image.data() + 5, id);

    // Only the indexes whose key changed are checked and touched.
    struct TChange {
        int slot;
        const TKeyLayout* layout;
        std::vector<std::uint8_t> from, to;
    };
    const std::vector<TWriteIndex> indexes = WriteIndexes();
    std::vector<TChange> changes;
    for (const TWriteIndex& ix : indexes) {
        std::vector<std::uint8_t> from = KeyOf(ix.layout, old), to = KeyOf(ix.layout, image);
        if (from == to) continue;
        if (ix.layout.unique && TIndexTree(index, ix.slot, ix.layout).FindExact(to.data(), nullptr))
            RaiseKeyViolation(ix.slot);
        changes.push_back({ix.slot, &ix.layout, std::move(from), std::move(to)});
    }
    const TKeyLayout sysLayout = TKeyLayout::SysDeleted();
    const std::vector<std::uint8_t> sysFrom = SysDeletedKeyOf(old), sysTo = SysDeletedKeyOf(image);
    const bool sysChanged = sysFrom != sysTo;
    if (sysChanged) {
        // Neither a live record nor a deleted slot may hold the new identifier.
        TIndexTree sys(index, kSysDeletedSlot, sysLayout);
        std::vector<std::uint8_t> deletedKey = sysTo;
        deletedKey[0] = 1;
        if (sys.FindExact(sysTo.data(), nullptr) || sys.FindExact(deletedKey.data(), nullptr))
            RaiseKeyViolation(kSysDeletedSlot);
    }
    // Changed BLOBs get new chains (the old ones are freed once these are written);
    // the others keep the stored references.
    const bool blobs = PostBlobs(n, image, old);
    if (suppressAutoInc_ && id > data.LastAutoInc()) data.SetLastAutoInc(id);
    for (const TChange& c : changes) {
        TIndexTree tree(index, c.slot, *c.layout);
        tree.Delete(c.from.data());
        tree.Insert(c.to.data(), n);
    }
    if (sysChanged) {
        TIndexTree sys(index, kSysDeletedSlot, sysLayout);
        sys.Delete(sysFrom.data());
        sys.Insert(sysTo.data(), n);
    }
    r->CopyFieldsFrom(image);
    r->SetRecordId(id);
    record_.assign(r->Data().begin(), r->Data().begin() + recordSize_);
    r = TPinnedRecord();
    DropBlobs(n);
    FinishChange({.data = true, .index = !changes.empty() || sysChanged, .blob = blobs});
    FollowWrittenRecord(n, record_);
    if (unlock && !lockedHere) WriteUnlockRecord(n);
    reposition ? StandOn(n) : Return(place, false);
}

void TDataCursor::EraseRecord(TRecord& record, std::int32_t n, int notInSlot) {
    TIndexFile& index = table_->Index();
    const std::vector<std::uint8_t> old(record.Data().begin(), record.Data().begin() + recordSize_);
    for (const TWriteIndex& ix : WriteIndexes()) {
        if (ix.slot != notInSlot) TIndexTree(index, ix.slot, ix.layout).Delete(KeyOf(ix.layout, old).data());
    }
    const TKeyLayout sysLayout = TKeyLayout::SysDeleted();
    TIndexTree sys(index, kSysDeletedSlot, sysLayout);
    sys.Delete(SysDeletedKeyOf(old).data());
    index.DecRecordCount();
    table_->Data().MarkDeleted(record, SlotReuse());
    sys.Insert(SysDeletedKeyOf(record.Data()).data(), n);
}

void TDataCursor::DeleteRecord(std::span<const std::uint8_t> buffer, bool reposition) {
    RequireWritable();
    TCheckScope scope{*this};
    const TPlace place = Place();
    TWriteLockScope writeLock(*table_);
    if (writeLock.Changed()) Resync();
    if (Status() != 0) Raise(RERUZO_NOCURRREC);
    const std::int32_t n = recordNo_;
    TPinnedRecord r(table_->Data().GetRecord(nullptr, n, {}));
    // The record must still be what the caller read.
    if (r->State() != 0 ||
        (!exclusive_ && (buffer.size() < recordSize_ || std::memcmp(r->Data().data(), buffer.data(), recordSize_) != 0)))
        Raise(RERUZO_KEYORRECDELETED);
    HoldRecordLock(n);
    const TRecordUnlock release(*this, n, true);
    // The record's BLOB chains go to the free chain first: a damaged one stops the
    // delete before the record is touched.
    bool blobs = false;
    for (const TFieldDesc& f : fields_) {
        if (f.FieldType != kFieldBlob || !f.HasSlot()) continue;
        const TBlobReference ref = GetBlobReference(r->Data(), f);
        if (ref.firstBlock == 0) continue;
        table_->Blob().FreeBlob(nullptr, ref.firstBlock, ref.stamp, false);
        blobs = true;
    }
    EraseRecord(*r.get(), n);
    r = TPinnedRecord();
    DropBlobs(n);
    FinishChange({.data = true, .index = true, .blob = blobs});
    FollowDeletedRecord(n);
    if (reposition) {
        // The next record takes the deleted one's place.
        SetToBookmark(place.bookmark, true, true);
        if (GetRecordCount() == 0) NoCurrent();
    } else {
        Return(place, true);
    }
}

// ---- Adding and deleting indexes ------------------------------------------------------------

void TDataCursor::AddSecondaryIndex(const TIndexDesc& definition) {
    RequireWritable();
    if (!exclusive_) Raise(RERUZO_NEEDEXCLACCESS);
    TCheckScope scope{*this};
    Sync();
    TIndexFile& index = table_->Index();
    TDataFile& data = table_->Data();
    // The new index and the header are one change: a unique index that meets a key
    // twice is refused whole, and no record is touched.
    table_->WriteOutBeforeBatch();
    TJournalBatch batch(table_->Journal());
    try {
        BuildSecondaryIndex(data, index, definition, directory_.Path(), tableName_, table_->Session().ProgressSteps(),
                            ProgressCallback);
        FinishChange({.index = true});
        table_->FlushBuffers({}, {.index = true});
        batch.Commit();
    } catch (...) {
        batch.Abandon();
        table_->ForgetAbandonedWrites();
        throw;
    }
    if (bitmapMode_) UpdateBitmaps();
    SetToBegin();
}

void TDataCursor::DeleteIndex(const std::string& name) {
    RequireWritable();
    if (!exclusive_) Raise(RERUZO_NEEDEXCLACCESS);
    TCheckScope scope{*this};
    Sync();
    TIndexFile& index = table_->Index();
    int slot = FindIndexSlot(index, name);
    if (slot == 0 && index.NoPrimaryIndex()) slot = -1;
    if (slot < 0) {
        RaiseEngineError(RERUZO_INVALIDINDEXNAME, {.database = directory_.Path(), .table = tableName_, .index = name});
    }
    table_->WriteOutBeforeBatch();
    TJournalBatch batch(table_->Journal());
    try {
        if (!FreeIndexTree(index, slot)) Raise(RERUZO_INDEXCORRUPT);
        index.DeleteIndex(slot);
        FinishChange({.index = true});
        table_->FlushBuffers({}, {.index = true});
        batch.Commit();
    } catch (...) {
        batch.Abandon();
        table_->ForgetAbandonedWrites();
        throw;
    }
    LoadIndex(0);
    SetToBegin();
}
}  // namespace reruzo
