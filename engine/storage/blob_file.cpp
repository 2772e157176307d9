// BLOB file header handling.
#include "engine/storage/blob_file.h"

#include <array>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {

TBlobHeader TBlobHeader::Decode(const std::uint8_t* b) {
    TBlobHeader h;
    h.ChangeCount = GetLE<std::uint32_t>(b);
    h.FormatVersion = b[8];
    h.FirstFreeBlock = GetLE<std::int32_t>(b + 9);
    h.NextBlockNo = GetLE<std::int32_t>(b + 13);
    h.HeaderModified = 0;
    return h;
}

void TBlobHeader::Encode(std::uint8_t* b) const {
    std::memset(b, 0, kBlobHeaderSize);
    PutLE(b, ChangeCount);
    b[8] = FormatVersion;
    PutLE(b + 9, FirstFreeBlock);
    PutLE(b + 13, NextBlockNo);
    b[17] = HeaderModified;
}

TBlobFile::TBlobFile(std::string directory, std::string table, TDataFileOwner* owner)
    : directory_(std::move(directory)), table_(std::move(table)), owner_(owner ? owner : &defaultOwner_) {
    SetFileName(TableFileName(directory_.empty() ? "./" : directory_, table_, ".BLB"));
    SetErrorContext(directory_, table_);
}

TBlobFile::~TBlobFile() { Close(); }

void TBlobFile::ReadRaw(TBlobHeader& out) {
    std::array<std::uint8_t, kBlobHeaderSize> bytes{};
    ReadAt(0, bytes.data(), bytes.size());
    if (encrypted_) ApplyCipher(bytes, kRecordKey);
    out = TBlobHeader::Decode(bytes.data());
}

void TBlobFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    try {
        ReadHeader();
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
}

void TBlobFile::Create() {
    TFileHandler::Create();
    header_ = TBlobHeader{};
    headerModified_ = true;
    WriteHeader(true, false);
}

void TBlobFile::ReadHeader() {
    ReadRaw(header_);
    headerModified_ = false;
}

bool TBlobFile::HeaderChanged() {
    TBlobHeader fresh;
    ReadRaw(fresh);
    if (fresh.ChangeCount == header_.ChangeCount) return false;
    header_ = fresh;
    headerModified_ = false;
    return true;
}

void TBlobFile::WriteHeader(bool force, bool flushOs) {
    if (!force && !headerModified_) return;
    TBlobHeader h = header_;
    ++h.ChangeCount;
    h.HeaderModified = 1;
    std::array<std::uint8_t, kBlobHeaderSize> bytes{};
    h.Encode(bytes.data());
    if (encrypted_) ApplyCipher(bytes, kRecordKey);
    WriteAt(0, bytes.data(), bytes.size());
    if (flushOs || owner_->ForceBufferFlush()) Flush();
    h.HeaderModified = 0;
    header_ = h;
    headerModified_ = false;
    owner_->MarkWritten();
}

void TBlobFile::BumpChangeCount() {
    ++header_.ChangeCount;
    headerModified_ = true;
}

void TBlobFile::Empty() {
    TruncateAt(kBlobHeaderSize);
    header_.FirstFreeBlock = 0;
    header_.NextBlockNo = 1;
    headerModified_ = true;
}

void TBlobFile::CheckVersion() const {
    if (header_.FormatVersion != kFormatVersion)
        RaiseEngineError(RERUZO_OLDVERSION, {.database = directory_, .table = table_});
}

}  // namespace reruzo
