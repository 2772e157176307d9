// Table objects: opening and closing the three files, creation, deletion and
// renaming, emptying, index backup, locks, change detection and transactions.
#include "engine/table/data_table.h"

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "engine/errors/engine_errors.h"
#include "engine/table/data_session.h"
#include "engine/table/table_swap.h"
#include "engine/index/index_tree.h"
#include "engine/storage/value_text.h"
#include "platform/nls.h"
#include "platform/os_file.h"

namespace reruzo {
namespace {

std::atomic<int> g_fileLockRetries{kFileLockRetries};

// Tries `attempt` once and then after each 3 ms sleep, up to the retry limit.
template <typename F>
bool Retrying(F attempt) {
    const int retries = g_fileLockRetries.load();
    for (int i = 0;; ++i) {
        if (attempt()) return true;
        if (i >= retries) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kFileLockSleepMs));
    }
}

// Index pages a table may hold changed in memory before an exclusive table writes
// them out between two changes (4 MiB).
constexpr std::size_t kMaxDeferredPages = 1024;

// The journal beside a data file: its name with the extension .JNL.
std::string JournalPathFor(const std::string& dataPath) {
    const std::size_t dot = dataPath.find_last_of('.');
    const std::size_t slash = dataPath.find_last_of('/');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? dataPath.substr(0, dot) : dataPath) + ".JNL";
}

std::string Trim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
}

}  // namespace

void SetFileLockRetriesForTests(int retries) { g_fileLockRetries = retries; }

// ---- Structure validation --------------------------------------------------------------

void ValidateTableStructure(TTableStructure& s, const std::string& directory, const std::string& table) {
    const TErrorContext ctx{.database = directory, .table = table};
    if (s.Encrypted) {
        s.Password = Trim(s.Password);
        if (s.Password.empty() || s.Password.size() > kMaxPasswordLength) RaiseEngineError(RERUZO_INVALIDPASSWORD, ctx);
    }
    if (s.LanguageId != 0 && !quorvane::nls::IsLocaleInstalled(s.LanguageId, s.SortId))
        RaiseEngineError(RERUZO_CANNOTLOADLDDRV, ctx);
    if (s.Fields.empty() || s.Fields.size() > kMaxFieldCount) RaiseEngineError(RERUZO_FLDLIMIT, ctx);
    if (s.Secondaries.size() > static_cast<std::size_t>(kMaxSecondaryIndexes)) RaiseEngineError(RERUZO_INDEXLIMIT, ctx);
    if (s.BlobBlockSize != 0 && s.BlobBlockSize < 64) RaiseEngineError(RERUZO_BLOBLIMIT, ctx);
    std::set<std::string> names;
    std::set<std::uint16_t> numbers;
    for (TFieldDesc& f : s.Fields) {
        TErrorContext fctx = ctx;
        fctx.field = f.Name;
        const std::string key = quorvane::nls::MapCase(Trim(f.Name), 0, 0, true);
        if (!IsValidFieldName(f.Name) || !names.insert(key).second) RaiseEngineError(RERUZO_INVALIDFIELDNAME, fctx);
        if (f.FieldNo != 0 && !numbers.insert(f.FieldNo).second) RaiseEngineError(RERUZO_INVALIDFLDTYPE, fctx);
        const bool sized = f.FieldType == kFieldString || f.FieldType == kFieldBytes || f.FieldType == kFieldVarBytes;
        if (f.FieldType == 0 || (sized && f.Length > kMaxFieldLength)) RaiseEngineError(RERUZO_INVALIDFLDTYPE, fctx);
        if (!IsValidValueText(f.FieldType, f.DefaultValue) || !IsValidValueText(f.FieldType, f.MinValue) ||
            !IsValidValueText(f.FieldType, f.MaxValue))
            RaiseEngineError(RERUZO_INVALIDVCHKSTRUCT, fctx);
        if (!sized) f.Length = 0;
        if (f.FieldType != kFieldBCD) f.Scale = 0;
        f.Computed = 0;
        f.ComputedRef = 0;
    }
    LayoutRecord(s.Fields);
    if (s.Primary.FieldCount > 0) {
        s.Primary.Unique = 1;
        s.Primary.Name.clear();
        if (s.Primary.FieldCount > kMaxKeyFields) RaiseEngineError(RERUZO_INDEXLIMIT, ctx);
        s.Primary.KeyLength = ComputeKeyLength(s.Primary, s.Fields, directory, table);
    }
    std::set<std::string> indexNames;
    for (TIndexDesc& d : s.Secondaries) {
        if (!indexNames.insert(quorvane::nls::MapCase(d.Name, 0, 0, true)).second)
            RaiseEngineError(RERUZO_INDEXEXISTS, {.database = directory, .table = table, .index = d.Name});
        if (d.FieldCount > kMaxKeyFields) RaiseEngineError(RERUZO_INDEXLIMIT, {.database = directory, .table = table, .index = d.Name});
        // The index file keeps 30 bytes of a name: a longer one would be cut, and two
        // names alike in those bytes could no longer be told apart.
        if (d.Name.size() > kIndexNameLength)
            RaiseEngineError(RERUZO_INVALIDINDEXNAME, {.database = directory, .table = table, .index = d.Name});
        d.KeyLength = ComputeKeyLength(d, s.Fields, directory, table);
    }
}

