// Tests of sorting a table's records in place: key order over several fields with
// descending flags and NULLs, collation of a table with a language, case-insensitive
// order, duplicates, grouping with aggregates, deleted slots, rebuilt indexes, the
// in-memory and the run sort agreeing, and what failures and aborts leave behind.
#include "engine/table/table_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>

#include "engine/index/index_build.h"
#include "engine/storage/bcd.h"
#include "engine/storage/byte_order.h"
#include "engine/table/data_session.h"
#include "platform/nls.h"
#include "tests/support/engine_error.h"
#include "tests/support/table_loader.h"
#include "tests/support/table_rows.h"
#include "tests/support/temp_dir.h"

namespace reruzo {
namespace {

using quorvane::testing::CodeOf;
using quorvane::testing::DeleteRow;
using quorvane::testing::TTempDir;

constexpr std::int32_t kNull = INT32_MIN;  // marks a NULL integer in the rows below

TIndexDesc Index(const char* name, std::uint16_t field, bool unique) {
    TIndexDesc d;
    d.Name = name;
    d.Unique = unique;
    d.FieldCount = 1;
    d.FieldNumbers[0] = field;
    return d;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

class TableSortTest : public ::testing::Test {
protected:
    void SetUp() override { dir = &session.OpenDirectory("db", tmp.Dir()); }
    void TearDown() override { session.CloseDirectory(*dir); }

    // A new table, open exclusively.
    TDataTable* Create(const std::string& name, TTableStructure s) {
        TDataTable* t = nullptr;
        EXPECT_EQ(dir->CreateTable(name, std::move(s), t), 0);
        return t;
    }
    static TSortField Field(TDataTable& t, std::size_t no, bool descending = false) {
        return {t.Data().FieldDesc(no), descending};
    }
    // Sorts the table; with `runs` the cache is written out and cleared first so that
    // the run sort is taken, with three records per run unless the request says.
    std::int32_t Sort(TDataTable& t, TSortRequest request, bool runs, TSortStats* stats = nullptr) {
        if (runs) {
            t.FlushBuffers();
            t.Data().ClearCache();
            if (request.runCapacity == 0) request.runCapacity = 3;
        }
        TSortStats local;
        TSortStats& s = stats ? *stats : local;
        const bool anySlot = t.Data().SlotCount() > 0;  // no slots: nothing to read either way
        const std::int32_t n = SortTable(t, request, work.Dir(), &s);
        if (n != kSortAborted && anySlot) {
            EXPECT_EQ(s.inMemory, !runs);
        }
        return n;
    }
    std::size_t RunFiles() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(work.Dir())) ++n;
        return n;
    }
    // The record identifiers of slots 1, 2, ... (every slot must be live).
    static std::vector<std::int32_t> Ids(TDataTable& t) {
        std::vector<std::int32_t> ids;
        for (std::int32_t n = 1; n <= t.Data().SlotCount(); ++n) {
            TPinnedRecord r(t.Data().GetRecord(nullptr, n, {}));
            EXPECT_EQ(r->State(), 0) << "slot " << n;
            ids.push_back(r->RecordId());
        }
        return ids;
    }
    static std::vector<std::uint8_t> Record(TDataTable& t, std::int32_t n) {
        TPinnedRecord r(t.Data().GetRecord(nullptr, n, {}));
        return {r->Data().begin(), r->Data().end()};
    }
    // Every slot image, deleted ones included, as the file holds them.
    static std::vector<std::vector<std::uint8_t>> Images(TDataTable& t) {
        std::vector<std::vector<std::uint8_t>> out;
        for (std::int32_t n = 1; n <= t.Data().SlotCount(); ++n) out.push_back(Record(t, n));
        return out;
    }
    // A sorted table: `count` live records in slots 1..count, nothing deleted, the file
    // cut after the last slot, and indexes that agree with the records.
    static void ExpectSound(TDataTable& t, std::int32_t count) {
        TDataFile& data = t.Data();
        EXPECT_EQ(data.SlotCount(), count);
        EXPECT_EQ(data.Header().NextRecordNo, count + 1);
        EXPECT_EQ(data.Header().FirstFreeRecord, 0);
        EXPECT_EQ(t.Index().RecordCount(), count);
        EXPECT_EQ(data.FileSize(), kHeaderSize + std::uint64_t{kFieldDescSize} * data.FieldCount() +
                                       static_cast<std::uint64_t>(count) * data.RecordSize());
        for (std::int32_t n = 1; n <= count; ++n) {
            TPinnedRecord r(data.GetRecord(nullptr, n, {}));
            EXPECT_EQ(r->State(), 0);
            EXPECT_EQ(GetLE<std::int32_t>(r->Data().data() + 1), n);
        }
        EXPECT_EQ(Joined(data.CheckRecords()), "");
        EXPECT_EQ(Joined(CheckTableIndexes(data, t.Index())), "");
    }

