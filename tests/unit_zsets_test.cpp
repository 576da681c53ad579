// unit_zsets_test.cpp — sorted sets in the keyspace: the order index checked
// against a sorted reference under random operations, the member order, the ZADD
// flag decisions, the memory charges of what the index holds, rank, score and
// lexicographic windows, scans, pops, range removals and stores, random picks, the empty
// member, and the keyspace rules (no empty set left, eviction, expiry, types).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "keyspace/keyspace.h"
#include "keyspace/zsets_internal.h"
#include "unit_keyspace_support.h"
#include "unit_memory_reference.h"

namespace {

using ks_test::counted;
using ks_test::FakeClock;
using ks_test::peek;
using ks_test::put_string;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;
const double kInf = INFINITY;

using Pair = std::pair<double, std::string>;

// The reference order, written from the rules: score, then unsigned bytes, then length.
bool ref_less(const Pair& a, const Pair& b) {
    if (a.first != b.first) return a.first < b.first;
    const size_t common = std::min(a.second.size(), b.second.size());
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a.second[i]), y = static_cast<unsigned char>(b.second[i]);
        if (x != y) return x < y;
    }
    return a.second.size() < b.second.size();
}

class ZsetTest : public ks_test::KeyspaceTest {
protected:
    DictCount add(std::string_view key, double score, std::string_view member, uint32_t flags = 0) {
        return dict_zadd(ks, key, flags, score, member);
    }
    // Every member in order with its score.
    std::vector<Pair> all(std::string_view key) {
        std::vector<ZMember> items;
        dict_zrange(ks, key, 0, -1, false, &items);
        return pairs(items);
    }
    template <class Item>
    static std::vector<Pair> pairs(const std::vector<Item>& items) {
        std::vector<Pair> out;
        for (const Item& m : items) out.emplace_back(m.score, std::string(m.member));
        return out;
    }
    static std::vector<std::string> names(const std::vector<ZMember>& items) {
        std::vector<std::string> out;
        for (const ZMember& m : items) out.emplace_back(m.member);
        return out;
    }
    // Members "m1".."mN" with scores 1..N.
    void fill(std::string_view key, int n) {
        for (int i = 1; i <= n; ++i) add(key, i, "m" + std::to_string(i));
    }
};

// ---- The order index --------------------------------------------------------

void expect_index_matches(const ZsetIndex& index, const std::vector<Pair>& ref, std::mt19937& rng) {
    ASSERT_EQ(index.check(), "");
    ASSERT_EQ(index.size(), ref.size());
    if (ref.empty()) return;
    size_t i = 0;
    for (ZsetCursor c = index.cursor(0); c.valid(); c.next(), ++i) {
        ASSERT_LT(i, ref.size());
        EXPECT_EQ(Pair(c.item().score, std::string(c.item().member)), ref[i]);
    }
    EXPECT_EQ(i, ref.size());
    i = ref.size();
    for (ZsetCursor c = index.cursor(ref.size() - 1); c.valid(); c.prev()) {
        ASSERT_GT(i, 0u);
        EXPECT_EQ(c.item().member, ref[--i].second) << "walking down";
    }
    EXPECT_EQ(i, 0u);
    for (int probe = 0; probe < 20; ++probe) {
        const uint64_t r = rng() % ref.size();
        EXPECT_EQ(index.at(r).member, ref[r].second) << "at(" << r << ")";
        EXPECT_EQ(index.rank(ref[r].second), r);
        const double t = static_cast<double>(rng() % 12);
        const auto below = std::count_if(ref.begin(), ref.end(), [t](const Pair& p) { return p.first < t; });
        const auto upto = std::count_if(ref.begin(), ref.end(), [t](const Pair& p) { return p.first <= t; });
        EXPECT_EQ(index.count_scores(t, false), static_cast<uint64_t>(below));
        EXPECT_EQ(index.count_scores(t, true), static_cast<uint64_t>(upto));
    }
}

