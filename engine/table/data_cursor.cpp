// Cursors: opening and closing, the table's fields and record size, synchronisation
// with changes by others (counter snapshots, the check lock, resynchronising after a
// change), field access on record buffers, clones and flushing.
#include "engine/table/data_cursor.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/record_values.h"

namespace reruzo {
namespace {

std::string BareName(const std::string& name) {
    std::string leaf = name.substr(name.find_last_of("/\\") + 1);
    const auto dot = leaf.rfind('.');
    if (dot != std::string::npos) leaf.resize(dot);
    return leaf.substr(0, 255);
}

}  // namespace

TDataCursor::TDataCursor(TDataDirectory& directory) : directory_(directory) {}

TDataCursor::~TDataCursor() {
    try {
        CloseCursor();
    } catch (const std::exception&) {
    }
}

void TDataCursor::Raise(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_.Path(), .table = tableName_});
}

void TDataCursor::RequireClosed() const {
    if (IsOpen()) Raise(RERUZO_TABLEOPEN);
}

void TDataCursor::SetTableName(const std::string& name) {
    RequireClosed();
    tableName_ = BareName(name);
}
void TDataCursor::SetExclusive(bool on) {
    RequireClosed();
    exclusive_ = on;
}
void TDataCursor::SetShareExclusive(bool on) {
    RequireClosed();
    shareExclusive_ = on;
}
void TDataCursor::SetReadOnly(bool on) {
    RequireClosed();
    readOnly_ = on;
}
void TDataCursor::SetInMemory(bool on) {
    RequireClosed();
    inMemory_ = on;
}
void TDataCursor::SetNaturalOrder(bool on) {
    RequireClosed();
    naturalFlag_ = on;
}

// ---- Open and close ----------------------------------------------------------------------

void TDataCursor::OpenCursor() {
    if (IsOpen()) return;
    TTableOpenOptions options;
    options.Exclusive = exclusive_;
    options.ReadOnly = readOnly_;
    options.InMemory = inMemory_;
    options.ShareEvenIfExclusive = shareExclusive_;
    TDataTable* table = nullptr;
    const int code = directory_.OpenTable(tableName_, options, table);
    if (code < 0) Raise(static_cast<std::uint16_t>(-code));
    table_ = table;
    try {
        if (table_->ReadOnly()) readOnly_ = true;
        TDataFile& data = table_->Data();
        if (data.Encrypted()) {
            const std::string password = data.Password();
            while (!table_->Session().HasPassword(password)) {
                if (!PasswordCallback || !PasswordCallback()) Raise(RERUZO_NOTSUFFTABLERIGHTS);
            }
        }
        if (table_->OpenCount() == 1) {
            // The first user of the table object checks its files under a read lock.
            table_->ReadLock();
            try {
                data.VerifyStructure();
                if (table_->HasBlobs()) table_->Blob().VerifyStructure();
                if (!table_->IndexRebuilt()) {
                    table_->Index().CheckVersion();
                    table_->Index().Validate(data.Fields());
                }
            } catch (...) {
                table_->ReadUnlock();
                throw;
            }
            table_->ReadUnlock();
            if (table_->IndexRebuilt() && (!table_->ReadOnly() || table_->IndexInMemory())) table_->RebuildLostIndex();
        }
        languageId_ = data.LanguageId();
        sortId_ = data.SortId();
        fields_ = data.Fields();
        recordSize_ = data.RecordSize();
        TakeSnapshot();
        LoadIndex(naturalFlag_ ? kNaturalOrder : 0);
        SetToBegin();
    } catch (...) {
        CloseCursor();
        throw;
    }
}

void TDataCursor::CloseCursor() {
    if (!table_) return;
    TDataTable* table = table_;
    for (std::int32_t n : myLocks_.Members()) {
        try {
            WriteUnlockRecord(n);
        } catch (const ERERUZOEngineError&) {
        }
    }
    myLocks_.Clear();
    blobs_.clear();
    filters_.clear();
    bitmapMode_ = false;
    live_.Clear();
    range_.Clear();
    view_.Clear();
    viewCount_ = 0;
    table_ = nullptr;
    record_.clear();
    key_.clear();
    logical_ = 0;
    bof_ = eof_ = true;
    page_ = entry_ = recordNo_ = 0;
    fields_.clear();
    const int code = directory_.CloseTable(table, false);
    if (code < 0) Raise(static_cast<std::uint16_t>(-code));
}

