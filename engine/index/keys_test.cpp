// Tests of key encodings, key comparison in binary and locale order, padding, and
// successor and predecessor with their carries.
#include "engine/index/keys.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<std::uint8_t> out;
    for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

// A one-field layout over a record laid out for that field alone.
struct TOneField {
    std::vector<TFieldDesc> fields;
    TKeyLayout layout;
    std::vector<std::uint8_t> record;
    TOneField(std::uint8_t type, std::uint8_t length = 0, bool unique = true) {
        fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("f", type, length)};
        record.assign(LayoutRecord(fields), 0);
        layout.fields = {TKeyField{fields[1], false}};
        layout.unique = unique;
        layout.Prepare();
    }
    std::vector<std::uint8_t> Key() {
        std::vector<std::uint8_t> k(layout.KeyLength());
        BuildKey(layout, record, k);
        return k;
    }
};

TEST(Keys, IntegerFormsSortAsUnsignedBytes) {
    TOneField t(kFieldInteger);
    PutIntegerField(t.record, t.fields[1], -1);
    EXPECT_EQ(t.Key(), Bytes({1, 0x7F, 0xFF, 0xFF, 0xFF}));
    PutIntegerField(t.record, t.fields[1], 0);
    EXPECT_EQ(t.Key(), Bytes({1, 0x80, 0, 0, 0}));
    PutIntegerField(t.record, t.fields[1], 1);
    EXPECT_EQ(t.Key(), Bytes({1, 0x80, 0, 0, 1}));
    PutNullField(t.record, t.fields[1]);
    auto null = t.Key();
    EXPECT_EQ(null, Bytes({0, 0x80, 0, 0, 0}));  // a null keeps the encoding of zero
    PutIntegerField(t.record, t.fields[1], INT32_MIN);
    EXPECT_LT(CompareKeys(t.layout, null.data(), t.Key().data(), 5), 0);  // null before every value
    std::uint8_t b16[2];
    EncodeInt16(-2, b16);
    EXPECT_EQ(b16[0], 0x7F);
    EXPECT_EQ(b16[1], 0xFE);
    std::uint8_t b64[8];
    EncodeInt64(1, b64);
    EXPECT_EQ(b64[0], 0x80);
    EXPECT_EQ(b64[7], 1);
    std::uint8_t b32[4];
    EncodeInt32(-123456, b32);
    EXPECT_EQ(DecodeInt32(b32), -123456);
}

