// TDataFile: the data file of one open table (NAME.DAT), read and written through
// the file layer. It keeps the header image and the field descriptors, serves record
// slots from a cache of TRecord objects with read-ahead, writes modified records
// back in runs of consecutive slots, and builds the header of a new table.
//
// The record cache
//   - `sorted_` holds every cached record, ordered by record number (binary search);
//   - an MRU list runs over the same records (oldest .. newest); a lookup first
//     checks the four newest;
//   - a record is clean (may be reloaded or evicted), Modified (waits for a flush) or
//     pinned (in use: never reloaded, evicted or written);
//   - capacity is Min(16384 div RecordSize, 8192) records, raised by 64 at a time when
//     nothing can be evicted (always so inside a transaction);
//   - spare records live in a TRecordStack pool and keep their buffers, so a warm
//     cache allocates nothing per record.
//
// One TDataFile belongs to one table object and is used from one thread at a time;
// the file itself is shared with other handlers through the file layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/data_format.h"
#include "engine/storage/file_layer.h"

namespace reruzo {

class TDataFile;

// The arguments of a new table's data header.
struct TNewTableOptions {
    std::uint16_t LanguageId = 0;
    std::uint16_t SortId = 0;
    std::uint16_t UserMajorVersion = 0;
    std::uint16_t UserMinorVersion = 0;
    bool Encrypted = false;
    std::string Password;
    std::string Description;
    std::uint16_t BlobBlockSize = 0;
};

// What the table that owns a data, index or BLOB file knows and their caches need to
// ask. The defaults describe a table outside any transaction with default settings.
class TDataFileOwner {
public:
    virtual ~TDataFileOwner() = default;
    virtual bool InTransaction() const { return false; }
    // Modified buffers stay in memory when the caches are full (they grow instead):
    // inside a transaction, and wherever only whole changes may reach the files.
    virtual bool DefersWrites() const { return InTransaction(); }
    virtual bool ForceBufferFlush() const { return false; }
    virtual bool StrictChangeDetection() const { return false; }
    // The table was written by this process (set on every write).
    virtual bool WrittenByThisProcess() const { return written_; }
    virtual void MarkWritten() { written_ = true; }

private:
    bool written_ = false;
};

// The cursor on whose behalf a table file is read.
class TChangeCheck {
public:
    virtual ~TChangeCheck() = default;
    // Called on a cache miss when strict change detection is off: the cursor takes a
    // read lock and checks for changes by others. True means the table changed and
    // the cursor has resynchronised, so the read stops.
    virtual bool ChangedBeforeRead() = 0;
};

// The cursor on whose behalf a record is read.
class TRecordReader : public TChangeCheck {
public:
    // Number of slots to read ahead, when the cursor supplies it.
    virtual std::int32_t ReadAheadCount(bool forward) = 0;
};

class TRecord {
public:
    explicit TRecord(TDataFile* owner) : owner_(owner) {}

    TDataFile* Owner() const { return owner_; }
    std::int32_t RecordNo() const { return recordNo_; }
    void SetRecordNo(std::int32_t n) { recordNo_ = n; }
    bool Modified() const { return modified_; }
    void SetModified(bool on) { modified_ = on; }
    std::uint16_t PinCount() const { return pinCount_; }
    void Pin() { ++pinCount_; }
    void Unpin() {
        if (pinCount_ > 0) --pinCount_;
    }
    void ResetPins() { pinCount_ = 0; }

    std::span<std::uint8_t> Data() { return buffer_; }
    std::span<const std::uint8_t> Data() const { return buffer_; }
    std::size_t Size() const { return buffer_.size(); }
    // The second buffer cursors use for key images (grown in steps of 256).
    std::vector<std::uint8_t>& KeyBuffer() { return keyBuffer_; }
    // New size of the record buffer, capacity grown in steps of 256.
    void Resize(std::size_t size);

