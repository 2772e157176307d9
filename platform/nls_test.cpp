// Tests of the language table, locale availability and case mapping.
#include "platform/nls.h"

#include <gtest/gtest.h>

namespace quorvane::nls {
namespace {

TEST(Nls, LanguageTableKeepsItsStoredOrder) {
    auto langs = Languages();
    ASSERT_EQ(langs.size(), 99u);
    EXPECT_STREQ(langs[0].name, "ANSI Standard");
    EXPECT_EQ(langs[28].id, 0x0409);
    EXPECT_STREQ(langs[28].name, "English (USA)");
    EXPECT_EQ(langs[48].id, 0x0407);
    EXPECT_EQ(langs[52].id, 0x1407);
    EXPECT_EQ(langs[73].id, 0x040A);
    EXPECT_EQ(langs[98].id, 0x042A);
    EXPECT_EQ(FindLanguage(0x0816)->codePage, 1252);
    EXPECT_EQ(FindLanguage(0x0C1A)->codePage, 1251);
    EXPECT_EQ(FindLanguage(0x1234), nullptr);
}

TEST(Nls, LocaleAvailability) {
    EXPECT_TRUE(IsLocaleInstalled(0, 0));
    EXPECT_TRUE(IsLocaleInstalled(0x0409, 0));
    EXPECT_TRUE(IsLocaleInstalled(0x0407, kSortGermanPhoneBook));
    EXPECT_FALSE(IsLocaleInstalled(0x0409, kSortGermanPhoneBook));
    EXPECT_FALSE(IsLocaleInstalled(0x0804, 0));  // not one of the engine's languages
    EXPECT_FALSE(IsLocaleInstalled(0x7777, 0));
}

TEST(Nls, CaseMappingFollowsTheLanguagesCodePage) {
    // French in code page 1252: e-acute 0xE9 <-> 0xC9.
    EXPECT_EQ(MapCase("caf\xE9", 0x040C, 0, true), "CAF\xC9");
    EXPECT_EQ(MapCase("CAF\xC9", 0x040C, 0, false), "caf\xE9");
    // Russian in code page 1251: 0xE0 (small a) <-> 0xC0 (capital A).
    EXPECT_EQ(MapCase("\xE0\xE1", 0x0419, 0, true), "\xC0\xC1");
    // German sharp s has no single-character capital in 1252 and stays.
    EXPECT_EQ(MapCase("stra\xDF" "e", 0x0407, 0, true), "STRA\xDF" "E");
}

TEST(Nls, PlainByteLanguageNeverDamagesDoubleByteText) {
    // "注册表" in GBK followed by ASCII: only the ASCII letters change.
    const std::string gbk = "\xD7\xA2\xB2\xE1\xB1\xED" "abc";
    EXPECT_EQ(MapCase(gbk, 0, 0, true), "\xD7\xA2\xB2\xE1\xB1\xED" "ABC");
    EXPECT_EQ(MapCase("\xD7\xA2Xy", 0, 0, false), "\xD7\xA2xy");
}

}  // namespace
}  // namespace quorvane::nls

namespace quorvane::nls {
namespace {

constexpr unsigned kKeyFlags = kSortStringSort | kNormIgnoreNonSpace;

TEST(Nls, SortOrdersOfTheLanguages) {
    EXPECT_EQ(SortOrderNames(28), std::vector<std::string>{"Default Order"});
    EXPECT_EQ(SortOrderNames(48), (std::vector<std::string>{"Default Order", "German Phone Book Order"}));
    EXPECT_EQ(SortOrderNames(52).size(), 2u);
    EXPECT_EQ(SortOrderNames(53).size(), 1u);
}

TEST(Nls, GermanDefaultAndPhoneBookOrders) {
    // "Müller" (u-umlaut 0xFC) against "Muller" and "Mueller".
    const std::string muller = "M\xFCller";
    // Default: umlaut is an accent, ignored under the key flags.
    EXPECT_EQ(CompareStrings(muller, "Muller", 0x0407, 0, kKeyFlags), 0);
    EXPECT_EQ(CompareStrings(muller, "Mueller", 0x0407, 0, kKeyFlags), 1);  // "Mul" > "Mue"
    // Phone book: the umlaut sorts as "ue".
    EXPECT_EQ(CompareStrings(muller, "Mueller", 0x0407, kSortGermanPhoneBook, kKeyFlags), 0);
    EXPECT_EQ(CompareStrings(muller, "Muller", 0x0407, kSortGermanPhoneBook, kKeyFlags), -1);
}

TEST(Nls, SpanishSwedishAndCzechOrders) {
    // Traditional Spanish sorts "ch" as a letter after "c"; modern Spanish does not.
    EXPECT_EQ(CompareStrings("chico", "cuna", 0x040A, 0, kKeyFlags), 1);
    EXPECT_EQ(CompareStrings("chico", "cuna", 0x0C0A, 0, kKeyFlags), -1);
    // Swedish sorts a-ring (0xE5) after z; German puts it with a.
    EXPECT_EQ(CompareStrings("\xE5ngstr\xF6m", "zebra", 0x041D, 0, kKeyFlags), 1);
    EXPECT_EQ(CompareStrings("\xE5ngstr\xF6m", "zebra", 0x0407, 0, kKeyFlags), -1);
    // Czech sorts "ch" after "h" (text in code page 1250).
    EXPECT_EQ(CompareStrings("chata", "hrad", 0x0405, 0, kKeyFlags), 1);
    EXPECT_EQ(CompareStrings("chata", "hrad", 0x0409, 0, kKeyFlags), -1);
}

TEST(Nls, CaseAccentAndPunctuationFlags) {
    // Case is kept under the key flags, ignored with NORM_IGNORECASE.
    EXPECT_NE(CompareStrings("abc", "ABC", 0x0409, 0, kKeyFlags), 0);
    EXPECT_EQ(CompareStrings("abc", "ABC", 0x0409, 0, kKeyFlags | kNormIgnoreCase), 0);
    // Accents count without NORM_IGNORENONSPACE.
    EXPECT_NE(CompareStrings("caf\xE9", "cafe", 0x040C, 0, kSortStringSort), 0);
    // Strings end at their first zero byte.
    EXPECT_EQ(CompareStrings(std::string("ab\0zz", 5), "ab", 0x0409, 0, kKeyFlags), 0);
    // Language 0: unsigned bytes.
    EXPECT_EQ(CompareStrings("a", "B", 0, 0, 0), 1);
    EXPECT_EQ(CompareStrings("\xB0", "a", 0, 0, 0), 1);
}

}  // namespace
}  // namespace quorvane::nls
