// The workloads' rows, and the hashing of results, of the comparison with SQLite.
#include "bench/sqlite_compare/workload.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <string_view>

namespace reruzo::sqlite_compare {

// The bytes of BLOB i: the same on both sides.
void BlobBytes(int i, std::vector<std::uint8_t>& out) {
    std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
}

// What a BLOB read adds to a result: its length and a sample of its bytes.
void AddBlob(TResult& r, std::int64_t id, const std::uint8_t* data, std::size_t size) {
    std::uint64_t sample = size;
    for (std::size_t i = 0; i < size; i += 509) sample = sample * 31 + data[i];
    r.Add(id, 0, 0, static_cast<std::size_t>(sample % 1000000007u));
}

std::uint64_t Scramble(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9u;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

std::uint64_t HashInteger(std::int64_t value) { return Scramble(static_cast<std::uint64_t>(value) * 1000000u); }

std::uint64_t HashFloat(double value) {
    // Whole numbers hash as the integer they equal, the rest by their value in millionths.
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
        return HashInteger(static_cast<std::int64_t>(value));
    }
    if (!std::isfinite(value) || std::fabs(value) >= 9e12) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        return Scramble(bits ^ 0x5a5a5a5a5a5a5a5au);
    }
    return Scramble(static_cast<std::uint64_t>(std::llround(value * 1e6)));
}

std::uint64_t HashText(std::string_view text) {
    std::uint64_t h = 1469598103934665603u;  // FNV-1a
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211u;
    return Scramble(h ^ (text.size() << 1) ^ 1u);
}

TWorkload MakeWorkload(const TOptions& options) {
    TWorkload w;
    w.rows = options.rows;
    w.autocommitRows = options.autocommitRows >= 0 ? std::min(options.autocommitRows, options.rows)
                                                   : std::min(options.rows, kDefaultAutocommitCap);
    w.rangeWidth = std::max(1, options.rows / 100);
    std::vector<std::int32_t> keys(static_cast<std::size_t>(options.rows));
    std::iota(keys.begin(), keys.end(), 0);
    std::mt19937 rng(20240611);
    std::shuffle(keys.begin(), keys.end(), rng);
    static const char kFill[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    w.data.reserve(keys.size());
    for (int i = 0; i < options.rows; ++i) {
        char head[24];
        std::snprintf(head, sizeof head, "row %08d ", i + 1);
        std::string s = head;
        for (std::size_t j = s.size(); j < kStringLength; ++j) s += kFill[(static_cast<std::size_t>(i) + j * 7) % 52];
        w.data.push_back({keys[static_cast<std::size_t>(i)], static_cast<std::int32_t>(rng() % 100), std::move(s)});
    }
    w.lookups.resize(static_cast<std::size_t>(options.rows));
    for (auto& id : w.lookups) id = static_cast<std::int32_t>(1 + rng() % static_cast<std::uint32_t>(options.rows));
    // Enough ranges to read about as many rows as the table holds.
    const int ranges = 100;
    const int span = options.rows - w.rangeWidth + 1;
    for (int i = 0; i < ranges; ++i) w.rangeLows.push_back(static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(span)));
    for (int i = 0; i < kCountStatements; ++i) {
        w.countKeys.push_back(static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(options.rows)));
    }
    // One row for every rows/1000-th value of k: each meets one row of the main table
    // until the delete workload removes it (below 1,000 rows the values repeat).
    const int step = std::max(1, options.rows / kSmallRows);
    for (int i = 0; i < kSmallRows; ++i) {
        char s[24];
        std::snprintf(s, sizeof s, "small %04d", i);
        w.small.push_back({static_cast<std::int32_t>((i * step) % options.rows), static_cast<std::int32_t>(i % 100), s});
    }
    return w;
}

}  // namespace reruzo::sqlite_compare
