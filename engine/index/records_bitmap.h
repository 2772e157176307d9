// A set of record numbers (1-based), stored as bits and grown on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace reruzo {

class TRecordsBitmap {
public:
    bool Has(std::int32_t n) const {
        if (n < 1) return false;
        const auto i = static_cast<std::size_t>(n - 1);
        return i / 64 < words_.size() && (words_[i / 64] >> (i % 64) & 1u);
    }
    void Set(std::int32_t n) {
        if (n < 1) return;
        const auto i = static_cast<std::size_t>(n - 1);
        if (i / 64 >= words_.size()) words_.resize(i / 64 + 1, 0);
        words_[i / 64] |= std::uint64_t{1} << (i % 64);
    }
    void Reset(std::int32_t n) {
        if (!Has(n)) return;
        const auto i = static_cast<std::size_t>(n - 1);
        words_[i / 64] &= ~(std::uint64_t{1} << (i % 64));
    }
    void Clear() { words_.clear(); }
    bool Empty() const {
        for (std::uint64_t w : words_) {
            if (w) return false;
        }
        return true;
    }
    std::int64_t Count() const {
        std::int64_t n = 0;
        for (std::uint64_t w : words_) n += __builtin_popcountll(w);
        return n;
    }
    // Every member in ascending order.
    std::vector<std::int32_t> Members() const {
        std::vector<std::int32_t> out;
        for (std::size_t w = 0; w < words_.size(); ++w) {
            for (std::uint64_t bits = words_[w]; bits; bits &= bits - 1) {
                out.push_back(static_cast<std::int32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)) + 1));
            }
        }
        return out;
    }

private:
    std::vector<std::uint64_t> words_;
};

}  // namespace reruzo
