// Cursors: filters and the view. While a filter is active, or in natural order, the
// cursor keeps a bitmap of the live records, one per active filter and their
// intersection, the view; its own writes move single bits instead of evaluating again.
#include "engine/table/data_cursor.h"

#include <algorithm>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
// ---- Filters and the view ------------------------------------------------------------

void TDataCursor::CheckFilterLimit() const {
    if (filters_.size() >= static_cast<std::size_t>(kMaxFilters)) Raise(RERUZO_INTERNALLIMIT);
}

TFilter* TDataCursor::AddFilter(std::unique_ptr<TFilterCondition> condition, TFilterSettings options) {
    CheckFilterLimit();
    if (!condition) {
        RaiseEngineError(RERUZO_INVALIDFILTER, {.database = directory_.Path(), .table = tableName_,
                                                .text = "filter condition is missing"});
    }
    auto filter = std::make_unique<TFilter>(*this, std::move(condition), options);
    {
        TCheckScope scope{*this};
        Sync();
        for (int attempt = 0;; ++attempt) {
            try {
                filterTable_.Reset();
                filter->level_ =
                    static_cast<std::uint8_t>(filter->condition_->Analyse(filterTable_, options.countCheck));
                break;
            } catch (const EIndexChanged&) {
                if (attempt + 1 >= kRestartLimit) Raise(RERUZO_INDEXCORRUPT);
            }
        }
    }
    auto at = filters_.end();
    if (!options.evaluateLast) {
        at = std::find_if(filters_.begin(), filters_.end(), [](const auto& f) { return f->EvaluateLast(); });
    }
    return filters_.insert(at, std::move(filter))->get();
}

TFilter* TDataCursor::AddCallbackFilter(TFilterCallback callback, TFilterSettings options) {
    CheckFilterLimit();
    if (!callback) {
        RaiseEngineError(RERUZO_INVALIDFILTER, {.database = directory_.Path(), .table = tableName_,
                                                .text = "filter callback is missing"});
    }
    return AddFilter(std::make_unique<TCallbackCondition>(std::move(callback)), options);
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
                                   [](const auto& f) { return f->active_ && f->EvaluateLast() && f->level_ < 2; });
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
        (*it)->level_ = static_cast<std::uint8_t>((*it)->condition_->Analyse(filterTable_, (*it)->CountCheck()));
        return;
    }
    // Filters evaluated last after it saw only what its old condition let through.
    const bool later = std::any_of(it + 1, filters_.end(),
                                   [](const auto& f) { return f->active_ && f->EvaluateLast() && f->level_ < 2; });
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
        } else if (!table_->CopyLiveRecords(live_)) {
            live_.ClearAll();
            filterTable_.CollectDeleted(live_);
            live_.Not();
            table_->RememberLiveRecords(live_);
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
    filter.level_ = static_cast<std::uint8_t>(filter.condition_->Analyse(filterTable_, filter.CountCheck()));
    if (filter.EvaluateLast() && filter.level_ < 2) {
        for (const auto& f : filters_) {
            if (f.get() == &filter) break;
            if (f->active_) bitmap.And(f->Bitmap());
        }
    }
    if (bitmap.Size() > 0) filter.condition_->Evaluate(filterTable_, bitmap, filter.CountCheck());
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
}  // namespace reruzo
