// Whole-file reading of data files and in-memory building of new ones.
#include "engine/storage/table_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"
#include "platform/file_names.h"

namespace reruzo {
namespace {

std::uint16_t EngineCodeOfErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return RERUZO_OSENOENT;
        case EMFILE:
        case ENFILE: return RERUZO_OSEMFILE;
        case EACCES:
        case EPERM:
        case EROFS: return RERUZO_OSEACCES;
        case EBADF: return RERUZO_OSEBADF;
        case ENOMEM: return RERUZO_OSENOMEM;
        case ENODEV:
        case ENXIO: return RERUZO_OSENODEV;
        case EXDEV: return RERUZO_OSENOTSAM;
        default: return RERUZO_OSUNKNOWN;
    }
}

// Closes a file descriptor when it goes out of scope.
class TFd {
public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool ReadFully(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteFully(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

std::string Deciphered(std::string s) {
    auto* p = reinterpret_cast<std::uint8_t*>(s.data());
    ApplyCipher({p, s.size()}, kHeaderKey);
    return s;
}

}  // namespace

std::string TTableImage::Password() const {
    return Header.Encrypted ? Deciphered(Header.Password) : std::string();
}

std::string TTableImage::Description() const {
    return Header.Encrypted ? Deciphered(Header.Description) : Header.Description;
}

TTableImage ReadTableImage(std::string_view directory, std::string_view table) {
    TTableImage image;
    image.Directory = quorvane::files::NormalizeDirectory(directory);
    image.TableName = std::string(table);
    const TErrorContext ctx{.database = image.Directory, .table = image.TableName};
    image.FileName = quorvane::files::ResolveCaseInsensitive(
        TableFileName(image.Directory.empty() ? "./" : image.Directory, table, ".DAT"));

    TFd fd(::open(image.FileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) RaiseEngineError(EngineCodeOfErrno(errno), ctx);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) RaiseEngineError(RERUZO_FILENOACCESS, ctx);
    if (!S_ISREG(st.st_mode)) RaiseEngineError(RERUZO_OSEACCES, ctx);
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    // Header, then descriptors; every size is checked before anything is read.
    if (fileSize < kHeaderSize) RaiseEngineError(RERUZO_HEADERCORRUPT, ctx);
    std::array<std::uint8_t, kHeaderSize> head{};
    if (!ReadFully(fd.get(), head.data(), head.size())) RaiseEngineError(RERUZO_READERR, ctx);
    image.Header = TDataHeader::Decode(head);
    const TDataHeader& h = image.Header;
    VerifyVersion(h, image.Directory, table);
    if (h.FieldCount == 0 || h.FieldCount > kMaxFieldCount)
        RaiseEngineError(RERUZO_HEADERCORRUPT, ctx);
    const std::size_t descBytes = kFieldDescSize * h.FieldCount;
    if (fileSize < kHeaderSize + descBytes) RaiseEngineError(RERUZO_HEADERCORRUPT, ctx);
    std::vector<std::uint8_t> descs(descBytes);
    if (!ReadFully(fd.get(), descs.data(), descs.size())) RaiseEngineError(RERUZO_READERR, ctx);
    if (h.Encrypted == 1) ApplyCipher(descs, kRecordKey);
    image.Fields.reserve(h.FieldCount);
    for (std::size_t i = 0; i < h.FieldCount; ++i) {
        image.Fields.push_back(TFieldDesc::Decode(
            std::span<const std::uint8_t, kFieldDescSize>(descs.data() + i * kFieldDescSize,
                                                          kFieldDescSize)));
    }
    VerifyStructure(image.Header, image.Fields, fileSize, image.Directory, table);

    // The structure check guarantees whole slots and a positive record size.
    const std::size_t slotCount = static_cast<std::size_t>(h.NextRecordNo - 1);
    image.Slots.resize(slotCount);
    for (std::size_t n = 1; n <= slotCount; ++n) {
        auto& slot = image.Slots[n - 1];
        slot.resize(h.RecordSize);
        if (!ReadFully(fd.get(), slot.data(), slot.size())) RaiseEngineError(RERUZO_READERR, ctx);
        if (h.Encrypted == 1) ApplyCipher(slot, kRecordKey);
        if (slot[0] == 0) PutLE(slot.data() + 1, static_cast<std::int32_t>(n));
    }
    return image;
}

std::vector<std::string> CheckTableImage(const TTableImage& image) {
    std::vector<std::string> problems;
    const std::size_t slots = image.SlotCount();
    std::vector<bool> onChain(slots + 1, false);
    std::int32_t next = image.Header.FirstFreeRecord;
    for (std::size_t steps = 0; next != 0; ++steps) {
        if (next < 0 || static_cast<std::size_t>(next) > slots) {
            problems.push_back("free chain: link " + std::to_string(next) + " is outside slots 1.." +
                               std::to_string(slots));
            break;
        }
        const auto n = static_cast<std::size_t>(next);
        if (onChain[n] || steps > slots) {
            problems.push_back("free chain: slot " + std::to_string(n) + " is reached twice (a cycle)");
            break;
        }
        onChain[n] = true;
        if (image.SlotInUse(n)) {
            problems.push_back("free chain: slot " + std::to_string(n) + " is on the chain but in use");
            break;
        }
        next = GetLE<std::int32_t>(image.Slots[n - 1].data() + 1);
    }
    std::vector<std::int32_t> ids;
    for (std::size_t n = 1; n <= slots; ++n) {
        const std::uint8_t state = image.Slots[n - 1][0];
        if (state > 1) {
            problems.push_back("slot " + std::to_string(n) + ": state byte " + std::to_string(state) +
                               " is neither 0 (in use) nor 1 (deleted)");
            continue;
        }
        if (state != 0) continue;
        const auto id = GetLE<std::int32_t>(image.Slots[n - 1].data() + 5);
        if (id <= 0 || id > image.Header.LastAutoIncValue) {
            problems.push_back("slot " + std::to_string(n) + ": record identifier " + std::to_string(id) +
                               " is outside 1.." + std::to_string(image.Header.LastAutoIncValue));
        }
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] == ids[i - 1])
            problems.push_back("record identifier " + std::to_string(ids[i]) + " is used twice");
    }
    return problems;
}

