// Tests of the index file: header, definitions, page format and compression, the
// B+-tree against an ordered model, the checker, and damaged files.
#include "engine/index/index_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "engine/errors/engine_errors.h"
#include "engine/index/index_tree.h"
#include "engine/storage/byte_order.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::TTempDir;

// A table's fields: id, then Bytes fields of the given lengths, then a String field.
std::vector<TFieldDesc> Fields(const std::vector<int>& byteLengths, int stringLength = 10) {
    std::vector<TFieldDesc> f = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc)};
    int i = 0;
    for (int len : byteLengths) f.push_back(MakeFieldDesc("b" + std::to_string(++i), kFieldBytes, static_cast<std::uint8_t>(len)));
    f.push_back(MakeFieldDesc("s", kFieldString, static_cast<std::uint8_t>(stringLength)));
    f.push_back(MakeFieldDesc("m", kFieldBlob, 0, kSubMemo));
    LayoutRecord(f);
    return f;
}

TIndexDesc Desc(const std::string& name, std::vector<std::uint16_t> fieldNumbers, bool unique,
                std::uint8_t compression = 0, bool descending = false) {
    TIndexDesc d;
    d.Name = name;
    d.Unique = unique;
    d.Compression = compression;
    d.Descending = descending;
    d.FieldCount = static_cast<std::uint8_t>(fieldNumbers.size());
    for (std::size_t i = 0; i < fieldNumbers.size(); ++i) d.FieldNumbers[i] = fieldNumbers[i];
    return d;
}

TEST(IndexFile, NewFileIsOneHeaderPage) {
    TTempDir dir;
    TIndexFile f(dir.Dir(), "t");
    f.Create();
    f.Close();
    const auto bytes = dir.Read("t.IDX");
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data()), 1);  // written once
    EXPECT_EQ(bytes[8], 5);
    EXPECT_EQ(GetLE<std::int32_t>(bytes.data() + 9), 1);
    const std::uint8_t* sys = bytes.data() + 14 + 120 * 31;
    EXPECT_EQ(sys[0], 11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sys + 1), 11), "Sys Deleted");
    EXPECT_EQ(GetLE<std::uint16_t>(sys + 31), 5);
    EXPECT_EQ(sys[35], 0);  // not unique
    f.Open();
    f.CheckVersion();
    EXPECT_EQ(f.Descriptor(kSysDeletedSlot).Name, "Sys Deleted");
}

TEST(IndexFile, BadHeadersAreRefused) {
    TTempDir dir;
    {
        TIndexFile f(dir.Dir(), "t");
        f.Create();
    }
    auto good = dir.Read("t.IDX");
    auto bytes = good;
    bytes[8] = 4;
    dir.Write("t.IDX", bytes);
    TIndexFile a(dir.Dir(), "t");
    a.Open();
    EXPECT_EQ(CodeOf([&] { a.CheckVersion(); }), RERUZO_OLDVERSION);
    a.Close();
    bytes = good;
    bytes[13] = 40;
    dir.Write("t.IDX", bytes);
    TIndexFile b(dir.Dir(), "t");
    EXPECT_EQ(CodeOf([&] { b.Open(); }), RERUZO_HEADERCORRUPT);
    EXPECT_FALSE(b.IsOpen());
    bytes.resize(1000);
    dir.Write("t.IDX", bytes);
    EXPECT_EQ(CodeOf([&] { b.Open(); }), RERUZO_READERR);
}