    // Zeroes the record; with `withIdentifier` bytes 5..8 get the table's next record
    // identifier; bytes 1..4 get the record's own number; Modified is cleared.
    void Clear(bool withIdentifier);
    // Loads slot bytes (deciphered when the table is encrypted); a used slot's bytes
    // 1..4 are set to its number; Modified is cleared.
    void LoadFrom(const std::uint8_t* slot);
    // Copies the record to `destination` (enciphered when the table is encrypted) and
    // clears Modified.
    void StoreTo(std::uint8_t* destination);
    std::uint8_t State() const { return buffer_[0]; }
    void SetState(std::uint8_t state);
    // The next slot of the free chain (bytes 1..4) when the slot is deleted, else 0.
    std::int32_t NextFree() const;
    void SetNextFree(std::int32_t n);
    std::int32_t RecordId() const;
    void SetRecordId(std::int32_t id);
    void CopyFrom(const TRecord& other);
    bool SameAs(std::span<const std::uint8_t> bytes) const;
    // Copies bytes 9 to the end from `bytes` and sets Modified.
    void CopyFieldsFrom(std::span<const std::uint8_t> bytes);

private:
    friend class TDataFile;
    friend class TRecordStack;
    TDataFile* owner_;
    bool modified_ = false;
    std::uint16_t pinCount_ = 0;
    std::int32_t recordNo_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> keyBuffer_;
    TRecord* older_ = nullptr;  // MRU links
    TRecord* newer_ = nullptr;
};

inline constexpr std::size_t kMaxSpareRecords = 16384;

// Pool of spare records (at most kMaxSpareRecords).
class TRecordStack {
public:
    TRecordStack() { spare_.reserve(16384); }
    // A spare record cleared for reuse (PinCount 0), or a new one.
    std::unique_ptr<TRecord> Pop(TDataFile* owner, std::size_t recordSize);
    void Push(std::unique_ptr<TRecord> record);
    std::size_t Count() const { return spare_.size(); }

private:
    std::vector<std::unique_ptr<TRecord>> spare_;
};

// How a slot is read on a cache miss: with `readAhead` a run of slots in one call,
// following the slot when `forward`, else ending at it; as many as the cursor asks
// for when `cursorCount`, else as many as one read takes.
struct TRecordRead {
    bool forward = true;
    bool cursorCount = false;
    bool readAhead = false;
};

struct TDataFileStats {
    std::uint64_t cacheHits = 0;
    std::uint64_t diskReads = 0;   // slots read from the file
    std::uint64_t readCalls = 0;
    std::uint64_t writeCalls = 0;
};

class TDataFile : public TFileHandler {
public:
    // `directory` ends with "/" (or is empty for the current directory).
    TDataFile(std::string directory, std::string table, TDataFileOwner* owner = nullptr);
    ~TDataFile() override;

    const std::string& Directory() const { return directory_; }
    const std::string& TableName() const { return table_; }

    // Opens the file and loads header and descriptors; nothing when already open. On
    // failure the file is closed again.
    void Open() override;
    // Frees the descriptors, returns every cached record to the pool unwritten, and
    // closes the file.
    void Close() override;

    void ReadHeader();
    // Re-reads the header; when its ChangeCount differs from the cached one the cached
    // header is replaced and true returned.
    bool HeaderChanged();
    // Writes the header when forced or modified: ChangeCount + 1, engine version,
    // LastUpdated. The cached header is unchanged when the write fails.
    void WriteHeader(bool force, bool flushOs);
    void ReadFieldDescs();
    void WriteFieldDescs();
    void VerifyStructure();
    void VerifyVersion();

    // The pinned record of slot n (1 <= n < NextRecordNo), or nullptr when the cursor
    // reported that the table changed. A slot past the end is a damaged reference:
    // reading never grows the table.
    TRecord* GetRecord(TRecordReader* cursor, std::int32_t n, TRecordRead read = {});
    // Calls `visit` with the bytes of slots first .. first + count - 1 as GetRecord
    // would give them (a cached record's own, else the file's, deciphered), reading the
    // slots that are not cached in one call and leaving them out of the cache: a scan
    // that tests each record once has no use for them there, and would otherwise pay
    // for taking each in and evicting another. As in GetRecord, the cursor checks for
    // other writers at the first slot that is not cached; false when it reported that
    // the table changed (the cached slots before that one have been visited).
    using TSlotVisit = std::function<void(std::int32_t n, std::span<const std::uint8_t> bytes)>;
    bool VisitRun(TChangeCheck* cursor, std::int32_t first, std::int32_t count, const TSlotVisit& visit);
    // The pinned new, cleared slot NextRecordNo; NextRecordNo grows by one.
    TRecord* AppendRecord();
    void ReleaseRecord(TRecord* record);

