// The BLOB file: header, block cache, free chain, and whole-BLOB buffers.
#include "engine/storage/blob_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
namespace {

constexpr int kMruProbe = 4;
constexpr std::int32_t kMaxBlockNo = 2000000000;
constexpr std::uint64_t kMaxFileSize = 4000000000;

}  // namespace

// ---- Blocks -------------------------------------------------------------------------

void TBlock::Clear() {
    PrevBlock = NextBlock = 0;
    UsedBytes = 0;
    BlobStamp = BlobSize = 0;
    std::fill(data_.begin(), data_.end(), 0);
}

void TBlock::LoadFrom(const std::uint8_t* bytes, bool encrypted) {
    std::array<std::uint8_t, kBlockHeaderSize> head{};
    std::memcpy(head.data(), bytes, head.size());
    std::memcpy(data_.data(), bytes + kBlockHeaderSize, data_.size());
    if (encrypted) {
        ApplyCipher(head, kRecordKey);
        ApplyCipher(data_, kRecordKey);
    }
    PrevBlock = GetLE<std::int32_t>(head.data());
    NextBlock = GetLE<std::int32_t>(head.data() + 4);
    UsedBytes = GetLE<std::uint16_t>(head.data() + 8);
    BlobStamp = GetLE<std::int32_t>(head.data() + 10);
    BlobSize = GetLE<std::int32_t>(head.data() + 14);
    modified_ = false;
}

void TBlock::StoreTo(std::uint8_t* bytes, bool encrypted) const {
    PutLE(bytes, PrevBlock);
    PutLE(bytes + 4, NextBlock);
    PutLE(bytes + 8, UsedBytes);
    PutLE(bytes + 10, BlobStamp);
    PutLE(bytes + 14, BlobSize);
    std::memcpy(bytes + kBlockHeaderSize, data_.data(), data_.size());
    if (encrypted) {
        ApplyCipher({bytes, kBlockHeaderSize}, kRecordKey);
        ApplyCipher({bytes + kBlockHeaderSize, data_.size()}, kRecordKey);
    }
}

void TPinnedBlock::Release() {
    if (block_ && block_->pinCount_ > 0) --block_->pinCount_;
    block_ = nullptr;
}

// ---- Header -------------------------------------------------------------------------

TBlobHeader TBlobHeader::Decode(const std::uint8_t* b) {
    TBlobHeader h;
    h.ChangeCount = GetLE<std::uint32_t>(b);
    h.FormatVersion = b[8];
    h.FirstFreeBlock = GetLE<std::int32_t>(b + 9);
    h.NextBlockNo = GetLE<std::int32_t>(b + 13);
    h.HeaderModified = 0;
    return h;
}

void TBlobHeader::Encode(std::uint8_t* b) const {
    std::memset(b, 0, kBlobHeaderSize);
    PutLE(b, ChangeCount);
    b[8] = FormatVersion;
    PutLE(b + 9, FirstFreeBlock);
    PutLE(b + 13, NextBlockNo);
    b[17] = HeaderModified;
}

TBlobFile::TBlobFile(std::string directory, std::string table, TDataFileOwner* owner)
    : directory_(std::move(directory)), table_(std::move(table)), owner_(owner ? owner : &defaultOwner_) {
    SetFileName(TableFileName(directory_.empty() ? "./" : directory_, table_, ".BLB"));
    SetErrorContext(directory_, table_);
}

TBlobFile::~TBlobFile() { Close(); }

void TBlobFile::ReadRaw(TBlobHeader& out) {
    std::array<std::uint8_t, kBlobHeaderSize> bytes{};
    ReadAt(0, bytes.data(), bytes.size());
    if (encrypted_) ApplyCipher(bytes, kRecordKey);
    out = TBlobHeader::Decode(bytes.data());
}