// Members over few scores (many ties) grow to some thousands and drain again, so
// that nodes split and merge at every level; checked against a sorted vector.
TEST(ZsetIndexTest, MatchesASortedReferenceUnderRandomOperations) {
    std::mt19937 rng(7);
    ZsetIndex index;
    std::vector<Pair> ref;
    std::map<std::string, double> scores;  // the reference's member map
    auto ref_erase = [&ref](const Pair& p) { ref.erase(std::lower_bound(ref.begin(), ref.end(), p, ref_less)); };
    auto ref_insert = [&ref](const Pair& p) { ref.insert(std::lower_bound(ref.begin(), ref.end(), p, ref_less), p); };
    auto random_member = [&rng] {
        std::string m(rng() % 12, 'a');
        for (char& c : m) c = static_cast<char>("ab\x80\xff"[rng() % 4]);
        return m;
    };
    for (int step = 0; step < 70000; ++step) {
        const unsigned add_percent = step < 30000 ? 90 : 10;  // grow, then drain
        const double score = static_cast<double>(rng() % 10);
        const std::string m = ref.empty() || rng() % 100 < add_percent ? random_member()
                                                                        : ref[rng() % ref.size()].second;
        auto it = scores.find(m);
        double stored = 0;
        ASSERT_EQ(index.score_of(m, &stored), it != scores.end());
        if (it == scores.end()) {
            index.insert(score, m);
            ref_insert({score, m});
            scores[m] = score;
        } else if (rng() % 100 < 80) {
            index.erase(m);
            ref_erase({it->second, m});
            scores.erase(it);
        } else {
            EXPECT_EQ(stored, it->second);
            index.set_score(m, score);
            ref_erase({it->second, m});
            ref_insert({score, m});
            it->second = score;
        }
        if (step % 1999 == 0) expect_index_matches(index, ref, rng);
    }
    expect_index_matches(index, ref, rng);
    while (index.size()) index.erase(std::string(index.at(index.size() / 2).member));
    EXPECT_EQ(index.check(), "");
}

// Runs of rising scores after every member and falling ones before every member
// split the end leaves unevenly, so they fill leaves (63 keys of 64) instead of
// leaving them half full; draining in order then merges them away.
TEST(ZsetIndexTest, StaysSoundAndFillsLeavesWhenAppendingAndDrainingInOrder) {
    ZsetIndex index;
    for (int i = 0; i < 20000; ++i) index.insert(i, "m" + std::to_string(i));
    ASSERT_EQ(index.check(), "");
    EXPECT_LE(index.leaf_count(), 20000u / 63 + 2);
    for (int i = -1; i >= -6300; --i) index.insert(i, "m" + std::to_string(i));
    ASSERT_EQ(index.check(), "");
    EXPECT_LE(index.leaf_count(), 26300u / 63 + 3);
    for (int i = -1; i >= -6300; --i) index.erase("m" + std::to_string(i));
    EXPECT_EQ(index.rank("m12345"), 12345u);
    EXPECT_EQ(index.count_scores(5000, true), 5001u);
    for (int i = 0; i < 15000; ++i) index.erase("m" + std::to_string(i));
    ASSERT_EQ(index.check(), "");
    EXPECT_EQ(index.at(0).member, "m15000");
    for (int i = 19999; i >= 15000; --i) index.erase("m" + std::to_string(i));
    EXPECT_EQ(index.size(), 0u);
    EXPECT_EQ(index.check(), "");
}

