// Tests of the data file codecs against hand-computed bytes, of field reading and
// writing on record images, of the cipher and of the structure check.
#include "engine/storage/data_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"

namespace reruzo {
namespace {

TFieldDesc Field(std::string name, std::uint8_t type, std::uint8_t length = 0,
                 std::uint8_t sub = 0) {
    return MakeFieldDesc(std::move(name), type, length, sub);
}

// One field of every engine type, an auto-increment field first.
std::vector<TFieldDesc> EveryType() {
    std::vector<TFieldDesc> f = {
        Field("ID", kFieldInteger, 0, kSubAutoInc), Field("S", kFieldString, 10),
        Field("D", kFieldDate),         Field("B", kFieldBlob, 0, kSubMemo),
        Field("BOOL", kFieldBoolean),   Field("SI", kFieldSmallInt),
        Field("I", kFieldInteger),      Field("F", kFieldFloat),
        Field("BCD", kFieldBCD),        Field("BY", kFieldBytes, 3),
        Field("T", kFieldTime),         Field("TS", kFieldTimeStamp),
        Field("W", kFieldWord),         Field("VB", kFieldVarBytes, 5),
        Field("L", kFieldLargeInt),
    };
    f[8].Scale = 2;
    return f;
}

TEST(DataHeader, EncodesEveryFieldAtItsOffset) {
    TDataHeader h;
    h.ChangeCount = 0x01020304;
    h.BlobBlockSize = 1024;
    h.FirstFreeRecord = 7;
    h.NextRecordNo = 9;
    h.LastAutoIncValue = -2;
    h.RecordSize = 0x0123;
    h.FieldCount = 3;
    h.BlobFieldCount = 1;
    h.LastUpdated = 1.5;
    h.Description = "abc";
    h.Encrypted = 1;
    h.Password = "pw";
    h.LanguageId = 0x0409;
    h.SortId = 1;
    h.UserMajorVersion = 2;
    h.UserMinorVersion = 3;
    h.HeaderModified = 1;
    h.LastBlobStamp = 0x11223344;
    std::array<std::uint8_t, kHeaderSize> b{};
    h.Encode(b);
    const std::uint8_t expectedStart[] = {0x04, 0x03, 0x02, 0x01, 0x00, 0x04, 0x00, 0x00, 0x05,
                                          0x07, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0xFE,
                                          0xFF, 0xFF, 0xFF, 0x23, 0x01, 0x03, 0x00, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(b.data(), expectedStart, sizeof expectedStart));
    // 1.5 as little-endian IEEE double: 00 00 00 00 00 00 F8 3F.
    const std::uint8_t onePointFive[] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
    EXPECT_EQ(0, std::memcmp(b.data() + 27, onePointFive, 8));
    EXPECT_EQ(b[35], 3);
    EXPECT_EQ(b[36], 'a');
    EXPECT_EQ(b[38], 'c');
    EXPECT_EQ(b[39], 0);  // unused character bytes are zero
    EXPECT_EQ(b[86], 1);
    EXPECT_EQ(b[87], 2);
    EXPECT_EQ(b[88], 'p');
    EXPECT_EQ(b[103], 0x09);
    EXPECT_EQ(b[104], 0x04);
    EXPECT_EQ(b[105], 1);
    EXPECT_EQ(b[107], 2);
    EXPECT_EQ(b[109], 3);
    EXPECT_EQ(b[111], 1);
    EXPECT_EQ(GetLE<std::int32_t>(b.data() + 112), 0x11223344);
    EXPECT_EQ(GetLE<std::uint32_t>(b.data() + 116), 30100u);
    EXPECT_EQ(b[124] | b[125] | b[126], 0);

    TDataHeader back = TDataHeader::Decode(b);
    EXPECT_EQ(back.ChangeCount, h.ChangeCount);
    EXPECT_EQ(back.LastAutoIncValue, -2);
    EXPECT_EQ(back.Description, "abc");
    EXPECT_EQ(back.Password, "pw");
    EXPECT_EQ(back.LastBlobStamp, h.LastBlobStamp);
    EXPECT_EQ(back.HeaderModified, 0);  // ignored and reset on reading
}

TEST(DataHeader, OverlongStoredStringLengthIsClamped) {
    std::array<std::uint8_t, kHeaderSize> b{};
    b[35] = 200;  // damaged description length
    b[87] = 99;   // damaged password length
    TDataHeader h = TDataHeader::Decode(b);
    EXPECT_EQ(h.Description.size(), 50u);
    EXPECT_EQ(h.Password.size(), 15u);
}

TEST(FieldDesc, EncodesEveryFieldAtItsOffset) {
    TFieldDesc d = Field("title", kFieldString, 40);
    d.FieldNo = 4;
    d.Description = "T";
    d.Scale = 0;
    d.DataSize = 41;
    d.Offset = 22;
    d.Required = 1;
    d.CharCase = kCharCaseUpper;
    d.MinValue = "a";
    d.MaxValue = "z";
    d.DefaultValue = "m";
    std::array<std::uint8_t, kFieldDescSize> b{};
    b.fill(0xEE);  // Encode must clear the whole descriptor
    d.Encode(b);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 5);
    EXPECT_EQ(0, std::memcmp(b.data() + 3, "title", 5));
    EXPECT_EQ(b[8], 0);
    EXPECT_EQ(b[33], 1);
    EXPECT_EQ(b[34], 'T');
    EXPECT_EQ(b[84], kFieldString);
    EXPECT_EQ(b[86], 40);
    EXPECT_EQ(b[88], 41);
    EXPECT_EQ(b[90], 22);
    EXPECT_EQ(b[92], 1);
    EXPECT_EQ(b[93], 2);
    EXPECT_EQ(b[94], 1);
    EXPECT_EQ(b[95], 'a');
    EXPECT_EQ(b[146], 'z');
    EXPECT_EQ(b[197], 'm');
    for (std::size_t i = 247; i < kFieldDescSize; ++i) ASSERT_EQ(b[i], 0) << i;
    TFieldDesc back = TFieldDesc::Decode(b);
    EXPECT_EQ(back.Name, "title");
    EXPECT_EQ(back.Offset, 22);
    EXPECT_EQ(back.DefaultValue, "m");
}

TEST(RecordLayout, EveryTypeGetsItsSizeAndOffset) {
    auto f = EveryType();
    EXPECT_EQ(LayoutRecord(f), 126u);
    const std::uint16_t offsets[] = {5, 9, 21, 26, 35, 38, 41, 46, 55, 90, 94, 99, 108, 111, 117};
    const std::uint8_t sizes[] = {4, 11, 4, 8, 2, 2, 4, 8, 34, 3, 4, 8, 2, 5, 8};
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_EQ(f[i].FieldNo, i + 1);
        EXPECT_EQ(f[i].Offset, offsets[i]) << f[i].Name;
        EXPECT_EQ(f[i].DataSize, sizes[i]) << f[i].Name;
    }
    EXPECT_EQ(f[8].DataScale, 2);
    EXPECT_EQ(DataSizeFor(13, 0, 0), 4);
    EXPECT_EQ(DataSizeFor(14, 0, 0), 10);
    EXPECT_EQ(DataSizeFor(77, 0, 6), 6);  // unknown codes keep their size
}

