// Engine sessions and database directories, in the least form that opening tables
// needs: the process's default session, which remembers the current directory at
// the moment it was created (the default directory of unnamed databases), and
// directory objects naming the folder a database's tables live in.
#pragma once

#include <memory>
#include <string>

namespace reruzo {

class TDataDirectory {
public:
    TDataDirectory(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}
    const std::string& Name() const { return name_; }
    // The folder of the tables, normalised with a trailing "/".
    const std::string& Path() const { return path_; }

private:
    std::string name_;
    std::string path_;
};

class TDataSession {
public:
    // The process's one shared engine session, created on first use.
    static TDataSession& Default();

    // The process's current directory when the session was created.
    const std::string& DefaultDirectory() const { return defaultDirectory_; }

    // Opens the directory `path` under the database name `name`; an empty path means
    // the session's default directory.
    std::shared_ptr<TDataDirectory> OpenDirectory(const std::string& name, const std::string& path);

private:
    TDataSession();
    std::string defaultDirectory_;
};

}  // namespace reruzo