    // Writes modified, unpinned records in runs of consecutive slots. True when
    // something was written.
    bool FlushRecords(bool flushOs);
    void ClearCache();
    void TrimCache();
    // Removes every record slot.
    void Empty();

    // Builds the header and descriptors of a new table and creates the file. The
    // descriptors must be laid out (DataSize, offsets) already.
    void InitHeader(std::uint16_t languageId, std::uint16_t sortId, std::uint16_t userMajor,
                    std::uint16_t userMinor, bool encrypted, const std::string& password,
                    const std::string& description, std::uint16_t blobBlockSize,
                    const std::vector<TFieldDesc>& fields);
    void SetHeaderInfo(const std::string& password, const std::string& description,
                       std::int32_t lastIdentifier, std::uint16_t userMajor, std::uint16_t userMinor);
    void SetFieldDescInfo(std::size_t position, const TFieldDesc& desc);

    // ---- Record writing ----
    // The slot a new record takes: the head of the chain of deleted slots when
    // `reuse` is allowed (the primary index has key fields) and the chain is not
    // empty, else the slot after the last.
    std::int32_t FirstFreeSlot(bool reuse) const;
    void SetFirstFree(std::int32_t n);
    // Takes the slot FirstFreeSlot names, pinned: a deleted slot leaves the chain, a
    // new one is appended cleared.
    TRecord* AllocRecord(bool reuse);
    // Marks the record deleted and makes it the head of the chain of deleted slots
    // (its link is 0 when reuse is not allowed: such a chain is never followed).
    void MarkDeleted(TRecord& record, bool reuse);

    // Record identifiers and BLOB stamps: incremented, wrapping from 2147483647 to 1.
    std::int32_t NextAutoInc();
    std::int32_t LastAutoInc() const { return header_.LastAutoIncValue; }
    void SetLastAutoInc(std::int32_t value);
    std::int32_t NextBlobStamp();

    // Header accessors.
    const TDataHeader& Header() const { return header_; }
    bool HeaderModified() const { return headerModified_; }
    void MarkHeaderModified() { headerModified_ = true; }
    // Advances the change counter in memory (a change another process must notice
    // once the header is written).
    void BumpChangeCount() {
        ++header_.ChangeCount;
        headerModified_ = true;
    }
    std::uint16_t RecordSize() const { return header_.RecordSize; }
    std::uint16_t FieldCount() const { return header_.FieldCount; }
    std::uint16_t BlobFieldCount() const { return header_.BlobFieldCount; }
    std::uint32_t BlobBlockSize() const;
    std::int32_t SlotCount() const { return header_.NextRecordNo - 1; }
    std::uint16_t LanguageId() const { return header_.LanguageId; }
    std::uint16_t SortId() const { return header_.SortId; }
    std::uint16_t UserMajorVersion() const { return header_.UserMajorVersion; }
    std::uint16_t UserMinorVersion() const { return header_.UserMinorVersion; }
    bool Encrypted() const { return header_.Encrypted == 1; }
    std::string Description() const;
    std::string Password() const;
    // Descriptor i, 1 <= i <= FieldCount.
    const TFieldDesc& FieldDesc(std::size_t i) const { return fields_.at(i - 1); }
    const std::vector<TFieldDesc>& Fields() const { return fields_; }
    TStringRules StringRules() const { return {header_.LanguageId, header_.SortId}; }