// ---- Opening and closing ----------------------------------------------------------------

TDataTable::TDataTable(TDataDirectory& directory, std::string name, const TTableOpenOptions& options)
    : directory_(directory), name_(std::move(name)), options_(options) {}

TDataTable::~TDataTable() {
    if (!open_) return;
    try {
        transactionActive_ = false;
        openCount_ = 1;
        Close(true);
    } catch (const std::exception&) {
        CloseFiles();
    }
}

TDataSession& TDataTable::Session() const { return directory_.Session(); }

bool TDataTable::ForceBufferFlush() const { return Session().ForceBufferFlush(); }

bool TDataTable::StrictChangeDetection() const { return Session().StrictChangeDetection(); }

void TDataTable::Raise(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_.Path(), .table = name_});
}

std::array<TFileHandler*, kJournalFiles> TDataTable::Handlers() const {
    return {data_.get(), index_.get(), blob_.get()};
}

void TDataTable::MakeHandlers() {
    const std::string& dir = directory_.Path();
    data_ = std::make_unique<TDataFile>(dir, name_, this);
    index_ = std::make_unique<TIndexFile>(dir, name_, this);
    blob_ = std::make_unique<TBlobFile>(dir, name_, this);
    for (TFileHandler* h : Handlers()) {
        h->SetExclusive(options_.Exclusive);
        h->SetReadOnly(options_.ReadOnly);
        h->SetInMemory(options_.InMemory);
        h->SetTemporary(options_.Temporary);
    }
}

void TDataTable::AttachJournal() {
    if (options_.InMemory || options_.Temporary || options_.NoJournal || ReadOnly()) return;
    journal_ = std::make_unique<TWriteJournal>(journalPath_);
    journal_->Attach(0, data_.get());
    data_->SetJournal(journal_.get(), 0);
    if (!indexInMemory_) {
        journal_->Attach(1, index_.get());
        index_->SetJournal(journal_.get(), 1);
    }
    if (blob_->IsOpen()) {
        journal_->Attach(2, blob_.get());
        blob_->SetJournal(journal_.get(), 2);
    }
}

bool TDataTable::JournalFound() const { return !journalPath_.empty() && JournalExists(journalPath_); }

void TDataTable::RecoverJournal() {
    RollBackTableJournal(directory_.Path(), name_,
                         {data_->PathOnDisk(), index_->PathOnDisk(), blob_->PathOnDisk()}, journalPath_);
}

