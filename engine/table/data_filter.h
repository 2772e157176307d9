// Filters of a cursor. A filter restricts the records a cursor shows. It is evaluated
// once into a bitmap over physical record numbers, answered from key ranges of the
// table's indexes where its condition allows, and the cursor then walks the
// intersection of its filters' bitmaps instead of testing records while it moves.
//
// What a filter tests is its condition: expression conditions come from the
// expression filters (engine/sql), callback conditions ask the cursor's owner. A
// condition reaches the table only through TFilterTable: which index can answer a
// column, how many entries a range of values holds, the records of such a range, and
// a scan of candidate records.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "engine/index/keys.h"
#include "engine/table/records_bitmap.h"
#include "engine/storage/data_format.h"

namespace reruzo {

class TDataCursor;

inline constexpr int kMaxFilters = 64;

// One end of a range of values of an index's first key field, in value order (nulls
// come before every value).
struct TFieldBound {
    enum TKind : std::uint8_t {
        Open,      // no bound: from before the nulls, or to after the last value
        NonNull,   // low end only: from the first value that is not null
        NullOnly,  // high end only: up to the last null
        Value,     // the value in `data`
    };
    TKind kind = Open;
    std::vector<std::uint8_t> data;  // the value as a record stores it in the field
    bool strict = false;             // the value itself lies outside the range
    std::size_t prefix = 0;          // strings: only this many leading bytes count (0: all)
};

struct TFieldRange {
    TFieldBound low;
    TFieldBound high;
};

// Decides for one record whether it passes.
using TRecordTest = std::function<bool(std::span<const std::uint8_t> record, std::int32_t recordNo)>;

// The table as a filter condition sees it while the cursor analyses and evaluates it.
class TFilterTable {
public:
    explicit TFilterTable(TDataCursor& cursor) : cursor_(cursor) {}

    TDataCursor& Cursor() const { return cursor_; }
    const std::vector<TFieldDesc>& Fields() const;
    std::uint16_t LanguageId() const;
    std::uint16_t SortId() const;
    // Live records (from the index header) and physical slots.
    std::int32_t RecordCount() const;
    std::int32_t SlotCount() const;

    // The first index in slot order (primary first) whose first key field is the
    // field, and, for a string field, whose case-insensitivity is `caseInsensitive`;
    // -1 when there is none or the cursor reads a work table of a query.
    int UsableIndex(std::uint16_t fieldNo, bool caseInsensitive);
    // Index entries whose first key field lies in the range.
    std::int64_t CountRange(int slot, const TFieldRange& range);
    // Sets the record of every entry in the range (with `outside`: of every entry
    // outside it), walking the leaves by their sibling links.
    void CollectRange(int slot, const TFieldRange& range, bool outside, TRecordsBitmap& into);
    // Sets the records of the entries at positions [first, end) of an index.
    void CollectPositions(int slot, std::int64_t first, std::int64_t end, TRecordsBitmap& into);
    // Sets the record of every "Sys Deleted" entry that marks a deleted slot.
    void CollectDeleted(TRecordsBitmap& into);
    // Reads every record set in `bitmap` and clears the bits `accept` refuses.
    void Scan(TRecordsBitmap& bitmap, const TRecordTest& accept);

    // Forgets the index layouts (the index file may have changed).
    void Reset() { layouts_.clear(); }

private:
    const TKeyLayout& Layout(int slot);
    // Entries [first, end) of the range in index order.
    std::pair<std::int64_t, std::int64_t> Positions(int slot, const TFieldRange& range);

    TDataCursor& cursor_;
    std::map<int, TKeyLayout> layouts_;
};

// How a filter takes part in its cursor's view.
struct TFilterSettings {
    // Drops the index of a part of a compound condition that would select more than
    // 90 % of the table, reading those records instead.
    bool countCheck = false;
    // Evaluated after every filter that is not.
    bool evaluateLast = false;
};

// What a filter tests.
class TFilterCondition {
public:
    virtual ~TFilterCondition() = default;
    // Whether the cursor's owner decides (and no index can help).
    virtual bool IsCallback() const { return false; }
    // The optimisation level: 0 when records must be read, 1 when indexes narrow the
    // records to read, 2 when indexes answer it alone. `countCheck` drops the index of
    // a part of a compound condition that would select more than 90 % of the table.
    virtual int Analyse(TFilterTable& table, bool countCheck) = 0;
    // Narrows `bitmap`, which comes in holding the candidate records, to those that
    // pass. Called after Analyse.
    virtual void Evaluate(TFilterTable& table, TRecordsBitmap& bitmap, bool countCheck) = 0;
    // Whether one record passes.
    virtual bool Accepts(TFilterTable& table, std::span<const std::uint8_t> record, std::int32_t recordNo) = 0;
    // The same condition for another cursor on the same table.
    virtual std::unique_ptr<TFilterCondition> Clone() const = 0;
};

// The owner's test of a callback filter; true keeps the record.
using TFilterCallback =
    std::function<bool(TDataCursor& cursor, std::span<const std::uint8_t> record, std::int32_t recordNo)>;

class TCallbackCondition : public TFilterCondition {
public:
    explicit TCallbackCondition(TFilterCallback callback) : callback_(std::move(callback)) {}
    bool IsCallback() const override { return true; }
    int Analyse(TFilterTable&, bool) override { return 0; }
    void Evaluate(TFilterTable& table, TRecordsBitmap& bitmap, bool countCheck) override;
    bool Accepts(TFilterTable& table, std::span<const std::uint8_t> record, std::int32_t recordNo) override;
    std::unique_ptr<TFilterCondition> Clone() const override;

private:
    TFilterCallback callback_;
};

// One filter of a cursor's filter list. The cursor owns it; its handle is its address.
class TFilter {
public:
    TFilter(TDataCursor& owner, std::unique_ptr<TFilterCondition> condition, TFilterSettings options)
        : owner_(owner), condition_(std::move(condition)), options_(options) {}

    TDataCursor& Owner() const { return owner_; }
    TFilterCondition& Condition() const { return *condition_; }
    TRecordsBitmap& Bitmap() const { return *bitmap_; }
    bool Active() const { return active_; }
    bool IsCallback() const { return condition_->IsCallback(); }
    bool CountCheck() const { return options_.countCheck; }
    bool EvaluateLast() const { return options_.evaluateLast; }
    const TFilterSettings& Options() const { return options_; }
    std::uint8_t OptimizeLevel() const { return level_; }

private:
    friend class TDataCursor;
    TDataCursor& owner_;
    std::unique_ptr<TFilterCondition> condition_;
    TPooledBitmap bitmap_;
    bool active_ = false;
    TFilterSettings options_;
    std::uint8_t level_ = 0;
};

}  // namespace reruzo
