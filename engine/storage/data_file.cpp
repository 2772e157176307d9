// The data file handler and its record cache.
#include "engine/storage/data_file.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/date_time.h"

namespace reruzo {
namespace {

constexpr std::int32_t kMaxSlots = 200000000;
constexpr std::uint64_t kMaxFileEnd = 4000000000ull;
constexpr int kMruProbe = 4;

std::string HeaderDeciphered(std::string s) {
    ApplyCipher({reinterpret_cast<std::uint8_t*>(s.data()), s.size()}, kHeaderKey);
    return s;
}

}  // namespace

// ---- TRecord ------------------------------------------------------------------------

void TRecord::Resize(std::size_t size) {
    if (buffer_.capacity() < size) buffer_.reserve((size + 255) / 256 * 256);
    buffer_.resize(size);
}

void TRecord::Clear(bool withIdentifier) {
    std::fill(buffer_.begin(), buffer_.end(), 0);
    if (buffer_.size() >= kRecordHeaderSize) {
        if (withIdentifier) PutLE(buffer_.data() + 5, owner_->NextAutoInc());
        PutLE(buffer_.data() + 1, recordNo_);
    }
    modified_ = false;
}

void TRecord::LoadFrom(const std::uint8_t* slot) {
    const std::size_t size = owner_->RecordSize();
    if (buffer_.size() < size) Resize(size);
    std::memcpy(buffer_.data(), slot, size);
    owner_->DecodeSlot({buffer_.data(), size}, recordNo_);
    modified_ = false;
}

void TRecord::StoreTo(std::uint8_t* destination) {
    const std::size_t size = owner_->RecordSize();
    std::memcpy(destination, buffer_.data(), size);
    if (owner_->Encrypted()) ApplyCipher({destination, size}, kRecordKey);
    modified_ = false;
}

void TRecord::SetState(std::uint8_t state) {
    buffer_[0] = state;
    modified_ = true;
}

std::int32_t TRecord::NextFree() const {
    return buffer_[0] != 0 ? GetLE<std::int32_t>(buffer_.data() + 1) : 0;
}

void TRecord::SetNextFree(std::int32_t n) {
    PutLE(buffer_.data() + 1, n);
    modified_ = true;
}

std::int32_t TRecord::RecordId() const { return GetLE<std::int32_t>(buffer_.data() + 5); }

void TRecord::SetRecordId(std::int32_t id) {
    PutLE(buffer_.data() + 5, id);
    modified_ = true;
}

void TRecord::CopyFrom(const TRecord& other) {
    buffer_ = other.buffer_;
    modified_ = true;
}

bool TRecord::SameAs(std::span<const std::uint8_t> bytes) const {
    return bytes.size() >= buffer_.size() && std::equal(buffer_.begin(), buffer_.end(), bytes.begin());
}

void TRecord::CopyFieldsFrom(std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), buffer_.size());
    if (n > kRecordHeaderSize) {
        std::memcpy(buffer_.data() + kRecordHeaderSize, bytes.data() + kRecordHeaderSize,
                    n - kRecordHeaderSize);
    }
    modified_ = true;
}

// ---- TRecordStack -------------------------------------------------------------------

std::unique_ptr<TRecord> TRecordStack::Pop(TDataFile* owner, std::size_t recordSize) {
    std::unique_ptr<TRecord> r;
    if (spare_.empty()) {
        r = std::make_unique<TRecord>(owner);
    } else {
        r = std::move(spare_.back());
        spare_.pop_back();
        r->owner_ = owner;
    }
    r->modified_ = false;
    r->pinCount_ = 0;
    r->recordNo_ = 0;
    r->older_ = r->newer_ = nullptr;
    r->Resize(recordSize);
    std::fill(r->buffer_.begin(), r->buffer_.end(), 0);
    return r;
}

void TRecordStack::Push(std::unique_ptr<TRecord> record) {
    // Spares beyond what a normal cache needs (after a long transaction) are freed.
    if (spare_.size() >= kMaxSpareRecords) return;
    record->older_ = record->newer_ = nullptr;
    record->pinCount_ = 0;
    spare_.push_back(std::move(record));
}

