// Path normalisation and case-insensitive lookup of table files.
#include "platform/file_names.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string CurrentDirectory() {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return "./";
        buf.resize(buf.size() * 2);
    }
    return NormalizeDirectory(buf.data());
}

}  // namespace quorvane::files
