// lists_bench.cpp — costs of the list operations: pushes and pops at both ends
// against lists of growing length (constant per element), building a long list
// with head pushes (linear overall), and positional reads and ranges in the
// middle of a long list.
#include <benchmark/benchmark.h>

#include <string>

#include "keyspace/keyspace.h"

namespace {

const std::string kElement(16, 'e');

// A keyspace holding one list "l" of n elements.
Keyspace* keyspace_with_list(int64_t n) {
    Keyspace* ks = dict_create(0);
    for (int64_t i = 0; i < n; i++) dict_rpush(ks, "l", kElement);
    return ks;
}

// One push and one pop per iteration at the named ends: the list keeps its length.
void run_push_pop(benchmark::State& state, bool push_head, bool pop_head) {
    Keyspace* ks = keyspace_with_list(state.range(0));
    for (auto _ : state) {
        push_head ? dict_lpush(ks, "l", kElement) : dict_rpush(ks, "l", kElement);
        PoppedElements got;
        pop_head ? dict_lpop(ks, "l", &got) : dict_rpop(ks, "l", &got);
        benchmark::DoNotOptimize(got.items.data());
    }
    if (dict_llen(ks, "l").value != state.range(0)) state.SkipWithError("the list changed length");
    dict_destroy(ks);
    state.SetItemsProcessed(state.iterations() * 2);
}

void BM_LpushRpop(benchmark::State& state) { run_push_pop(state, true, false); }
void BM_RpushLpop(benchmark::State& state) { run_push_pop(state, false, true); }
void BM_LpushLpop(benchmark::State& state) { run_push_pop(state, true, true); }
BENCHMARK(BM_LpushRpop)->Arg(10)->Arg(100'000)->Arg(1'000'000);
BENCHMARK(BM_RpushLpop)->Arg(10)->Arg(100'000)->Arg(1'000'000);
BENCHMARK(BM_LpushLpop)->Arg(10)->Arg(100'000)->Arg(1'000'000);

// A list of n elements built from empty by head pushes; Complexity reports the fit.
void BM_LpushBuild(benchmark::State& state) {
    for (auto _ : state) {
        Keyspace* ks = dict_create(0);
        for (int64_t i = 0; i < state.range(0); i++) dict_lpush(ks, "l", kElement);
        state.PauseTiming();
        dict_destroy(ks);
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LpushBuild)->RangeMultiplier(10)->Range(10'000, 1'000'000)->Complexity()->Unit(benchmark::kMillisecond);

// Reads at the middle of the list, where a plain array would have to be walked.
void BM_LindexMiddle(benchmark::State& state) {
    Keyspace* ks = keyspace_with_list(state.range(0));
    std::string_view v;
    for (auto _ : state) {
        dict_lindex(ks, "l", state.range(0) / 2, &v);
        benchmark::DoNotOptimize(v.data());
    }
    dict_destroy(ks);
}
BENCHMARK(BM_LindexMiddle)->Arg(100)->Arg(1'000'000);

void BM_Lrange100Middle(benchmark::State& state) {
    Keyspace* ks = keyspace_with_list(state.range(0));
    std::vector<std::string_view> out;
    const int64_t start = state.range(0) / 2;
    for (auto _ : state) {
        dict_lrange(ks, "l", start, start + 99, &out);
        benchmark::DoNotOptimize(out.data());
    }
    if (out.size() != 100) state.SkipWithError("the range did not hold 100 elements");
    dict_destroy(ks);
}
BENCHMARK(BM_Lrange100Middle)->Arg(1'000)->Arg(1'000'000);

}  // namespace
