// unit_keys_test.cpp — key-level operations of the keyspace: the glob matcher,
// listing, cursor scans (the reverse-binary cursor, and pages that never skip a
// key across deletes, inserts, expiry and growth), random picks, rename and copy
// with their charges and indexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "keyspace/scan_cursor.h"
#include "unit_keyspace_support.h"

namespace {

using ks_test::counted;
using ks_test::expect_table_consistent;
using ks_test::FakeClock;
using ks_test::keys_in_bucket;
using ks_test::peek;
using ks_test::string_key_charge;
using ks_test::table_order;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;

// Plain recursive glob: '*' any run, '?' one byte, everything else literal.
bool ref_glob(std::string_view p, std::string_view t) {
    if (p.empty()) return t.empty();
    if (p[0] == '*') {
        for (size_t i = 0; i <= t.size(); i++)
            if (ref_glob(p.substr(1), t.substr(i))) return true;
        return false;
    }
    if (t.empty()) return false;
    if (p[0] != '?' && p[0] != t[0]) return false;
    return ref_glob(p.substr(1), t.substr(1));
}

std::vector<std::string> to_strings(const std::vector<std::string_view>& views) {
    return std::vector<std::string>(views.begin(), views.end());
}

class KeysTest : public ks_test::KeyspaceTest {
protected:
    void put(std::string_view key, std::string_view value = "v", int64_t deadline = 0) {
        ASSERT_EQ(dict_set_string(ks, key, value, deadline), DictStatus::Ok);
    }
    std::vector<std::string> keys(std::string_view pattern) {
        std::vector<std::string_view> out;
        dict_keys(ks, pattern, &out);
        return to_strings(out);
    }
    std::vector<std::string> scan(uint64_t* cursor, std::string_view pattern, int64_t count,
                                  uint32_t type = KEY_TYPE_NONE) {
        std::vector<std::string_view> out;
        EXPECT_EQ(dict_scan(ks, cursor, pattern, count, &out, type), DictStatus::Ok);
        return to_strings(out);
    }
    std::string value_of(std::string_view key) { return std::string(entry_str(peek(ks, key))); }
};

TEST(Glob, OnlyStarAndQuestionMarkAreSpecial) {
    EXPECT_TRUE(dict_glob_match("h?llo", "hello"));
    EXPECT_TRUE(dict_glob_match("h?llo", "hallo"));
    EXPECT_FALSE(dict_glob_match("h?llo", "hllo"));
    EXPECT_TRUE(dict_glob_match("h*llo", "hllo"));
    EXPECT_TRUE(dict_glob_match("h*llo", "heeeello"));
    EXPECT_FALSE(dict_glob_match("h*llo", "hello!"));
    EXPECT_TRUE(dict_glob_match("h[ae]llo", "h[ae]llo"));
    EXPECT_FALSE(dict_glob_match("h[ae]llo", "hello"));
    EXPECT_FALSE(dict_glob_match("h[ae]llo", "hallo"));
    EXPECT_TRUE(dict_glob_match("a\\*", "a\\bc"));
    EXPECT_FALSE(dict_glob_match("a\\*", "a*"));
    EXPECT_TRUE(dict_glob_match("[^a-z]", "[^a-z]"));
    EXPECT_FALSE(dict_glob_match("[^a-z]", "A"));

    EXPECT_TRUE(dict_glob_match("a*", "a"));
    EXPECT_TRUE(dict_glob_match("a*", "a1"));
    EXPECT_FALSE(dict_glob_match("a*", "A1"));
    EXPECT_FALSE(dict_glob_match("a*", "ba"));

    EXPECT_TRUE(dict_glob_match("", ""));
    EXPECT_FALSE(dict_glob_match("", "a"));
    EXPECT_TRUE(dict_glob_match("*", ""));
    EXPECT_TRUE(dict_glob_match("***", "anything at all"));
    EXPECT_FALSE(dict_glob_match("?", ""));
    EXPECT_TRUE(dict_glob_match("??", std::string_view("\0\xff", 2)));
    EXPECT_TRUE(dict_glob_match(std::string_view("a\0*", 3), std::string_view("a\0zz", 4)));
    EXPECT_FALSE(dict_glob_match(std::string_view("a\0*", 3), "a"));
    EXPECT_TRUE(dict_glob_match("*b*b", "abcbb"));
    EXPECT_FALSE(dict_glob_match("*b*b", "abcba"));
    EXPECT_TRUE(dict_glob_match("a*?", "ab"));
    EXPECT_FALSE(dict_glob_match("a*?", "a"));
}

TEST(Glob, AgreesWithTheRecursiveDefinition) {
    std::mt19937 rng(7);
    const char pattern_bytes[] = "ab*?";
    const char text_bytes[] = "abc";
    for (int i = 0; i < 20000; i++) {
        std::string p, t;
        const int plen = static_cast<int>(rng() % 8);
        const int tlen = static_cast<int>(rng() % 9);
        for (int j = 0; j < plen; j++) p += pattern_bytes[rng() % 4];
        for (int j = 0; j < tlen; j++) t += text_bytes[rng() % 3];
        ASSERT_EQ(dict_glob_match(p, t), ref_glob(p, t)) << "pattern '" << p << "' text '" << t << "'";
    }
}

TEST(Glob, PathologicalPatternsFinishFast) {
    // Linear in text x pattern: these end at once. A matcher that tries every
    // split would not end, and the test's time-out reports it.
    const std::string text(200000, 'a');
    EXPECT_FALSE(dict_glob_match("*a*a*a*a*a*a*a*a*a*a*a*b", text));
    EXPECT_TRUE(dict_glob_match("*a*a*a*a*a*a*a*a*a*a*a*a", text));
    EXPECT_FALSE(dict_glob_match("*?*?*?*?*?*?*?*?*?*?*?*b", text));
}

TEST_F(KeysTest, KeysListsMatchesInTableOrderWithoutDeadKeys) {
    for (const char* k : {"alpha", "a1", "A1", "ba", "beta", "gamma", "a"}) put(k);
    put("adead", "v", FakeClock::now + 10);
    FakeClock::now += 10;

    // Listing first sweeps the dead key out of the table.
    const std::vector<std::string> all = keys("*");
    EXPECT_EQ(peek(ks, "adead"), nullptr);
    EXPECT_EQ(ks->key_count, 7u);
    EXPECT_EQ(all, table_order(ks));
    EXPECT_EQ(keys(""), all);

    std::vector<std::string> expect_a;
    for (const std::string& k : table_order(ks))
        if (k[0] == 'a') expect_a.push_back(k);
    EXPECT_EQ(keys("a*"), expect_a);
    EXPECT_EQ(expect_a.size(), 3u);
    EXPECT_EQ(keys("?1").size(), 2u);
    EXPECT_TRUE(keys("zzz*").empty());

    // The views point at the keys' own bytes.
    std::vector<std::string_view> views;
    dict_keys(ks, "gamma", &views);
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].data(), entry_key(peek(ks, "gamma")).data());

    dict_keys(nullptr, "*", &views);
    EXPECT_TRUE(views.empty());
}

