// TDataTable: one physical table opened in a database directory, shared by every
// cursor of that directory on it. It owns the data, index and BLOB file handlers,
// counts its users, and carries the table-wide locks, change detection and
// transactions.
//
// Locks are byte-range locks on the table's own files, far beyond their data:
//   data file    4294967295           1 byte   table write byte (write lock, and the
//                                               whole of a transaction)
//                4294967294 - n       1 byte   record lock of slot n
//                4094967293   200000001 bytes  every record lock at once
//   index, BLOB  4294967295 - s       1 byte   read-lock slot s (1..65535, random)
//                4294901759       65536 bytes  write region, covering every read slot
// A writer therefore waits for every reader, readers wait for a writer, and writers
// exclude each other through the table byte. Every process that writes a file
// increments its header's change counter; the others compare counters when they take
// a lock and drop their caches on a difference.
//
// A table object is used from its session's thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/table/records_bitmap.h"
#include "engine/storage/blob_file.h"
#include "engine/storage/data_file.h"
#include "engine/storage/write_journal.h"

namespace reruzo {

class TDataDirectory;
class TDataSession;

inline constexpr std::uint64_t kTableWriteByte = 4294967295ull;
inline constexpr std::uint64_t kRecordLockBase = 4294967294ull;  // minus the slot number
inline constexpr std::uint64_t kAllRecordLocksOffset = 4094967293ull;
inline constexpr std::uint64_t kAllRecordLocksLength = 200000001ull;
inline constexpr std::uint64_t kReadSlotBase = 4294967295ull;  // minus the slot number
inline constexpr std::uint64_t kWriteRegionOffset = 4294901759ull;
inline constexpr std::uint64_t kWriteRegionLength = 65536ull;
inline constexpr int kFileLockRetries = 8192;
inline constexpr int kFileLockSleepMs = 3;

// Retries of the table-byte, write-region and read-slot locks (8192, about 25
// seconds). Tests of lock time-outs lower it; the product never changes it.
void SetFileLockRetriesForTests(int retries);

// Which of a table's files a write changed.
struct TTableChanges {
    bool data = false;
    bool index = false;
    bool blob = false;
};

// How buffers are written: `trim` also shrinks the caches to their capacity,
// `flushOs` has the operating system put its buffers on the disk.
struct TFlushOptions {
    bool trim = false;
    bool flushOs = false;
};

// What a new table is made of: the arguments of the data header, the fields and the
// indexes.
struct TTableStructure : TNewTableOptions {
    std::vector<TFieldDesc> Fields;
    TIndexDesc Primary;                  // no key fields: records in natural order
    std::vector<TIndexDesc> Secondaries;
};

// Checks and completes a structure before a table is made of it: password, language,
// field count and descriptors, index count, BLOB block size; derives data sizes and
// offsets and the key lengths of the indexes. Raises the engine error of the first
// problem (RERUZO_INVALIDPASSWORD, RERUZO_CANNOTLOADLDDRV, RERUZO_FLDLIMIT,
// RERUZO_INDEXLIMIT, RERUZO_BLOBLIMIT, RERUZO_INVALIDFIELDNAME, RERUZO_INVALIDFLDTYPE,
// RERUZO_INVALIDVCHKSTRUCT, and the index errors).
void ValidateTableStructure(TTableStructure& structure, const std::string& directory, const std::string& table);

// Rolls back the journal a writer that died left beside a table, through files of its
// own and under the table's write locks (waiting for a writer that is alive to finish).
// The paths of the data, index and BLOB files and of the journal are found from the
// directory and table name when not given. True when a journal was rolled back; false
// when there was none, when a live writer's commit finished meanwhile, or when another
// process holds the table exclusively.
bool RollBackTableJournal(const std::string& directory, const std::string& table,
                          std::array<std::string, kJournalFiles> files = {}, std::string journal = {});

struct TTableOpenOptions {
    bool Exclusive = false;
    bool ReadOnly = false;
    bool InMemory = false;
    bool Temporary = false;
    bool ShareEvenIfExclusive = false;
    bool NoJournal = false;
};

// Where a new table lives: in memory instead of in files, and whether it is a
// temporary table that goes away with its last user. A table written whole before
// anybody else can know of it (a restructured table, swapped in when complete) needs
// no journal: when its writing fails it is thrown away whole.
struct TTableCreateOptions {
    bool InMemory = false;
    bool Temporary = false;
    bool NoJournal = false;
};

class TDataTable : public TDataFileOwner {
public:
    TDataTable(TDataDirectory& directory, std::string name, const TTableOpenOptions& options);
    ~TDataTable() override;
    TDataTable(const TDataTable&) = delete;
    TDataTable& operator=(const TDataTable&) = delete;