// The lexicographic search against a brute-force count: over a few thousand
// random members (bytes above 0x7f included) that share one score, and the same
// members with scores rising in runs of ties, so the order is still byte order.
// Each bound is probed inclusive and exclusive.
TEST(ZsetIndexTest, CountMembersMatchesABruteForceCount) {
    const ZsetIndex empty;
    EXPECT_EQ(empty.count_members("a", false), 0u);
    EXPECT_EQ(empty.count_members("a", true), 0u);

    std::mt19937 rng(11);
    std::set<std::string> unique;
    while (unique.size() < 3000) {
        std::string m(1 + rng() % 8, 'a');
        for (char& c : m) c = static_cast<char>("ab\x80\xff"[rng() % 4]);
        unique.insert(m);
    }
    std::vector<std::string> sorted(unique.begin(), unique.end());
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return ref_less({0, a}, {0, b});
    });
    auto brute = [&sorted](const std::string& bound, bool inclusive) {
        return static_cast<uint64_t>(std::count_if(sorted.begin(), sorted.end(), [&](const std::string& m) {
            return ref_less({0, m}, {0, bound}) || (inclusive && m == bound);
        }));
    };
    const std::string mid = sorted[sorted.size() / 2];
    struct Probe {
        const char* what;
        std::string bound;
    };
    const std::vector<Probe> probes = {
        {"empty bound, before the first member", ""},
        {"the first member", sorted.front()},
        {"the last member", sorted.back()},
        {"after the last member", sorted.back() + "\xff"},
        {"a present member", mid},
        {"a proper prefix of a present member", mid.substr(0, mid.size() - 1)},
        {"just after a present member", mid + std::string(1, '\0')},
        {"above every byte", std::string(9, '\xff')},
    };
    for (bool runs_of_ties : {false, true}) {
        ZsetIndex index;
        for (size_t i = 0; i < sorted.size(); ++i) index.insert(runs_of_ties ? double(i / 97) : 1.5, sorted[i]);
        ASSERT_EQ(index.check(), "");
        std::vector<Probe> all = probes;
        for (int k = 0; k < 300; ++k) {
            all.push_back({"a random present member", sorted[rng() % sorted.size()]});
            std::string m(rng() % 9, 'a');
            for (char& c : m) c = static_cast<char>("ab\x80\xff"[rng() % 4]);
            all.push_back({"a random bound", m});
        }
        for (const Probe& p : all) {
            for (bool inclusive : {false, true}) {
                EXPECT_EQ(index.count_members(p.bound, inclusive), brute(p.bound, inclusive))
                    << p.what << (inclusive ? ", inclusive" : ", exclusive") << (runs_of_ties ? ", runs of ties" : "");
            }
        }
    }
}

// Removal shifts later members of a probe run back; after every removal each
// remaining member must still be found, and each removed one not.
TEST(ZsetMemberTableTest, FindsEveryMemberThroughRemovalsAndGrowth) {
    std::mt19937 rng(3);
    ZsetMemberTable table;
    std::vector<std::string> present;
    for (int i = 0; i < 1500; ++i) {
        present.push_back("m" + std::to_string(rng()));
        if (table.find(present.back())) {
            present.pop_back();
            continue;
        }
        EXPECT_EQ(table.insert(present.back(), i)->member(), present.back());
    }
    std::vector<std::string> removed;
    while (!present.empty()) {
        const size_t pick = rng() % present.size();
        ZsetRecord::Owned rec = table.erase(present[pick]);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->member(), present[pick]);
        removed.push_back(present[pick]);
        present.erase(present.begin() + static_cast<std::ptrdiff_t>(pick));
        ASSERT_EQ(table.size(), present.size());
        if (present.size() % 50 != 0) continue;
        for (const std::string& m : present) ASSERT_NE(table.find(m), nullptr) << m;
        for (const std::string& m : removed) ASSERT_EQ(table.find(m), nullptr) << m;
    }
}

// ---- Order and ZADD ---------------------------------------------------------

