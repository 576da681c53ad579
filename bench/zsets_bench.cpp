// zsets_bench.cpp — costs of the sorted-set operations at a small and a large set
// size: ZADD of a random score to a present member, ZREM and ZADD of a member,
// score and rank lookups, a 100-member range from a random rank, ZPOPMIN, the
// lexicographic range and count, and the union and intersection stores of two
// sets. Each benchmark keeps its sets at their size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"

namespace {

constexpr std::string_view kKey = "zset";

// A keyspace holding one sorted set of n members with random scores.
struct BenchSet {
    Keyspace* ks = nullptr;
    uint64_t n = 0;
};

double random_score(Keyspace* ks) { return static_cast<double>(dict_random_below(ks, 1'000'000'000)) / 1000.0; }

// "member:<i>" with i in 12 digits, formatted on the stack so that naming a
// member reads no memory the benchmarked operation would not read.
struct MemberName {
    char text[19];
    explicit MemberName(uint64_t i) {
        memcpy(text, "member:", 7);
        for (size_t k = sizeof(text); k > 7; k--, i /= 10) text[k - 1] = static_cast<char>('0' + i % 10);
    }
    std::string_view view() const { return {text, sizeof(text)}; }
};

BenchSet& bench_set(uint64_t n) {
    static std::map<uint64_t, BenchSet> cache;
    BenchSet& s = cache[n];
    if (s.ks) return s;
    s.ks = dict_create(0);
    dict_seed_random(s.ks, n);
    s.n = n;
    for (uint64_t i = 0; i < n; ++i) dict_zadd(s.ks, kKey, 0, random_score(s.ks), MemberName(i).view());
    return s;
}

void report(benchmark::State& state, const BenchSet& s) {
    state.counters["members"] = static_cast<double>(dict_zcard(s.ks, kKey).value);
    state.SetItemsProcessed(state.iterations());
}

// ZADD of a random score to a present member: the member moves in the order.
void BM_ZaddRandomScore(benchmark::State& state) {
    BenchSet& s = bench_set(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        const MemberName m(dict_random_below(s.ks, s.n));
        benchmark::DoNotOptimize(dict_zadd(s.ks, kKey, 0, random_score(s.ks), m.view()));
    }
    report(state, s);
}
BENCHMARK(BM_ZaddRandomScore)->Arg(1'000)->Arg(1'000'000);

// ZREM of a random member, then ZADD of it again with a random score: the
// member leaves both indexes and comes back.
void BM_ZremThenZadd(benchmark::State& state) {
    BenchSet& s = bench_set(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        const MemberName m(dict_random_below(s.ks, s.n));
        dict_zrem(s.ks, kKey, {m.view()});
        benchmark::DoNotOptimize(dict_zadd(s.ks, kKey, 0, random_score(s.ks), m.view()));
    }
    report(state, s);
}
BENCHMARK(BM_ZremThenZadd)->Arg(1'000)->Arg(1'000'000);

void BM_ZscoreAndZrank(benchmark::State& state) {
    BenchSet& s = bench_set(static_cast<uint64_t>(state.range(0)));
    int64_t rank = 0;
    double score = 0;
    for (auto _ : state) {
        const MemberName m(dict_random_below(s.ks, s.n));
        benchmark::DoNotOptimize(dict_zscore(s.ks, kKey, m.view(), &score));
        benchmark::DoNotOptimize(dict_zrank(s.ks, kKey, m.view(), false, &rank, &score));
    }
    report(state, s);
}
BENCHMARK(BM_ZscoreAndZrank)->Arg(1'000)->Arg(1'000'000);

// ZRANGE start start+99 from a random rank.
void BM_Zrange100(benchmark::State& state) {
    BenchSet& s = bench_set(static_cast<uint64_t>(state.range(0)));
    std::vector<ZMember> out;
    const uint64_t starts = s.n - 100;
    for (auto _ : state) {
        const int64_t start = static_cast<int64_t>(dict_random_below(s.ks, starts));
        benchmark::DoNotOptimize(dict_zrange(s.ks, kKey, start, start + 99, false, &out));
    }
    report(state, s);
}
BENCHMARK(BM_Zrange100)->Arg(1'000)->Arg(1'000'000);

// ZPOPMIN, then the popped member comes back with a new random score.
void BM_ZpopminReadd(benchmark::State& state) {
    BenchSet& s = bench_set(static_cast<uint64_t>(state.range(0)));
    std::vector<ZOwned> out;
    for (auto _ : state) {
        dict_zpop(s.ks, kKey, 1, false, &out);
        dict_zadd(s.ks, kKey, 0, random_score(s.ks), out[0].member);
    }
    report(state, s);
}
BENCHMARK(BM_ZpopminReadd)->Arg(1'000)->Arg(1'000'000);

// A keyspace holding one sorted set of n members that all have score 0, as
// lexicographic ranges assume; member i is MemberName(i), so byte order is
// number order.
Keyspace* lex_set(uint64_t n) {
    static std::map<uint64_t, Keyspace*> cache;
    Keyspace*& ks = cache[n];
    if (ks) return ks;
    ks = dict_create(0);
    for (uint64_t i = 0; i < n; ++i) dict_zadd(ks, kKey, 0, 0, MemberName(i).view());
    return ks;
}

// "[" and the member's bytes: an inclusive lexicographic bound.
struct LexBoundText {
    std::string text;
    explicit LexBoundText(uint64_t i) : text("[" + std::string(MemberName(i).view())) {}
    ZLexBound bound() const { return {ZLexBound::kValue, std::string_view(text).substr(1), false}; }
};

// ZRANGEBYLEX of 10 members from a random member on: two descents and a walk
// of 10, whatever the set's size.
void BM_Zrangebylex10(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    Keyspace* ks = lex_set(n);
    std::vector<ZMember> out;
    for (auto _ : state) {
        const uint64_t first = dict_random_below(ks, n - 10);
        const LexBoundText min(first), max(first + 9);
        int64_t lo = 0, hi = 0;
        dict_zlexranks(ks, kKey, min.bound(), max.bound(), &lo, &hi);
        benchmark::DoNotOptimize(dict_zrange(ks, kKey, lo, hi - 1, false, &out));
    }
    state.counters["members"] = static_cast<double>(n);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Zrangebylex10)->Arg(10'000)->Arg(100'000)->Arg(1'000'000);

// ZLEXCOUNT between two random members.
void BM_Zlexcount(benchmark::State& state) {
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    Keyspace* ks = lex_set(n);
    for (auto _ : state) {
        const uint64_t a = dict_random_below(ks, n), b = dict_random_below(ks, n);
        const LexBoundText min(std::min(a, b)), max(std::max(a, b));
        int64_t lo = 0, hi = 0;
        dict_zlexranks(ks, kKey, min.bound(), max.bound(), &lo, &hi);
        benchmark::DoNotOptimize(hi - lo);
    }
    state.counters["members"] = static_cast<double>(n);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Zlexcount)->Arg(10'000)->Arg(100'000)->Arg(1'000'000);

// Two sorted sets "a" and "b" of n members with random scores, sharing half of
// their members.
Keyspace* algebra_sets(uint64_t n) {
    static std::map<uint64_t, Keyspace*> cache;
    Keyspace*& ks = cache[n];
    if (ks) return ks;
    ks = dict_create(0);
    for (uint64_t i = 0; i < n; ++i) {
        dict_zadd(ks, "a", 0, random_score(ks), MemberName(i).view());
        dict_zadd(ks, "b", 0, random_score(ks), MemberName(i + n / 2).view());
    }
    return ks;
}

// ZUNIONSTORE / ZINTERSTORE dst 2 a b: the algebra, then the store that
// replaces dst.
void store_algebra(benchmark::State& state, ZAlgebra::Op op) {
    Keyspace* ks = algebra_sets(static_cast<uint64_t>(state.range(0)));
    ZAlgebra req;
    req.op = op;
    req.keys = {"a", "b"};
    req.weights = {1.0, 2.0};
    std::vector<ZOwned> result;
    for (auto _ : state) {
        dict_zalgebra(ks, req, &result);
        benchmark::DoNotOptimize(dict_zstore_members(ks, "dst", result));
    }
    state.counters["stored"] = static_cast<double>(dict_zcard(ks, "dst").value);
    state.SetItemsProcessed(state.iterations());
}

void BM_ZunionstoreTwo(benchmark::State& state) { store_algebra(state, ZAlgebra::kUnion); }
BENCHMARK(BM_ZunionstoreTwo)->Arg(10'000)->Unit(benchmark::kMillisecond);

void BM_ZinterstoreTwo(benchmark::State& state) { store_algebra(state, ZAlgebra::kInter); }
BENCHMARK(BM_ZinterstoreTwo)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
