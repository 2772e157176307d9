// Record slots and BLOB blocks read straight from a table's files, bounded by the
// files' sizes.
#include "tools/reruzo/table_bytes.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/storage/blob_file.h"
#include "engine/storage/byte_order.h"

namespace reruzo::cli {

// ---- Record slots ---------------------------------------------------------------------

namespace {
// Bytes one read-ahead takes at most.
constexpr std::size_t kReadRun = 1 << 16;
}  // namespace

TSlotReader::TSlotReader(TDataFile& data) : data_(data), recordSize_(data.RecordSize()) {
    start_ = kHeaderSize + std::uint64_t{kFieldDescSize} * data.FieldCount();
    const std::uint64_t size = data.FileSize();
    if (recordSize_ != 0 && size > start_) {
        const std::uint64_t slots = (size - start_) / recordSize_;
        // Slot numbers are 32-bit; a file holding more is cut there.
        fileSlots_ = static_cast<std::int32_t>(std::min<std::uint64_t>(slots, INT32_MAX - 1));
        partial_ = (size - start_) % recordSize_;
    }
}

std::span<const std::uint8_t> TSlotReader::Slot(std::int32_t n, bool readAhead) {
    if (n < first_ || n >= first_ + count_) {
        const std::int32_t run =
            readAhead ? std::max<std::int32_t>(1, static_cast<std::int32_t>(kReadRun / recordSize_)) : 1;
        const std::int32_t k = std::min(run, fileSlots_ - n + 1);
        buffer_.resize(static_cast<std::size_t>(k) * recordSize_);
        data_.ReadAt(data_.SlotOffset(n), buffer_.data(), buffer_.size());
        if (data_.Encrypted()) {
            for (std::int32_t i = 0; i < k; ++i) {
                ApplyCipher(std::span(buffer_).subspan(static_cast<std::size_t>(i) * recordSize_, recordSize_),
                            kRecordKey);
            }
        }
        first_ = n;
        count_ = k;
    }
    return std::span<const std::uint8_t>(buffer_).subspan(static_cast<std::size_t>(n - first_) * recordSize_,
                                                          recordSize_);
}

// ---- BLOB blocks ----------------------------------------------------------------------

TBlockReader::TBlockReader(TFileHandler& file, std::uint32_t blockSize, bool encrypted)
    : file_(file), blockSize_(blockSize), encrypted_(encrypted) {
    const std::uint64_t size = file.FileSize();
    if (size > kBlobHeaderSize) {
        fileBlocks_ = static_cast<std::int32_t>(std::min<std::uint64_t>((size - kBlobHeaderSize) / blockSize, INT32_MAX - 1));
    }
    buffer_.resize(blockSize);
}

TBlockHead TBlockReader::Read(std::int32_t n, std::vector<std::uint8_t>* data) {
    const std::size_t length = data ? blockSize_ : kBlockHeaderSize;
    file_.ReadAt(kBlobHeaderSize + static_cast<std::uint64_t>(n - 1) * blockSize_, buffer_.data(), length);
    // The header and the data are enciphered as two runs, each from the key's start.
    if (encrypted_) ApplyCipher(std::span(buffer_).first(kBlockHeaderSize), kRecordKey);
    const std::uint8_t* p = buffer_.data();
    TBlockHead h{GetLE<std::int32_t>(p), GetLE<std::int32_t>(p + 4), GetLE<std::uint16_t>(p + 8),
                 GetLE<std::int32_t>(p + 10), GetLE<std::int32_t>(p + 14)};
    if (data) {
        data->assign(buffer_.begin() + kBlockHeaderSize, buffer_.end());
        if (encrypted_) ApplyCipher(*data, kRecordKey);
    }
    return h;
}

TBlobChain ReadBlobChain(TBlockReader& blocks, std::int32_t first, std::int32_t stamp, bool wantContents) {
    TBlobChain chain;
    const std::uint32_t portion = blocks.Portion();
    auto inFile = [&](std::int32_t n) { return n >= 1 && n <= blocks.FileBlocks(); };
    if (!inFile(first)) {
        chain.problem = "the BLOB starts at block " + std::to_string(first) + ", which the file does not hold";
        return chain;
    }
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t>* want = wantContents ? &data : nullptr;
    TBlockHead head = blocks.Read(first, want);
    if (head.stamp != stamp) {
        chain.problem = "block " + std::to_string(first) + " carries stamp " + std::to_string(head.stamp) +
                        ", the record's is " + std::to_string(stamp);
        return chain;
    }
    // A size the file's blocks cannot hold is damage, not a reason to allocate.
    if (head.size < 0 || static_cast<std::uint64_t>(head.size) >
                             static_cast<std::uint64_t>(blocks.FileBlocks()) * portion) {
        chain.problem = "the BLOB's size " + std::to_string(head.size) + " is more than the file's blocks hold";
        return chain;
    }
    const std::size_t size = static_cast<std::size_t>(head.size);
    if (wantContents) chain.contents.reserve(size);
    std::unordered_set<std::int32_t> seen;
    std::string unsound;
    std::size_t copied = 0;
    for (std::int32_t n = first, prev = 0;;) {
        if (!seen.insert(n).second) {
            chain.problem = "the chain loops back to block " + std::to_string(n);
            return chain;
        }
        chain.blocks.push_back(n);
        if (n != first) {
            head = blocks.Read(n, want);
            if (head.stamp != stamp) {
                chain.problem = "block " + std::to_string(n) + " carries stamp " + std::to_string(head.stamp) +
                                ", the record's is " + std::to_string(stamp);
                return chain;
            }
        }
        if (head.used > portion) {
            chain.problem = "block " + std::to_string(n) + " uses " + std::to_string(head.used) + " bytes, a block holds " +
                            std::to_string(portion);
            return chain;
        }
        if (unsound.empty() && head.prev != prev) {
            unsound = "block " + std::to_string(n) + " links back to block " + std::to_string(head.prev);
        }
        const std::size_t wanted = std::min<std::size_t>(portion, size - copied);
        const std::size_t taken = std::min<std::size_t>(wanted, head.used);
        if (wantContents) chain.contents.insert(chain.contents.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        copied += taken;
        if (taken != wanted) break;  // a block short of its share: the BLOB ends early
        if (copied == size) {
            if (unsound.empty() && (head.used != taken || head.next != 0)) {
                unsound = "the last block " + std::to_string(n) + " does not end the chain where the size says";
            }
            break;
        }
        if (!inFile(head.next)) {
            chain.problem = "block " + std::to_string(n) + " links to block " + std::to_string(head.next) +
                            ", which the file does not hold";
            return chain;
        }
        prev = n;
        n = head.next;
    }
    if (copied != size) {
        chain.problem = "the BLOB's size is " + std::to_string(size) + " bytes, its blocks hold " + std::to_string(copied);
        return chain;
    }
    chain.readable = true;
    chain.sound = unsound.empty();
    chain.problem = unsound;
    if (!wantContents) chain.contents.clear();
    return chain;
}

}  // namespace reruzo::cli
