// Path normalisation and case-insensitive lookup of table files.
#include "platform/file_names.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace quorvane::files {

std::string NormalizeSeparators(std::string_view path) {
    std::string out(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

std::string NormalizeDirectory(std::string_view directory) {
    std::string out = NormalizeSeparators(directory);
    if (!out.empty() && out.back() != '/') out += '/';
    return out;
}

std::string ResolveCaseInsensitive(std::string_view pathView) {
    std::string path = NormalizeSeparators(pathView);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return path;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return path;
    while (const dirent* e = ::readdir(dir.get())) {
        if (::strcasecmp(e->d_name, leaf.c_str()) == 0)
            return (slash == std::string::npos ? std::string() : folder) + e->d_name;
    }
    return path;
}

std::string ResolveDirectoryCaseInsensitive(std::string_view directory) {
    std::string path = NormalizeDirectory(directory);
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) == 0) return path;
    std::string resolved = path[0] == '/' ? "/" : "";
    std::size_t start = path[0] == '/' ? 1 : 0;
    while (start < path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty()) continue;
        std::string candidate = resolved + part;
        if (::stat(candidate.c_str(), &st) != 0) {
            candidate = ResolveCaseInsensitive(candidate);
        }
        resolved = candidate + "/";
    }
    return resolved;
}

std::string CanonicalDirectory(std::string_view directory) {
    // "." and ".." are taken lexically first, so that a step through a missing folder
    // does not hide the folder the path ends in.
    const std::string lexical = std::filesystem::path(NormalizeSeparators(directory)).lexically_normal().string();
    const std::string resolved = ResolveDirectoryCaseInsensitive(lexical);
    if (resolved.empty()) return resolved;
    char* real = ::realpath(resolved.c_str(), nullptr);
    if (!real) return resolved;
    std::string out = NormalizeDirectory(real);
    std::free(real);
    return out;
}

std::string CurrentDirectory() {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return "./";
        buf.resize(buf.size() * 2);
    }
    return NormalizeDirectory(buf.data());
}

}  // namespace quorvane::files