TEST(ScanCursor, VisitsEveryBucketOnceInReverseBinaryOrder) {
    std::vector<uint64_t> order;
    uint64_t cursor = 0;
    do {
        order.push_back(cursor);
        cursor = vorel::next_scan_cursor(cursor, 7);
    } while (cursor != 0 && order.size() < 100);
    EXPECT_EQ(order, (std::vector<uint64_t>{0, 4, 2, 6, 1, 5, 3, 7}));
    // A cursor from a larger table is read through the smaller one's mask.
    EXPECT_EQ(vorel::next_scan_cursor(12, 7), 2u);
    // A page stops at the element count or the bucket budget, whichever comes first.
    std::vector<uint64_t> visited;
    auto visit = [&](uint64_t b) {
        visited.push_back(b);
        return b % 2 == 0 ? uint64_t{3} : uint64_t{0};
    };
    EXPECT_EQ(vorel::scan_buckets(0, 8, 5, 100, visit), 2u);
    EXPECT_EQ(visited, (std::vector<uint64_t>{0, 4}));
    visited.clear();
    EXPECT_EQ(vorel::scan_buckets(1, 8, 5, 2, visit), 3u);
    EXPECT_EQ(visited, (std::vector<uint64_t>{1, 5}));
}

TEST_F(KeysTest, ScanFiltersByPatternAndTypeAndPagesWholeTable) {
    for (int i = 0; i < 300; i++) put("k" + std::to_string(i));
    ASSERT_EQ(dict_sadd(ks, "kset", {"m"}), counted(1));
    put("other");
    // Unchanged table: a full iteration returns every matching key exactly once.
    for (const int64_t count : {int64_t{-3}, int64_t{0}, int64_t{1}, int64_t{7}, int64_t{1000}}) {
        std::multiset<std::string> seen;
        uint64_t cursor = 0;
        int pages = 0;
        do {
            for (const std::string& k : scan(&cursor, "k*", count)) seen.insert(k);
        } while (cursor != 0 && ++pages < 100000);
        EXPECT_EQ(cursor, 0u);
        EXPECT_EQ(seen.size(), 301u) << "count " << count;
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 301u) << "a key came twice";
        EXPECT_EQ(seen.count("other"), 0u);
    }
    uint64_t cursor = 0;
    std::vector<std::string> sets;
    do {
        for (const std::string& k : scan(&cursor, "*", 50, KEY_TYPE_SET)) sets.push_back(k);
    } while (cursor != 0);
    EXPECT_EQ(sets, std::vector<std::string>{"kset"});

    std::vector<std::string_view> out;
    EXPECT_EQ(dict_scan(ks, nullptr, "*", 1, &out), DictStatus::Invalid);
    EXPECT_EQ(dict_scan(ks, &cursor, "*", 1, nullptr), DictStatus::Invalid);
    EXPECT_EQ(dict_scan(nullptr, &cursor, "*", 1, &out), DictStatus::Invalid);
    dict_flush(ks);
    cursor = 12;
    EXPECT_TRUE(scan(&cursor, "*", 5).empty());
    EXPECT_EQ(cursor, 0u) << "an empty keyspace ends the iteration";
}

