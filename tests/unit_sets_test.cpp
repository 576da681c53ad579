// unit_sets_test.cpp — set values in the keyspace: member order, the empty
// member, exact memory charges, a large set checked against a plain reference
// through churn, moves, random members and pops (their rules and their reach
// over the whole set), the algebra and its storing form, the intersection's
// size, position-cursor scans, other types and copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_support.h"
#include "unit_memory_reference.h"

namespace {

using ks_test::counted;
using ks_test::string_key_charge;
using Views = std::vector<std::string_view>;
using Strings = std::vector<std::string>;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;

using ks_test::held_by_key;
using ks_test::held_memory;

class SetsTest : public ks_test::KeyspaceTest {
protected:
    void SetUp() override {
        KeyspaceTest::SetUp();
        dict_seed_random(ks, 7);
    }
    Strings members(std::string_view key) {
        Views out;
        dict_smembers(ks, key, &out);
        return Strings(out.begin(), out.end());
    }
    DictCount add(std::string_view key, const Views& m) { return dict_sadd(ks, key, m); }
    static Strings strings(const Views& v) { return Strings(v.begin(), v.end()); }
};

}  // namespace

TEST_F(SetsTest, MembersKeepInsertionOrderAndTheEmptyMemberCounts) {
    EXPECT_EQ(add("s", {"a", "b", "a"}), counted(2));
    EXPECT_EQ(add("s", {"a", "c"}), counted(1));
    EXPECT_EQ(members("s"), (Strings{"a", "b", "c"}));
    EXPECT_EQ(add("s", {"", ""}), counted(1)) << "the empty member is added once";
    EXPECT_EQ(dict_sismember(ks, "s", ""), DictStatus::Ok);
    EXPECT_EQ(dict_scard(ks, "s"), counted(4));
    EXPECT_EQ(dict_srem(ks, "s", {"b", "zz"}), counted(1));
    EXPECT_EQ(members("s"), (Strings{"a", "c", ""}));
    EXPECT_EQ(dict_srem(ks, "s", {""}), counted(1));
    EXPECT_EQ(dict_sismember(ks, "s", ""), DictStatus::Missing);
    EXPECT_EQ(dict_srem(ks, "s", {"a", "c"}), counted(2));
    EXPECT_EQ(dict_exists(ks, "s"), DictStatus::Missing) << "removing the last member deletes the key";
    EXPECT_EQ(ks->used_memory, kBase);
    EXPECT_EQ(dict_srem(ks, "s", {"a"}), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(dict_scard(ks, "s"), (DictCount{DictStatus::Missing, 0}));
}

TEST_F(SetsTest, ChargesFollowWhatTheStoreHolds) {
    add("st", {"a", "bb", "ccc", "d"});
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    const uint64_t four = ks->used_memory;
    const std::string long_member(40, 'm');
    add("st", {long_member});
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    EXPECT_GE(ks->used_memory - four, dict_alloc_size(long_member.size() + 1)) << "a long member's own block";
    for (int i = 0; i < 20; i++) add("st", {"member" + std::to_string(i)});
    EXPECT_EQ(ks->used_memory, held_memory(ks)) << "past the flat store: slots and lookup table";
    dict_srem(ks, "st", {"bb", long_member});
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    dict_set_string(ks, "st", "x", 0);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(2, 1));
}

TEST_F(SetsTest, LargeSetMatchesAReferenceThroughChurn) {
    std::mt19937 rng(99);
    Strings ref;            // members in order
    std::set<std::string> in;
    for (int round = 0; round < 6; round++) {
        for (int op = 0; op < 8000; op++) {
            const std::string m = "m" + std::to_string(rng() % 7000);
            if (rng() % 10 < (round % 2 ? 3u : 7u)) {
                const bool fresh = in.insert(m).second;
                if (fresh) ref.push_back(m);
                ASSERT_EQ(add("big", {m}), counted(fresh ? 1 : 0));
            } else {
                const bool present = in.erase(m) == 1;
                if (present) ref.erase(std::find(ref.begin(), ref.end(), m));
                ASSERT_EQ(dict_srem(ks, "big", {m}).value, present ? 1 : 0);
            }
        }
        ASSERT_EQ(members("big"), ref) << "round " << round;
        Strings scanned;
        uint64_t cursor = 0;
        do {
            Views page;
            ASSERT_EQ(dict_sscan(ks, "big", &cursor, 333, &page), DictStatus::Ok);
            scanned.insert(scanned.end(), page.begin(), page.end());
        } while (cursor != 0);
        std::sort(scanned.begin(), scanned.end());
        Strings sorted = ref;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(scanned, sorted) << "round " << round;
        EXPECT_EQ(ks->used_memory, held_memory(ks)) << "round " << round;
        Views picks;
        dict_srandmember(ks, "big", 50, &picks);
        for (std::string_view p : picks) EXPECT_EQ(in.count(std::string(p)), 1u) << p;
    }
}

