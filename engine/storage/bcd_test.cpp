// The BCD codec: written-out text, currency values both ways, and the texts of field
// descriptors, checked against hand-packed bytes.
#include "engine/storage/bcd.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace reruzo {
namespace {

std::vector<std::uint8_t> Packed(std::initializer_list<std::uint8_t> head) {
    std::vector<std::uint8_t> out(kBcdSize, 0);
    std::copy(head.begin(), head.end(), out.begin());
    return out;
}

TEST(Bcd, WrittenOutText) {
    // precision 5, two decimals, digits 1 2 3 4 5
    const std::uint8_t positive[] = {5, 0x02, 0x12, 0x34, 0x50};
    EXPECT_EQ(BcdText(positive), "123.45");
    const std::uint8_t negative[] = {5, 0x82, 0x12, 0x34, 0x50};
    EXPECT_EQ(BcdText(negative), "-123.45");
    const std::uint8_t leadingZeros[] = {6, 0x02, 0x00, 0x01, 0x20};  // 0001.20
    EXPECT_EQ(BcdText(leadingZeros), "1.2");
    const std::uint8_t zero[] = {4, 0x00, 0x00, 0x00};
    EXPECT_EQ(BcdText(zero), "0");
    const std::uint8_t onlyDecimals[] = {2, 0x02, 0x05};
    EXPECT_EQ(BcdText(onlyDecimals), "0.05");
    const std::uint8_t overlong[] = {200, 0x00, 0x12};  // precision beyond the bytes
    EXPECT_EQ(BcdText(overlong), "12");
    const std::uint8_t badNibbles[] = {2, 0x00, 0xAB};  // nibbles above 9 read modulo 10
    EXPECT_EQ(BcdText(badNibbles), "1");
    const std::uint8_t tooShort[] = {2};
    EXPECT_EQ(BcdText(tooShort), "");
}

TEST(Bcd, CurrencyBothWays) {
    // 12.5 with one decimal is 125000 in ten-thousandths; six decimals are cut to four.
    EXPECT_EQ(BcdToCurrency(Packed({3, 0x81, 0x12, 0x50})), -125000);
    EXPECT_EQ(BcdToCurrency(Packed({8, 0x06, 0x01, 0x23, 0x45, 0x67})), 12345);  // 1.234567
    // Beyond 64 bits the value saturates instead of wrapping.
    std::vector<std::uint8_t> huge = Packed({30, 0x00});
    for (std::size_t i = 2; i < 17; ++i) huge[i] = 0x99;
    EXPECT_EQ(BcdToCurrency(huge), INT64_MAX);

    for (const std::int64_t value : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{123456789},
                                     std::int64_t{-987654321012345}, INT64_MAX, INT64_MIN + 1}) {
        std::vector<std::uint8_t> bytes(kBcdSize, 0xEE);
        CurrencyToBcd(value, bytes);
        EXPECT_EQ(bytes[0], 20);
        EXPECT_EQ(bytes[1] & 0x3F, 4);
        EXPECT_EQ(bytes[12], 0) << "the bytes after the digits are zeroed";
        EXPECT_EQ(BcdToCurrency(bytes), value);
    }
    std::vector<std::uint8_t> bytes(kBcdSize);
    CurrencyToBcd(-125000, bytes);
    EXPECT_EQ(BcdText(bytes), "-12.5");
}

TEST(Bcd, DescriptorTexts) {
    // Precision 32 and the field's scale; blanks and a plus sign are allowed, decimals
    // beyond the scale are cut.
    const auto value = BcdFromText(" +12.345 ", 2);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, Packed({32, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34}));
    EXPECT_EQ(BcdText(*value), "12.34");
    EXPECT_EQ(BcdText(*BcdFromText("-.5", 1)), "-0.5");
    EXPECT_EQ(BcdText(*BcdFromText("7.", 0)), "7");
    EXPECT_FALSE(BcdFromText("", 2));
    EXPECT_FALSE(BcdFromText(".", 2));
    EXPECT_FALSE(BcdFromText("1.2.3", 2));
    EXPECT_FALSE(BcdFromText("12a", 2));
    EXPECT_TRUE(BcdFromText(std::string(30, '9'), 2));
    EXPECT_FALSE(BcdFromText(std::string(31, '9'), 2)) << "the whole part needs more than 32 - scale digits";
}

}  // namespace
}  // namespace reruzo