TEST(Keys, FloatsSortInValueOrder) {
    std::vector<std::vector<std::uint8_t>> keys;
    for (double v : {-2.5, -1.0, 0.0, 3.0, 1e300}) {
        std::vector<std::uint8_t> k(8);
        EncodeFloat(v, k.data());
        keys.push_back(k);
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    std::vector<std::uint8_t> negZero(8), zero(8);
    EncodeFloat(-0.0, negZero.data());
    EncodeFloat(0.0, zero.data());
    EXPECT_EQ(negZero, zero);
}

TEST(Keys, EveryTypeHasItsKeyBytes) {
    TOneField word(kFieldWord);
    PutIntegerField(word.record, word.fields[1], 0x1234);
    EXPECT_EQ(word.Key(), Bytes({1, 0x12, 0x34}));
    TOneField boolean(kFieldBoolean);
    PutBooleanField(boolean.record, boolean.fields[1], 1);
    EXPECT_EQ(boolean.Key(), Bytes({1, 0x00, 0x01}));
    TOneField small(kFieldSmallInt);
    PutIntegerField(small.record, small.fields[1], 1);
    EXPECT_EQ(small.Key(), Bytes({1, 0x80, 0x01}));
    TOneField large(kFieldLargeInt);
    PutIntegerField(large.record, large.fields[1], -1);
    EXPECT_EQ(large.Key(), Bytes({1, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    TOneField bytes(kFieldBytes, 3);
    const std::uint8_t raw[3] = {9, 8, 7};
    PutFieldData(bytes.record, bytes.fields[1], raw);
    EXPECT_EQ(bytes.Key(), Bytes({1, 9, 8, 7}));
    // BCD 12.5 (precision 3, scale 1): currency 125000 in the 64-bit integer form, 8 bytes.
    TOneField bcd(kFieldBCD);
    const std::uint8_t packed[34] = {3, 0x01, 0x12, 0x50};
    PutFieldData(bcd.record, bcd.fields[1], packed);
    auto k = bcd.Key();
    ASSERT_EQ(k.size(), 9u);
    std::uint8_t expected[8];
    EncodeInt64(125000, expected);
    EXPECT_TRUE(std::equal(k.begin() + 1, k.end(), expected));
    const std::uint8_t negative[34] = {3, 0x81, 0x12, 0x50};
    EXPECT_EQ(BcdToCurrency(negative), -125000);
    // String: the characters, zero-filled; upper-cased in a case-insensitive index.
    TOneField s(kFieldString, 5);
    PutStringField(s.record, s.fields[1], "abC");
    EXPECT_EQ(s.Key(), Bytes({1, 'a', 'b', 'C', 0, 0, 0}));
    s.layout.caseInsensitive = true;
    EXPECT_EQ(s.Key(), Bytes({1, 'A', 'B', 'C', 0, 0, 0}));
    // GBK text keeps its double-byte characters when upper-cased under language 0.
    PutStringField(s.record, s.fields[1], "\xC3\xFBx");
    EXPECT_EQ(s.Key(), Bytes({1, 0xC3, 0xFB, 'X', 0, 0, 0}));
}

TEST(Keys, NonUniqueKeysEndWithTheIdentifier) {
    TOneField t(kFieldString, 5, false);
    t.layout.caseInsensitive = true;
    PutStringField(t.record, t.fields[1], "abc");
    PutLE<std::int32_t>(t.record.data() + 5, 7);
    auto first = t.Key();
    EXPECT_EQ(first.size(), 11u);
    PutStringField(t.record, t.fields[1], "ABC");
    PutLE<std::int32_t>(t.record.data() + 5, 3);
    auto second = t.Key();
    // Equal field bytes; ordered by identifier.
    EXPECT_EQ(CompareKeys(t.layout, first.data(), second.data(), 7), 0);
    EXPECT_GT(CompareKeys(t.layout, first.data(), second.data(), 11), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(second.begin() + 7, second.end()), Bytes({0x80, 0, 0, 3}));
}

TEST(Keys, SysDeletedKey) {
    TOneField t(kFieldInteger);
    t.record[0] = 1;
    PutLE<std::int32_t>(t.record.data() + 5, 2);
    std::vector<std::uint8_t> k(5);
    BuildSysDeletedKey(t.record, k);
    EXPECT_EQ(k, Bytes({1, 0x80, 0, 0, 2}));
    TKeyLayout sys = TKeyLayout::SysDeleted();
    EXPECT_EQ(sys.KeyLength(), 5u);
    std::vector<std::uint8_t> k2(5);
    BuildKey(sys, t.record, k2);
    EXPECT_EQ(k, k2);
}

TEST(Keys, DescendingFieldsAreComplementedWithoutALanguage) {
    TOneField t(kFieldString, 10);
    t.layout.fields[0].descending = true;
    PutStringField(t.record, t.fields[1], "abc");
    auto k = t.Key();
    ASSERT_EQ(k.size(), 12u);
    EXPECT_EQ(k[0], 0xFE);        // indicator 1 complemented
    EXPECT_EQ(k[1], 0xFF - 'a');  // data complemented
    EXPECT_EQ(k[10], 0xFF);       // zero fill complemented up to width - 1 data bytes
    EXPECT_EQ(k[11], 0x00);       // the last byte stays
    // The whole-index descending flag leaves the bytes alone and negates comparisons.
    t.layout.descending = true;
    auto plain = t.Key();
    EXPECT_EQ(plain[1], 'a');
    PutStringField(t.record, t.fields[1], "abd");
    auto later = t.Key();
    EXPECT_GT(CompareKeys(t.layout, plain.data(), later.data(), 12), 0);
    TOneField i(kFieldInteger);
    i.layout.fields[0].descending = true;
    PutIntegerField(i.record, i.fields[1], 5);
    auto five = i.Key();
    PutIntegerField(i.record, i.fields[1], 6);
    auto six = i.Key();
    EXPECT_GT(CompareKeys(i.layout, five.data(), six.data(), 5), 0);
}

TEST(Keys, LanguageTablesCompareStringsInTheLocale) {
    // Two fields: a German string and an integer.
    std::vector<TFieldDesc> fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc),
                                      MakeFieldDesc("name", kFieldString, 10), MakeFieldDesc("n", kFieldInteger)};
    std::vector<std::uint8_t> record(LayoutRecord(fields), 0);
    TKeyLayout l;
    l.fields = {TKeyField{fields[1], false}, TKeyField{fields[2], false}};
    l.languageId = 0x0407;
    l.sortId = 1;  // phone book
    l.Prepare();
    auto key = [&](const char* name, int n) {
        PutStringField(record, fields[1], name);
        PutIntegerField(record, fields[2], n);
        std::vector<std::uint8_t> k(l.KeyLength());
        BuildKey(l, record, k);
        return k;
    };
    auto mueller = key("Mueller", 1), umlaut = key("M\xFCller", 2), muller = key("Muller", 0);
    // In the phone book "Müller" equals "Mueller" on the string field; the integer decides.
    EXPECT_EQ(CompareKeys(l, mueller.data(), umlaut.data(), 12), 0);
    EXPECT_LT(CompareKeys(l, mueller.data(), umlaut.data(), l.KeyLength()), 0);
    EXPECT_GT(CompareKeys(l, muller.data(), umlaut.data(), l.KeyLength()), 0);
    // A partial length compares only the leading characters of the string.
    auto muellerin = key("Muellerin", 0);
    EXPECT_EQ(CompareKeys(l, mueller.data(), muellerin.data(), 8), 0);
    EXPECT_LT(CompareKeys(l, mueller.data(), muellerin.data(), 12), 0);
    l.sortId = 0;
    l.Prepare();
    EXPECT_NE(CompareKeys(l, mueller.data(), umlaut.data(), 12), 0);
    // A descending field negates its comparison.
    l.fields[0].descending = true;
    EXPECT_GT(CompareKeys(l, key("a", 0).data(), key("b", 0).data(), l.KeyLength()), 0);
}

TEST(Keys, CharacterMapsAreCachedAndOrdered) {
    const TCharMap& identity = TLanguageCharMapsList::Instance().Get(0, 0);
    EXPECT_EQ(identity.map[65], 65);
    const TCharMap& german = TLanguageCharMapsList::Instance().Get(0x0407, 0);
    EXPECT_EQ(&german, &TLanguageCharMapsList::Instance().Get(0x0407, 0));
    EXPECT_NE(&german, &TLanguageCharMapsList::Instance().Get(0x0407, 1));
    // Letters come in alphabetical order, lower before upper, digits before letters.
    EXPECT_LT(german.rank['a'], german.rank['b']);
    EXPECT_LT(german.rank['a'], german.rank['A']);
    EXPECT_LT(german.rank['9'], german.rank['a']);
    EXPECT_LT(german.rank['y'], german.rank[0xFF]);  // y-diaeresis sorts with y, before z
    EXPECT_LT(german.rank[0xFF], german.rank['z']);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(german.map[german.rank[i]], i);
}

TEST(Keys, PaddingFillsLowestAndHighestValues) {
    TOneField t(kFieldInteger);
    std::vector<std::uint8_t> k = {1, 0x80, 0x12, 0x34, 0x56};
    PadLow(t.layout, k, 2);
    EXPECT_EQ(k, Bytes({1, 0x80, 0, 0, 0}));
    PadHigh(t.layout, k, 0);
    EXPECT_EQ(k, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    // With a language, string characters take the map's first and last characters.
    TOneField s(kFieldString, 3);
    s.layout.languageId = 0x0409;
    s.layout.Prepare();
    std::vector<std::uint8_t> sk(5, 'x');
    PadLow(s.layout, sk, 0);
    EXPECT_EQ(sk[0], 0x00);
    EXPECT_EQ(sk[1], s.layout.charMap->map[0]);
    PadHigh(s.layout, sk, 2);
    EXPECT_EQ(sk[1], s.layout.charMap->map[0]);
    EXPECT_EQ(sk[2], s.layout.charMap->map[255]);
}

TEST(Keys, SuccessorAndPredecessorCarry) {
    TOneField t(kFieldInteger);
    std::vector<std::uint8_t> k = {1, 0x80, 0x00, 0xFF, 0xFF};
    Successor(t.layout, k, 5);
    EXPECT_EQ(k, Bytes({1, 0x80, 0x01, 0x00, 0x00}));
    Predecessor(t.layout, k, 5);
    EXPECT_EQ(k, Bytes({1, 0x80, 0x00, 0xFF, 0xFF}));
    // Partial length: the rest is padded so the bound covers every longer key.
    std::vector<std::uint8_t> p = {1, 0x80, 0x00, 0x12, 0x34};
    Successor(t.layout, p, 3);
    EXPECT_EQ(p, Bytes({1, 0x80, 0x01, 0x00, 0x00}));
    std::vector<std::uint8_t> top(5, 0xFF);
    Successor(t.layout, top, 5);
    EXPECT_EQ(top, std::vector<std::uint8_t>(5, 0xFF));
    std::vector<std::uint8_t> bottom(5, 0x00);
    Predecessor(t.layout, bottom, 5);
    EXPECT_EQ(bottom, std::vector<std::uint8_t>(5, 0x00));
}

TEST(Keys, SuccessorOfTheHighestCharacterCarriesIntoThePreviousOne) {
    TOneField s(kFieldString, 3);
    s.layout.languageId = 0x0409;
    s.layout.Prepare();
    const TCharMap& m = *s.layout.charMap;
    std::vector<std::uint8_t> k = {1, 'a', m.map[255], 0, 0};
    Successor(s.layout, k, 3);
    EXPECT_EQ(k[1], m.map[m.rank['a'] + 1]);
    EXPECT_EQ(k[2], m.map[0]);
    Predecessor(s.layout, k, 3);
    EXPECT_EQ(k[1], 'a');
    EXPECT_EQ(k[2], m.map[255]);
}

}  // namespace
}  // namespace reruzo