    TTempDir tmp;   // the database
    TTempDir work;  // the run directory
    TDataSession session;
    TDataDirectory* dir = nullptr;
};

// The same tests through the in-memory sort (false) and the run sort (true).
class TableSortPaths : public TableSortTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, TableSortPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Runs" : "InMemory"; });

// id (auto-increment), grp Integer, name String(10).
TTableStructure GroupNameStructure() {
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("grp", kFieldInteger),
                MakeFieldDesc("name", kFieldString, 10)};
    return s;
}

// The same with a primary index on id (DeleteRow removes the primary key as well).
TTableStructure KeyedGroupNameStructure() {
    TTableStructure s = GroupNameStructure();
    s.Primary = Index("", 1, true);
    return s;
}

void AppendGroupName(TTableLoader& loader, std::int32_t grp, const char* name) {
    auto r = loader.BlankRecord();  // all fields NULL
    if (grp != kNull) PutIntegerField(r, loader.Fields()[1], grp);
    if (name) PutStringField(r, loader.Fields()[2], name);
    loader.Append(r);
}

TEST_P(TableSortPaths, SeveralFieldsWithDescendingFlagsAndNulls) {
    TDataTable* t = Create("t", GroupNameStructure());
    TTableLoader loader(*t);
    AppendGroupName(loader, 2, "b");          // id 1
    AppendGroupName(loader, kNull, "x");      // id 2
    AppendGroupName(loader, 1, "a");          // id 3
    AppendGroupName(loader, 2, nullptr);      // id 4
    AppendGroupName(loader, 1, "c");          // id 5
    AppendGroupName(loader, 2, "b");          // id 6
    AppendGroupName(loader, kNull, nullptr);  // id 7
    AppendGroupName(loader, 1, "a");          // id 8
    TSortRequest request;
    request.fields = {Field(*t, 2), Field(*t, 3, true)};
    EXPECT_EQ(Sort(*t, request, GetParam()), 8);
    // grp ascending, NULL first; within a group name descending, NULL last (the
    // reverse of ascending); equal values in identifier order.
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{2, 7, 5, 3, 8, 1, 6, 4}));
    ExpectSound(*t, 8);

    // Both fields descending: grp 2 first, NULL grp last.
    request.fields = {Field(*t, 2, true), Field(*t, 3, true)};
    EXPECT_EQ(Sort(*t, request, GetParam()), 8);
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{1, 6, 4, 5, 3, 8, 2, 7}));
    ExpectSound(*t, 8);
}

