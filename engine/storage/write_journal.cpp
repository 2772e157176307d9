// The rollback journal: batching the writes of a table's files, saving what they
// overwrite, and putting it back after a crash.
#include "engine/storage/write_journal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/file_layer.h"
#include "platform/os_file.h"

namespace reruzo {
namespace {

constexpr char kMagic[8] = {'R', 'R', 'Z', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kRecordHeadBytes = 16;
constexpr std::uint8_t kKindSize = 1;
constexpr std::uint8_t kKindBytes = 2;
// Saved bytes are written in records of at most this many; a longer length in a
// record read back is damage.
constexpr std::uint32_t kMaxRecordBytes = 1u << 20;

std::atomic<std::uint64_t> g_spillBytes{kJournalSpillBytes};

std::uint64_t Fnv(std::uint64_t hash, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        hash ^= p[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

std::uint64_t SaltedHash(std::uint64_t salt, const std::uint8_t* p, std::size_t n) {
    std::uint8_t s[8];
    PutLE(s, salt);
    return Fnv(Fnv(14695981039346656037ull, s, 8), p, n);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

void SetJournalSpillBytesForTests(std::uint64_t bytes) { g_spillBytes = bytes; }

bool JournalExists(const std::string& path) { return quorvane::os::StatFile(path).exists; }

bool RollBackJournal(const std::string& path, TJournalFiles& files) {
    const int fd = quorvane::os::OpenExisting(path, false);
    if (fd < 0) {
        if (fd == -ENOENT) return false;
        RaiseEngineError(EngineCodeOfErrno(-fd), {.text = path});
    }
    struct TCloser {
        int fd;
        ~TCloser() { quorvane::os::CloseFile(fd); }
    } closer{fd};

    std::uint8_t header[kHeaderBytes];
    std::uint64_t salt = 0;
    bool valid = quorvane::os::ReadAt(fd, 0, header, kHeaderBytes) == static_cast<std::int64_t>(kHeaderBytes) &&
                 std::memcmp(header, kMagic, 8) == 0 &&
                 Fnv(14695981039346656037ull, header, 16) == GetLE<std::uint64_t>(header + 16);
    if (valid) salt = GetLE<std::uint64_t>(header + 8);

    std::array<std::optional<std::uint64_t>, kJournalFiles> sizes;
    std::array<bool, kJournalFiles> written{};
    std::uint64_t at = kHeaderBytes;
    std::vector<std::uint8_t> record;
    while (valid) {
        std::uint8_t head[kRecordHeadBytes];
        if (quorvane::os::ReadAt(fd, at, head, kRecordHeadBytes) != static_cast<std::int64_t>(kRecordHeadBytes)) break;
        const std::uint8_t kind = head[0];
        const int file = head[1];
        const std::uint32_t length = GetLE<std::uint32_t>(head + 4);
        if ((kind != kKindSize && kind != kKindBytes) || file >= kJournalFiles || length > kMaxRecordBytes ||
            (kind == kKindSize && length != 0))
            break;
        record.resize(kRecordHeadBytes + length + 8);
        if (quorvane::os::ReadAt(fd, at, record.data(), record.size()) != static_cast<std::int64_t>(record.size()))
            break;
        if (SaltedHash(salt, record.data(), kRecordHeadBytes + length) !=
            GetLE<std::uint64_t>(record.data() + kRecordHeadBytes + length))
            break;
        const std::uint64_t value = GetLE<std::uint64_t>(head + 8);
        if (kind == kKindSize) {
            sizes[static_cast<std::size_t>(file)] = value;
        } else if (files.Present(file)) {
            files.WriteAt(file, value, record.data() + kRecordHeadBytes, length);
            written[static_cast<std::size_t>(file)] = true;
        }
        at += record.size();
    }
    for (int f = 0; f < kJournalFiles; ++f) {
        const auto i = static_cast<std::size_t>(f);
        if (!files.Present(f)) continue;
        if (sizes[i]) files.Truncate(f, *sizes[i]);
        if (sizes[i] || written[i]) files.Sync(f);
    }
    if (const int r = quorvane::os::RemoveFile(path); r < 0 && r != -ENOENT)
        RaiseEngineError(EngineCodeOfErrno(-r), {.text = path});
    return true;
}

// ---- Recovery through files of its own ------------------------------------------------

TJournalRecovery::TJournalRecovery(std::array<std::string, kJournalFiles> paths, std::string directory,
                                   std::string table)
    : paths_(std::move(paths)), directory_(std::move(directory)), table_(std::move(table)) {}

TJournalRecovery::~TJournalRecovery() {
    for (int fd : fds_) quorvane::os::CloseFile(fd);
}

void TJournalRecovery::Raise(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_, .table = table_});
}

void TJournalRecovery::Open() {
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        if (paths_[i].empty() || fds_[i] >= 0) continue;
        const int fd = quorvane::os::OpenExisting(paths_[i], true);
        if (fd == -ENOENT) continue;
        if (fd == -EACCES || fd == -EROFS || fd == -EPERM) Raise(RERUZO_FILENOACCESS);
        if (fd < 0) Raise(EngineCodeOfErrno(-fd));
        fds_[i] = fd;
    }
}

bool TJournalRecovery::Lock(int file, std::uint64_t offset, std::uint64_t length, bool shared) {
    const int fd = fds_[static_cast<std::size_t>(file)];
    return fd < 0 || quorvane::os::LockRange(fd, offset, length, shared);
}

bool TJournalRecovery::Present(int file) { return fds_[static_cast<std::size_t>(file)] >= 0; }

void TJournalRecovery::WriteAt(int file, std::uint64_t offset, const void* data, std::uint64_t count) {
    const std::int64_t n = quorvane::os::WriteAt(fds_[static_cast<std::size_t>(file)], offset, data, count);
    if (n != static_cast<std::int64_t>(count)) Raise(RERUZO_WRITEERR);
}

void TJournalRecovery::Truncate(int file, std::uint64_t size) {
    if (quorvane::os::Truncate(fds_[static_cast<std::size_t>(file)], size) < 0) Raise(RERUZO_WRITEERR);
}

void TJournalRecovery::Sync(int file) {
    if (quorvane::os::Sync(fds_[static_cast<std::size_t>(file)]) < 0) Raise(RERUZO_WRITEERR);
}

// ---- The writer's journal ---------------------------------------------------------------

// The attached handlers as the files a rollback restores, written past the journal.
class TWriteJournal::THandlerFiles : public TJournalFiles {
public:
    explicit THandlerFiles(TWriteJournal& journal) : journal_(journal) {}
    bool Present(int file) override { return Handler(file) != nullptr; }
    void WriteAt(int file, std::uint64_t offset, const void* data, std::uint64_t count) override {
        Handler(file)->DirectWriteAt(offset, data, count);
    }
    void Truncate(int file, std::uint64_t size) override { Handler(file)->DirectTruncateAt(size); }
    void Sync(int file) override { Handler(file)->DirectFlush(); }

private:
    TFileHandler* Handler(int file) {
        TFileHandler* h = journal_.files_[static_cast<std::size_t>(file)].handler;
        return h && h->IsOpen() ? h : nullptr;
    }
    TWriteJournal& journal_;
};

TWriteJournal::TWriteJournal(std::string path) : path_(std::move(path)) {}

TWriteJournal::~TWriteJournal() {
    if (depth_ > 0) {
        depth_ = 1;
        Abandon();
    }
    quorvane::os::CloseFile(fd_);
}

void TWriteJournal::Attach(int file, TFileHandler* handler) {
    files_[static_cast<std::size_t>(file)].handler = handler;
}

TWriteJournal::TFileState& TWriteJournal::Touch(int file) {
    TFileState& f = files_[static_cast<std::size_t>(file)];
    if (!f.touched) {
        f.touched = true;
        f.originalSize = f.handler->DirectSize();
        f.size = f.originalSize;
    }
    return f;
}

void TWriteJournal::Write(int file, std::uint64_t offset, const void* data, std::uint64_t count) {
    if (count == 0) {
        // A write of nothing sets the end of the file, as the handlers' writes do.
        Truncate(file, offset);
        return;
    }
    TFileState& f = Touch(file);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::uint64_t end = offset + count;
    auto& extents = f.extents;
    // The first extent that ends after `offset`.
    auto it = extents.upper_bound(offset);
    if (it != extents.begin()) {
        auto before = std::prev(it);
        if (before->first + before->second.size() > offset) it = before;
    }
    if (it != extents.end() && it->first <= offset && it->first + it->second.size() >= end) {
        std::memcpy(it->second.data() + (offset - it->first), bytes, count);  // rewritten in place
    } else {
        std::uint64_t first = offset;
        std::uint64_t last = end;
        auto stop = it;
        while (stop != extents.end() && stop->first < end) {
            first = std::min(first, stop->first);
            last = std::max<std::uint64_t>(last, stop->first + stop->second.size());
            ++stop;
        }
        std::vector<std::uint8_t> merged;
        if (it == stop) {
            merged.assign(bytes, bytes + count);
        } else {
            merged.resize(last - first);
            for (auto e = it; e != stop; ++e) {
                std::memcpy(merged.data() + (e->first - first), e->second.data(), e->second.size());
                pendingBytes_ -= e->second.size();
            }
            std::memcpy(merged.data() + (offset - first), bytes, count);
            extents.erase(it, stop);
        }
        pendingBytes_ += merged.size();
        extents.emplace(first, std::move(merged));
    }
    f.size = std::max(f.size, end);
    if (pendingBytes_ > g_spillBytes.load()) Spill();
}

void TWriteJournal::Truncate(int file, std::uint64_t size) {
    TFileState& f = Touch(file);
    f.cut = f.cut ? std::min(*f.cut, size) : size;
    auto it = f.extents.lower_bound(size);
    for (auto e = it; e != f.extents.end(); ++e) pendingBytes_ -= e->second.size();
    f.extents.erase(it, f.extents.end());
    if (!f.extents.empty()) {
        auto& [first, bytes] = *f.extents.rbegin();
        if (first + bytes.size() > size) {
            pendingBytes_ -= first + bytes.size() - size;
            bytes.resize(size - first);
        }
    }
    f.size = size;
}

std::uint64_t TWriteJournal::Read(int file, std::uint64_t offset, void* buffer, std::uint64_t count) {
    TFileState& f = files_[static_cast<std::size_t>(file)];
    if (offset >= f.size) return 0;
    const std::uint64_t n = std::min(count, f.size - offset);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memset(out, 0, n);
    // What the file holds below a pending cut, then the pending writes over it.
    const std::uint64_t limit = f.cut ? *f.cut : f.size;
    if (offset < limit) f.handler->DirectReadAt(offset, out, std::min(n, limit - offset), true);
    const std::uint64_t end = offset + n;
    auto it = f.extents.upper_bound(offset);
    if (it != f.extents.begin()) --it;
    for (; it != f.extents.end() && it->first < end; ++it) {
        const std::uint64_t first = std::max(offset, it->first);
        const std::uint64_t last = std::min<std::uint64_t>(end, it->first + it->second.size());
        if (first < last) std::memcpy(out + (first - offset), it->second.data() + (first - it->first), last - first);
    }
    return n;
}

void TWriteJournal::AppendRecord(std::vector<std::uint8_t>& out, std::uint8_t kind, int file, std::uint64_t value,
                                 const std::uint8_t* bytes, std::uint32_t count) const {
    const std::size_t at = out.size();
    out.resize(at + kRecordHeadBytes + count + 8);
    std::uint8_t* p = out.data() + at;
    p[0] = kind;
    p[1] = static_cast<std::uint8_t>(file);
    p[2] = p[3] = 0;
    PutLE(p + 4, count);
    PutLE(p + 8, value);
    if (count) std::memcpy(p + kRecordHeadBytes, bytes, count);
    PutLE(p + kRecordHeadBytes + count, SaltedHash(salt_, p, kRecordHeadBytes + count));
}

// Saves the original bytes of [first, last) that the journal does not hold yet.
void TWriteJournal::SaveOriginal(int file, std::uint64_t first, std::uint64_t last, std::vector<std::uint8_t>& out) {
    TFileState& f = files_[static_cast<std::size_t>(file)];
    last = std::min(last, f.originalSize);
    std::vector<std::uint8_t> piece;
    while (first < last) {
        // Skip what is saved already; stop the gap at the next saved range.
        auto next = f.saved.upper_bound(first);
        if (next != f.saved.begin()) {
            auto before = std::prev(next);
            if (before->second > first) {
                first = before->second;
                continue;
            }
        }
        const std::uint64_t gapEnd = next == f.saved.end() ? last : std::min(last, next->first);
        for (std::uint64_t at = first; at < gapEnd;) {
            const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxRecordBytes, gapEnd - at));
            piece.resize(count);
            const std::uint64_t got = f.handler->DirectReadAt(at, piece.data(), count, true);
            if (got == 0) break;
            AppendRecord(out, kKindBytes, file, at, piece.data(), static_cast<std::uint32_t>(got));
            stats_.savedBytes += got;
            at += got;
        }
        // Record the range as saved, merged with its neighbours.
        std::uint64_t lo = first;
        std::uint64_t hi = gapEnd;
        auto after = f.saved.lower_bound(lo);
        if (after != f.saved.begin() && std::prev(after)->second == lo) {
            --after;
            lo = after->first;
        }
        while (after != f.saved.end() && after->first <= hi) {
            hi = std::max(hi, after->second);
            after = f.saved.erase(after);
        }
        f.saved[lo] = hi;
        first = gapEnd;
    }
}

void TWriteJournal::Spill() {
    bool pending = false;
    for (const TFileState& f : files_) pending = pending || !f.extents.empty() || f.cut;
    if (!pending) return;
    TFileHandler* any = nullptr;
    for (const TFileState& f : files_) any = any ? any : f.handler;

    const bool fresh = fd_ < 0;
    std::vector<std::uint8_t> out;
    if (fresh) {
        salt_ = std::random_device{}();
        salt_ = salt_ << 32 ^ std::random_device{}();
        out.resize(kHeaderBytes);
        std::memcpy(out.data(), kMagic, 8);
        PutLE(out.data() + 8, salt_);
        PutLE(out.data() + 16, Fnv(14695981039346656037ull, out.data(), 16));
    }
    for (int file = 0; file < kJournalFiles; ++file) {
        TFileState& f = files_[static_cast<std::size_t>(file)];
        if (f.extents.empty() && !f.cut) continue;
        if (!f.sizeSaved) {
            AppendRecord(out, kKindSize, file, f.originalSize, nullptr, 0);
            f.sizeSaved = true;
        }
        if (f.cut) SaveOriginal(file, *f.cut, f.originalSize, out);
        for (const auto& [first, bytes] : f.extents) SaveOriginal(file, first, first + bytes.size(), out);
    }

    if (fresh) {
        const int fd = quorvane::os::OpenOrCreate(path_);
        if (fd < 0) any->Raise(EngineCodeOfErrno(-fd));
        fd_ = fd;
        journalEnd_ = 0;
        if (quorvane::os::Truncate(fd_, 0) < 0) any->Raise(RERUZO_WRITEERR);
    }
    if (quorvane::os::WriteAt(fd_, journalEnd_, out.data(), out.size()) != static_cast<std::int64_t>(out.size()))
        any->Raise(RERUZO_WRITEERR);
    journalEnd_ += out.size();
    if (quorvane::os::Sync(fd_) < 0) any->Raise(RERUZO_WRITEERR);
    if (fresh) {
        // The journal's name must be on the disk before anything it protects changes.
        const int dir = quorvane::os::OpenExisting(FolderOf(path_), false);
        if (dir >= 0) {
            quorvane::os::Sync(dir);
            quorvane::os::CloseFile(dir);
        }
    }

    for (TFileState& f : files_) {
        if (f.extents.empty() && !f.cut) continue;
        f.applied = true;
        if (f.cut) f.handler->DirectTruncateAt(*f.cut);
        for (const auto& [first, bytes] : f.extents) f.handler->DirectWriteAt(first, bytes.data(), bytes.size());
        // A cut may have been followed by a longer one that extends the file.
        if (f.cut && f.handler->DirectSize() < f.size) f.handler->DirectTruncateAt(f.size);
        f.extents.clear();
        f.cut.reset();
    }
    pendingBytes_ = 0;
    ++stats_.spills;
}

void TWriteJournal::Commit() {
    if (depth_ == 0) return;
    if (--depth_ > 0) return;
    TFileHandler* any = nullptr;
    for (const TFileState& f : files_) any = any ? any : f.handler;
    if (failed_) {
        // A nested batch failed and its error was handled above it: what the batch
        // holds is incomplete, so none of it may reach the files.
        RollBackApplied();
        Reset();
        any->Raise(RERUZO_WRITEERR);
    }
    try {
        Spill();
        for (TFileState& f : files_) {
            if (!f.applied) continue;
            f.handler->DirectFlush();
            ++stats_.fileSyncs;
        }
        if (fd_ >= 0) {
            quorvane::os::CloseFile(fd_);
            fd_ = -1;
            if (const int r = quorvane::os::RemoveFile(path_); r < 0 && r != -ENOENT) any->Raise(EngineCodeOfErrno(-r));
            ++stats_.commits;
        }
    } catch (...) {
        RollBackApplied();
        Reset();
        throw;
    }
    Reset();
}

void TWriteJournal::Abandon() noexcept {
    if (depth_ == 0) return;
    failed_ = true;
    if (--depth_ > 0) return;
    RollBackApplied();
    Reset();
}

void TWriteJournal::RollBackApplied() noexcept {
    for (TFileState& f : files_) {
        f.extents.clear();
        f.cut.reset();
    }
    pendingBytes_ = 0;
    if (fd_ < 0) return;
    quorvane::os::CloseFile(fd_);
    fd_ = -1;
    try {
        THandlerFiles files(*this);
        RollBackJournal(path_, files);
    } catch (...) {
        // The journal stays; the next opener or lock taker rolls it back.
    }
}

void TWriteJournal::Reset() noexcept {
    for (TFileState& f : files_) {
        TFileHandler* handler = f.handler;
        f = TFileState{};
        f.handler = handler;
    }
    depth_ = 0;
    failed_ = false;
    pendingBytes_ = 0;
    if (fd_ >= 0) {
        quorvane::os::CloseFile(fd_);
        fd_ = -1;
    }
}

}  // namespace reruzo
