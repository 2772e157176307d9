// Swapping a rebuilt table's files in for the old ones behind a marker file (see
// table_swap.h).
#include "engine/table/table_swap.h"

#include <cerrno>

#include "engine/errors/engine_errors.h"
#include "engine/storage/data_format.h"
#include "platform/os_file.h"

namespace reruzo {
namespace {

namespace os = quorvane::os;

struct TTableFile {
    const char* extension;
    const char* backup;
};
// The data file last: a table whose data file has the new name is the new table.
constexpr TTableFile kFiles[] = {{".IDX", ".IBK"}, {".BLB", ".BBK"}, {".DAT", ".DBK"}};

bool Exists(const std::string& path) { return os::StatFile(path).exists; }

[[noreturn]] void Fail(const std::string& path) { RaiseEngineError(RERUZO_WRITEERR, {.table = path}); }

void SyncFolder(const std::string& directory) {
    if (os::SyncFolder(directory) < 0) Fail(directory);
}

// Renames what is left of the rebuilt table onto the table's names; an old file the
// rebuilt table has no counterpart of goes, unless the data file is already in place
// (then the old files are gone already, or were the rebuilt table's own).
void RenameRebuilt(const std::string& directory, const std::string& table, const std::string& rebuilt) {
    const bool dataMoved = !Exists(TableFileName(directory, rebuilt, ".DAT"));
    for (const TTableFile& f : kFiles) {
        const std::string from = TableFileName(directory, rebuilt, f.extension);
        const std::string to = TableFileName(directory, table, f.extension);
        if (Exists(from)) {
            if (os::RenameFile(from, to) < 0 && Exists(from)) Fail(to);
        } else if (!dataMoved && Exists(to)) {
            if (const int r = os::RemoveFile(to); r < 0 && r != -ENOENT) Fail(to);
        }
    }
    SyncFolder(directory);
}

}  // namespace

std::string TableSwapMarker(const std::string& directory, const std::string& table) {
    return TableFileName(directory, table, ".RST");
}

void SwapTableFiles(const std::string& directory, const std::string& table, const std::string& rebuilt, bool backup) {
    if (backup) {
        for (const TTableFile& f : kFiles) {
            const std::string from = TableFileName(directory, table, f.extension);
            const std::string to = TableFileName(directory, table, f.backup);
            if (const int r = os::RemoveFile(to); r < 0 && r != -ENOENT) Fail(to);
            if (Exists(from) && os::LinkFile(from, to) < 0) Fail(to);
        }
    }
    // The marker names the rebuilt table; once it is on the disk the swap is as good as
    // done.
    const std::string marker = TableSwapMarker(directory, table);
    const int fd = os::OpenOrCreate(marker);
    if (fd < 0) Fail(marker);
    // The name ends with a line break: a marker cut short names nothing.
    const std::string text = rebuilt + "\n";
    const bool written = os::Truncate(fd, 0) == 0 &&
                         os::WriteAt(fd, 0, text.data(), text.size()) == static_cast<std::int64_t>(text.size()) &&
                         os::Sync(fd) == 0;
    os::CloseFile(fd);
    if (!written) {
        os::RemoveFile(marker);
        Fail(marker);
    }
    SyncFolder(directory);
    RenameRebuilt(directory, table, rebuilt);
    if (const int r = os::RemoveFile(marker); r < 0 && r != -ENOENT) Fail(marker);
    SyncFolder(directory);
}

bool FinishTableSwap(const std::string& directory, const std::string& table) {
    const std::string marker = TableSwapMarker(directory, table);
    const int fd = os::OpenExisting(marker, false);
    if (fd < 0) return false;
    std::string rebuilt(256, '\0');
    const std::int64_t n = os::ReadAt(fd, 0, rebuilt.data(), rebuilt.size());
    os::CloseFile(fd);
    // A marker that names nothing (written only in part) was never synced: its swap had
    // not begun, and the old table is whole.
    if (n > 1 && rebuilt[static_cast<std::size_t>(n) - 1] == '\n') {
        rebuilt.resize(static_cast<std::size_t>(n) - 1);
        if (rebuilt.find_first_of("/\\\n") == std::string::npos) RenameRebuilt(directory, table, rebuilt);
    }
    if (const int r = os::RemoveFile(marker); r < 0 && r != -ENOENT) Fail(marker);
    SyncFolder(directory);
    return true;
}

}  // namespace reruzo
