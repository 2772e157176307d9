// The engine's file layer. Every table file (data, index, BLOB) of a process is
// reached through one registry of open files, TFileList, so that all sessions and
// tables of the process that use the same file share one operating-system handle.
// Files are either disk files (TPhysicalFile) or memory files (TMemoryFile, the
// files of the in-memory database); both offer the same operations.
//
// Results of TFileList are 0 or a handle number on success, or a negated engine
// error code (-11010 not found, -11013 in use or exclusive, other mapped system
// errors). TFileHandler, the base of the table file handlers, raises them as engine
// errors.
//
// Locking: TFileList operations hold the list's lock; every operation on one file
// holds that file's (recursive) lock, and a handler's Enter/Leave extends it over a
// seek-and-transfer sequence.
//
// Between processes, byte-range locks are open-file-description locks. Because a
// process has one handle per file, locks taken through different handlers of one
// process are also checked against the file's own list of locked ranges, so that
// they exclude each other as they do between processes. Share modes are a lock on
// the byte kShareModeByte, above every lock range of the tables: a shared open holds
// it for reading, an exclusive open for writing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace reruzo {

enum class TFileKind { Disk, Memory };

inline constexpr std::uint64_t kShareModeByte = 4294967296ull;  // 2^32
inline constexpr std::size_t kCopyPieceSize = 65536;

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Engine error code for an errno value of a failed system call.
std::uint16_t EngineCodeOfErrno(int err);

struct TRegionLock {
    std::uint64_t first;
    std::uint64_t last;
    std::uint64_t length;
};

class TAbstractFile {
public:
    TAbstractFile(std::string name, TFileKind kind) : name_(std::move(name)), kind_(kind) {}
    virtual ~TAbstractFile() = default;
    TAbstractFile(const TAbstractFile&) = delete;
    TAbstractFile& operator=(const TAbstractFile&) = delete;

    // Position entry of a handle; nullptr for an unknown handle.
    struct THandle {
        int number;
        std::uint64_t position;
        bool readOnly;
    };
    THandle* FindHandle(int handle);

    // Creates the file (exclusive, opened with one handle). 0 or a negated code.
    virtual int Create(bool temporary, int& handle) = 0;
    // Opens the file: the first open really opens it with these options; later
    // opens add a handle. 0 or a negated code.
    virtual int Open(bool readOnly, bool exclusive, int& handle, bool& forcedReadOnly) = 0;
    // Closes one handle; 0 or a negated code.
    virtual int Close(int handle) = 0;
    virtual int Rename(const std::string& newName) = 0;
    virtual int Delete() = 0;
    // Bytes transferred, or a negated code. Write with count 0 truncates at the position.
    virtual std::int64_t Read(int handle, void* buffer, std::uint64_t count) = 0;
    virtual std::int64_t Write(int handle, const void* buffer, std::uint64_t count) = 0;
    virtual bool Flush(int handle) = 0;
    // New position, or a negated code. Origin soEnd subtracts the offset from the size.
    std::int64_t Seek(int handle, int origin, std::int64_t offset);
    virtual bool LockRegion(std::uint64_t offset, std::uint64_t length);
    virtual bool UnlockRegion(std::uint64_t offset, std::uint64_t length);
    virtual std::int64_t CurrentSize() = 0;
    // Gives up the file without touching it on disk (no delete-on-close).
    virtual void Abandon() { temporary_ = false; }

    const std::string& Name() const { return name_; }
    TFileKind Kind() const { return kind_; }
    int OpenCount() const { return static_cast<int>(handles_.size()); }
    bool Exclusive() const { return exclusive_; }
    bool ReadOnly() const { return readOnly_; }
    bool ForcedReadOnly() const { return forcedReadOnly_; }
    bool Temporary() const { return temporary_; }
    std::recursive_mutex& Lock() { return lock_; }
    // Locked ranges by their first byte; they never overlap.
    const std::map<std::uint64_t, TRegionLock>& RegionLocks() const { return regionLocks_; }

protected:
    friend class TFileList;
    int AddHandle(bool readOnly);
    // A freshly created file is open exclusively, for writing, with one handle.
    int StartCreatedUse(bool temporary, int& handle);
    bool RemoveHandle(int handle);
    bool Overlaps(std::uint64_t offset, std::uint64_t length) const;

