// Tests of bulk-loaded tables: the bytes written, reading them back through the data
// file handler, encryption, and the check of free chains and identifiers.
#include "tests/support/table_builder.h"

#include <gtest/gtest.h>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

std::vector<TFieldDesc> ItemFields() {
    return {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("parent", kFieldInteger),
            MakeFieldDesc("title", kFieldString, 40)};
}

void WriteItems(const TTempDir& dir, const std::string& table, int count, const TNewTableOptions& options = {}) {
    TTableBuilder b(dir.Dir(), table, ItemFields(), options);
    for (int i = 0; i < count; ++i) {
        auto r = b.BlankRecord();
        PutIntegerField(r, b.FieldByName("parent"), i == 0 ? -1 : 1);
        PutStringField(r, b.FieldByName("title"), "item " + std::to_string(i), b.StringRules());
        EXPECT_EQ(b.Append(r), i + 1);
    }
    b.Finish();
}

TEST(TableBuilder, WrittenTableHasTheExpectedBytesAndReadsBack) {
    TTempDir dir;
    WriteItems(dir, "items", 3);
    const auto bytes = dir.Read("items.DAT");
    // 9 + (4 + 1) + (41 + 1) = 56 bytes a record.
    ASSERT_EQ(bytes.size(), 127u + 3 * 768 + 3 * 56);
    EXPECT_EQ(bytes[8], 5);
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + 13), 4);  // NextRecordNo
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + 17), 3);  // LastAutoIncValue
    EXPECT_EQ(GetLE<std::uint16_t>(bytes.data() + 21), 56);
    const std::size_t slot2 = 127 + 3 * 768 + 56;
    EXPECT_EQ(bytes[slot2], 0);                                  // in use
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + slot2 + 1), 2);  // own number
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + slot2 + 5), 2);  // identifier
    EXPECT_EQ(bytes[slot2 + 9], 1);                               // parent has a value
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + slot2 + 10), 1);

    TDataFile f(dir.Dir(), "items");
    f.Open();
    f.VerifyStructure();
    EXPECT_TRUE(f.CheckRecords().empty());
    TPinnedRecord r(f.GetRecord(nullptr, 3, {.readAhead = true}));
    EXPECT_EQ(GetStringField(r->Data(), f.FieldDesc(3)), "item 2");
}

TEST(TableBuilder, EmptyTableIsHeaderAndDescriptorsOnly) {
    TTempDir dir;
    WriteItems(dir, "empty", 0);
    EXPECT_EQ(dir.Read("empty.DAT").size(), 127u + 3 * 768);
    TDataFile f(dir.Dir(), "empty");
    f.Open();
    f.VerifyStructure();
    EXPECT_EQ(f.Header().NextRecordNo, 1);
    EXPECT_EQ(f.Header().FirstFreeRecord, 0);
}

TEST(TableBuilder, KeptIdentifiersRaiseTheLastOne) {
    TTempDir dir;
    TTableBuilder b(dir.Dir(), "ids", ItemFields());
    auto r = b.BlankRecord();
    PutLE<std::int32_t>(r.data() + 5, 40);
    EXPECT_EQ(b.Append(r, true), 40);
    EXPECT_EQ(b.Append(b.BlankRecord()), 41);
    PutLE<std::int32_t>(r.data() + 5, 7);
    EXPECT_EQ(b.Append(r, true), 7);
    EXPECT_EQ(b.File().LastAutoInc(), 41);
    b.Finish();
}

TEST(TableBuilder, EncryptedTableEnciphersSlotsDescriptorsAndHeaderStrings) {
    TTempDir dir;
    TNewTableOptions o;
    o.Encrypted = true;
    o.Password = "secret";
    o.Description = "kb";
    WriteItems(dir, "enc", 2, o);
    WriteItems(dir, "plain", 2);
    const auto enc = dir.Read("enc.DAT");
    const auto plain = dir.Read("plain.DAT");
    ASSERT_EQ(enc.size(), plain.size());
    EXPECT_EQ(enc[86], 1);
    EXPECT_EQ(enc[87], 6);  // the length byte stays plain
    EXPECT_NE(std::string(enc.begin() + 88, enc.begin() + 94), "secret");
    // Each slot starts the key stream afresh: disk XOR plain is the same for both.
    const std::size_t first = 127 + 3 * 768, size = 56;
    for (std::size_t i = 0; i < size; ++i) {
        ASSERT_EQ(enc[first + i] ^ plain[first + i], enc[first + size + i] ^ plain[first + size + i]);
    }
    TDataFile f(dir.Dir(), "enc");
    f.Open();
    f.VerifyStructure();
    EXPECT_EQ(f.Password(), "secret");
    EXPECT_EQ(f.Description(), "kb");
}

TEST(TableBuilder, CheckFindsBrokenChainsStatesAndIdentifiers) {
    TTempDir dir;
    WriteItems(dir, "t", 4);
    auto good = dir.Read("t.DAT");
    const std::size_t base = 127 + 3 * 768, size = 56;
    auto slot = [&](std::vector<unsigned char>& b, int n) { return b.data() + base + (n - 1) * size; };
    auto check = [&](const std::vector<unsigned char>& b) {
        dir.Write("t.DAT", b);
        TDataFile f(dir.Dir(), "t");
        f.Open();
        return f.CheckRecords();
    };
    auto b = good;
    // A sound chain 3 -> 1 -> 0.
    slot(b, 3)[0] = 1, PutLE<std::int32_t>(slot(b, 3) + 1, 1);
    slot(b, 1)[0] = 1, PutLE<std::int32_t>(slot(b, 1) + 1, 0);
    PutLE<std::int32_t>(b.data() + 9, 3);
    EXPECT_TRUE(check(b).empty());
    // A cycle 3 -> 1 -> 3.
    PutLE<std::int32_t>(slot(b, 1) + 1, 3);
    EXPECT_EQ(check(b), std::vector<std::string>{"free chain: slot 3 is reached twice (a cycle)"});
    // A link to a slot in use, and two live records with one identifier.
    PutLE<std::int32_t>(slot(b, 1) + 1, 2);
    PutLE<std::int32_t>(slot(b, 4) + 5, 2);
    EXPECT_EQ(check(b), (std::vector<std::string>{"free chain: slot 2 is on the chain but in use",
                                                  "record identifier 2 is used twice"}));
    b = good;
    PutLE<std::int32_t>(b.data() + 9, 9);  // beyond the slots (the structure check refuses it too)
    PutLE<std::int32_t>(b.data() + 17, 1);
    slot(b, 2)[0] = 7;
    EXPECT_EQ(check(b), (std::vector<std::string>{"slot 2: state byte 7 is neither 0 (in use) nor 1 (deleted)",
                                                  "slot 3: record identifier 3 is outside 1..1",
                                                  "slot 4: record identifier 4 is outside 1..1",
                                                  "free chain: link 9 is outside slots 1..4"}));
}

}  // namespace
}  // namespace reruzo