    const std::string& Name() const { return name_; }
    TDataDirectory& Directory() const { return directory_; }
    TDataSession& Session() const;
    int OpenCount() const { return openCount_; }
    bool IsOpen() const { return open_; }
    bool Exclusive() const { return options_.Exclusive; }
    bool ReadOnly() const { return options_.ReadOnly || forcedReadOnly_; }
    bool ForcedReadOnly() const { return forcedReadOnly_; }
    bool InMemory() const { return options_.InMemory; }
    bool Temporary() const { return options_.Temporary; }
    bool IndexRebuilt() const { return indexRebuilt_; }
    // The lost index file of a read-only open, rebuilt in memory for that open only.
    bool IndexInMemory() const { return indexInMemory_; }
    void SetOptions(const TTableOpenOptions& options) { options_ = options; }
    void AddOpen() { ++openCount_; }

    TDataFile& Data() { return *data_; }
    TIndexFile& Index() { return *index_; }
    TBlobFile& Blob() { return *blob_; }
    bool HasBlobs() const { return data_->BlobFieldCount() != 0; }

    // Opens the files (open count 1). A missing index file is created empty and the
    // table marked index-rebuilt. Anything else that fails closes what was opened.
    void Open();
    // One user fewer; at the last (outside a transaction) the caches are written or,
    // for a temporary table closed with `discard`, dropped, every lock is released
    // and the files are closed.
    void Close(bool discard);
    // Creates the three files from a validated structure; the table is left open
    // exclusively.
    void Create(const TTableStructure& structure);
    void DeleteFiles();
    void RenameFiles(const std::string& newName, bool toBackup);
    void Empty();
    void BackupIndex();
    void RestoreIndex(bool copyBack, bool deleteBackup);
    // Re-enters every slot into "Sys Deleted" of a recreated index file and counts the
    // live records, under the write lock (the read lock for an index in memory); the
    // table reads in natural order afterwards.
    void RebuildLostIndex();

    // ---- Writing (record writing and transactions) ----
    // The rollback journal every write of the files goes through; nullptr for tables in
    // memory, temporary tables and read-only opens. A batch of it (TJournalBatch)
    // makes everything written until its commit one change that a crash cannot split.
    TWriteJournal* Journal() const { return journal_.get(); }
    // The journal's name beside the table (empty for tables in memory).
    const std::string& JournalPath() const { return journalPath_; }
    // Drops every cache and re-reads the headers: after an abandoned batch, what the
    // caches hold may no longer be what the files hold.
    void DropCaches();
    // After a batch was abandoned: drops the caches unless a batch is still open.
    void ForgetAbandonedWrites() noexcept;
    // Before a batch that may be abandoned: writes what the caches hold, so that
    // dropping them afterwards loses only the batch's own changes.
    void WriteOutBeforeBatch();
    // A cache grew past its normal size because its changes could not be written yet.
    bool CachesGrown() const;
    // Writes what the caches hold and the headers, whose change counters go up for the
    // files in `changed`; inside a transaction only the counters are marked.
    void FlushBuffers(TFlushOptions options = {}, TTableChanges changed = {});
    void MarkChanged(TTableChanges changed);
    void StartTransaction();
    void Commit(bool release, bool flushOs);
    void Rollback();
    bool TransactionActive() const { return transactionActive_; }