// ---- TDataFile: opening, header and descriptors --------------------------------------

TDataFile::TDataFile(std::string directory, std::string table, TDataFileOwner* owner)
    : directory_(std::move(directory)), table_(std::move(table)), owner_(owner ? owner : &defaultOwner_) {
    SetFileName(TableFileName(directory_.empty() ? "./" : directory_, table_, ".DAT"));
    SetErrorContext(directory_, table_);
}

TDataFile::~TDataFile() { Close(); }

void TDataFile::RaiseTable(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_, .table = table_});
}

std::uint64_t TDataFile::SlotOffset(std::int32_t n) const {
    return kHeaderSize + std::uint64_t{kFieldDescSize} * header_.FieldCount +
           static_cast<std::uint64_t>(n - 1) * header_.RecordSize;
}

std::size_t TDataFile::NormalCapacity() const {
    if (header_.RecordSize == 0) return 8192;
    return std::min<std::size_t>(16384 / header_.RecordSize, 8192);
}

void TDataFile::Grow(std::vector<std::uint8_t>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize((size + 4095) / 4096 * 4096);
}

void TDataFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    try {
        ReadHeader();
        // At least one slot per read, also for records larger than 8192 bytes.
        recordsPerRead_ = header_.RecordSize == 0 ? 1 : std::max(1, 8192 / header_.RecordSize);
        if (header_.FieldCount > kMaxFieldCount) RaiseTable(RERUZO_HEADERCORRUPT);
        ReadFieldDescs();
        stats_ = {};
        capacity_ = NormalCapacity();
    } catch (...) {
        fields_.clear();
        TFileHandler::Close();
        throw;
    }
}

void TDataFile::Close() {
    if (!IsOpen()) return;
    fields_.clear();
    ClearCache();
    TFileHandler::Close();
}

void TDataFile::ReadHeader() {
    std::array<std::uint8_t, kHeaderSize> bytes{};
    ReadAt(0, bytes.data(), bytes.size());
    header_ = TDataHeader::Decode(bytes);
    headerModified_ = false;
    ++liveGeneration_;
}

bool TDataFile::HeaderChanged() {
    // The counter is never enciphered; the rest of the header is read only when it moved.
    if (GetLE<std::uint32_t>(ReadCounterBytes().data()) == header_.ChangeCount) return false;
    std::array<std::uint8_t, kHeaderSize> bytes{};
    ReadAt(0, bytes.data(), bytes.size());
    TDataHeader fresh = TDataHeader::Decode(bytes);
    if (fresh.ChangeCount == header_.ChangeCount) return false;
    header_ = fresh;
    headerModified_ = false;
    ++liveGeneration_;
    return true;
}

void TDataFile::WriteHeader(bool force, bool flushOs) {
    if (!force && !headerModified_) return;
    TDataHeader h = header_;
    ++h.ChangeCount;
    h.EngineVersion = kEngineVersionStamp;
    h.Reserved = 0;
    h.LastUpdated = HeaderLastUpdated(DateToDayNumber(Today()), TimeToMilliseconds(TimeOfDayNow()));
    h.HeaderModified = 1;
    Grow(writeBuffer_, kHeaderSize);
    h.Encode(std::span<std::uint8_t, kHeaderSize>(writeBuffer_.data(), kHeaderSize));
    WriteAt(0, writeBuffer_.data(), kHeaderSize);
    if (flushOs || owner_->ForceBufferFlush()) Flush();
    h.HeaderModified = 0;
    header_ = h;
    headerModified_ = false;
    owner_->MarkWritten();
}

