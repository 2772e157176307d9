// Disk and memory files, the process's registry of open files, and the file handler
// base of the table files.
#include "engine/storage/file_layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "engine/errors/engine_errors.h"
#include "engine/storage/write_journal.h"
#include "platform/file_names.h"
#include "platform/os_file.h"

namespace reruzo {
namespace {

constexpr int Neg(std::uint16_t code) { return -static_cast<int>(code); }

std::string NameKey(std::string_view name) {
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    std::string key(name);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// The file name part without its extension, trimmed.
std::string BaseName(const std::string& name) {
    std::string leaf = name.substr(name.find_last_of("/\\") + 1);
    const auto dot = leaf.rfind('.');
    if (dot != std::string::npos) leaf.resize(dot);
    while (!leaf.empty() && leaf.back() == ' ') leaf.pop_back();
    while (!leaf.empty() && leaf.front() == ' ') leaf.erase(0, 1);
    return leaf;
}

}  // namespace

std::uint16_t EngineCodeOfErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG: return RERUZO_OSENOENT;
        case EMFILE:
        case ENFILE: return RERUZO_OSEMFILE;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case EISDIR: return RERUZO_OSEACCES;
        case EBADF: return RERUZO_OSEBADF;
        case ENOMEM: return RERUZO_OSENOMEM;
        case ENODEV:
        case ENXIO: return RERUZO_OSENODEV;
        case EXDEV: return RERUZO_OSENOTSAM;
        default: return RERUZO_OSUNKNOWN;
    }
}

// ---- TAbstractFile -----------------------------------------------------------------

TAbstractFile::THandle* TAbstractFile::FindHandle(int handle) {
    for (THandle& h : handles_) {
        if (h.number == handle) return &h;
    }
    return nullptr;
}

int TAbstractFile::StartCreatedUse(bool temporary, int& handle) {
    exclusive_ = true;
    readOnly_ = false;
    forcedReadOnly_ = false;
    temporary_ = temporary;
    handle = AddHandle(false);
    return 0;
}

int TAbstractFile::AddHandle(bool readOnly) {
    const int number = nextHandle_++;
    handles_.push_back({number, 0, readOnly});
    return number;
}

bool TAbstractFile::RemoveHandle(int handle) {
    const auto before = handles_.size();
    std::erase_if(handles_, [handle](const THandle& h) { return h.number == handle; });
    return handles_.size() != before;
}

std::int64_t TAbstractFile::Seek(int handle, int origin, std::int64_t offset) {
    std::lock_guard guard(lock_);
    THandle* h = FindHandle(handle);
    if (!h) return Neg(RERUZO_OSEBADF);
    std::int64_t base = 0;
    if (origin == soCurrent) {
        base = static_cast<std::int64_t>(h->position);
    } else if (origin == soEnd) {
        const std::int64_t size = CurrentSize();
        if (size < 0) return size;
        // Memory files count back from the end; disk files move by the offset.
        base = size;
        if (kind_ == TFileKind::Memory) offset = -offset;
    }
    const std::int64_t position = base + offset;
    if (position < 0) return Neg(RERUZO_OSUNKNOWN);
    h->position = static_cast<std::uint64_t>(position);
    return position;
}

bool TAbstractFile::Overlaps(std::uint64_t offset, std::uint64_t length) const {
    // The ranges are disjoint: only the last one starting at or before our end can
    // reach into us.
    const std::uint64_t last = offset + length - 1;
    auto it = regionLocks_.upper_bound(last);
    if (it == regionLocks_.begin()) return false;
    --it;
    return it->second.last >= offset;
}

bool TAbstractFile::LockRegion(std::uint64_t offset, std::uint64_t length) {
    std::lock_guard guard(lock_);
    if (length == 0 || Overlaps(offset, length)) return false;
    regionLocks_.emplace(offset, TRegionLock{offset, offset + length - 1, length});
    return true;
}