TEST(RecordLayout, OnlyAnAutoIncrementFieldGivesNineBytes) {
    std::vector<TFieldDesc> f = {Field("ID", kFieldInteger, 0, kSubAutoInc)};
    EXPECT_EQ(LayoutRecord(f), 9u);
}

TEST(FieldAccess, RecordWithEveryTypeHasTheExpectedBytes) {
    auto f = EveryType();
    std::vector<std::uint8_t> r(LayoutRecord(f), 0);
    PutIntegerField(r, f[0], 0x01020304);
    PutStringField(r, f[1], "hello");
    PutIntegerField(r, f[2], 693594);
    PutBlobReference(r, f[3], 12, 34);
    PutBooleanField(r, f[4], 7);
    PutIntegerField(r, f[5], -2);
    PutIntegerField(r, f[6], 100000);
    PutFloatField(r, f[7], 1.5);
    const std::uint8_t bcd[34] = {32, 0x02, 0x12, 0x34};
    PutFieldData(r, f[8], bcd);
    const std::uint8_t raw[3] = {0xAA, 0x00, 0xBB};
    PutFieldData(r, f[9], raw);
    PutIntegerField(r, f[10], 3723004);
    PutFloatField(r, f[11], 693594.0 * 86400000.0);
    PutIntegerField(r, f[12], 65535);
    PutNullField(r, f[13]);
    PutIntegerField(r, f[14], -1);

    std::vector<std::uint8_t> e(126, 0);
    e[5] = 0x04, e[6] = 0x03, e[7] = 0x02, e[8] = 0x01;       // identifier, no indicator
    e[9] = 1, std::memcpy(&e[10], "hello", 5);                 // string, zero-filled
    e[21] = 1, e[22] = 0x5A, e[23] = 0x95, e[24] = 0x0A;       // 693594 = 0x000A955A
    e[26] = 1, e[27] = 12, e[31] = 34;                         // BLOB block 12, stamp 34
    e[35] = 1, e[36] = 1;                                      // boolean 7 stored as 1
    e[38] = 1, e[39] = 0xFE, e[40] = 0xFF;                     // -2
    e[41] = 1, e[42] = 0xA0, e[43] = 0x86, e[44] = 0x01;       // 100000
    e[46] = 1, e[53] = 0xF8, e[54] = 0x3F;                     // 1.5
    e[55] = 1, e[56] = 32, e[57] = 0x02, e[58] = 0x12, e[59] = 0x34;
    e[90] = 1, e[91] = 0xAA, e[93] = 0xBB;
    e[94] = 1, e[95] = 0xFC, e[96] = 0xCE, e[97] = 0x38;       // 3723004 = 0x0038CEFC
    e[99] = 1;
    const double ts = 693594.0 * 86400000.0;
    std::memcpy(&e[100], &ts, 8);
    e[108] = 1, e[109] = 0xFF, e[110] = 0xFF;
    // VarBytes stays NULL: indicator 0, data zero.
    e[117] = 1;
    std::memset(&e[118], 0xFF, 8);
    EXPECT_EQ(r, e);

    EXPECT_EQ(GetIntegerField(r, f[0]), 0x01020304);
    EXPECT_FALSE(FieldIsNull(r, f[0]));
    EXPECT_EQ(GetStringField(r, f[1]), "hello");
    EXPECT_EQ(FieldData(r, f[3]).size(), 4u);  // a BLOB yields its first block only
    EXPECT_EQ(GetIntegerField(r, f[3]), 12);
    EXPECT_TRUE(GetBooleanField(r, f[4]));
    EXPECT_EQ(GetIntegerField(r, f[5]), -2);
    EXPECT_DOUBLE_EQ(GetFloatField(r, f[7]), 1.5);
    EXPECT_EQ(GetIntegerField(r, f[12]), 65535);
    EXPECT_TRUE(FieldIsNull(r, f[13]));
    EXPECT_EQ(GetIntegerField(r, f[14]), -1);

    PutNullField(r, f[0]);  // the auto-increment field cannot be NULL
    EXPECT_EQ(GetIntegerField(r, f[0]), 0x01020304);
    PutBlobReference(r, f[3], 0, 99);
    EXPECT_TRUE(FieldIsNull(r, f[3]));
    PutNullField(r, f[14]);
    EXPECT_TRUE(FieldIsNull(r, f[14]));
    for (int i = 118; i < 126; ++i) EXPECT_EQ(r[i], 0);
}

