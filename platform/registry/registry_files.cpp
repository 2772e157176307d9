// Writing registry files safely.
#include "platform/registry/registry_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

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
