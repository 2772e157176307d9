// Reading records through the data file handler: sequential scans (served in runs
// of RecordsPerRead slots), random reads against a cold and a warm cache, and bulk
// loading. Counters report the read calls per scan, which must stay one per run.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include "tests/support/table_builder.h"

namespace {

using namespace reruzo;

const std::string& BenchDir() {
    static const std::string dir = [] {
        auto path = std::filesystem::temp_directory_path() / "quorvane-bench";
        std::filesystem::create_directories(path);
        return path.string() + "/";
    }();
    return dir;
}

// A table of `count` records of about 100 bytes.
void MakeTable(const std::string& name, int count) {
    TTableBuilder b(BenchDir(), name,
                    {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("n", kFieldInteger),
                     MakeFieldDesc("s", kFieldString, 84)});
    auto r = b.BlankRecord();
    for (int i = 1; i <= count; ++i) {
        PutIntegerField(r, b.Fields()[1], i);
        PutStringField(r, b.Fields()[2], "record number " + std::to_string(i));
        b.Append(r);
    }
    b.Finish();
}

void BM_BulkLoad(benchmark::State& state) {
    for (auto _ : state) MakeTable("load", static_cast<int>(state.range(0)));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BulkLoad)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SequentialScan(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    MakeTable("scan", count);
    TDataFile f(BenchDir(), "scan");
    f.Open();
    std::int64_t sum = 0;
    for (auto _ : state) {
        for (std::int32_t n = 1; n <= f.SlotCount(); ++n) {
            TPinnedRecord r(f.GetRecord(nullptr, n, {.readAhead = true}));
            sum += GetIntegerField(r->Data(), f.FieldDesc(2));
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["read_calls_per_scan"] =
        static_cast<double>(f.Stats().readCalls) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SequentialScan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_RandomReads(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    MakeTable("random", count);
    TDataFile f(BenchDir(), "random");
    f.Open();
    std::mt19937 rng(1);
    std::int64_t sum = 0;
    for (auto _ : state) {
        const auto n = static_cast<std::int32_t>(1 + rng() % static_cast<unsigned>(count));
        TPinnedRecord r(f.GetRecord(nullptr, n, {}));
        sum += GetIntegerField(r->Data(), f.FieldDesc(2));
    }
    benchmark::DoNotOptimize(sum);
    state.counters["hit_rate"] = static_cast<double>(f.Stats().cacheHits) /
                                 static_cast<double>(f.Stats().cacheHits + f.Stats().readCalls);
}
// 150 records fit the cache (163 records of 100 bytes); 100000 do not.
BENCHMARK(BM_RandomReads)->Arg(150)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