bool RollBackTableJournal(const std::string& directory, const std::string& table,
                          std::array<std::string, kJournalFiles> files, std::string journal) {
    if (files[0].empty()) {
        const char* extensions[] = {".DAT", ".IDX", ".BLB"};
        for (std::size_t i = 0; i < files.size(); ++i) {
            TFileHandler h;
            h.SetFileName(TableFileName(directory, table, extensions[i]));
            files[i] = h.PathOnDisk();
        }
    }
    if (journal.empty()) journal = JournalPathFor(files[0]);
    if (!JournalExists(journal)) return false;
    TJournalRecovery recovery(files, directory, table);
    recovery.Open();
    // A table another process holds exclusively is that process's: its journal too.
    if (!recovery.Lock(0, kShareModeByte, 1, true)) return false;
    // The write locks wait for a writer that is alive to finish its commit, which
    // deletes its journal; and they keep every reader out during the rollback.
    const bool locked = Retrying([&] { return recovery.Lock(0, kTableWriteByte, 1, false); }) &&
                        Retrying([&] { return recovery.Lock(1, kWriteRegionOffset, kWriteRegionLength, false); }) &&
                        Retrying([&] { return recovery.Lock(2, kWriteRegionOffset, kWriteRegionLength, false); });
    if (!locked) RaiseEngineError(RERUZO_LOCKTIMEOUT, {.database = directory, .table = table});
    return RollBackJournal(journal, recovery);
}

void TDataTable::CloseFiles() {
    for (TFileHandler* h : Handlers()) {
        if (h) h->SetJournal(nullptr, 0);
    }
    if (journal_) journal_->Abandon();
    journal_.reset();
    if (index_) index_->Close();
    if (blob_) blob_->Close();
    if (data_) data_->Close();
    open_ = false;
}

void TDataTable::Open() {
    openCount_ = 1;
    MakeHandlers();
    try {
        if (!options_.InMemory) {
            // A change of the table's structure that was cut short is finished first:
            // its new files are whole, and the names are not all theirs yet.
            FinishTableSwap(directory_.Path(), name_);
            journalPath_ = JournalPathFor(data_->PathOnDisk());
            // A writer died in the middle of a commit: its journal puts the files back
            // as they were before it, before anything of them is read.
            if (JournalFound()) RecoverJournal();
        }
        data_->Open();
        index_->SetEncrypted(data_->Encrypted());
        try {
            index_->Open();
        } catch (const ERERUZOEngineError& e) {
            if (e.EngineCode != RERUZO_OSENOENT) throw;
            // A lost index file is made again, empty; the table is read in natural
            // order until its indexes are rebuilt.
            if (options_.ReadOnly) {
                // A read-only open writes none of the table's files: its index is
                // rebuilt in memory for this open only, and the next writable open
                // makes the file. An in-memory table is no different: a read-only
                // open that made an empty file would leave the table without even a
                // primary index to read by.
                index_->SetInMemory(true);
                index_->SetTemporary(true);
                index_->SetReadOnly(false);
                index_->SetFileName(TableFileName(directory_.Path(), name_, ".IDX") + ".rebuilt-" +
                                    std::to_string(reinterpret_cast<std::uintptr_t>(this)));
                index_->Create();
                indexInMemory_ = true;
            } else {
                index_->Create();
                index_->Close();
                index_->Open();
            }
            indexRebuilt_ = true;
        }
        if (data_->BlobFieldCount() != 0) {
            blob_->SetBlockSize(data_->BlobBlockSize());
            blob_->SetEncrypted(data_->Encrypted());
            blob_->Open();
        }
        forcedReadOnly_ = data_->ForcedReadOnly() || index_->ForcedReadOnly() || (blob_->IsOpen() && blob_->ForcedReadOnly());
        readLock_ = {};
        checkLock_ = {};
        open_ = true;
        AttachJournal();
    } catch (...) {
        CloseFiles();
        openCount_ = 0;
        throw;
    }
}

