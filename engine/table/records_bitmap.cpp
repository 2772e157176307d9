// Record bitmaps: setting, clearing and combining bits word by word, counting and
// walking them over runs of whole words, and the engine-wide pool of spare bitmaps.
#include "engine/table/records_bitmap.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace reruzo {
namespace {

constexpr std::size_t kGrowWords = 64;  // 256 bytes
constexpr std::uint32_t kAllSet = 0xFFFFFFFFu;

int PopCount(std::uint32_t w) { return __builtin_popcount(w); }

// The set bits of words [0, count). Positioning a cursor in record order counts the
// bits before a record, so this runs over the whole bitmap once per positioning: with
// the processor's population count instruction where it has one.
std::int32_t CountPortable(const std::uint32_t* words, std::uint32_t count) {
    std::int32_t n = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t w = words[i];
        if (w == 0) continue;
        n += w == kAllSet ? 32 : PopCount(w);
    }
    return n;
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) std::int32_t CountWithInstruction(const std::uint32_t* words, std::uint32_t count) {
    std::int64_t n = 0;
    std::uint32_t i = 0;
    for (; i + 2 <= count; i += 2) {
        std::uint64_t pair = 0;
        std::memcpy(&pair, words + i, sizeof pair);
        n += __builtin_popcountll(pair);
    }
    if (i < count) n += __builtin_popcount(words[i]);
    return static_cast<std::int32_t>(n);
}
#endif

std::int32_t CountSetBits(const std::uint32_t* words, std::uint32_t count) {
#if defined(__x86_64__)
    static const bool instruction = __builtin_cpu_supports("popcnt");
    if (instruction) return CountWithInstruction(words, count);
#endif
    return CountPortable(words, count);
}

// The position (0..31) of the k-th (1-based) set bit of w, counting from the lowest.
int NthSetBit(std::uint32_t w, int k) {
    for (; k > 1; --k) w &= w - 1;
    return __builtin_ctz(w);
}

// The position of the k-th set bit counting from the highest.
int NthSetBitFromTop(std::uint32_t w, int k) {
    int position = 31 - __builtin_clz(w);
    for (; k > 1; --k) {
        w &= ~(std::uint32_t{1} << position);
        position = 31 - __builtin_clz(w);
    }
    return position;
}

struct TPool {
    std::mutex lock;
    std::vector<std::unique_ptr<TRecordsBitmap>> free;
    std::atomic<std::int64_t> outstanding{0};
};

TPool& Pool() {
    static TPool pool;
    return pool;
}

constexpr std::size_t kPoolCapacity = 512;

}  // namespace

void TRecordsBitmap::SetSize(std::int32_t n) {
    n = std::max(n, 0);
    if (n == size_) return;
    if (n == 0) {
        words_.clear();
        words_.shrink_to_fit();
        size_ = 0;
        return;
    }
    const auto needed = static_cast<std::size_t>((static_cast<std::int64_t>(n) + 31) / 32);
    if (needed > words_.size()) words_.resize((needed + kGrowWords - 1) / kGrowWords * kGrowWords, 0);
    const std::int32_t old = size_;
    size_ = n;
    if (n < old) ClearBeyondSize();
}

void TRecordsBitmap::ClearBeyondSize() {
    const auto used = static_cast<std::size_t>(WordCount());
    if (used == 0) {
        std::fill(words_.begin(), words_.end(), 0);
        return;
    }
    const int tail = size_ % 32;
    if (tail != 0) words_[used - 1] &= (std::uint32_t{1} << tail) - 1;
    std::fill(words_.begin() + static_cast<std::ptrdiff_t>(used), words_.end(), 0);
}

void TRecordsBitmap::ClearAll() { std::fill(words_.begin(), words_.end(), 0); }

void TRecordsBitmap::SetAll() {
    std::fill(words_.begin(), words_.begin() + WordCount(), kAllSet);
    ClearBeyondSize();
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
    if (this == &other) return;
    words_ = other.words_;
    size_ = other.size_;
}

void TRecordsBitmap::And(const TRecordsBitmap& other) {
    const std::size_t used = static_cast<std::size_t>(WordCount());
    for (std::size_t i = 0; i < used; ++i) words_[i] &= i < other.words_.size() ? other.words_[i] : 0;
}

void TRecordsBitmap::Or(const TRecordsBitmap& other) {
    const std::size_t used = static_cast<std::size_t>(WordCount());
    for (std::size_t i = 0; i < used && i < other.words_.size(); ++i) words_[i] |= other.words_[i];
    ClearBeyondSize();
}

void TRecordsBitmap::Not() {
    const std::size_t used = static_cast<std::size_t>(WordCount());
    for (std::size_t i = 0; i < used; ++i) words_[i] = ~words_[i];
    ClearBeyondSize();
}

std::int32_t TRecordsBitmap::Count() const { return CountBefore(size_ + 1); }

