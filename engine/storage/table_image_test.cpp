// Tests of writing new data files and reading them back whole, including damaged,
// truncated, missing and encrypted files.
#include "engine/storage/table_image.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/errors/engine_errors.h"
#include "engine/storage/byte_order.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

std::vector<TFieldDesc> ItemFields() {
    std::vector<TFieldDesc> f(3);
    f[0].Name = "id", f[0].FieldType = kFieldInteger, f[0].SubType = kSubAutoInc;
    f[1].Name = "parent", f[1].FieldType = kFieldInteger;
    f[2].Name = "title", f[2].FieldType = kFieldString, f[2].Length = 40;
    return f;
}

void WriteItems(const TTempDir& dir, const std::string& table, int count,
                const TNewTableOptions& options = {}) {
    TNewDataFile file(dir.Dir(), table, ItemFields(), options);
    for (int i = 0; i < count; ++i) {
        auto r = file.BlankRecord();
        PutIntegerField(r, file.Fields()[1], i == 0 ? -1 : 1);
        PutStringField(r, file.Fields()[2], "item " + std::to_string(i), file.StringRules());
        EXPECT_EQ(file.Append(std::move(r)), i + 1);
    }
    file.Write();
}

std::uint16_t ReadCode(const TTempDir& dir, const std::string& table) {
    try {
        ReadTableImage(dir.Dir(), table);
    } catch (const ERERUZOEngineError& e) {
        return e.EngineCode;
    }
    return 0;
}

TEST(TableImage, WrittenTableReadsBack) {
    TTempDir dir;
    WriteItems(dir, "items", 3);
    const auto bytes = dir.Read("items.DAT");
    // 9 + (4 + 1) + (41 + 1) = 56 bytes a record.
    ASSERT_EQ(bytes.size(), 127u + 3 * 768 + 3 * 56);
    EXPECT_EQ(bytes[8], 5);
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + 13), 4);  // NextRecordNo
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + 17), 3);  // LastAutoIncValue
    EXPECT_EQ(GetLE<std::uint16_t>(bytes.data() + 21), 56);

    TTableImage t = ReadTableImage(dir.Dir(), "items");
    ASSERT_EQ(t.SlotCount(), 3u);
    EXPECT_EQ(t.Fields[2].Name, "title");
    for (std::size_t n = 1; n <= 3; ++n) {
        EXPECT_TRUE(t.SlotInUse(n));
        EXPECT_EQ(GetIntegerField(t.Slots[n - 1], t.Fields[0]), static_cast<int>(n));
        EXPECT_EQ(GetStringField(t.Slots[n - 1], t.Fields[2]), "item " + std::to_string(n - 1));
        EXPECT_EQ(GetLE<std::int32_t>(t.Slots[n - 1].data() + 1), static_cast<int>(n));
    }
    EXPECT_EQ(GetIntegerField(t.Slots[0], t.Fields[1]), -1);
}

TEST(TableImage, EmptyTableIsHeaderAndDescriptorsOnly) {
    TTempDir dir;
    WriteItems(dir, "empty", 0);
    EXPECT_EQ(dir.Read("empty.DAT").size(), 127u + 3 * 768);
    TTableImage t = ReadTableImage(dir.Dir(), "empty");
    EXPECT_EQ(t.Header.NextRecordNo, 1);
    EXPECT_EQ(t.Header.FirstFreeRecord, 0);
    EXPECT_EQ(t.Header.ChangeCount, 0u);
    EXPECT_EQ(t.SlotCount(), 0u);
}

TEST(TableImage, FileNameIsMatchedWithoutLetterCase) {
    TTempDir dir;
    WriteItems(dir, "Items", 1);
    std::filesystem::rename(dir.File("Items.DAT"), dir.File("ITEMS.dat"));
    EXPECT_EQ(ReadTableImage(dir.Dir(), "items").SlotCount(), 1u);
    // Backslashes separate folders too.
    std::string windowsStyle = dir.Dir();
    std::replace(windowsStyle.begin(), windowsStyle.end(), '/', '\\');
    EXPECT_EQ(ReadTableImage(windowsStyle, "Items").SlotCount(), 1u);
}

TEST(TableImage, MissingFileNamesTheTable) {
    TTempDir dir;
    try {
        ReadTableImage(dir.Dir(), "vrqinfo");
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_STREQ(e.what(), "RERUZO Engine Error # 11010 Table 'vrqinfo' does not exist");
        EXPECT_EQ(e.ContextDatabase, dir.Dir());
    }
}