void TDataFile::ReadFieldDescs() {
    const std::size_t bytes = kFieldDescSize * header_.FieldCount;
    Grow(readBuffer_, bytes);
    ReadAt(kHeaderSize, readBuffer_.data(), bytes);
    if (header_.Encrypted == 1) ApplyCipher({readBuffer_.data(), bytes}, kRecordKey);
    fields_.clear();
    fields_.reserve(header_.FieldCount);
    for (std::size_t i = 0; i < header_.FieldCount; ++i) {
        fields_.push_back(TFieldDesc::Decode(std::span<const std::uint8_t, kFieldDescSize>(
            readBuffer_.data() + i * kFieldDescSize, kFieldDescSize)));
    }
    descsModified_ = false;
}

void TDataFile::WriteFieldDescs() {
    if (!descsModified_) return;
    const std::size_t bytes = kFieldDescSize * fields_.size();
    Grow(writeBuffer_, bytes);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        fields_[i].Encode(
            std::span<std::uint8_t, kFieldDescSize>(writeBuffer_.data() + i * kFieldDescSize, kFieldDescSize));
    }
    if (header_.Encrypted == 1) ApplyCipher({writeBuffer_.data(), bytes}, kRecordKey);
    WriteAt(kHeaderSize, writeBuffer_.data(), bytes);
    if (owner_->ForceBufferFlush()) Flush();
    descsModified_ = false;
}

void TDataFile::VerifyStructure() {
    reruzo::VerifyStructure(header_, fields_, FileSize(), directory_, table_);
}

void TDataFile::VerifyVersion() { reruzo::VerifyVersion(header_, directory_, table_); }

std::uint32_t TDataFile::BlobBlockSize() const {
    const std::uint32_t size = header_.BlobBlockSize & 0xFFFF;
    return size == 0 ? kDefaultBlobBlockSize : size;
}

std::string TDataFile::Description() const {
    return Encrypted() ? HeaderDeciphered(header_.Description) : header_.Description;
}

std::string TDataFile::Password() const {
    return Encrypted() ? HeaderDeciphered(header_.Password) : std::string();
}

// ---- The record cache ------------------------------------------------------------------

std::size_t TDataFile::LowerBound(std::int32_t n) const {
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), n,
                               [](const std::unique_ptr<TRecord>& r, std::int32_t v) { return r->recordNo_ < v; });
    return static_cast<std::size_t>(it - sorted_.begin());
}

TRecord* TDataFile::FindCached(std::int32_t n) {
    int probed = 0;
    for (TRecord* r = mruNewest_; r && probed < kMruProbe; r = r->older_, ++probed) {
        if (r->recordNo_ == n) return r;
    }
    const std::size_t i = LowerBound(n);
    return i < sorted_.size() && sorted_[i]->recordNo_ == n ? sorted_[i].get() : nullptr;
}

void TDataFile::InsertSorted(std::unique_ptr<TRecord> record) {
    const std::size_t i = LowerBound(record->recordNo_);
    sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(i), std::move(record));
}

void TDataFile::MruUnlink(TRecord* r) {
    if (r->older_) r->older_->newer_ = r->newer_;
    if (r->newer_) r->newer_->older_ = r->older_;
    if (mruOldest_ == r) mruOldest_ = r->newer_;
    if (mruNewest_ == r) mruNewest_ = r->older_;
    r->older_ = r->newer_ = nullptr;
}

void TDataFile::MruPushNewest(TRecord* r) {
    r->older_ = mruNewest_;
    r->newer_ = nullptr;
    if (mruNewest_) mruNewest_->newer_ = r;
    mruNewest_ = r;
    if (!mruOldest_) mruOldest_ = r;
}

