// unit_hashes_test.cpp — hash values in the keyspace: pair order through
// overwrites and deletions, the empty string as field and value, exact memory
// charges, a large hash checked against a plain reference through heavy churn,
// the two increments, position-cursor scans, other types, copies and eviction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_support.h"
#include "unit_memory_reference.h"

namespace {

using ks_test::counted;
using ks_test::string_key_charge;
using Pairs = std::vector<std::pair<std::string, std::string>>;

using ks_test::held_by_key;
using ks_test::held_memory;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;

// A hash as a plain list of pairs with linear search.
struct RefHash {
    Pairs pairs;

    int set(const std::string& f, const std::string& v) {
        for (auto& p : pairs)
            if (p.first == f) {
                p.second = v;
                return 0;
            }
        pairs.emplace_back(f, v);
        return 1;
    }
    bool del(const std::string& f) {
        for (size_t i = 0; i < pairs.size(); i++)
            if (pairs[i].first == f) {
                pairs.erase(pairs.begin() + static_cast<long>(i));
                return true;
            }
        return false;
    }
};

class HashesTest : public ks_test::KeyspaceTest {
protected:
    Pairs all(std::string_view key) {
        std::vector<std::string_view> out;
        dict_hgetall(ks, key, &out);
        Pairs pairs;
        for (size_t i = 0; i + 1 < out.size(); i += 2) pairs.emplace_back(out[i], out[i + 1]);
        return pairs;
    }
    // Every pair by HSCAN pages of the given size, sorted (a scan returns the
    // table's order; on an unchanged hash each pair comes exactly once).
    Pairs scan_all(std::string_view key, int64_t count) {
        Pairs pairs;
        uint64_t cursor = 0;
        do {
            std::vector<std::string_view> out;
            EXPECT_EQ(dict_hscan(ks, key, &cursor, count, &out), DictStatus::Ok);
            for (size_t i = 0; i + 1 < out.size(); i += 2) pairs.emplace_back(out[i], out[i + 1]);
        } while (cursor != 0 && pairs.size() < 10'000'000);
        std::sort(pairs.begin(), pairs.end());
        return pairs;
    }
    std::string get(std::string_view key, std::string_view field) {
        std::string_view v;
        return dict_hget(ks, key, field, &v) == DictStatus::Ok ? std::string(v) : std::string("<missing>");
    }
};

}  // namespace

TEST_F(HashesTest, PairsKeepInsertionOrderThroughOverwritesAndDeletes) {
    EXPECT_EQ(dict_hset(ks, "h", "f1", "a"), counted(1));
    EXPECT_EQ(dict_hset(ks, "h", "f2", "b"), counted(1));
    EXPECT_EQ(dict_hset(ks, "h", "f3", "c"), counted(1));
    EXPECT_EQ(dict_hset(ks, "h", "f1", "A"), counted(0));
    EXPECT_EQ(all("h"), (Pairs{{"f1", "A"}, {"f2", "b"}, {"f3", "c"}}));
    const std::vector<std::string_view> f2{"f2", "f2", "nope"};
    EXPECT_EQ(dict_hdel(ks, "h", f2), counted(1)) << "a name given twice is removed once";
    EXPECT_EQ(all("h"), (Pairs{{"f1", "A"}, {"f3", "c"}}));
    EXPECT_EQ(dict_hset(ks, "h", "f2", "again"), counted(1));
    EXPECT_EQ(all("h"), (Pairs{{"f1", "A"}, {"f3", "c"}, {"f2", "again"}}));
    std::vector<std::string_view> keys, vals;
    EXPECT_EQ(dict_hkeys(ks, "h", &keys), counted(3));
    EXPECT_EQ(dict_hvals(ks, "h", &vals), counted(3));
    EXPECT_EQ(keys, (std::vector<std::string_view>{"f1", "f3", "f2"}));
    EXPECT_EQ(vals, (std::vector<std::string_view>{"A", "c", "again"}));
    EXPECT_EQ(dict_hdel(ks, "h", {"f1", "f3", "f2"}), counted(3));
    EXPECT_EQ(dict_exists(ks, "h"), DictStatus::Missing) << "the last deletion removes the key";
    EXPECT_EQ(ks->used_memory, kBase);
    EXPECT_EQ(dict_hlen(ks, "h").status, DictStatus::Missing);
    EXPECT_EQ(dict_hdel(ks, "h", {"f1"}).value, 0);
}

