// unit_scan_test.cpp — cursor scans of the container types (hash fields, set
// members, sorted-set members): between pages members are added (growing the
// tables), removed (returned ones and others, down to a flat store and back),
// and rescored; every member present for a whole iteration must be returned.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_support.h"

namespace {

// One container type as the scan test drives it.
struct ContainerKind {
    const char* name;
    void (*add)(Keyspace* ks, const std::string& member, double score);
    void (*remove)(Keyspace* ks, const std::string& member);
    // One page: the members (fields) returned; *cursor advanced.
    std::vector<std::string> (*page)(Keyspace* ks, uint64_t* cursor, int64_t count);
};

void PrintTo(const ContainerKind& kind, std::ostream* os) { *os << kind.name; }

constexpr const char* kKey = "c";

std::vector<std::string> hash_page(Keyspace* ks, uint64_t* cursor, int64_t count) {
    std::vector<std::string_view> out;
    EXPECT_EQ(dict_hscan(ks, kKey, cursor, count, &out), DictStatus::Ok);
    std::vector<std::string> fields;
    for (size_t i = 0; i + 1 < out.size(); i += 2) fields.emplace_back(out[i]);
    return fields;
}

std::vector<std::string> set_page(Keyspace* ks, uint64_t* cursor, int64_t count) {
    std::vector<std::string_view> out;
    EXPECT_EQ(dict_sscan(ks, kKey, cursor, count, &out), DictStatus::Ok);
    return std::vector<std::string>(out.begin(), out.end());
}

std::vector<std::string> zset_page(Keyspace* ks, uint64_t* cursor, int64_t count) {
    std::vector<ZMember> out;
    EXPECT_EQ(dict_zscan(ks, kKey, cursor, count, &out), DictStatus::Ok);
    std::vector<std::string> members;
    for (const ZMember& m : out) members.emplace_back(m.member);
    return members;
}

const ContainerKind kKinds[] = {
    {"hash", [](Keyspace* ks, const std::string& m, double) { ASSERT_TRUE(dict_hset(ks, kKey, m, "v").ok()); },
     [](Keyspace* ks, const std::string& m) { dict_hdel(ks, kKey, {m}); }, hash_page},
    {"set", [](Keyspace* ks, const std::string& m, double) { ASSERT_TRUE(dict_sadd(ks, kKey, {m}).ok()); },
     [](Keyspace* ks, const std::string& m) { dict_srem(ks, kKey, {m}); }, set_page},
    // A zset "add" of a present member rescores it, moving it in the order.
    {"zset", [](Keyspace* ks, const std::string& m, double s) { ASSERT_TRUE(dict_zadd(ks, kKey, 0, s, m).ok()); },
     [](Keyspace* ks, const std::string& m) { dict_zrem(ks, kKey, {m}); }, zset_page},
};

class ContainerScan : public ks_test::KeyspaceTest, public ::testing::WithParamInterface<ContainerKind> {};

TEST_P(ContainerScan, NeverSkipsAMemberPresentThroughout) {
    const ContainerKind& kind = GetParam();
    std::mt19937_64 rng(7);
    std::set<std::string> present;
    int next = 0;
    auto add_new = [&](int n) {
        for (int i = 0; i < n; i++, next++) {
            const std::string m = "m" + std::to_string(next);
            kind.add(ks, m, static_cast<double>(rng() % 1000));
            present.insert(m);
        }
    };
    auto remove_random = [&](size_t n, std::set<std::string>* stable) {
        for (size_t i = 0; i < n && !present.empty(); i++) {
            auto it = present.begin();
            std::advance(it, static_cast<long>(rng() % present.size()));
            kind.remove(ks, *it);
            stable->erase(*it);
            present.erase(it);
        }
    };
    add_new(6);
    size_t largest = 0;
    for (int iteration = 0; iteration < 40; iteration++) {
        if (present.empty()) add_new(6);
        std::set<std::string> stable = present;
        std::set<std::string> seen;
        uint64_t cursor = 0;
        int pages = 0;
        do {
            for (const std::string& m : kind.page(ks, &cursor, static_cast<int64_t>(rng() % 15) + 1)) seen.insert(m);
            switch (rng() % 8) {
                case 0:
                case 1: add_new(static_cast<int>(rng() % 300)); break;  // grows the tables
                case 2: remove_random(3, &stable); break;
                case 3: remove_random(present.size() - present.size() / 8, &stable); break;  // shrinks them
                case 4:
                    // Rescore members already present: they stay present.
                    for (int i = 0; i < 20 && !present.empty(); i++) {
                        auto it = present.begin();
                        std::advance(it, static_cast<long>(rng() % present.size()));
                        kind.add(ks, *it, static_cast<double>(rng() % 1000) - 500);
                    }
                    break;
                default: break;
            }
            largest = std::max(largest, present.size());
            pages++;
        } while (cursor != 0 && pages < 100000);
        ASSERT_EQ(cursor, 0u) << kind.name << " iteration " << iteration << " never ended";
        for (const std::string& m : stable) {
            ASSERT_TRUE(seen.count(m)) << kind.name << " iteration " << iteration << " skipped " << m;
        }
        for (const std::string& m : seen) ASSERT_EQ(m[0], 'm') << "a scan returned something never added";
    }
    EXPECT_GT(largest, 1000u) << "the tables never grew far";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ContainerScan, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<ContainerKind>& info) { return std::string(info.param.name); });

}  // namespace
