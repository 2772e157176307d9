// Cursors: opening and closing, natural and index order, record numbers, bookmarks,
// key search, synchronisation with changes by others.
#include "engine/table/data_cursor.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/record_values.h"

namespace reruzo {
namespace {

constexpr int kRestartLimit = 8;

std::string BareName(const std::string& name) {
    std::string leaf = name.substr(name.find_last_of("/\\") + 1);
    const auto dot = leaf.rfind('.');
    if (dot != std::string::npos) leaf.resize(dot);
    return leaf.substr(0, 255);
}

std::vector<std::uint8_t> KeyOf(const TKeyLayout& layout, std::span<const std::uint8_t> record) {
    std::vector<std::uint8_t> key(layout.KeyLength(), 0);
    BuildKey(layout, record, key);
    return key;
}

std::vector<std::uint8_t> SysDeletedKeyOf(std::span<const std::uint8_t> record) {
    std::vector<std::uint8_t> key(kSysDeletedKeyLength, 0);
    BuildSysDeletedKey(record, key);
    return key;
}

bool SameName(std::string a, std::string b) {
    auto trim = [](std::string& s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    };
    trim(a);
    trim(b);
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
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
                if (!table_->IndexRebuilt()) {
                    table_->Index().CheckVersion();
                    table_->Index().Validate(data.Fields());
                }
            } catch (...) {
                table_->ReadUnlock();
                throw;
            }
            table_->ReadUnlock();
            if (table_->IndexRebuilt() && !table_->ReadOnly()) table_->RebuildLostIndex();
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

bool TDataCursor::CountersChanged() {
    if ((exclusive_ && !shareExclusive_) || table_->ForcedReadOnly()) return false;
    const std::uint32_t blob = table_->Blob().IsOpen() ? table_->Blob().Header().ChangeCount : 0;
    if (snapData_ == table_->Data().Header().ChangeCount && snapIndex_ == table_->Index().Header().ChangeCount &&
        snapBlob_ == blob)
        return false;
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
        // Only the visible records next to this one: a filtered view reads nothing it
        // does not show.
        const int step = forward ? 1 : -1;
        std::int32_t run = 1;
        while (run < per && view_.Has(recordNo_ + step * run)) ++run;
        return run;
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

// ---- Positioning -------------------------------------------------------------------------

void TDataCursor::NoCurrent() {
    logical_ = 0;
    bof_ = eof_ = true;
    page_ = entry_ = recordNo_ = 0;
    std::fill(key_.begin(), key_.end(), 0);
    record_.clear();
}

void TDataCursor::SetIndexPosition(const TIndexTree::TPosition& p) {
    TPagePin page(table_->Index().FetchPage(this, activeIndex_, p.page, false));
    if (p.entry < 1 || p.entry > page->Count()) Raise(RERUZO_INDEXCORRUPT);
    page_ = p.page;
    entry_ = p.entry;
    logical_ = p.logical + 1;
    std::memcpy(key_.data(), page->Key(entry_), keyLength_);
    recordNo_ = page->Ref(entry_);
    bof_ = eof_ = false;
}

bool TDataCursor::GoFirst() { return GoToEdge(false); }

bool TDataCursor::GoLast() { return GoToEdge(true); }

bool TDataCursor::GoToEdge(bool last) {
    if (GetRecordCount() == 0) {
        NoCurrent();
        return false;
    }
    bool found = false;
    if (natural_) {
        std::int32_t at = last ? view_.Size() + 1 : 0;
        std::int64_t ordinal = last ? viewCount_ + 1 : 0;
        found = last ? view_.Previous(at, 1, ordinal) : view_.Next(at, 1, ordinal);
        if (found) {
            recordNo_ = at;
            logical_ = ordinal;
            bof_ = eof_ = false;
        }
    } else {
        // The edge entry of the index, or the nearest visible one inside it.
        const std::int64_t edge = rangeActive_ ? (last ? rangeLast_ : rangeFirst_)
                                               : (last ? std::numeric_limits<std::int32_t>::max() : 1);
        found = (!rangeActive_ || rangeFirst_ <= rangeLast_) && GoToOrdinal(static_cast<std::int32_t>(edge)) &&
                (Visible(recordNo_) || StepIndex(last ? -1 : +1));
    }
    if (!found) NoCurrent();
    return found;
}

// Stands on the n-th entry of the index order, or on the last one when n is past the
// end. The count is taken again on every attempt: a restart follows a change of the
// index, and the old count may point past the new end.
bool TDataCursor::GoToOrdinal(std::int32_t n) {
    for (int attempt = 0; attempt < kRestartLimit; ++attempt) {
        try {
            // Index positions: with filters, visible entries lie between them.
            const std::int32_t count = std::max(0, table_->Index().RecordCount());
            if (count == 0) {
                NoCurrent();
                return false;
            }
            const auto p = Tree().SeekOrdinal(std::clamp(n, 1, count));
            if (p.entry == 0) {
                NoCurrent();
                return false;
            }
            SetIndexPosition(p);
            return true;
        } catch (const EIndexChanged&) {
        }
    }
    Raise(RERUZO_INDEXCORRUPT);
}

void TDataCursor::MoveBy(int n) {
    if (n == 0 || recordNo_ == 0) return;
    if (!natural_) {
        StepIndex(n);
        return;
    }
    const int step = n > 0 ? 1 : -1;
    std::int32_t at = recordNo_;
    std::int64_t ordinal = logical_;
    const bool arrived = step > 0 ? view_.Next(at, std::abs(n), ordinal) : view_.Previous(at, std::abs(n), ordinal);
    if (arrived) {
        recordNo_ = at;
        logical_ = ordinal;
        bof_ = eof_ = false;
        return;
    }
    // Ran off the view: rest on its last (first) record.
    if (step > 0 ? GoLast() : GoFirst()) (step > 0 ? eof_ : bof_) = true;
}

bool TDataCursor::StepIndex(int n) {
    if (n == 0 || recordNo_ == 0) return true;
    const int step = n > 0 ? 1 : -1;
    for (int attempt = 0; attempt < kRestartLimit; ++attempt) {
        try {
            TIndexFile& index = table_->Index();
            TPagePin page(index.FetchPage(this, activeIndex_, page_, false));
            if (page->Count() == 0 || !page->IsLeaf()) {
                // The page went away under us: find our place again and retry.
                Resync();
                continue;
            }
            int pos = std::clamp(entry_, 1, page->Count());
            std::int64_t logical = logical_;
            // Where a walk that runs off an edge comes to rest: the last visible entry
            // passed, else where it started.
            struct TPlace {
                std::int32_t page;
                int entry;
                std::int64_t logical;
            } rest{page->PageNo(), pos, logical};
            bool ranOff = false;
            std::int32_t hops = 0;
            for (int remaining = std::abs(n); remaining > 0;) {
                if (rangeActive_ && (step > 0 ? logical >= rangeLast_ : logical <= rangeFirst_)) {
                    ranOff = true;  // the range ends here
                    break;
                }
                if (step > 0 ? pos < page->Count() : pos > 1) {
                    pos += step;
                } else {
                    const std::int32_t from = page->PageNo();
                    const std::int32_t next = step > 0 ? page->Next() : page->Prev();
                    if (next == 0) {
                        ranOff = true;
                        break;
                    }
                    page = TPagePin(index.FetchPage(this, activeIndex_, next, false));
                    // Sibling links must lead to a leaf that links back, and a walk can
                    // visit each page once at most: anything else would loop for ever.
                    if (page->Count() == 0 || !page->IsLeaf() || (step > 0 ? page->Prev() : page->Next()) != from ||
                        ++hops > index.PageCount())
                        Raise(RERUZO_INDEXCORRUPT);
                    pos = step > 0 ? 1 : page->Count();
                }
                logical += step;
                if (Visible(page->Ref(pos))) {
                    --remaining;
                    rest = {page->PageNo(), pos, logical};
                }
            }
            if (!ranOff || !bitmapMode_) rest = {page->PageNo(), pos, logical};
            if (rest.page != page->PageNo()) page = TPagePin(index.FetchPage(this, activeIndex_, rest.page, false));
            page_ = rest.page;
            entry_ = rest.entry;
            logical_ = rest.logical;
            std::memcpy(key_.data(), page->Key(rest.entry), keyLength_);
            recordNo_ = page->Ref(rest.entry);
            if (ranOff) {
                (step > 0 ? eof_ : bof_) = true;
            } else {
                bof_ = eof_ = false;
            }
            return !ranOff;
        } catch (const EIndexChanged&) {
            // Resynchronised on the way: the move starts again from the new position.
        }
    }
    Raise(RERUZO_INDEXCORRUPT);
}

void TDataCursor::SetToBegin() {
    TCheckScope scope{*this};
    Sync();
    if (GoFirst()) {
        ReadCurrent({});  // the record image of the edge entry, for re-locating
        bof_ = true;
    }
}

void TDataCursor::SetToEnd() {
    TCheckScope scope{*this};
    Sync();
    if (GoLast()) {
        ReadCurrent({});
        eof_ = true;
    }
}

void TDataCursor::SetToRecNo(std::int32_t n) {
    TCheckScope scope{*this};
    Sync();
    if (natural_) {
        std::int32_t at = 0;
        std::int64_t ordinal = 0;
        if (n < 1) {
            if (GoFirst()) bof_ = true;
        } else if (view_.Next(at, n, ordinal)) {
            recordNo_ = at;
            logical_ = ordinal;
            bof_ = eof_ = false;
        } else if (GoLast()) {
            eof_ = true;
        }
    } else if (GoFirst()) {
        // Index positions: the first and last visible entries bound the numbers.
        const std::int64_t wanted = n + RangeOffset();
        if (wanted < logical_) {
            bof_ = true;
        } else if (GoLast() && wanted > logical_) {
            eof_ = true;
        } else if (GoToOrdinal(static_cast<std::int32_t>(wanted)) && !Visible(recordNo_) && !StepIndex(+1)) {
            GoLast();
            eof_ = true;
        }
    }
    if (Status() == 0) ReadCurrent({});
}

std::int32_t TDataCursor::GetRecNo() {
    TCheckScope scope{*this};
    Sync();
    if (logical_ < 1) return 0;
    return static_cast<std::int32_t>(natural_ ? logical_ : logical_ - RangeOffset());
}

std::int32_t TDataCursor::GetRecordCount() {
    if (bitmapMode_) return viewCount_;
    if (rangeActive_) return static_cast<std::int32_t>(std::max<std::int64_t>(0, rangeLast_ - rangeFirst_ + 1));
    return std::max(0, table_->Index().RecordCount());
}

// ---- Fetching ----------------------------------------------------------------------------

std::uint16_t TDataCursor::Status() const {
    if (bof_ && eof_) return RERUZO_NOCURRREC;
    if (bof_) return RERUZO_BOF;
    if (eof_) return RERUZO_EOF;
    return 0;
}

void TDataCursor::Zero(std::span<std::uint8_t> buffer) const { std::fill(buffer.begin(), buffer.end(), 0); }

std::uint16_t TDataCursor::ReadCurrent(std::span<std::uint8_t> buffer) {
    for (int attempt = 0; attempt < kRestartLimit; ++attempt) {
        const std::uint16_t status = Status();
        if (status != 0) {
            Zero(buffer);
            return status;
        }
        TPinnedRecord r(table_->Data().GetRecord(this, recordNo_, true, true, true));
        if (!r) continue;  // the table changed: the position was re-found, read again
        record_.assign(r->Data().begin(), r->Data().begin() + recordSize_);
        lastRead_ = recordNo_;
        if (!buffer.empty()) {
            Zero(buffer);
            std::memcpy(buffer.data(), record_.data(), std::min(buffer.size(), record_.size()));
        }
        return 0;
    }
    Raise(RERUZO_FILECORRUPT);
}

std::uint16_t TDataCursor::GetNextRecord(std::span<std::uint8_t> buffer) {
    TCheckScope scope{*this};
    Sync();
    if (bof_) {
        GoFirst();
    } else if (!eof_) {
        MoveBy(+1);
    }
    const std::uint16_t status = eof_ ? RERUZO_EOF : ReadCurrent(buffer);
    if (status != 0) Zero(buffer);
    return status;
}

std::uint16_t TDataCursor::GetPriorRecord(std::span<std::uint8_t> buffer) {
    TCheckScope scope{*this};
    Sync();
    if (eof_) {
        GoLast();
    } else if (!bof_) {
        MoveBy(-1);
    }
    const std::uint16_t status = bof_ ? RERUZO_BOF : ReadCurrent(buffer);
    if (status != 0) Zero(buffer);
    return status;
}

std::uint16_t TDataCursor::GetCurRecord(std::span<std::uint8_t> buffer, bool lock) {
    TCheckScope scope{*this};
    Sync();
    std::uint16_t status = Status();
    if (status != 0) {
        Zero(buffer);
        return status;
    }
    if (lock) {
        const std::int32_t n = recordNo_;
        if (table_->CursorLockedRecords().Has(n) && !myLocks_.Has(n))
            Raise(RERUZO_RECLOCKFAILED);  // another cursor of this table holds it
        // A record this cursor holds already is not locked twice: the byte lock would
        // refuse its own holder, and one unlock must release it.
        const bool fresh = !myLocks_.Has(n);
        const bool changed = fresh && table_->LockRecord(n);
        // Ours from here on, so that a failure below still gives it back.
        table_->CursorLockedRecords().Set(n);
        myLocks_.Set(n);
        if (changed) Resync();
        std::vector<std::uint8_t> current(recordSize_);
        status = ReadCurrent(current);
        if (!exclusive_ && !buffer.empty() &&
            (status != 0 || recordNo_ != n ||
             std::memcmp(current.data(), buffer.data(), std::min<std::size_t>(buffer.size(), current.size())) != 0)) {
            if (fresh) WriteUnlockRecord(n);
            Raise(RERUZO_KEYORRECDELETED);
        }
    }
    return ReadCurrent(buffer);
}

void TDataCursor::WriteUnlockRecord(std::int32_t recordNo) {
    const std::int32_t n = recordNo == 0 ? recordNo_ : recordNo;
    if (!myLocks_.Has(n)) return;  // not held (a failed write gave it back already)
    table_->CursorLockedRecords().Reset(n);
    myLocks_.Reset(n);
    table_->UnlockRecord(n);
}

// ---- Bookmarks and searches -------------------------------------------------------------

std::vector<std::uint8_t> TDataCursor::GetBookmark() const {
    if (natural_) {
        std::vector<std::uint8_t> b(4);
        PutLE(b.data(), recordNo_);
        return b;
    }
    if (recordNo_ == 0) return std::vector<std::uint8_t>(keyLength_, 0);
    return key_;
}

int TDataCursor::CompareBookmarks(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) const {
    if (natural_) {
        const std::int32_t x = a.size() >= 4 ? GetLE<std::int32_t>(a.data()) : 0;
        const std::int32_t y = b.size() >= 4 ? GetLE<std::int32_t>(b.data()) : 0;
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (a.size() < keyLength_ || b.size() < keyLength_) return 0;
    return CompareKeys(layout_, a.data(), b.data(), keyLength_);
}

bool TDataCursor::KeySearch(const std::uint8_t* key, std::size_t length, bool nearest, bool /*keepEdge*/) {
    for (int attempt = 0; attempt < kRestartLimit; ++attempt) {
        try {
            const std::int32_t count = GetRecordCount();
            if (count == 0) {
                NoCurrent();
                return false;
            }
            TIndexTree tree = Tree();
            const auto p = tree.Seek(key, length);
            if (p.entry == 0) {
                // Every entry is smaller: after the last record.
                if (!nearest) return false;
                if (GoLast()) eof_ = true;
                return false;
            }
            bool found = false;
            {
                TPagePin page(table_->Index().FetchPage(this, activeIndex_, p.page, false));
                found = CompareKeys(layout_, page->Key(p.entry), key, length) == 0;
            }
            if (!found && !nearest) return false;
            SetIndexPosition(p);
            if (rangeActive_ && (logical_ < rangeFirst_ || logical_ > rangeLast_)) {
                // Outside the range: its nearest edge.
                if (!nearest) return false;
                const bool below = logical_ < rangeFirst_;
                GoToOrdinal(static_cast<std::int32_t>(below ? rangeFirst_ : rangeLast_));
                return false;
            }
            return found;
        } catch (const EIndexChanged&) {
        }
    }
    Raise(RERUZO_INDEXCORRUPT);
}

bool TDataCursor::SetToBookmark(std::span<const std::uint8_t> bookmark, bool nearest, bool noSync) {
    if (!noSync) return SetToBookmarkSynced(bookmark, nearest);
    bool exact = false;
    if (natural_) {
        std::int32_t n = bookmark.size() >= 4 ? GetLE<std::int32_t>(bookmark.data()) : 0;
        n = std::clamp(n, 1, std::max(1, view_.Size()));
        std::int32_t target = 0;
        std::int64_t unused = 0;
        if (view_.Has(n)) {
            target = n;
            exact = true;
        } else {
            std::int32_t after = n, before = n;
            if (view_.Next(after, 1, unused)) {
                target = after;
            } else if (view_.Previous(before, 1, unused)) {
                target = before;
            }
        }
        if (target == 0) {
            NoCurrent();
        } else {
            recordNo_ = target;
            logical_ = view_.CountBefore(target) + 1;
            bof_ = eof_ = false;
        }
    } else if (bookmark.size() >= keyLength_) {
        KeySearch(bookmark.data(), keyLength_, true, false);
        exact = recordNo_ != 0 && std::memcmp(key_.data(), bookmark.data(), keyLength_) == 0 && !eof_;
        if (recordNo_ != 0 && !eof_ && !Visible(recordNo_)) {
            // The nearest visible entry: after the key, else before it.
            exact = false;
            if (!StepIndex(+1)) {
                eof_ = false;
                if (!StepIndex(-1)) NoCurrent();
            }
        }
    }
    if (Status() == 0) ReadCurrent({});
    return nearest ? true : exact;
}

bool TDataCursor::SetToBookmarkSynced(std::span<const std::uint8_t> bookmark, bool nearest) {
    TCheckScope scope{*this};
    Sync();
    return SetToBookmark(bookmark, nearest, true);
}

bool TDataCursor::Find(bool fromRecord, std::span<const std::uint8_t> keyOrRecord, int fieldCount, int partialLength,
                       bool nearest, std::span<std::uint8_t> output) {
    if (natural_) return false;
    TCheckScope scope{*this};
    Sync();
    std::vector<std::uint8_t> key(keyLength_, 0);
    if (fromRecord) {
        BuildKey(layout_, keyOrRecord, key);
    } else {
        std::memcpy(key.data(), keyOrRecord.data(), std::min(keyOrRecord.size(), keyLength_));
    }
    const int keyFields = static_cast<int>(layout_.fields.size());
    const bool partial = (fieldCount >= 1 && fieldCount <= keyFields - 1) || !layout_.unique ||
                         (fieldCount == 0 && partialLength > 0);
    bool found = false;
    std::size_t length = keyLength_;  // the bytes that must match
    if (partial) {
        int c = fieldCount;
        if (!layout_.unique && fieldCount == 0 && partialLength == 0) c = keyFields;
        length = partialLength > 0 ? static_cast<std::size_t>(partialLength) + 1 : 0;
        for (int i = 0; i < c && i < keyFields; ++i) length += layout_.fields[static_cast<std::size_t>(i)].Width() + 1;
        length = std::min(length, keyLength_);
        if (layout_.descending) {
            PadHigh(layout_, key, length);
        } else {
            PadLow(layout_, key, length);
        }
        KeySearch(key.data(), keyLength_, true, false);
        found = GetRecordCount() > 0 && recordNo_ != 0 && !eof_ && CompareKeys(layout_, key_.data(), key.data(), length) == 0;
    } else {
        found = KeySearch(key.data(), keyLength_, nearest, false);
    }
    if (recordNo_ != 0 && !eof_ && !Visible(recordNo_)) {
        // A record the view hides is not found; the search goes on to the next visible
        // one, which is found when it still matches.
        if (StepIndex(+1)) {
            found = (partial || nearest) && CompareKeys(layout_, key_.data(), key.data(), length) == 0;
        } else {
            found = false;
            eof_ = true;
        }
    }
    if (eof_ && !bof_) GoLast();
    ReadCurrent(output);
    return found;
}

std::uint16_t TDataCursor::SetToRecBuf(TDataCursor& other) {
    TCheckScope scope{*this};
    Sync();
    std::uint16_t result = 0;
    const std::int32_t target = other.recordNo_;
    if (natural_) {
        if (target >= 1 && view_.Has(target)) {
            std::array<std::uint8_t, 4> bm{};
            PutLE(bm.data(), target);
            SetToBookmark(bm, false, true);
        } else {
            result = RERUZO_RECNOTFOUND;
        }
    } else if (!other.record_.empty()) {
        std::vector<std::uint8_t> key(keyLength_);
        BuildKey(layout_, other.record_, key);
        if (!KeySearch(key.data(), keyLength_, false, false) || recordNo_ != target) result = RERUZO_RECNOTFOUND;
    } else {
        result = RERUZO_RECNOTFOUND;
    }
    if (result == 0) ReadCurrent({});
    return result;
}

void TDataCursor::SetIndexName(const std::string& name) {
    if (!natural_ && activeIndex_ != kNaturalOrder && SameName(name, indexName_)) return;
    if (natural_ && activeIndex_ == 0 && SameName(name, "")) return;
    TCheckScope scope{*this};
    Sync();
    TIndexFile& index = table_->Index();
    int slot = -1;
    if (SameName(name, "")) {
        slot = 0;
    } else {
        for (int s = 1; s <= index.Header().SecondaryCount; ++s) {
            if (SameName(index.Descriptor(s).Name, name)) {
                slot = s;
                break;
            }
        }
    }
    if (slot < 0) {
        RaiseEngineError(RERUZO_INVALIDINDEXNAME, {.database = directory_.Path(), .table = tableName_, .index = name});
    }
    const std::vector<std::uint8_t> record = record_;
    const std::int32_t recordNo = recordNo_;
    const bool onRecord = Status() == 0;
    LoadIndex(slot);
    // Find the record we were on in the new order.
    if (onRecord && !record.empty()) {
        if (natural_) {
            std::array<std::uint8_t, 4> bm{};
            PutLE(bm.data(), recordNo);
            SetToBookmark(bm, true, true);
        } else {
            std::vector<std::uint8_t> key(keyLength_);
            BuildKey(layout_, record, key);
            KeySearch(key.data(), keyLength_, true, false);
            if (Status() == 0) ReadCurrent({});
        }
    } else {
        if (GoFirst()) bof_ = true;
    }
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
        TFilter* copy = clone->AddFilter(f->condition_->Clone(), f->callback_, f->countCheck_, f->evaluateLast_);
        if (f->active_) clone->ActivateFilter(copy);
    }
    clone->SetToRecBuf(*this);
    return clone;
}

// ---- Filters and the view ------------------------------------------------------------

void TDataCursor::CheckFilterLimit() const {
    if (filters_.size() >= static_cast<std::size_t>(kMaxFilters)) Raise(RERUZO_INTERNALLIMIT);
}

TFilter* TDataCursor::AddFilter(std::unique_ptr<TFilterCondition> condition, bool isCallback, bool countCheck,
                                bool evaluateLast) {
    CheckFilterLimit();
    if (!condition) {
        RaiseEngineError(RERUZO_INVALIDFILTER, {.database = directory_.Path(), .table = tableName_,
                                                .text = "filter condition is missing"});
    }
    auto filter = std::make_unique<TFilter>(*this, std::move(condition), isCallback, countCheck, evaluateLast);
    {
        TCheckScope scope{*this};
        Sync();
        for (int attempt = 0;; ++attempt) {
            try {
                filterTable_.Reset();
                filter->level_ = static_cast<std::uint8_t>(filter->condition_->Analyse(filterTable_, countCheck));
                break;
            } catch (const EIndexChanged&) {
                if (attempt + 1 >= kRestartLimit) Raise(RERUZO_INDEXCORRUPT);
            }
        }
    }
    auto at = filters_.end();
    if (!evaluateLast) at = std::find_if(filters_.begin(), filters_.end(), [](const auto& f) { return f->evaluateLast_; });
    return filters_.insert(at, std::move(filter))->get();
}

TFilter* TDataCursor::AddCallbackFilter(TFilterCallback callback, bool countCheck, bool evaluateLast) {
    CheckFilterLimit();
    if (!callback) {
        RaiseEngineError(RERUZO_INVALIDFILTER, {.database = directory_.Path(), .table = tableName_,
                                                .text = "filter callback is missing"});
    }
    return AddFilter(std::make_unique<TCallbackCondition>(std::move(callback)), true, countCheck, evaluateLast);
}

std::vector<std::unique_ptr<TFilter>>::iterator TDataCursor::FindFilter(const TFilter* filter) {
    auto it = std::find_if(filters_.begin(), filters_.end(), [&](const auto& f) { return f.get() == filter; });
    if (it == filters_.end()) Raise(RERUZO_NOSUCHFILTER);
    return it;
}

int TDataCursor::GetFilterOptimizeLevel(TFilter* filter) const {
    for (const auto& f : filters_) {
        if (f.get() == filter) return f->level_;
    }
    Raise(RERUZO_NOSUCHFILTER);
}

void TDataCursor::ActivateFilter(TFilter* filter) {
    if (filter) FindFilter(filter);
    TCheckScope scope{*this};
    Sync();
    std::vector<TFilter*> fresh;
    for (const auto& f : filters_) {
        if ((!filter || f.get() == filter) && !f->active_) {
            f->active_ = true;
            fresh.push_back(f.get());
        }
    }
    const bool wasOn = bitmapMode_;
    UpdateBitmapMode();
    if (fresh.empty()) return;
    // A view that was never built is built whole; otherwise only the new filters.
    UpdateBitmaps(wasOn && view_.Size() == table_->Data().SlotCount() ? &fresh : nullptr);
    Relocate();
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
    if (filter) FindFilter(filter);
    TCheckScope scope{*this};
    Sync();
    bool changed = false;
    for (const auto& f : filters_) {
        if ((!filter || f.get() == filter) && f->active_) {
            f->active_ = false;
            changed = true;
        }
    }
    if (!changed) return;
    UpdateBitmapMode();
    // A filter evaluated last saw only what the filters before it let through: without
    // one of them it must look again.
    const bool again = std::any_of(filters_.begin(), filters_.end(),
                                   [](const auto& f) { return f->active_ && f->evaluateLast_ && f->level_ < 2; });
    if (bitmapMode_) again ? UpdateBitmaps() : CombineView();
    Relocate();
}

void TDataCursor::DropFilter(TFilter* filter) {
    if (filter) FindFilter(filter);
    DeactivateFilter(filter);
    if (filter) {
        filters_.erase(FindFilter(filter));
    } else {
        filters_.clear();
    }
}

void TDataCursor::ReplaceFilterCondition(TFilter* filter, std::unique_ptr<TFilterCondition> condition) {
    auto it = FindFilter(filter);
    if (!condition) Raise(RERUZO_INVALIDFILTER);
    TCheckScope scope{*this};
    Sync();
    (*it)->condition_ = std::move(condition);
    if (!(*it)->active_) {
        filterTable_.Reset();
        (*it)->level_ = static_cast<std::uint8_t>((*it)->condition_->Analyse(filterTable_, (*it)->countCheck_));
        return;
    }
    // Filters evaluated last after it saw only what its old condition let through.
    const bool later = std::any_of(it + 1, filters_.end(),
                                   [](const auto& f) { return f->active_ && f->evaluateLast_ && f->level_ < 2; });
    std::vector<TFilter*> fresh{filter};
    UpdateBitmaps(later ? nullptr : &fresh);
    Relocate();
}

void TDataCursor::UpdateBitmapMode() {
    bitmapMode_ = natural_ || std::any_of(filters_.begin(), filters_.end(), [](const auto& f) { return f->active_; });
    if (bitmapMode_) return;
    live_.Clear();
    range_.Clear();
    view_.Clear();
    viewCount_ = 0;
}

void TDataCursor::UpdateBitmaps(const std::vector<TFilter*>* fresh) {
    if (rebuilding_) return;
    rebuilding_ = true;
    struct TGuard {
        bool& flag;
        ~TGuard() { flag = false; }
    } guard{rebuilding_};
    for (int attempt = 0;; ++attempt) {
        // After repeated changes under the walk, the last attempt holds the table's
        // read lock, which keeps writers out until it is done.
        const bool locked = attempt + 1 >= kRestartLimit;
        if (locked && table_->ReadLock()) TakeSnapshot();
        try {
            if (fresh && attempt == 0) {
                filterTable_.Reset();
                for (TFilter* f : *fresh) EvaluateFilter(*f);
            } else {
                if (attempt > 0) ComputeRange();  // the table changed: so did the range's entries
                BuildBitmaps();
            }
            if (locked) table_->ReadUnlock();
            break;
        } catch (const EIndexChanged&) {
            if (locked) {
                table_->ReadUnlock();
                Raise(RERUZO_INDEXCORRUPT);
            }
        } catch (...) {
            if (locked) table_->ReadUnlock();
            throw;
        }
    }
    CombineView();
}

void TDataCursor::BuildBitmaps() {
    filterTable_.Reset();
    const std::int32_t slots = table_->Data().SlotCount();
    range_.Clear();
    if (rangeActive_ && !natural_ && slots > 0) {
        range_.SetSize(slots);
        filterTable_.CollectPositions(activeIndex_, rangeFirst_ - 1, std::max(rangeFirst_ - 1, rangeLast_), range_);
    }
    live_.SetSize(slots);
    if (slots > 0) {
        if (std::max(0, table_->Index().RecordCount()) == slots) {
            live_.SetAll();
        } else {
            live_.ClearAll();
            filterTable_.CollectDeleted(live_);
            live_.Not();
        }
    }
    for (const auto& f : filters_) {
        if (f->active_) EvaluateFilter(*f);
    }
}

void TDataCursor::EvaluateFilter(TFilter& filter) {
    TRecordsBitmap& bitmap = filter.Bitmap();
    bitmap.Assign(live_);
    if (range_.Size() > 0) bitmap.And(range_);
    filter.level_ = static_cast<std::uint8_t>(filter.condition_->Analyse(filterTable_, filter.countCheck_));
    if (filter.evaluateLast_ && filter.level_ < 2) {
        for (const auto& f : filters_) {
            if (f.get() == &filter) break;
            if (f->active_) bitmap.And(f->Bitmap());
        }
    }
    if (bitmap.Size() > 0) filter.condition_->Evaluate(filterTable_, bitmap, filter.countCheck_);
}

void TDataCursor::CombineView() {
    if (!bitmapMode_) return;
    view_.Assign(live_);
    if (range_.Size() > 0) view_.And(range_);
    for (const auto& f : filters_) {
        if (f->active_) view_.And(f->Bitmap());
    }
    viewCount_ = view_.Size() == 0 ? 0 : view_.Count();
}

void TDataCursor::Relocate() {
    const bool wasBof = bof_ && !eof_;
    const bool wasEof = eof_ && !bof_;
    if (GetRecordCount() == 0) {
        NoCurrent();
        return;
    }
    if (recordNo_ == 0) {
        if (GoFirst()) bof_ = true;
    } else if (natural_) {
        std::array<std::uint8_t, 4> bookmark{};
        PutLE(bookmark.data(), recordNo_);
        SetToBookmark(bookmark, true, true);
    } else if (!Visible(recordNo_) && !StepIndex(+1)) {
        eof_ = false;
        if (!StepIndex(-1)) GoFirst();
    }
    if (recordNo_ == 0) return;
    if (wasBof) {
        bof_ = true;
        eof_ = false;
    } else if (wasEof) {
        eof_ = true;
        bof_ = false;
    }
    ReadCurrent({});
}

void TDataCursor::FollowWrittenRecord(std::int32_t n, std::span<const std::uint8_t> record) {
    if (!bitmapMode_ || n < 1) return;
    const std::int32_t slots = std::max(n, table_->Data().SlotCount());
    live_.SetSize(slots);
    live_.Set(n);
    if (rangeActive_ && !natural_) {
        range_.SetSize(slots);
        const std::vector<std::uint8_t> key = KeyOf(layout_, record);
        KeyInRange(key.data()) ? range_.Set(n) : range_.Reset(n);
    }
    filterTable_.Reset();
    for (const auto& f : filters_) {
        if (!f->active_) continue;
        f->Bitmap().SetSize(slots);
        if (f->condition_->Accepts(filterTable_, record, n)) {
            f->Bitmap().Set(n);
        } else {
            f->Bitmap().Reset(n);
        }
    }
    // Only record n changed: its bit of the view and the count follow, without a
    // pass over the whole view.
    bool visible = live_.Has(n) && (range_.Size() == 0 || range_.Has(n));
    for (const auto& f : filters_) {
        if (f->active_) visible = visible && f->Bitmap().Has(n);
    }
    view_.SetSize(slots);
    if (visible != view_.Has(n)) {
        visible ? view_.Set(n) : view_.Reset(n);
        viewCount_ += visible ? 1 : -1;
    }
}

void TDataCursor::FollowDeletedRecord(std::int32_t n) {
    if (!bitmapMode_) return;
    range_.Reset(n);
    live_.Reset(n);
    for (const auto& f : filters_) f->Bitmap().Reset(n);
    if (view_.Has(n)) {
        view_.Reset(n);
        --viewCount_;
    }
}

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

void TDataCursor::FinishChange(bool dataChanged, bool indexChanged) {
    if (table_->Exclusive()) {
        // Nothing reaches the disk now; closing or flushing the table writes it.
        table_->MarkChanged(dataChanged, indexChanged, false);
    } else {
        table_->FlushBuffers(false, dataChanged, indexChanged, false, false);
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
    std::vector<std::uint8_t> image = CheckedImage(buffer);
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
    FinishChange(true, true);
    // The view follows every own write; the cursor moves to the new record only with
    // `reposition`, else it stays where it was.
    FollowWrittenRecord(s, record_);
    reposition ? StandOn(s) : Return(place, false);
}

void TDataCursor::ModifyRecord(std::span<const std::uint8_t> buffer, bool unlock, bool reposition) {
    RequireWritable();
    std::vector<std::uint8_t> image = CheckedImage(buffer);
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
    TPinnedRecord r(data.GetRecord(nullptr, n, true, false, false));
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
    FinishChange(true, !changes.empty() || sysChanged);
    FollowWrittenRecord(n, record_);
    if (unlock && !lockedHere) WriteUnlockRecord(n);
    reposition ? StandOn(n) : Return(place, false);
}

void TDataCursor::DeleteRecord(std::span<const std::uint8_t> buffer, bool reposition) {
    RequireWritable();
    TCheckScope scope{*this};
    const TPlace place = Place();
    TWriteLockScope writeLock(*table_);
    if (writeLock.Changed()) Resync();
    if (Status() != 0) Raise(RERUZO_NOCURRREC);
    const std::int32_t n = recordNo_;
    TDataFile& data = table_->Data();
    TIndexFile& index = table_->Index();
    TPinnedRecord r(data.GetRecord(nullptr, n, true, false, false));
    // The record must still be what the caller read.
    if (r->State() != 0 ||
        (!exclusive_ && (buffer.size() < recordSize_ || std::memcmp(r->Data().data(), buffer.data(), recordSize_) != 0)))
        Raise(RERUZO_KEYORRECDELETED);
    HoldRecordLock(n);
    const TRecordUnlock release(*this, n, true);

    const std::vector<std::uint8_t> old(r->Data().begin(), r->Data().begin() + recordSize_);
    for (const TWriteIndex& ix : WriteIndexes()) TIndexTree(index, ix.slot, ix.layout).Delete(KeyOf(ix.layout, old).data());
    const TKeyLayout sysLayout = TKeyLayout::SysDeleted();
    TIndexTree sys(index, kSysDeletedSlot, sysLayout);
    sys.Delete(SysDeletedKeyOf(old).data());
    index.DecRecordCount();
    data.MarkDeleted(*r.get(), SlotReuse());
    sys.Insert(SysDeletedKeyOf(r->Data()).data(), n);
    r = TPinnedRecord();
    FinishChange(true, true);
    FollowDeletedRecord(n);
    if (reposition) {
        // The next record takes the deleted one's place.
        SetToBookmark(place.bookmark, true, true);
        if (GetRecordCount() == 0) NoCurrent();
    } else {
        Return(place, true);
    }
}

// ---- Ranges -------------------------------------------------------------------------------

std::vector<std::uint8_t> TDataCursor::RangeBound(bool fromRecord, std::span<const std::uint8_t> bound, int fields,
                                                  std::size_t& length) const {
    std::vector<std::uint8_t> key(keyLength_, 0);
    length = 0;
    if (bound.empty()) return key;  // open
    if (fromRecord) {
        BuildKey(layout_, bound, key);
    } else {
        std::memcpy(key.data(), bound.data(), std::min(bound.size(), keyLength_));
    }
    // The bound covers its first `fields` key fields (all of them for 0); the
    // identifier ending the keys of a non-unique index never takes part.
    const int keyFields = static_cast<int>(layout_.fields.size());
    const int c = fields <= 0 || fields > keyFields ? keyFields : fields;
    for (int i = 0; i < c; ++i) length += layout_.fields[static_cast<std::size_t>(i)].Width() + 1;
    if (c == keyFields && layout_.unique) length = keyLength_;
    return key;
}

void TDataCursor::SetRange(bool fromRecord, std::span<const std::uint8_t> low, int lowFields,
                           std::span<const std::uint8_t> high, int highFields) {
    if (natural_) return;
    TCheckScope scope{*this};
    Sync();
    rangeLow_ = RangeBound(fromRecord, low, lowFields, rangeLowLength_);
    rangeHigh_ = RangeBound(fromRecord, high, highFields, rangeHighLength_);
    rangeActive_ = true;
    ComputeRange();
    if (bitmapMode_) UpdateBitmaps();
    Relocate();
}

void TDataCursor::ResetRange() {
    if (natural_ || !rangeActive_) return;
    TCheckScope scope{*this};
    Sync();
    rangeActive_ = false;
    ComputeRange();
    if (bitmapMode_) UpdateBitmaps();
    Relocate();
}

// Index positions (1-based) of the first entry not below the low bound and of the
// last entry not above the high bound, each compared over the bound's length.
void TDataCursor::ComputeRange() {
    if (!rangeActive_ || natural_) {
        rangeFirst_ = 1;
        rangeLast_ = std::max(0, table_->Index().RecordCount());
        return;
    }
    for (int attempt = 0;; ++attempt) {
        try {
            TIndexTree tree = Tree();
            rangeFirst_ = (rangeLowLength_ ? tree.Seek(rangeLow_.data(), rangeLowLength_, false).logical : 0) + 1;
            rangeLast_ = rangeHighLength_ ? tree.Seek(rangeHigh_.data(), rangeHighLength_, true).logical
                                          : std::max(0, table_->Index().RecordCount());
            return;
        } catch (const EIndexChanged&) {
            if (attempt + 1 >= kRestartLimit) Raise(RERUZO_INDEXCORRUPT);
        }
    }
}

bool TDataCursor::KeyInRange(const std::uint8_t* key) const {
    return (rangeLowLength_ == 0 || CompareKeys(layout_, key, rangeLow_.data(), rangeLowLength_) >= 0) &&
           (rangeHighLength_ == 0 || CompareKeys(layout_, key, rangeHigh_.data(), rangeHighLength_) <= 0);
}

// ---- Adding and deleting indexes ------------------------------------------------------------

void TDataCursor::AddSecondaryIndex(const TIndexDesc& definition) {
    RequireWritable();
    if (!exclusive_) Raise(RERUZO_NEEDEXCLACCESS);
    TCheckScope scope{*this};
    Sync();
    TIndexDesc desc = definition;
    std::uint8_t count = 0;
    while (count < kMaxKeyFields && desc.FieldNumbers[count] != 0) ++count;
    desc.FieldCount = count;
    desc.KeyLength = ComputeKeyLength(desc, fields_, directory_.Path(), tableName_);
    TIndexFile& index = table_->Index();
    TDataFile& data = table_->Data();
    const int slot = index.AddSecondaryIndex(desc, fields_);
    const TKeyLayout layout = MakeKeyLayout(index.Descriptor(slot), slot, fields_, languageId_, sortId_);
    TIndexTree tree(index, slot, layout);
    const std::int32_t slots = data.SlotCount();
    const std::uint16_t steps = table_->Session().ProgressSteps();
    const int step = steps == 0 ? 100 : 100 / steps;
    int reported = 0;
    std::vector<std::int32_t> duplicates;
    for (std::int32_t n = 1; n <= slots; ++n) {
        {
            TPinnedRecord r(data.GetRecord(nullptr, n, true, false, true));
            if (r->State() == 0) {
                const std::vector<std::uint8_t> key = KeyOf(layout, r->Data());
                // Of several records with one key in a new unique index, the first stays.
                if (layout.unique && tree.FindExact(key.data(), nullptr)) {
                    duplicates.push_back(n);
                } else {
                    tree.Insert(key.data(), n);
                }
            }
        }
        const int percent = static_cast<int>(std::int64_t{n} * 100 / slots);
        if (percent >= reported + step) {
            reported = percent;
            if (ProgressCallback) ProgressCallback(percent);
        }
    }
    for (std::int32_t n : duplicates) {
        TPinnedRecord r(data.GetRecord(nullptr, n, true, false, false));
        const std::vector<std::uint8_t> old(r->Data().begin(), r->Data().begin() + recordSize_);
        for (const TWriteIndex& ix : WriteIndexes()) {
            if (ix.slot != slot) TIndexTree(index, ix.slot, ix.layout).Delete(KeyOf(ix.layout, old).data());
        }
        const TKeyLayout sysLayout = TKeyLayout::SysDeleted();
        TIndexTree sys(index, kSysDeletedSlot, sysLayout);
        sys.Delete(SysDeletedKeyOf(old).data());
        index.DecRecordCount();
        data.MarkDeleted(*r.get(), SlotReuse());
        sys.Insert(SysDeletedKeyOf(r->Data()).data(), n);
    }
    FinishChange(!duplicates.empty(), true);
    if (bitmapMode_) UpdateBitmaps();
    SetToBegin();
}

void TDataCursor::DeleteIndex(const std::string& name) {
    RequireWritable();
    if (!exclusive_) Raise(RERUZO_NEEDEXCLACCESS);
    TCheckScope scope{*this};
    Sync();
    TIndexFile& index = table_->Index();
    int slot = -1;
    if (SameName(name, "")) {
        if (!index.NoPrimaryIndex()) slot = 0;
    } else {
        for (int s = 1; s <= index.Header().SecondaryCount && slot < 0; ++s) {
            if (SameName(index.Descriptor(s).Name, name)) slot = s;
        }
    }
    if (slot < 0) {
        RaiseEngineError(RERUZO_INVALIDINDEXNAME, {.database = directory_.Path(), .table = tableName_, .index = name});
    }
    // The tree's pages go onto the slot's free chain, children before their parents,
    // for the next index to take over.
    if (const std::int32_t root = index.Root(slot); root != 0) {
        std::vector<std::int32_t> pages{root};
        for (std::size_t i = 0; i < pages.size(); ++i) {
            if (pages.size() > static_cast<std::size_t>(index.PageCount())) Raise(RERUZO_INDEXCORRUPT);
            TPagePin page(index.FetchPage(nullptr, slot, pages[i], false));
            if (page->IsLeaf()) continue;
            for (int e = 1; e <= page->Count(); ++e) pages.push_back(page->Ref(e));
        }
        for (auto it = pages.rbegin(); it != pages.rend(); ++it) {
            TPagePin page(index.FetchPage(nullptr, slot, *it, false));
            index.FreePage(slot, page.get());
        }
        index.SetRoot(slot, 0);
    }
    index.DeleteIndex(slot);
    FinishChange(false, true);
    LoadIndex(0);
    SetToBegin();
}

void TDataCursor::FlushBuffers(bool trim, bool flushOs) {
    if (!IsOpen()) return;
    table_->FlushBuffers(trim, false, false, false, flushOs);
}

}  // namespace reruzo
