// Sets of physical record numbers as bitmaps: record n is bit (n-1) mod 32, least
// significant first, of word (n-1) div 32. A bitmap has a record count (its size);
// storage grows in steps of 256 bytes and new storage is zero. Bits beyond the size
// are always clear, so counting and walking never look past it.
//
// Counting and walking skip whole words that are all clear or all set, which keeps
// them fast on the long uniform runs that filter results and live-record maps have.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace reruzo {

class TRecordsBitmap {
public:
    // The record count n: members are 1..n.
    std::int32_t Size() const { return size_; }
    // Sets the record count, growing the storage as needed; 0 releases the storage.
    // Records cut off by a smaller size are cleared.
    void SetSize(std::int32_t n);
    std::int32_t WordCount() const { return static_cast<std::int32_t>((static_cast<std::int64_t>(size_) + 31) / 32); }
    std::size_t AllocatedBytes() const { return words_.size() * 4; }

    bool Has(std::int32_t r) const {
        if (r < 1 || r > size_) return false;
        const auto i = static_cast<std::uint32_t>(r - 1);
        return (words_[i / 32] >> (i % 32)) & 1u;
    }
    // Sets record r, growing the size to r first where needed.
    void Set(std::int32_t r) {
        if (r < 1) return;
        if (r > size_) SetSize(r);
        const auto i = static_cast<std::uint32_t>(r - 1);
        words_[i / 32] |= std::uint32_t{1} << (i % 32);
    }
    void Reset(std::int32_t r) {
        if (r < 1 || r > size_) return;
        const auto i = static_cast<std::uint32_t>(r - 1);
        words_[i / 32] &= ~(std::uint32_t{1} << (i % 32));
    }

    // Size 0 and no storage.
    void Clear() { SetSize(0); }
    // Size 0, keeping the storage for the next use (pooled bitmaps).
    void Recycle() {
        ClearAll();
        size_ = 0;
    }
    void ClearAll();
    void SetAll();
    void Assign(const TRecordsBitmap& other);
    // Word-wise over this bitmap's words; missing words of `other` count as clear.
    void And(const TRecordsBitmap& other);
    void Or(const TRecordsBitmap& other);
    void Not();

    bool Empty() const { return Count() == 0; }
    std::int32_t Count() const;
    // Set records among 1..r-1.
    std::int32_t CountBefore(std::int32_t r) const;
    // Finds the k-th set record after `from` (0: before the first record) and returns
    // it in `from`, adding k to the running `ordinal`. False, with both unchanged,
    // when the end comes first.
    bool Next(std::int32_t& from, std::int32_t k, std::int64_t& ordinal) const;
    // The same backwards: the k-th set record before `from` (Size() + 1: after the
    // last), subtracting k from `ordinal`.
    bool Previous(std::int32_t& from, std::int32_t k, std::int64_t& ordinal) const;
    // Every member in ascending order.
    std::vector<std::int32_t> Members() const;

private:
    void ClearBeyondSize();

    std::vector<std::uint32_t> words_;  // storage; a multiple of 64 words (256 bytes)
    std::int32_t size_ = 0;
};

// The engine-wide pool of bitmaps for temporary results. Get hands out an empty
// bitmap; Release returns it (the pool keeps at most 512).
class TRecordsBitmapStack {
public:
    static std::unique_ptr<TRecordsBitmap> Get();
    static void Release(std::unique_ptr<TRecordsBitmap> bitmap);
    static std::size_t PooledCount();
    static std::int64_t OutstandingCount();  // handed out and not yet returned
};

// A pooled bitmap that goes back to the pool when it leaves its scope, on every path.
class TPooledBitmap {
public:
    TPooledBitmap() : bitmap_(TRecordsBitmapStack::Get()) {}
    ~TPooledBitmap() {
        if (bitmap_) TRecordsBitmapStack::Release(std::move(bitmap_));
    }
    TPooledBitmap(TPooledBitmap&&) noexcept = default;
    TPooledBitmap& operator=(TPooledBitmap&&) = delete;
    TRecordsBitmap& operator*() const { return *bitmap_; }
    TRecordsBitmap* operator->() const { return bitmap_.get(); }

private:
    std::unique_ptr<TRecordsBitmap> bitmap_;
};

// How many slots one read starting at member `from` should take to serve the members
// ahead of it (`step` 1 forwards, -1 backwards) within `reach` slots (`from` included):
// the members next to it; and when at least one slot in kDenseRun of the reach is a
// member, up to the last member within it, since a read costs a system call (and, on
// a shared table, a check for other writers) while the slots between cost only bytes.
// A sparse set reads only its own members.
inline constexpr std::int32_t kDenseRun = 16;
std::int32_t MemberRun(const TRecordsBitmap& members, std::int32_t from, std::int32_t reach, int step);

}  // namespace reruzo