void TDataTable::ReleaseAllLocks() {
    UnlockRecords(false);
    locked_.Clear();
    cursorLocked_.Clear();
    deferred_.Clear();
    try {
        ReleaseReadLock(readLock_);
        ReleaseReadLock(checkLock_);
        WriteUnlock();
    } catch (const ERERUZOEngineError&) {
        // Closing the files releases whatever the unlock could not.
    }
    if (transactionLockHeld_) {
        data_->LockRange(false, kTableWriteByte, 1);
        transactionLockHeld_ = false;
    }
}

void TDataTable::Close(bool discard) {
    if (openCount_ > 0) --openCount_;
    if (openCount_ > 0 || transactionActive_ || !open_) return;
    if (options_.Exclusive && !ReadOnly()) {
        if (discard && options_.Temporary) {
            data_->ClearCache();
            index_->DiscardBuffers();
        } else {
            FlushBuffers({.trim = true});
        }
    }
    ReleaseAllLocks();
    CloseFiles();
    indexRebuilt_ = false;
    indexInMemory_ = false;
    written_ = false;
}

void TDataTable::Create(const TTableStructure& s) {
    openCount_ = 1;
    options_.Exclusive = true;
    MakeHandlers();
    try {
        data_->InitHeader(s.LanguageId, s.SortId, s.UserMajorVersion, s.UserMinorVersion, s.Encrypted, s.Password,
                          s.Description, s.BlobBlockSize, s.Fields);
        index_->SetEncrypted(s.Encrypted);
        index_->Create();
        index_->DefinePrimaryIndex(s.Primary, s.Fields);
        for (const TIndexDesc& d : s.Secondaries) index_->AddSecondaryIndex(d, s.Fields);
        if (data_->BlobFieldCount() != 0) {
            blob_->SetBlockSize(data_->BlobBlockSize());
            blob_->SetEncrypted(s.Encrypted);
            blob_->Create();
        }
        if (!options_.InMemory) {
            // A journal left by an earlier table of this name belongs to files that
            // are gone: it must never be rolled back over the new ones.
            journalPath_ = JournalPathFor(data_->PathOnDisk());
            quorvane::os::RemoveFile(journalPath_);
        }
        open_ = true;
        AttachJournal();
    } catch (...) {
        CloseFiles();
        openCount_ = 0;
        // Half a table would block the next attempt and could not be opened.
        for (TFileHandler* h : Handlers()) {
            try {
                if (h->Exists()) h->Delete();
            } catch (const ERERUZOEngineError&) {
            }
        }
        throw;
    }
}

void TDataTable::DeleteFiles() {
    if (!data_) MakeHandlers();
    if (!options_.InMemory) quorvane::os::RemoveFile(JournalPathFor(data_->PathOnDisk()));
    data_->Delete();
    if (index_->Exists()) index_->Delete();
    if (blob_->Exists()) blob_->Delete();
}

void TDataTable::RenameFiles(const std::string& newName, bool toBackup) {
    if (!data_) MakeHandlers();
    const bool hasPath = newName.find_first_of("/\\") != std::string::npos;
    const std::string target = hasPath || options_.InMemory ? newName : directory_.Path() + newName;
    const std::pair<TFileHandler*, const char*> files[] = {
        {data_.get(), toBackup ? ".DBK" : ".DAT"},
        {index_.get(), toBackup ? ".IBK" : ".IDX"},
        {blob_.get(), toBackup ? ".BBK" : ".BLB"}};
    for (const auto& [handler, extension] : files) {
        if (!handler->Exists()) continue;
        const std::string name = TableFileName("", target, extension);
        if (toBackup) {
            TFileHandler old;
            old.SetInMemory(options_.InMemory);
            old.SetFileName(name);
            if (old.Exists()) old.Delete();
        }
        handler->Rename(name);
    }
}

