// POSIX implementation of the file primitives.
#include "platform/os_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quorvane::os {

TFileStatus StatFile(const std::string& path, int* error) {
    TFileStatus st;
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0) {
        if (error) *error = errno;
        return st;
    }
    st.exists = true;
    st.regular = S_ISREG(s.st_mode);
    st.size = static_cast<std::uint64_t>(s.st_size);
    // A file without any write permission counts as read-only even for the super-user,
    // as the read-only attribute does; otherwise ask whether we may write it.
    st.writable = (s.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                  ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    return st;
}

int OpenExisting(const std::string& path, bool readWrite) {
    const int fd = ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

int OpenOrCreate(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd >= 0 ? fd : -errno;
}

void CloseFile(int fd) {
    if (fd >= 0) ::close(fd);
}

std::int64_t ReadAt(int fd, std::uint64_t offset, void* buffer, std::uint64_t count) {
    auto* p = static_cast<char*>(buffer);
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t WriteAt(int fd, std::uint64_t offset, const void* buffer, std::uint64_t count) {
    const auto* p = static_cast<const char*>(buffer);
    std::uint64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(fd, p + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) return -EIO;
        done += static_cast<std::uint64_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

int Truncate(int fd, std::uint64_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : -errno;
}

int Sync(int fd) { return ::fsync(fd) == 0 ? 0 : -errno; }

std::int64_t Size(int fd) {
    struct stat s {};
    if (::fstat(fd, &s) != 0) return -errno;
    return static_cast<std::int64_t>(s.st_size);
}

namespace {
bool SetLock(int fd, short type, std::uint64_t offset, std::uint64_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;  // required for open-file-description locks
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}
}  // namespace

bool LockRange(int fd, std::uint64_t offset, std::uint64_t length, bool shared) {
    return SetLock(fd, shared ? F_RDLCK : F_WRLCK, offset, length);
}

bool UnlockRange(int fd, std::uint64_t offset, std::uint64_t length) {
    return SetLock(fd, F_UNLCK, offset, length);
}

int RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : -errno;
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : -errno; }

int LinkFile(const std::string& from, const std::string& to) {
    return ::link(from.c_str(), to.c_str()) == 0 ? 0 : -errno;
}

int SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const int result = ::fsync(fd) == 0 ? 0 : -errno;
    ::close(fd);
    return result;
}

}  // namespace quorvane::os
