// scaling_bench.cpp — one table of per-operation costs for every family at 1,000,
// 100,000 and 1,000,000 elements (keys for strings, elements of one collection
// for the others). Each benchmark leaves its collection at its size, so a cost
// that grows with the size shows up as a row whose columns climb. Run with
// --benchmark_filter=Scaling; bench/scaling_table.sh prints the table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"

namespace {

// "<prefix><i>" with i in 10 digits, formatted on the stack.
struct Name {
    char text[24];
    size_t len;
    Name(std::string_view prefix, uint64_t i) {
        std::memcpy(text, prefix.data(), prefix.size());
        len = prefix.size() + 10;
        for (size_t k = len; k > prefix.size(); k--, i /= 10) text[k - 1] = static_cast<char>('0' + i % 10);
    }
    std::string_view view() const { return {text, len}; }
};

const std::string& value100() {
    static const std::string v(100, 'v');
    return v;
}

enum class Family { Strings, List, Hash, Set, Zset };

// One keyspace per family and size, filled once and shared by that family's rows.
Keyspace* filled(Family family, uint64_t n) {
    static std::map<std::pair<Family, uint64_t>, Keyspace*> cache;
    Keyspace*& ks = cache[{family, n}];
    if (ks != nullptr) return ks;
    ks = dict_create(0);
    dict_seed_random(ks, n);
    for (uint64_t i = 0; i < n; ++i) {
        const Name name(family == Family::Strings ? "key:" : "member:", i);
        switch (family) {
            case Family::Strings: dict_set_string(ks, name.view(), value100(), 0); break;
            case Family::List: dict_rpush(ks, "list", value100()); break;
            case Family::Hash: dict_hset(ks, "hash", name.view(), value100()); break;
            case Family::Set: dict_sadd(ks, "set", {name.view()}); break;
            case Family::Zset: {
                double added = 0;
                dict_zadd(ks, "zset", 0, static_cast<double>(i), name.view(), &added);
                break;
            }
        }
    }
    return ks;
}

uint64_t size_of(const benchmark::State& state) { return static_cast<uint64_t>(state.range(0)); }

void finish(benchmark::State& state) { state.SetItemsProcessed(state.iterations()); }

void BM_Scaling_Strings_Get(benchmark::State& state) {
    Keyspace* ks = filled(Family::Strings, size_of(state));
    std::string_view out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dict_get_string(ks, Name("key:", dict_random_below(ks, size_of(state))).view(), &out));
    }
    finish(state);
}

void BM_Scaling_Strings_SetOverwrite(benchmark::State& state) {
    Keyspace* ks = filled(Family::Strings, size_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            dict_set_string(ks, Name("key:", dict_random_below(ks, size_of(state))).view(), value100(), 0));
    }
    finish(state);
}

// DEL of a random key and SET of it again: removal and insertion.
void BM_Scaling_Keys_DelAndSet(benchmark::State& state) {
    Keyspace* ks = filled(Family::Strings, size_of(state));
    for (auto _ : state) {
        const Name key("key:", dict_random_below(ks, size_of(state)));
        dict_del(ks, key.view());
        benchmark::DoNotOptimize(dict_set_string(ks, key.view(), value100(), 0));
    }
    finish(state);
}

// EXPIRE then PERSIST of a random key: both keep the expiry index in step.
void BM_Scaling_Keys_ExpirePersist(benchmark::State& state) {
    Keyspace* ks = filled(Family::Strings, size_of(state));
    for (auto _ : state) {
        const Name key("key:", dict_random_below(ks, size_of(state)));
        dict_expire(ks, key.view(), 1000);
        benchmark::DoNotOptimize(dict_persist(ks, key.view()));
    }
    finish(state);
}

void BM_Scaling_List_LpushRpop(benchmark::State& state) {
    Keyspace* ks = filled(Family::List, size_of(state));
    for (auto _ : state) {
        dict_lpush(ks, "list", value100());
        PoppedElements popped;
        benchmark::DoNotOptimize(dict_rpop(ks, "list", &popped));
    }
    finish(state);
}

void BM_Scaling_List_LindexRandom(benchmark::State& state) {
    Keyspace* ks = filled(Family::List, size_of(state));
    std::string_view out;
    for (auto _ : state) {
        const int64_t index = static_cast<int64_t>(dict_random_below(ks, size_of(state)));
        benchmark::DoNotOptimize(dict_lindex(ks, "list", index, &out));
    }
    finish(state);
}

void BM_Scaling_Hash_Hget(benchmark::State& state) {
    Keyspace* ks = filled(Family::Hash, size_of(state));
    std::string_view out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            dict_hget(ks, "hash", Name("member:", dict_random_below(ks, size_of(state))).view(), &out));
    }
    finish(state);
}

void BM_Scaling_Hash_HsetOverwrite(benchmark::State& state) {
    Keyspace* ks = filled(Family::Hash, size_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            dict_hset(ks, "hash", Name("member:", dict_random_below(ks, size_of(state))).view(), value100()));
    }
    finish(state);
}

void BM_Scaling_Set_Sismember(benchmark::State& state) {
    Keyspace* ks = filled(Family::Set, size_of(state));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            dict_sismember(ks, "set", Name("member:", dict_random_below(ks, size_of(state))).view()));
    }
    finish(state);
}

// SREM of a random member and SADD of it again.
void BM_Scaling_Set_SremSadd(benchmark::State& state) {
    Keyspace* ks = filled(Family::Set, size_of(state));
    std::vector<std::string_view> one(1);
    for (auto _ : state) {
        const Name member("member:", dict_random_below(ks, size_of(state)));
        one[0] = member.view();
        dict_srem(ks, "set", one);
        benchmark::DoNotOptimize(dict_sadd(ks, "set", one));
    }
    finish(state);
}

void BM_Scaling_Zset_ZaddNewScore(benchmark::State& state) {
    Keyspace* ks = filled(Family::Zset, size_of(state));
    double added = 0;
    for (auto _ : state) {
        const Name member("member:", dict_random_below(ks, size_of(state)));
        const double score = static_cast<double>(dict_random_below(ks, size_of(state)));
        benchmark::DoNotOptimize(dict_zadd(ks, "zset", 0, score, member.view(), &added));
    }
    finish(state);
}

void BM_Scaling_Zset_Zrank(benchmark::State& state) {
    Keyspace* ks = filled(Family::Zset, size_of(state));
    int64_t rank = 0;
    for (auto _ : state) {
        const Name member("member:", dict_random_below(ks, size_of(state)));
        benchmark::DoNotOptimize(dict_zrank(ks, "zset", member.view(), false, &rank, nullptr));
    }
    finish(state);
}

#define SCALING(fn) BENCHMARK(fn)->Arg(1'000)->Arg(100'000)->Arg(1'000'000)->MinTime(0.2)

SCALING(BM_Scaling_Strings_Get);
SCALING(BM_Scaling_Strings_SetOverwrite);
SCALING(BM_Scaling_Keys_DelAndSet);
SCALING(BM_Scaling_Keys_ExpirePersist);
SCALING(BM_Scaling_List_LpushRpop);
SCALING(BM_Scaling_List_LindexRandom);
SCALING(BM_Scaling_Hash_Hget);
SCALING(BM_Scaling_Hash_HsetOverwrite);
SCALING(BM_Scaling_Set_Sismember);
SCALING(BM_Scaling_Set_SremSadd);
SCALING(BM_Scaling_Zset_ZaddNewScore);
SCALING(BM_Scaling_Zset_Zrank);

}  // namespace
