// Swapping a rebuilt table's files in for the old ones behind a marker file (see
// table_swap.h).
#include "engine/table/table_swap.h"

#include <algorithm>
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

// Renames what is left of the rebuilt table onto the table's names. `rebuiltHas`
// lists the extensions of the files the rebuilt table has: an old file without a
// counterpart there (a BLOB file) goes.
void RenameRebuilt(const std::string& directory, const std::string& table, const std::string& rebuilt,
                   const std::string& rebuiltHas) {
    for (const TTableFile& f : kFiles) {
        const std::string from = TableFileName(directory, rebuilt, f.extension);
        const std::string to = TableFileName(directory, table, f.extension);
        if (rebuiltHas.find(f.extension) != std::string::npos) {
            if (Exists(from) && os::RenameFile(from, to) < 0 && Exists(from)) Fail(to);
        } else if (const int r = os::RemoveFile(to); r < 0 && r != -ENOENT) {
            Fail(to);
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
    // The rebuilt table's name and the files it has, each line ending with a line
    // break: a marker cut short names nothing.
    std::string has;
    for (const TTableFile& f : kFiles) {
        if (Exists(TableFileName(directory, rebuilt, f.extension))) has += f.extension;
    }
    const std::string text = rebuilt + "\n" + has + "\n";
    const bool written = os::Truncate(fd, 0) == 0 &&
                         os::WriteAt(fd, 0, text.data(), text.size()) == static_cast<std::int64_t>(text.size()) &&
                         os::Sync(fd) == 0;
    os::CloseFile(fd);
    if (!written) {
        os::RemoveFile(marker);
        Fail(marker);
    }
    SyncFolder(directory);
    RenameRebuilt(directory, table, rebuilt, has);
    if (const int r = os::RemoveFile(marker); r < 0 && r != -ENOENT) Fail(marker);
    SyncFolder(directory);
}

bool FinishTableSwap(const std::string& directory, const std::string& table) {
    const std::string marker = TableSwapMarker(directory, table);
    const int fd = os::OpenExisting(marker, false);
    if (fd < 0) return false;
    std::string text(512, '\0');
    const std::int64_t n = os::ReadAt(fd, 0, text.data(), text.size());
    os::CloseFile(fd);
    text.resize(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
    // A marker that is not two whole lines (written only in part) was never synced: its
    // swap had not begun, and the old table is whole.
    const auto first = text.find('\n');
    if (first != std::string::npos && first > 0 && text.size() > first + 1 && text.back() == '\n' &&
        text.find('\n', first + 1) == text.size() - 1) {
        const std::string rebuilt = text.substr(0, first);
        const std::string has = text.substr(first + 1, text.size() - first - 2);
        if (rebuilt.find_first_of("/\\") == std::string::npos && has.find(".DAT") != std::string::npos) {
            RenameRebuilt(directory, table, rebuilt, has);
        }
    }
    if (const int r = os::RemoveFile(marker); r < 0 && r != -ENOENT) Fail(marker);
    SyncFolder(directory);
    return true;
}

}  // namespace reruzo
