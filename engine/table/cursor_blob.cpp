// The cursor's BLOB operations: open BLOBs held whole in memory, and their posting
// with the record they belong to.
#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_cursor.h"

namespace reruzo {

TBlobBuffer& TDataCursor::Blob(std::span<const std::uint8_t> buffer, int fieldNo, bool load) {
    if (!IsOpen()) Raise(RERUZO_NOCURRREC);
    if (fieldNo < 1 || static_cast<std::size_t>(fieldNo) > fields_.size()) Raise(RERUZO_OUTOFRANGE);
    const TFieldDesc& f = fields_[static_cast<std::size_t>(fieldNo - 1)];
    if (f.FieldType != kFieldBlob) RaiseEngineError(RERUZO_INVALIDFLDTYPE, {.table = tableName_, .field = f.Name});
    if (buffer.size() < recordSize_) Raise(RERUZO_OUTOFRANGE);
    const std::int32_t recordNo = GetLE<std::int32_t>(buffer.data() + 1);
    auto it = std::find_if(blobs_.begin(), blobs_.end(), [&](const std::unique_ptr<TBlobBuffer>& b) {
        return b->RecordNo() == recordNo && b->FieldNo() == fieldNo;
    });
    if (it == blobs_.end()) {
        if (blobs_.size() >= kMaxOpenBlobs) Raise(RERUZO_OPENBLOBLIMIT);
        // A new record (number 0) has no BLOB yet, whatever its buffer says.
        const TBlobReference ref = recordNo != 0 ? GetBlobReference(buffer, f) : TBlobReference{};
        blobs_.push_back(std::make_unique<TBlobBuffer>(table_->Blob(), recordNo, static_cast<std::uint16_t>(fieldNo),
                                                       ref.firstBlock, ref.stamp));
        it = blobs_.end() - 1;
    }
    TBlobBuffer& blob = **it;
    if (load && !blob.Loaded()) {
        // A BLOB is read under the check lock, after a look at the file headers: cached
        // blocks of a BLOB another process rewrote must not be taken for its value.
        TCheckScope scope{*this};
        Sync();
        if (!exclusive_) ChangedBeforeRead();
        blob.Load(this);
    }
    return blob;
}

void TDataCursor::OpenBlob(std::span<const std::uint8_t> buffer, int fieldNo) { Blob(buffer, fieldNo, false); }

std::uint32_t TDataCursor::GetBlobSize(std::span<const std::uint8_t> buffer, int fieldNo) {
    return static_cast<std::uint32_t>(Blob(buffer, fieldNo, true).Size());
}

std::size_t TDataCursor::GetBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t offset,
                                 std::span<std::uint8_t> out) {
    const TBlobBuffer& blob = Blob(buffer, fieldNo, true);
    if (offset >= blob.Size()) return 0;
    const std::size_t n = std::min<std::size_t>(out.size(), blob.Size() - static_cast<std::size_t>(offset));
    std::memcpy(out.data(), blob.Data().data() + offset, n);
    return n;
}

void TDataCursor::PutBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t offset,
                          std::span<const std::uint8_t> data) {
    RequireWritable();
    TBlobBuffer& blob = Blob(buffer, fieldNo, true);
    const std::uint64_t end = offset + data.size();
    if (end > static_cast<std::uint64_t>(INT32_MAX)) Raise(RERUZO_INVALIDBLOBLEN);
    if (end > blob.Size()) blob.Data().resize(static_cast<std::size_t>(end));
    std::memcpy(blob.Data().data() + offset, data.data(), data.size());
    blob.SetModified(true);
}

void TDataCursor::TruncateBlob(std::span<const std::uint8_t> buffer, int fieldNo, std::uint64_t size) {
    RequireWritable();
    if (size > static_cast<std::uint64_t>(INT32_MAX)) Raise(RERUZO_INVALIDBLOBLEN);
    TBlobBuffer& blob = Blob(buffer, fieldNo, size != 0);
    blob.SetSize(static_cast<std::size_t>(size));
}

void TDataCursor::FreeBlob(std::span<const std::uint8_t> buffer, int fieldNo) {
    if (buffer.size() < recordSize_) return;
    const std::int32_t recordNo = GetLE<std::int32_t>(buffer.data() + 1);
    std::erase_if(blobs_, [&](const std::unique_ptr<TBlobBuffer>& b) {
        return b->RecordNo() == recordNo && b->FieldNo() == fieldNo;
    });
}

void TDataCursor::FreeBlobs() { blobs_.clear(); }

std::vector<std::uint8_t> TDataCursor::StagedImage(std::span<const std::uint8_t> buffer) const {
    std::vector<std::uint8_t> staged(recordSize_, 0);
    std::memcpy(staged.data(), buffer.data(), std::min<std::size_t>(buffer.size(), recordSize_));
    if (buffer.size() < 5) return staged;
    const std::int32_t recordNo = GetLE<std::int32_t>(buffer.data() + 1);
    for (const auto& b : blobs_) {
        if (b->RecordNo() != recordNo || !b->Modified()) continue;
        const TFieldDesc& f = fields_[b->FieldNo() - 1u];
        staged[f.Offset] = b->Size() == 0 ? 0 : 1;
    }
    return staged;
}

void TDataCursor::DropBlobs(std::int32_t recordNo) {
    std::erase_if(blobs_, [&](const std::unique_ptr<TBlobBuffer>& b) { return b->RecordNo() == recordNo; });
}

bool TDataCursor::PostBlobs(std::int32_t recordNo, std::span<std::uint8_t> image, std::span<const std::uint8_t> kept) {
    if (!table_->HasBlobs()) return false;
    TDataFile& data = table_->Data();
    bool written = false;
    for (const TFieldDesc& f : fields_) {
        if (f.FieldType != kFieldBlob || !f.HasSlot()) continue;
        auto it = std::find_if(blobs_.begin(), blobs_.end(), [&](const std::unique_ptr<TBlobBuffer>& b) {
            return b->RecordNo() == recordNo && b->FieldNo() == f.FieldNo && b->Modified();
        });
        if (it == blobs_.end()) {
            // An unchanged BLOB keeps the stored reference: a caller's buffer can never
            // make two records share one chain.
            const TBlobReference ref = kept.empty() ? TBlobReference{} : GetBlobReference(kept, f);
            if (ref.firstBlock == 0) {
                PutNullField(image, f);
            } else {
                PutBlobReference(image, f, ref.firstBlock, ref.stamp);
            }
            continue;
        }
        TBlobBuffer& blob = **it;
        blob.Save(nullptr, data.NextBlobStamp());
        PutBlobReference(image, f, blob.FirstBlock(), blob.Stamp());
        written = true;
    }
    return written;
}

}  // namespace reruzo