TEST(IndexFile, DefinitionsAndTheirRefusals) {
    TTempDir dir;
    const auto fields = Fields({4}, 10);  // id, b1, s, m
    TIndexFile f(dir.Dir(), "t");
    f.Create();
    auto primary = Desc("", {1}, true);
    primary.KeyLength = ComputeKeyLength(primary, fields, dir.Dir(), "t");
    EXPECT_EQ(primary.KeyLength, 5);
    f.DefinePrimaryIndex(primary, fields);
    EXPECT_EQ(CodeOf([&] { f.DefinePrimaryIndex(primary, fields); }), RERUZO_PRIMARYKEYREDEFINE);
    f.Validate(fields);

    auto named = [&](const std::string& name, std::vector<std::uint16_t> nums) {
        auto d = Desc(name, nums, false);
        d.KeyLength = ComputeKeyLength(d, fields, dir.Dir(), "t");
        return d;
    };
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(named("  ", {2}), fields); }), RERUZO_INDEXNAMEREQUIRED);
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(named("9key", {2}), fields); }), RERUZO_INVALIDINDEXNAME);
    EXPECT_EQ(f.AddSecondaryIndex(named("key", {2}), fields), 1);
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(named(" KEY ", {3}), fields); }), RERUZO_INDEXEXISTS);
    auto blob = Desc("m", {4}, false);
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(blob, fields); }), RERUZO_SEARCHCOLREQD);
    EXPECT_EQ(CodeOf([&] { ComputeKeyLength(Desc("x", {9}, true), fields, "", "t"); }), RERUZO_INVALIDIDXDESC);
    auto tooMany = Desc("many", {}, false);
    tooMany.FieldCount = 17;
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(tooMany, fields); }), RERUZO_INDEXLIMIT);
    EXPECT_EQ(f.AddSecondaryIndex(named("\xC3\xFB", {3}), fields), 2);  // a GBK lead byte starts a name
    f.Validate(fields);
    for (int i = 3; i <= 30; ++i) f.AddSecondaryIndex(named("k" + std::to_string(i), {2}), fields);
    EXPECT_EQ(CodeOf([&] { f.AddSecondaryIndex(named("k31", {2}), fields); }), RERUZO_INDEXLIMIT);

    // Deleting slot 1 moves the others down and parks its descriptor past the count.
    f.SetFreeHead(1, 0);
    f.DeleteIndex(1);
    EXPECT_EQ(f.Header().SecondaryCount, 29);
    EXPECT_EQ(f.Descriptor(1).Name, "\xC3\xFB");
    EXPECT_EQ(f.Descriptor(30).Name, "key");
    f.DeleteIndex(0);
    EXPECT_TRUE(f.NoPrimaryIndex());
    EXPECT_FALSE(f.Descriptor(0).Defined());
    f.Validate(fields);
    EXPECT_EQ(CodeOf([&] { ComputeKeyLength(Desc("big", {}, true), fields, "", "t"); }), RERUZO_INVALIDKEY);
}