// Between pages keys are deleted (returned ones and others), inserted (growing
// the table several times) and left to expire; every key present for the whole
// iteration must come back, and every iteration must end.
TEST_F(KeysTest, ScanNeverSkipsAKeyPresentThroughout) {
    std::mt19937_64 rng(99);
    int next_key = 0;
    for (; next_key < 500; next_key++) put("k" + std::to_string(next_key));
    for (int iteration = 0; iteration < 30; iteration++) {
        // Keys past their deadline are not present, though still in the table.
        dict_cleanup_expired(ks);
        std::set<std::string> stable;
        for (const std::string& k : table_order(ks)) stable.insert(k);
        std::set<std::string> seen;
        const uint64_t buckets_before = ks->bucket_count;
        uint64_t cursor = 0;
        int pages = 0;
        do {
            const int64_t count = static_cast<int64_t>(rng() % 40) + 1;
            for (const std::string& k : scan(&cursor, "*", count)) seen.insert(k);
            const uint64_t what = rng() % 6;
            if (what == 0 && ks->key_count < 6000) {
                for (int j = 0; j < 200; j++, next_key++) put("k" + std::to_string(next_key));
            } else if (what == 1 || what == 2) {
                // Delete a few keys, returned or not; they no longer count as stable.
                const std::vector<std::string> order = table_order(ks);
                for (int j = 0; j < 5 && !order.empty(); j++) {
                    const std::string& victim = order[rng() % order.size()];
                    dict_del(ks, victim);
                    stable.erase(victim);
                }
            } else if (what == 3) {
                const std::string dying = "k" + std::to_string(next_key++);
                put(dying, "v", FakeClock::now + 1);
                FakeClock::now += 1;
            }
            pages++;
        } while (cursor != 0 && pages < 100000);
        ASSERT_EQ(cursor, 0u) << "iteration " << iteration << " never ended";
        for (const std::string& k : stable) {
            ASSERT_TRUE(seen.count(k)) << "iteration " << iteration << " skipped " << k << " (table "
                                       << buckets_before << " -> " << ks->bucket_count << " buckets)";
        }
    }
    EXPECT_GT(ks->bucket_count, uint64_t{INITIAL_BUCKETS}) << "the table never grew during the test";
    expect_table_consistent(ks);
}