void TBlobFile::Open() {
    if (IsOpen()) return;
    TFileHandler::Open();
    try {
        ReadHeader();
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
    capacity_ = NormalCapacity();
}

void TBlobFile::Close() {
    ClearCache();
    TFileHandler::Close();
}

void TBlobFile::Create() {
    ClearCache();
    TFileHandler::Create();
    header_ = TBlobHeader{};
    headerModified_ = true;
    capacity_ = NormalCapacity();
    WriteHeader(true, false);
}

void TBlobFile::ReadHeader() {
    ReadRaw(header_);
    headerModified_ = false;
}

bool TBlobFile::HeaderChanged() {
    std::array<std::uint8_t, 4> counter = ReadCounterBytes();
    if (encrypted_) ApplyCipher(counter, kRecordKey);
    if (GetLE<std::uint32_t>(counter.data()) == header_.ChangeCount) return false;
    TBlobHeader fresh;
    ReadRaw(fresh);
    if (fresh.ChangeCount == header_.ChangeCount) return false;
    header_ = fresh;
    headerModified_ = false;
    return true;
}

void TBlobFile::WriteHeader(bool force, bool flushOs) {
    if (!force && !headerModified_) return;
    TBlobHeader h = header_;
    ++h.ChangeCount;
    h.HeaderModified = 1;
    std::array<std::uint8_t, kBlobHeaderSize> bytes{};
    h.Encode(bytes.data());
    if (encrypted_) ApplyCipher(bytes, kRecordKey);
    WriteAt(0, bytes.data(), bytes.size());
    if (flushOs || owner_->ForceBufferFlush()) Flush();
    h.HeaderModified = 0;
    header_ = h;
    headerModified_ = false;
    owner_->MarkWritten();
}

void TBlobFile::BumpChangeCount() {
    ++header_.ChangeCount;
    headerModified_ = true;
}

void TBlobFile::Empty() {
    ClearCache();
    TruncateAt(kBlobHeaderSize);
    header_.FormatVersion = kFormatVersion;
    header_.FirstFreeBlock = 0;
    header_.NextBlockNo = 1;
    headerModified_ = true;
}

void TBlobFile::CheckVersion() const {
    if (header_.FormatVersion != kFormatVersion) RaiseTable(RERUZO_OLDVERSION);
}

void TBlobFile::VerifyStructure() const {
    CheckVersion();
    // The block size comes from the data file's header: a block no larger than its
    // own header holds no data, and every size computed from it would be wrong.
    const bool sound = blockSize_ > kBlockHeaderSize && header_.NextBlockNo >= 1 &&
                       (header_.NextBlockNo == 1 ? header_.FirstFreeBlock == 0
                                                 : header_.FirstFreeBlock >= 0 && header_.FirstFreeBlock < header_.NextBlockNo);
    if (!sound) RaiseTable(RERUZO_HEADERCORRUPT);
}

void TBlobFile::RaiseTable(std::uint16_t code) const {
    RaiseEngineError(code, {.database = directory_, .table = table_});
}

// ---- Block cache --------------------------------------------------------------------

std::size_t TBlobFile::NormalCapacity() const {
    return std::clamp<std::size_t>(32768 / blockSize_, 1, 8192);
}

std::int32_t TBlobFile::ReadAhead() const { return std::max<std::int32_t>(1, static_cast<std::int32_t>(16384 / blockSize_)); }

std::uint64_t TBlobFile::BlockOffset(std::int32_t n) const {
    return kBlobHeaderSize + static_cast<std::uint64_t>(n - 1) * blockSize_;
}

std::int32_t TBlobFile::CheckedLink(std::int32_t n) const {
    if (n < 1 || n > BlockCount()) RaiseTable(RERUZO_MEMOCORRUPT);
    return n;
}

std::size_t TBlobFile::LowerBound(std::int32_t n) const {
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), n,
                               [](const std::unique_ptr<TBlock>& b, std::int32_t v) { return b->blockNo_ < v; });
    return static_cast<std::size_t>(it - sorted_.begin());
}

TBlock* TBlobFile::FindCached(std::int32_t n) {
    int probed = 0;
    for (TBlock* b = mruNewest_; b && probed < kMruProbe; b = b->older_, ++probed) {
        if (b->blockNo_ == n) return b;
    }
    const std::size_t i = LowerBound(n);
    return i < sorted_.size() && sorted_[i]->blockNo_ == n ? sorted_[i].get() : nullptr;
}