TEST_P(TableSortPaths, BcdFieldsSortByValue) {
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("price", kFieldBCD)};
    s.Fields[1].Scale = 4;
    TDataTable* t = Create("t", s);
    TTableLoader loader(*t);
    const TFieldDesc& price = loader.Fields()[1];
    for (const std::int64_t value : {15000LL, -15000LL, 0LL, kNull * 1LL, 1000000LL, -200000LL, 22500LL}) {
        auto r = loader.BlankRecord();
        if (value != kNull) {
            std::vector<std::uint8_t> bcd(price.DataSize);
            CurrencyToBcd(value, bcd);
            PutFieldData(r, price, bcd);
        }
        loader.Append(r);
    }
    // 1.5, -1.5, 0, NULL, 100, -20, 2.25 (ids 1..7)
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    EXPECT_EQ(Sort(*t, request, GetParam()), 7);
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{4, 6, 2, 3, 1, 7, 5}));
    ExpectSound(*t, 7);
}

TEST_P(TableSortPaths, CaseInsensitiveOrder) {
    TDataTable* t = Create("t", GroupNameStructure());
    TTableLoader loader(*t);
    for (const char* name : {"b", "A", "a", "B", "c", "C"}) AppendGroupName(loader, 0, name);
    TSortRequest request;
    request.fields = {Field(*t, 3)};
    EXPECT_EQ(Sort(*t, request, GetParam()), 6);
    // Bytewise: capitals first.
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{2, 4, 6, 3, 1, 5}));
    request.caseInsensitive = true;
    EXPECT_EQ(Sort(*t, request, GetParam()), 6);
    // A a b B c C, each pair in identifier order.
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{2, 3, 1, 4, 5, 6}));
    ExpectSound(*t, 6);
    // Without regard to case "a" and "A" are duplicates: the first of each stays.
    request.removeDuplicates = true;
    EXPECT_EQ(Sort(*t, request, GetParam()), 3);
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{2, 1, 5}));
    ExpectSound(*t, 3);
}

TEST_P(TableSortPaths, RemoveDuplicatesKeepsTheFirstOfEqualValues) {
    TDataTable* t = Create("t", GroupNameStructure());
    TTableLoader loader(*t);
    for (const std::int32_t grp : {3, 1, 3, 2, 1, 3, kNull, kNull}) AppendGroupName(loader, grp, "same");
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    request.removeDuplicates = true;
    // NULL(7, 8), 1(2, 5), 2(4), 3(1, 3, 6)
    EXPECT_EQ(Sort(*t, request, GetParam()), 4);
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{7, 2, 4, 1}));
    ExpectSound(*t, 4);
    // New records take the slots after the output; identifiers go on from the last one.
    EXPECT_EQ(t->Data().LastAutoInc(), 8);
}