void TDataTable::Empty() {
    WriteOutBeforeBatch();
    TJournalBatch batch(journal_.get());
    try {
        data_->Empty();
        index_->Empty();
        if (blob_->IsOpen()) blob_->Empty();
        // The cut files and their new headers are one change.
        if (journal_) FlushBuffers({}, {.data = true, .index = true, .blob = true});
        batch.Commit();
    } catch (...) {
        batch.Abandon();
        ForgetAbandonedWrites();
        throw;
    }
}

void TDataTable::BackupIndex() {
    FlushBuffers();
    index_->CopyTo(TableFileName(directory_.Path(), name_, ".IBK"));
}

void TDataTable::RestoreIndex(bool copyBack, bool deleteBackup) {
    const std::string backup = TableFileName(directory_.Path(), name_, ".IBK");
    if (copyBack) {
        index_->CopyFrom(backup);
        index_->Reload();
    }
    TFileHandler file;
    file.SetInMemory(options_.InMemory);
    file.SetFileName(backup);
    if (deleteBackup && file.Exists()) file.Delete();
}

void TDataTable::RebuildLostIndex() {
    // An index kept in memory is this process's own: reading the records under the
    // read lock keeps writers out just as well, and a read-only open has no write lock.
    const bool inMemory = indexInMemory_;
    auto unlock = [&] { inMemory ? ReadUnlock() : WriteUnlock(); };
    if (inMemory) {
        ReadLock();
    } else {
        WriteLock();
    }
    try {
        index_->DefinePrimaryIndex(TIndexDesc{}, data_->Fields());
        TIndexTree sys(*index_, kSysDeletedSlot, SysDeletedLayout());
        std::uint8_t key[kSysDeletedKeyLength];
        std::int32_t live = 0;
        for (std::int32_t n = 1; n <= data_->SlotCount(); ++n) {
            TPinnedRecord r(data_->GetRecord(nullptr, n, {.readAhead = true}));
            if (r->State() == 0) ++live;
            BuildSysDeletedKey(r->Data(), key);
            sys.Insert(key, n);
        }
        index_->SetRecordCount(live);
        if (inMemory) {
            index_->FlushPages(false);
            index_->WriteHeader(true, false);
        } else {
            FlushBuffers({}, {.index = true});
        }
    } catch (...) {
        unlock();
        throw;
    }
    unlock();
}

// ---- Writing ----------------------------------------------------------------------------

void TDataTable::FlushBuffers(TFlushOptions options, TTableChanges changed) {
    if (ReadOnly() || !open_) return;
    if (transactionActive_) {
        MarkChanged(changed);
        return;
    }
    const bool flushOs = options.flushOs;
    const bool trim = options.trim || CachesGrown();
    // Everything written here is one batch of the journal: the records, the headers,
    // the index pages and the BLOB blocks reach the files together or not at all.
    TJournalBatch batch(journal_.get());
    try {
        data_->FlushRecords(flushOs);
        data_->WriteHeader(changed.data, flushOs);
        data_->WriteFieldDescs();
        if (trim) data_->TrimCache();
        index_->FlushPages(flushOs);
        index_->WriteHeader(changed.index, flushOs);
        if (trim) index_->TrimBuffers();
        if (HasBlobs() && blob_->IsOpen()) {
            blob_->FlushBlocks(flushOs);
            blob_->WriteHeader(changed.blob, flushOs);
            if (trim) blob_->TrimCache();
        }
        batch.Commit();
    } catch (...) {
        batch.Abandon();
        ForgetAbandonedWrites();
        throw;
    }
}

void TDataTable::WriteOutBeforeBatch() {
    if (journal_ && !journal_->Batching() && !transactionActive_) FlushBuffers();
}

void TDataTable::ForgetAbandonedWrites() noexcept {
    // The files are as they were before the batch, and the caches may think some of its
    // changes written. An enclosing batch does this itself when it ends. The error that
    // ended the batch is the one to report.
    if (!journal_ || journal_->Batching()) return;
    try {
        DropCaches();
    } catch (const std::exception&) {
    }
}