TEST_F(KeysTest, RandomKeyReturnsOnlyLiveKeysAndReachesEveryKey) {
    dict_seed_random(ks, 2024);
    std::string out = "junk";
    EXPECT_EQ(dict_randomkey(ks, &out), DictStatus::Missing);
    EXPECT_EQ(out, "");
    EXPECT_EQ(dict_randomkey(ks, nullptr), DictStatus::Invalid);
    EXPECT_EQ(dict_randomkey(nullptr, &out), DictStatus::Missing);

    const std::vector<std::string> live = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (const std::string& k : live) put(k);
    put("dying1", "v", FakeClock::now + 5);
    put("dying2", "v", FakeClock::now + 5);
    FakeClock::now += 5;
    std::map<std::string, int> hits;
    for (int i = 0; i < 4000; i++) {
        ASSERT_EQ(dict_randomkey(ks, &out), DictStatus::Ok);
        hits[out]++;
    }
    EXPECT_EQ(ks->key_count, live.size());
    ASSERT_EQ(hits.size(), live.size());
    for (const std::string& k : live) {
        // 500 expected each; the bounds are more than 9 standard deviations away.
        EXPECT_GT(hits[k], 300) << k;
        EXPECT_LT(hits[k], 700) << k;
    }

    // Only dead keys left: nothing to pick.
    for (const std::string& k : live) dict_expire_ms(ks, k, 1);
    FakeClock::now += 1;
    EXPECT_EQ(dict_randomkey(ks, &out), DictStatus::Missing);
    EXPECT_EQ(ks->key_count, 0u);
}

TEST_F(KeysTest, RandomKeyIsUniformWithLongChainsAndChangesBetweenPicks) {
    dict_seed_random(ks, 77);
    // 30 keys share bucket 5; 994 others spread out: 1024 keys in 1024 buckets.
    std::vector<std::string> chain = keys_in_bucket(5, INITIAL_BUCKETS, 30, "chain");
    for (const std::string& k : chain) put(k);
    for (int i = 0; ks->key_count < INITIAL_BUCKETS; i++) put("spread" + std::to_string(i));
    ASSERT_EQ(ks->bucket_count, INITIAL_BUCKETS);
    const uint64_t n = ks->key_count;

    std::map<std::string, int> hits;
    std::string out;
    const int per_key = 100;
    for (uint64_t i = 0; i < n * per_key; i++) {
        ASSERT_EQ(dict_randomkey(ks, &out), DictStatus::Ok);
        hits[out]++;
    }
    EXPECT_EQ(hits.size(), n);
    int chain_hits = 0;
    for (const std::string& k : chain) chain_hits += hits[k];
    // 3000 expected for the 30 chained keys (sd about 55).
    EXPECT_GT(chain_hits, 2600);
    EXPECT_LT(chain_hits, 3400);
    for (const auto& [key, count] : hits) {
        EXPECT_GT(count, 40) << key;   // 100 expected, sd 10
        EXPECT_LT(count, 170) << key;
    }

    // Keys added to the long chain between picks are drawn as often as the rest.
    std::vector<std::string> more = keys_in_bucket(5, INITIAL_BUCKETS, 40, "chain");
    hits.clear();
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(dict_del(ks, "spread" + std::to_string(i)), DictStatus::Ok);
        put(more[30 + i]);
        for (int j = 0; j < 3000; j++) {
            ASSERT_EQ(dict_randomkey(ks, &out), DictStatus::Ok);
            ASSERT_NE(peek(ks, out), nullptr) << out;
            hits[out]++;
        }
    }
    int new_chain_hits = 0;
    for (int i = 0; i < 10; i++) new_chain_hits += hits[more[30 + i]];
    // Key 30+i is present for 10-i rounds of 3000 draws over 1024 keys: about
    // 161 draws in all (sd about 13).
    EXPECT_GT(new_chain_hits, 100);
    EXPECT_LT(new_chain_hits, 230);
}