TEST_F(ZsetTest, EqualScoresComeInUnsignedByteOrderShorterFirst) {
    for (const char* m : {"b", "\x80", "ab", "a", ""}) ASSERT_EQ(add("z", 1, m), counted(1));
    add("z", 0.5, "zz");
    add("z", -kInf, "low");
    add("z", kInf, "high");
    const std::vector<Pair> expected = {{-kInf, "low"}, {0.5, "zz"}, {1, ""},     {1, "a"},
                                        {1, "ab"},     {1, "b"},    {1, "\x80"}, {kInf, "high"}};
    EXPECT_EQ(all("z"), expected);
}

struct ZaddCase {
    uint32_t flags;
    double score;
    int result;
    double stored;  // the member's score afterwards
    bool changed;
};

TEST_F(ZsetTest, ZaddFlagsDecideForAPresentMember) {
    const ZaddCase cases[] = {
        {0, 5, 0, 5, false},           {0, 7, 0, 7, true},
        {ZADD_CH, 5, 1, 5, false},     {ZADD_CH, 7, 1, 7, true},
        {ZADD_NX, 7, 0, 5, false},     {ZADD_XX, 7, 0, 7, true},
        {ZADD_GT, 4, 0, 5, false},     {ZADD_GT, 5, 0, 5, false},
        {ZADD_GT | ZADD_CH, 6, 1, 6, true}, {ZADD_GT | ZADD_CH, 5, 0, 5, false},
        {ZADD_LT, 6, 0, 5, false},     {ZADD_LT | ZADD_CH, 5, 0, 5, false},
        {ZADD_LT | ZADD_CH, 4, 1, 4, true}, {ZADD_GT | ZADD_LT, 6, 0, 5, false},
        {ZADD_INCR, 2, 1, 7, true},    {ZADD_INCR | ZADD_NX | ZADD_GT, -1, 1, 4, true},
        {ZADD_INCR, 0, 1, 5, false},
    };
    for (const ZaddCase& c : cases) {
        dict_del(ks, "z");
        ASSERT_EQ(add("z", 5, "a"), counted(1));
        double out = -1;
        bool changed = !c.changed;
        EXPECT_EQ(dict_zadd(ks, "z", c.flags, c.score, "a", &out, &changed), counted(c.result)) << "flags " << c.flags;
        EXPECT_EQ(changed, c.changed) << "flags " << c.flags;
        double stored = 0;
        EXPECT_EQ(dict_zscore(ks, "z", "a", &stored), DictStatus::Ok);
        EXPECT_EQ(stored, c.stored) << "flags " << c.flags;
        if (c.flags & ZADD_INCR) {
            EXPECT_EQ(out, c.stored);
        }
    }
}

TEST_F(ZsetTest, ZaddFlagsDecideForAnAbsentMemberAndNeverLeaveAnEmptyKey) {
    bool changed = true;
    EXPECT_EQ(dict_zadd(ks, "z", ZADD_XX, 1, "a", nullptr, &changed), counted(0));
    EXPECT_FALSE(changed);
    EXPECT_EQ(dict_zadd(ks, "z", ZADD_NX | ZADD_XX | ZADD_GT, 1, "a"), counted(0));
    EXPECT_EQ(dict_exists(ks, "z"), DictStatus::Missing) << "a write that adds nothing created a key";
    EXPECT_EQ(ks->used_memory, kBase);

    for (uint32_t flags : {0u, unsigned(ZADD_NX), unsigned(ZADD_GT), unsigned(ZADD_LT | ZADD_CH)}) {
        const std::string m = "m" + std::to_string(flags);
        EXPECT_EQ(dict_zadd(ks, "z", flags, 3, m, nullptr, &changed), counted(1)) << "flags " << flags;
        EXPECT_TRUE(changed);
    }
    double out = 0;
    EXPECT_EQ(dict_zadd(ks, "z", ZADD_INCR | ZADD_XX, 5, "new", &out), counted(1)) << "INCR ignores XX";
    EXPECT_EQ(out, 5);
    EXPECT_EQ(dict_zincrby(ks, "z", 2.5, "new", &out), DictStatus::Ok);
    EXPECT_EQ(out, 7.5);
    EXPECT_EQ(dict_zcard(ks, "z"), counted(5));
}