void TBlobFile::InsertSorted(std::unique_ptr<TBlock> block) {
    const std::size_t i = LowerBound(block->blockNo_);
    MruPushNewest(block.get());
    sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(i), std::move(block));
}

void TBlobFile::MruUnlink(TBlock* b) {
    if (b->older_) b->older_->newer_ = b->newer_;
    if (b->newer_) b->newer_->older_ = b->older_;
    if (mruOldest_ == b) mruOldest_ = b->newer_;
    if (mruNewest_ == b) mruNewest_ = b->older_;
    b->older_ = b->newer_ = nullptr;
}

void TBlobFile::MruPushNewest(TBlock* b) {
    b->older_ = mruNewest_;
    b->newer_ = nullptr;
    if (mruNewest_) mruNewest_->newer_ = b;
    mruNewest_ = b;
    if (!mruOldest_) mruOldest_ = b;
}

std::size_t TBlobFile::EvictOldest(std::size_t count) {
    std::size_t evicted = 0;
    for (TBlock* b = mruOldest_; b && evicted < count;) {
        TBlock* newer = b->newer_;
        if (!b->modified_ && b->pinCount_ == 0) {
            MruUnlink(b);
            b->blockNo_ = -1;  // marked for the pool
            ++evicted;
        }
        b = newer;
    }
    if (evicted == 0) return 0;
    std::size_t kept = 0;
    for (auto& b : sorted_) {
        if (b->blockNo_ == -1) {
            b->blockNo_ = 0;
            spare_.push_back(std::move(b));
        } else {
            sorted_[kept++] = std::move(b);
        }
    }
    sorted_.resize(kept);
    return evicted;
}

std::unique_ptr<TBlock> TBlobFile::ObtainBlock() {
    if (sorted_.size() >= capacity_) {
        const std::size_t batch = std::max<std::size_t>(1, capacity_ / 16);
        if (EvictOldest(batch) == 0) {
            // The blocks of a transaction stay in memory until it commits: grow instead.
            // Outside one they are written when evicted: a block is only ever written
            // while no record refers to it (a changed BLOB gets a new chain), so the
            // write never leaves a record pointing at half a value.
            if (!owner_->InTransaction()) FlushBlocks(false);
            // Growing by half keeps a long transaction from searching the whole cache
            // for a victim on every new block.
            if (owner_->InTransaction() || EvictOldest(batch) == 0) capacity_ += std::max<std::size_t>(16, capacity_ / 2);
        }
    }
    std::unique_ptr<TBlock> b;
    if (spare_.empty()) {
        b = std::make_unique<TBlock>();
    } else {
        b = std::move(spare_.back());
        spare_.pop_back();
    }
    b->data_.resize(BlockDataSize());
    b->blockNo_ = 0;
    b->modified_ = false;
    b->pinCount_ = 0;
    return b;
}