TEST(IndexFile, ValidationFindsInconsistentHeaders) {
    TTempDir dir;
    const auto fields = Fields({4}, 10);
    TIndexFile f(dir.Dir(), "t");
    f.Create();
    auto primary = Desc("", {1}, true);
    primary.KeyLength = 5;
    f.DefinePrimaryIndex(primary, fields);
    auto key = Desc("key", {2}, false);
    key.KeyLength = ComputeKeyLength(key, fields, "", "t");
    f.AddSecondaryIndex(key, fields);
    f.Validate(fields);
    f.WriteHeader(true, false);
    f.Close();
    const auto good = dir.Read("t.IDX");
    auto broken = [&](auto change) {
        auto b = good;
        change(b.data());
        dir.Write("t.IDX", b);
        TIndexFile g(dir.Dir(), "t");
        g.Open();
        return CodeOf([&] { g.Validate(fields); });
    };
    const std::size_t s1 = 14 + 120;
    EXPECT_EQ(broken([](std::uint8_t*) {}), 0);
    EXPECT_EQ(broken([&](std::uint8_t* p) { PutLE<std::uint16_t>(p + s1 + 54, 9); }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(broken([&](std::uint8_t* p) { PutLE<std::uint16_t>(p + s1 + 54, 4); }), RERUZO_HEADERCORRUPT);  // BLOB
    EXPECT_EQ(broken([&](std::uint8_t* p) { PutLE<std::uint16_t>(p + s1 + 31, 6); }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(broken([&](std::uint8_t* p) { p[s1 + 1] = '1'; }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(broken([&](std::uint8_t* p) { PutLE<std::int32_t>(p + s1 + 86, 3); }), RERUZO_HEADERCORRUPT);
    EXPECT_EQ(broken([&](std::uint8_t* p) { p[14 + 35] = 0; }), RERUZO_HEADERCORRUPT);  // primary not unique
    EXPECT_EQ(broken([&](std::uint8_t* p) { p[13] = 31; }), RERUZO_HEADERCORRUPT);
}

// ---- Trees -----------------------------------------------------------------------------

struct TTreeFixture {
    TTempDir dir;
    std::vector<TFieldDesc> fields;
    std::unique_ptr<TIndexFile> file;
    TKeyLayout layout;
    int slot = 1;
    std::size_t keyLength = 0;

    TTreeFixture(std::vector<TFieldDesc> f, TIndexDesc desc, std::uint16_t language = 0) : fields(std::move(f)) {
        file = std::make_unique<TIndexFile>(dir.Dir(), "t");
        file->Create();
        file->DefinePrimaryIndex(TIndexDesc{}, fields);  // natural order
        desc.KeyLength = ComputeKeyLength(desc, fields, dir.Dir(), "t");
        slot = file->AddSecondaryIndex(desc, fields);
        layout = MakeKeyLayout(file->Descriptor(slot), slot, fields, language, 0);
        keyLength = desc.KeyLength;
    }
    TIndexTree Tree() { return TIndexTree(*file, slot, layout); }
    std::vector<std::string> Check() { return CheckIndexFile(*file, fields, layout.languageId, layout.sortId); }
    void Reopen() {
        file->FlushPages(false);
        file->WriteHeader(false, false);
        file->Close();
        file->Open();
        file->CheckVersion();
        file->Validate(fields);
    }
};

std::vector<std::uint8_t> IntKey(std::int32_t v) {
    std::vector<std::uint8_t> k(5);
    k[0] = 1;
    EncodeInt32(v, k.data() + 1);
    return k;
}

TEST(IndexTree, FirstKeyMakesARootLeafAndSplitsKeepTheLargerHalf) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true));  // key on id: 5 bytes
    auto tree = t.Tree();
    tree.Insert(IntKey(10).data(), 1);
    const std::int32_t root = t.file->Root(t.slot);
    ASSERT_NE(root, 0);
    {
        TPagePin p(t.file->FetchPage(nullptr, t.slot, root, false));
        EXPECT_EQ(p->Kind(), pkRootLeaf);
        EXPECT_EQ(p->Count(), 1);
    }
    // An uncompressed leaf holds 4083 div (5 + 5) = 408 entries; the 409th splits it.
    for (int i = 1; i < 408; ++i) tree.Insert(IntKey(10 + i).data(), i + 1);
    {
        TPagePin p(t.file->FetchPage(nullptr, t.slot, t.file->Root(t.slot), false));
        EXPECT_EQ(p->Kind(), pkRootLeaf);
        EXPECT_EQ(p->Count(), 408);
    }
    tree.Insert(IntKey(5000).data(), 999);
    TPagePin r(t.file->FetchPage(nullptr, t.slot, t.file->Root(t.slot), false));
    ASSERT_EQ(r->Kind(), pkRootNode);
    ASSERT_EQ(r->Count(), 2);
    EXPECT_EQ(r->SubCount(1), 205);  // 409 entries: the old page keeps the larger half
    EXPECT_EQ(r->SubCount(2), 204);
    EXPECT_EQ(tree.Count(), 409);
    r.Release();
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
}

TEST(IndexTree, DeletingEverythingFreesThePagesForReuse) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true));
    auto tree = t.Tree();
    for (int i = 0; i < 3000; ++i) tree.Insert(IntKey(i).data(), i + 1);
    const std::int32_t pages = t.file->PageCount();
    EXPECT_GT(pages, 8);
    for (int i = 0; i < 3000; ++i) tree.Delete(IntKey(i).data());
    EXPECT_EQ(t.file->Root(t.slot), 0);
    EXPECT_EQ(tree.Count(), 0);
    EXPECT_EQ(t.file->PageCount(), pages);  // the file never shrinks
    const std::int32_t head = t.file->FreeHead(t.slot);
    EXPECT_NE(head, 0);
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
    tree.Insert(IntKey(1).data(), 1);
    EXPECT_EQ(t.file->Root(t.slot), head);  // the most recently freed page is reused
    EXPECT_EQ(CodeOf([&] { tree.Delete(IntKey(2).data()); }), RERUZO_INDEXCORRUPT);
}