// id (auto-increment), dept String(8), amount Integer, cnt Integer, avg Float.
TEST_P(TableSortPaths, GroupingAccumulatesFinishesAndTestsGroups) {
    TTableStructure s;
    s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("dept", kFieldString, 8),
                MakeFieldDesc("amount", kFieldInteger), MakeFieldDesc("cnt", kFieldInteger),
                MakeFieldDesc("avg", kFieldFloat)};
    TDataTable* t = Create("t", s);
    TTableLoader loader(*t);
    const std::vector<std::pair<const char*, int>> rows = {{"east", 10}, {"west", 5},  {"east", 20}, {"north", 7},
                                                           {"west", 15}, {"east", 30}, {"south", 1}, {"west", 40}};
    const auto& f = loader.Fields();
    for (const auto& [dept, amount] : rows) {
        auto r = loader.BlankRecord();
        PutStringField(r, f[1], dept);
        PutIntegerField(r, f[2], amount);
        loader.Append(r);
    }
    int starts = 0, adds = 0, finishes = 0, tests = 0;
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    request.grouping = true;
    request.accumulate = [&](bool start, std::span<const std::uint8_t> record, std::span<std::uint8_t> row) {
        if (start) {
            ++starts;
            EXPECT_TRUE(std::equal(record.begin(), record.end(), row.begin()));  // copied before the call
            PutIntegerField(row, f[3], 1);
        } else {
            ++adds;
            PutIntegerField(row, f[2], GetIntegerField(row, f[2]) + GetIntegerField(record, f[2]));
            PutIntegerField(row, f[3], GetIntegerField(row, f[3]) + 1);
        }
    };
    request.finish = [&](std::span<std::uint8_t> row) {
        ++finishes;
        PutFloatField(row, f[4], static_cast<double>(GetIntegerField(row, f[2])) / GetIntegerField(row, f[3]));
    };
    request.test = [&](std::span<const std::uint8_t> row) {  // HAVING COUNT(*) >= 2
        ++tests;
        return GetIntegerField(row, f[3]) >= 2;
    };
    // east: 10 + 20 + 30 = 60 of 3, north 7 of 1, south 1 of 1, west 5 + 15 + 40 = 60 of 3.
    EXPECT_EQ(Sort(*t, request, GetParam()), 2);
    EXPECT_EQ(starts, 4);
    EXPECT_EQ(adds, 4);
    EXPECT_EQ(finishes, 4);
    EXPECT_EQ(tests, 4);
    ExpectSound(*t, 2);
    const auto east = Record(*t, 1);
    const auto west = Record(*t, 2);
    EXPECT_EQ(GetLE<std::int32_t>(east.data() + 5), 1);  // the first record's identifier
    EXPECT_EQ(GetStringField(east, f[1]), "east");
    EXPECT_EQ(GetIntegerField(east, f[2]), 60);
    EXPECT_EQ(GetIntegerField(east, f[3]), 3);
    EXPECT_DOUBLE_EQ(GetFloatField(east, f[4]), 20.0);
    EXPECT_EQ(GetLE<std::int32_t>(west.data() + 5), 2);
    EXPECT_EQ(GetStringField(west, f[1]), "west");
    EXPECT_EQ(GetIntegerField(west, f[2]), 60);
    EXPECT_EQ(GetIntegerField(west, f[3]), 3);
    EXPECT_DOUBLE_EQ(GetFloatField(west, f[4]), 20.0);
}

TEST_P(TableSortPaths, GroupingWithoutSortFieldsMakesOneGroup) {
    TDataTable* t = Create("t", GroupNameStructure());
    TTableLoader loader(*t);
    for (const std::int32_t grp : {4, 1, 7}) AppendGroupName(loader, grp, "x");
    const auto& f = loader.Fields();
    TSortRequest request;
    request.grouping = true;
    request.accumulate = [&](bool start, std::span<const std::uint8_t> record, std::span<std::uint8_t> row) {
        if (!start) PutIntegerField(row, f[1], GetIntegerField(row, f[1]) + GetIntegerField(record, f[1]));
    };
    EXPECT_EQ(Sort(*t, request, GetParam()), 1);
    EXPECT_EQ(GetIntegerField(Record(*t, 1), f[1]), 12);
    ExpectSound(*t, 1);
}