TEST(TableImage, TruncatedAndInconsistentFilesAreCorrupt) {
    TTempDir dir;
    WriteItems(dir, "t", 2);
    const auto good = dir.Read("t.DAT");
    auto bytes = good;
    bytes.resize(100);  // inside the header
    dir.Write("t.DAT", bytes);
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_HEADERCORRUPT);
    bytes = good;
    bytes.resize(127 + 768);  // inside the descriptors
    dir.Write("t.DAT", bytes);
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_HEADERCORRUPT);
    bytes = good;
    bytes.pop_back();  // a partial slot
    dir.Write("t.DAT", bytes);
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_HEADERCORRUPT);
    bytes = good;
    PutLE<std::uint16_t>(bytes.data() + 23, 60000);  // absurd field count
    dir.Write("t.DAT", bytes);
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_HEADERCORRUPT);
    bytes = good;
    bytes[8] = 4;
    dir.Write("t.DAT", bytes);
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_OLDVERSION);
    dir.Write("t.DAT", {});
    EXPECT_EQ(ReadCode(dir, "t"), RERUZO_HEADERCORRUPT);
}

TEST(TableImage, RandomDamageNeverEscapesAsAnythingButAnEngineError) {
    TTempDir dir;
    WriteItems(dir, "t", 5);
    const auto good = dir.Read("t.DAT");
    std::mt19937 rng(12345);
    for (int round = 0; round < 400; ++round) {
        auto bytes = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            // Damage mostly the header and descriptor fields that matter.
            const std::size_t at = rng() % 2 ? rng() % 127 : rng() % bytes.size();
            bytes[at] = static_cast<unsigned char>(rng());
        }
        if (rng() % 5 == 0) bytes.resize(rng() % bytes.size());
        dir.Write("t.DAT", bytes);
        try {
            TTableImage t = ReadTableImage(dir.Dir(), "t");
            // Whatever was accepted must be readable field by field.
            for (const auto& slot : t.Slots) {
                for (const auto& f : t.Fields) {
                    if (f.HasSlot() || f.IsAutoInc()) (void)FieldData(slot, f);
                }
            }
        } catch (const ERERUZOEngineError&) {
        }
    }
}

TEST(TableImage, EncryptedTableEnciphersSlotsDescriptorsAndHeaderStrings) {
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
    EXPECT_NE(std::vector<unsigned char>(enc.begin() + 127, enc.begin() + 127 + 768),
              std::vector<unsigned char>(plain.begin() + 127, plain.begin() + 127 + 768));
    TTableImage t = ReadTableImage(dir.Dir(), "enc");
    EXPECT_EQ(t.Password(), "secret");
    EXPECT_EQ(t.Description(), "kb");
    EXPECT_EQ(GetStringField(t.Slots[1], t.Fields[2]), "item 1");
}

TEST(TableImage, CheckFindsBrokenChainsAndIdentifiers) {
    TTempDir dir;
    WriteItems(dir, "t", 4);
    TTableImage t = ReadTableImage(dir.Dir(), "t");
    EXPECT_TRUE(CheckTableImage(t).empty());
    // A sound chain 3 -> 1 -> 0.
    t.Slots[2][0] = 1;
    PutLE<std::int32_t>(t.Slots[2].data() + 1, 1);
    t.Slots[0][0] = 1;
    PutLE<std::int32_t>(t.Slots[0].data() + 1, 0);
    t.Header.FirstFreeRecord = 3;
    EXPECT_TRUE(CheckTableImage(t).empty());
    // A cycle 3 -> 1 -> 3.
    PutLE<std::int32_t>(t.Slots[0].data() + 1, 3);
    EXPECT_EQ(CheckTableImage(t),
              std::vector<std::string>{"free chain: slot 3 is reached twice (a cycle)"});
    // A link to a slot in use, and two live records with one identifier.
    PutLE<std::int32_t>(t.Slots[0].data() + 1, 2);
    PutLE<std::int32_t>(t.Slots[3].data() + 5, 2);
    EXPECT_EQ(CheckTableImage(t),
              (std::vector<std::string>{"free chain: slot 2 is on the chain but in use",
                                        "record identifier 2 is used twice"}));
    t.Header.FirstFreeRecord = 9;
    t.Header.LastAutoIncValue = 1;
    EXPECT_EQ(CheckTableImage(t),
              (std::vector<std::string>{"free chain: link 9 is outside slots 1..4",
                                        "slot 2: record identifier 2 is outside 1..1",
                                        "slot 4: record identifier 2 is outside 1..1",
                                        "record identifier 2 is used twice"}));
}

TEST(TableImage, NewTableLimits) {
    std::vector<TFieldDesc> blobs(65);
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        blobs[i].Name = "b" + std::to_string(i);
        blobs[i].FieldType = kFieldBlob;
    }
    try {
        TNewDataFile("/tmp/", "many", blobs);
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_BLOBLIMIT);
    }
    std::vector<TFieldDesc> wide(300);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i].Name = "s" + std::to_string(i);
        wide[i].FieldType = kFieldString;
        wide[i].Length = 250;
    }
    try {
        TNewDataFile("/tmp/", "wide", wide);
        FAIL();
    } catch (const ERERUZOEngineError& e) {
        EXPECT_EQ(e.EngineCode, RERUZO_RECTOOBIG);
    }
}

}  // namespace
}  // namespace reruzo