TDataHeader InitHeader(const TNewTableOptions& o, std::vector<TFieldDesc>& fields,
                       std::string_view directory, std::string_view table) {
    const TErrorContext ctx{.database = std::string(directory), .table = std::string(table)};
    TDataHeader h;
    h.LanguageId = o.LanguageId;
    h.SortId = o.SortId;
    h.UserMajorVersion = o.UserMajorVersion;
    h.UserMinorVersion = o.UserMinorVersion;
    h.Encrypted = o.Encrypted ? 1 : 0;
    if (o.Encrypted) {
        auto enciphered = [](std::string_view s, std::size_t n) {
            std::string out(s.substr(0, n));
            ApplyCipher({reinterpret_cast<std::uint8_t*>(out.data()), out.size()}, kHeaderKey);
            return out;
        };
        h.Password = enciphered(o.Password, kMaxPasswordLength);
        h.Description = enciphered(o.Description, kMaxDescriptionLength);
    } else {
        h.Description = o.Description.substr(0, kMaxDescriptionLength);
    }
    if (fields.empty() || fields.size() > kMaxFieldCount) RaiseEngineError(RERUZO_FLDLIMIT, ctx);
    h.FieldCount = static_cast<std::uint16_t>(fields.size());
    h.BlobBlockSize = o.BlobBlockSize;
    std::size_t blobs = 0;
    for (const auto& f : fields) {
        if (f.FieldType == kFieldBlob && ++blobs > kMaxBlobFields)
            RaiseEngineError(RERUZO_BLOBLIMIT, ctx);
    }
    h.BlobFieldCount = static_cast<std::uint16_t>(blobs);
    h.FormatVersion = kFormatVersion;
    h.FirstFreeRecord = 0;
    h.NextRecordNo = 1;
    h.LastAutoIncValue = 0;
    const std::size_t recordSize = LayoutRecord(fields);
    if (recordSize > 65535) RaiseEngineError(RERUZO_RECTOOBIG, ctx);
    h.RecordSize = static_cast<std::uint16_t>(recordSize);
    h.ChangeCount = 0;
    h.HeaderModified = 1;
    return h;
}

