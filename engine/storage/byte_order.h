// Little-endian integers and short strings inside byte buffers. Every integer in the
// table files is little-endian; a short string of capacity N is a length byte
// followed by N character bytes, of which only the first `length` are meaningful.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace reruzo {

template <typename T>
T GetLE(const std::uint8_t* p) {
    static_assert(std::endian::native == std::endian::little, "little-endian host assumed");
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void PutLE(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Reads a short string of the given capacity. A length byte above the capacity (a
// damaged file) is clamped so that reading never leaves the field.
inline std::string GetShortString(const std::uint8_t* p, std::size_t capacity) {
    const std::size_t n = std::min<std::size_t>(p[0], capacity);
    return std::string(reinterpret_cast<const char*>(p + 1), n);
}

// Writes a short string cut to the capacity; the unused character bytes are zeroed.
inline void PutShortString(std::uint8_t* p, std::size_t capacity, std::string_view s) {
    const std::size_t n = std::min(s.size(), capacity);
    p[0] = static_cast<std::uint8_t>(n);
    std::memcpy(p + 1, s.data(), n);
    std::memset(p + 1 + n, 0, capacity - n);
}

}  // namespace reruzo