TEST(IndexTree, CompressedLeavesHoldMoreThanUncompressedOnes) {
    // 100-byte keys sharing long prefixes and ending in zeros.
    TTreeFixture t(Fields({99}), Desc("k", {2}, true, 3));
    auto tree = t.Tree();
    const int plainCapacity = static_cast<int>(4083 / (100 + 5));
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> k(100, 0);
        k[0] = 1;
        std::fill(k.begin() + 1, k.begin() + 60, 'a');
        k[60] = static_cast<std::uint8_t>(i);
        tree.Insert(k.data(), i + 1);
    }
    TPagePin r(t.file->FetchPage(nullptr, t.slot, t.file->Root(t.slot), false));
    EXPECT_EQ(r->Kind(), pkRootLeaf);
    EXPECT_GT(r->Count(), plainCapacity);
    EXPECT_LT(r->EncodedSize(), 4084);
    r.Release();
    t.Reopen();
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
    EXPECT_EQ(t.Tree().Count(), 200);
}

TEST(IndexTree, FlushWritesOneRunPerGroupOfConsecutivePages) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true));
    auto tree = t.Tree();
    for (int i = 0; i < 2000; ++i) tree.Insert(IntKey(i).data(), i + 1);
    t.file->FlushPages(false);
    const auto writes = t.file->Stats().diskWrites;
    // Touch three pages: the first two leaves (consecutive) and the last one.
    tree.Delete(IntKey(0).data());
    tree.Delete(IntKey(600).data());
    tree.Delete(IntKey(1999).data());
    t.file->FlushPages(false);
    EXPECT_LE(t.file->Stats().diskWrites - writes, 3u);
    EXPECT_GE(t.file->Stats().diskWrites - writes, 1u);
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
}

TEST(IndexTree, LanguageTablesKeepLocaleOrder) {
    // German phone book: "Müller" sorts as "Mueller", before "Muller".
    std::vector<TFieldDesc> fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc),
                                      MakeFieldDesc("name", kFieldString, 20)};
    std::vector<std::uint8_t> record(LayoutRecord(fields), 0);
    TTempDir dir;
    TIndexFile file(dir.Dir(), "t");
    file.Create();
    file.DefinePrimaryIndex(TIndexDesc{}, fields);
    auto desc = Desc("name", {2}, false);
    desc.KeyLength = ComputeKeyLength(desc, fields, "", "t");
    const int slot = file.AddSecondaryIndex(desc, fields);
    TKeyLayout layout = MakeKeyLayout(file.Descriptor(slot), slot, fields, 0x0407, 1);
    TIndexTree tree(file, slot, layout);
    const char* names[] = {"Muller", "M\xFCller", "Mueller", "Mabel", "Zorn", "\xC4rger", "Aachen"};
    int id = 0;
    for (const char* n : names) {
        PutStringField(record, fields[1], n);
        PutLE<std::int32_t>(record.data() + 5, ++id);
        std::vector<std::uint8_t> k(layout.KeyLength());
        BuildKey(layout, record, k);
        tree.Insert(k.data(), id);
    }
    std::vector<std::int32_t> order;
    tree.ForEach([&](const std::uint8_t*, std::int32_t rec) { order.push_back(rec); });
    // Aachen, Ärger (as Aerger), Mabel, Müller (=Mueller, id 2) and Mueller (id 3) by id, Muller, Zorn.
    EXPECT_EQ(order, (std::vector<std::int32_t>{7, 6, 4, 2, 3, 1, 5}));
    EXPECT_EQ(CheckIndexFile(file, fields, 0x0407, 1), std::vector<std::string>{});
}

