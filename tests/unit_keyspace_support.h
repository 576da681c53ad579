// unit_keyspace_support.h — shared pieces of the keyspace unit tests: a clock the
// test moves by hand, a fixture owning one keyspace, a string writer (string
// writes proper live in their own module), reference checks written from the
// table's rules independently of the engine's indexes, and same-bucket key search.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_memory_reference.h"

// Result codes print by name in failure messages.
inline const char* dict_status_name(DictStatus s) {
    switch (s) {
        case DictStatus::Ok: return "Ok";
        case DictStatus::Missing: return "Missing";
        case DictStatus::Exists: return "Exists";
        case DictStatus::WrongType: return "WrongType";
        case DictStatus::NoMemory: return "NoMemory";
        case DictStatus::OutOfRange: return "OutOfRange";
        case DictStatus::TooLarge: return "TooLarge";
        case DictStatus::NotFound: return "NotFound";
        case DictStatus::Overflow: return "Overflow";
        case DictStatus::Invalid: return "Invalid";
    }
    return "?";
}
inline void PrintTo(DictStatus s, std::ostream* os) { *os << dict_status_name(s); }
inline void PrintTo(const DictCount& c, std::ostream* os) { *os << dict_status_name(c.status) << "(" << c.value << ")"; }

namespace ks_test {

// The result of an operation that succeeded with the given count or length.
inline DictCount counted(int64_t value) { return {DictStatus::Ok, value}; }

struct FakeClock {
    static inline int64_t now = 1'700'000'000'000;
    static int64_t read() { return now; }
};

class KeyspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeClock::now = 1'700'000'000'000;
        ks = dict_create(0);
        ASSERT_NE(ks, nullptr);
        dict_set_clock(ks, &FakeClock::read);
    }
    void TearDown() override { dict_destroy(ks); }
    Keyspace* ks = nullptr;
};

// Creates or overwrites a string key the way the string writer does: lookup,
// insertion sequence, then the value and its charge.
inline Entry* put_string(Keyspace* ks, std::string_view key, std::string_view value) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        e = dict_insert_string_entry(ks, key, value.size(), dict_now_ms(ks));
        if (e && !value.empty()) memcpy(entry_str_data(e), value.data(), value.size());
        return e;
    }
    const uint64_t old_charge = entry_str_charge(e);
    if (!entry_set_str(e, value)) return nullptr;
    dict_uncharge(ks, old_charge);
    dict_charge(ks, entry_str_charge(e));
    dict_mark_dirty(ks);
    return e;
}

// The slot arrays of the side tables (deadlines, eviction positions), held
// while a table has entries.
inline uint64_t side_buckets(const Keyspace* ks) {
    return dict_side_table_charge(ks->deadlines.capacity()) +
           (ks->lru_index ? dict_side_table_charge(ks->lru_positions.capacity()) : 0);
}

// Charge of one string key made with its value (no memory limit): the entry
// block with the value and its NUL in it (8 bytes of value space at least)
// when they fit in 65535 bytes, else a minimal block and an external one.
inline uint64_t string_key_charge(uint64_t key_len, uint64_t value_len) {
    if (value_len + 1 <= 65535) return dict_entry_block_charge(key_len, value_len + 1 < 8 ? 8 : value_len + 1);
    return dict_entry_block_charge(key_len, 8) + dict_alloc_size(sizeof(ExternalString) + value_len + 1);
}

// Reads an entry without a lookup (no stamp, no lazy expiry).
inline Entry* peek(const Keyspace* ks, std::string_view key) {
    for (Entry* e = ks->buckets[dict_hash(key) % ks->bucket_count]; e; e = e->next)
        if (entry_key(e) == key) return e;
    return nullptr;
}

// Keys in bucket order, each chain from its head.
inline std::vector<std::string> table_order(const Keyspace* ks) {
    std::vector<std::string> keys;
    for (uint64_t i = 0; i < ks->bucket_count; i++)
        for (Entry* e = ks->buckets[i]; e; e = e->next) keys.emplace_back(entry_key(e));
    return keys;
}

// The victim a full scan picks: smallest signed stamp, starting from the largest
// value and replacing only on strictly smaller, in bucket order from chain heads.
inline Entry* scan_victim(const Keyspace* ks) {
    Entry* best = nullptr;
    int64_t best_stamp = INT64_MAX;
    for (uint64_t i = 0; i < ks->bucket_count; i++)
        for (Entry* e = ks->buckets[i]; e; e = e->next)
            if (e->last_access_ms < best_stamp) {
                best = e;
                best_stamp = e->last_access_ms;
            }
    return best;
}

// Walks the table and checks what every operation must preserve: counts, bucket
// placement, the expiry index, the LRU index and used_memory against every
// block the keyspace holds.
inline void expect_table_consistent(const Keyspace* ks) {
    uint64_t linked = 0;
    uint64_t with_expiry = 0;
    uint64_t without_slot = 0;
    for (uint64_t i = 0; i < ks->bucket_count; i++) {
        for (Entry* e = ks->buckets[i]; e; e = e->next) {
            linked++;
            if (!(e->flags & ENTRY_LRU_SLOT)) without_slot++;
            EXPECT_EQ(e->hash_tag, dict_hash_tag(dict_hash(entry_key(e))));
            EXPECT_EQ(dict_hash(entry_key(e)) % ks->bucket_count, i) << entry_key(e);
            if (entry_has_deadline(e)) {
                with_expiry++;
                EXPECT_EQ(ks->expiry_index.count({entry_deadline(ks, e), e}), 1u) << entry_key(e);
            }
            if (ks->lru_index) {
                const auto found = ks->lru_index->find(lru_slot(e));
                EXPECT_TRUE(found != ks->lru_index->end() && found == entry_lru_pos(ks, e)) << entry_key(e);
            }
        }
    }
    EXPECT_EQ(linked, ks->key_count);
    EXPECT_EQ(ks->expiry_index.size(), with_expiry);
    EXPECT_EQ(ks->deadlines.size(), with_expiry);
    if (ks->lru_index) {
        EXPECT_EQ(ks->lru_index->size(), ks->key_count);
        EXPECT_EQ(ks->lru_positions.size(), without_slot);
    }
    EXPECT_EQ(ks->lru_index != nullptr, ks->max_memory_mb > 0);
    EXPECT_EQ(ks->used_memory, held_memory(ks));
}

// Names "<prefix><n>" whose djb2 hash lands in the given bucket of a table of
// bucket_count buckets, found by brute force.
inline std::vector<std::string> keys_in_bucket(uint64_t bucket, uint64_t bucket_count, size_t how_many,
                                               const std::string& prefix = "k") {
    std::vector<std::string> keys;
    for (uint64_t n = 0; keys.size() < how_many; n++) {
        std::string key = prefix + std::to_string(n);
        if (dict_hash(key) % bucket_count == bucket) keys.push_back(key);
    }
    return keys;
}

}  // namespace ks_test