// ---- Memory charges ----------------------------------------------------------

TEST_F(ZsetTest, ChargesFollowWhatTheIndexHolds) {
    using ks_test::held_memory;
    ASSERT_EQ(add("z", 1, "a"), counted(1));
    // The entry block, the value with its member table and root leaf, and the member's record.
    EXPECT_EQ(ks->used_memory, kBase + dict_entry_block_charge(1, 8) + dict_alloc_size(sizeof(ZsetValue)) +
                                   peek(ks, "z")->zset->index.memory_bytes() + zset_member_charge(1));
    const uint64_t one = ks->used_memory;
    const std::string long_member(40, 'm');
    add("z", 2, long_member);
    EXPECT_EQ(ks->used_memory, one + zset_member_charge(long_member.size()))
        << "a long member's record, its bytes inside";
    for (int i = 0; i < 300; ++i) add("z", i % 7, "member" + std::to_string(i));
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "grown table and split leaves";
    const uint64_t full = ks->used_memory;
    for (int i = 0; i < 300; ++i) dict_zincrby(ks, "z", 1000 - i, "member" + std::to_string(i), nullptr);
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "new scores split and merge leaves";
    add("z", 9, "a");
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    std::vector<std::string> doomed;
    for (int i = 0; i < 290; ++i) doomed.push_back("member" + std::to_string(i));
    EXPECT_EQ(dict_zrem(ks, "z", std::vector<std::string_view>(doomed.begin(), doomed.end())), counted(290));
    EXPECT_LT(ks->used_memory, full);
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "merged leaves are given back";
    EXPECT_EQ(dict_del(ks, "z"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase);
}

TEST_F(ZsetTest, CopyAndStringOverwriteCarryExactCharges) {
    fill("src", 5);
    EXPECT_EQ(dict_expire_ms(ks, "src", 60000), DictStatus::Ok);
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, before + ks_test::held_by_key(ks, "dst"));
    EXPECT_EQ(ks->used_memory, ks_test::held_memory(ks)) << "the copy and its deadline are charged";
    EXPECT_EQ(all("dst"), all("src"));
    EXPECT_TRUE(dict_pttl(ks, "dst").ok()) << "the copy keeps the deadline";
    add("src", 0, "m5");
    dict_zrem(ks, "src", {"m1"});
    EXPECT_EQ(all("dst").back(), Pair(5, "m5")) << "the copy is independent";
    EXPECT_EQ(dict_zcard(ks, "dst"), counted(5));

    dict_del(ks, "src");
    ASSERT_EQ(dict_set_string(ks, "dst", "xyz", 0), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase + ks_test::string_key_charge(3, 3));
    EXPECT_EQ(dict_zcard(ks, "dst"), (DictCount{DictStatus::Missing, 0}));
}

// ---- Windows ------------------------------------------------------------------

