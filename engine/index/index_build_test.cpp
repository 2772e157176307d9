// Tests of creating a table's index file from its records and of checking the
// indexes against the records.
#include "engine/index/index_build.h"

#include <gtest/gtest.h>

#include "engine/index/index_tree.h"
#include "engine/storage/byte_order.h"
#include "tests/support/table_builder.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::TTempDir;

// A detail table like the knowledge base's: id, keyid, name; 50 rows, slot 7 deleted.
void MakeTable(const TTempDir& dir) {
    TTableBuilder b(dir.Dir(), "dtl",
                    {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("keyid", kFieldInteger),
                     MakeFieldDesc("name", kFieldString, 20)});
    for (int i = 1; i <= 50; ++i) {
        auto r = b.BlankRecord();
        PutIntegerField(r, b.Fields()[1], i % 5);
        PutStringField(r, b.Fields()[2], "row " + std::to_string(i));
        b.Append(r);
    }
    b.Finish();
    auto bytes = dir.Read("dtl.DAT");
    const std::size_t size = GetLE<std::uint16_t>(bytes.data() + 21);
    bytes[127 + 3 * 768 + 6 * size] = 1;  // slot 7 deleted (its chain link stays 0)
    dir.Write("dtl.DAT", bytes);
}

TIndexDesc On(std::uint16_t field, const char* name = "", bool unique = true) {
    TIndexDesc d;
    d.Name = name;
    d.Unique = unique;
    d.FieldCount = 1;
    d.FieldNumbers[0] = field;
    return d;
}

TEST(IndexBuild, IndexesHoldEveryRecordAndAgreeWithThem) {
    TTempDir dir;
    MakeTable(dir);
    TDataFile data(dir.Dir(), "dtl");
    data.Open();
    TIndexFile index(dir.Dir(), "dtl");
    CreateIndexFile(data, index, On(1), {On(2, "key", false)});
    EXPECT_EQ(index.RecordCount(), 49);
    EXPECT_FALSE(index.NoPrimaryIndex());
    EXPECT_EQ(index.Descriptor(1).Name, "key");
    EXPECT_EQ(index.Descriptor(1).KeyLength, 9);  // 4 + 1 + the identifier
    EXPECT_EQ(CheckTableIndexes(data, index), std::vector<std::string>{});

    // The secondary index lists the rows of keyid 0 in identifier order.
    TKeyLayout layout = MakeKeyLayout(index.Descriptor(1), 1, data.Fields(), 0, 0);
    TIndexTree tree(index, 1, layout);
    std::vector<std::int32_t> rows;
    tree.ForEach([&](const std::uint8_t* key, std::int32_t recordNo) {
        if (DecodeInt32(key + 1) == 0) rows.push_back(recordNo);
    });
    EXPECT_EQ(rows, (std::vector<std::int32_t>{5, 10, 15, 20, 25, 30, 35, 40, 45, 50}));
    // "Sys Deleted" covers all 50 slots, the deleted one included.
    TIndexTree sys(index, kSysDeletedSlot, SysDeletedLayout());
    EXPECT_EQ(sys.Count(), 50);

    index.Close();
    index.Open();
    index.CheckVersion();
    index.Validate(data.Fields());
    EXPECT_EQ(CheckTableIndexes(data, index), std::vector<std::string>{});
}

TEST(IndexBuild, CheckFindsRecordsTheIndexesDoNotReflect) {
    TTempDir dir;
    MakeTable(dir);
    {
        TDataFile data(dir.Dir(), "dtl");
        data.Open();
        TIndexFile index(dir.Dir(), "dtl");
        CreateIndexFile(data, index, On(1), {On(2, "key", false)});
    }
    // Change row 3's keyid behind the index's back.
    auto bytes = dir.Read("dtl.DAT");
    const std::size_t size = GetLE<std::uint16_t>(bytes.data() + 21);
    PutLE<std::int32_t>(bytes.data() + 127 + 3 * 768 + 2 * size + 10, 99);
    dir.Write("dtl.DAT", bytes);
    TDataFile data(dir.Dir(), "dtl");
    data.Open();
    TIndexFile index(dir.Dir(), "dtl");
    index.Open();
    const auto problems = CheckTableIndexes(data, index);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "index 1: an entry for slot 3 matches no record");
    index.SetRecordCount(10);
    EXPECT_EQ(CheckTableIndexes(data, index).size(), 2u);
}

TEST(IndexBuild, ALostIndexFileIsRecreatedWithoutDefinitions) {
    TTempDir dir;
    MakeTable(dir);
    TDataFile data(dir.Dir(), "dtl");
    data.Open();
    TIndexFile index(dir.Dir(), "dtl");
    CreateIndexFile(data, index, TIndexDesc{}, {});
    EXPECT_TRUE(index.NoPrimaryIndex());
    EXPECT_EQ(index.Header().SecondaryCount, 0);
    EXPECT_EQ(index.RecordCount(), 49);
    index.Validate(data.Fields());
    EXPECT_EQ(CheckTableIndexes(data, index), std::vector<std::string>{});
}

}  // namespace
}  // namespace reruzo
