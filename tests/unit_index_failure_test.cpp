// unit_index_failure_test.cpp — allocation failures inside index updates: the
// eviction and expiry indexes are std::set trees whose nodes come from operator
// new, which this test program replaces with one that can be told to fail the
// n-th allocation from now. For each operation in a table, the n-th allocation
// is failed for n = 0, 1, ... until the operation succeeds; after every failure
// the keyspace must be exactly as before (contents, deadlines and stamps), both
// indexes must still match the entries, and the same call must then succeed.
// The side tables' flat map is checked here too: its growth allocates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "support/failing_allocator.h"
#include "unit_keyspace_dump.h"
#include "unit_keyspace_support.h"


namespace {

using ks_test::counted;
using ks_test::FakeClock;

constexpr int64_t kStart = 1'700'000'000'000;
constexpr int64_t kDeadline = kStart + 10'000;

// Contents, count, memory and every key's stamp: what a failed call must leave as it was.
std::string state(const Keyspace* ks) {
    std::vector<std::string> stamps;
    for (uint64_t b = 0; b < ks->bucket_count; b++)
        for (const Entry* e = ks->buckets[b]; e; e = e->next)
            stamps.push_back(std::string(entry_key(e)) + "@" + std::to_string(e->last_access_ms));
    std::sort(stamps.begin(), stamps.end());
    std::string all = ks_test::dump(ks);
    all += "keys=" + std::to_string(ks->key_count) + " memory=" + std::to_string(ks->used_memory) + "\n";
    for (const std::string& s : stamps) all += s + "\n";
    return all;
}

// Both indexes hold exactly the live entries, each at the place its fields say.
void expect_indexes_match(const Keyspace* ks) {
    uint64_t linked = 0;
    uint64_t with_deadline = 0;
    uint64_t without_slot = 0;
    for (uint64_t b = 0; b < ks->bucket_count; b++) {
        for (Entry* e = ks->buckets[b]; e; e = e->next) {
            linked++;
            if (!(e->flags & ENTRY_LRU_SLOT)) without_slot++;
            if (entry_has_deadline(e)) {
                with_deadline++;
                EXPECT_EQ(ks->expiry_index.count({entry_deadline(ks, e), e}), 1u) << entry_key(e);
            }
            if (ks->lru_index) {
                // Compared as iterators, never dereferenced: a stale position must
                // fail the check, not crash it.
                const auto found = ks->lru_index->find(lru_slot(e));
                EXPECT_TRUE(found != ks->lru_index->end() && found == entry_lru_pos(ks, e)) << entry_key(e);
            }
        }
    }
    EXPECT_EQ(linked, ks->key_count);
    EXPECT_EQ(ks->expiry_index.size(), with_deadline);
    EXPECT_EQ(ks->deadlines.size(), with_deadline);
    if (ks->lru_index) {
        EXPECT_EQ(ks->lru_index->size(), ks->key_count);
        EXPECT_EQ(ks->lru_positions.size(), without_slot);
    }
}

struct FailureCase {
    const char* name;
    std::function<bool(Keyspace*)> op;  // true when the call did its work
    std::function<void(Keyspace*)> prepare = nullptr;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

void seed(Keyspace* ks) {
    ASSERT_EQ(dict_set_string(ks, "s", "hello", 0), DictStatus::Ok);
    ASSERT_EQ(dict_set_string(ks, "t", "mortal", kDeadline), DictStatus::Ok);
    ASSERT_EQ(dict_rpush(ks, "l", "a"), counted(1));
    ASSERT_EQ(dict_rpush(ks, "l", "b"), counted(2));
    ASSERT_EQ(dict_sadd(ks, "set", {"m1", "m2"}), counted(2));
    for (int i = 0; i < 20; i++) ASSERT_EQ(dict_set_string(ks, "k" + std::to_string(i), "v", 0), DictStatus::Ok);
}

const std::vector<FailureCase>& failure_cases() {
    static const std::vector<FailureCase> all = {
        {"touch_on_read", [](Keyspace* ks) { return dict_exists(ks, "s") == DictStatus::Ok; },
         [](Keyspace*) { FakeClock::now += 7; }},
        {"touch_on_write", [](Keyspace* ks) { return dict_rpush(ks, "l", "c") == DictCount{DictStatus::Ok, 3}; },
         [](Keyspace*) { FakeClock::now += 7; }},
        {"new_deadline", [](Keyspace* ks) { return dict_expire_at_ms(ks, "t", kDeadline + 5) == DictStatus::Ok; }},
        {"first_deadline", [](Keyspace* ks) { return dict_expire_at_ms(ks, "s", kDeadline) == DictStatus::Ok; }},
        {"new_string_key", [](Keyspace* ks) { return dict_set_string(ks, "new", "v", 0) == DictStatus::Ok; }},
        {"new_string_key_with_deadline", [](Keyspace* ks) { return dict_set_string(ks, "new", "v", kDeadline) == DictStatus::Ok; }},
        {"new_list_key", [](Keyspace* ks) { return dict_rpush(ks, "nl", "x") == DictCount{DictStatus::Ok, 1}; }},
        {"new_set_key", [](Keyspace* ks) { return dict_sadd(ks, "ns", {"x"}) == DictCount{DictStatus::Ok, 1}; }},
        {"rename", [](Keyspace* ks) { return dict_rename(ks, "s", "s2", false) == DictStatus::Ok; }},
        {"rename_with_deadline", [](Keyspace* ks) { return dict_rename(ks, "t", "t2", false) == DictStatus::Ok; }},
        {"rename_over_existing", [](Keyspace* ks) { return dict_rename(ks, "t", "k3", false) == DictStatus::Ok; }},
        {"copy_string_over_existing", [](Keyspace* ks) { return dict_copy(ks, "t", "s", true) == DictStatus::Ok; }},
        {"copy_list_over_existing", [](Keyspace* ks) { return dict_copy(ks, "l", "t", true) == DictStatus::Ok; }},
        {"copy_set", [](Keyspace* ks) { return dict_copy(ks, "set", "set2", false) == DictStatus::Ok; }},
        {"index_built_for_a_new_limit",
         [](Keyspace* ks) {
             dict_set_max_memory(ks, 64);
             return ks->lru_index != nullptr;
         },
         [](Keyspace* ks) { dict_set_max_memory(ks, 0); }},
    };
    return all;
}

class IndexFailureTest : public ks_test::KeyspaceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(IndexFailureTest, FailedCallLeavesEverythingAsItWas) {
    const FailureCase& c = GetParam();
    int failures = 0;
    bool succeeded = false;
    for (int64_t n = 0; n < 64 && !succeeded; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        dict_destroy(ks);
        FakeClock::now = kStart;
        ks = dict_create(64);  // a limit, so the eviction index is kept
        ASSERT_NE(ks, nullptr);
        dict_set_clock(ks, &FakeClock::read);
        seed(ks);
        if (c.prepare) c.prepare(ks);
        const std::string before = state(ks);
        bool done = false;
        try {
            const FailAllocation arm(n);
            done = c.op(ks);
        } catch (const std::bad_alloc&) {
            done = false;
        }
        expect_indexes_match(ks);
        if (done) {
            succeeded = true;
            break;
        }
        failures++;
        EXPECT_EQ(state(ks), before);
        // Nothing half-done stands in the way of the same call.
        EXPECT_TRUE(c.op(ks));
        expect_indexes_match(ks);
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(failures, 0) << "no allocation of the call was failed";
}

INSTANTIATE_TEST_SUITE_P(Operations, IndexFailureTest, ::testing::ValuesIn(failure_cases()),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// The side tables' map against a plain model, with keys chosen by their first
// slot in the smallest array (8 slots): runs that wrap past the last slot,
// members that must stay put when a hole opens before their first slot, growth
// while every key collides, and shrinking. Every insertion is tried first with
// its allocation failing: the table must be left as it was. Every other removal
// runs with allocation failing: it still succeeds, keeping its array.
TEST(PointerMapTest, ProbeRunsGrowthAndFailuresAgainstAModel) {
    using Map = PointerMap<Entry, int64_t>;
    struct Case {
        const char* name;
        std::vector<uint64_t> homes;  // first slot in 8, of each key in insertion order
        std::vector<size_t> erase_order;
    };
    const std::vector<Case> cases = {
        {"wrapped run erased from its start", {6, 6, 6, 7, 0, 3}, {0, 1, 2, 3, 4, 5}},
        {"wrapped run erased from the middle", {6, 6, 6, 7, 0, 3}, {3, 4, 1, 5, 0, 2}},
        {"wrapped run erased from its end", {6, 6, 6, 7, 0, 3}, {5, 4, 3, 2, 1, 0}},
        {"growth with every key colliding", std::vector<uint64_t>(20, 7), {19, 0, 7, 3, 12, 1, 2, 4, 5, 6, 8, 9, 10, 11,
                                                                           13, 14, 15, 16, 17, 18}},
    };
    // Addresses only compared, never read through.
    std::vector<uint64_t> pool(1 << 12);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<const Entry*> keys;
        std::vector<bool> taken(pool.size());
        for (uint64_t want : c.homes)
            for (size_t i = 0; i < pool.size(); i++) {
                const Entry* k = reinterpret_cast<const Entry*>(&pool[i]);
                if (!taken[i] && Map::hash(k) >> 61 == want) {
                    taken[i] = true;
                    keys.push_back(k);
                    break;
                }
            }
        ASSERT_EQ(keys.size(), c.homes.size());
        Map map;
        std::map<const Entry*, int64_t> model;
        const auto expect_matches = [&] {
            EXPECT_EQ(map.size(), model.size());
            EXPECT_EQ(map.capacity() == 0, model.empty());
            EXPECT_LE(map.size() * 4, map.capacity() * 3);
            EXPECT_EQ(map.capacity() & (map.capacity() - 1), 0u);
            for (size_t i = 0; i < keys.size(); i++) {
                const int64_t* v = map.find(keys[i]);
                const auto m = model.find(keys[i]);
                if (m == model.end()) {
                    EXPECT_EQ(v, nullptr) << "key " << i;
                } else {
                    EXPECT_TRUE(v && *v == m->second) << "key " << i;
                }
            }
        };
        int failed_insertions = 0;
        for (size_t i = 0; i < keys.size(); i++) {
            const uint64_t capacity = map.capacity();
            bool inserted = false;
            try {
                const FailAllocation arm(0);
                inserted = map.insert_or_assign(keys[i], int64_t(i));
            } catch (const std::bad_alloc&) {
                failed_insertions++;
                EXPECT_EQ(map.capacity(), capacity);
                expect_matches();
            }
            EXPECT_TRUE(inserted || map.insert_or_assign(keys[i], int64_t(i)));
            EXPECT_FALSE(map.insert_or_assign(keys[i], int64_t(i) + 100));  // present: assigned
            model[keys[i]] = int64_t(i) + 100;
            expect_matches();
        }
        EXPECT_GT(failed_insertions, 0);
        for (size_t n = 0; n < c.erase_order.size(); n++) {
            const Entry* k = keys[c.erase_order[n]];
            const uint64_t capacity = map.capacity();
            bool erased = false;
            if (n % 2 == 0) {
                const FailAllocation arm(0);
                erased = map.erase(k);
            } else {
                erased = map.erase(k);
            }
            EXPECT_TRUE(erased);
            EXPECT_TRUE(n % 2 || map.empty() || map.capacity() == capacity);
            EXPECT_FALSE(map.erase(k));
            model.erase(k);
            expect_matches();
        }
    }
}

}  // namespace