TEST(IndexTree, EmptyTrimRereadAndEncryption) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true));
    t.file->SetEncrypted(true);
    auto tree = t.Tree();
    for (int i = 0; i < 3000; ++i) tree.Insert(IntKey(i).data(), i + 1);
    t.file->SetRecordCount(3000);
    t.Reopen();
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
    EXPECT_EQ(t.file->RecordCount(), 3000);
    // Enciphered pages: the plain encoding of a leaf starts with its kind byte (2 or
    // 3); on disk every page's first byte is XORed with the record key.
    const auto bytes = t.dir.Read("t.IDX");
    EXPECT_EQ(bytes[8], 5 ^ ((kRecordKey.k1 + 8) & 0xFF) ^ ((kRecordKey.k2 - 8) & 0xFF));
    EXPECT_EQ(t.Tree().Count(), 3000);

    // Another handler of the same file writes the header: the first one notices.
    TIndexFile other(t.dir.Dir(), "t");
    other.SetEncrypted(true);
    other.Open();
    other.IncRecordCount();
    other.WriteHeader(false, false);
    TPagePin(t.file->FetchPage(nullptr, t.slot, t.file->Root(t.slot), false));
    EXPECT_GT(t.file->BufferedPages(t.slot), 0u);
    EXPECT_TRUE(t.file->RereadHeader());
    EXPECT_EQ(t.file->BufferedPages(t.slot), 0u);
    EXPECT_EQ(t.file->RecordCount(), 3001);
    EXPECT_FALSE(t.file->RereadHeader());
    other.Close();

    // Trimming leaves at most kBufferPagesPerSlot clean pages a slot.
    t.Tree().ForEach([](const std::uint8_t*, std::int32_t) {});
    t.file->TrimBuffers();
    EXPECT_LE(t.file->BufferedPages(t.slot), kBufferPagesPerSlot);

    t.file->Empty();
    t.file->WriteHeader(false, false);
    EXPECT_EQ(t.file->FileSize(), 4096u);
    EXPECT_EQ(t.file->PageCount(), 1);
    EXPECT_EQ(t.file->Root(t.slot), 0);
    EXPECT_EQ(t.file->RecordCount(), 0);
    t.file->Validate(t.fields);
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
}

// Random inserts and deletes against an ordered model, for every compression mode,
// unique and not, ascending and descending, short and long keys.
struct TTreeCase {
    bool unique;
    std::uint8_t compression;
    bool descending;
    std::vector<int> byteFields;  // key fields: Bytes of these lengths
};

class RandomTree : public ::testing::TestWithParam<TTreeCase> {};

