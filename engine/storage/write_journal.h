// Crash-safe writing of a table's files: a rollback journal beside the table.
//
// While a batch is open, every write and cut of the table's attached files is held in
// memory, and reads of those files see it. When the outermost batch commits:
//   1. the bytes the batch overwrites or cuts away, and each file's old size, are
//      copied into the journal (`<table>.JNL`), which is flushed to the disk (and its
//      folder, when the journal is new);
//   2. the batch's writes are made in the files, and each written file is flushed once;
//   3. the journal is deleted: that is the moment the batch takes effect.
// A batch that holds more than kJournalSpillBytes goes through steps 1 and 2 early, as
// often as needed; the journal keeps only the first original of every byte, so memory
// stays bounded however large the batch.
//
// Whoever finds a journal while no writer holds the table (the next opener in any
// process, or a process taking a lock) puts the saved bytes back, cuts the files to
// their old sizes and flushes them before deleting the journal: the files are then
// exactly as they were before the batch. The journal is flushed before any write it
// covers, so a torn or incomplete tail protects nothing and is ignored, and a journal
// without a whole header was never followed by a write.
//
// A power cut just after step 3 may bring the deleted journal back (its deletion is not
// flushed): the batch is then rolled back as a whole, never half.
//
// Journal layout, little-endian:
//   header   "RRZJRNL1", a random salt (8 bytes), FNV-1a 64 of both (8 bytes)
//   records  kind (1 byte: 1 a file's old size, 2 saved bytes), file (1 byte: 0 data,
//            1 index, 2 BLOB), 2 zero bytes, length of the saved bytes (4), the offset
//            or the size (8), the saved bytes, FNV-1a 64 of the salt and the record (8)
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace reruzo {

class TFileHandler;

inline constexpr int kJournalFiles = 3;
inline constexpr std::uint64_t kJournalSpillBytes = 32ull << 20;

// Tests that need a batch to reach the files early lower the spill size; the product
// never changes it.
void SetJournalSpillBytesForTests(std::uint64_t bytes);

// The files a journal restores. Implementations raise engine errors on failure.
class TJournalFiles {
public:
    virtual ~TJournalFiles() = default;
    virtual bool Present(int file) = 0;
    virtual void WriteAt(int file, std::uint64_t offset, const void* data, std::uint64_t count) = 0;
    virtual void Truncate(int file, std::uint64_t size) = 0;
    virtual void Sync(int file) = 0;
};

bool JournalExists(const std::string& path);

// Puts a journal's saved bytes back, flushes the files and deletes the journal. False
// when there is no journal. Raises when the files cannot be restored; the journal then
// stays for the next attempt.
bool RollBackJournal(const std::string& path, TJournalFiles& files);

// The table's files opened anew, for reading and writing, to roll back a journal that
// a writer left behind. Locks taken through it are its own (they exclude the table's
// other opens, in this process too) and go with it.
class TJournalRecovery : public TJournalFiles {
public:
    TJournalRecovery(std::array<std::string, kJournalFiles> paths, std::string directory, std::string table);
    ~TJournalRecovery() override;
    TJournalRecovery(const TJournalRecovery&) = delete;
    TJournalRecovery& operator=(const TJournalRecovery&) = delete;

    // Opens the files that exist; raises the engine error of a file that cannot be
    // opened for writing.
    void Open();
    // Non-blocking byte-range lock on an open file; true for a missing file.
    bool Lock(int file, std::uint64_t offset, std::uint64_t length, bool shared);

    bool Present(int file) override;
    void WriteAt(int file, std::uint64_t offset, const void* data, std::uint64_t count) override;
    void Truncate(int file, std::uint64_t size) override;
    void Sync(int file) override;

private:
    [[noreturn]] void Raise(std::uint16_t code) const;
    std::array<std::string, kJournalFiles> paths_;
    std::array<int, kJournalFiles> fds_{-1, -1, -1};
    std::string directory_;
    std::string table_;
};

class TWriteJournal {
public:
    explicit TWriteJournal(std::string path);
    ~TWriteJournal();
    TWriteJournal(const TWriteJournal&) = delete;
    TWriteJournal& operator=(const TWriteJournal&) = delete;

    const std::string& Path() const { return path_; }
    // The handler's writes go through the journal from now on (nullptr detaches).
    void Attach(int file, TFileHandler* handler);

    bool Batching() const { return depth_ > 0; }
    void Begin() { ++depth_; }
    // Ends one level of batch; the outermost makes the batch's writes. On failure the
    // files are rolled back to where they were before the batch and the error raised.
    void Commit();
    // Ends one level of batch; the outermost drops what was not written and rolls back
    // what was. Never raises: a journal that cannot be rolled back now stays on the
    // disk for the next opener.
    void Abandon() noexcept;

    // ---- Called by the attached handlers while batching ----
    void Write(int file, std::uint64_t offset, const void* data, std::uint64_t count);
    void Truncate(int file, std::uint64_t size);
    bool Holds(int file) const { return files_[static_cast<std::size_t>(file)].touched; }
    // Reads as the batch sees the file: at most `count` bytes, fewer at its end.
    std::uint64_t Read(int file, std::uint64_t offset, void* buffer, std::uint64_t count);
    std::uint64_t Size(int file) const { return files_[static_cast<std::size_t>(file)].size; }

    // Counters for tests and benchmarks.
    struct TStats {
        std::uint64_t commits = 0;
        std::uint64_t spills = 0;
        std::uint64_t savedBytes = 0;
        std::uint64_t fileSyncs = 0;
    };
    const TStats& Stats() const { return stats_; }

private:
    struct TFileState {
        TFileHandler* handler = nullptr;
        bool touched = false;     // written or cut in this batch
        bool applied = false;     // some of the batch is already in the file
        bool sizeSaved = false;
        std::uint64_t originalSize = 0;
        std::uint64_t size = 0;   // the size as the batch sees it
        std::optional<std::uint64_t> cut;                      // lowest pending cut
        std::map<std::uint64_t, std::vector<std::uint8_t>> extents;  // pending, disjoint
        std::map<std::uint64_t, std::uint64_t> saved;          // originals in the journal
    };
    class THandlerFiles;

    TFileState& Touch(int file);
    void Spill();
    void SaveOriginal(int file, std::uint64_t first, std::uint64_t last, std::vector<std::uint8_t>& out);
    void AppendRecord(std::vector<std::uint8_t>& out, std::uint8_t kind, int file, std::uint64_t value,
                      const std::uint8_t* bytes, std::uint32_t count) const;
    void RollBackApplied() noexcept;
    void Reset() noexcept;

    std::string path_;
    std::array<TFileState, kJournalFiles> files_;
    int depth_ = 0;
    bool failed_ = false;
    std::uint64_t pendingBytes_ = 0;
    int fd_ = -1;
    std::uint64_t journalEnd_ = 0;
    std::uint64_t salt_ = 0;
    TStats stats_;
};

// A batch for a scope: Commit() ends it; leaving the scope otherwise abandons it.
class TJournalBatch {
public:
    explicit TJournalBatch(TWriteJournal* journal) : journal_(journal) {
        if (journal_) journal_->Begin();
    }
    ~TJournalBatch() {
        if (journal_ && !done_) journal_->Abandon();
    }
    TJournalBatch(const TJournalBatch&) = delete;
    TJournalBatch& operator=(const TJournalBatch&) = delete;
    void Commit() {
        done_ = true;
        if (journal_) journal_->Commit();
    }
    void Abandon() noexcept {
        if (journal_ && !done_) journal_->Abandon();
        done_ = true;
    }

private:
    TWriteJournal* journal_;
    bool done_ = false;
};

}  // namespace reruzo