TEST_P(TableSortPaths, DeletedSlotsVanishAndEveryIndexIsRebuilt) {
    TTableStructure s = KeyedGroupNameStructure();
    s.Secondaries = {Index("grp", 2, false), Index("name", 3, true)};
    TDataTable* t = Create("t", s);
    {
        TTableLoader loader(*t);
        for (int i = 1; i <= 60; ++i) {
            const std::string name = "n" + std::to_string(100 - i);
            AppendGroupName(loader, (i * 7) % 5, name.c_str());
        }
    }
    t->FlushBuffers();
    for (const std::int32_t slot : {3, 10, 11, 40, 60}) DeleteRow(*t, slot);
    ASSERT_EQ(t->Data().SlotCount(), 60);
    // Expected: grp descending, then identifier; the deleted identifiers are gone.
    std::vector<std::pair<int, std::int32_t>> expected;
    for (int i = 1; i <= 60; ++i) {
        if (i == 3 || i == 10 || i == 11 || i == 40 || i == 60) continue;
        expected.emplace_back(-((i * 7) % 5), i);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::int32_t> ids;
    for (const auto& e : expected) ids.push_back(e.second);

    TSortRequest request;
    request.fields = {Field(*t, 2, true)};
    EXPECT_EQ(Sort(*t, request, GetParam()), 55);
    EXPECT_EQ(Ids(*t), ids);
    ExpectSound(*t, 55);

    // What is on disk agrees as well.
    ASSERT_EQ(dir->CloseTable(t, false), 0);
    ASSERT_EQ(dir->OpenTable("t", {.Exclusive = true}, t), 0);
    EXPECT_EQ(Ids(*t), ids);
    ExpectSound(*t, 55);
}

// A German table: strings collate in the locale (accents ignored, lower case before
// upper case), so the in-memory and the run sort must agree on a non-bytewise order.
TEST_F(TableSortTest, LanguageOrderIsTheSameInMemoryAndInRuns) {
    constexpr std::uint16_t kGerman = 0x0407;
    auto make = [&](const std::string& name, const std::vector<std::string>& names) {
        TTableStructure s;
        s.LanguageId = kGerman;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("name", kFieldString, 20)};
        TDataTable* t = Create(name, s);
        TTableLoader loader(*t);
        for (const std::string& n : names) {
            auto r = loader.BlankRecord();
            PutStringField(r, loader.Fields()[1], n, loader.StringRules());
            loader.Append(r);
        }
        return t;
    };
    // Worked by hand: "apfel" (lower case first), then "\xC4pfel" and "Apfel", equal once
    // the accent is ignored, in identifier order; "Ober" before "\xD6l" (b < l); "Zebra".
    const std::vector<std::string> six = {"Zebra", "\xC4pfel", "\xD6l", "apfel", "Apfel", "Ober"};
    const std::vector<std::int32_t> sixOrder = {4, 2, 5, 6, 3, 1};
    for (const bool runs : {false, true}) {
        TDataTable* t = make(runs ? "six_runs" : "six_memory", six);
        TSortRequest request;
        request.fields = {Field(*t, 2)};
        EXPECT_EQ(Sort(*t, request, runs), 6);
        EXPECT_EQ(Ids(*t), sixOrder) << (runs ? "runs" : "in memory");
        ExpectSound(*t, 6);
    }

    // Many names over letters with and without accents and in both cases.
    const std::vector<std::string> letters = {"a", "A", "\xE4", "\xC4", "o", "\xF6", "\xD6", "u", "\xFC", "s",
                                              "\xDF", "b", "B", "z"};
    std::mt19937 rng(7);
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        std::string n;
        const int length = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < length; ++k) n += letters[rng() % letters.size()];
        names.push_back(n);
    }
    TDataTable* memory = make("many_memory", names);
    TDataTable* runs = make("many_runs", names);
    TSortRequest request;
    request.fields = {Field(*memory, 2)};
    TSortStats memoryStats, runStats;
    ASSERT_EQ(memory->Data().CachedCount(), 400u);
    EXPECT_EQ(Sort(*memory, request, false, &memoryStats), 400);
    EXPECT_EQ(Sort(*runs, request, true, &runStats), 400);
    EXPECT_TRUE(memoryStats.inMemory);
    EXPECT_EQ(runStats.runs, 134);  // 400 records, 3 per run
    EXPECT_EQ(runStats.mergePasses, 2);
    const std::vector<std::int32_t> order = Ids(*memory);
    EXPECT_EQ(Ids(*runs), order);
    // Each neighbour pair is in locale order, equal strings in identifier order.
    const unsigned flags = quorvane::nls::kSortStringSort | quorvane::nls::kNormIgnoreNonSpace;
    for (std::size_t i = 1; i < order.size(); ++i) {
        const std::string& a = names[static_cast<std::size_t>(order[i - 1] - 1)];
        const std::string& b = names[static_cast<std::size_t>(order[i] - 1)];
        const int c = quorvane::nls::CompareStrings(a, b, kGerman, 0, flags);
        EXPECT_TRUE(c < 0 || (c == 0 && order[i - 1] < order[i])) << i;
    }
    ExpectSound(*memory, 400);
    ExpectSound(*runs, 400);
}

