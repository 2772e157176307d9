// Cursors: key ranges, which restrict index order to the keys between two bounds.
#include "engine/table/data_cursor.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"

namespace reruzo {
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
}  // namespace reruzo
