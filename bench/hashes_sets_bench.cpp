// hashes_sets_bench.cpp — costs of the hash and set operations per element at
// 100 and at 1,000,000 elements (writes, lookups, deletions with their
// tombstones and compaction, random pops), position-cursor scans, and the set
// algebra over two sets of 100,000 members.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"

namespace {

constexpr size_t kNameLen = 16;

// Fixed-width names "name:00000000042", formatted by hand to keep the
// formatting out of the measured operation.
struct Name {
    char text[kNameLen];
    explicit Name(uint64_t n) {
        memcpy(text, "name:", 5);
        for (size_t i = kNameLen; i > 5; i--, n /= 10) text[i - 1] = static_cast<char>('0' + n % 10);
    }
    std::string_view view() const { return {text, kNameLen}; }
};

// A one-element list of names for the calls that take several, reused so
// that no allocation enters the measured operation.
const std::vector<std::string_view>& just(std::string_view name) {
    static std::vector<std::string_view> one(1);
    one[0] = name;
    return one;
}

// The hash "h" or the set "s" of a keyspace, as the benchmarks drive them.
struct Collection {
    void (*add)(Keyspace* ks, std::string_view name);
    void (*remove)(Keyspace* ks, std::string_view name);
    int64_t (*size)(Keyspace* ks);
};

const Collection kHash{[](Keyspace* ks, std::string_view n) { dict_hset(ks, "h", n, "value"); },
                       [](Keyspace* ks, std::string_view n) { dict_hdel(ks, "h", just(n)); },
                       [](Keyspace* ks) { return dict_hlen(ks, "h").value; }};
const Collection kSet{[](Keyspace* ks, std::string_view n) { dict_sadd(ks, "s", just(n)); },
                      [](Keyspace* ks, std::string_view n) { dict_srem(ks, "s", just(n)); },
                      [](Keyspace* ks) { return dict_scard(ks, "s").value; }};

// A keyspace whose collection holds the names first .. first + n - 1.
Keyspace* filled(const Collection& c, int64_t n, uint64_t first = 0) {
    Keyspace* ks = dict_create(0);
    for (int64_t i = 0; i < n; i++) c.add(ks, Name(first + static_cast<uint64_t>(i)).view());
    return ks;
}

Keyspace* keyspace_with_hash(int64_t n) { return filled(kHash, n); }
Keyspace* keyspace_with_set(int64_t n) { return filled(kSet, n); }

// One new element and the removal of the oldest per iteration: the collection
// keeps its size, so both costs are measured at that size.
void run_churn(benchmark::State& state, const Collection& c) {
    const int64_t n = state.range(0);
    Keyspace* ks = filled(c, n);
    uint64_t next = static_cast<uint64_t>(n);
    for (auto _ : state) {
        c.add(ks, Name(next).view());
        c.remove(ks, Name(next - static_cast<uint64_t>(n)).view());
        next++;
    }
    if (c.size(ks) != n) state.SkipWithError("the collection changed size");
    dict_destroy(ks);
    state.SetItemsProcessed(state.iterations());
}

void BM_HsetNewAndHdelOldest(benchmark::State& state) { run_churn(state, kHash); }
void BM_SaddNewAndSremOldest(benchmark::State& state) { run_churn(state, kSet); }
BENCHMARK(BM_HsetNewAndHdelOldest)->Arg(100)->Arg(100'000)->Arg(1'000'000);
BENCHMARK(BM_SaddNewAndSremOldest)->Arg(100)->Arg(100'000)->Arg(1'000'000);

// An operation on present elements chosen at random: lookup-bound costs. Each
// call must give `per_call`.
void run_random(benchmark::State& state, const Collection& c, int64_t (*op)(Keyspace*, std::string_view),
                int64_t per_call) {
    const int64_t n = state.range(0);
    Keyspace* ks = filled(c, n);
    dict_seed_random(ks, 1);
    int64_t sum = 0;
    for (auto _ : state) sum += op(ks, Name(dict_random_below(ks, static_cast<uint64_t>(n))).view());
    if (sum != per_call * static_cast<int64_t>(state.iterations())) state.SkipWithError("unexpected result");
    dict_destroy(ks);
    state.SetItemsProcessed(state.iterations());
}

int64_t hset_present(Keyspace* ks, std::string_view f) { return dict_hset(ks, "h", f, "other").value; }
int64_t hget_present(Keyspace* ks, std::string_view f) {
    std::string_view v;
    return dict_hget(ks, "h", f, &v) == DictStatus::Ok ? 1 : 0;
}
int64_t sadd_present(Keyspace* ks, std::string_view m) { return dict_sadd(ks, "s", just(m)).value; }
int64_t sismember_present(Keyspace* ks, std::string_view m) { return dict_sismember(ks, "s", m) == DictStatus::Ok ? 1 : 0; }

void BM_HsetOverwrite(benchmark::State& state) { run_random(state, kHash, hset_present, 0); }
void BM_Hget(benchmark::State& state) { run_random(state, kHash, hget_present, 1); }
void BM_SaddPresent(benchmark::State& state) { run_random(state, kSet, sadd_present, 0); }
void BM_Sismember(benchmark::State& state) { run_random(state, kSet, sismember_present, 1); }
BENCHMARK(BM_HsetOverwrite)->Arg(100)->Arg(1'000'000);
BENCHMARK(BM_Hget)->Arg(100)->Arg(1'000'000);
BENCHMARK(BM_SaddPresent)->Arg(100)->Arg(1'000'000);
BENCHMARK(BM_Sismember)->Arg(100)->Arg(1'000'000);

// A whole scan in pages of 100 after a third of the fields were deleted, so
// every page start goes through the order index.
void BM_HscanAfterDeletes(benchmark::State& state) {
    const int64_t n = state.range(0);
    Keyspace* ks = keyspace_with_hash(n);
    for (int64_t i = 0; i < n; i += 3) kHash.remove(ks, Name(static_cast<uint64_t>(i)).view());
    std::vector<std::string_view> page;
    for (auto _ : state) {
        uint64_t cursor = 0;
        do {
            dict_hscan(ks, "h", &cursor, 100, &page);
        } while (cursor != 0);
    }
    state.SetItemsProcessed(state.iterations() * dict_hlen(ks, "h").value);
    dict_destroy(ks);
}
BENCHMARK(BM_HscanAfterDeletes)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// One random pop and one add of a fresh member per iteration.
void BM_SpopOne(benchmark::State& state) {
    const int64_t n = state.range(0);
    Keyspace* ks = keyspace_with_set(n);
    dict_seed_random(ks, 5);
    uint64_t next = static_cast<uint64_t>(n);
    std::vector<std::string> popped;
    for (auto _ : state) {
        dict_spop(ks, "s", 1, &popped);
        kSet.add(ks, Name(next++).view());
    }
    if (dict_scard(ks, "s").value != n) state.SkipWithError("the set changed size");
    dict_destroy(ks);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpopOne)->Arg(100)->Arg(1'000'000);

// The sets "s" and "b" of 100,000 members each, overlapping by half.
void run_algebra(benchmark::State& state, DictCount (*op)(Keyspace*, const std::vector<std::string_view>&,
                                                        std::vector<std::string_view>*), size_t expected) {
    Keyspace* ks = keyspace_with_set(100'000);
    for (uint64_t i = 50'000; i < 150'000; i++) dict_sadd(ks, "b", just(Name(i).view()));
    const std::vector<std::string_view> keys{"s", "b"};
    std::vector<std::string_view> out;
    for (auto _ : state) op(ks, keys, &out);
    if (out.size() != expected) state.SkipWithError("wrong result size");
    dict_destroy(ks);
}

void BM_Sunion100k(benchmark::State& state) { run_algebra(state, dict_sunion, 150'000); }
void BM_Sinter100k(benchmark::State& state) { run_algebra(state, dict_sinter, 50'000); }
void BM_Sdiff100k(benchmark::State& state) { run_algebra(state, dict_sdiff, 50'000); }
BENCHMARK(BM_Sunion100k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sinter100k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sdiff100k)->Unit(benchmark::kMillisecond);

}  // namespace
