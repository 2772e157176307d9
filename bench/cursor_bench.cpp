// Reading through cursors: a full scan of 100,000 records in primary-index order and
// in natural order, record numbers by SetToRecNo, and exact key searches.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "engine/table/data_cursor.h"
#include "tests/support/table_loader.h"

namespace {

using namespace reruzo;

constexpr int kRows = 100000;

struct TBenchTable {
    TDataSession session;
    TDataDirectory* dir;
    TBenchTable() {
        const std::string path = (std::filesystem::temp_directory_path() / "quorvane-cursor-bench").string() + "/";
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
        dir = &session.OpenDirectory("bench", path);
        TTableStructure s;
        s.Fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("n", kFieldInteger),
                    MakeFieldDesc("s", kFieldString, 80)};
        s.Primary.FieldCount = 1;
        s.Primary.FieldNumbers[0] = 1;
        TDataTable* t = nullptr;
        dir->CreateTable("t", s, t);
        TTableLoader loader(*t);
        auto r = loader.BlankRecord();
        for (int i = 0; i < kRows; ++i) {
            PutIntegerField(r, loader.Fields()[1], i);
            PutStringField(r, loader.Fields()[2], "row " + std::to_string(i));
            loader.Append(r);
        }
        dir->CloseTable(t, false);
    }
    std::unique_ptr<TDataCursor> Cursor(bool natural) {
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

void Scan(benchmark::State& state, bool natural) {
    auto c = Table().Cursor(natural);
    std::vector<std::uint8_t> r(c->RecordSize());
    std::int64_t rows = 0;
    for (auto _ : state) {
        c->SetToBegin();
        while (c->GetNextRecord(r) == 0) ++rows;
    }
    state.SetItemsProcessed(rows);
    state.counters["data_read_calls"] = static_cast<double>(c->Table().Data().Stats().readCalls);
    state.counters["index_disk_reads"] = static_cast<double>(c->Table().Index().Stats().diskReads);
}
void BM_ScanPrimaryOrder(benchmark::State& state) { Scan(state, false); }
void BM_ScanNaturalOrder(benchmark::State& state) { Scan(state, true); }
BENCHMARK(BM_ScanPrimaryOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNaturalOrder)->Unit(benchmark::kMillisecond);

void BM_SetToRecNo(benchmark::State& state) {
    auto c = Table().Cursor(false);
    std::mt19937 rng(1);
    for (auto _ : state) c->SetToRecNo(static_cast<std::int32_t>(1 + rng() % kRows));
}
BENCHMARK(BM_SetToRecNo);

void BM_FindExact(benchmark::State& state) {
    auto c = Table().Cursor(false);
    std::vector<std::uint8_t> probe(c->RecordSize()), out(c->RecordSize());
    std::mt19937 rng(2);
    for (auto _ : state) {
        PutIntegerField(probe, c->Fields()[0], static_cast<std::int32_t>(1 + rng() % kRows));
        benchmark::DoNotOptimize(c->Find(true, probe, 1, 0, false, out));
    }
}
BENCHMARK(BM_FindExact);

}  // namespace

BENCHMARK_MAIN();