std::size_t TDataFile::EvictOldest(std::size_t count, std::size_t* passedOver) {
    // Marks the oldest unpinned, unmodified records, then removes them from the sorted
    // list in one pass: evicting one at a time would shift the list for each.
    //
    // The records passed over (modified, waiting for their transaction; or pinned) go
    // to the newest end: left at the old end, a long transaction's changes would be
    // walked again by every eviction, which made each new record cost the whole list.
    std::size_t evicted = 0;
    TRecord* passed = nullptr;  // the passed-over records, linked through newer_
    TRecord* passedLast = nullptr;
    std::size_t passedCount = 0;
    for (TRecord* r = mruOldest_; r && evicted < count;) {
        TRecord* newer = r->newer_;
        MruUnlink(r);
        if (!r->modified_ && r->pinCount_ == 0) {
            r->recordNo_ = -1;  // marked for the pool
            ++evicted;
        } else {
            (passedLast ? passedLast->newer_ : passed) = r;
            passedLast = r;
            ++passedCount;
        }
        r = newer;
    }
    for (TRecord* r = passed; r;) {
        TRecord* next = r->newer_;
        MruPushNewest(r);
        r = next;
    }
    if (passedOver) *passedOver = passedCount;
    if (evicted == 0) return 0;
    std::size_t kept = 0;
    for (auto& r : sorted_) {
        if (r->recordNo_ == -1) {
            r->recordNo_ = 0;
            pool_.Push(std::move(r));
        } else {
            sorted_[kept++] = std::move(r);
        }
    }
    sorted_.resize(kept);
    return evicted;
}

std::unique_ptr<TRecord> TDataFile::ObtainRecord() {
    if (sorted_.size() >= capacity_) {
        // A sixteenth of the cache goes at once, so a run of misses pays for one pass.
        const std::size_t batch = std::max<std::size_t>(1, capacity_ / 16);
        std::size_t passed = 0;
        std::size_t evicted = EvictOldest(batch, &passed);
        if (evicted == 0 && !owner_->DefersWrites()) {
            FlushRecords(false);
            evicted = EvictOldest(batch, &passed);
        }
        // Changes of a transaction stay in memory until it commits: a cache that is
        // mostly such changes grows instead. Growing by half, and as soon as a search
        // passes over more of them than it finds victims, keeps a long transaction from
        // walking all its changes for a few victims again and again.
        if (evicted == 0 || (owner_->DefersWrites() && (evicted < batch || passed > evicted))) {
            capacity_ += std::max<std::size_t>(64, capacity_ / 2);
        }
    }
    std::unique_ptr<TRecord> r = pool_.Pop(this, header_.RecordSize);
    r->recordNo_ = 0;
    r->modified_ = false;
    return r;
}

TRecord* TDataFile::AppendRecord() {
    // A new slot at the end: nothing to read.
    const std::int32_t n = header_.NextRecordNo;
    const std::uint64_t end = kHeaderSize + std::uint64_t{kFieldDescSize} * header_.FieldCount +
                              static_cast<std::uint64_t>(n) * header_.RecordSize;
    if (n > kMaxSlots || end > kMaxFileEnd) RaiseTable(RERUZO_TABLEFULL);
    std::unique_ptr<TRecord> r = ObtainRecord();
    TRecord* raw = r.get();
    raw->recordNo_ = n;
    raw->Clear(false);
    raw->Pin();
    sorted_.push_back(std::move(r));
    MruPushNewest(raw);
    ++header_.NextRecordNo;
    headerModified_ = true;
    ++liveGeneration_;
    return raw;
}