void TDataTable::DropCaches() {
    data_->ClearCache();
    index_->DiscardBuffers();
    data_->TrimCache();
    index_->TrimBuffers();
    data_->ReadHeader();
    index_->Reload();
    if (blob_->IsOpen()) {
        blob_->ClearCache();
        blob_->TrimCache();
        blob_->ReadHeader();
    }
}

bool TDataTable::CachesGrown() const {
    return data_->CacheGrown() || index_->BufferedPages() > kMaxDeferredPages ||
           (blob_->IsOpen() && blob_->CacheGrown());
}

void TDataTable::MarkChanged(TTableChanges changed) {
    if (changed.data && data_->IsOpen()) data_->BumpChangeCount();
    if (changed.index && index_->IsOpen()) index_->BumpChangeCount();
    if (changed.blob && blob_->IsOpen()) blob_->BumpChangeCount();
    written_ = true;
}

void TDataTable::StartTransaction() {
    if (ReadOnly() || transactionActive_) return;
    if (options_.Exclusive) FlushBuffers();
    transactionActive_ = true;
    try {
        TransactionLock();
    } catch (...) {
        transactionActive_ = false;
        throw;
    }
}

void TDataTable::Commit(bool release, bool flushOs) {
    if (!transactionActive_) return;
    if (release) {
        // The write lock comes first: when it cannot be had, the transaction goes on
        // unchanged and may be committed again or rolled back.
        WriteLock();
        transactionActive_ = false;
        try {
            FlushBuffers({.trim = true, .flushOs = flushOs});
        } catch (...) {
            WriteUnlock();
            TransactionUnlock();
            throw;
        }
        WriteUnlock();
        TransactionUnlock();
        return;
    }
    // An intermediate commit: the changes so far reach the disk; the transaction goes on.
    WriteLock();
    transactionActive_ = false;
    try {
        FlushBuffers({.flushOs = flushOs});
        UnlockRecords(true);
    } catch (...) {
        transactionActive_ = true;
        WriteUnlock();
        throw;
    }
    transactionActive_ = true;
    WriteUnlock();
}

void TDataTable::Rollback() {
    if (!transactionActive_) return;
    transactionActive_ = false;
    try {
        DropCaches();
    } catch (...) {
        // The changes are gone from the buffers either way; the table must not stay
        // locked against every other process because a header could not be read.
        try {
            TransactionUnlock();
        } catch (const ERERUZOEngineError&) {
        }
        throw;
    }
    TransactionUnlock();
}

// ---- Locks ------------------------------------------------------------------------------

bool TDataTable::LockTableByte() {
    return Retrying([&] { return data_->LockRange(true, kTableWriteByte, 1); });
}

bool TDataTable::LockWriteRegion(TFileHandler& file) {
    return Retrying([&] { return file.LockRange(true, kWriteRegionOffset, kWriteRegionLength); });
}

int TDataTable::LockReadSlot(TFileHandler& file) {
    thread_local std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> slots(0, 65535);
    int slot = 0;
    const bool ok = Retrying([&] {
        slot = std::max(1, slots(rng));  // a new slot for every attempt
        return file.LockRange(true, kReadSlotBase - static_cast<std::uint64_t>(slot), 1);
    });
    return ok ? slot : 0;
}

bool TDataTable::TakeReadLock(TReadLockState& lock, const TReadLockState& other) {
    if (lock.held || options_.Exclusive || forcedReadOnly_ || transactionLockHeld_ || writeLockHeld_ || other.held)
        return false;
    const int indexSlot = LockReadSlot(*index_);
    if (indexSlot == 0) Raise(RERUZO_LOCKTIMEOUT);
    int blobSlot = 0;
    if (HasBlobs() && blob_->IsOpen()) {
        blobSlot = LockReadSlot(*blob_);
        if (blobSlot == 0) {
            index_->LockRange(false, kReadSlotBase - static_cast<std::uint64_t>(indexSlot), 1);
            Raise(RERUZO_LOCKTIMEOUT);
        }
    }
    lock = {true, indexSlot, blobSlot};
    if (JournalFound()) {
        // A writer died in its commit: no reader may see its half. The rollback needs
        // the write locks, which our read lock would keep from us.
        ReleaseReadLock(lock);
        RecoverJournal();
        TakeReadLock(lock, other);
        return true;
    }
    try {
        return CheckChanges();
    } catch (...) {
        ReleaseReadLock(lock);
        throw;
    }
}