TEST(FieldAccess, StringWritesTrimCaseAndCut) {
    std::vector<TFieldDesc> f = {Field("A", kFieldString, 10), Field("B", kFieldString, 3)};
    std::vector<std::uint8_t> r(LayoutRecord(f), 0xCC);
    auto bytesOf = [&](const TFieldDesc& d) {
        return std::string(reinterpret_cast<const char*>(&r[d.Offset]), d.DataSize + 1u);
    };
    PutStringField(r, f[0], "abc  ");
    EXPECT_EQ(bytesOf(f[0]), std::string("\x01" "abc\0\0\0\0\0\0\0\0", 12));
    PutStringField(r, f[0], "");
    EXPECT_EQ(bytesOf(f[0]), std::string(12, '\0'));
    PutStringField(r, f[0], "    ");
    EXPECT_TRUE(FieldIsNull(r, f[0]));
    PutStringField(r, f[1], "ab c");
    EXPECT_EQ(GetStringField(r, f[1]), "ab ");  // blanks are trimmed before the cut
    f[1].CharCase = kCharCaseUpper;
    PutStringField(r, f[1], "word");
    EXPECT_EQ(GetStringField(r, f[1]), "WOR");
    f[1].CharCase = kCharCaseLower;
    PutStringField(r, f[1], "ABCDEF");
    EXPECT_EQ(GetStringField(r, f[1]), "abc");
    // Under a language, case follows the language's code page (French e-acute).
    f[0].CharCase = kCharCaseUpper;
    PutStringField(r, f[0], "caf\xE9", TStringRules{0x040C, 0});
    EXPECT_EQ(GetStringField(r, f[0]), "CAF\xC9");
}

TEST(FieldAccess, DescriptorPointingOutsideTheRecordIsRejected) {
    TFieldDesc d = Field("X", kFieldInteger);
    d.DataSize = 4;
    d.Offset = 20;
    std::vector<std::uint8_t> r(16, 0);
    try {
        FieldIsNull(r, d);
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_FILECORRUPT);
    }
    EXPECT_THROW(PutIntegerField(r, d, 1), ERERUZOEngineError);
}

