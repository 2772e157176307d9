// The BLOB file of a table (NAME.BLB): the 512-byte header with its change counter,
// the blocks that hold the BLOBs as chains, served from a cache of TBlock objects with
// read-ahead and written back in runs of consecutive blocks, the chain of free blocks,
// and TBlobBuffer, one BLOB held whole in memory while a cursor reads or changes it.
//
// Header (512 bytes, little-endian)
//   0   u32  ChangeCount      +1 on every header write; other processes watch it
//   8   u8   FormatVersion    5
//   9   i32  FirstFreeBlock   first block of the free chain, 0 = none
//   13  i32  NextBlockNo      number of blocks + 1
//   17  u8   HeaderModified   writer's flag, cleared when read
// Block n (n >= 1) starts at 512 + (n - 1) * BlockSize (B):
//   0   i32  PrevBlock        previous block of the BLOB, 0 for the first
//   4   i32  NextBlock        next block of the BLOB (of the free chain when free), 0 at the end
//   8   u16  UsedBytes        data bytes used, 0 .. B - 18
//   10  i32  BlobStamp        the BLOB's stamp, also in bytes 4..7 of the record's field
//   14  i32  BlobSize         the BLOB's size in bytes, in its first block only
//   18  B-18 data
// A BLOB of S bytes takes ceil(S / (B - 18)) blocks, every one full but the last; an
// empty BLOB takes none. An encrypted table enciphers the header as one 512-byte run
// and each block as two (its 18 header bytes, then its data), each from the key's start.
//
// The block cache works like the record cache of the data file: a list sorted by block
// number and an MRU list over the same blocks, clean / modified / pinned blocks, spare
// blocks kept for reuse, capacity Min(32768 div B, 8192) blocks (raised by half when
// nothing can be evicted, always so inside a transaction, whose blocks reach the disk
// only at its commit).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/data_file.h"
#include "engine/storage/file_layer.h"

namespace reruzo {

inline constexpr std::size_t kBlobHeaderSize = 512;
inline constexpr std::size_t kBlockHeaderSize = 18;

class TBlobFile;

struct TBlobHeader {
    std::uint32_t ChangeCount = 0;
    std::uint8_t FormatVersion = kFormatVersion;
    std::int32_t FirstFreeBlock = 0;
    std::int32_t NextBlockNo = 1;
    std::uint8_t HeaderModified = 0;

    static TBlobHeader Decode(const std::uint8_t* bytes);
    void Encode(std::uint8_t* bytes) const;
};

class TBlock {
public:
    std::int32_t BlockNo() const { return blockNo_; }
    bool Modified() const { return modified_; }
    void MarkModified() { modified_ = true; }
    std::uint16_t PinCount() const { return pinCount_; }

    // The decoded block header.
    std::int32_t PrevBlock = 0;
    std::int32_t NextBlock = 0;
    std::uint16_t UsedBytes = 0;
    std::int32_t BlobStamp = 0;
    std::int32_t BlobSize = 0;
    // The data area (B - 18 bytes).
    std::span<std::uint8_t> Data() { return data_; }
    std::span<const std::uint8_t> Data() const { return data_; }

    // Zeroes the header fields and the data.
    void Clear();

private:
    friend class TBlobFile;
    friend class TPinnedBlock;
    void LoadFrom(const std::uint8_t* bytes, bool encrypted);
    void StoreTo(std::uint8_t* bytes, bool encrypted) const;

    std::int32_t blockNo_ = 0;
    bool modified_ = false;
    std::uint16_t pinCount_ = 0;
    std::vector<std::uint8_t> data_;
    TBlock* older_ = nullptr;  // MRU links
    TBlock* newer_ = nullptr;
};

struct TBlobFileStats {
    std::uint64_t cacheHits = 0;
    std::uint64_t diskReads = 0;  // blocks read from the file
    std::uint64_t readCalls = 0;
    std::uint64_t writeCalls = 0;
};

class TBlobFile : public TFileHandler {
public:
    TBlobFile(std::string directory, std::string table, TDataFileOwner* owner = nullptr);
    ~TBlobFile() override;

    void SetBlockSize(std::uint32_t size) { blockSize_ = size == 0 ? kDefaultBlobBlockSize : size; }
    std::uint32_t BlockSize() const { return blockSize_; }
    void SetEncrypted(bool on) { encrypted_ = on; }

    void Open() override;
    // Drops the block cache unwritten and closes the file.
    void Close() override;
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
    // The version, and FirstFreeBlock within the blocks (RERUZO_HEADERCORRUPT).
    void VerifyStructure() const;

    std::uint32_t BlockDataSize() const { return blockSize_ - static_cast<std::uint32_t>(kBlockHeaderSize); }
    std::int32_t BlockCount() const { return header_.NextBlockNo - 1; }
    // Blocks one read takes: 16384 div B, at least 1.
    std::int32_t ReadAhead() const;