bool TAbstractFile::UnlockRegion(std::uint64_t offset, std::uint64_t length) {
    // Removes the range itself, or every locked range inside it (so that one call can
    // release a whole family of locks).
    std::lock_guard guard(lock_);
    if (length == 0) return false;
    const std::uint64_t last = offset + length - 1;
    bool removed = false;
    for (auto it = regionLocks_.lower_bound(offset); it != regionLocks_.end() && it->first <= last;) {
        if (it->second.last <= last) {
            it = regionLocks_.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    return removed;
}

// ---- TPhysicalFile ------------------------------------------------------------------

TPhysicalFile::~TPhysicalFile() { ReleaseDescriptor(); }

int TPhysicalFile::ReleaseDescriptor() {
    if (fd_ < 0) return 0;
    quorvane::os::CloseFile(fd_);  // also drops every lock of the descriptor
    fd_ = -1;
    regionLocks_.clear();
    if (temporary_) quorvane::os::RemoveFile(name_);
    return 0;
}

int TPhysicalFile::Create(bool temporary, int& handle) {
    std::lock_guard guard(lock_);
    if (fd_ >= 0) return Neg(RERUZO_OSEACCES);
    const int fd = quorvane::os::OpenOrCreate(name_);
    if (fd < 0) return Neg(EngineCodeOfErrno(-fd));
    // Created files are held exclusively: refuse to replace a file another process uses.
    if (!quorvane::os::LockRange(fd, kShareModeByte, 1, false)) {
        quorvane::os::CloseFile(fd);
        return Neg(RERUZO_OSEACCES);
    }
    if (const int r = quorvane::os::Truncate(fd, 0); r < 0) {
        quorvane::os::CloseFile(fd);
        return Neg(EngineCodeOfErrno(-r));
    }
    fd_ = fd;
    return StartCreatedUse(temporary, handle);
}

int TPhysicalFile::Open(bool readOnly, bool exclusive, int& handle, bool& forcedReadOnly) {
    std::lock_guard guard(lock_);
    if (fd_ >= 0) {
        handle = AddHandle(readOnly || forcedReadOnly_);
        forcedReadOnly = forcedReadOnly_;
        return 0;
    }
    int err = 0;
    const quorvane::os::TFileStatus st = quorvane::os::StatFile(name_, &err);
    if (!st.exists) return Neg(EngineCodeOfErrno(err));
    if (!st.regular) return Neg(RERUZO_OSEACCES);
    forcedReadOnly_ = !st.writable;
    readOnly_ = readOnly || forcedReadOnly_;
    exclusive_ = exclusive;
    // The descriptor is opened for writing whenever the file allows it; each handle
    // keeps its own read-only flag, so a later read-write open can share it.
    const int fd = quorvane::os::OpenExisting(name_, !forcedReadOnly_);
    if (fd < 0) return Neg(EngineCodeOfErrno(-fd));
    if (!quorvane::os::LockRange(fd, kShareModeByte, 1, !exclusive)) {
        quorvane::os::CloseFile(fd);
        return Neg(RERUZO_OSEACCES);
    }
    fd_ = fd;
    handle = AddHandle(readOnly_);
    forcedReadOnly = forcedReadOnly_;
    return 0;
}

int TPhysicalFile::Close(int handle) {
    std::lock_guard guard(lock_);
    if (!RemoveHandle(handle)) return Neg(RERUZO_OSENOENT);
    if (handles_.empty()) ReleaseDescriptor();
    return 0;
}

int TPhysicalFile::Rename(const std::string& newName) {
    std::lock_guard guard(lock_);
    if (fd_ >= 0) return Neg(RERUZO_OSEACCES);
    if (const int r = quorvane::os::RenameFile(name_, newName); r < 0) return Neg(EngineCodeOfErrno(-r));
    name_ = newName;
    return 0;
}

int TPhysicalFile::Delete() {
    std::lock_guard guard(lock_);
    if (fd_ >= 0) return Neg(RERUZO_OSEACCES);
    if (const int r = quorvane::os::RemoveFile(name_); r < 0) return Neg(EngineCodeOfErrno(-r));
    return 0;
}

std::int64_t TPhysicalFile::Read(int handle, void* buffer, std::uint64_t count) {
    std::lock_guard guard(lock_);
    THandle* h = FindHandle(handle);
    if (!h || fd_ < 0) return Neg(RERUZO_OSEBADF);
    const std::int64_t n = quorvane::os::ReadAt(fd_, h->position, buffer, count);
    if (n < 0) return Neg(EngineCodeOfErrno(static_cast<int>(-n)));
    h->position += static_cast<std::uint64_t>(n);
    return n;
}

std::int64_t TPhysicalFile::Write(int handle, const void* buffer, std::uint64_t count) {
    std::lock_guard guard(lock_);
    THandle* h = FindHandle(handle);
    if (!h || fd_ < 0) return Neg(RERUZO_OSEBADF);
    if (h->readOnly) return Neg(RERUZO_OSEACCES);
    if (count == 0) {
        const int r = quorvane::os::Truncate(fd_, h->position);
        return r < 0 ? Neg(EngineCodeOfErrno(-r)) : 0;
    }
    const std::int64_t n = quorvane::os::WriteAt(fd_, h->position, buffer, count);
    if (n < 0) return Neg(EngineCodeOfErrno(static_cast<int>(-n)));
    h->position += static_cast<std::uint64_t>(n);
    return n;
}

bool TPhysicalFile::Flush(int handle) {
    std::lock_guard guard(lock_);
    return FindHandle(handle) && fd_ >= 0 && quorvane::os::Sync(fd_) == 0;
}

bool TPhysicalFile::LockRegion(std::uint64_t offset, std::uint64_t length) {
    std::lock_guard guard(lock_);
    if (fd_ < 0 || length == 0 || Overlaps(offset, length)) return false;
    if (!quorvane::os::LockRange(fd_, offset, length, false)) return false;
    regionLocks_.emplace(offset, TRegionLock{offset, offset + length - 1, length});
    return true;
}

bool TPhysicalFile::UnlockRegion(std::uint64_t offset, std::uint64_t length) {
    std::lock_guard guard(lock_);
    if (fd_ < 0 || !TAbstractFile::UnlockRegion(offset, length)) return false;
    return quorvane::os::UnlockRange(fd_, offset, length);
}

std::int64_t TPhysicalFile::CurrentSize() {
    if (fd_ < 0) return Neg(RERUZO_OSEBADF);
    const std::int64_t n = quorvane::os::Size(fd_);
    return n < 0 ? Neg(EngineCodeOfErrno(static_cast<int>(-n))) : n;
}

// ---- TMemoryFile ---------------------------------------------------------------------

void TMemoryFile::Reserve(std::uint64_t size) {
    if (size <= data_.size()) return;
    data_.resize((size + 4095) / 4096 * 4096);
}

int TMemoryFile::Create(bool temporary, int& handle) {
    std::lock_guard guard(lock_);
    if (!handles_.empty()) return Neg(RERUZO_OSEACCES);
    data_.clear();
    size_ = 0;
    return StartCreatedUse(temporary, handle);
}

int TMemoryFile::Open(bool readOnly, bool exclusive, int& handle, bool& forcedReadOnly) {
    std::lock_guard guard(lock_);
    if (handles_.empty()) {
        readOnly_ = readOnly;
        exclusive_ = exclusive;
    }
    handle = AddHandle(readOnly);
    forcedReadOnly = false;
    return 0;
}

int TMemoryFile::Close(int handle) {
    std::lock_guard guard(lock_);
    if (!RemoveHandle(handle)) return Neg(RERUZO_OSENOENT);
    if (handles_.empty()) regionLocks_.clear();
    return 0;
}

int TMemoryFile::Rename(const std::string& newName) {
    std::lock_guard guard(lock_);
    if (!handles_.empty()) return Neg(RERUZO_OSEACCES);
    name_ = newName;
    return 0;
}

int TMemoryFile::Delete() {
    std::lock_guard guard(lock_);
    if (!handles_.empty()) return Neg(RERUZO_OSEACCES);
    data_.clear();
    data_.shrink_to_fit();
    size_ = 0;
    return 0;
}

std::int64_t TMemoryFile::Read(int handle, void* buffer, std::uint64_t count) {
    std::lock_guard guard(lock_);
    THandle* h = FindHandle(handle);
    if (!h) return Neg(RERUZO_OSEBADF);
    // Nothing to read may come with no buffer at all (an empty vector's data()).
    if (count == 0 || h->position >= size_) return 0;
    const std::uint64_t n = std::min(count, size_ - h->position);
    std::memcpy(buffer, data_.data() + h->position, n);
    h->position += n;
    return static_cast<std::int64_t>(n);
}

std::int64_t TMemoryFile::Write(int handle, const void* buffer, std::uint64_t count) {
    std::lock_guard guard(lock_);
    THandle* h = FindHandle(handle);
    if (!h) return Neg(RERUZO_OSEBADF);
    if (h->readOnly) return Neg(RERUZO_OSEACCES);
    if (count == 0) {
        if (h->position > size_) {
            Reserve(h->position);
            std::memset(data_.data() + size_, 0, h->position - size_);
        }
        size_ = h->position;
        if (size_ < data_.size()) data_.resize((size_ + 4095) / 4096 * 4096);
        return 0;
    }
    const std::uint64_t end = h->position + count;
    Reserve(end);
    if (h->position > size_) std::memset(data_.data() + size_, 0, h->position - size_);
    std::memcpy(data_.data() + h->position, buffer, count);
    size_ = std::max(size_, end);
    h->position = end;
    return static_cast<std::int64_t>(count);
}

// ---- TFileList ------------------------------------------------------------------------

TFileList::TFileList() : pid_(::getpid()) {}

TFileList& TFileList::Instance() {
    static TFileList* list = new TFileList;  // lives as long as the process
    if (list->pid_ != ::getpid()) list->ForgetInheritedFiles();
    return *list;
}

void TFileList::ForgetInheritedFiles() {
    std::lock_guard guard(lock_);
    for (auto& f : files_) f->Abandon();  // closing our copies leaves the parent's files alone
    files_.clear();
    pid_ = ::getpid();
}

TAbstractFile* TFileList::FindLocked(TFileKind kind, const std::string& name) {
    const std::string key = NameKey(name);
    for (const auto& f : files_) {
        if (f->Kind() == kind && NameKey(f->Name()) == key) return f.get();
    }
    return nullptr;
}

TAbstractFile* TFileList::Find(TFileKind kind, const std::string& name) {
    std::lock_guard guard(lock_);
    return FindLocked(kind, name);
}

void TFileList::Unregister(TAbstractFile* file) {
    std::erase_if(files_, [file](const auto& f) { return f.get() == file; });
}

int TFileList::CreateFile(TFileKind kind, const std::string& name, bool temporary,
                          TAbstractFile*& file) {
    std::lock_guard guard(lock_);
    file = nullptr;
    if (BaseName(name).empty()) return Neg(RERUZO_OSENOENT);
    TAbstractFile* f = FindLocked(kind, name);
    if (f && f->OpenCount() > 0) return Neg(RERUZO_OSEACCES);
    const bool fresh = f == nullptr;
    if (fresh) {
        if (kind == TFileKind::Disk) {
            files_.push_back(std::make_unique<TPhysicalFile>(name));
        } else {
            files_.push_back(std::make_unique<TMemoryFile>(name));
        }
        f = files_.back().get();
    }
    int handle = 0;
    const int r = f->Create(temporary, handle);
    if (r < 0) {
        if (fresh || kind == TFileKind::Disk) Unregister(f);
        return r;
    }
    file = f;
    return handle;
}

int TFileList::OpenFile(TFileKind kind, const std::string& name, bool readOnly, bool exclusive,
                        TAbstractFile*& file, bool& forcedReadOnly) {
    std::lock_guard guard(lock_);
    file = nullptr;
    forcedReadOnly = false;
    TAbstractFile* f = FindLocked(kind, name);
    bool fresh = false;
    if (f && f->OpenCount() > 0 && (f->Exclusive() || exclusive)) return Neg(RERUZO_OSEACCES);
    if (!f) {
        if (kind == TFileKind::Memory) return Neg(RERUZO_OSENOENT);
        files_.push_back(std::make_unique<TPhysicalFile>(name));
        f = files_.back().get();
        fresh = true;
    }
    int handle = 0;
    const int r = f->Open(readOnly, exclusive, handle, forcedReadOnly);
    if (r < 0) {
        // A failed open leaves nothing registered open.
        if (fresh) Unregister(f);
        return r;
    }
    file = f;
    return handle;
}

int TFileList::CloseFile(TAbstractFile* file, TFileKind kind, int handle) {
    std::lock_guard guard(lock_);
    const bool registered = std::any_of(files_.begin(), files_.end(),
                                        [file](const auto& f) { return f.get() == file; });
    if (!registered || file->Kind() != kind || file->OpenCount() == 0) return Neg(RERUZO_OSENOENT);
    const int r = file->Close(handle);
    if (r < 0) return r;
    if (file->OpenCount() == 0) {
        // Disk files leave the registry; memory files keep their contents for the rest
        // of the process unless they are temporary.
        if (kind == TFileKind::Disk) {
            Unregister(file);
        } else if (file->Temporary()) {
            file->Delete();
            Unregister(file);
        }
    }
    return 0;
}

int TFileList::RenameFile(TFileKind kind, const std::string& name, const std::string& newName) {
    std::lock_guard guard(lock_);
    if (TAbstractFile* f = FindLocked(kind, name)) {
        if (f->OpenCount() > 0) return Neg(RERUZO_OSEACCES);
        if (FindLocked(kind, newName)) return Neg(RERUZO_OSEACCES);
        return f->Rename(newName);
    }
    if (kind == TFileKind::Memory) return Neg(RERUZO_OSENOENT);
    const int r = quorvane::os::RenameFile(name, newName);
    return r < 0 ? Neg(EngineCodeOfErrno(-r)) : 0;
}

int TFileList::DeleteFile(TFileKind kind, const std::string& name) {
    std::lock_guard guard(lock_);
    if (TAbstractFile* f = FindLocked(kind, name)) {
        if (f->OpenCount() > 0) return Neg(RERUZO_OSEACCES);
        const int r = f->Delete();
        if (r == 0) Unregister(f);
        return r;
    }
    if (kind == TFileKind::Memory) return Neg(RERUZO_OSENOENT);
    const int r = quorvane::os::RemoveFile(name);
    return r < 0 ? Neg(EngineCodeOfErrno(-r)) : 0;
}

bool TFileList::FileExists(TFileKind kind, const std::string& name) {
    std::lock_guard guard(lock_);
    if (FindLocked(kind, name)) return true;
    return kind == TFileKind::Disk && quorvane::os::StatFile(name).exists;
}

int TFileList::CopyTo(TAbstractFile* file, int handle, const std::string& newName) {
    std::lock_guard guard(lock_);
    std::lock_guard fileGuard(file->Lock());
    TAbstractFile* target = nullptr;
    const int targetHandle = CreateFile(file->Kind(), newName, false, target);
    if (targetHandle < 0) return targetHandle;
    TAbstractFile::THandle* h = file->FindHandle(handle);
    const std::uint64_t saved = h ? h->position : 0;
    int result = 0;
    std::vector<std::uint8_t> piece(kCopyPieceSize);
    if (file->Seek(handle, soBeginning, 0) < 0) result = Neg(RERUZO_READERR);
    while (result == 0) {
        const std::int64_t n = file->Read(handle, piece.data(), piece.size());
        if (n < 0) result = static_cast<int>(n);
        if (n <= 0) break;
        if (target->Write(targetHandle, piece.data(), static_cast<std::uint64_t>(n)) != n)
            result = Neg(RERUZO_WRITEERR);
    }
    file->Seek(handle, soBeginning, static_cast<std::int64_t>(saved));
    CloseFile(target, target->Kind(), targetHandle);
    return result;
}

int TFileList::CopyFrom(TAbstractFile* file, int handle, const std::string& name) {
    std::lock_guard guard(lock_);
    std::lock_guard fileGuard(file->Lock());
    TAbstractFile* source = nullptr;
    bool forced = false;
    const int sourceHandle = OpenFile(file->Kind(), name, true, false, source, forced);
    if (sourceHandle < 0) return sourceHandle;
    int result = file->Seek(handle, soBeginning, 0) < 0 ? Neg(RERUZO_WRITEERR) : 0;
    std::vector<std::uint8_t> piece(kCopyPieceSize);
    while (result == 0) {
        const std::int64_t n = source->Read(sourceHandle, piece.data(), piece.size());
        if (n < 0) result = static_cast<int>(n);
        if (n <= 0) break;
        if (file->Write(handle, piece.data(), static_cast<std::uint64_t>(n)) != n)
            result = Neg(RERUZO_WRITEERR);
    }
    // The copy replaces the whole contents: cut what lay beyond the copied length.
    if (result == 0 && file->Write(handle, nullptr, 0) < 0) result = Neg(RERUZO_WRITEERR);
    CloseFile(source, source->Kind(), sourceHandle);
    return result;
}

// ---- TFileHandler ----------------------------------------------------------------------

TFileHandler::~TFileHandler() {
    if (file_) TFileList::Instance().CloseFile(file_, Kind(), handle_);
}

void TFileHandler::SetErrorContext(std::string directory, std::string table) {
    errorDirectory_ = std::move(directory);
    errorTable_ = std::move(table);
}

void TFileHandler::Raise(std::uint16_t code) const {
    RaiseEngineError(code, {.database = errorDirectory_, .table = errorTable_.empty() ? name_ : errorTable_});
}

void TFileHandler::RaiseIfNegative(std::int64_t result) const {
    if (result < 0) Raise(static_cast<std::uint16_t>(-result));
}

std::string TFileHandler::ResolvedName() const {
    if (inMemory_) return name_;
    std::string resolved = quorvane::files::ResolveCaseInsensitive(name_);
    std::error_code ec;
    auto absolute = std::filesystem::absolute(resolved, ec);
    return ec ? resolved : absolute.lexically_normal().string();
}

void TFileHandler::Open() {
    if (file_) return;
    const std::string name = ResolvedName();
    TFileList& list = TFileList::Instance();
    if (!list.FileExists(Kind(), name)) Raise(RERUZO_OSENOENT);
    bool forced = false;
    TAbstractFile* file = nullptr;
    const int handle = list.OpenFile(Kind(), name, readOnly_, exclusive_, file, forced);
    RaiseIfNegative(handle);
    file_ = file;
    handle_ = handle;
    forcedReadOnly_ = forced;
    name_ = name;
}

void TFileHandler::Close() {
    if (!file_) return;
    TAbstractFile* file = file_;
    file_ = nullptr;
    TFileList::Instance().CloseFile(file, Kind(), handle_);
    handle_ = 0;
}

void TFileHandler::Create() {
    if (file_) Raise(RERUZO_OSEACCES);
    std::string name = inMemory_ ? name_ : quorvane::files::NormalizeSeparators(name_);
    if (!inMemory_) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(name, ec);
        if (!ec) name = absolute.lexically_normal().string();
    }
    TAbstractFile* file = nullptr;
    const int handle = TFileList::Instance().CreateFile(Kind(), name, temporary_, file);
    RaiseIfNegative(handle);
    file_ = file;
    handle_ = handle;
    forcedReadOnly_ = false;
    name_ = name;
}

void TFileHandler::Delete() { RaiseIfNegative(TFileList::Instance().DeleteFile(Kind(), ResolvedName())); }

void TFileHandler::Rename(const std::string& newName) {
    const int r = TFileList::Instance().RenameFile(Kind(), ResolvedName(), newName);
    if (r < 0) {
        RaiseEngineError(static_cast<std::uint16_t>(-r),
                         {.database = errorDirectory_, .table = errorTable_.empty() ? name_ : errorTable_,
                          .text = newName});
    }
    name_ = newName;
}

void TFileHandler::CopyTo(const std::string& newName) {
    if (!file_) Raise(RERUZO_READERR);
    RaiseIfNegative(TFileList::Instance().CopyTo(file_, handle_, newName));
}

void TFileHandler::CopyFrom(const std::string& name) {
    if (!file_) Raise(RERUZO_WRITEERR);
    RaiseIfNegative(TFileList::Instance().CopyFrom(file_, handle_, name));
}

std::uint64_t TFileHandler::Read(void* buffer, std::uint64_t count, bool allowShort) {
    if (!file_) Raise(RERUZO_READERR);
    const std::int64_t n = file_->Read(handle_, buffer, count);
    if (n < 0 || (!allowShort && static_cast<std::uint64_t>(n) != count)) Raise(RERUZO_READERR);
    return static_cast<std::uint64_t>(n);
}

void TFileHandler::Write(const void* buffer, std::uint64_t count) {
    if (!file_) Raise(RERUZO_WRITEERR);
    const std::int64_t n = file_->Write(handle_, buffer, count);
    if (n < 0 || static_cast<std::uint64_t>(n) != count) Raise(RERUZO_WRITEERR);
}

void TFileHandler::Flush() {
    // A batch flushes each file once, when it commits.
    if (journal_ && journal_->Batching()) return;
    DirectFlush();
}

void TFileHandler::DirectFlush() {
    if (!file_ || !file_->Flush(handle_)) Raise(RERUZO_WRITEERR);
}

std::uint64_t TFileHandler::Seek(int origin, std::int64_t offset) {
    if (!file_) Raise(RERUZO_OSEBADF);
    const std::int64_t position = file_->Seek(handle_, origin, offset);
    RaiseIfNegative(position);
    return static_cast<std::uint64_t>(position);
}

std::uint64_t TFileHandler::FileSize() {
    if (journal_ && journal_->Holds(journalFile_)) return journal_->Size(journalFile_);
    return DirectSize();
}

std::uint64_t TFileHandler::DirectSize() {
    TFileGuard guard(*this);
    const std::uint64_t saved = Seek(soCurrent, 0);
    const std::uint64_t size = Seek(soEnd, 0);
    Seek(soBeginning, static_cast<std::int64_t>(saved));
    return size;
}

bool TFileHandler::LockRange(bool lock, std::uint64_t offset, std::uint64_t length) {
    if (!file_) return false;
    return lock ? file_->LockRegion(offset, length) : file_->UnlockRegion(offset, length);
}

bool TFileHandler::Exists() { return file_ || TFileList::Instance().FileExists(Kind(), ResolvedName()); }

void TFileHandler::Enter() {
    if (file_) file_->Lock().lock();
}

void TFileHandler::Leave() {
    if (file_) file_->Lock().unlock();
}

std::uint64_t TFileHandler::ReadAt(std::uint64_t offset, void* buffer, std::uint64_t count,
                                   bool allowShort) {
    if (journal_ && journal_->Holds(journalFile_)) {
        TFileGuard guard(*this);
        const std::uint64_t n = journal_->Read(journalFile_, offset, buffer, count);
        if (!allowShort && n != count) Raise(RERUZO_READERR);
        return n;
    }
    return DirectReadAt(offset, buffer, count, allowShort);
}

std::uint64_t TFileHandler::DirectReadAt(std::uint64_t offset, void* buffer, std::uint64_t count,
                                         bool allowShort) {
    TFileGuard guard(*this);
    Seek(soBeginning, static_cast<std::int64_t>(offset));
    return Read(buffer, count, allowShort);
}

void TFileHandler::WriteAt(std::uint64_t offset, const void* buffer, std::uint64_t count) {
    if (!journal_) return DirectWriteAt(offset, buffer, count);
    if (!file_) Raise(RERUZO_WRITEERR);
    TFileGuard guard(*this);
    // A write outside a batch is a batch of its own.
    TJournalBatch batch(journal_);
    journal_->Write(journalFile_, offset, buffer, count);
    batch.Commit();
}

void TFileHandler::DirectWriteAt(std::uint64_t offset, const void* buffer, std::uint64_t count) {
    TFileGuard guard(*this);
    Seek(soBeginning, static_cast<std::int64_t>(offset));
    Write(buffer, count);
}

std::array<std::uint8_t, 4> TFileHandler::ReadCounterBytes() {
    std::array<std::uint8_t, 4> bytes{};
    ReadAt(0, bytes.data(), bytes.size());
    return bytes;
}

void TFileHandler::TruncateAt(std::uint64_t offset) {
    if (!journal_) return DirectTruncateAt(offset);
    if (!file_) Raise(RERUZO_WRITEERR);
    TFileGuard guard(*this);
    TJournalBatch batch(journal_);
    journal_->Truncate(journalFile_, offset);
    batch.Commit();
}

void TFileHandler::DirectTruncateAt(std::uint64_t offset) {
    TFileGuard guard(*this);
    Seek(soBeginning, static_cast<std::int64_t>(offset));
    Write(nullptr, 0);
}

}  // namespace reruzo
