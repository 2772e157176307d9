// Packing and unpacking of BCD field data, its currency form and its text forms.
#include "engine/storage/bcd.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace reruzo {

TBcdDigits UnpackBcd(std::span<const std::uint8_t> bcd) {
    TBcdDigits d;
    if (bcd.size() < 2) return d;
    const int available = std::min(static_cast<int>(bcd.size() - 2) * 2, 64);
    d.precision = std::min<int>(bcd[0], available);
    d.scale = std::min(bcd[1] & 0x3F, d.precision);
    d.negative = (bcd[1] & 0x80) != 0;
    for (int i = 0; i < d.precision; ++i) {
        const std::uint8_t byte = bcd[2 + static_cast<std::size_t>(i / 2)];
        d.digits[i] = static_cast<char>('0' + (i % 2 == 0 ? byte >> 4 : byte & 0x0F) % 10);
    }
    return d;
}

void PackBcd(bool negative, std::string_view digits, int scale, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    out[0] = static_cast<std::uint8_t>(digits.size());
    out[1] = static_cast<std::uint8_t>((negative ? 0x80 : 0) | (scale & 0x3F));
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const auto digit = static_cast<std::uint8_t>(digits[i] - '0');
        out[2 + i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? digit << 4 : digit);
    }
}

std::int64_t BcdToCurrency(std::span<const std::uint8_t> bcd) {
    const TBcdDigits d = UnpackBcd(bcd);
    // Digits beyond four decimals are cut; values beyond 64 bits saturate.
    const int used = d.precision - std::max(0, d.scale - 4);
    std::int64_t v = 0;
    constexpr std::int64_t kLimit = INT64_MAX / 10 - 9;
    for (int i = 0; i < used; ++i) v = v > kLimit ? INT64_MAX : v * 10 + (d.digits[i] - '0');
    for (int i = std::min(d.scale, 4); i < 4; ++i) v = v > kLimit ? INT64_MAX : v * 10;
    return d.negative ? -v : v;
}

void CurrencyToBcd(std::int64_t currency, std::span<std::uint8_t> out) {
    constexpr int kPrecision = 20;
    char digits[kPrecision];
    std::uint64_t magnitude =
        currency < 0 ? 0 - static_cast<std::uint64_t>(currency) : static_cast<std::uint64_t>(currency);
    for (int i = kPrecision - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    PackBcd(currency < 0, std::string_view(digits, kPrecision), 4, out);
}

std::string BcdText(std::span<const std::uint8_t> bcd) {
    if (bcd.size() < 2) return {};
    const TBcdDigits d = UnpackBcd(bcd);
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.precision));
    const std::size_t wholeDigits = static_cast<std::size_t>(d.precision - d.scale);
    std::size_t firstDigit = 0;
    while (firstDigit + 1 < wholeDigits && digits[firstDigit] == '0') ++firstDigit;
    std::string_view frac = digits.substr(wholeDigits);
    while (!frac.empty() && frac.back() == '0') frac.remove_suffix(1);
    std::string out;
    if (d.negative) out += '-';
    if (wholeDigits == 0) {
        out += '0';
    } else {
        out += digits.substr(firstDigit, wholeDigits - firstDigit);
    }
    if (!frac.empty()) {
        out += '.';
        out += frac;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> BcdFromText(std::string_view text, std::uint8_t scale) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::string whole, fraction;
    bool point = false;
    for (char c : text) {
        if (c == '.' && !point) {
            point = true;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            (point ? fraction : whole) += c;
        } else {
            return std::nullopt;
        }
    }
    if (whole.empty() && fraction.empty()) return std::nullopt;
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    fraction.resize(scale, '0');  // extra digits are cut, missing ones are zeros
    if (static_cast<int>(whole.size()) > kBcdFieldPrecision - scale) return std::nullopt;
    const std::string digits =
        std::string(static_cast<std::size_t>(kBcdFieldPrecision - scale) - whole.size(), '0') + whole + fraction;
    std::vector<std::uint8_t> out(kBcdSize, 0);
    PackBcd(negative, digits, scale, out);
    return out;
}

}  // namespace reruzo
