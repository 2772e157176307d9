// File services the registry stores share: whether a file may be written, and
// replacing a file whole through a temporary file beside it, so that the file on disk
// is always either the old or the new version.
#pragma once

#include <chrono>
#include <string>

namespace quorvane::registry::files {

// Holds a folder for one process at a time: an exclusive lock on the folder itself
// (nothing is created in it), so that two processes changing the registry files of
// one folder take turns instead of writing over each other's changes. Locks of one
// process on one folder share the process's hold, so stores of one process never
// wait for each other. Waits up to `wait` for another process to let go, then
// raises ERegistryError.
class TFolderLock {
  public:
    TFolderLock(const std::string& dir, std::chrono::milliseconds wait);
    ~TFolderLock();
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    struct THeld;

  private:
    THeld* held_ = nullptr;
};

// Whether the folder or file `path` may be written. Anything without a single write
// permission bit counts as read-only, for the super-user too.
bool MayWrite(const std::string& path);

// Creates an empty temporary file in the folder of `path`; its name, or "" when it
// cannot.
std::string MakeTempBeside(const std::string& path);
// Gives `temp` the permissions of `path` (0644 when `path` is missing), flushes it to
// disk and renames it over `path`. False, with `temp` removed and `path` untouched,
// when a step fails.
bool ReplaceWith(const std::string& temp, const std::string& path);
// Writes `contents` into a temporary file and replaces `path` with it.
bool SaveAtomically(const std::string& path, const std::string& contents);

}  // namespace quorvane::registry::files