    // The pinned block n, reading a run of up to `readAhead` blocks from n on a miss
    // (nullptr when `cursor` reports that the table changed before the read). Block 0
    // is RERUZO_MEMOCORRUPT; n = NextBlockNo appends a new cleared block.
    TBlock* GetBlock(TChangeCheck* cursor, std::int32_t n, std::int32_t readAhead = 1);
    void ReleaseBlock(TBlock* block);
    // A pinned, cleared block: the head of the free chain, else a new one at the end.
    TBlock* AllocBlock();
    // Puts the block at the head of the free chain with stamp 0 (its data stays).
    void FreeBlock(TBlock& block);
    // Frees the chain of the BLOB that starts at `first` and carries `stamp`; a block
    // with another stamp is RERUZO_MEMOCORRUPT unless `force`. The whole chain is
    // checked before a block is freed.
    void FreeBlob(TChangeCheck* cursor, std::int32_t first, std::int32_t stamp, bool force);

    // Forgets, unwritten, the blocks appended since the file had `nextBlockNo - 1`
    // blocks, and makes that the file's block count again (undoing a failed write).
    void AbandonAppended(std::int32_t nextBlockNo);

    // Writes modified, unpinned blocks in runs of consecutive blocks. True when
    // something was written.
    bool FlushBlocks(bool flushOs);
    void ClearCache();
    void TrimCache();
    std::size_t CacheCapacity() const { return capacity_; }
    bool CacheGrown() const { return capacity_ > NormalCapacity(); }
    std::size_t CachedCount() const { return sorted_.size(); }
    const TBlobFileStats& Stats() const { return stats_; }
    // Raises `code` naming this file's table.
    [[noreturn]] void RaiseTable(std::uint16_t code) const;

private:
    void ReadRaw(TBlobHeader& out);
    std::size_t NormalCapacity() const;
    std::uint64_t BlockOffset(std::int32_t n) const;
    TBlock* FindCached(std::int32_t n);
    std::size_t LowerBound(std::int32_t n) const;
    void InsertSorted(std::unique_ptr<TBlock> block);
    void MruUnlink(TBlock* b);
    void MruPushNewest(TBlock* b);
    std::unique_ptr<TBlock> ObtainBlock();
    std::size_t EvictOldest(std::size_t count);
    // The block a chain link names: 1 .. BlockCount, else RERUZO_MEMOCORRUPT.
    std::int32_t CheckedLink(std::int32_t n) const;

    std::string directory_;
    std::string table_;
    TDataFileOwner defaultOwner_;
    TDataFileOwner* owner_;
    std::uint32_t blockSize_ = kDefaultBlobBlockSize;
    bool encrypted_ = false;
    TBlobHeader header_;
    bool headerModified_ = false;
    std::size_t capacity_ = 64;
    std::vector<std::unique_ptr<TBlock>> sorted_;
    std::vector<std::unique_ptr<TBlock>> spare_;
    TBlock* mruOldest_ = nullptr;
    TBlock* mruNewest_ = nullptr;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::uint8_t> writeBuffer_;
    TBlobFileStats stats_;
    // The run being loaded by GetBlock; a flush meanwhile leaves it alone.
    bool readingRun_ = false;
    std::int32_t runFirst_ = 0;
    std::int32_t runLast_ = 0;
};

// Unpins a block when the scope ends.
class TPinnedBlock {
public:
    TPinnedBlock() = default;
    explicit TPinnedBlock(TBlock* block) : block_(block) {}
    ~TPinnedBlock() { Release(); }
    TPinnedBlock(TPinnedBlock&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    TPinnedBlock& operator=(TPinnedBlock&& other) noexcept {
        if (this != &other) {
            Release();
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }
    TBlock* operator->() const { return block_; }
    TBlock& operator*() const { return *block_; }
    TBlock* get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    void Release();

private:
    TBlock* block_ = nullptr;
};

// One BLOB of one record, held whole in memory while a cursor reads or changes it.
class TBlobBuffer {
public:
    // The BLOB the record's field refers to (first block 0: empty).
    TBlobBuffer(TBlobFile& file, std::int32_t recordNo, std::uint16_t fieldNo, std::int32_t firstBlock,
                std::int32_t stamp);

    std::int32_t RecordNo() const { return recordNo_; }
    std::uint16_t FieldNo() const { return fieldNo_; }
    std::int32_t FirstBlock() const { return firstBlock_; }
    std::int32_t Stamp() const { return stamp_; }
    bool Modified() const { return modified_; }
    void SetModified(bool on) { modified_ = on; }
    bool Loaded() const { return loaded_; }

    // Reads the whole chain. A first block with another stamp than the record's is
    // RERUZO_KEYORRECDELETED (another user rewrote the BLOB); a damaged chain is
    // RERUZO_MEMOCORRUPT, a short one RERUZO_ENDOFBLOB.
    void Load(TChangeCheck* cursor);
    // Writes the value under `newStamp` over the existing chain, extending it or
    // freeing its rest; an empty value frees the chain. FirstBlock follows.
    void Save(TChangeCheck* cursor, std::int32_t newStamp);
    // Frees the chain (a deleted record's BLOB).
    void Free(TChangeCheck* cursor);

    std::size_t Size() const { return data_.size(); }
    void SetSize(std::size_t size);
    std::vector<std::uint8_t>& Data() { return data_; }
    const std::vector<std::uint8_t>& Data() const { return data_; }

private:
    TBlobFile& file_;
    std::int32_t recordNo_;
    std::uint16_t fieldNo_;
    std::int32_t firstBlock_;
    std::int32_t stamp_;
    bool modified_ = false;
    bool loaded_ = false;
    std::vector<std::uint8_t> data_;
};

}  // namespace reruzo
