// B+-tree costs: 1,000,000 random inserts into an index of 4-byte integer keys, with
// the page buffers as a shared table uses them (two pages per index, dirty pages
// written when room is needed) and as a transaction uses them (dirty pages stay in
// memory), then a full scan in key order and random exact lookups.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>

#include "engine/index/index_tree.h"

namespace {

using namespace reruzo;

struct TTransactionOwner : TDataFileOwner {
    bool InTransaction() const override { return true; }
};

struct TBenchIndex {
    std::string dir;
    std::vector<TFieldDesc> fields;
    TTransactionOwner transaction;
    std::unique_ptr<TIndexFile> file;
    TKeyLayout layout;
    explicit TBenchIndex(bool inTransaction) {
        dir = (std::filesystem::temp_directory_path() / "quorvane-bench").string() + "/";
        std::filesystem::create_directories(dir);
        fields = {MakeFieldDesc("id", kFieldInteger, 0, kSubAutoInc), MakeFieldDesc("n", kFieldInteger)};
        LayoutRecord(fields);
        file = std::make_unique<TIndexFile>(dir, "bench", inTransaction ? &transaction : nullptr);
        file->Create();
        TIndexDesc d;
        d.Unique = 1;
        d.FieldCount = 1;
        d.FieldNumbers[0] = 2;
        d.KeyLength = ComputeKeyLength(d, fields, dir, "bench");
        file->DefinePrimaryIndex(d, fields);
        layout = MakeKeyLayout(file->Descriptor(0), 0, fields, 0, 0);
    }
};

std::vector<std::int32_t> Shuffled(std::int32_t n) {
    std::vector<std::int32_t> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), 0);
    std::shuffle(v.begin(), v.end(), std::mt19937(42));
    return v;
}

void Insert(benchmark::State& state, bool inTransaction) {
    const auto keys = Shuffled(static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state) {
        TBenchIndex b(inTransaction);
        TIndexTree tree(*b.file, 0, b.layout);
        std::uint8_t key[5] = {1};
        for (std::int32_t v : keys) {
            EncodeInt32(v, key + 1);
            tree.Insert(key, v + 1);
        }
        b.file->FlushPages(false);
        state.counters["pages"] = b.file->PageCount();
        state.counters["disk_writes"] = static_cast<double>(b.file->Stats().diskWrites);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_RandomInsertShared(benchmark::State& state) { Insert(state, false); }
void BM_RandomInsertTransaction(benchmark::State& state) { Insert(state, true); }
BENCHMARK(BM_RandomInsertShared)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RandomInsertTransaction)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ScanAndLookup(benchmark::State& state) {
    const std::int32_t n = static_cast<std::int32_t>(state.range(0));
    TBenchIndex b(true);
    {
        TIndexTree tree(*b.file, 0, b.layout);
        std::uint8_t key[5] = {1};
        for (std::int32_t v : Shuffled(n)) {
            EncodeInt32(v, key + 1);
            tree.Insert(key, v + 1);
        }
        b.file->FlushPages(false);
        b.file->WriteHeader(true, false);
    }
    TIndexTree tree(*b.file, 0, b.layout);
    std::int64_t sum = 0;
    for (auto _ : state) {
        tree.ForEach([&](const std::uint8_t*, std::int32_t rec) { sum += rec; });
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ScanAndLookup)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_ExactLookup(benchmark::State& state) {
    const std::int32_t n = 1000000;
    TBenchIndex b(true);
    TIndexTree tree(*b.file, 0, b.layout);
    std::uint8_t key[5] = {1};
    for (std::int32_t v : Shuffled(n)) {
        EncodeInt32(v, key + 1);
        tree.Insert(key, v + 1);
    }
    std::mt19937 rng(3);
    std::int32_t found = 0;
    for (auto _ : state) {
        EncodeInt32(static_cast<std::int32_t>(rng() % n), key + 1);
        std::int32_t rec = 0;
        found += tree.FindExact(key, &rec) ? 1 : 0;
    }
    benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_ExactLookup);

}  // namespace

BENCHMARK_MAIN();