TEST_F(KeysTest, RandomKeyInASparseTable) {
    dict_seed_random(ks, 5);
    const int keys = static_cast<int>(kMaxKeysPerBucket * INITIAL_BUCKETS + 500);
    for (int i = 0; i < keys; i++) put("x" + std::to_string(i));
    ASSERT_EQ(ks->bucket_count, 2 * INITIAL_BUCKETS);
    for (int i = 3; i < keys; i++) dict_del(ks, "x" + std::to_string(i));
    std::map<std::string, int> hits;
    std::string out;
    for (int i = 0; i < 3000; i++) {
        ASSERT_EQ(dict_randomkey(ks, &out), DictStatus::Ok);
        hits[out]++;
    }
    ASSERT_EQ(hits.size(), 3u);
    for (const auto& [key, count] : hits) {
        EXPECT_GT(count, 800) << key;
        EXPECT_LT(count, 1200) << key;
    }
}

TEST_F(KeysTest, RenameMovesTheEntryAndKeepsItsDeadline) {
    dict_set_max_memory(ks, 100);  // keeps the eviction index, checked below
    put("old", "value", FakeClock::now + 7000);
    put("other", "x");
    const uint64_t changes = ks->change_count;
    FakeClock::now += 3;
    EXPECT_EQ(dict_rename(ks, "old", "renamed_key", false), DictStatus::Ok);
    EXPECT_GT(ks->change_count, changes);
    EXPECT_EQ(peek(ks, "old"), nullptr);
    Entry* e = peek(ks, "renamed_key");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(entry_str(e), "value");
    EXPECT_EQ(entry_key(e).data()[entry_key(e).size()], '\0');
    EXPECT_EQ(e->last_access_ms, FakeClock::now);
    EXPECT_EQ(ks->buckets[dict_hash("renamed_key") % ks->bucket_count], e);
    EXPECT_EQ(dict_pttl(ks, "renamed_key"), counted(6997));
    // Both keys (made under the limit: each block holds its index position), their
    // eviction index nodes and the deadline's nodes.
    EXPECT_EQ(ks->used_memory, kBase + ks_test::side_buckets(ks) + dict_entry_block_charge(11, 8, true) +
                                   dict_entry_block_charge(5, 8, true) + 2 * CHARGE_LRU_NODE + CHARGE_EXPIRY_NODE);
    expect_table_consistent(ks);

    // The deadline still removes the renamed key.
    FakeClock::now += 6997;
    dict_cleanup_expired(ks);
    EXPECT_EQ(peek(ks, "renamed_key"), nullptr);
    expect_table_consistent(ks);

    EXPECT_EQ(dict_rename(ks, "missing", "x", false), DictStatus::Missing);
    EXPECT_EQ(dict_rename(ks, "other", "", false), DictStatus::Invalid);
    EXPECT_EQ(dict_rename(nullptr, "other", "y", false), DictStatus::Invalid);
    EXPECT_EQ(value_of("other"), "x");
}

TEST_F(KeysTest, RenameOverExistingKeysAndOntoItself) {
    put("src", "source-value");
    put("dst", "old-destination-value", FakeClock::now + 100);
    EXPECT_EQ(dict_rename(ks, "src", "dst", true), DictStatus::Exists);
    EXPECT_EQ(value_of("src"), "source-value");
    EXPECT_EQ(value_of("dst"), "old-destination-value");

    EXPECT_EQ(dict_rename(ks, "src", "dst", false), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "src"), nullptr);
    EXPECT_EQ(value_of("dst"), "source-value");
    // The destination's old deadline went with its old value.
    EXPECT_EQ(dict_pttl(ks, "dst").status, DictStatus::NotFound);
    EXPECT_EQ(ks->key_count, 1u);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(3, 12));
    expect_table_consistent(ks);

    EXPECT_EQ(dict_rename(ks, "dst", "dst", false), DictStatus::Ok);
    EXPECT_EQ(dict_rename(ks, "dst", "dst", true), DictStatus::Exists);
    EXPECT_EQ(value_of("dst"), "source-value");
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(3, 12));
    expect_table_consistent(ks);
}

