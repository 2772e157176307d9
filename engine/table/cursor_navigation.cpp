// Cursors: moving through natural and index order (first, last, by record number,
// step by step over the visible entries), fetching records, bookmarks, key search and
// changing the active index.
#include "engine/table/data_cursor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_build.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
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
        TPinnedRecord r(table_->Data().GetRecord(this, recordNo_, {.cursorCount = true, .readAhead = true}));
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
    if (!natural_ && activeIndex_ != kNaturalOrder && SameIndexName(name, indexName_)) return;
    if (natural_ && activeIndex_ == 0 && SameIndexName(name, "")) return;
    TCheckScope scope{*this};
    Sync();
    TIndexFile& index = table_->Index();
    const int slot = FindIndexSlot(index, name);
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
}  // namespace reruzo
