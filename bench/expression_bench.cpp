// Filter evaluation over 100,000 records held in memory: the cost of one prepared
// tree per record for typical filters (integer equality, a LIKE that scans the text,
// a range and a prefix comparison, a case mapping), and the pool's reuse of nodes:
// once warm, evaluation allocates no nodes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/errors/engine_errors.h"
#include "engine/expr/expression_check.h"
#include "engine/expr/expression_eval.h"

namespace {

using namespace reruzo;

constexpr int kRows = 100000;

struct TRecords {
    std::vector<TFieldDesc> fields;
    std::size_t size = 0;
    std::vector<std::uint8_t> bytes;
    TRecords() {
        fields = {MakeFieldDesc("n", kFieldInteger), MakeFieldDesc("s", kFieldString, 40),
                  MakeFieldDesc("d", kFieldDate)};
        size = LayoutRecord(fields);
        bytes.assign(size * kRows, 0);
        for (int i = 0; i < kRows; ++i) {
            std::span<std::uint8_t> r(bytes.data() + size * static_cast<std::size_t>(i), size);
            PutIntegerField(r, fields[0], i % 1000);
            PutStringField(r, fields[1], "row " + std::to_string(i));
            PutIntegerField(r, fields[2], 730000 + i % 3650);
        }
    }
    std::span<const std::uint8_t> Record(int i) const {
        return {bytes.data() + size * static_cast<std::size_t>(i), size};
    }
};

const TRecords& Records() {
    static const TRecords records;
    return records;
}

TExpTree PreparedFilter(const std::string& text) {
    const TRecords& t = Records();
    TExpressionParser parser;
    parser.SetErrorCode(RERUZO_INVALIDFILTER);
    parser.SetContextName("filter expression");
    parser.SetText(text);
    parser.NextToken();
    TExpToken* root = parser.ParseExpression(pfAllowExtendedPredicates);
    TValidateOptions o{RERUZO_INVALIDFILTER, "bench", "filter expression", true, FieldResolver(t.fields, "bench")};
    Validate(root, o);
    TExpTree validated(root);
    return TExpTree(Prepare(validated.get(), {false, false, 0, 0}));
}

void Filter(benchmark::State& state, const std::string& text) {
    const TRecords& t = Records();
    TExpTree tree = PreparedFilter(text);
    TRecordColumns columns(t.fields);
    TEvalContext context{0, 0, &columns};
    std::int64_t accepted = 0;
    for (auto _ : state) {
        accepted = 0;
        for (int i = 0; i < kRows; ++i) {
            columns.SetRecord(t.Record(i));
            accepted += Accepts(tree.get(), context) ? 1 : 0;
        }
    }
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["records_per_s"] =
        benchmark::Counter(static_cast<double>(kRows) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["live_nodes_after"] = static_cast<double>(LiveNodeCount());
}

void BM_IntegerEquality(benchmark::State& s) { Filter(s, "n = 500"); }
void BM_LikeAnywhere(benchmark::State& s) { Filter(s, "s like '%99%'"); }
void BM_RangeAndPrefix(benchmark::State& s) { Filter(s, "n between 10 and 500 and s = 'row 1*'"); }
void BM_UpperCase(benchmark::State& s) { Filter(s, "upper(s) = 'ROW 77'"); }
void BM_DateArithmetic(benchmark::State& s) { Filter(s, "d + 30 > '2003-06-01' or n in (1, 2, 3)"); }

BENCHMARK(BM_IntegerEquality)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LikeAnywhere)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RangeAndPrefix)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpperCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DateArithmetic)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