// Enough runs for several merge passes, checked against an order worked out here.
TEST_F(TableSortTest, ManyRunsMergeInSeveralPasses) {
    TTableStructure s = GroupNameStructure();
    s.Secondaries = {Index("name", 3, false)};
    TDataTable* t = Create("t", s);
    struct TRow {
        std::int32_t grp;
        std::string name;
        std::int32_t id;
    };
    std::vector<TRow> rows;
    {
        TTableLoader loader(*t);
        std::mt19937 rng(3);
        for (int i = 1; i <= 1000; ++i) {
            const std::int32_t grp = rng() % 11 == 0 ? kNull : static_cast<std::int32_t>(rng() % 10) - 5;
            std::string name;
            for (int k = 0; k < 3; ++k) name += static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 3);
            AppendGroupName(loader, grp, name.c_str());
            rows.push_back({grp, name, i});
        }
    }
    // grp descending (NULL last), name ascending bytewise, then identifier.
    std::sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) {
        if (a.grp != b.grp) {
            if (a.grp == kNull) return false;
            if (b.grp == kNull) return true;
            return a.grp > b.grp;
        }
        if (a.name != b.name) return a.name < b.name;
        return a.id < b.id;
    });
    std::vector<std::int32_t> expected;
    for (const TRow& r : rows) expected.push_back(r.id);

    TSortRequest request;
    request.fields = {Field(*t, 2, true), Field(*t, 3)};
    TSortStats stats;
    EXPECT_EQ(Sort(*t, request, true, &stats), 1000);
    EXPECT_EQ(stats.runs, 334);
    EXPECT_EQ(stats.mergePasses, 2);
    EXPECT_EQ(Ids(*t), expected);
    ExpectSound(*t, 1000);
    EXPECT_EQ(RunFiles(), 0u);

    // One run big enough for everything needs no files at all.
    std::reverse(expected.begin(), expected.end());
    request.fields = {Field(*t, 2), Field(*t, 3, true)};
    request.runCapacity = 5000;
    EXPECT_EQ(Sort(*t, request, true, &stats), 1000);
    EXPECT_EQ(stats.runs, 0);
    // Reversing every field reverses the order except among equal values.
    std::vector<std::int32_t> got = Ids(*t);
    std::map<std::pair<std::int32_t, std::string>, std::vector<std::int32_t>> equal;
    for (const TRow& r : rows) equal[{r.grp, r.name}].push_back(r.id);
    std::size_t at = 0;
    for (std::size_t i = 0; i < expected.size(); i = at) {
        const TRow& r = *std::find_if(rows.begin(), rows.end(), [&](const TRow& x) { return x.id == expected[i]; });
        const auto& ids = equal[{r.grp, r.name}];
        for (std::size_t k = 0; k < ids.size(); ++k) ASSERT_EQ(got[i + k], ids[k]) << i;
        at = i + ids.size();
    }
    ExpectSound(*t, 1000);
}

TEST_F(TableSortTest, EncryptedTableSortsInRuns) {
    TTableStructure s = GroupNameStructure();
    s.Encrypted = true;
    s.Password = "secret";
    s.Secondaries = {Index("grp", 2, false)};
    TDataTable* t = Create("t", s);
    TTableLoader loader(*t);
    for (const std::int32_t grp : {5, 3, 9, 1, 3, 7, 2}) AppendGroupName(loader, grp, "x");
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    EXPECT_EQ(Sort(*t, request, true), 7);
    t->Data().ClearCache();  // read back from the file
    EXPECT_EQ(Ids(*t), (std::vector<std::int32_t>{4, 7, 2, 5, 1, 6, 3}));
    ExpectSound(*t, 7);
}