TEST_F(SetsTest, MoveChecksBothSides) {
    add("src", {"a", "b", "c"});
    add("dst", {"b"});
    EXPECT_EQ(dict_smove(ks, "src", "src", "a"), DictStatus::Ok) << "onto itself: the member is there";
    EXPECT_EQ(dict_smove(ks, "src", "src", "zz"), DictStatus::Missing);
    EXPECT_EQ(members("src"), (Strings{"a", "b", "c"}));
    EXPECT_EQ(dict_smove(ks, "src", "dst", "zz"), DictStatus::Missing);
    EXPECT_EQ(dict_smove(ks, "none", "dst", "a"), DictStatus::Missing);
    dict_set_string(ks, "str", "v", 0);
    EXPECT_EQ(dict_smove(ks, "src", "str", "a"), DictStatus::WrongType) << "a destination of another type";
    EXPECT_EQ(dict_smove(ks, "src", "str", "zz"), DictStatus::WrongType) << "the type is checked before the member";
    EXPECT_EQ(dict_smove(ks, "str", "dst", "v"), DictStatus::WrongType);
    EXPECT_EQ(dict_smove(ks, "none", "str", "v"), DictStatus::WrongType);
    EXPECT_EQ(members("src"), (Strings{"a", "b", "c"}));
    EXPECT_EQ(dict_smove(ks, "src", "dst", "b"), DictStatus::Ok) << "the destination already holds it";
    EXPECT_EQ(members("src"), (Strings{"a", "c"}));
    EXPECT_EQ(members("dst"), (Strings{"b"}));
    EXPECT_EQ(dict_smove(ks, "src", "dst", "c"), DictStatus::Ok);
    EXPECT_EQ(members("dst"), (Strings{"b", "c"}));
    EXPECT_EQ(dict_smove(ks, "src", "fresh", "a"), DictStatus::Ok);
    EXPECT_EQ(dict_exists(ks, "src"), DictStatus::Missing) << "moving the last member deletes the source";
    EXPECT_EQ(members("fresh"), (Strings{"a"}));
    add("e", {""});
    EXPECT_EQ(dict_smove(ks, "e", "dst", ""), DictStatus::Ok) << "the empty member moves like any other";
    EXPECT_EQ(members("dst"), (Strings{"b", "c", ""}));
}

TEST_F(SetsTest, RandomMembersFollowTheCountRules) {
    add("two", {"x", "y"});
    Views out;
    EXPECT_EQ(dict_srandmember(ks, "two", -5, &out), counted(5));
    for (std::string_view v : out) EXPECT_TRUE(v == "x" || v == "y");
    EXPECT_EQ(dict_srandmember(ks, "two", 5, &out), counted(2));
    EXPECT_EQ(std::set<std::string_view>(out.begin(), out.end()).size(), 2u);
    EXPECT_EQ(dict_srandmember(ks, "two", 0, &out), counted(0));
    EXPECT_EQ(dict_srandmember(ks, "two", 1, &out), counted(1));
    EXPECT_EQ(dict_srandmember(ks, "missing", 3, &out), (DictCount{DictStatus::Missing, 0}));
    EXPECT_EQ(members("two"), (Strings{"x", "y"})) << "random reads change nothing";

    // Every member is reachable, the ones past position 32767 included, and a
    // positive count gives distinct members.
    std::vector<std::string> names;
    for (int i = 0; i < 40000; i++) names.push_back(std::to_string(i));
    dict_sadd(ks, "wide", Views(names.begin(), names.end()));
    dict_srem(ks, "wide", {"0", "1", "2"});  // positions now go through the order index
    EXPECT_EQ(dict_srandmember(ks, "wide", -20000, &out), counted(20000));
    const bool far = std::any_of(out.begin(), out.end(), [](std::string_view v) { return std::stoi(std::string(v)) > 32770; });
    EXPECT_TRUE(far);
    EXPECT_EQ(dict_srandmember(ks, "wide", 30000, &out), counted(30000));
    EXPECT_EQ(std::set<std::string_view>(out.begin(), out.end()).size(), 30000u);
    EXPECT_EQ(dict_srandmember(ks, "wide", 100, &out), counted(100));
    EXPECT_EQ(std::set<std::string_view>(out.begin(), out.end()).size(), 100u);
    for (std::string_view v : out) EXPECT_EQ(dict_sismember(ks, "wide", v), DictStatus::Ok);
}