TEST_P(RandomTree, AgreesWithAnOrderedModel) {
    const TTreeCase& c = GetParam();
    std::vector<std::uint16_t> numbers;
    for (std::size_t i = 0; i < c.byteFields.size(); ++i) numbers.push_back(static_cast<std::uint16_t>(i + 2));
    TTreeFixture t(Fields(c.byteFields), Desc("k", numbers, c.unique, c.compression, c.descending));
    const std::size_t k = t.keyLength;
    const std::size_t fieldBytes = c.unique ? k : k - 4;
    auto less = [&](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
        return CompareKeys(t.layout, a.data(), b.data(), k) < 0;
    };
    std::set<std::vector<std::uint8_t>, decltype(less)> model(less);
    std::vector<std::vector<std::uint8_t>> keys;  // the model's keys, for picking victims
    std::mt19937 rng(static_cast<unsigned>(k * 31 + c.compression * 7 + c.unique + c.descending * 3));
    std::int32_t nextId = 1;
    auto makeKey = [&] {
        // Few distinct leading bytes, runs of zeros at the end: prefixes and zero
        // suffixes for the compressed modes to elide; duplicates in non-unique ones.
        std::vector<std::uint8_t> key(k, 0);
        std::size_t pos = 0;
        for (int f : c.byteFields) {
            key[pos] = 1;
            const std::size_t longest = std::min<std::size_t>(static_cast<std::size_t>(f), 8);
            const std::size_t used = longest - std::min<std::size_t>(longest - 1, rng() % 3);
            for (std::size_t i = 0; i < used; ++i) key[pos + 1 + i] = static_cast<std::uint8_t>(rng() % 16);
            pos += static_cast<std::size_t>(f) + 1;
        }
        if (!c.unique) EncodeInt32(nextId, key.data() + fieldBytes);
        return key;
    };
    auto tree = std::make_unique<TIndexTree>(t.Tree());
    const int operations = 20000;
    for (int op = 1; op <= operations; ++op) {
        const bool insert = keys.empty() || rng() % 100 < 70;
        if (insert) {
            auto key = makeKey();
            if (model.count(key)) continue;  // a unique index refuses duplicates before the tree
            tree->Insert(key.data(), nextId++);
            model.insert(key);
            keys.push_back(key);
        } else {
            const std::size_t i = rng() % keys.size();
            tree->Delete(keys[i].data());
            model.erase(keys[i]);
            keys[i] = keys.back();
            keys.pop_back();
        }
        if (op % 2500 == 0) {
            ASSERT_EQ(t.Check(), std::vector<std::string>{}) << "after " << op;
            ASSERT_EQ(tree->Count(), static_cast<std::int64_t>(model.size()));
            std::vector<std::vector<std::uint8_t>> inTree;
            tree->ForEach([&](const std::uint8_t* key, std::int32_t) { inTree.emplace_back(key, key + k); });
            ASSERT_TRUE(std::equal(inTree.begin(), inTree.end(), model.begin(), model.end())) << "after " << op;
            // Logical positions: records before the first key not smaller.
            for (int probe = 0; probe < 20; ++probe) {
                auto key = makeKey();
                const auto pos = tree->Seek(key.data(), k);
                const auto before = static_cast<std::int64_t>(std::distance(model.begin(), model.lower_bound(key)));
                ASSERT_EQ(pos.logical, before);
                ASSERT_EQ(pos.entry == 0, before == static_cast<std::int64_t>(model.size()));
            }
        }
        if (op % 7000 == 0) {
            t.Reopen();
            tree = std::make_unique<TIndexTree>(t.Tree());
        }
    }
    t.Reopen();
    EXPECT_EQ(t.Check(), std::vector<std::string>{});
    // The run built a tree of several levels, not a single page.
    EXPECT_GT(model.size(), 2000u);
    EXPECT_GT(t.file->PageCount(), 10);
    for (const auto& key : keys) {
        std::int32_t rec = 0;
        ASSERT_TRUE(t.Tree().FindExact(key.data(), &rec));
    }
    // Emptying the tree in random order runs every merge, redistribution and collapse.
    std::shuffle(keys.begin(), keys.end(), rng);
    auto emptying = t.Tree();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        emptying.Delete(keys[i].data());
        if (i % 997 == 0) {
            ASSERT_EQ(t.Check(), std::vector<std::string>{}) << "after deleting " << i;
        }
    }
    EXPECT_EQ(t.file->Root(t.slot), 0);
    EXPECT_EQ(t.Check(), std::vector<std::string>{});  // every page is back on the free chain
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RandomTree,
    ::testing::Values(TTreeCase{true, 0, false, {4}},          // K 5
                      TTreeCase{false, 0, true, {4}},          // K 9
                      TTreeCase{true, 1, false, {30}},
                      TTreeCase{false, 1, true, {30, 8}},
                      TTreeCase{true, 2, true, {60}},
                      TTreeCase{false, 2, false, {60}},
                      TTreeCase{true, 3, false, {120, 20}},
                      TTreeCase{false, 3, true, {3}},          // K 8: suffix inside the prefix
                      TTreeCase{true, 0, false, {250, 250, 19}},   // K 522
                      TTreeCase{false, 3, false, {250, 250, 19}}), // K 526
    [](const ::testing::TestParamInfo<TTreeCase>& info) {
        const TTreeCase& c = info.param;
        std::size_t k = 0;
        for (int f : c.byteFields) k += static_cast<std::size_t>(f) + 1;
        return std::string(c.unique ? "Unique" : "NonUnique") + "Mode" + std::to_string(c.compression) +
               (c.descending ? "Desc" : "Asc") + "K" + std::to_string(c.unique ? k : k + 4);
    });

// ---- Damaged files ------------------------------------------------------------------------