    // ---- Locks and change detection ----
    bool ReadLock();
    void ReadUnlock();
    bool CheckLock();
    void CheckUnlock();
    bool WriteLock();
    void WriteUnlock();
    void TransactionLock();
    void TransactionUnlock();
    // Locks record n for writing; true when changes by others were found on the way
    // (the cursor resynchronises). The check lock it may take is released by the caller.
    bool LockRecord(std::int32_t n);
    void UnlockRecord(std::int32_t n);
    // Unlocks every record of this table object, or only those whose unlock was
    // deferred by a transaction.
    void UnlockRecords(bool deferredOnly);
    // Compares the files' change counters with the cached ones and drops stale caches.
    bool CheckChanges();

    // The live records as a cursor last collected them from the index of deleted slots,
    // kept while nothing that changes them has happened since: every cursor opened on
    // a table with deleted records would otherwise walk that index again. False, with
    // `into` unchanged, when there is no such picture.
    bool CopyLiveRecords(TRecordsBitmap& into) const;
    void RememberLiveRecords(const TRecordsBitmap& live);

    bool ReadLockHeld() const { return readLock_.held; }
    bool CheckLockHeld() const { return checkLock_.held; }
    bool WriteLockHeld() const { return writeLockHeld_; }
    bool TransactionLockHeld() const { return transactionLockHeld_; }
    const TRecordsBitmap& LockedRecords() const { return locked_; }
    TRecordsBitmap& CursorLockedRecords() { return cursorLocked_; }
    const TRecordsBitmap& DeferredUnlocks() const { return deferred_; }

    // TDataFileOwner
    bool InTransaction() const override { return transactionActive_; }
    bool DefersWrites() const override { return transactionActive_ || (journal_ && !journal_->Batching()); }
    bool ForceBufferFlush() const override;
    bool StrictChangeDetection() const override;
    bool WrittenByThisProcess() const override { return written_; }
    void MarkWritten() override { written_ = true; }

private:
    // What the live records depend on, as it was when they were collected.
    struct TLiveKey {
        std::uint64_t generation = 0;
        std::int32_t indexChanges = 0;
        std::int32_t records = 0;
        std::int32_t slotCount = 0;
        bool operator==(const TLiveKey&) const = default;
    };
    TLiveKey CurrentLiveKey() const;
    struct TReadLockState {
        bool held = false;
        int indexSlot = 0;
        int blobSlot = 0;
    };
    [[noreturn]] void Raise(std::uint16_t code) const;
    bool TakeReadLock(TReadLockState& lock, const TReadLockState& other);
    void ReleaseReadLock(TReadLockState& lock);
    bool LockTableByte();
    bool LockWriteRegion(TFileHandler& file);
    int LockReadSlot(TFileHandler& file);
    void ReleaseAllLocks();
    void MakeHandlers();
    // The data, index and BLOB file handlers, in the journal's order.
    std::array<TFileHandler*, kJournalFiles> Handlers() const;
    void CloseFiles();
    void AttachJournal();
    // Rolls back the journal a writer that died left, through files of its own and
    // under the table's write locks; nothing when another process holds the table
    // exclusively or the journal is gone.
    void RecoverJournal();
    // After a lock was taken: true when a journal lies beside the table, so that the
    // lock must be given up for the rollback and taken again.
    bool JournalFound() const;

    TDataDirectory& directory_;
    std::string name_;
    TTableOpenOptions options_;
    int openCount_ = 0;
    bool open_ = false;
    bool forcedReadOnly_ = false;
    bool indexRebuilt_ = false;
    bool indexInMemory_ = false;
    std::unique_ptr<TDataFile> data_;
    std::unique_ptr<TIndexFile> index_;
    std::unique_ptr<TBlobFile> blob_;
    std::unique_ptr<TWriteJournal> journal_;
    std::string journalPath_;
    TRecordsBitmap locked_;
    TRecordsBitmap cursorLocked_;
    TRecordsBitmap deferred_;
    TRecordsBitmap live_;  // see CopyLiveRecords; valid while liveKey_ is current
    std::optional<TLiveKey> liveKey_;
    TReadLockState readLock_;
    TReadLockState checkLock_;
    bool writeLockHeld_ = false;
    bool transactionLockHeld_ = false;
    bool transactionActive_ = false;
    bool written_ = false;
};

}  // namespace reruzo