TEST_F(SetsTest, PopRemovesExactlyWhatItReturns) {
    add("s", {"a", "b", "c"});
    Strings out;
    EXPECT_EQ(dict_spop(ks, "s", 0, &out), counted(0));
    EXPECT_EQ(dict_scard(ks, "s"), counted(3));
    EXPECT_EQ(dict_spop(ks, "s", 10, &out), counted(3));
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, (Strings{"a", "b", "c"}));
    EXPECT_EQ(dict_exists(ks, "s"), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);
    EXPECT_EQ(dict_spop(ks, "s", 1, &out), (DictCount{DictStatus::Missing, 0}));

    Strings names;
    for (int i = 0; i < 5000; i++) names.push_back("p" + std::to_string(i));
    dict_sadd(ks, "big", Views(names.begin(), names.end()));
    std::set<std::string> left(names.begin(), names.end());
    for (int64_t k : {1, 7, 300, 1000, 3000}) {
        ASSERT_EQ(dict_spop(ks, "big", k, &out), counted(k));
        for (const std::string& m : out) EXPECT_EQ(left.erase(m), 1u) << "popped twice or never present: " << m;
    }
    const Strings rest = members("big");
    EXPECT_EQ(std::set<std::string>(rest.begin(), rest.end()), left);
    Strings in_order;
    for (const std::string& n : names)
        if (left.count(n)) in_order.push_back(n);
    EXPECT_EQ(rest, in_order) << "the members left keep their order";
}

TEST_F(SetsTest, AlgebraKeepsTheFirstSetsOrder) {
    add("ab", {"a", "b"});
    add("bc", {"b", "c"});
    add("abc", {"a", "b", "c"});
    add("b", {"b"});
    dict_set_string(ks, "str", "v", 0);
    Views out;
    EXPECT_EQ(dict_sunion(ks, {"ab", "bc"}, &out), counted(3));
    EXPECT_EQ(out, (Views{"a", "b", "c"}));
    EXPECT_EQ(dict_sdiff(ks, {"abc", "b", "missing"}, &out), counted(2));
    EXPECT_EQ(out, (Views{"a", "c"}));
    EXPECT_EQ(dict_sinter(ks, {"ab", "missing"}, &out), counted(0));
    EXPECT_EQ(dict_sinter(ks, {"abc", "bc"}, &out), counted(2));
    EXPECT_EQ(out, (Views{"b", "c"}));
    EXPECT_EQ(dict_sinter(ks, {"abc", "str"}, &out), counted(0)) << "another type excludes everything";
    EXPECT_EQ(dict_sunion(ks, {"str", "bc", "missing", "ab"}, &out), counted(3)) << "other types are skipped";
    EXPECT_EQ(out, (Views{"b", "c", "a"}));
    EXPECT_EQ(dict_sdiff(ks, {"abc", "str"}, &out), counted(3));
    EXPECT_EQ(dict_sdiff(ks, {"abc", "abc"}, &out), counted(0));
    EXPECT_EQ(dict_sdiff(ks, {"missing", "abc"}, &out), counted(0));
    EXPECT_EQ(dict_sinter(ks, {"bc"}, &out), counted(2));

    // Many keys (repeats included): members still come once, in order of first appearance.
    Views many;
    Strings expected;
    std::vector<std::string> names;
    for (int i = 0; i < 12; i++) names.push_back("k" + std::to_string(i));
    for (int i = 0; i < 12; i++) {
        add(names[static_cast<size_t>(i)], {std::to_string(i % 5), std::to_string(i % 7)});
        many.push_back(names[static_cast<size_t>(i)]);
        many.push_back("ab");
    }
    for (const char* m : {"0", "a", "b", "1", "2", "3", "4", "5", "6"}) expected.push_back(m);
    EXPECT_EQ(dict_sunion(ks, many, &out), counted(9));
    EXPECT_EQ(strings(out), expected);
}