TEST(IndexTree, DamagedPagesGiveEngineErrorsNeverCrashesOrEndlessLoops) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true, 3));
    {
        auto tree = t.Tree();
        for (int i = 0; i < 5000; ++i) tree.Insert(IntKey(i * 7).data(), i + 1);
    }
    t.Reopen();
    t.file->Close();
    const auto good = t.dir.Read("t.IDX");
    const std::size_t pages = good.size() / 4096;
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        auto bytes = good;
        const std::size_t page = 1 + rng() % (pages - 1);
        switch (round % 5) {
            case 0: PutLE<std::int32_t>(bytes.data() + page * 4096 + 7, static_cast<std::int32_t>(rng() % (pages + 5))); break;  // next link
            case 1: PutLE<std::uint16_t>(bytes.data() + page * 4096 + 11, 4084); break;  // encoded size
            case 2: PutLE<std::uint16_t>(bytes.data() + page * 4096 + 1, static_cast<std::uint16_t>(rng())); break;  // count
            case 3: bytes[page * 4096] = static_cast<std::uint8_t>(rng() % 6); break;  // kind
            default:
                for (int i = 0; i < 8; ++i) bytes[page * 4096 + 13 + rng() % 4083] = static_cast<std::uint8_t>(rng());
        }
        t.dir.Write("t.IDX", bytes);
        TIndexFile f(t.dir.Dir(), "t");
        f.Open();
        try {
            TIndexTree tree(f, t.slot, t.layout);
            std::int64_t n = 0;
            tree.ForEach([&](const std::uint8_t*, std::int32_t) { ++n; });
            tree.Seek(IntKey(700).data(), 5);
            (void)CheckIndexFile(f, t.fields, 0, 0);
        } catch (const ERERUZOEngineError&) {
        }
    }
}

TEST(IndexTree, SpecificDamageIsNamed) {
    TTreeFixture t(Fields({}), Desc("k", {1}, true));
    {
        auto tree = t.Tree();
        for (int i = 0; i < 2000; ++i) tree.Insert(IntKey(i).data(), i + 1);
    }
    t.Reopen();
    const std::int32_t root = t.file->Root(t.slot);
    t.file->Close();
    const auto good = t.dir.Read("t.IDX");
    auto open = [&](std::vector<unsigned char> b) {
        t.dir.Write("t.IDX", b);
        auto f = std::make_unique<TIndexFile>(t.dir.Dir(), "t");
        f->Open();
        return f;
    };
    // A child pointer beyond the file.
    auto b = good;
    PutLE<std::int32_t>(b.data() + root * 4096 + 13 + 5, 99999);
    auto f = open(b);
    EXPECT_EQ(CodeOf([&] { TIndexTree(*f, t.slot, t.layout).ForEach([](const std::uint8_t*, std::int32_t) {}); }),
              RERUZO_INDEXCORRUPT);
    EXPECT_FALSE(CheckIndexFile(*f, t.fields, 0, 0).empty());
    f.reset();
    // A sibling chain that loops back on itself.
    b = good;
    const std::int32_t leaf = GetLE<std::int32_t>(good.data() + root * 4096 + 13 + 5);
    PutLE<std::int32_t>(b.data() + leaf * 4096 + 7, leaf);
    f = open(b);
    EXPECT_EQ(CodeOf([&] { TIndexTree(*f, t.slot, t.layout).ForEach([](const std::uint8_t*, std::int32_t) {}); }),
              RERUZO_INDEXCORRUPT);
    EXPECT_FALSE(CheckIndexFile(*f, t.fields, 0, 0).empty());
    f.reset();
    // A child pointer equal to the page count: a reader must not append a page for it.
    b = good;
    const std::int32_t pages = GetLE<std::int32_t>(good.data() + 9);
    PutLE<std::int32_t>(b.data() + root * 4096 + 13 + 5, pages);
    f = open(b);
    EXPECT_EQ(CodeOf([&] { TIndexTree(*f, t.slot, t.layout).ForEach([](const std::uint8_t*, std::int32_t) {}); }),
              RERUZO_INDEXCORRUPT);
    EXPECT_EQ(f->PageCount(), pages);
    f.reset();
    // A header that counts far more pages than the file holds: the checker says so
    // instead of sizing its page map by the header.
    b = good;
    PutLE<std::int32_t>(b.data() + 9, 1999999999);
    f = open(b);
    const auto problems = CheckIndexFile(*f, t.fields, 0, 0);
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems.front(), "the header counts 1999999999 pages, the file holds " + std::to_string(pages));
    f.reset();
    // An encoded size of 4084 on a page.
    b = good;
    PutLE<std::uint16_t>(b.data() + leaf * 4096 + 11, 4084);
    f = open(b);
    EXPECT_EQ(CodeOf([&] { TPagePin p(f->FetchPage(nullptr, t.slot, leaf, false)); }), RERUZO_INDEXCORRUPT);
}

}  // namespace
}  // namespace reruzo