TRecord* TDataFile::GetRecord(TRecordReader* cursor, std::int32_t n, TRecordRead read) {
    const bool forward = read.forward;
    if (n <= 0 || n >= header_.NextRecordNo) RaiseTable(RERUZO_FILECORRUPT);

    if (TRecord* hit = FindCached(n)) {
        MruUnlink(hit);
        MruPushNewest(hit);
        ++stats_.cacheHits;
        hit->Pin();
        return hit;
    }

    if (cursor && !owner_->StrictChangeDetection() && cursor->ChangedBeforeRead()) return nullptr;

    // Read a run of k slots in one call.
    std::int32_t k = 1;
    if (read.readAhead) {
        k = read.cursorCount && cursor ? cursor->ReadAheadCount(forward)
                                  : std::min(recordsPerRead_, header_.NextRecordNo - n);
    }
    k = std::clamp(k, 1, forward ? header_.NextRecordNo - n : n);
    const std::int32_t first = forward ? n : n - k + 1;
    const std::size_t size = header_.RecordSize;
    const std::int32_t whole = ReadSlots(first, k, readBuffer_);

    // Load the run. The wanted record is pinned as soon as it is cached so that the
    // rest of a long run cannot evict it; a flush forced meanwhile leaves the run alone.
    TRecord* target = nullptr;
    readingRun_ = true;
    runFirst_ = first;
    runLast_ = first + k - 1;
    try {
        for (std::int32_t i = 0; i < whole; ++i) {
            const std::int32_t m = first + i;
            const std::uint8_t* slot = readBuffer_.data() + static_cast<std::size_t>(i) * size;
            const std::size_t at = LowerBound(m);
            TRecord* r = at < sorted_.size() && sorted_[at]->recordNo_ == m ? sorted_[at].get() : nullptr;
            if (r) {
                if (!r->modified_ && r->pinCount_ == 0) r->LoadFrom(slot);
            } else {
                std::unique_ptr<TRecord> fresh = ObtainRecord();
                r = fresh.get();
                r->recordNo_ = m;
                r->LoadFrom(slot);
                InsertSorted(std::move(fresh));
                MruPushNewest(r);
            }
            if (m == n) {
                target = r;
                target->Pin();
            }
        }
    } catch (...) {
        readingRun_ = false;
        if (target) target->Unpin();
        throw;
    }
    readingRun_ = false;
    if (!target) {
        target = FindCached(n);
        if (!target) RaiseTable(RERUZO_FILECORRUPT);
        target->Pin();
    }
    MruUnlink(target);
    MruPushNewest(target);
    return target;
}

bool TDataFile::VisitRun(TChangeCheck* cursor, std::int32_t first, std::int32_t count, const TSlotVisit& visit) {
    if (first <= 0 || first >= header_.NextRecordNo) RaiseTable(RERUZO_FILECORRUPT);
    count = std::clamp(count, 1, header_.NextRecordNo - first);
    const std::int32_t last = first + count - 1;
    const std::size_t size = header_.RecordSize;
    // Looked up for each slot: a visit may change the cache.
    const auto visitCached = [&](std::int32_t m) {
        const std::size_t at = LowerBound(m);
        if (at >= sorted_.size() || sorted_[at]->recordNo_ != m) return false;
        TPinnedRecord cached(sorted_[at].get());
        cached->Pin();
        ++stats_.cacheHits;
        visit(m, cached->Data().first(size));
        return true;
    };
    // As with GetRecord, the disk (and the check for other writers) waits for the
    // first slot that is not cached.
    std::int32_t m = first;
    while (m <= last && visitCached(m)) ++m;
    if (m > last) return true;
    if (cursor && !owner_->StrictChangeDetection() && cursor->ChangedBeforeRead()) return false;

    // The buffer is lent to this call, so that a visit that scans again gets its own.
    std::vector<std::uint8_t> buffer = std::move(visitBuffer_);
    struct TGiveBack {
        std::vector<std::uint8_t>& from;
        std::vector<std::uint8_t>& to;
        ~TGiveBack() { to = std::move(from); }
    } giveBack{buffer, visitBuffer_};
    const std::int32_t base = m;
    const std::int32_t whole = ReadSlots(base, last - base + 1, buffer);
    for (; m <= last; ++m) {
        if (visitCached(m)) continue;
        if (m - base >= whole) RaiseTable(RERUZO_FILECORRUPT);
        std::uint8_t* slot = buffer.data() + static_cast<std::size_t>(m - base) * size;
        DecodeSlot({slot, size}, m);
        visit(m, {slot, size});
    }
    return true;
}

std::int32_t TDataFile::ReadSlots(std::int32_t first, std::int32_t count, std::vector<std::uint8_t>& buffer) {
    const std::size_t size = header_.RecordSize;
    const std::size_t bytes = static_cast<std::size_t>(count) * size;
    Grow(buffer, bytes);
    // Slots appended but not yet written may be missing from the file while this
    // process alone has the table, or inside its transaction.
    const bool allowShort = (Exclusive() || owner_->InTransaction()) && owner_->WrittenByThisProcess();
    const std::uint64_t got = ReadAt(SlotOffset(first), buffer.data(), bytes, allowShort);
    ++stats_.readCalls;
    const std::int32_t whole = size == 0 ? 0 : static_cast<std::int32_t>(got / size);
    stats_.diskReads += static_cast<std::uint64_t>(whole);
    return whole;
}

