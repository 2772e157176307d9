// Thin POSIX layer under the engine's file layer: positioned reads and writes,
// truncation, flushing, and open-file-description byte-range locks (which conflict
// between processes and between different opens of one file, but not between uses
// of the same descriptor). Every call returns -errno on failure.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane::os {

struct TFileStatus {
    bool exists = false;
    bool regular = false;
    bool writable = false;  // the current user may write it (write permission, writable mount)
    std::uint64_t size = 0;
};

// Status of a path; `exists` is false when it cannot be read (errno in `error`).
TFileStatus StatFile(const std::string& path, int* error = nullptr);

// Opens an existing file for reading, or for reading and writing. Returns the
// descriptor or -errno.
int OpenExisting(const std::string& path, bool readWrite);
// Opens a file for reading and writing, creating it when missing, without changing
// its contents (the caller truncates once it holds the file). Returns the descriptor
// or -errno.
int OpenOrCreate(const std::string& path);
void CloseFile(int fd);

// Transfers exactly `count` bytes unless the end of the file comes first; returns the
// number of bytes moved or -errno.
std::int64_t ReadAt(int fd, std::uint64_t offset, void* buffer, std::uint64_t count);
std::int64_t WriteAt(int fd, std::uint64_t offset, const void* buffer, std::uint64_t count);
int Truncate(int fd, std::uint64_t size);
int Sync(int fd);
std::int64_t Size(int fd);

// Non-blocking byte-range locks on [offset, offset + length). `shared` takes a read
// lock, else a write lock. True on success; false when another open holds a
// conflicting lock (or the call failed).
bool LockRange(int fd, std::uint64_t offset, std::uint64_t length, bool shared);
bool UnlockRange(int fd, std::uint64_t offset, std::uint64_t length);

int RenameFile(const std::string& from, const std::string& to);
int RemoveFile(const std::string& path);
// A second name for the file `from` (a hard link); -EEXIST when `to` exists.
int LinkFile(const std::string& from, const std::string& to);
// Puts the folder's entries (names created, renamed or removed) on the disk.
int SyncFolder(const std::string& folder);

}  // namespace quorvane::os