std::int32_t TRecordsBitmap::CountBefore(std::int32_t r) const {
    r = std::clamp(r, 1, size_ + 1);
    const auto bits = static_cast<std::uint32_t>(r - 1);
    const std::uint32_t whole = bits / 32;
    std::int32_t n = CountSetBits(words_.data(), whole);
    if (bits % 32 != 0) n += PopCount(words_[whole] & ((std::uint32_t{1} << (bits % 32)) - 1));
    return n;
}

bool TRecordsBitmap::Next(std::int32_t& from, std::int32_t k, std::int64_t& ordinal) const {
    if (k < 1 || from >= size_) return false;
    std::uint32_t bit = static_cast<std::uint32_t>(std::max(from, 0));  // 0-based index of the first candidate
    std::int32_t remaining = k;
    const std::uint32_t used = static_cast<std::uint32_t>(WordCount());
    std::uint32_t word = bit / 32;
    // The rest of the first word, from the candidate bit on.
    std::uint32_t w = words_[word] & (kAllSet << (bit % 32));
    for (;;) {
        // Empty words, the whole of a sparse bitmap, cost a comparison each.
        while (w == 0) {
            if (++word >= used) return false;
            w = words_[word];
        }
        const int inWord = remaining == 1 ? 1 : w == kAllSet ? 32 : PopCount(w);
        if (inWord >= remaining) {
            const int position = NthSetBit(w, remaining);
            from = static_cast<std::int32_t>(word * 32 + static_cast<std::uint32_t>(position) + 1);
            ordinal += k;
            return true;
        }
        remaining -= inWord;
        if (++word >= used) return false;
        w = words_[word];
    }
}

bool TRecordsBitmap::Previous(std::int32_t& from, std::int32_t k, std::int64_t& ordinal) const {
    if (k < 1 || from <= 1 || size_ == 0) return false;
    const std::int32_t last = std::min(from - 1, size_);  // the first candidate record
    std::uint32_t bit = static_cast<std::uint32_t>(last - 1);
    std::int64_t word = bit / 32;
    const int top = static_cast<int>(bit % 32);
    std::uint32_t w = words_[static_cast<std::size_t>(word)] & (top == 31 ? kAllSet : (std::uint32_t{1} << (top + 1)) - 1);
    std::int32_t remaining = k;
    for (;;) {
        while (w == 0) {
            if (--word < 0) return false;
            w = words_[static_cast<std::size_t>(word)];
        }
        const int inWord = remaining == 1 ? 1 : w == kAllSet ? 32 : PopCount(w);
        if (inWord >= remaining) {
            const int position = NthSetBitFromTop(w, remaining);
            from = static_cast<std::int32_t>(word * 32 + position + 1);
            ordinal -= k;
            return true;
        }
        remaining -= inWord;
        if (--word < 0) return false;
        w = words_[static_cast<std::size_t>(word)];
    }
}

std::vector<std::int32_t> TRecordsBitmap::Members() const {
    std::vector<std::int32_t> out;
    const std::size_t used = static_cast<std::size_t>(WordCount());
    for (std::size_t i = 0; i < used; ++i) {
        for (std::uint32_t bits = words_[i]; bits; bits &= bits - 1)
            out.push_back(static_cast<std::int32_t>(i * 32 + static_cast<std::size_t>(__builtin_ctz(bits)) + 1));
    }
    return out;
}

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Get() {
    TPool& pool = Pool();
    std::unique_ptr<TRecordsBitmap> bitmap;
    {
        std::lock_guard guard(pool.lock);
        if (!pool.free.empty()) {
            bitmap = std::move(pool.free.back());
            pool.free.pop_back();
        }
    }
    if (!bitmap) bitmap = std::make_unique<TRecordsBitmap>();
    bitmap->Recycle();
    ++pool.outstanding;
    return bitmap;
}

void TRecordsBitmapStack::Release(std::unique_ptr<TRecordsBitmap> bitmap) {
    if (!bitmap) return;
    TPool& pool = Pool();
    --pool.outstanding;
    std::lock_guard guard(pool.lock);
    if (pool.free.size() < kPoolCapacity) pool.free.push_back(std::move(bitmap));
}

std::size_t TRecordsBitmapStack::PooledCount() {
    std::lock_guard guard(Pool().lock);
    return Pool().free.size();
}

std::int64_t TRecordsBitmapStack::OutstandingCount() { return Pool().outstanding.load(); }

std::int32_t MemberRun(const TRecordsBitmap& members, std::int32_t from, std::int32_t reach, int step) {
    std::int32_t adjacent = 1;
    while (adjacent < reach && members.Has(from + step * adjacent)) ++adjacent;
    std::int32_t last = adjacent;  // the run up to the last member within reach
    std::int32_t shown = adjacent;
    for (std::int32_t i = adjacent; i < reach; ++i) {
        if (members.Has(from + step * i)) {
            last = i + 1;
            ++shown;
        }
    }
    return shown * kDenseRun >= reach ? last : adjacent;
}

}  // namespace reruzo