TBlock* TBlobFile::GetBlock(TChangeCheck* cursor, std::int32_t n, std::int32_t readAhead) {
    if (n <= 0 || n > header_.NextBlockNo) RaiseTable(RERUZO_MEMOCORRUPT);
    if (TBlock* hit = FindCached(n)) {
        MruUnlink(hit);
        MruPushNewest(hit);
        ++stats_.cacheHits;
        ++hit->pinCount_;
        return hit;
    }
    if (n == header_.NextBlockNo) {
        // A new block at the end of the file.
        if (n > kMaxBlockNo || kBlobHeaderSize + static_cast<std::uint64_t>(n) * blockSize_ > kMaxFileSize) {
            RaiseTable(RERUZO_TABLEFULL);
        }
        std::unique_ptr<TBlock> fresh = ObtainBlock();
        TBlock* b = fresh.get();
        b->blockNo_ = n;
        b->Clear();
        b->modified_ = true;
        InsertSorted(std::move(fresh));
        ++header_.NextBlockNo;
        headerModified_ = true;
        ++b->pinCount_;
        return b;
    }
    if (cursor && !owner_->StrictChangeDetection() && cursor->ChangedBeforeRead()) return nullptr;

    // A run of k blocks in one read; never more than half the cache, so that the run
    // cannot push its own first blocks out again.
    const std::int32_t room = std::max<std::int32_t>(1, static_cast<std::int32_t>(capacity_ / 2));
    const std::int32_t k = std::clamp(std::min(readAhead, room), 1, BlockCount() - n + 1);
    const std::size_t bytes = static_cast<std::size_t>(k) * blockSize_;
    if (readBuffer_.size() < bytes) readBuffer_.resize((bytes + 4095) / 4096 * 4096);
    // The run may reach past the end of the file into blocks appended here and not yet
    // written (they are cached, and stay as they are); block n itself must be there.
    const std::uint64_t got = ReadAt(BlockOffset(n), readBuffer_.data(), bytes, true);
    ++stats_.readCalls;
    const std::int32_t whole = static_cast<std::int32_t>(got / blockSize_);
    stats_.diskReads += static_cast<std::uint64_t>(whole);

    TBlock* target = nullptr;
    readingRun_ = true;
    runFirst_ = n;
    runLast_ = n + k - 1;
    try {
        for (std::int32_t i = 0; i < whole; ++i) {
            const std::int32_t m = n + i;
            const std::uint8_t* bytesOf = readBuffer_.data() + static_cast<std::size_t>(i) * blockSize_;
            TBlock* b = FindCached(m);
            if (b) {
                if (!b->modified_ && b->pinCount_ == 0) b->LoadFrom(bytesOf, encrypted_);
            } else {
                std::unique_ptr<TBlock> fresh = ObtainBlock();
                b = fresh.get();
                b->blockNo_ = m;
                b->LoadFrom(bytesOf, encrypted_);
                InsertSorted(std::move(fresh));
            }
            if (m == n) {
                target = b;
                ++target->pinCount_;
            }
        }
    } catch (...) {
        readingRun_ = false;
        if (target) --target->pinCount_;
        throw;
    }
    readingRun_ = false;
    if (!target) RaiseTable(RERUZO_READERR);  // the file ends before the block
    MruUnlink(target);
    MruPushNewest(target);
    return target;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
    if (block && block->pinCount_ > 0) --block->pinCount_;
}

TBlock* TBlobFile::AllocBlock() {
    const bool reuse = header_.FirstFreeBlock != 0;
    TBlock* b = GetBlock(nullptr, reuse ? CheckedLink(header_.FirstFreeBlock) : header_.NextBlockNo, 1);
    if (reuse) {
        const std::int32_t next = b->NextBlock;
        if (next != 0 && (next < 1 || next > BlockCount())) {
            ReleaseBlock(b);
            RaiseTable(RERUZO_MEMOCORRUPT);
        }
        header_.FirstFreeBlock = next;
        headerModified_ = true;
    }
    b->Clear();
    b->modified_ = true;
    return b;
}

void TBlobFile::FreeBlock(TBlock& block) {
    // A free block belongs to no BLOB: a reader still holding the old reference meets
    // stamp 0, which no BLOB has, and learns that the BLOB was rewritten.
    block.BlobStamp = 0;
    block.NextBlock = header_.FirstFreeBlock;
    block.modified_ = true;
    header_.FirstFreeBlock = block.blockNo_;
    headerModified_ = true;
}

void TBlobFile::FreeBlob(TChangeCheck* cursor, std::int32_t first, std::int32_t stamp, bool force) {
    if (first == 0) return;
    // The whole chain is checked before any block is freed: a damaged chain leaves the
    // file as it was.
    std::vector<std::int32_t> chain;
    std::unordered_set<std::int32_t> seen;
    for (std::int32_t n = CheckedLink(first); n != 0;) {
        if (!seen.insert(n).second) RaiseTable(RERUZO_MEMOCORRUPT);
        TBlock* got = GetBlock(cursor, n, ReadAhead());
        if (!got) got = GetBlock(nullptr, n, ReadAhead());  // read again after the resync
        TPinnedBlock b(got);
        if (b->pinCount_ > 1) RaiseTable(RERUZO_MEMOCORRUPT);  // another user holds it
        if (b->BlobStamp != stamp && !force) RaiseTable(RERUZO_MEMOCORRUPT);
        chain.push_back(n);
        n = b->NextBlock == 0 ? 0 : CheckedLink(b->NextBlock);
    }
    for (const std::int32_t n : chain) {
        TPinnedBlock b(GetBlock(nullptr, n, ReadAhead()));
        FreeBlock(*b);
    }
}

