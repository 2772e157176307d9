// The table side of filters: usable indexes, key ranges of values counted and walked
// in an index, and scans of candidate records.
#include "engine/table/data_filter.h"

#include <algorithm>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_cursor.h"
#include "engine/index/index_tree.h"

namespace reruzo {
namespace {

// Reads ahead only over the run of candidates that starts at the record asked for,
// so a scan of scattered candidates reads no record it does not test.
class TCandidateReader : public TRecordReader {
public:
    TCandidateReader(TDataCursor& cursor, const TRecordsBitmap& candidates, std::int32_t limit)
        : cursor_(cursor), candidates_(candidates), limit_(limit) {}
    void SetAt(std::int32_t n) { at_ = n; }
    bool ChangedBeforeRead() override { return cursor_.ChangedBeforeRead(); }
    std::int32_t ReadAheadCount(bool) override {
        std::int32_t run = 1;
        while (run < limit_ && candidates_.Has(at_ + run)) ++run;
        return run;
    }

private:
    TDataCursor& cursor_;
    const TRecordsBitmap& candidates_;
    std::int32_t limit_;
    std::int32_t at_ = 0;
};

}  // namespace

const std::vector<TFieldDesc>& TFilterTable::Fields() const { return cursor_.Fields(); }
std::uint16_t TFilterTable::LanguageId() const { return cursor_.LanguageId(); }
std::uint16_t TFilterTable::SortId() const { return cursor_.SortId(); }
std::int32_t TFilterTable::RecordCount() const { return std::max(0, cursor_.Table().Index().RecordCount()); }
std::int32_t TFilterTable::SlotCount() const { return cursor_.Table().Data().SlotCount(); }

int TFilterTable::UsableIndex(std::uint16_t fieldNo, bool caseInsensitive) {
    const auto& fields = Fields();
    if (fieldNo < 1 || fieldNo > fields.size()) return -1;
    const bool isString = fields[fieldNo - 1u].FieldType == kFieldString;
    TIndexFile& index = cursor_.Table().Index();
    auto fits = [&](int slot) {
        const TIndexDesc& d = index.Descriptor(slot);
        return d.FieldCount > 0 && d.FieldNumbers[0] == fieldNo &&
               (!isString || (d.CaseInsensitive != 0) == caseInsensitive);
    };
    if (!index.NoPrimaryIndex() && fits(0)) return 0;
    for (int slot = 1; slot <= index.Header().SecondaryCount; ++slot) {
        if (fits(slot)) return slot;
    }
    return -1;
}

const TKeyLayout& TFilterTable::Layout(int slot) {
    auto it = layouts_.find(slot);
    if (it == layouts_.end() && slot == kSysDeletedSlot) it = layouts_.emplace(slot, TKeyLayout::SysDeleted()).first;
    if (it == layouts_.end()) {
        it = layouts_
                 .emplace(slot, MakeKeyLayout(cursor_.Table().Index().Descriptor(slot), slot, Fields(), LanguageId(),
                                              SortId()))
                 .first;
    }
    return it->second;
}

// A bound becomes a search over the first key field alone: the encoded value (or
// just the null indicator) over the bytes that count, and whether the entries equal
// to it lie before the position. When the field sorts descending in the index, the
// range's high end comes first in index order.
std::pair<std::int64_t, std::int64_t> TFilterTable::Positions(int slot, const TFieldRange& range) {
    const TKeyLayout& layout = Layout(slot);
    if (layout.fields.empty()) cursor_.Table().Index().RaiseTable(RERUZO_INDEXCORRUPT);
    const TKeyField& field = layout.fields.front();
    const bool reversed = layout.descending || field.descending;
    TIndexTree tree(cursor_.Table().Index(), slot, layout, &cursor_);
    const std::int64_t total = tree.Count();
    std::vector<std::uint8_t> key(layout.KeyLength(), 0);
    auto position = [&](const TFieldBound& bound, bool isStart) -> std::int64_t {
        if (bound.kind == TFieldBound::Open) return isStart ? 0 : total;
        const std::size_t width = field.Width() + 1;
        EncodeKeyField(layout, field, bound.kind == TFieldBound::NullOnly, bound.data,
                       std::span<std::uint8_t>(key).first(width));
        std::size_t length = 1;
        if (bound.kind == TFieldBound::Value) length = bound.prefix > 0 ? std::min(width, 1 + bound.prefix) : width;
        const bool after = isStart ? bound.strict : !bound.strict;
        return tree.Seek(key.data(), length, after).logical;
    };
    const std::int64_t first = position(reversed ? range.high : range.low, true);
    const std::int64_t end = position(reversed ? range.low : range.high, false);
    return {first, std::max(first, end)};
}

std::int64_t TFilterTable::CountRange(int slot, const TFieldRange& range) {
    const auto [first, end] = Positions(slot, range);
    return end - first;
}

void TFilterTable::CollectRange(int slot, const TFieldRange& range, bool outside, TRecordsBitmap& into) {
    const auto [first, end] = Positions(slot, range);
    if (!outside) {
        CollectPositions(slot, first, end, into);
        return;
    }
    const std::int64_t total = TIndexTree(cursor_.Table().Index(), slot, Layout(slot), &cursor_).Count();
    CollectPositions(slot, 0, first, into);
    CollectPositions(slot, end, total, into);
}

void TFilterTable::CollectDeleted(TRecordsBitmap& into) {
    // Keys are the slot state (1 = deleted) followed by the record identifier.
    const std::uint8_t deleted[kSysDeletedKeyLength] = {1, 0, 0, 0, 0};
    TIndexTree tree(cursor_.Table().Index(), kSysDeletedSlot, Layout(kSysDeletedSlot), &cursor_);
    const std::int64_t first = tree.Seek(deleted, 1, false).logical;
    const std::int64_t end = tree.Seek(deleted, 1, true).logical;
    CollectPositions(kSysDeletedSlot, first, end, into);
}

void TFilterTable::CollectPositions(int slot, std::int64_t first, std::int64_t end, TRecordsBitmap& into) {
    if (end <= first) return;
    TIndexFile& index = cursor_.Table().Index();
    const auto start = TIndexTree(index, slot, Layout(slot), &cursor_).SeekOrdinal(first + 1);
    if (start.entry == 0) index.RaiseTable(RERUZO_INDEXCORRUPT);
    std::int64_t remaining = end - first;
    std::int32_t pageNo = start.page;
    int entry = start.entry;
    for (std::int64_t hops = 0;; ++hops) {
        TPagePin page(index.FetchPage(&cursor_, slot, pageNo, false));
        if (!page->IsLeaf() || page->Count() == 0 || hops > index.PageCount()) index.RaiseTable(RERUZO_INDEXCORRUPT);
        for (int i = entry; i <= page->Count() && remaining > 0; ++i, --remaining) {
            const std::int32_t r = page->Ref(i);
            if (r < 1 || r > into.Size()) index.RaiseTable(RERUZO_INDEXCORRUPT);
            into.Set(r);
        }
        if (remaining == 0) return;
        const std::int32_t next = page->Next();
        if (next == 0) index.RaiseTable(RERUZO_INDEXCORRUPT);  // fewer entries than the counts say
        pageNo = next;
        entry = 1;
    }
}

void TFilterTable::Scan(TRecordsBitmap& bitmap, const TRecordTest& accept) {
    TDataFile& data = cursor_.Table().Data();
    TCandidateReader reader(cursor_, bitmap, data.RecordsPerRead());
    const std::int32_t size = cursor_.RecordSize();
    std::int32_t n = 0;
    std::int64_t ordinal = 0;
    if (size == data.RecordSize()) {
        // The candidates are tested on the slots' bytes in runs, without passing each
        // through the record cache; the slots between candidates of a run are read
        // but not tested.
        const auto test = [&](std::int32_t m, std::span<const std::uint8_t> bytes) {
            if (bitmap.Has(m) && !accept(bytes, m)) bitmap.Reset(m);
        };
        while (bitmap.Next(n, 1, ordinal)) {
            const std::int32_t reach = std::min(data.RecordsPerRead(), data.SlotCount() - n + 1);
            const std::int32_t run = MemberRun(bitmap, n, reach, 1);
            if (!data.VisitRun(&reader, n, run, test)) throw EIndexChanged();  // the rebuild starts again
            n += run - 1;
        }
        return;
    }
    // Records with room for computed columns after the stored ones go through the cache.
    while (bitmap.Next(n, 1, ordinal)) {
        reader.SetAt(n);
        TPinnedRecord r(data.GetRecord(&reader, n, {.cursorCount = true, .readAhead = true}));
        if (!r) throw EIndexChanged();  // changed under the scan: the rebuild starts again
        if (!accept(r->Data().first(static_cast<std::size_t>(size)), n)) bitmap.Reset(n);
    }
}

// ---- Callback filters --------------------------------------------------------------------

void TCallbackCondition::Evaluate(TFilterTable& table, TRecordsBitmap& bitmap, bool /*countCheck*/) {
    table.Scan(bitmap, [&](std::span<const std::uint8_t> record, std::int32_t n) {
        return callback_(table.Cursor(), record, n);
    });
}

bool TCallbackCondition::Accepts(TFilterTable& table, std::span<const std::uint8_t> record, std::int32_t recordNo) {
    return callback_(table.Cursor(), record, recordNo);
}

std::unique_ptr<TFilterCondition> TCallbackCondition::Clone() const {
    return std::make_unique<TCallbackCondition>(callback_);
}

}  // namespace reruzo