TEST_F(ZsetTest, RankRangesNormaliseTheirEnds) {
    fill("z", 5);
    std::vector<ZMember> got;
    auto range = [&](int64_t start, int64_t stop, bool reverse) {
        dict_zrange(ks, "z", start, stop, reverse, &got);
        return names(got);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(range(0, -1, false), (V{"m1", "m2", "m3", "m4", "m5"}));
    EXPECT_EQ(range(5, 2, false), V{});
    EXPECT_EQ(range(3, 100, false), (V{"m4", "m5"}));
    EXPECT_EQ(range(-2, -1, false), (V{"m4", "m5"}));
    EXPECT_EQ(range(-100, 0, false), (V{"m1"}));
    EXPECT_EQ(range(0, 1, true), (V{"m5", "m4"}));
    EXPECT_EQ(range(-1, -1, true), (V{"m1"}));
    EXPECT_EQ(range(5, 10, false), V{});
    EXPECT_EQ(range(INT64_MIN, INT64_MAX, false).size(), 5u);
    EXPECT_EQ(range(4294967296, 4294967297, false), V{}) << "large ranks are not cut to their low bits";
    EXPECT_EQ(dict_zrange(ks, "missing", 0, -1, false, &got), (DictCount{DictStatus::Missing, 0}));
}

TEST_F(ZsetTest, ScoreWindowsHonourExclusiveBoundsOffsetAndLimit) {
    fill("z", 5);
    std::vector<ZMember> got;
    auto by_score = [&](ZScoreRange r, bool reverse, int64_t offset, int64_t limit) {
        dict_zrangebyscore(ks, "z", r, reverse, offset, limit, &got);
        return names(got);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(by_score({1, 3, true, false}, false, 0, 0), (V{"m2", "m3"}));
    EXPECT_EQ(by_score({1, 3, false, true}, false, 0, 0), (V{"m1", "m2"}));
    EXPECT_EQ(by_score({-kInf, kInf}, true, 1, 2), (V{"m4", "m3"}));
    EXPECT_EQ(by_score({2, 5}, false, 1, 0), (V{"m3", "m4", "m5"}));
    EXPECT_EQ(by_score({2, 5}, false, 1, -3), (V{"m3", "m4", "m5"}));
    EXPECT_EQ(by_score({2, 5}, false, -7, 1), (V{"m2"}));
    EXPECT_EQ(by_score({2, 5}, false, 4, 1), V{});
    EXPECT_EQ(by_score({4, 2}, false, 0, 0), V{});
    EXPECT_EQ(by_score({3, 3, true, false}, false, 0, 0), V{});
    EXPECT_EQ(by_score({2.5, 2.6}, false, 0, 0), V{});
    EXPECT_EQ(dict_zcount(ks, "z", {1, 5, true, true}), counted(3));
    EXPECT_EQ(dict_zcount(ks, "z", {-kInf, kInf}), counted(5));
    EXPECT_EQ(dict_zcount(ks, "z", {6, kInf}), counted(0));
}

// Lexicographic windows over members of one score: "-" and "+", inclusive and
// exclusive ends at present members, ends outside the members, crossed ends.
TEST_F(ZsetTest, LexRanksFollowTheirBounds) {
    for (const char* m : {"b", "c", "d", "e"}) add("z", 0, m);
    auto bound = [](std::string_view text) {
        ZLexBound b;
        if (text == "-" || text == "+") {
            b.kind = text == "-" ? ZLexBound::kMinusInf : ZLexBound::kPlusInf;
        } else {
            b = {ZLexBound::kValue, text.substr(1), text[0] == '('};
        }
        return b;
    };
    struct Case {
        const char* min;
        const char* max;
        int64_t lo, hi;
    };
    const Case cases[] = {
        {"-", "+", 0, 4},   {"[c", "[d", 1, 3}, {"(c", "[d", 2, 3}, {"[c", "(d", 1, 2}, {"(c", "(d", 2, 2},
        {"(c", "(c", 2, 2}, {"[c", "[c", 1, 2}, {"-", "[b", 0, 1},  {"-", "(b", 0, 0},  {"(e", "+", 4, 4},
        {"[a", "[bb", 0, 1}, {"[f", "+", 4, 4}, {"[d", "[b", 2, 2}, {"+", "-", 4, 4},  {"+", "+", 4, 4},
        {"-", "-", 0, 0},   {"[", "+", 0, 4},   {"[cz", "[dz", 2, 3},
    };
    for (const Case& c : cases) {
        int64_t lo = -1, hi = -1;
        dict_zlexranks(ks, "z", bound(c.min), bound(c.max), &lo, &hi);
        EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(c.lo, c.hi)) << c.min << " " << c.max;
    }
    int64_t lo = -1, hi = -1;
    dict_zlexranks(ks, "missing", bound("-"), bound("+"), &lo, &hi);
    EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(int64_t{0}, int64_t{0}));
}