void TDataFile::DecodeSlot(std::span<std::uint8_t> slot, std::int32_t n) const {
    if (Encrypted()) ApplyCipher(slot, kRecordKey);
    if (slot[0] == 0) PutLE(slot.data() + 1, n);
}

void TDataFile::ReleaseRecord(TRecord* record) {
    if (record) record->Unpin();
}

bool TDataFile::FlushRecords(bool flushOs) {
    std::vector<TRecord*> dirty;
    for (const auto& r : sorted_) {
        if (!r->modified_ || r->pinCount_ != 0) continue;
        if (readingRun_ && r->recordNo_ >= runFirst_ && r->recordNo_ <= runLast_) continue;
        dirty.push_back(r.get());
    }
    if (dirty.empty()) return false;
    const std::size_t size = header_.RecordSize;
    Grow(writeBuffer_, dirty.size() * size);
    for (std::size_t i = 0; i < dirty.size();) {
        std::size_t j = i + 1;
        while (j < dirty.size() && dirty[j]->recordNo_ == dirty[j - 1]->recordNo_ + 1) ++j;
        for (std::size_t m = i; m < j; ++m) dirty[m]->StoreTo(writeBuffer_.data() + (m - i) * size);
        try {
            WriteAt(SlotOffset(dirty[i]->recordNo_), writeBuffer_.data(), (j - i) * size);
            if (flushOs || owner_->ForceBufferFlush()) Flush();
        } catch (...) {
            // Nothing of this run is known to be on disk: keep it modified.
            for (std::size_t m = i; m < j; ++m) dirty[m]->modified_ = true;
            throw;
        }
        owner_->MarkWritten();
        ++stats_.writeCalls;
        i = j;
    }
    return true;
}

void TDataFile::ClearCache() {
    ++liveGeneration_;
    for (auto& r : sorted_) pool_.Push(std::move(r));
    sorted_.clear();
    mruOldest_ = mruNewest_ = nullptr;
}

void TDataFile::TrimCache() {
    const std::size_t normal = NormalCapacity();
    // Modified records are written first when the clean ones are not enough.
    if (sorted_.size() > normal) {
        const std::size_t excess = sorted_.size() - normal;
        if (EvictOldest(excess) < excess) FlushRecords(false);
    }
    if (sorted_.size() > normal) EvictOldest(sorted_.size() - normal);
    sorted_.shrink_to_fit();
    capacity_ = std::max(normal, sorted_.size());
}

void TDataFile::Empty() {
    // Cached slots would outlive the cut and could be written back beyond it.
    ClearCache();
    TruncateAt(kHeaderSize + std::uint64_t{kFieldDescSize} * header_.FieldCount);
    if (owner_->ForceBufferFlush()) Flush();
    header_.ChangeCount = 0;
    header_.FirstFreeRecord = 0;
    header_.NextRecordNo = 1;
    header_.LastAutoIncValue = 0;
    headerModified_ = true;
}

// ---- New tables and header changes ------------------------------------------------------

