// A stream over one BLOB field of a dataset's current row: reads it from a position on,
// and in edit or insert state writes it, piece by piece, so that a large value never
// has to be assembled by the caller. Opened for writing, the BLOB starts empty.
#pragma once

#include <cstdint>
#include <span>

#include "components/reruzo_dataset.h"

namespace reruzo {

enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

class TRERUZOBlobStream {
public:
    // A field that is no BLOB fails with "Field '%s' is not a BLOB field".
    TRERUZOBlobStream(TField& field, TBlobStreamMode mode);

    // Up to out.size() bytes from the position on; the position advances by the count.
    std::size_t Read(std::span<std::uint8_t> out);
    // Writes at the position, growing the BLOB; read-only streams fail with "Cannot
    // write to a read-only BLOB stream".
    void Write(std::span<const std::uint8_t> data);
    // `origin` as for files: soBeginning, soCurrent or soEnd.
    std::uint64_t Seek(std::int64_t offset, TSeekOrigin origin);
    std::uint64_t Position() const { return position_; }
    std::uint64_t Size() const { return field_.BlobSize(); }
    // Cuts the BLOB at the position.
    void Truncate();

private:
    void RequireWritable() const;

    TField& field_;
    TBlobStreamMode mode_;
    std::uint64_t position_ = 0;
};

}  // namespace reruzo