TEST(Cipher, SameOperationBothWaysWithACountingKeyStream) {
    std::vector<std::uint8_t> run(300, 0);
    ApplyCipher(run, kRecordKey);
    EXPECT_EQ(run[0], kRecordKey.k1 ^ kRecordKey.k2);
    EXPECT_EQ(run[1], static_cast<std::uint8_t>((kRecordKey.k1 + 1) ^ (kRecordKey.k2 - 1)));
    EXPECT_EQ(run[256], run[0]);  // both counters wrap modulo 256
    ApplyCipher(run, kRecordKey);
    EXPECT_EQ(run, std::vector<std::uint8_t>(300, 0));
    EXPECT_FALSE(kRecordKey.k1 == kHeaderKey.k1 && kRecordKey.k2 == kHeaderKey.k2);
}

TEST(FileNames, ExtensionReplacesTheTablesOwn) {
    EXPECT_EQ(TableFileName("/db/", "vrqinfo", ".DAT"), "/db/vrqinfo.DAT");
    EXPECT_EQ(TableFileName("/db/", "vrqinfo.dat", ".IDX"), "/db/vrqinfo.IDX");
    EXPECT_EQ(TableFileName("/d.x/", "t", ".BLB"), "/d.x/t.BLB");
}

// ---- Structure check ----

struct StructureFixture : ::testing::Test {
    TDataHeader h;
    std::vector<TFieldDesc> f;
    void SetUp() override {
        f = {Field("id", kFieldInteger, 0, kSubAutoInc), Field("name", kFieldString, 20),
             Field("n", kFieldInteger)};
        h.RecordSize = static_cast<std::uint16_t>(LayoutRecord(f));
        h.FieldCount = 3;
        h.NextRecordNo = 3;
    }
    std::uint64_t Size(std::uint64_t slots) const {
        return kHeaderSize + kFieldDescSize * 3 + slots * h.RecordSize;
    }
    std::uint16_t Check(std::uint64_t fileSize) {
        try {
            VerifyStructure(h, f, fileSize, "/db/", "t");
        } catch (const ERERUZOEngineError& e) {
            EXPECT_EQ(e.ContextTable, "t");
            EXPECT_EQ(e.ContextDatabase, "/db/");
            return e.EngineCode;
        }
        return 0;
    }
};

TEST_F(StructureFixture, AcceptsAConsistentFileAndAnEmptyTable) {
    EXPECT_EQ(Check(Size(2)), 0);
    h.NextRecordNo = 1;
    EXPECT_EQ(Check(Size(0)), 0);
}

TEST_F(StructureFixture, EachViolationGivesItsCode) {
    EXPECT_EQ(Check(Size(2) + 1), RERUZO_HEADERCORRUPT);  // partial slot
    EXPECT_EQ(Check(Size(3)), RERUZO_HEADERCORRUPT);      // slot count != NextRecordNo - 1
    h.FirstFreeRecord = 3;
    EXPECT_EQ(Check(Size(2)), RERUZO_HEADERCORRUPT);
    h.FirstFreeRecord = 2;
    EXPECT_EQ(Check(Size(2)), 0);
    h.FormatVersion = 4;
    EXPECT_EQ(Check(Size(2)), RERUZO_OLDVERSION);
    h.FormatVersion = 5;
    h.LanguageId = 0x7777;
    EXPECT_EQ(Check(Size(2)), RERUZO_CANNOTLOADLDDRV);
    h.LanguageId = 0x0409;
    EXPECT_EQ(Check(Size(2)), 0);
    h.RecordSize += 1;
    EXPECT_EQ(Check(Size(2)), RERUZO_HEADERCORRUPT);
}

TEST_F(StructureFixture, DescriptorViolations) {
    auto violates = [&](auto change) {
        auto saved = f;
        change(f);
        const auto code = Check(Size(2));
        f = saved;
        return code;
    };
    EXPECT_EQ(violates([](auto& d) { d[1].Length = 251; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Scale = 1; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Name = "NAME "; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Name = "9lives"; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Name = ""; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].FieldNo = 2; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].FieldType = 0; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Length = 4; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[0].Offset = 9; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].Offset += 1; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].DefaultValue = "ten"; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(violates([](auto& d) { d[2].MinValue = "10"; }), 0);
    EXPECT_EQ(violates([](auto& d) { d[1].MaxValue = "anything"; }), 0);
    // A stale DataSize is recomputed rather than trusted.
    EXPECT_EQ(violates([](auto& d) { d[1].DataSize = 3; }), 0);
    // A name starting with a GBK lead byte is allowed.
    EXPECT_EQ(violates([](auto& d) { d[2].Name = "\xC3\xFB"; }), 0);
}

}  // namespace
}  // namespace reruzo