TEST_P(TableSortPaths, EmptyAndAllDeletedTables) {
    TDataTable* t = Create("t", KeyedGroupNameStructure());
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    request.grouping = true;
    EXPECT_EQ(Sort(*t, request, GetParam()), 0);
    ExpectSound(*t, 0);
    {
        TTableLoader loader(*t);
        AppendGroupName(loader, 1, "a");
        AppendGroupName(loader, 2, "b");
    }
    t->FlushBuffers();
    DeleteRow(*t, 1);
    DeleteRow(*t, 2);
    EXPECT_EQ(Sort(*t, request, GetParam()), 0);
    ExpectSound(*t, 0);
}

// A callback that throws leaves the table as it was and no run file behind.
TEST_P(TableSortPaths, AThrowingCallbackLeavesTheTableAndNoFiles) {
    TTableStructure s = KeyedGroupNameStructure();
    s.Secondaries = {Index("grp", 2, false)};
    TDataTable* t = Create("t", s);
    {
        TTableLoader loader(*t);
        for (int i = 1; i <= 200; ++i) AppendGroupName(loader, i % 17, "x");
    }
    t->FlushBuffers();
    DeleteRow(*t, 5);
    const auto before = Images(*t);
    std::size_t filesSeen = 0;
    int calls = 0;
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    request.grouping = true;
    request.accumulate = [&](bool, std::span<const std::uint8_t>, std::span<std::uint8_t>) {
        filesSeen = std::max(filesSeen, RunFiles());
        if (++calls == 30) throw std::runtime_error("callback failed");
    };
    EXPECT_THROW(Sort(*t, request, GetParam()), std::runtime_error);
    EXPECT_EQ(calls, 30);
    if (GetParam()) {
        EXPECT_GT(filesSeen, 1u);  // the runs and the output file existed
    }
    EXPECT_EQ(RunFiles(), 0u);
    t->Data().ClearCache();
    EXPECT_EQ(Images(*t), before);
    EXPECT_EQ(t->Data().SlotCount(), 200);
    EXPECT_EQ(Joined(CheckTableIndexes(t->Data(), t->Index())), "");

    // The table can still be sorted afterwards.
    request.accumulate = nullptr;
    EXPECT_EQ(Sort(*t, request, GetParam()), 17);
    ExpectSound(*t, 17);
}

TEST_P(TableSortPaths, AnAbortLeavesTheRecordsAsTheyWere) {
    TDataTable* t = Create("t", KeyedGroupNameStructure());
    {
        TTableLoader loader(*t);
        for (int i = 1; i <= 120; ++i) AppendGroupName(loader, 120 - i, "x");
    }
    t->FlushBuffers();
    DeleteRow(*t, 7);
    const auto before = Images(*t);
    std::vector<int> seen;
    TSortRequest request;
    request.fields = {Field(*t, 2)};
    request.removeDuplicates = true;
    request.progress = [&](int percent) {
        seen.push_back(percent);
        return percent < 60;
    };
    EXPECT_EQ(Sort(*t, request, GetParam()), kSortAborted);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 0);
    EXPECT_GE(seen.back(), 60);
    EXPECT_EQ(RunFiles(), 0u);
    t->Data().ClearCache();
    EXPECT_EQ(Images(*t), before);
    EXPECT_EQ(Joined(CheckTableIndexes(t->Data(), t->Index())), "");

    // Carried through, the percentages rise to 100.
    seen.clear();
    request.progress = [&](int percent) {
        seen.push_back(percent);
        return true;
    };
    EXPECT_EQ(Sort(*t, request, GetParam()), 119);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(seen.back(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    ExpectSound(*t, 119);
}

TEST_F(TableSortTest, ATableOpenForSharingIsRefused) {
    TDataTable* t = Create("t", GroupNameStructure());
    ASSERT_EQ(dir->CloseTable(t, false), 0);
    ASSERT_EQ(dir->OpenTable("t", {}, t), 0);
    EXPECT_EQ(CodeOf([&] { SortTable(*t, {}, work.Dir()); }), RERUZO_NEEDEXCLACCESS);
    dir->CloseTable(t, false);
}

}  // namespace
}  // namespace reruzo