std::size_t TDataCursor::BookmarkSize() const { return natural_ ? 4 : keyLength_; }

TIndexTree TDataCursor::Tree() { return TIndexTree(table_->Index(), activeIndex_, layout_, this); }

void TDataCursor::LoadIndex(int slot) {
    activeIndex_ = slot;
    TIndexFile& index = table_->Index();
    natural_ = slot == kNaturalOrder || (slot == 0 && index.NoPrimaryIndex());
    if (natural_) {
        indexName_.clear();
        keyLength_ = 4;
        layout_ = TKeyLayout{};
    } else {
        const TIndexDesc& d = index.Descriptor(slot);
        indexName_ = d.Name;
        layout_ = MakeKeyLayout(d, slot, fields_, languageId_, sortId_);
        keyLength_ = d.KeyLength;
    }
    key_.assign(keyLength_, 0);
    const bool hadRange = rangeActive_;
    rangeActive_ = false;
    range_.Clear();
    ComputeRange();
    const bool wasOn = bitmapMode_;
    UpdateBitmapMode();
    // The filters saw only the old range's records: without it they look again.
    if (bitmapMode_ && (!wasOn || hadRange)) UpdateBitmaps();
}

// ---- Change detection ----------------------------------------------------------------------

void TDataCursor::TakeSnapshot() {
    snapData_ = table_->Data().Header().ChangeCount;
    snapIndex_ = table_->Index().Header().ChangeCount;
    snapBlob_ = table_->Blob().IsOpen() ? table_->Blob().Header().ChangeCount : 0;
}

bool TDataCursor::SnapshotCurrent() const {
    const std::uint32_t blob = table_->Blob().IsOpen() ? table_->Blob().Header().ChangeCount : 0;
    return snapData_ == table_->Data().Header().ChangeCount && snapIndex_ == table_->Index().Header().ChangeCount &&
           snapBlob_ == blob;
}

void TDataCursor::CommitOwnChanges(const std::function<void()>& commit) {
    const bool current = SnapshotCurrent();
    commit();
    if (current) TakeSnapshot();
}

bool TDataCursor::CountersChanged() {
    if ((exclusive_ && !shareExclusive_) || table_->ForcedReadOnly()) return false;
    if (SnapshotCurrent()) return false;
    TakeSnapshot();
    return true;
}

void TDataCursor::Sync() {
    bool changed = false;
    if (table_->Session().StrictChangeDetection()) changed = table_->CheckLock();
    if (CountersChanged() || changed) Resync();
}

void TDataCursor::ReleaseCheck() {
    try {
        table_->CheckUnlock();
    } catch (const ERERUZOEngineError&) {
    }
}

void TDataCursor::Resync() {
    if (inResync_) return;
    inResync_ = true;
    try {
        const bool wasBof = bof_ && !eof_;
        const bool wasEof = eof_ && !bof_;
        const bool hadPosition = recordNo_ != 0;
        const std::vector<std::uint8_t> bookmark = GetBookmark();
        TakeSnapshot();
        ComputeRange();
        if (bitmapMode_) UpdateBitmaps();
        if (!hadPosition) {
            NoCurrent();
            if (GetRecordCount() > 0) {
                GoFirst();
                bof_ = true;
            }
        } else {
            // A cursor that rested at an edge of the view stays there, also when
            // records arrived beyond its old edge entry.
            if (wasBof) {
                if (GoFirst()) bof_ = true;
            } else if (wasEof) {
                if (GoLast()) eof_ = true;
            } else {
                SetToBookmark(bookmark, true, true);
            }
        }
    } catch (...) {
        inResync_ = false;
        throw;
    }
    inResync_ = false;
}