TEST_F(SetsTest, StoreReplacesTheDestinationEvenWhenItIsASource) {
    add("d", {"x", "y"});
    add("other", {"y", "z"});
    dict_expire_ms(ks, "d", 100000);
    EXPECT_EQ(dict_sstore(ks, "d", SET_OP_UNION, {"d", "d", "other"}), counted(3));
    EXPECT_EQ(members("d"), (Strings{"x", "y", "z"}));
    EXPECT_EQ(dict_pttl(ks, "d").status, DictStatus::NotFound) << "the stored key carries no deadline";
    const uint64_t with_d = ks->used_memory;
    const uint64_t d_held = held_by_key(ks, "d");
    dict_del(ks, "d");
    const uint64_t without_d = ks->used_memory;
    EXPECT_EQ(with_d - without_d, d_held);

    dict_set_string(ks, "dst", "a long string value", 0);
    EXPECT_EQ(dict_sstore(ks, "dst", SET_OP_INTER, {"other", "other"}), counted(2));
    EXPECT_EQ(ks->used_memory, without_d + held_by_key(ks, "dst")) << "the string's charges are gone";
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    EXPECT_EQ(dict_sstore(ks, "dst", SET_OP_DIFF, {"other", "other"}), counted(0));
    EXPECT_EQ(dict_exists(ks, "dst"), DictStatus::Missing) << "an empty result deletes the destination";
    EXPECT_EQ(ks->used_memory, without_d);
    EXPECT_EQ(dict_sstore(ks, "dst", SET_OP_UNION, {"nothing"}), counted(0));
    EXPECT_EQ(dict_exists(ks, "dst"), DictStatus::Missing);
}

TEST_F(SetsTest, IntersectionSizeHonoursTheLimitAndTypes) {
    add("abc", {"a", "b", "c"});
    add("bc", {"b", "c"});
    EXPECT_EQ(dict_sintercard(ks, {"abc", "bc"}, 0), counted(2));
    EXPECT_EQ(dict_sintercard(ks, {"abc", "bc"}, 1), counted(1));
    EXPECT_EQ(dict_sintercard(ks, {"abc", "bc"}, 5), counted(2));
    EXPECT_EQ(dict_sintercard(ks, {"abc", "missing"}, 0), counted(0));
    EXPECT_EQ(dict_sintercard(ks, {"abc"}, 0), counted(3));
    dict_set_string(ks, "str", "v", 0);
    EXPECT_EQ(dict_sintercard(ks, {"missing", "str"}, 0).status, DictStatus::WrongType)
        << "another type is reported even after a missing key";
}

TEST_F(SetsTest, OtherTypesAreRefusedAndCopiesAreIndependent) {
    dict_set_string(ks, "str", "v", 0);
    Views out;
    Strings popped;
    EXPECT_EQ(add("str", {"a"}).status, DictStatus::WrongType);
    EXPECT_EQ(dict_srem(ks, "str", {"a"}).status, DictStatus::WrongType);
    EXPECT_EQ(dict_scard(ks, "str").status, DictStatus::WrongType);
    EXPECT_EQ(dict_sismember(ks, "str", "v"), DictStatus::WrongType);
    EXPECT_EQ(dict_smembers(ks, "str", &out).status, DictStatus::WrongType);
    EXPECT_EQ(dict_srandmember(ks, "str", 1, &out).status, DictStatus::WrongType);
    EXPECT_EQ(dict_spop(ks, "str", 1, &popped).status, DictStatus::WrongType);

    add("src", {"a", "b", "c", "d", "e"});
    dict_srem(ks, "src", {"c"});
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, before + held_by_key(ks, "dst"));
    EXPECT_EQ(ks->used_memory, held_memory(ks));
    add("dst", {"z"});
    EXPECT_EQ(members("src"), (Strings{"a", "b", "d", "e"}));
    EXPECT_EQ(members("dst"), (Strings{"a", "b", "d", "e", "z"}));
    EXPECT_STREQ(dict_type_name(ks, "dst"), "set");
}
