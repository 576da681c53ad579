// unit_table_test.cpp — the keyspace table: creation and charges, djb2 hashing,
// growth, chain order, the lookup with lazy expiry, removal, blobs, the key
// queries, and the clock and random generator the engine uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "unit_keyspace_support.h"

namespace {

using ks_test::FakeClock;
using ks_test::KeyspaceTest;
using ks_test::peek;
using ks_test::put_string;
using ks_test::string_key_charge;

constexpr uint64_t kFreshMemory = CHARGE_FRESH_KEYSPACE;

// ---- creation, flush and charges ---------------------------------------------

TEST(TableCreate, FreshKeyspaceAndLimitStoredUnchanged) {
    Keyspace* ks = dict_create(0);
    ASSERT_NE(ks, nullptr);
    EXPECT_EQ(ks->bucket_count, 1024u);
    EXPECT_EQ(ks->key_count, 0u);
    EXPECT_EQ(ks->used_memory, kFreshMemory);
    EXPECT_EQ(ks->lru_index, nullptr);
    dict_destroy(ks);

    Keyspace* negative = dict_create(-5);
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(negative->max_memory_mb, -5);
    EXPECT_EQ(dict_maxmemory_mb(negative), 0);
    EXPECT_EQ(negative->lru_index, nullptr);
    dict_destroy(negative);

    Keyspace* limited = dict_create(3);
    ASSERT_NE(limited, nullptr);
    EXPECT_EQ(dict_maxmemory_mb(limited), 3);
    ASSERT_NE(limited->lru_index, nullptr);
    dict_destroy(limited);

    // Null keyspaces are ignored or give the neutral answer.
    dict_destroy(nullptr);
    dict_flush(nullptr);
    EXPECT_EQ(dict_find_entry(nullptr, "k"), nullptr);
    EXPECT_EQ(dict_maxmemory_mb(nullptr), 0);
}

TEST_F(KeyspaceTest, StringKeyChargesAndTheirRelease) {
    put_string(ks, "key", "value");
    EXPECT_EQ(ks->used_memory, kFreshMemory + string_key_charge(3, 5));
    put_string(ks, "empty", "");
    Entry* empty = peek(ks, "empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(entry_str(empty).empty());
    EXPECT_EQ(entry_str(empty).data()[0], '\0');
    EXPECT_EQ(ks->used_memory, kFreshMemory + string_key_charge(3, 5) + string_key_charge(5, 0));

    EXPECT_EQ(dict_del(ks, "key"), DictStatus::Ok);
    EXPECT_EQ(dict_del(ks, "empty"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kFreshMemory);
    EXPECT_EQ(ks->key_count, 0u);
}

TEST_F(KeyspaceTest, UnchargeSaturatesAtZero) {
    dict_uncharge(ks, 100);
    EXPECT_EQ(ks->used_memory, kFreshMemory - 100);
    dict_uncharge(ks, kFreshMemory);
    EXPECT_EQ(ks->used_memory, 0u);
    dict_charge(ks, 7);
    EXPECT_EQ(ks->used_memory, 7u);
}

TEST_F(KeyspaceTest, GrowthHappensWhenKeysExceedTheLoadAndChargesTheOldArray) {
    constexpr int kFull = static_cast<int>(kMaxKeysPerBucket * INITIAL_BUCKETS);
    for (int i = 0; i <= kFull; i++) ASSERT_NE(put_string(ks, "key" + std::to_string(i), "v"), nullptr);
    // A full table did not grow; the insert past it found exactly a full table.
    EXPECT_EQ(ks->bucket_count, 1024u);
    EXPECT_EQ(ks->key_count, kFull + 1u);

    const uint64_t before = ks->used_memory;
    const uint64_t changes = ks->change_count;
    ASSERT_NE(put_string(ks, "one-more", "v"), nullptr);
    EXPECT_EQ(ks->bucket_count, 2048u);
    EXPECT_EQ(ks->used_memory, before + dict_buckets_charge(2 * INITIAL_BUCKETS) - dict_buckets_charge(INITIAL_BUCKETS) +
                                   string_key_charge(8, 1));
    EXPECT_GT(ks->change_count, changes);
    for (int i = 0; i <= kFull; i++) EXPECT_EQ(dict_exists(ks, "key" + std::to_string(i)), DictStatus::Ok) << i;
    ks_test::expect_table_consistent(ks);
}

TEST_F(KeyspaceTest, FlushKeepsTheGrownBucketArray) {
    for (uint64_t i = 0; i < kMaxKeysPerBucket * INITIAL_BUCKETS + 100; i++)
        put_string(ks, "key" + std::to_string(i), "value");
    dict_expire_ms(ks, "key1", 5000);
    ASSERT_EQ(ks->bucket_count, 2048u);
    ks->keyspace_hits = 4;
    ks->keyspace_misses = 9;

    dict_flush(ks);
    EXPECT_EQ(ks->used_memory, CHARGE_KEYSPACE + dict_buckets_charge(2048));
    EXPECT_EQ(ks->key_count, 0u);
    EXPECT_EQ(ks->bucket_count, 2048u);
    EXPECT_TRUE(ks->expiry_index.empty());
    EXPECT_EQ(ks->keyspace_hits, 4u);
    EXPECT_EQ(ks->keyspace_misses, 9u);
    EXPECT_EQ(dict_exists(ks, "key1"), DictStatus::Missing);

    put_string(ks, "again", "x");
    EXPECT_EQ(dict_exists(ks, "again"), DictStatus::Ok);
    ks_test::expect_table_consistent(ks);
}

// ---- hashing and table order -------------------------------------------------

TEST(TableHash, Djb2OverUnsignedBytesWithWrapAround) {
    EXPECT_EQ(dict_hash(""), 5381u);
    EXPECT_EQ(dict_hash("a"), 177670u);
    EXPECT_EQ(dict_hash("ab"), 5863208u);
    EXPECT_EQ(dict_hash("\xff"), 177828u);  // the byte counts as 255, not -1
    EXPECT_EQ(dict_hash("hello world"), 894552257u);
    EXPECT_EQ(dict_hash(std::string_view("a\0b", 3)), (5381u * 33 * 33 + 97 * 33) * 33 + 98);
}

// The hash takes four bytes per step; every length and every byte value must
// give what the plain byte loop gives.
TEST(TableHash, EveryLengthMatchesTheByteLoop) {
    std::string text;
    for (int i = 0; i < 70; ++i) text.push_back(static_cast<char>((i * 97 + 31) & 0xff));
    for (size_t len = 0; len <= text.size(); ++len) {
        const std::string_view key(text.data(), len);
        uint32_t h = 5381;
        for (unsigned char c : key) h = h * 33 + c;
        EXPECT_EQ(dict_hash(key), h) << "length " << len;
    }
}

// The tag an entry keeps must tell apart the keys of one bucket, or lookups
// compare the key of every entry they pass and the cache hints take a head
// that holds another key for the one looked up. Sequential keys of a common
// shape share the hash's top byte in most same-bucket pairs.
TEST(TableHash, TagsTellApartSequentialKeysOfOneBucket) {
    constexpr uint32_t kBuckets = 131072;
    for (const char* prefix : {"key:", "user:000", "", "k"}) {
        std::vector<std::vector<uint8_t>> tags(kBuckets);
        for (int k = 0; k < 100000; ++k) {
            const uint32_t hash = dict_hash(prefix + std::to_string(k));
            tags[hash & (kBuckets - 1)].push_back(dict_hash_tag(hash));
        }
        size_t pairs = 0;
        size_t shared = 0;
        for (const std::vector<uint8_t>& bucket : tags) {
            for (size_t i = 0; i < bucket.size(); ++i) {
                for (size_t j = i + 1; j < bucket.size(); ++j) {
                    ++pairs;
                    shared += bucket[i] == bucket[j];
                }
            }
        }
        ASSERT_GT(pairs, 10000u) << prefix;
        EXPECT_LT(shared * 100, pairs) << prefix << ": " << shared << " of " << pairs << " pairs share a tag";
    }
}

TEST_F(KeyspaceTest, NewKeysArePushedAtTheChainHead) {
    const auto keys = ks_test::keys_in_bucket(17, 1024, 3);
    for (const auto& k : keys) put_string(ks, k, "v");
    const std::vector<std::string> chain = ks_test::table_order(ks);
    EXPECT_EQ(chain, (std::vector<std::string>{keys[2], keys[1], keys[0]}));

    uint64_t bucket = 0;
    Entry* pred = nullptr;
    ASSERT_NE(dict_find_entry(ks, keys[0], &bucket, &pred), nullptr);
    EXPECT_EQ(bucket, 17u);
    EXPECT_EQ(pred, peek(ks, keys[1]));
    pred = reinterpret_cast<Entry*>(1);
    ASSERT_NE(dict_find_entry(ks, keys[2], nullptr, &pred), nullptr);
    EXPECT_EQ(pred, nullptr);
}

TEST_F(KeyspaceTest, GrowthReversesEntriesThatStayTogether) {
    // Three keys sharing their bucket in both the 1024- and the 2048-bucket table.
    const auto together = ks_test::keys_in_bucket(5, 2048, 3, "t");
    for (const auto& k : together) put_string(ks, k, "v");
    for (int i = 0; ks->key_count < kMaxKeysPerBucket * INITIAL_BUCKETS + 2; i++)
        put_string(ks, "fill" + std::to_string(i), "v");
    ASSERT_EQ(ks->bucket_count, 2048u);

    std::vector<std::string> order;
    for (Entry* e = ks->buckets[5]; e; e = e->next) {
        const std::string key(entry_key(e));
        if (std::find(together.begin(), together.end(), key) != together.end()) order.push_back(key);
    }
    // Before growth the chain read newest first; moving from its head reverses it.
    EXPECT_EQ(order, (std::vector<std::string>{together[0], together[1], together[2]}));
    ks_test::expect_table_consistent(ks);
}

// ---- lookup ------------------------------------------------------------------

TEST_F(KeyspaceTest, LookupComparesWholeKeys) {
    put_string(ks, "ab", "short");
    put_string(ks, "abc", "long");
    // "Ez" and "FY" share their 32-bit djb2 hash.
    ASSERT_EQ(dict_hash("Ez"), dict_hash("FY"));
    put_string(ks, "Ez", "1");

    ASSERT_NE(dict_find_entry(ks, "ab"), nullptr);
    EXPECT_EQ(entry_str(dict_find_entry(ks, "ab")), "short");
    EXPECT_EQ(entry_str(dict_find_entry(ks, "abc")), "long");
    EXPECT_EQ(dict_find_entry(ks, "a"), nullptr);
    EXPECT_EQ(dict_find_entry(ks, "FY"), nullptr);
    EXPECT_EQ(dict_find_entry(ks, std::string_view("ab\0", 3)), nullptr);
    EXPECT_EQ(ks->key_count, 3u);
}

TEST_F(KeyspaceTest, LookupOutputsOnMissAndEmptyKeys) {
    uint64_t bucket = 999999;
    Entry* sentinel = reinterpret_cast<Entry*>(8);
    Entry* pred = sentinel;
    EXPECT_EQ(dict_find_entry(ks, "missing", &bucket, &pred), nullptr);
    EXPECT_EQ(bucket, dict_hash("missing") % 1024);
    EXPECT_EQ(pred, sentinel);

    bucket = 999999;
    EXPECT_EQ(dict_find_entry(ks, "", &bucket, &pred), nullptr);
    EXPECT_EQ(bucket, 999999u);
    EXPECT_EQ(dict_insert_entry(ks, "", KEY_TYPE_STRING, FakeClock::now), nullptr);
    EXPECT_EQ(ks->key_count, 0u);
    EXPECT_EQ(ks->used_memory, kFreshMemory);
}

TEST_F(KeyspaceTest, EveryLookupStampsTheKey) {
    put_string(ks, "k", "v");
    EXPECT_EQ(peek(ks, "k")->last_access_ms, FakeClock::now);
    FakeClock::now += 50;
    EXPECT_EQ(dict_exists(ks, "k"), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "k")->last_access_ms, FakeClock::now);
    FakeClock::now += 50;
    EXPECT_STREQ(dict_type_name(ks, "k"), "string");
    EXPECT_EQ(peek(ks, "k")->last_access_ms, FakeClock::now);
    FakeClock::now += 50;
    EXPECT_EQ(dict_key_count(ks, "k"), 1);
    EXPECT_EQ(peek(ks, "k")->last_access_ms, FakeClock::now);
}

TEST_F(KeyspaceTest, LazyExpiryRemovesAKeyWhoseDeadlineIsNow) {
    put_string(ks, "dies", "value");
    put_string(ks, "lives", "value");
    put_string(ks, "negative", "value");
    entry_set_expire(ks, peek(ks, "dies"), FakeClock::now + 10);
    entry_set_expire(ks, peek(ks, "lives"), FakeClock::now + 11);
    entry_set_expire(ks, peek(ks, "negative"), -1);  // a negative deadline is none
    EXPECT_EQ(entry_deadline(ks, peek(ks, "negative")), 0);
    const uint64_t one_key = string_key_charge(4, 5) + CHARGE_EXPIRY_NODE;

    FakeClock::now += 9;
    EXPECT_NE(dict_find_entry(ks, "dies"), nullptr);
    FakeClock::now += 1;
    const uint64_t before = ks->used_memory;
    EXPECT_EQ(dict_find_entry(ks, "dies"), nullptr);
    EXPECT_EQ(peek(ks, "dies"), nullptr);
    EXPECT_EQ(ks->key_count, 2u);
    EXPECT_EQ(ks->used_memory, before - one_key);
    EXPECT_NE(dict_find_entry(ks, "lives"), nullptr);
    EXPECT_NE(dict_find_entry(ks, "negative"), nullptr);
    EXPECT_EQ(ks->expiry_index.size(), 1u);
}

// ---- removal -----------------------------------------------------------------

TEST_F(KeyspaceTest, DeleteAndUnlinkKeepTheRestOfTheChain) {
    const auto keys = ks_test::keys_in_bucket(100, 1024, 4);
    for (const auto& k : keys) put_string(ks, k, "v");

    EXPECT_EQ(dict_del(ks, keys[2]), DictStatus::Ok);  // middle of the chain
    EXPECT_EQ(dict_del(ks, keys[2]), DictStatus::Missing);
    entry_unlink(ks, peek(ks, keys[3]));  // chain head
    EXPECT_EQ(ks_test::table_order(ks), (std::vector<std::string>{keys[1], keys[0]}));
    EXPECT_EQ(ks->key_count, 2u);
    EXPECT_EQ(dict_exists(ks, keys[3]), DictStatus::Missing);
    EXPECT_EQ(dict_exists(ks, keys[0]), DictStatus::Ok);
    ks_test::expect_table_consistent(ks);
}

TEST_F(KeyspaceTest, UnlinkIgnoresAnEntryThatIsNotInTheChain) {
    put_string(ks, "shared", "mine");
    Keyspace* other = dict_create(0);
    ASSERT_NE(other, nullptr);
    put_string(other, "shared", "theirs");

    entry_unlink(ks, peek(other, "shared"));  // same key and bucket, other entry
    EXPECT_EQ(ks->key_count, 1u);
    EXPECT_EQ(entry_str(dict_find_entry(ks, "shared")), "mine");
    EXPECT_EQ(other->key_count, 1u);
    dict_destroy(other);
}

TEST_F(KeyspaceTest, FreeEntryOfAnUnknownTagReleasesKeyAndRecordOnly) {
    Entry* e = dict_insert_entry(ks, "odd", 7, FakeClock::now);  // the largest tag an entry holds
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(ks->used_memory, kFreshMemory + dict_entry_block_charge(3, 8));
    EXPECT_STREQ(dict_type_name(ks, "odd"), "none");
    EXPECT_EQ(dict_key_count(ks, "odd"), 0);
    EXPECT_EQ(dict_del(ks, "odd"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kFreshMemory);
}

TEST_F(KeyspaceTest, ConvertingAStringEntryChangesNothing) {
    Entry* e = put_string(ks, "s", "keep");
    const uint64_t before = ks->used_memory;
    entry_convert_type(ks, e);
    EXPECT_EQ(e->type, KEY_TYPE_STRING);
    EXPECT_EQ(entry_str(e), "keep");
    EXPECT_EQ(ks->used_memory, before);
}

// ---- key queries -------------------------------------------------------------

TEST_F(KeyspaceTest, KeyQueriesOnPresentMissingAndDeadKeys) {
    put_string(ks, "greeting", "hello");
    EXPECT_EQ(dict_key_type(ks, "greeting"), KEY_TYPE_STRING);
    EXPECT_STREQ(dict_type_name(ks, "greeting"), "string");
    EXPECT_EQ(dict_key_count(ks, "greeting"), 5);
    EXPECT_EQ(dict_exists(ks, "greeting"), DictStatus::Ok);

    EXPECT_EQ(dict_key_type(ks, "nope"), KEY_TYPE_NONE);
    EXPECT_STREQ(dict_type_name(ks, "nope"), "none");
    EXPECT_EQ(dict_key_count(ks, "nope"), 0);
    EXPECT_EQ(dict_exists(ks, "nope"), DictStatus::Missing);
    EXPECT_EQ(dict_del(ks, "nope"), DictStatus::Missing);

    EXPECT_STREQ(dict_type_name(nullptr, "greeting"), "none");
    EXPECT_EQ(dict_key_count(nullptr, "greeting"), 0);
    EXPECT_EQ(dict_exists(nullptr, "greeting"), DictStatus::Missing);
    EXPECT_EQ(dict_del(nullptr, "greeting"), DictStatus::Missing);

    dict_expire_ms(ks, "greeting", 5);
    FakeClock::now += 5;
    EXPECT_STREQ(dict_type_name(ks, "greeting"), "none");
    EXPECT_EQ(ks->key_count, 0u);
    EXPECT_EQ(ks->keyspace_hits + ks->keyspace_misses, 0u);
}

// ---- blobs -------------------------------------------------------------------

TEST(TableBlob, SetKeepsATrailingNulAndEmptyOwnsNothing) {
    Blob b{nullptr, 0};
    ASSERT_TRUE(dict_blob_set(&b, "abc", 3));
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.len, 3u);
    EXPECT_STREQ(b.data, "abc");

    // Replacing from the blob's own bytes must copy before freeing.
    ASSERT_TRUE(dict_blob_set(&b, b.data + 1, 2));
    EXPECT_STREQ(b.data, "bc");

    ASSERT_TRUE(dict_blob_set(&b, "xyz", 0));
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    ASSERT_TRUE(dict_blob_set(&b, nullptr, 4));
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);

    dict_blob_set(&b, "q", 1);
    dict_blob_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
}

// ---- clock and random numbers ------------------------------------------------

TEST_F(KeyspaceTest, ClockIsReplaceablePerKeyspaceAndRestores) {
    FakeClock::now = 12345;
    dict_set_clock(ks, &FakeClock::read);
    EXPECT_EQ(dict_now_ms(ks), 12345);
    Keyspace* other = dict_create(0);
    ASSERT_NE(other, nullptr);
    EXPECT_GT(dict_now_ms(other), 12345) << "another keyspace keeps the wall clock";
    dict_hold_clock(other, 777);
    EXPECT_EQ(dict_now_ms(other), 777);
    EXPECT_EQ(dict_now_ms(ks), 12345) << "a held reading stays with its keyspace";
    dict_destroy(other);
    dict_set_clock(ks, nullptr);
    const int64_t before = platform::current_time_ms();
    const int64_t now = dict_now_ms(ks);
    EXPECT_GE(now, before);
    EXPECT_LE(now, platform::current_time_ms());
}

TEST_F(KeyspaceTest, SeedingIsReproducibleAndSeedsDiffer) {
    dict_seed_random(ks, 7);
    std::vector<uint64_t> first;
    for (int i = 0; i < 8; i++) first.push_back(dict_random_u64(ks));
    dict_seed_random(ks, 7);
    for (int i = 0; i < 8; i++) EXPECT_EQ(dict_random_u64(ks), first[i]);
    dict_seed_random(ks, 8);
    EXPECT_NE(dict_random_u64(ks), first[0]);
    EXPECT_NE(first[0], first[1]);

    // Each keyspace draws from its own generator.
    Keyspace* other = dict_create(0);
    ASSERT_NE(other, nullptr);
    dict_seed_random(ks, 7);
    dict_seed_random(other, 7);
    EXPECT_EQ(dict_random_u64(ks), first[0]);
    EXPECT_EQ(dict_random_u64(other), first[0]) << "draws from one keyspace leave the other's sequence alone";
    dict_destroy(other);
}

TEST_F(KeyspaceTest, RandomBelowStaysInRangeAndIsEven) {
    dict_seed_random(ks, 1234);
    EXPECT_EQ(dict_random_below(ks, 1), 0u);
    constexpr int kDraws = 60000;
    int counts[6] = {};
    for (int i = 0; i < kDraws; i++) {
        const uint64_t r = dict_random_below(ks, 6);
        ASSERT_LT(r, 6u);
        counts[r]++;
    }
    // 10000 expected per face; the standard deviation is about 91.
    for (int c : counts) EXPECT_NEAR(c, kDraws / 6, 500);

    // A bound just above half the range: plain modulo would make the low half
    // twice as likely as the high half.
    const uint64_t bound = (UINT64_MAX / 2) + (UINT64_MAX / 4);
    int low = 0;
    for (int i = 0; i < 20000; i++) {
        const uint64_t r = dict_random_below(ks, bound);
        ASSERT_LT(r, bound);
        if (r < bound / 2) low++;
    }
    EXPECT_NEAR(low, 10000, 500);
}

}  // namespace