    // Moves whenever the set of live slots may have changed in this object's view of
    // the table: a record appended, deleted or taken from the deleted ones, the header
    // read again (another process's changes, a rollback), the table emptied or the
    // cache dropped. A picture of the live records taken at one value still holds.
    std::uint64_t LiveGeneration() const { return liveGeneration_; }
    std::int32_t RecordsPerRead() const { return recordsPerRead_; }
    std::size_t CacheCapacity() const { return capacity_; }
    // The cache grew past its normal size because its modified records could not be written.
    bool CacheGrown() const { return capacity_ > NormalCapacity(); }
    std::size_t CachedCount() const { return sorted_.size(); }
    std::size_t PooledCount() const { return pool_.Count(); }
    const TDataFileStats& Stats() const { return stats_; }
    // Checks the records against the header: the chain of deleted slots (every link
    // names a deleted slot in range, no cycles), slot states, and the record
    // identifiers of live records (unique, positive, not above LastAutoIncValue).
    // One line per problem; empty when sound.
    std::vector<std::string> CheckRecords();
    // Checks the cache's own invariants (sorted, MRU list complete, within capacity
    // unless it had to grow); returns a description of the first fault, or "".
    std::string CheckCache() const;

    // Where slot n starts in the file (the records region follows the descriptors).
    std::uint64_t SlotOffset(std::int32_t n) const;

private:
    friend class TRecord;  // loads slots through DecodeSlot
    [[noreturn]] void RaiseTable(std::uint16_t code) const;
    std::size_t NormalCapacity() const;
    // Cache plumbing.
    TRecord* FindCached(std::int32_t n);
    std::size_t LowerBound(std::int32_t n) const;
    void InsertSorted(std::unique_ptr<TRecord> record);
    void MruUnlink(TRecord* r);
    void MruPushNewest(TRecord* r);
    std::unique_ptr<TRecord> ObtainRecord();
    // Reads `count` slots from `first` into `buffer` with one call; returns the whole
    // slots read.
    std::int32_t ReadSlots(std::int32_t first, std::int32_t count, std::vector<std::uint8_t>& buffer);
    // Turns a slot's bytes as read into the record's image: deciphered when the table
    // is encrypted, and a used slot's bytes 1..4 set to its number n.
    void DecodeSlot(std::span<std::uint8_t> slot, std::int32_t n) const;
    // Evicts up to `count` of the oldest clean, unpinned records; returns how many,
    // and in `passed` how many it had to pass over on the way.
    std::size_t EvictOldest(std::size_t count, std::size_t* passed = nullptr);
    void Grow(std::vector<std::uint8_t>& buffer, std::size_t size);

    std::string directory_;
    std::string table_;
    TDataFileOwner defaultOwner_;
    TDataFileOwner* owner_;
    TDataHeader header_;
    bool headerModified_ = false;
    std::vector<TFieldDesc> fields_;
    bool descsModified_ = false;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::uint8_t> writeBuffer_;
    std::vector<std::uint8_t> visitBuffer_;  // VisitRun's; lent out while a run is visited
    std::int32_t recordsPerRead_ = 1;
    std::uint64_t liveGeneration_ = 0;
    std::size_t capacity_ = 8192;
    std::vector<std::unique_ptr<TRecord>> sorted_;
    TRecord* mruOldest_ = nullptr;
    TRecord* mruNewest_ = nullptr;
    TRecordStack pool_;
    TDataFileStats stats_;
    // The run of slots being loaded by GetRecord; a flush meanwhile leaves them alone.
    bool readingRun_ = false;
    std::int32_t runFirst_ = 0;
    std::int32_t runLast_ = 0;
};

// Unpins a record when the scope ends.
class TPinnedRecord {
public:
    TPinnedRecord() = default;
    explicit TPinnedRecord(TRecord* record) : record_(record) {}
    ~TPinnedRecord() { Release(); }
    TPinnedRecord(TPinnedRecord&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    TPinnedRecord& operator=(TPinnedRecord&& other) noexcept {
        if (this != &other) {
            Release();
            record_ = std::exchange(other.record_, nullptr);
        }
        return *this;
    }
    TRecord* get() const { return record_; }
    TRecord* operator->() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }
    void Release() {
        if (record_) record_->Owner()->ReleaseRecord(record_);
        record_ = nullptr;
    }

private:
    TRecord* record_ = nullptr;
};

}  // namespace reruzo