void TDataFile::InitHeader(std::uint16_t languageId, std::uint16_t sortId, std::uint16_t userMajor,
                           std::uint16_t userMinor, bool encrypted, const std::string& password,
                           const std::string& description, std::uint16_t blobBlockSize,
                           const std::vector<TFieldDesc>& fields) {
    TDataHeader h;
    h.LanguageId = languageId;
    h.SortId = sortId;
    h.UserMajorVersion = userMajor;
    h.UserMinorVersion = userMinor;
    h.Encrypted = encrypted ? 1 : 0;
    if (encrypted) {
        h.Password = HeaderDeciphered(password.substr(0, kMaxPasswordLength));
        h.Description = HeaderDeciphered(description.substr(0, kMaxDescriptionLength));
    } else {
        h.Description = description.substr(0, kMaxDescriptionLength);
    }
    if (fields.empty() || fields.size() > kMaxFieldCount) RaiseTable(RERUZO_FLDLIMIT);
    h.FieldCount = static_cast<std::uint16_t>(fields.size());
    h.BlobBlockSize = blobBlockSize;
    std::size_t blobs = 0;
    std::size_t recordSize = kRecordHeaderSize;
    for (const TFieldDesc& f : fields) {
        if (f.FieldType == kFieldBlob && ++blobs > kMaxBlobFields) RaiseTable(RERUZO_BLOBLIMIT);
        if (f.HasSlot()) recordSize += f.DataSize + 1u;
    }
    h.BlobFieldCount = static_cast<std::uint16_t>(blobs);
    h.FormatVersion = kFormatVersion;
    h.FirstFreeRecord = 0;
    h.NextRecordNo = 1;
    h.LastAutoIncValue = 0;
    if (recordSize > 65535) RaiseTable(RERUZO_RECTOOBIG);
    h.RecordSize = static_cast<std::uint16_t>(recordSize);
    h.ChangeCount = 0;

    header_ = h;
    fields_ = fields;
    descsModified_ = true;
    headerModified_ = true;
    recordsPerRead_ = std::max(1, 8192 / static_cast<int>(h.RecordSize));
    capacity_ = NormalCapacity();
    stats_ = {};
    ClearCache();
    Create();
}

void TDataFile::SetHeaderInfo(const std::string& password, const std::string& description,
                              std::int32_t lastIdentifier, std::uint16_t userMajor,
                              std::uint16_t userMinor) {
    if (Encrypted()) {
        header_.Password = HeaderDeciphered(password.substr(0, kMaxPasswordLength));
        header_.Description = HeaderDeciphered(description.substr(0, kMaxDescriptionLength));
    } else {
        header_.Password.clear();
        header_.Description = description.substr(0, kMaxDescriptionLength);
    }
    header_.LastAutoIncValue = lastIdentifier;
    header_.UserMajorVersion = userMajor;
    header_.UserMinorVersion = userMinor;
    headerModified_ = true;
}

void TDataFile::SetFieldDescInfo(std::size_t position, const TFieldDesc& desc) {
    TFieldDesc& d = fields_.at(position - 1);
    d.FieldNo = desc.FieldNo;
    d.Name = desc.Name;
    d.SubType = desc.SubType;
    d.Description = desc.Description;
    d.Required = desc.Required;
    d.MinValue = desc.MinValue;
    d.MaxValue = desc.MaxValue;
    d.DefaultValue = desc.DefaultValue;
    descsModified_ = true;
}

// ---- Record writing ----------------------------------------------------------------------

std::int32_t TDataFile::FirstFreeSlot(bool reuse) const {
    return reuse && header_.FirstFreeRecord != 0 ? header_.FirstFreeRecord : header_.NextRecordNo;
}

void TDataFile::SetFirstFree(std::int32_t n) {
    if (header_.FirstFreeRecord == n) return;
    header_.FirstFreeRecord = n;
    headerModified_ = true;
}

TRecord* TDataFile::AllocRecord(bool reuse) {
    const std::int32_t s = FirstFreeSlot(reuse);
    if (s == header_.NextRecordNo) return AppendRecord();
    TRecord* r = GetRecord(nullptr, s, {});
    if (r->State() != 1) {
        ReleaseRecord(r);
        RaiseTable(RERUZO_FILECORRUPT);  // the chain names a slot in use
    }
    SetFirstFree(r->NextFree());
    ++liveGeneration_;
    return r;
}

void TDataFile::MarkDeleted(TRecord& record, bool reuse) {
    const std::int32_t head = FirstFreeSlot(reuse);
    record.SetState(1);
    record.SetNextFree(head == header_.NextRecordNo ? 0 : head);
    record.SetModified(true);
    SetFirstFree(record.RecordNo());
    ++liveGeneration_;
}