TEST_F(HashesTest, EmptyFieldAndValueAreStoredFoundAndRemoved) {
    EXPECT_EQ(dict_hset(ks, "h", "", "v"), counted(1));
    EXPECT_EQ(dict_hset(ks, "h", "", "w"), counted(0)) << "the empty field is found again";
    EXPECT_EQ(dict_hset(ks, "h", "e", ""), counted(1));
    EXPECT_EQ(dict_hlen(ks, "h"), counted(2));
    EXPECT_EQ(get("h", ""), "w");
    std::string_view v = "sentinel";
    EXPECT_EQ(dict_hget(ks, "h", "e", &v), DictStatus::Ok) << "an empty value is found";
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(dict_hexists(ks, "h", ""), DictStatus::Ok);
    EXPECT_EQ(dict_hstrlen(ks, "h", "e"), counted(0));
    EXPECT_EQ(all("h"), (Pairs{{"", "w"}, {"e", ""}}));
    EXPECT_EQ(dict_hdel(ks, "h", {""}), counted(1));
    EXPECT_EQ(dict_hexists(ks, "h", ""), DictStatus::Missing);
    EXPECT_EQ(all("h"), (Pairs{{"e", ""}}));
}

TEST_F(HashesTest, ChargesFollowWhatTheStoreHolds) {
    ASSERT_EQ(dict_hset(ks, "hk", "f", "vv"), counted(1));
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    for (int i = 2; i <= 4; i++) dict_hset(ks, "hk", "f" + std::to_string(i), "x");
    const uint64_t four = ks->used_memory;
    const std::string long_value(40, 'v');
    dict_hset(ks, "hk", "f4", long_value);
    EXPECT_EQ(ks->used_memory, four + dict_alloc_size(long_value.size() + 1))
        << "an overwrite with a long value charges the value's own block";
    dict_hset(ks, "hk", "f4", "x");
    EXPECT_EQ(ks->used_memory, four + dict_alloc_size(long_value.size() + 1))
        << "a shorter value keeps the string's block, and its charge";
    for (int i = 5; i <= 30; i++) dict_hset(ks, "hk", "f" + std::to_string(i), "x");
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "past the flat store: slots and lookup table";
    std::vector<std::string> names;
    for (int i = 3; i <= 30; i++) names.push_back("f" + std::to_string(i));
    EXPECT_EQ(dict_hdel(ks, "hk", std::vector<std::string_view>(names.begin(), names.end())), counted(28));
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "compaction back to a flat store gives the table back";
    dict_set_string(ks, "hk", "s", 0);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(2, 1)) << "a string write releases every hash charge";
}

TEST_F(HashesTest, LargeHashMatchesAReferenceThroughChurn) {
    std::mt19937 rng(12345);
    RefHash ref;
    std::vector<std::string> names;
    for (int i = 0; i < 6000; i++) names.push_back("field:" + std::to_string(i * 7919 % 10007));
    names.push_back("");
    for (int round = 0; round < 6; round++) {
        for (int op = 0; op < 6000; op++) {
            const std::string& f = names[rng() % names.size()];
            const int kind = static_cast<int>(rng() % 10);
            if (kind < (round % 2 ? 3 : 7)) {
                const std::string v = std::to_string(rng() % 1000);
                ASSERT_EQ(dict_hset(ks, "big", f, v), counted(ref.set(f, v))) << f;
            } else {
                ASSERT_EQ(dict_hdel(ks, "big", {f}).value, ref.del(f) ? 1 : 0) << f;
            }
        }
        ASSERT_EQ(dict_hlen(ks, "big").value, static_cast<int64_t>(ref.pairs.size()));
        EXPECT_EQ(all("big"), ref.pairs) << "round " << round;
        Pairs sorted = ref.pairs;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(scan_all("big", 97), sorted) << "round " << round;
        EXPECT_EQ(ks->used_memory, held_memory(ks)) << "round " << round;
        for (const auto& [f, v] : ref.pairs) ASSERT_EQ(get("big", f), v);
    }
    std::vector<std::string_view> every;
    for (const auto& p : ref.pairs) every.push_back(p.first);
    EXPECT_EQ(dict_hdel(ks, "big", every).value, static_cast<int64_t>(ref.pairs.size()));
    EXPECT_EQ(dict_exists(ks, "big"), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);
}