TEST_F(KeysTest, RenameWhenTheDestinationPrecedesTheSourceInOneChain) {
    dict_set_max_memory(ks, 100);
    const std::vector<std::string> same = keys_in_bucket(9, INITIAL_BUCKETS, 4, "c");
    // Chain head first: same[3], same[2], same[1], same[0].
    for (const std::string& k : same) put(k, "val-" + k);
    EXPECT_EQ(dict_rename(ks, same[1], same[2], false), DictStatus::Ok);
    EXPECT_EQ(table_order(ks), (std::vector<std::string>{same[2], same[3], same[0]}));
    EXPECT_EQ(value_of(same[2]), "val-" + same[1]);
    expect_table_consistent(ks);

    // The destination is dead and directly ahead of the source: its lookup
    // removes it, and the source must still be unlinked cleanly.
    ASSERT_EQ(dict_expire_ms(ks, same[3], 1), DictStatus::Ok);
    FakeClock::now += 1;
    EXPECT_EQ(dict_rename(ks, same[0], same[3], true), DictStatus::Ok);
    EXPECT_EQ(table_order(ks), (std::vector<std::string>{same[3], same[2]}));
    EXPECT_EQ(value_of(same[3]), "val-" + same[0]);
    expect_table_consistent(ks);
}

TEST_F(KeysTest, CopyIsDeepCarriesTheDeadlineAndChargesExactly) {
    put("keep", "k");
    put("src", "payload", FakeClock::now + 2500);
    const uint64_t before = ks->used_memory;
    EXPECT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Ok);
    Entry* s = peek(ks, "src");
    Entry* d = peek(ks, "dst");
    ASSERT_NE(d, nullptr);
    EXPECT_NE(entry_str(d).data(), entry_str(s).data());
    EXPECT_EQ(entry_str(d), "payload");
    EXPECT_EQ(entry_str(d).data()[7], '\0');
    EXPECT_EQ(dict_pttl(ks, "dst"), counted(2500));
    EXPECT_EQ(ks->used_memory, before + string_key_charge(3, 7) + CHARGE_EXPIRY_NODE);
    expect_table_consistent(ks);

    // Independent: changing the copy leaves the source alone.
    EXPECT_EQ(dict_setrange(ks, "dst", 0, "P"), counted(7));
    EXPECT_EQ(value_of("src"), "payload");
    EXPECT_EQ(dict_del(ks, "dst"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, before);

    // An existing destination: refused without replace, replaced with it.
    put("dst", "something longer than before");
    EXPECT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Exists);
    EXPECT_EQ(value_of("dst"), "something longer than before");
    EXPECT_EQ(dict_copy(ks, "src", "dst", true), DictStatus::Ok);
    EXPECT_EQ(value_of("dst"), "payload");
    EXPECT_EQ(ks->used_memory, before + string_key_charge(3, 7) + CHARGE_EXPIRY_NODE);
    expect_table_consistent(ks);

    // Onto itself: nothing copied, the key intact.
    EXPECT_EQ(dict_copy(ks, "src", "src", true), DictStatus::Exists);
    EXPECT_EQ(dict_copy(ks, "src", "src", false), DictStatus::Exists);
    EXPECT_EQ(value_of("src"), "payload");
    EXPECT_EQ(dict_pttl(ks, "src"), counted(2500));

    // Empty values copy as empty values.
    put("empty", "");
    EXPECT_EQ(dict_copy(ks, "empty", "empty2", false), DictStatus::Ok);
    std::string_view v = "junk";
    EXPECT_EQ(dict_get_string(ks, "empty2", &v), DictStatus::Ok);
    EXPECT_TRUE(v.empty());

    EXPECT_EQ(dict_copy(ks, "missing", "x", false), DictStatus::Missing);
    EXPECT_EQ(dict_copy(ks, "src", "", true), DictStatus::Invalid);
    EXPECT_EQ(peek(ks, "x"), nullptr);
    expect_table_consistent(ks);
}

TEST_F(KeysTest, CopyRunsEviction) {
    dict_set_max_memory(ks, 1);
    const std::string big(600 * 1024, 'b');
    put("first", "1");
    FakeClock::now += 1;
    put("big", big);
    FakeClock::now += 1;
    EXPECT_EQ(dict_copy(ks, "big", "big2", false), DictStatus::Ok);
    // Over the limit after the copy: the least recently used keys went first.
    EXPECT_EQ(peek(ks, "first"), nullptr);
    EXPECT_LE(ks->used_memory, uint64_t{1} << 20);
    expect_table_consistent(ks);
}

}  // namespace
