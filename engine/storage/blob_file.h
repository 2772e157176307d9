// The BLOB file of a table (NAME.BLB), as far as the table layer needs it: the
// 512-byte header with its change counter, opened, created, written and re-read, and
// the byte-range locks of the file. The blocks themselves are read and written by the
// BLOB block cache.
//
// Header (512 bytes, little-endian)
//   0   u32  ChangeCount      +1 on every header write; other processes watch it
//   8   u8   FormatVersion    5
//   9   i32  FirstFreeBlock   first block of the free chain, 0 = none
//   13  i32  NextBlockNo      number of blocks + 1
//   17  u8   HeaderModified   writer's flag, cleared when read
// Block n (n >= 1) starts at 512 + (n - 1) * BlockSize. An encrypted table enciphers
// the header as one 512-byte run.
#pragma once

#include <cstdint>
#include <string>

#include "engine/storage/data_file.h"
#include "engine/storage/file_layer.h"

namespace reruzo {

inline constexpr std::size_t kBlobHeaderSize = 512;

struct TBlobHeader {
    std::uint32_t ChangeCount = 0;
    std::uint8_t FormatVersion = kFormatVersion;
    std::int32_t FirstFreeBlock = 0;
    std::int32_t NextBlockNo = 1;
    std::uint8_t HeaderModified = 0;

    static TBlobHeader Decode(const std::uint8_t* bytes);
    void Encode(std::uint8_t* bytes) const;
};

class TBlobFile : public TFileHandler {
public:
    TBlobFile(std::string directory, std::string table, TDataFileOwner* owner = nullptr);
    ~TBlobFile() override;

    void SetBlockSize(std::uint32_t size) { blockSize_ = size == 0 ? kDefaultBlobBlockSize : size; }
    std::uint32_t BlockSize() const { return blockSize_; }
    void SetEncrypted(bool on) { encrypted_ = on; }

    void Open() override;
    // Creates the file with a new header (version 5, no blocks) and writes it.
    void Create() override;
    void ReadHeader();
    // Re-reads the header; true (and the cached header replaced) when its counter changed.
    bool HeaderChanged();
    void WriteHeader(bool force, bool flushOs);
    void MarkHeaderModified() { headerModified_ = true; }
    void BumpChangeCount();
    const TBlobHeader& Header() const { return header_; }
    void CheckVersion() const;
    // Cuts the file to its header and forgets every block.
    void Empty();

private:
    void ReadRaw(TBlobHeader& out);

    std::string directory_;
    std::string table_;
    TDataFileOwner defaultOwner_;
    TDataFileOwner* owner_;
    std::uint32_t blockSize_ = kDefaultBlobBlockSize;
    bool encrypted_ = false;
    TBlobHeader header_;
    bool headerModified_ = false;
};

}  // namespace reruzo