// ---- Removals ------------------------------------------------------------------

TEST_F(ZsetTest, PopsHandOutMembersInPopOrderAndDeleteTheEmptiedKey) {
    fill("z", 5);
    std::vector<ZOwned> out;
    EXPECT_EQ(dict_zpop(ks, "z", 2, false, &out), counted(2));
    EXPECT_EQ(pairs(out), (std::vector<Pair>{{1, "m1"}, {2, "m2"}}));
    EXPECT_EQ(dict_zpop(ks, "z", 2, true, &out), counted(2));
    EXPECT_EQ(pairs(out), (std::vector<Pair>{{5, "m5"}, {4, "m4"}}));
    EXPECT_EQ(dict_zpop(ks, "z", 0, false, &out), counted(0));
    EXPECT_EQ(dict_zpop(ks, "z", -1, false, &out), counted(0));
    EXPECT_EQ(dict_zcard(ks, "z"), counted(1));
    EXPECT_EQ(dict_zpop(ks, "z", int64_t(1) << 40, false, &out), counted(1));
    EXPECT_EQ(dict_exists(ks, "z"), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);
    EXPECT_EQ(dict_zpop(ks, "z", 1, false, &out), (DictCount{DictStatus::Missing, 0}));
}

TEST_F(ZsetTest, RangeRemovalsTakeTheirWindowAndDeleteAnEmptiedKey) {
    fill("z", 6);
    EXPECT_EQ(dict_zremrangebyscore(ks, "z", {2, 4, true, false}), counted(2));
    EXPECT_EQ(all("z"), (std::vector<Pair>{{1, "m1"}, {2, "m2"}, {5, "m5"}, {6, "m6"}}));
    EXPECT_EQ(dict_zremrangebyscore(ks, "z", {7, kInf}), counted(0));
    EXPECT_EQ(dict_zremrangebyrank(ks, "z", -2, -2), counted(1));
    EXPECT_EQ(all("z"), (std::vector<Pair>{{1, "m1"}, {2, "m2"}, {6, "m6"}}));
    EXPECT_EQ(dict_zremrangebyrank(ks, "z", 2, 1), counted(0));
    EXPECT_EQ(dict_zremrangebyrank(ks, "z", 0, 99), counted(3));
    EXPECT_EQ(dict_exists(ks, "z"), DictStatus::Missing);
    fill("z", 3);
    EXPECT_EQ(dict_zremrangebyscore(ks, "z", {-kInf, kInf}), counted(3));
    EXPECT_EQ(dict_exists(ks, "z"), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);
}

// ---- Random picks and many scores ------------------------------------------------

TEST_F(ZsetTest, RandomMembersFollowTheirCountRules) {
    dict_seed_random(ks, 11);
    std::vector<ZOwned> out;
    add("one", 2, "only");
    EXPECT_EQ(dict_zrandmember(ks, "one", -3, &out), counted(3));
    for (const ZOwned& m : out) EXPECT_EQ(Pair(m.score, m.member), Pair(2, "only"));
    fill("four", 4);
    EXPECT_EQ(dict_zrandmember(ks, "four", 10, &out), counted(4));
    std::vector<Pair> got = pairs(out);
    std::sort(got.begin(), got.end(), ref_less);
    EXPECT_EQ(got, all("four"));
    EXPECT_EQ(dict_zrandmember(ks, "four", 0, &out), counted(0));
    EXPECT_EQ(dict_zrandmember(ks, "missing", 5, &out), (DictCount{DictStatus::Missing, 0}));

    fill("big", 1000);
    for (int64_t k : {10, 600}) {  // a few picks, and a large share of the set
        EXPECT_EQ(dict_zrandmember(ks, "big", k, &out), counted(k));
        std::set<std::string> distinct;
        for (const ZOwned& m : out) {
            distinct.insert(m.member);
            EXPECT_EQ("m" + std::to_string(static_cast<int>(m.score)), m.member);
        }
        EXPECT_EQ(distinct.size(), static_cast<size_t>(k)) << "picks with a positive count repeat nothing";
    }
    EXPECT_EQ(dict_zrandmember(ks, "four", -400, &out), counted(400));
    std::set<std::string> drawn;
    for (const ZOwned& m : out) drawn.insert(m.member);
    EXPECT_EQ(drawn.size(), 4u) << "independent picks reach every member";
}