void TDataTable::ReleaseReadLock(TReadLockState& lock) {
    if (!lock.held) return;
    bool ok = true;
    if (lock.blobSlot != 0) ok = blob_->LockRange(false, kReadSlotBase - static_cast<std::uint64_t>(lock.blobSlot), 1) && ok;
    ok = index_->LockRange(false, kReadSlotBase - static_cast<std::uint64_t>(lock.indexSlot), 1) && ok;
    lock = {};
    if (!ok) Raise(RERUZO_UNLOCKFAILED);
}

bool TDataTable::ReadLock() { return TakeReadLock(readLock_, checkLock_); }
void TDataTable::ReadUnlock() { ReleaseReadLock(readLock_); }
bool TDataTable::CheckLock() { return TakeReadLock(checkLock_, readLock_); }
void TDataTable::CheckUnlock() { ReleaseReadLock(checkLock_); }

bool TDataTable::WriteLock() {
    if (writeLockHeld_ || options_.Exclusive || forcedReadOnly_) return false;
    const bool takeByte = !transactionLockHeld_;
    if (takeByte && !LockTableByte()) Raise(RERUZO_LOCKTIMEOUT);
    if (!LockWriteRegion(*index_)) {
        if (takeByte) data_->LockRange(false, kTableWriteByte, 1);
        Raise(RERUZO_LOCKTIMEOUT);
    }
    if (HasBlobs() && blob_->IsOpen() && !LockWriteRegion(*blob_)) {
        index_->LockRange(false, kWriteRegionOffset, kWriteRegionLength);
        if (takeByte) data_->LockRange(false, kTableWriteByte, 1);
        Raise(RERUZO_LOCKTIMEOUT);
    }
    writeLockHeld_ = true;
    // Holding the table byte since its transaction began, this table has seen every
    // journal since.
    if (transactionLockHeld_) return false;
    if (JournalFound()) {
        WriteUnlock();
        RecoverJournal();
        WriteLock();
        return true;
    }
    try {
        return CheckChanges();
    } catch (...) {
        WriteUnlock();
        throw;
    }
}

void TDataTable::WriteUnlock() {
    if (!writeLockHeld_) return;
    bool ok = true;
    if (HasBlobs() && blob_->IsOpen()) ok = blob_->LockRange(false, kWriteRegionOffset, kWriteRegionLength) && ok;
    ok = index_->LockRange(false, kWriteRegionOffset, kWriteRegionLength) && ok;
    if (!transactionLockHeld_) ok = data_->LockRange(false, kTableWriteByte, 1) && ok;
    writeLockHeld_ = false;
    if (!ok) Raise(RERUZO_LOCKTIMEOUT);
}

void TDataTable::TransactionLock() {
    if (forcedReadOnly_) return;
    if (!LockTableByte()) Raise(RERUZO_LOCKTIMEOUT);
    transactionLockHeld_ = true;
    if (options_.Exclusive) return;
    if (JournalFound()) {
        TransactionUnlock();
        RecoverJournal();
        TransactionLock();
        return;
    }
    try {
        CheckChanges();
    } catch (...) {
        try {
            TransactionUnlock();
        } catch (const ERERUZOEngineError&) {
        }
        throw;
    }
}

void TDataTable::TransactionUnlock() {
    if (forcedReadOnly_ || !transactionLockHeld_) return;
    const bool ok = data_->LockRange(false, kTableWriteByte, 1);
    transactionLockHeld_ = false;
    if (!options_.Exclusive) UnlockRecords(true);
    if (!ok) Raise(RERUZO_LOCKTIMEOUT);
}

