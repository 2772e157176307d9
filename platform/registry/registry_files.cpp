// Writing registry files safely.
#include "platform/registry/registry_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>

#include "platform/registry/registry_store.h"

namespace quorvane::registry::files {
namespace {

std::string FolderOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

void SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

// The folders this process holds, by device and inode, with the count of their locks.
struct TFolderLock::THeld {
    dev_t device;
    ino_t inode;
    int fd;
    int count;
};

namespace {

std::mutex heldMutex;
std::list<TFolderLock::THeld>& HeldFolders() {
    static std::list<TFolderLock::THeld> held;
    return held;
}

}  // namespace

TFolderLock::TFolderLock(const std::string& dir, std::chrono::milliseconds wait) {
    const std::lock_guard<std::mutex> guard(heldMutex);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat s {};
    if (fd < 0 || ::fstat(fd, &s) != 0) {
        if (fd >= 0) ::close(fd);
        throw ERegistryError("The registry folder '" + dir + "' cannot be opened");
    }
    std::list<THeld>& folders = HeldFolders();
    for (THeld& held : folders) {
        if (held.device == s.st_dev && held.inode == s.st_ino) {
            ::close(fd);
            ++held.count;
            held_ = &held;
            return;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            const auto ms = wait.count();
            const std::string within =
                ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " milliseconds";
            throw ERegistryError("The registry in '" + dir +
                                 "' is being changed by another Quorvane, which did not finish within " + within +
                                 "; try again later");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    held_ = &folders.emplace_back(THeld{s.st_dev, s.st_ino, fd, 1});
}

TFolderLock::~TFolderLock() {
    const std::lock_guard<std::mutex> guard(heldMutex);
    if (--held_->count > 0) return;
    ::close(held_->fd);
    HeldFolders().remove_if([this](const THeld& held) { return &held == held_; });
}

bool MayWrite(const std::string& path) {
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0) return false;
    if ((s.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string MakeTempBeside(const std::string& path) {
    std::string temp =
        FolderOf(path) + "/." + std::filesystem::path(path).filename().string() + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return {};
    ::close(fd);
    return temp;
}

bool ReplaceWith(const std::string& temp, const std::string& path) {
    bool ok = false;
    const int fd = ::open(temp.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        struct stat old {};
        const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
        ok = ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
    }
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself must reach the disk too.
    SyncFolder(FolderOf(path));
    return true;
}

bool SaveAtomically(const std::string& path, const std::string& contents) {
    const std::string temp = MakeTempBeside(path);
    if (temp.empty()) return false;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0;
    std::size_t done = 0;
    while (ok && done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    return ReplaceWith(temp, path);
}

}  // namespace quorvane::registry::files