TEST_F(ZsetTest, EmptyMemberIsAnOrdinaryMember) {
    EXPECT_EQ(add("z", 3, ""), counted(1));
    EXPECT_EQ(add("z", 3, ""), counted(0)) << "added once only";
    add("z", 1, "a");
    double score = 0;
    EXPECT_EQ(dict_zscore(ks, "z", "", &score), DictStatus::Ok);
    EXPECT_EQ(score, 3);
    int64_t rank = -1;
    EXPECT_EQ(dict_zrank(ks, "z", "", false, &rank, nullptr), DictStatus::Ok);
    EXPECT_EQ(rank, 1);
    EXPECT_EQ(dict_zrank(ks, "z", "", true, &rank, nullptr), DictStatus::Ok);
    EXPECT_EQ(rank, 0);
    std::vector<std::pair<bool, double>> many;
    dict_zmscore(ks, "z", {"", "b", "a"}, &many);
    EXPECT_EQ(many, (std::vector<std::pair<bool, double>>{{true, 3}, {false, 0}, {true, 1}}));
    EXPECT_EQ(dict_zrem(ks, "z", {"", "a"}), counted(2));
    EXPECT_EQ(dict_exists(ks, "z"), DictStatus::Missing);
}

// ---- Keyspace rules ----------------------------------------------------------------

TEST_F(ZsetTest, KeysOfAnotherTypeAreLeftAlone) {
    put_string(ks, "s", "v");
    const uint64_t before = ks->used_memory;
    EXPECT_EQ(add("s", 1, "a").status, DictStatus::WrongType);
    EXPECT_EQ(dict_zincrby(ks, "s", 1, "a", nullptr), DictStatus::WrongType);
    EXPECT_EQ(dict_zrem(ks, "s", {"v"}), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(dict_zcard(ks, "s"), (DictCount{DictStatus::Missing, 0}));
    std::vector<ZOwned> out;
    EXPECT_EQ(dict_zpop(ks, "s", 1, false, &out), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(dict_zremrangebyrank(ks, "s", 0, -1), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(ks->used_memory, before);
    EXPECT_EQ(entry_str(peek(ks, "s")), "v");
}

TEST_F(ZsetTest, DeadSetsAreMissingAndNewMembersEvictOlderKeys) {
    fill("z", 3);
    dict_expire_ms(ks, "z", 100);
    FakeClock::now += 100;
    EXPECT_EQ(dict_zcard(ks, "z"), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(add("z", 1, "fresh"), counted(1));
    EXPECT_EQ(all("z"), (std::vector<Pair>{{1, "fresh"}}));
    EXPECT_EQ(dict_pttl(ks, "z").status, DictStatus::NotFound);

    dict_set_max_memory(ks, 1);
    const std::string big(400000, 'x');
    put_string(ks, "old", big);
    FakeClock::now += 1;
    put_string(ks, "newer", big);
    FakeClock::now += 1;
    EXPECT_EQ(add("z", 2, std::string(400000, 'y')), counted(1));
    EXPECT_EQ(dict_exists(ks, "old"), DictStatus::Missing) << "the least recently used key goes first";
    EXPECT_EQ(dict_exists(ks, "newer"), DictStatus::Ok);
    EXPECT_EQ(dict_zcard(ks, "z"), counted(2));
}

}  // namespace