TEST_F(HashesTest, IntegerIncrementReadsAPrefixAndRefusesOverflow) {
    int64_t out = 0;
    EXPECT_EQ(dict_hincrby(ks, "h", "n", 5, &out), DictStatus::Ok);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(get("h", "n"), "5");
    dict_hset(ks, "h", "p", "12abc");
    EXPECT_EQ(dict_hincrby(ks, "h", "p", 1, &out), DictStatus::Ok);
    EXPECT_EQ(get("h", "p"), "13");
    dict_hset(ks, "h", "a", "abc");
    EXPECT_EQ(dict_hincrby(ks, "h", "a", -7, &out), DictStatus::Ok);
    EXPECT_EQ(get("h", "a"), "-7");
    dict_hset(ks, "h", "s", " -20x");
    EXPECT_EQ(dict_hincrby(ks, "h", "s", 1, &out), DictStatus::Ok);
    EXPECT_EQ(out, -19);

    dict_hset(ks, "h", "max", "9223372036854775807");
    EXPECT_EQ(dict_hincrby(ks, "h", "max", 1, &out), DictStatus::Overflow);
    EXPECT_EQ(get("h", "max"), "9223372036854775807") << "an overflow changes nothing";
    dict_hset(ks, "h", "huge", "99999999999999999999");
    EXPECT_EQ(dict_hincrby(ks, "h", "huge", 1, &out), DictStatus::Overflow) << "a value beyond the range reads as the limit";
    EXPECT_EQ(dict_hincrby(ks, "h", "huge", -1, &out), DictStatus::Ok);
    EXPECT_EQ(out, INT64_MAX - 1);
    EXPECT_EQ(dict_hincrby(ks, "h", "min", INT64_MIN, &out), DictStatus::Ok);
    EXPECT_EQ(dict_hincrby(ks, "h", "min", -1, &out), DictStatus::Overflow);
    EXPECT_EQ(get("h", "min"), "-9223372036854775808");
}

TEST_F(HashesTest, FloatIncrementKeepsSeventeenDigitsAndRefusesInfinity) {
    double out = 0;
    dict_hset(ks, "h", "f", "0.2");
    EXPECT_EQ(dict_hincrbyfloat(ks, "h", "f", 0.1, &out), DictStatus::Ok);
    EXPECT_EQ(get("h", "f"), "0.30000000000000004");
    dict_hset(ks, "h", "big", "1e308");
    EXPECT_EQ(dict_hincrbyfloat(ks, "h", "big", 1e308, &out), DictStatus::Overflow);
    EXPECT_TRUE(std::isinf(out));
    EXPECT_EQ(get("h", "big"), "1e308");
    dict_hset(ks, "h", "pre", "2.5kg");
    EXPECT_EQ(dict_hincrbyfloat(ks, "h", "pre", 1, &out), DictStatus::Ok);
    EXPECT_EQ(get("h", "pre"), "3.5");
    EXPECT_EQ(dict_hincrbyfloat(ks, "new", "x", -1.25, &out), DictStatus::Ok);
    EXPECT_EQ(get("new", "x"), "-1.25");
}

TEST_F(HashesTest, ScanOfASmallHashIsOnePage) {
    for (int i = 0; i < 5; i++) dict_hset(ks, "h", "f" + std::to_string(i), std::to_string(i));
    uint64_t cursor = 0;
    std::vector<std::string_view> out;
    EXPECT_EQ(dict_hscan(ks, "h", &cursor, 2, &out), DictStatus::Ok);
    EXPECT_EQ(cursor, 0u);
    EXPECT_EQ(out.size(), 10u);
    cursor = 4;
    EXPECT_EQ(dict_hscan(ks, "missing", &cursor, 10, &out), DictStatus::Ok);
    EXPECT_EQ(cursor, 0u);
    EXPECT_TRUE(out.empty());
}

