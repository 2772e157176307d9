// Packed decimals (BCD), the one codec every layer uses for BCD field data.
//
// Layout of the 34 bytes a BCD field stores:
//   offset  size  meaning
//   0       1     precision: the number of digits that follow (at most 64)
//   1       1     bit 7 the sign (1: negative), bits 0..5 the scale (digits after
//                 the decimal point, counted from the right of the digits)
//   2       32    the digits, two a byte, the first in the high nibble
// Tables written here use precision 32 for fields and precision 20, scale 4 for the
// currency values of expressions. A nibble above 9 reads as its value modulo 10.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace reruzo {

inline constexpr std::size_t kBcdSize = 34;
inline constexpr int kBcdFieldPrecision = 32;

// The digits of packed decimal bytes as they stand: precision and scale limited to
// what the bytes can hold, the digits as characters '0'..'9', most significant first.
struct TBcdDigits {
    bool negative = false;
    int precision = 0;
    int scale = 0;
    char digits[64] = {};
};
TBcdDigits UnpackBcd(std::span<const std::uint8_t> bcd);

// Packs `digits` ('0'..'9', most significant first, at most 64) into `out` (at least
// 2 + (digits + 1) / 2 bytes; the rest of `out` is zeroed).
void PackBcd(bool negative, std::string_view digits, int scale, std::span<std::uint8_t> out);

// Fixed-point currency (value x 10000). Digits beyond four decimals are cut and
// values beyond 64 bits saturate; the packed form has precision 20 and scale 4.
std::int64_t BcdToCurrency(std::span<const std::uint8_t> bcd);
void CurrencyToBcd(std::int64_t currency, std::span<std::uint8_t> out);

// The decimal text of packed decimal bytes: no leading zeros before the point (one
// zero when the whole part is empty), no trailing zeros after it, "-" when negative.
std::string BcdText(std::span<const std::uint8_t> bcd);

// Field data (precision 32, the given scale) of a decimal text as descriptors carry
// it: blanks around it, an optional sign, digits with an optional "."; decimals
// beyond the scale are cut. Nothing when the text is not a number or its whole part
// needs more than 32 - scale digits.
std::optional<std::vector<std::uint8_t>> BcdFromText(std::string_view text, std::uint8_t scale);

}  // namespace reruzo
