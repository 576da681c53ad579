// keyspace_bench.cpp — costs of the keyspace engine per operation: inserting
// under an active memory limit (one eviction per insert) at a small and a large
// key count, lookups with and without the eviction index, and the idle sweep.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>

#include "keyspace/keyspace.h"

namespace {

constexpr uint64_t kMB = 1048576;
constexpr size_t kKeyLen = 16;

// Fixed-width names "key:000000000042" so every key charges the same; formatted
// by hand to keep the formatting cost out of the measured operation.
struct KeyName {
    char text[kKeyLen];
    explicit KeyName(uint64_t n) {
        memcpy(text, "key:", 4);
        for (size_t i = kKeyLen; i > 4; i--, n /= 10) text[i - 1] = static_cast<char>('0' + n % 10);
    }
    std::string_view view() const { return {text, kKeyLen}; }
};

// A string write the way the string writer does it: lookup, insertion sequence,
// value and charge, then the eviction step.
void put_string(Keyspace* ks, std::string_view key, std::string_view value) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        e = dict_insert_string_entry(ks, key, value.size(), dict_now_ms(ks));
        if (!e) return;
        memcpy(entry_str_data(e), value.data(), value.size());
    } else {
        const uint64_t old_charge = entry_str_charge(e);
        if (!entry_set_str(e, value)) return;
        dict_uncharge(ks, old_charge);
        dict_charge(ks, entry_str_charge(e));
    }
    dict_evict_lru(ks);
}

uint64_t buckets_for(uint64_t keys) {
    uint64_t buckets = INITIAL_BUCKETS;
    while (buckets < keys) buckets *= 2;
    return buckets;
}

// A keyspace whose memory limit holds it at about `keys` keys, each with a value
// sized so that `keys` of them just fill the limit. Built once per size and kept
// across runs: the insert benchmark continues from the steady state it left.
struct SteadyKeyspace {
    Keyspace* ks = nullptr;
    uint64_t next_key = 0;
    std::string value;
};

SteadyKeyspace& steady_keyspace(uint64_t keys) {
    static std::map<uint64_t, SteadyKeyspace> cache;
    SteadyKeyspace& s = cache[keys];
    if (s.ks) return s;
    const uint64_t fixed = CHARGE_KEYSPACE + dict_buckets_charge(buckets_for(keys));
    const uint64_t limit_mb = (fixed + keys * 200 + kMB - 1) / kMB;
    const uint64_t per_key = (limit_mb * kMB - fixed) / keys;
    // The value sits in its entry's block; the allocator adds up to 23 bytes to a request.
    s.value.assign(per_key - CHARGE_LRU_NODE - (kEntryValueOffset + kKeyLen + 2) - 23, 'v');
    s.ks = dict_create(0);
    for (; s.next_key < keys; s.next_key++) put_string(s.ks, KeyName(s.next_key).view(), s.value);
    dict_set_max_memory(s.ks, static_cast<int32_t>(limit_mb));
    return s;
}

void BM_InsertWithEviction(benchmark::State& state) {
    SteadyKeyspace& s = steady_keyspace(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        put_string(s.ks, KeyName(s.next_key++).view(), s.value);
    }
    state.counters["keys"] = static_cast<double>(s.ks->key_count);
    state.counters["buckets"] = static_cast<double>(s.ks->bucket_count);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertWithEviction)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kNanosecond);

// Lookups of present keys in random order; with the limit set every lookup also
// moves the key within the eviction order (the clock ticks per call here). The
// limit is set after the keys are made (LookupWithLimit) or before
// (LookupUnderLimit); LookupWithDeadline gives every key a far deadline, which
// each lookup checks.
int64_t s_ticks = 1;
int64_t ticking_clock() { return ++s_ticks; }

enum class LookupCase { Plain, LimitAfter, LimitBefore, Deadline };

void run_lookups(benchmark::State& state, LookupCase what) {
    const uint64_t keys = static_cast<uint64_t>(state.range(0));
    Keyspace* ks = dict_create(what == LookupCase::LimitBefore ? 1 << 20 : 0);
    for (uint64_t i = 0; i < keys; i++) {
        Entry* e = dict_insert_entry(ks, KeyName(i).view(), KEY_TYPE_STRING, 0);
        if (e) entry_set_str(e, "value");
        if (e && what == LookupCase::Deadline) entry_set_expire(ks, e, INT64_MAX / 2);
    }
    if (what == LookupCase::LimitAfter) dict_set_max_memory(ks, 1 << 20);
    dict_set_clock(ks, &ticking_clock);
    dict_seed_random(ks, 42);
    uint64_t found = 0;
    for (auto _ : state) {
        found += dict_find_entry(ks, KeyName(dict_random_below(ks, keys)).view()) != nullptr;
    }
    dict_set_clock(ks, nullptr);
    if (found != static_cast<uint64_t>(state.iterations())) state.SkipWithError("a present key was not found");
    dict_destroy(ks);
    state.SetItemsProcessed(state.iterations());
}

void BM_Lookup(benchmark::State& state) { run_lookups(state, LookupCase::Plain); }
void BM_LookupWithLimit(benchmark::State& state) { run_lookups(state, LookupCase::LimitAfter); }
void BM_LookupUnderLimit(benchmark::State& state) { run_lookups(state, LookupCase::LimitBefore); }
void BM_LookupWithDeadline(benchmark::State& state) { run_lookups(state, LookupCase::Deadline); }
BENCHMARK(BM_Lookup)->Arg(10'000)->Arg(1'000'000)->Iterations(2'000'000);
BENCHMARK(BM_LookupWithLimit)->Arg(10'000)->Arg(1'000'000)->Iterations(2'000'000);
BENCHMARK(BM_LookupUnderLimit)->Arg(10'000)->Arg(1'000'000)->Iterations(2'000'000);
BENCHMARK(BM_LookupWithDeadline)->Arg(10'000)->Arg(1'000'000)->Iterations(2'000'000);

// The sweep the connection loop runs every pass, over keys that never expire.
void BM_SweepWithoutExpiringKeys(benchmark::State& state) {
    SteadyKeyspace& s = steady_keyspace(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) dict_cleanup_expired(s.ks);
    state.counters["keys"] = static_cast<double>(s.ks->key_count);
}
BENCHMARK(BM_SweepWithoutExpiringKeys)->Arg(1'000'000);

}  // namespace

BENCHMARK_MAIN();
