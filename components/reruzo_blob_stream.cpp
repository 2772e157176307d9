// Streams over BLOB fields.
#include "components/reruzo_blob_stream.h"

#include <algorithm>

#include "components/component_text.h"

namespace reruzo {

TRERUZOBlobStream::TRERUZOBlobStream(TField& field, TBlobStreamMode mode) : field_(field), mode_(mode) {
    if (!field.IsBlob()) throw EDatabaseError(FormatText("Field '%s' is not a BLOB field", field.FieldName()));
    if (mode == TBlobStreamMode::bmWrite) field_.TruncateBlob(0);
}

void TRERUZOBlobStream::RequireWritable() const {
    if (mode_ == TBlobStreamMode::bmRead) throw EDatabaseError("Cannot write to a read-only BLOB stream");
}

std::size_t TRERUZOBlobStream::Read(std::span<std::uint8_t> out) {
    const std::size_t n = field_.ReadBlob(position_, out);
    position_ += n;
    return n;
}

void TRERUZOBlobStream::Write(std::span<const std::uint8_t> data) {
    RequireWritable();
    field_.WriteBlob(position_, data);
    position_ += data.size();
}

std::uint64_t TRERUZOBlobStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const std::int64_t base = origin == soBeginning ? 0
                              : origin == soCurrent ? static_cast<std::int64_t>(position_)
                                                                 : static_cast<std::int64_t>(Size());
    position_ = static_cast<std::uint64_t>(std::max<std::int64_t>(0, base + offset));
    return position_;
}

void TRERUZOBlobStream::Truncate() {
    RequireWritable();
    field_.TruncateBlob(position_);
}

}  // namespace reruzo
