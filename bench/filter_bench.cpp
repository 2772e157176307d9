// Filters on a table of 1,000,000 records: an indexed equality selecting 100 records
// (built from the index alone, then read in key order and in natural order), the same selection on a column without an
// index (a scan of every record), and a plain read of the whole table for scale.
// The counter "disk_records" is the number of records read from the data file per
// iteration; an indexed filter must read only the records it returns.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "engine/table/data_cursor.h"
#include "tests/support/table_loader.h"
#include "engine/sql/expression_filter.h"

namespace {

using namespace reruzo;

constexpr int kRows = 1000000;
constexpr int kKeys = 10000;  // each key value selects kRows / kKeys = 100 records

struct TBenchTable {
    TDataSession session;
    TDataDirectory* dir;
    TBenchTable() {
        const std::string path = (std::filesystem::temp_directory_path() / "quorvane-filter-bench").string() + "/";
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
        dir = &session.OpenDirectory("bench", path);
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("keyid", kFieldInteger),
                    MakeFieldDesc("plain", kFieldInteger), MakeFieldDesc("note", kFieldString, 40)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TIndexDesc key;
        key.Name = "key";
        key.FieldCount = 1;
        key.FieldNumbers[0] = 2;
        s.Secondaries = {key};
        TDataTable* t = nullptr;
        dir->CreateTable("t", s, t);
        t->StartTransaction();
        TTableLoader loader(*t);
        auto r = loader.BlankRecord();
        for (int i = 0; i < kRows; ++i) {
            PutIntegerField(r, loader.Fields()[1], i % kKeys);
            PutIntegerField(r, loader.Fields()[2], i % kKeys);
            PutStringField(r, loader.Fields()[3], "note " + std::to_string(i));
            loader.Append(r);
        }
        t->Commit(true, false);
        dir->CloseTable(t, false);
    }
    std::unique_ptr<TDataCursor> Cursor(bool natural = false) {
        auto c = std::make_unique<TDataCursor>(*dir);
        c->SetTableName("t");
        c->SetNaturalOrder(natural);
        c->OpenCursor();
        return c;
    }
};

TBenchTable& Table() {
    static TBenchTable table;
    return table;
}

// Builds the filter's bitmap and the view; with `read`, also reads every record of
// the view.
void Filter(benchmark::State& state, const char* column, bool read, bool natural = false) {
    auto c = Table().Cursor(natural);
    std::vector<std::uint8_t> r(c->RecordSize());
    const TDataFile& data = c->Table().Data();
    std::uint64_t diskRecords = 0;
    std::int64_t rows = 0;
    int key = 0;
    for (auto _ : state) {
        const std::string text = std::string(column) + " = " + std::to_string(key);
        key = (key + 37) % kKeys;
        const std::uint64_t before = data.Stats().diskReads;
        TFilter* f = AddExprFilter(*c, text, {}, {.countCheck = true});
        c->ActivateFilter(f);
        if (read) {
            c->SetToBegin();
            while (c->GetNextRecord(r) == 0) ++rows;
        } else {
            rows += c->GetRecordCount();
        }
        diskRecords += data.Stats().diskReads - before;
        c->DropFilter(f);
        // Start every iteration with a cold record cache, as a first look at a table does.
        c->Table().Data().ClearCache();
    }
    state.counters["rows"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kAvgIterations);
    state.counters["disk_records"] =
        benchmark::Counter(static_cast<double>(diskRecords), benchmark::Counter::kAvgIterations);
}

void BM_IndexedFilterBuild(benchmark::State& state) { Filter(state, "keyid", false); }
void BM_IndexedFilterBuildAndRead(benchmark::State& state) { Filter(state, "keyid", true); }
// In primary-key order the walk passes every index entry and stops at the visible
// ones; in natural order it jumps from bit to bit of the view.
void BM_IndexedFilterBuildAndReadNatural(benchmark::State& state) { Filter(state, "keyid", true, true); }
void BM_ScannedFilterBuild(benchmark::State& state) { Filter(state, "plain", false); }

void BM_FullReadNaturalOrder(benchmark::State& state) {
    auto c = std::make_unique<TDataCursor>(*Table().dir);
    c->SetTableName("t");
    c->SetNaturalOrder(true);
    c->OpenCursor();
    std::vector<std::uint8_t> r(c->RecordSize());
    std::int64_t rows = 0;
    for (auto _ : state) {
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) ++rows;
    }
    state.counters["rows"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_IndexedFilterBuild)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IndexedFilterBuildAndRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IndexedFilterBuildAndReadNatural)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScannedFilterBuild)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullReadNaturalOrder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