bool TDataTable::LockRecord(std::int32_t n) {
    if ((options_.Exclusive && !transactionLockHeld_) || forcedReadOnly_) return false;
    if (n <= 0 || n > 200000000) Raise(RERUZO_RECLOCKFAILED);
    if (transactionLockHeld_ && locked_.Has(n)) return false;
    bool changed = false;
    bool tookCheck = false;
    if (!options_.Exclusive && !Session().StrictChangeDetection()) {
        tookCheck = !checkLock_.held;
        changed = CheckLock();
        tookCheck = tookCheck && checkLock_.held;
    }
    const std::uint64_t byte = kRecordLockBase - static_cast<std::uint64_t>(n);
    for (int failures = 0; !data_->LockRange(true, byte, 1);) {
        if (++failures > Session().LockRetryCount()) {
            if (tookCheck) CheckUnlock();
            Raise(RERUZO_RECLOCKFAILED);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(Session().LockWaitTime()));
    }
    locked_.Set(n);
    deferred_.Reset(n);
    return changed;
}

void TDataTable::UnlockRecord(std::int32_t n) {
    if ((options_.Exclusive && !transactionLockHeld_) || forcedReadOnly_) return;
    if (n <= 0) Raise(RERUZO_UNLOCKFAILED);
    if (transactionActive_) {
        deferred_.Set(n);  // kept until the transaction ends
        return;
    }
    if (!locked_.Has(n) || !data_->LockRange(false, kRecordLockBase - static_cast<std::uint64_t>(n), 1))
        Raise(RERUZO_UNLOCKFAILED);
    locked_.Reset(n);
}

void TDataTable::UnlockRecords(bool deferredOnly) {
    // A run of consecutive records (a transaction's appends) is released with one call:
    // its lock bytes are consecutive too, and every one of them is this table's. Runs
    // go from the highest record down, which is the lowest lock byte up: the kernel
    // keeps a process's locks in one list ordered by offset and finds each of these at
    // its front, where the other order would walk the whole list for every record of
    // a long transaction.
    const std::vector<std::int32_t> members = locked_.Members();
    const bool open = data_ && data_->IsOpen();
    for (auto it = members.rbegin(); it != members.rend();) {
        const std::int32_t high = *it;
        if (deferredOnly && !deferred_.Has(high)) {
            ++it;
            continue;
        }
        std::int32_t low = high;
        for (++it; it != members.rend() && *it == low - 1 && (!deferredOnly || deferred_.Has(*it)); ++it) --low;
        if (open) {
            data_->LockRange(false, kRecordLockBase - static_cast<std::uint64_t>(high),
                             static_cast<std::uint64_t>(high - low) + 1);
        }
        for (std::int32_t n = low; n <= high; ++n) {
            locked_.Reset(n);
            deferred_.Reset(n);
        }
    }
}

TDataTable::TLiveKey TDataTable::CurrentLiveKey() const {
    return {data_->LiveGeneration(), index_->Header().ChangeCount, index_->RecordCount(), data_->SlotCount()};
}

bool TDataTable::CopyLiveRecords(TRecordsBitmap& into) const {
    if (liveKey_ != CurrentLiveKey()) return false;
    into.Assign(live_);
    return true;
}

void TDataTable::RememberLiveRecords(const TRecordsBitmap& live) {
    live_.Assign(live);
    liveKey_ = CurrentLiveKey();
}

bool TDataTable::CheckChanges() {
    bool changed = false;
    if (index_->RereadHeader()) {
        data_->ReadHeader();
        data_->ClearCache();
        changed = true;
    } else if (data_->HeaderChanged()) {
        data_->ClearCache();
        changed = true;
    }
    if (HasBlobs() && blob_->IsOpen() && blob_->HeaderChanged()) {
        blob_->ClearCache();
        changed = true;
    }
    return changed;
}

}  // namespace reruzo