std::int32_t TDataFile::NextAutoInc() {
    if (header_.LastAutoIncValue == INT32_MAX) header_.LastAutoIncValue = 0;
    ++header_.LastAutoIncValue;
    headerModified_ = true;
    return header_.LastAutoIncValue;
}

void TDataFile::SetLastAutoInc(std::int32_t value) {
    if (header_.LastAutoIncValue == value) return;
    header_.LastAutoIncValue = value;
    headerModified_ = true;
}

std::int32_t TDataFile::NextBlobStamp() {
    if (header_.LastBlobStamp == INT32_MAX) header_.LastBlobStamp = 0;
    ++header_.LastBlobStamp;
    headerModified_ = true;
    return header_.LastBlobStamp;
}

std::vector<std::string> TDataFile::CheckRecords() {
    std::vector<std::string> problems;
    const std::int32_t slots = SlotCount();
    std::vector<std::uint8_t> state(static_cast<std::size_t>(slots) + 1, 0);
    std::vector<std::int32_t> link(static_cast<std::size_t>(slots) + 1, 0);
    std::vector<std::int32_t> ids;
    for (std::int32_t n = 1; n <= slots; ++n) {
        TPinnedRecord r(GetRecord(nullptr, n, {.readAhead = true}));
        const std::uint8_t s = r->State();
        state[static_cast<std::size_t>(n)] = s;
        if (s > 1) {
            problems.push_back("slot " + std::to_string(n) + ": state byte " + std::to_string(s) +
                               " is neither 0 (in use) nor 1 (deleted)");
        } else if (s == 1) {
            link[static_cast<std::size_t>(n)] = r->NextFree();
        } else {
            const std::int32_t id = r->RecordId();
            if (id <= 0 || id > header_.LastAutoIncValue) {
                problems.push_back("slot " + std::to_string(n) + ": record identifier " + std::to_string(id) +
                                   " is outside 1.." + std::to_string(header_.LastAutoIncValue));
            }
            ids.push_back(id);
        }
    }
    std::vector<bool> seen(static_cast<std::size_t>(slots) + 1, false);
    for (std::int32_t next = header_.FirstFreeRecord; next != 0;) {
        if (next < 0 || next > slots) {
            problems.push_back("free chain: link " + std::to_string(next) + " is outside slots 1.." +
                               std::to_string(slots));
            break;
        }
        const auto n = static_cast<std::size_t>(next);
        if (seen[n]) {
            problems.push_back("free chain: slot " + std::to_string(n) + " is reached twice (a cycle)");
            break;
        }
        seen[n] = true;
        if (state[n] != 1) {
            problems.push_back("free chain: slot " + std::to_string(n) + " is on the chain but in use");
            break;
        }
        next = link[n];
    }
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] == ids[i - 1]) problems.push_back("record identifier " + std::to_string(ids[i]) + " is used twice");
    }
    return problems;
}

std::string TDataFile::CheckCache() const {
    for (std::size_t i = 0; i < sorted_.size(); ++i) {
        const TRecord& r = *sorted_[i];
        if (r.owner_ != this) return "record " + std::to_string(r.recordNo_) + " has another owner";
        if (i > 0 && sorted_[i - 1]->recordNo_ >= r.recordNo_)
            return "cache out of order at record " + std::to_string(r.recordNo_);
        if (r.buffer_.size() < header_.RecordSize)
            return "record " + std::to_string(r.recordNo_) + " has a short buffer";
    }
    std::size_t forward = 0;
    const TRecord* prev = nullptr;
    for (const TRecord* r = mruOldest_; r; r = r->newer_) {
        if (r->older_ != prev) return "MRU links broken at record " + std::to_string(r->recordNo_);
        prev = r;
        if (++forward > sorted_.size()) return "MRU list longer than the cache";
    }
    if (prev != mruNewest_) return "MRU newest end is wrong";
    if (forward != sorted_.size()) return "MRU list misses cached records";
    if (sorted_.size() > capacity_) return "cache holds more records than its capacity";
    return {};
}

}  // namespace reruzo