TNewDataFile::TNewDataFile(std::string directory, std::string table,
                           std::vector<TFieldDesc> fields, const TNewTableOptions& options)
    : directory_(quorvane::files::NormalizeDirectory(directory)),
      table_(std::move(table)),
      fields_(std::move(fields)) {
    header_ = InitHeader(options, fields_, directory_, table_);
}

const TFieldDesc& TNewDataFile::FieldByName(std::string_view name) const {
    for (const auto& f : fields_) {
        if (f.Name == name) return f;
    }
    RaiseEngineError(RERUZO_OUTOFRANGE, {.database = directory_, .table = table_,
                                         .field = std::string(name)});
}

std::vector<std::uint8_t> TNewDataFile::BlankRecord() const {
    return std::vector<std::uint8_t>(header_.RecordSize, 0);
}

std::int32_t TNewDataFile::Append(std::vector<std::uint8_t> record, bool keepIdentifier) {
    const TErrorContext ctx{.database = directory_, .table = table_};
    if (record.size() != header_.RecordSize) RaiseEngineError(RERUZO_FILECORRUPT, ctx);
    if (header_.NextRecordNo >= 200000001) RaiseEngineError(RERUZO_TABLEFULL, ctx);
    std::int32_t id;
    if (keepIdentifier) {
        id = GetLE<std::int32_t>(record.data() + 5);
        if (id > header_.LastAutoIncValue) header_.LastAutoIncValue = id;
    } else {
        if (header_.LastAutoIncValue == INT32_MAX) header_.LastAutoIncValue = 0;
        id = ++header_.LastAutoIncValue;
        PutLE(record.data() + 5, id);
    }
    record[0] = 0;
    PutLE(record.data() + 1, header_.NextRecordNo);
    slots_.push_back(std::move(record));
    ++header_.NextRecordNo;
    return id;
}

std::string TNewDataFile::FileName() const {
    return TableFileName(directory_.empty() ? "./" : directory_, table_, ".DAT");
}

void TNewDataFile::Write() {
    const TErrorContext ctx{.database = directory_, .table = table_};
    TDataHeader h = header_;
    if (!slots_.empty()) ++h.ChangeCount;
    h.EngineVersion = kEngineVersionStamp;
    h.Reserved = 0;
    h.LastUpdated = HeaderLastUpdated(DateToDayNumber(Today()), TimeToMilliseconds(TimeOfDayNow()));
    h.HeaderModified = 1;

    std::vector<std::uint8_t> bytes(kHeaderSize + kFieldDescSize * fields_.size() +
                                    std::size_t{h.RecordSize} * slots_.size());
    h.Encode(std::span<std::uint8_t, kHeaderSize>(bytes.data(), kHeaderSize));
    std::uint8_t* p = bytes.data() + kHeaderSize;
    for (const auto& f : fields_) {
        f.Encode(std::span<std::uint8_t, kFieldDescSize>(p, kFieldDescSize));
        p += kFieldDescSize;
    }
    if (h.Encrypted) ApplyCipher({bytes.data() + kHeaderSize, kFieldDescSize * fields_.size()}, kRecordKey);
    for (const auto& slot : slots_) {
        std::memcpy(p, slot.data(), slot.size());
        if (h.Encrypted) ApplyCipher({p, slot.size()}, kRecordKey);
        p += slot.size();
    }

    const std::string target = FileName();
    const std::string temp = target + ".TMP";
    TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) RaiseEngineError(EngineCodeOfErrno(errno), ctx);
    if (!WriteFully(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) {
        ::unlink(temp.c_str());
        RaiseEngineError(RERUZO_WRITEERR, ctx);
    }
    ::close(fd.release());
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        RaiseEngineError(EngineCodeOfErrno(err), ctx);
    }
}

}  // namespace reruzo