void TBlobFile::AbandonAppended(std::int32_t nextBlockNo) {
    if (nextBlockNo >= header_.NextBlockNo) return;
    for (auto& b : sorted_) {
        if (b->blockNo_ < nextBlockNo) continue;
        MruUnlink(b.get());
        b->blockNo_ = 0;
        b->modified_ = false;
        b->pinCount_ = 0;
        spare_.push_back(std::move(b));
    }
    std::erase(sorted_, nullptr);
    header_.NextBlockNo = nextBlockNo;
    headerModified_ = true;
}

bool TBlobFile::FlushBlocks(bool flushOs) {
    std::vector<TBlock*> dirty;
    for (const auto& b : sorted_) {
        if (!b->modified_ || b->pinCount_ != 0) continue;
        if (readingRun_ && b->blockNo_ >= runFirst_ && b->blockNo_ <= runLast_) continue;
        dirty.push_back(b.get());
    }
    if (dirty.empty()) return false;
    const std::size_t size = blockSize_;
    for (std::size_t i = 0; i < dirty.size();) {
        std::size_t j = i + 1;
        while (j < dirty.size() && dirty[j]->blockNo_ == dirty[j - 1]->blockNo_ + 1) ++j;
        const std::size_t bytes = (j - i) * size;
        if (writeBuffer_.size() < bytes) writeBuffer_.resize((bytes + 4095) / 4096 * 4096);
        for (std::size_t m = i; m < j; ++m) dirty[m]->StoreTo(writeBuffer_.data() + (m - i) * size, encrypted_);
        WriteAt(BlockOffset(dirty[i]->blockNo_), writeBuffer_.data(), bytes);
        if (flushOs || owner_->ForceBufferFlush()) Flush();
        // Only a run that reached the file is clean.
        for (std::size_t m = i; m < j; ++m) dirty[m]->modified_ = false;
        owner_->MarkWritten();
        ++stats_.writeCalls;
        i = j;
    }
    return true;
}

void TBlobFile::ClearCache() {
    for (auto& b : sorted_) {
        b->blockNo_ = 0;
        b->older_ = b->newer_ = nullptr;
        spare_.push_back(std::move(b));
    }
    sorted_.clear();
    mruOldest_ = mruNewest_ = nullptr;
}

void TBlobFile::TrimCache() {
    const std::size_t normal = NormalCapacity();
    if (sorted_.size() > normal) {
        const std::size_t excess = sorted_.size() - normal;
        if (EvictOldest(excess) < excess) FlushBlocks(false);
    }
    if (sorted_.size() > normal) EvictOldest(sorted_.size() - normal);
    spare_.clear();
    capacity_ = std::max(normal, sorted_.size());
}

// ---- One BLOB in memory -------------------------------------------------------------

TBlobBuffer::TBlobBuffer(TBlobFile& file, std::int32_t recordNo, std::uint16_t fieldNo, std::int32_t firstBlock,
                         std::int32_t stamp)
    : file_(file), recordNo_(recordNo), fieldNo_(fieldNo), firstBlock_(firstBlock), stamp_(stamp) {}

void TBlobBuffer::SetSize(std::size_t size) {
    data_.resize(size);
    modified_ = true;
    loaded_ = true;
}

