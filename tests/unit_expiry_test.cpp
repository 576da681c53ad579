// unit_expiry_test.cpp — key lifetimes (expire, persist, ttl rounding), the sweep
// through the expiry index, the memory limit and exact LRU eviction, including a
// randomized comparison against a full-scan victim search.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "unit_keyspace_support.h"

namespace {

using ks_test::counted;
using ks_test::FakeClock;
using ks_test::KeyspaceTest;
using ks_test::peek;
using ks_test::put_string;
using ks_test::string_key_charge;

constexpr uint64_t kMB = 1048576;

// ---- expire, persist, ttl ------------------------------------------------------

TEST_F(KeyspaceTest, TtlRoundsRemainingSecondsUp) {
    put_string(ks, "k", "v");
    EXPECT_EQ(dict_ttl(ks, "k").status, DictStatus::NotFound);
    EXPECT_EQ(dict_pttl(ks, "k").status, DictStatus::NotFound);

    ASSERT_EQ(dict_expire(ks, "k", 1), DictStatus::Ok);
    EXPECT_EQ(dict_ttl(ks, "k"), counted(1));
    EXPECT_EQ(dict_pttl(ks, "k"), counted(1000));

    const int64_t deadline = entry_deadline(ks, peek(ks, "k"));
    FakeClock::now = deadline - 1001;
    EXPECT_EQ(dict_ttl(ks, "k"), counted(2));
    EXPECT_EQ(dict_pttl(ks, "k"), counted(1001));
    FakeClock::now = deadline - 1000;
    EXPECT_EQ(dict_ttl(ks, "k"), counted(1));
    FakeClock::now = deadline - 1;
    EXPECT_EQ(dict_ttl(ks, "k"), counted(1));
    EXPECT_EQ(dict_pttl(ks, "k"), counted(1));

    // Deadline equal to now: already dead.
    FakeClock::now = deadline;
    EXPECT_EQ(dict_ttl(ks, "k").status, DictStatus::Missing);
    EXPECT_EQ(dict_exists(ks, "k"), DictStatus::Missing);
    EXPECT_EQ(ks->key_count, 0u);

    EXPECT_EQ(dict_ttl(ks, "missing").status, DictStatus::Missing);
    EXPECT_EQ(dict_pttl(ks, "missing").status, DictStatus::Missing);
    EXPECT_EQ(dict_ttl(nullptr, "k").status, DictStatus::Missing);
    EXPECT_EQ(dict_pttl(nullptr, "k").status, DictStatus::Missing);
}

TEST_F(KeyspaceTest, ExpireSetsOrClearsAndPersistReports) {
    put_string(ks, "k", "v");
    EXPECT_EQ(dict_expire_ms(ks, "missing", 100), DictStatus::Missing);
    EXPECT_EQ(dict_expire(ks, "missing", 1), DictStatus::Missing);
    EXPECT_EQ(dict_expire(nullptr, "k", 1), DictStatus::Missing);

    ASSERT_EQ(dict_expire_ms(ks, "k", 250), DictStatus::Ok);
    EXPECT_EQ(entry_deadline(ks, peek(ks, "k")), FakeClock::now + 250);
    ASSERT_EQ(dict_expire_ms(ks, "k", 0), DictStatus::Ok);  // a non-positive time makes it persistent
    EXPECT_EQ(dict_ttl(ks, "k").status, DictStatus::NotFound);
    dict_expire_ms(ks, "k", 250);
    ASSERT_EQ(dict_expire_ms(ks, "k", -5), DictStatus::Ok);
    EXPECT_EQ(dict_ttl(ks, "k").status, DictStatus::NotFound);

    EXPECT_EQ(dict_persist(ks, "k"), DictStatus::NotFound);
    dict_expire(ks, "k", 30);
    EXPECT_EQ(dict_persist(ks, "k"), DictStatus::Ok);
    EXPECT_EQ(dict_persist(ks, "k"), DictStatus::NotFound);
    EXPECT_EQ(dict_persist(ks, "missing"), DictStatus::Missing);
    EXPECT_EQ(dict_ttl(ks, "k").status, DictStatus::NotFound);

    ASSERT_EQ(dict_expire_at_ms(ks, "k", FakeClock::now + 7), DictStatus::Ok);
    EXPECT_EQ(dict_pttl(ks, "k"), counted(7));
    EXPECT_EQ(dict_expire_at_ms(ks, "missing", FakeClock::now + 7), DictStatus::Missing);
    ASSERT_EQ(dict_expire_at_ms(ks, "k", 0), DictStatus::Ok);
    EXPECT_EQ(dict_pttl(ks, "k").status, DictStatus::NotFound);

    // A relative time past the end of the clock still leaves a live key.
    ASSERT_EQ(dict_expire_ms(ks, "k", INT64_MAX), DictStatus::Ok);
    EXPECT_TRUE(dict_pttl(ks, "k").ok());
    EXPECT_GT(dict_pttl(ks, "k").value, 0);
    ks_test::expect_table_consistent(ks);
}

// ---- the sweep -----------------------------------------------------------------

TEST_F(KeyspaceTest, SweepRemovesExactlyTheDeadKeys) {
    for (int i = 0; i < 20; i++) put_string(ks, "k" + std::to_string(i), "value");
    for (int i = 0; i < 10; i++) dict_expire_ms(ks, "k" + std::to_string(i), 10 * (i + 1));
    const uint64_t per_key = string_key_charge(2, 5) + CHARGE_EXPIRY_NODE;
    const uint64_t full = ks->used_memory;

    FakeClock::now += 30;  // k0 (10), k1 (20) and k2 (30, deadline == now) are dead
    dict_cleanup_expired(ks);
    EXPECT_EQ(ks->key_count, 17u);
    EXPECT_EQ(ks->used_memory, full - 3 * per_key);
    for (int i = 0; i < 3; i++) EXPECT_EQ(peek(ks, "k" + std::to_string(i)), nullptr) << i;
    for (int i = 3; i < 20; i++) EXPECT_NE(peek(ks, "k" + std::to_string(i)), nullptr) << i;
    EXPECT_EQ(ks->expiry_index.size(), 7u);

    FakeClock::now += 1000;
    dict_cleanup_expired(ks);
    EXPECT_EQ(ks->key_count, 10u);
    EXPECT_TRUE(ks->expiry_index.empty());
    ks_test::expect_table_consistent(ks);

    dict_cleanup_expired(nullptr);
    dict_flush(ks);
    dict_cleanup_expired(ks);
    EXPECT_EQ(ks->key_count, 0u);
}

TEST_F(KeyspaceTest, ExpiryIndexFollowsEveryChange) {
    for (int i = 0; i < 50; i++) put_string(ks, "k" + std::to_string(i), "v");
    for (int i = 0; i < 50; i += 2) dict_expire_ms(ks, "k" + std::to_string(i), 100 + i);
    EXPECT_EQ(ks->expiry_index.size(), 25u);
    dict_expire_ms(ks, "k0", 5000);  // moved, not duplicated
    dict_persist(ks, "k2");
    dict_del(ks, "k4");
    entry_unlink(ks, peek(ks, "k6"));
    dict_expire_ms(ks, "k8", 0);
    EXPECT_EQ(ks->expiry_index.size(), 21u);
    ks_test::expect_table_consistent(ks);

    FakeClock::now += 110;  // k10 (110) dies on lookup
    EXPECT_EQ(dict_exists(ks, "k10"), DictStatus::Missing);
    EXPECT_EQ(ks->expiry_index.size(), 20u);
    ks_test::expect_table_consistent(ks);

    // Growth relinks every entry; the index still names the same live entries.
    for (int i = 0; ks->bucket_count == 1024; i++) put_string(ks, "grow" + std::to_string(i), "v");
    ks_test::expect_table_consistent(ks);
    FakeClock::now += 10000;
    dict_cleanup_expired(ks);
    EXPECT_TRUE(ks->expiry_index.empty());
    EXPECT_EQ(dict_exists(ks, "k1"), DictStatus::Ok);
    EXPECT_EQ(dict_exists(ks, "k0"), DictStatus::Missing);
}

TEST_F(KeyspaceTest, SweepOfKeysWithoutExpiryLeavesThemAlone) {
    for (int i = 0; i < 3000; i++) put_string(ks, "k" + std::to_string(i), "v");
    EXPECT_TRUE(ks->expiry_index.empty());
    const uint64_t changes = ks->change_count;
    FakeClock::now += 1'000'000;
    dict_cleanup_expired(ks);
    EXPECT_EQ(ks->key_count, 3000u);
    EXPECT_EQ(ks->change_count, changes);
}

// A held reading stands for "now" until it is released; a test clock still wins.
TEST_F(KeyspaceTest, HeldClockDecidesExpiryUntilReleased) {
    dict_hold_clock(ks, FakeClock::now + 5'000);
    EXPECT_EQ(dict_now_ms(ks), FakeClock::now);

    dict_set_clock(ks, nullptr);
    const int64_t held = 1'000'000;  // long past: every real deadline is later
    dict_hold_clock(ks, held);
    EXPECT_EQ(dict_now_ms(ks), held);
    put_string(ks, "k", "v");
    ASSERT_EQ(dict_expire_at_ms(ks, "k", held + 10), DictStatus::Ok);
    EXPECT_NE(dict_find_entry(ks, "k"), nullptr);  // alive at the held time

    dict_hold_clock(ks, 0);
    EXPECT_GT(dict_now_ms(ks), held);
    EXPECT_EQ(dict_find_entry(ks, "k"), nullptr);  // dead by the real clock
    dict_set_clock(ks, &FakeClock::read);
}

// ---- the memory limit and eviction -----------------------------------------------

TEST_F(KeyspaceTest, EvictsTheLeastRecentlyUsedFirst) {
    dict_set_max_memory(ks, 1);
    const std::string big(400000, 'x');
    put_string(ks, "a", big);
    FakeClock::now += 1;
    put_string(ks, "b", big);
    FakeClock::now += 1;
    put_string(ks, "c", big);
    ASSERT_GT(ks->used_memory, kMB);
    dict_evict_lru(ks);
    EXPECT_EQ(peek(ks, "a"), nullptr);
    EXPECT_NE(peek(ks, "b"), nullptr);
    EXPECT_NE(peek(ks, "c"), nullptr);
    EXPECT_LE(ks->used_memory, kMB);
    ks_test::expect_table_consistent(ks);
}

TEST_F(KeyspaceTest, ReadingAKeyMovesItToTheBackOfTheOrder) {
    dict_set_max_memory(ks, 1);
    const std::string big(400000, 'x');
    put_string(ks, "a", big);
    FakeClock::now += 1;
    put_string(ks, "b", big);
    FakeClock::now += 1;
    EXPECT_EQ(dict_last_accessed_ms(ks, "a"), counted(FakeClock::now));
    FakeClock::now += 1;
    put_string(ks, "c", big);
    dict_evict_lru(ks);
    EXPECT_NE(peek(ks, "a"), nullptr);
    EXPECT_EQ(peek(ks, "b"), nullptr);
    EXPECT_NE(peek(ks, "c"), nullptr);
    EXPECT_EQ(dict_last_accessed_ms(ks, "b"), (DictCount{DictStatus::Missing, 0}));
}

TEST_F(KeyspaceTest, EqualStampsGoByBucketThenChainPosition) {
    dict_set_max_memory(ks, 1);
    const std::string big(350000, 'x');
    // Different buckets: the lower bucket goes first although written last.
    const std::string high = ks_test::keys_in_bucket(900, 1024, 1)[0];
    const std::string mid = ks_test::keys_in_bucket(500, 1024, 1)[0];
    const std::string low = ks_test::keys_in_bucket(3, 1024, 1)[0];
    put_string(ks, high, big);
    put_string(ks, mid, big);
    put_string(ks, low, big);
    dict_evict_lru(ks);
    EXPECT_EQ(peek(ks, low), nullptr);
    EXPECT_NE(peek(ks, mid), nullptr);
    EXPECT_NE(peek(ks, high), nullptr);

    // One bucket: the chain head (the newest) goes first.
    dict_flush(ks);
    const auto same = ks_test::keys_in_bucket(77, 1024, 3);
    for (const auto& k : same) put_string(ks, k, big);
    dict_evict_lru(ks);
    EXPECT_NE(peek(ks, same[0]), nullptr);
    EXPECT_NE(peek(ks, same[1]), nullptr);
    EXPECT_EQ(peek(ks, same[2]), nullptr);
}

TEST_F(KeyspaceTest, NoLimitNeverEvicts) {
    const std::string big(600000, 'x');
    for (int limit : {0, -1, -1000}) {
        dict_set_max_memory(ks, limit);
        EXPECT_EQ(dict_maxmemory_mb(ks), 0);
        EXPECT_EQ(ks->lru_index, nullptr);
        for (int i = 0; i < 5; i++) put_string(ks, "k" + std::to_string(i), big);
        dict_evict_lru(ks);
        EXPECT_EQ(ks->key_count, 5u) << limit;
    }
}

TEST_F(KeyspaceTest, LimitTakesEffectAtTheNextEviction) {
    const std::string big(300000, 'x');
    for (int i = 0; i < 8; i++) {
        put_string(ks, "k" + std::to_string(i), big);
        FakeClock::now += 1;
    }
    dict_set_max_memory(ks, 1);
    EXPECT_EQ(dict_maxmemory_mb(ks), 1);
    EXPECT_EQ(ks->key_count, 8u);  // setting the limit evicts nothing by itself
    ks_test::expect_table_consistent(ks);
    dict_evict_lru(ks);
    EXPECT_LE(ks->used_memory, kMB);
    EXPECT_EQ(ks->key_count, 3u);
    for (int i = 5; i < 8; i++) EXPECT_NE(peek(ks, "k" + std::to_string(i)), nullptr) << i;

    dict_set_max_memory(ks, 0);
    EXPECT_EQ(ks->lru_index, nullptr);
    put_string(ks, "more", big);
    dict_evict_lru(ks);
    EXPECT_EQ(ks->key_count, 4u);
}

TEST_F(KeyspaceTest, OneKeyLargerThanTheLimitEmptiesTheKeyspace) {
    dict_set_max_memory(ks, 1);
    put_string(ks, "small", "v");
    FakeClock::now += 1;
    put_string(ks, "huge", std::string(2 * kMB, 'x'));
    dict_evict_lru(ks);
    EXPECT_EQ(ks->key_count, 0u);
    EXPECT_EQ(ks->used_memory, CHARGE_FRESH_KEYSPACE);
}

TEST_F(KeyspaceTest, KeysStampedWithTheLargestTimeAreNeverChosen) {
    dict_set_max_memory(ks, 1);
    FakeClock::now = INT64_MAX;
    put_string(ks, "end-of-time", std::string(2 * kMB, 'x'));
    dict_evict_lru(ks);
    EXPECT_EQ(ks->key_count, 1u);
    EXPECT_EQ(ks_test::scan_victim(ks), nullptr);
}

// ---- randomized comparison with a full-scan victim search ---------------------------

// The keys that repeated full scans would evict, in order, given the current table.
std::vector<std::string> scan_evictions(const Keyspace* ks) {
    std::vector<std::string> victims;
    if (ks->max_memory_mb <= 0 || ks->key_count == 0) return victims;
    const uint64_t limit = static_cast<uint64_t>(ks->max_memory_mb) << 20;
    uint64_t used = ks->used_memory;
    std::vector<const Entry*> gone;
    while (used > limit && gone.size() < ks->key_count) {
        const Entry* best = nullptr;
        int64_t best_stamp = INT64_MAX;
        for (uint64_t i = 0; i < ks->bucket_count; i++)
            for (const Entry* e = ks->buckets[i]; e; e = e->next)
                if (e->last_access_ms < best_stamp && std::find(gone.begin(), gone.end(), e) == gone.end()) {
                    best = e;
                    best_stamp = e->last_access_ms;
                }
        if (!best) break;
        gone.push_back(best);
        victims.emplace_back(entry_key(best));
        const uint64_t charge = ks_test::held_by_key(ks, best);
        used = charge > used ? 0 : used - charge;
    }
    return victims;
}

TEST_F(KeyspaceTest, EvictionAgreesWithAFullScanUnderRandomOperations) {
    std::mt19937_64 rng(20240611);
    auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
    auto name = [&]() { return "r" + std::to_string(pick(9000)); };
    uint64_t evictions = 0;
    uint64_t max_buckets = 0;
    dict_set_max_memory(ks, 1);

    for (int op = 0; op < 24000; op++) {
        if (pick(8) == 0) FakeClock::now += static_cast<int64_t>(pick(20));  // stamps often tie
        switch (pick(20)) {
            case 0:
            case 1:
            case 2:
            case 3:
            case 4:
            case 5:
            case 6:
            case 7: {
                put_string(ks, name(), std::string(pick(200), 'v'));
                const std::vector<std::string> expected = scan_evictions(ks);
                const uint64_t before = ks->key_count;
                dict_evict_lru(ks);
                ASSERT_EQ(ks->key_count, before - expected.size()) << "op " << op;
                for (const auto& k : expected) ASSERT_EQ(peek(ks, k), nullptr) << "op " << op << " " << k;
                evictions += expected.size();
                break;
            }
            case 8:
            case 9:
            case 10:
            case 11: dict_find_entry(ks, name()); break;
            case 12: dict_del(ks, name()); break;
            case 13: dict_expire_ms(ks, name(), static_cast<int64_t>(pick(60))); break;
            case 14: dict_persist(ks, name()); break;
            case 15: dict_cleanup_expired(ks); break;
            case 16: {
                Entry* e = peek(ks, name());
                if (e) entry_unlink(ks, e);
                break;
            }
            case 17: dict_ttl(ks, name()); break;
            case 18:
                if (pick(40) == 0) dict_set_max_memory(ks, static_cast<int32_t>(pick(4)) - 1);
                break;
            default: dict_exists(ks, name()); break;
        }
        max_buckets = std::max(max_buckets, ks->bucket_count);
        if (ks->lru_index && !ks->lru_index->empty() && op % 5 == 0) {
            ASSERT_EQ(ks->lru_index->begin()->entry, ks_test::scan_victim(ks)) << "op " << op;
        }
        if (op % 500 == 0) {
            ks_test::expect_table_consistent(ks);
            if (HasFailure()) return;
        }
    }
    ks_test::expect_table_consistent(ks);
    // The run must have exercised what it claims to: evictions and growth.
    EXPECT_GT(evictions, 1000u);
    EXPECT_GE(max_buckets, 4096u);
}

}  // namespace