TEST_F(HashesTest, OtherTypesAreRefused) {
    dict_set_string(ks, "s", "text", 0);
    const uint64_t before = ks->used_memory;
    std::string_view v;
    std::vector<std::string_view> out;
    int64_t n = 0;
    double d = 0;
    uint64_t cursor = 0;
    EXPECT_EQ(dict_hset(ks, "s", "f", "v").status, DictStatus::WrongType);
    EXPECT_EQ(dict_hget(ks, "s", "f", &v), DictStatus::WrongType);
    EXPECT_EQ(dict_hdel(ks, "s", {"f"}).status, DictStatus::WrongType);
    EXPECT_EQ(dict_hlen(ks, "s").status, DictStatus::WrongType);
    EXPECT_EQ(dict_hexists(ks, "s", "f"), DictStatus::WrongType);
    EXPECT_EQ(dict_hstrlen(ks, "s", "f").status, DictStatus::WrongType);
    EXPECT_EQ(dict_hgetall(ks, "s", &out).status, DictStatus::WrongType);
    EXPECT_EQ(dict_hkeys(ks, "s", &out).status, DictStatus::WrongType);
    EXPECT_EQ(dict_hvals(ks, "s", &out).status, DictStatus::WrongType);
    EXPECT_EQ(dict_hincrby(ks, "s", "f", 1, &n), DictStatus::WrongType);
    EXPECT_EQ(dict_hincrbyfloat(ks, "s", "f", 1, &d), DictStatus::WrongType);
    EXPECT_EQ(dict_hscan(ks, "s", &cursor, 10, &out), DictStatus::WrongType);
    EXPECT_EQ(ks->used_memory, before);
    EXPECT_STREQ(dict_type_name(ks, "s"), "string");
}

TEST_F(HashesTest, CopyIsIndependentAndChargedByCount) {
    for (int i = 0; i < 5; i++) dict_hset(ks, "src", "f" + std::to_string(i), "v");
    dict_hdel(ks, "src", {"f1"});
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, before + held_by_key(ks, "dst"));
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    EXPECT_EQ(all("dst"), all("src"));
    dict_hset(ks, "dst", "f0", "changed");
    EXPECT_EQ(get("src", "f0"), "v");
    EXPECT_EQ(dict_key_count(ks, "dst"), 4);
    dict_hset(ks, "dst", "f9", "v");
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "the copy's exact array grows on the next field";
}

TEST_F(HashesTest, NewFieldsRunEviction) {
    dict_set_max_memory(ks, 1);
    const std::string chunk(100'000, 'x');
    for (int i = 0; i < 15; i++) {
        ks_test::FakeClock::now++;
        dict_hset(ks, "h" + std::to_string(i), "f", chunk);
    }
    EXPECT_LE(ks->used_memory, uint64_t(1) << 20);
    EXPECT_EQ(dict_exists(ks, "h0"), DictStatus::Missing) << "the least recently used hash went first";
    EXPECT_EQ(dict_exists(ks, "h14"), DictStatus::Ok);

    // A short new field that fits in room the store already holds charges
    // nothing, yet it still runs eviction (here, under a limit just lowered).
    ASSERT_EQ(dict_hset(ks, "h14", "g", "y"), counted(1));
    ASSERT_EQ(dict_hset(ks, "h14", "h", "y"), counted(1));  // three fields in room for four
    ks_test::FakeClock::now++;
    dict_set_max_memory_bytes(ks, ks->used_memory - 1);
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_hset(ks, "h14", "i", "z"), counted(1));
    EXPECT_LE(ks->used_memory, before) << "the field fit in the store's room";
    EXPECT_LT(ks->used_memory, before - 1) << "eviction ran";
    EXPECT_EQ(dict_exists(ks, "h14"), DictStatus::Ok) << "the hash just written is the most recently used";
}