    std::recursive_mutex lock_;
    std::string name_;
    TFileKind kind_;
    bool exclusive_ = false;
    bool readOnly_ = false;
    bool forcedReadOnly_ = false;
    bool temporary_ = false;
    std::map<std::uint64_t, TRegionLock> regionLocks_;
    std::vector<THandle> handles_;
    int nextHandle_ = 1;
};

class TPhysicalFile : public TAbstractFile {
public:
    explicit TPhysicalFile(std::string name) : TAbstractFile(std::move(name), TFileKind::Disk) {}
    ~TPhysicalFile() override;

    int Create(bool temporary, int& handle) override;
    int Open(bool readOnly, bool exclusive, int& handle, bool& forcedReadOnly) override;
    int Close(int handle) override;
    int Rename(const std::string& newName) override;
    int Delete() override;
    std::int64_t Read(int handle, void* buffer, std::uint64_t count) override;
    std::int64_t Write(int handle, const void* buffer, std::uint64_t count) override;
    bool Flush(int handle) override;
    bool LockRegion(std::uint64_t offset, std::uint64_t length) override;
    bool UnlockRegion(std::uint64_t offset, std::uint64_t length) override;
    std::int64_t CurrentSize() override;

private:
    int ReleaseDescriptor();
    int fd_ = -1;
};

class TMemoryFile : public TAbstractFile {
public:
    explicit TMemoryFile(std::string name) : TAbstractFile(std::move(name), TFileKind::Memory) {}

    int Create(bool temporary, int& handle) override;
    int Open(bool readOnly, bool exclusive, int& handle, bool& forcedReadOnly) override;
    int Close(int handle) override;
    int Rename(const std::string& newName) override;
    int Delete() override;
    std::int64_t Read(int handle, void* buffer, std::uint64_t count) override;
    std::int64_t Write(int handle, const void* buffer, std::uint64_t count) override;
    bool Flush(int) override { return true; }
    std::int64_t CurrentSize() override { return static_cast<std::int64_t>(size_); }

private:
    void Reserve(std::uint64_t size);
    std::vector<std::uint8_t> data_;  // capacity grows in steps of 4096
    std::uint64_t size_ = 0;
};

// The registry of open files of the process.
class TFileList {
public:
    static TFileList& Instance();

    int CreateFile(TFileKind kind, const std::string& name, bool temporary, TAbstractFile*& file);
    int OpenFile(TFileKind kind, const std::string& name, bool readOnly, bool exclusive,
                 TAbstractFile*& file, bool& forcedReadOnly);
    int CloseFile(TAbstractFile* file, TFileKind kind, int handle);
    int RenameFile(TFileKind kind, const std::string& name, const std::string& newName);
    int DeleteFile(TFileKind kind, const std::string& name);
    bool FileExists(TFileKind kind, const std::string& name);
    int CopyTo(TAbstractFile* file, int handle, const std::string& newName);
    int CopyFrom(TAbstractFile* file, int handle, const std::string& name);

    // The registered file of that name and kind, or nullptr (tests look at what the
    // list holds).
    TAbstractFile* Find(TFileKind kind, const std::string& name);

private:
    TFileList();
    // A forked child inherits the parent's open files; sharing their descriptions
    // would merge the two processes' byte-range locks. The child starts afresh.
    void ForgetInheritedFiles();
    TAbstractFile* FindLocked(TFileKind kind, const std::string& name);
    void Unregister(TAbstractFile* file);

    std::recursive_mutex lock_;
    std::vector<std::unique_ptr<TAbstractFile>> files_;
    int pid_;
};

// Base of the table file handlers: one open of one table file, raising engine errors
// that name the table and its directory (or the file, when no table was given).
class TWriteJournal;

class TFileHandler {
public:
    TFileHandler() = default;
    virtual ~TFileHandler();
    TFileHandler(const TFileHandler&) = delete;
    TFileHandler& operator=(const TFileHandler&) = delete;