bool TDataCursor::ChangedBeforeRead() {
    if (!table_) return false;
    if (rebuilding_) {
        // The bitmaps being built describe a table that is no more: they start again.
        bool changed = table_->CheckLock();
        if (CountersChanged()) changed = true;
        return changed;
    }
    if (inResync_) return false;
    bool changed = table_->CheckLock();
    if (CountersChanged()) changed = true;
    if (changed) Resync();
    return changed;
}

std::int32_t TDataCursor::ReadAheadCount(bool forward) {
    const std::int32_t per = table_->Data().RecordsPerRead();
    if (bitmapMode_) {
        // The visible records within one read, by the rule of dense and sparse sets.
        const std::int32_t reach = forward ? std::min(per, table_->Data().SlotCount() - recordNo_ + 1)
                                           : std::min(per, recordNo_);
        return MemberRun(view_, recordNo_, reach, forward ? 1 : -1);
    }
    // A run of slots pays only while the cursor walks the slots in their order (an
    // index that follows them, or a scan); a jump elsewhere reads its one record.
    if (lastRead_ == 0 || std::abs(recordNo_ - lastRead_) != 1) return 1;
    return forward ? std::min(per, table_->Data().SlotCount() - recordNo_ + 1) : std::min(per, recordNo_);
}

void TDataCursor::Refresh() {
    // The check lock re-reads the headers when it is taken. Inside a transaction, or
    // under a write or exclusive lock, it is not taken: the buffers are the newest
    // state then, and reading the headers from disk would drop uncommitted changes.
    TCheckScope scope{*this};
    table_->CheckLock();
    Resync();
}

// ---- Fields ------------------------------------------------------------------------------

bool TDataCursor::GetField(int fieldNo, std::span<const std::uint8_t> record, std::vector<std::uint8_t>& value) const {
    if (fieldNo < 1 || static_cast<std::size_t>(fieldNo) > fields_.size()) Raise(RERUZO_OUTOFRANGE);
    const TFieldDesc& d = fields_[static_cast<std::size_t>(fieldNo - 1)];
    const auto data = FieldData(record, d);
    value.assign(data.begin(), data.end());
    return !FieldIsNull(record, d);
}

void TDataCursor::PutField(int fieldNo, std::span<std::uint8_t> record, std::span<const std::uint8_t> value,
                           bool isNull) const {
    if (fieldNo < 1 || static_cast<std::size_t>(fieldNo) > fields_.size()) Raise(RERUZO_OUTOFRANGE);
    const TFieldDesc& d = fields_[static_cast<std::size_t>(fieldNo - 1)];
    if (isNull) {
        PutNullField(record, d);
    } else {
        PutFieldData(record, d, value, TStringRules{languageId_, sortId_});
    }
}

std::unique_ptr<TDataCursor> TDataCursor::CloneCursor() {
    auto clone = std::make_unique<TDataCursor>(directory_);
    clone->tableName_ = tableName_;
    clone->exclusive_ = exclusive_;
    clone->readOnly_ = readOnly_;
    clone->inMemory_ = inMemory_;
    clone->naturalFlag_ = naturalFlag_;
    clone->PasswordCallback = PasswordCallback;
    clone->shareExclusive_ = exclusive_;
    clone->OpenCursor();
    // A clone of a natural-order cursor was opened in natural order already.
    if (activeIndex_ != kNaturalOrder) clone->SetIndexName(indexName_);
    if (rangeActive_ && !natural_) {
        // The same range, by the same keys.
        clone->rangeLow_ = rangeLow_;
        clone->rangeHigh_ = rangeHigh_;
        clone->rangeLowLength_ = rangeLowLength_;
        clone->rangeHighLength_ = rangeHighLength_;
        clone->rangeActive_ = true;
        clone->ComputeRange();
        if (clone->bitmapMode_) clone->UpdateBitmaps();
    }
    for (const auto& f : filters_) {
        TFilter* copy = clone->AddFilter(f->condition_->Clone(), f->options_);
        if (f->active_) clone->ActivateFilter(copy);
    }
    clone->SetToRecBuf(*this);
    return clone;
}

void TDataCursor::FlushBuffers(TFlushOptions options) {
    if (!IsOpen()) return;
    table_->FlushBuffers(options);
}
}  // namespace reruzo