void TBlobBuffer::Load(TChangeCheck* cursor) {
    data_.clear();
    loaded_ = true;
    if (firstBlock_ == 0) return;
    const std::size_t portion = file_.BlockDataSize();
    auto fetch = [&](std::int32_t n, std::int32_t readAhead) {
        TBlock* b = file_.GetBlock(cursor, n, readAhead);
        return TPinnedBlock(b ? b : file_.GetBlock(nullptr, n, readAhead));
    };
    auto blocksFor = [&](std::size_t bytes) {
        return static_cast<std::int32_t>(std::min<std::size_t>((bytes + portion - 1) / portion, 1u << 30));
    };
    if (firstBlock_ < 1 || firstBlock_ > file_.BlockCount()) file_.RaiseTable(RERUZO_MEMOCORRUPT);
    TPinnedBlock b = fetch(firstBlock_, file_.ReadAhead());
    if (b->BlobStamp != stamp_) file_.RaiseTable(RERUZO_KEYORRECDELETED);
    // A size the file's blocks cannot hold is damage, not a reason to allocate.
    if (b->BlobSize < 0 || static_cast<std::uint64_t>(b->BlobSize) >
                               static_cast<std::uint64_t>(file_.BlockCount()) * portion) {
        file_.RaiseTable(RERUZO_MEMOCORRUPT);
    }
    const std::size_t size = static_cast<std::size_t>(b->BlobSize);
    data_.resize(size);
    std::size_t copied = 0;
    std::unordered_set<std::int32_t> seen;
    while (copied < size) {
        if (b->BlobStamp != stamp_) file_.RaiseTable(RERUZO_KEYORRECDELETED);
        if (!seen.insert(b->BlockNo()).second) file_.RaiseTable(RERUZO_MEMOCORRUPT);
        if (b->UsedBytes > portion) file_.RaiseTable(RERUZO_INVALIDBLOBLEN);
        const std::size_t want = std::min(portion, size - copied);
        const std::size_t n = std::min<std::size_t>(want, b->UsedBytes);
        std::memcpy(data_.data() + copied, b->Data().data(), n);
        copied += n;
        if (n != want || copied == size) break;
        const std::int32_t next = b->NextBlock;
        if (next < 1 || next > file_.BlockCount()) file_.RaiseTable(RERUZO_MEMOCORRUPT);
        b = fetch(next, blocksFor(size - copied));
    }
    if (copied != size) file_.RaiseTable(RERUZO_ENDOFBLOB);
}

void TBlobBuffer::Save(TChangeCheck* cursor, std::int32_t newStamp) {
    const std::int32_t oldFirst = firstBlock_;
    const std::int32_t oldStamp = stamp_;
    std::int32_t first = 0;
    if (!data_.empty()) {
        // A new chain first; the old one is freed only once the new one is complete,
        // so a failure on the way leaves the old BLOB as it was.
        std::vector<std::int32_t> made;
        const std::int32_t nextBefore = file_.Header().NextBlockNo;
        const std::size_t portion = file_.BlockDataSize();
        try {
            TPinnedBlock b(file_.AllocBlock());
            made.push_back(b->BlockNo());
            first = b->BlockNo();
            b->BlobSize = static_cast<std::int32_t>(data_.size());
            for (std::size_t written = 0;;) {
                const std::size_t n = std::min(portion, data_.size() - written);
                std::memcpy(b->Data().data(), data_.data() + written, n);
                b->UsedBytes = static_cast<std::uint16_t>(n);
                b->BlobStamp = newStamp;
                b->MarkModified();
                written += n;
                if (written == data_.size()) break;
                TPinnedBlock next(file_.AllocBlock());
                made.push_back(next->BlockNo());
                b->NextBlock = next->BlockNo();
                next->PrevBlock = b->BlockNo();
                b = std::move(next);
            }
        } catch (...) {
            // Undone, so that the record can keep naming the old BLOB: blocks appended
            // for the new chain are forgotten unwritten, and the blocks it took from
            // the free chain go back to it in their old order.
            try {
                file_.AbandonAppended(nextBefore);
                for (auto it = made.rbegin(); it != made.rend(); ++it) {
                    if (*it >= nextBefore) continue;
                    TPinnedBlock b(file_.GetBlock(nullptr, *it, 1));
                    file_.FreeBlock(*b);
                }
            } catch (...) {
            }
            throw;
        }
    }
    file_.FreeBlob(cursor, oldFirst, oldStamp, false);
    firstBlock_ = first;
    stamp_ = newStamp;
    modified_ = false;
}

void TBlobBuffer::Free(TChangeCheck* cursor) {
    file_.FreeBlob(cursor, firstBlock_, stamp_, false);
    firstBlock_ = 0;
    data_.clear();
    loaded_ = true;
}

}  // namespace reruzo