    // Options, set before Open or Create.
    void SetFileName(std::string name) { name_ = std::move(name); }
    const std::string& FileName() const { return name_; }
    void SetInMemory(bool on) { inMemory_ = on; }
    bool InMemory() const { return inMemory_; }
    void SetExclusive(bool on) { exclusive_ = on; }
    bool Exclusive() const { return exclusive_; }
    void SetReadOnly(bool on) { readOnly_ = on; }
    bool ReadOnly() const { return readOnly_ || forcedReadOnly_; }
    void SetTemporary(bool on) { temporary_ = on; }
    // The table and directory named by errors.
    void SetErrorContext(std::string directory, std::string table);

    bool IsOpen() const { return file_ != nullptr; }
    // Writes and cuts go through the journal (nullptr: straight to the file). See
    // write_journal.h.
    void SetJournal(TWriteJournal* journal, int file) {
        journal_ = journal;
        journalFile_ = file;
    }
    // The file's name on the disk (for disk files, matched without letter case).
    std::string PathOnDisk() const { return ResolvedName(); }
    bool ForcedReadOnly() const { return forcedReadOnly_; }
    TAbstractFile* File() const { return file_; }

    virtual void Open();
    virtual void Close();
    virtual void Create();
    virtual void Delete();
    virtual void Rename(const std::string& newName);
    virtual void CopyTo(const std::string& newName);
    void CopyFrom(const std::string& name);
    virtual std::uint64_t Read(void* buffer, std::uint64_t count, bool allowShort = false);
    virtual void Write(const void* buffer, std::uint64_t count);
    virtual void Flush();
    std::uint64_t Seek(int origin, std::int64_t offset);
    std::uint64_t FileSize();
    bool LockRange(bool lock, std::uint64_t offset, std::uint64_t length);
    bool Exists();
    void Enter();
    void Leave();

    // Seek and transfer under the file's lock.
    std::uint64_t ReadAt(std::uint64_t offset, void* buffer, std::uint64_t count, bool allowShort = false);
    void WriteAt(std::uint64_t offset, const void* buffer, std::uint64_t count);
    // Sets the end of the file at `offset`.
    void TruncateAt(std::uint64_t offset);
    // The first four bytes of the file, where every table file keeps its change
    // counter: a check for other writers reads these and nothing more.
    std::array<std::uint8_t, 4> ReadCounterBytes();

protected:
    [[noreturn]] void Raise(std::uint16_t code) const;
    void RaiseIfNegative(std::int64_t result) const;
    TFileKind Kind() const { return inMemory_ ? TFileKind::Memory : TFileKind::Disk; }
    // The name to use: for disk files, an existing file matching without letter case.
    std::string ResolvedName() const;

private:
    friend class TWriteJournal;
    // Transfers that bypass the journal: the journal's own, to apply and roll back.
    std::uint64_t DirectReadAt(std::uint64_t offset, void* buffer, std::uint64_t count, bool allowShort);
    void DirectWriteAt(std::uint64_t offset, const void* buffer, std::uint64_t count);
    void DirectTruncateAt(std::uint64_t offset);
    void DirectFlush();
    std::uint64_t DirectSize();

    TWriteJournal* journal_ = nullptr;
    int journalFile_ = 0;
    std::string name_;
    std::string errorDirectory_;
    std::string errorTable_;
    bool inMemory_ = false;
    bool exclusive_ = false;
    bool readOnly_ = false;
    bool temporary_ = false;
    bool forcedReadOnly_ = false;
    TAbstractFile* file_ = nullptr;
    int handle_ = 0;
};

// Holds a handler's file lock for a scope.
class TFileGuard {
public:
    explicit TFileGuard(TFileHandler& handler) : handler_(handler) { handler_.Enter(); }
    ~TFileGuard() { handler_.Leave(); }
    TFileGuard(const TFileGuard&) = delete;
    TFileGuard& operator=(const TFileGuard&) = delete;

private:
    TFileHandler& handler_;
};

}  // namespace reruzo
