// Display widths of UTF-8 text (see text_width.h).
#include "tools/reruzo/text_width.h"

#include <array>

namespace reruzo::cli {
namespace {

struct TRange {
    char32_t first;
    char32_t last;
};

// The wide and fullwidth blocks, in ascending order.
constexpr std::array<TRange, 15> kWide{{
    {0x1100, 0x115F},    // Hangul Jamo leading consonants
    {0x2E80, 0x303E},    // CJK radicals, Kangxi radicals, CJK symbols and punctuation
    {0x3041, 0x33FF},    // kana, Bopomofo, Hangul compatibility Jamo, enclosed CJK, CJK compatibility
    {0x3400, 0x4DBF},    // CJK unified ideographs extension A
    {0x4E00, 0x9FFF},    // CJK unified ideographs
    {0xA000, 0xA4CF},    // Yi
    {0xA960, 0xA97F},    // Hangul Jamo extended A
    {0xAC00, 0xD7A3},    // Hangul syllables
    {0xF900, 0xFAFF},    // CJK compatibility ideographs
    {0xFE10, 0xFE19},    // vertical forms
    {0xFE30, 0xFE6F},    // CJK compatibility forms, small form variants
    {0xFF00, 0xFF60},    // fullwidth ASCII forms
    {0xFFE0, 0xFFE6},    // fullwidth signs
    {0x20000, 0x2FFFD},  // CJK ideographs, supplementary plane
    {0x30000, 0x3FFFD},  // CJK ideographs, tertiary plane
}};

// The length of the UTF-8 sequence starting at `i` and its code point; 0 when the
// bytes there are no valid sequence.
std::size_t Decode(std::string_view s, std::size_t i, char32_t& c) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    return length;
}

}  // namespace

int CodePointWidth(char32_t c) {
    for (const TRange& r : kWide) {
        if (c < r.first) return 1;
        if (c <= r.last) return 2;
    }
    return 1;
}

std::size_t DisplayWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = 0;
        const std::size_t length = Decode(utf8, i, c);
        width += length == 0 ? 1 : static_cast<std::size_t>(CodePointWidth(c));
        i += length == 0 ? 1 : length;
    }
    return width;
}

}  // namespace reruzo::cli
