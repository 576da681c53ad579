// unit_lists_test.cpp — list values in the keyspace: growth and its charges,
// order at both ends, empty elements, removal of emptied keys, ranges, indexes,
// removal by value, insertion by pivot, search, the multi-key pop, copies, and a
// long random run checked against a reference sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "keyspace/list_value.h"
#include "unit_keyspace_support.h"
#include "unit_memory_reference.h"

namespace {

using ks_test::counted;
using ks_test::peek;
using ks_test::put_string;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;
using Items = std::vector<std::string>;

class ListsTest : public ks_test::KeyspaceTest {
protected:
    void rpush_all(std::string_view key, const Items& items) {
        for (const std::string& s : items) ASSERT_TRUE(dict_rpush(ks, key, s).ok());
    }
    Items contents(std::string_view key) {
        std::vector<std::string_view> views;
        dict_lrange(ks, key, 0, -1, &views);
        return Items(views.begin(), views.end());
    }
    Items range(std::string_view key, int64_t start, int64_t stop) {
        std::vector<std::string_view> views;
        dict_lrange(ks, key, start, stop, &views);
        return Items(views.begin(), views.end());
    }
    static Items popped(const PoppedElements& p) {
        Items out;
        for (size_t i = 0; i < p.size(); ++i) out.emplace_back(p[i]);
        return out;
    }
    std::vector<int64_t> lpos(std::string_view key, std::string_view v, LposQuery q) {
        std::vector<int64_t> out;
        EXPECT_NE(dict_lpos(ks, key, v, q, &out), DictStatus::WrongType);
        return out;
    }
    uint64_t capacity(std::string_view key) {
        Entry* e = peek(ks, key);
        return e && e->type == KEY_TYPE_LIST ? e->list->capacity() : 0;
    }
    // used_memory recomputed from every block the keyspace holds now.
    uint64_t expected_memory() { return ks_test::held_memory(ks); }
    // A ring of cap element slots.
    static uint64_t ring(uint64_t cap) { return dict_alloc_size(cap * sizeof(Blob)); }
    // A non-empty element's own block.
    static uint64_t element(uint64_t len) { return dict_alloc_size(len + 1); }
};

TEST_F(ListsTest, GrowthDoublesFromFourSlotsAndChargesEachStep) {
    uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_rpush(ks, "key", "e0"), counted(1));
    // The entry block, the payload, a ring of four slots and the element.
    EXPECT_EQ(ks->used_memory - before,
              dict_entry_block_charge(3, 8) + dict_alloc_size(sizeof(ListValue)) + ring(4) + element(2));
    EXPECT_EQ(capacity("key"), 4u);
    for (int i = 1; i < 9; i++) {
        before = ks->used_memory;
        ASSERT_EQ(dict_rpush(ks, "key", "e" + std::to_string(i)), counted(i + 1));
        const uint64_t slots = i == 4 ? ring(8) - ring(4) : i == 8 ? ring(16) - ring(8) : 0;
        EXPECT_EQ(ks->used_memory - before, slots + element(2)) << "element " << i;
    }
    EXPECT_EQ(capacity("key"), 16u);
    EXPECT_EQ(dict_llen(ks, "key"), counted(9));
    EXPECT_EQ(ks->used_memory, expected_memory());
}

TEST_F(ListsTest, PushesKeepOrderAtBothEndsAndRefuseOtherTypes) {
    EXPECT_EQ(dict_lpush(ks, "k", "a"), counted(1));
    EXPECT_EQ(dict_lpush(ks, "k", "b"), counted(2));
    EXPECT_EQ(dict_rpush(ks, "k", "c"), counted(3));
    EXPECT_EQ(contents("k"), (Items{"b", "a", "c"}));
    EXPECT_EQ(dict_lpushx(ks, "k", "x"), counted(4));
    EXPECT_EQ(dict_rpushx(ks, "k", "y"), counted(5));
    EXPECT_EQ(contents("k"), (Items{"x", "b", "a", "c", "y"}));

    EXPECT_EQ(dict_lpushx(ks, "missing", "x").status, DictStatus::Missing);
    EXPECT_EQ(dict_rpushx(ks, "missing", "x").status, DictStatus::Missing);
    EXPECT_EQ(dict_exists(ks, "missing"), DictStatus::Missing);
    EXPECT_EQ(dict_lpush(ks, "", "x").status, DictStatus::Invalid);
    EXPECT_EQ(ks->key_count, 1u);

    ASSERT_NE(put_string(ks, "s", "text"), nullptr);
    const uint64_t before = ks->used_memory;
    EXPECT_EQ(dict_lpush(ks, "s", "x").status, DictStatus::WrongType);
    EXPECT_EQ(dict_rpush(ks, "s", "x").status, DictStatus::WrongType);
    EXPECT_EQ(dict_lpushx(ks, "s", "x").status, DictStatus::Missing);
    EXPECT_EQ(dict_llen(ks, "s").status, DictStatus::WrongType);
    EXPECT_EQ(entry_str(peek(ks, "s")), "text");
    EXPECT_EQ(ks->used_memory, before);
}

TEST_F(ListsTest, EmptyElementsAreStoredFoundAndPopped) {
    rpush_all("k", {"", "x", ""});
    EXPECT_EQ(dict_llen(ks, "k"), counted(3));
    EXPECT_EQ(contents("k"), (Items{"", "x", ""}));
    std::string_view v = "unset";
    EXPECT_EQ(dict_lindex(ks, "k", 0, &v), DictStatus::Ok);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(lpos("k", "", LposQuery{1, true, 0, 0}), (std::vector<int64_t>{0, 2}));
    EXPECT_EQ(lpos("k", "", LposQuery{-1, false, 0, 0}), (std::vector<int64_t>{2}));

    PoppedElements one;
    EXPECT_EQ(dict_lpop(ks, "k", &one), DictStatus::Ok);
    EXPECT_EQ(popped(one), (Items{""}));
    EXPECT_EQ(dict_llen(ks, "k"), counted(2));
    PoppedElements rest;
    EXPECT_EQ(dict_rpop_count(ks, "k", 10, &rest), counted(2));
    EXPECT_EQ(popped(rest), (Items{"", "x"}));
    EXPECT_EQ(dict_exists(ks, "k"), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);
}

TEST_F(ListsTest, PopsRemoveTheKeyWithTheirLastElement) {
    rpush_all("only", {"v"});
    const uint64_t keys = ks->key_count;
    PoppedElements got;
    EXPECT_EQ(dict_rpop(ks, "only", &got), DictStatus::Ok);
    EXPECT_EQ(popped(got), (Items{"v"}));
    EXPECT_EQ(ks->key_count, keys - 1);
    EXPECT_EQ(dict_exists(ks, "only"), DictStatus::Missing);
    EXPECT_EQ(dict_rpop(ks, "only", &got), DictStatus::Missing);
    EXPECT_EQ(ks->used_memory, kBase);

    rpush_all("k", {"a", "b", "c", "d"});
    PoppedElements none;
    EXPECT_EQ(dict_lpop_count(ks, "k", 0, &none).value, 0);
    EXPECT_EQ(dict_lpop_count(ks, "k", -3, &none).value, 0);
    EXPECT_EQ(none.size(), 0u);
    PoppedElements head, tail;
    EXPECT_EQ(dict_lpop_count(ks, "k", 2, &head), counted(2));
    EXPECT_EQ(popped(head), (Items{"a", "b"}));
    EXPECT_EQ(dict_rpop_count(ks, "k", 5, &tail), counted(2));
    EXPECT_EQ(popped(tail), (Items{"d", "c"}));
    EXPECT_EQ(dict_exists(ks, "k"), DictStatus::Missing);
    EXPECT_EQ(dict_lpop_count(ks, "k", 5, &tail).value, 0);

    ASSERT_NE(put_string(ks, "s", "x"), nullptr);
    EXPECT_EQ(dict_lpop(ks, "s", &got), DictStatus::WrongType);
    EXPECT_EQ(dict_rpop_count(ks, "s", 2, &got).status, DictStatus::WrongType);
    EXPECT_EQ(dict_exists(ks, "s"), DictStatus::Ok);
}

TEST_F(ListsTest, RangesNormaliseBothEnds) {
    rpush_all("k", {"a", "b", "c"});
    EXPECT_EQ(range("k", -2, -1), (Items{"b", "c"}));
    EXPECT_EQ(range("k", 5, 10), Items{});
    EXPECT_EQ(range("k", -100, 0), (Items{"a"}));
    EXPECT_EQ(range("k", 1, INT64_MAX), (Items{"b", "c"}));
    EXPECT_EQ(range("k", INT64_MIN, -3), (Items{"a"}));
    EXPECT_EQ(range("k", 2, 1), Items{});
    EXPECT_EQ(range("missing", 0, -1), Items{});
    ASSERT_NE(put_string(ks, "s", "x"), nullptr);
    std::vector<std::string_view> views;
    EXPECT_EQ(dict_lrange(ks, "s", 0, -1, &views).status, DictStatus::WrongType);
}

TEST_F(ListsTest, IndexAndSetAddressPositionsFromEitherEnd) {
    rpush_all("k", {"a", "b", "c"});
    std::string_view v;
    EXPECT_EQ(dict_lindex(ks, "k", -1, &v), DictStatus::Ok);
    EXPECT_EQ(v, "c");
    EXPECT_EQ(dict_lindex(ks, "k", 3, &v), DictStatus::OutOfRange);
    EXPECT_EQ(dict_lindex(ks, "k", -4, &v), DictStatus::OutOfRange);
    EXPECT_EQ(dict_lindex(ks, "missing", 0, &v), DictStatus::Missing);

    const uint64_t before = ks->used_memory;
    EXPECT_EQ(dict_lset(ks, "k", -2, "longer"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, before + element(6) - element(1)) << "a set moves the element's block only";
    EXPECT_EQ(dict_lset(ks, "k", 0, ""), DictStatus::Ok);
    EXPECT_EQ(contents("k"), (Items{"", "longer", "c"}));
    EXPECT_EQ(dict_lset(ks, "k", 3, "x"), DictStatus::OutOfRange);
    EXPECT_EQ(dict_lset(ks, "missing", 0, "x"), DictStatus::Missing);
    EXPECT_EQ(dict_exists(ks, "missing"), DictStatus::Missing);
    ASSERT_NE(put_string(ks, "s", "x"), nullptr);
    EXPECT_EQ(dict_lset(ks, "s", 0, "x"), DictStatus::WrongType);
    EXPECT_EQ(dict_lindex(ks, "s", 0, &v), DictStatus::WrongType);
    EXPECT_EQ(ks->used_memory, expected_memory());
}

TEST_F(ListsTest, RemoveByValueHonoursCountAndDirection) {
    rpush_all("k", {"a", "x", "b", "x", "x"});
    EXPECT_EQ(dict_lrem(ks, "k", -2, "x"), counted(2));
    EXPECT_EQ(contents("k"), (Items{"a", "x", "b"}));
    EXPECT_EQ(ks->used_memory, expected_memory());
    dict_del(ks, "k");

    rpush_all("k", {"a", "x", "b", "x", "x"});
    EXPECT_EQ(dict_lrem(ks, "k", 2, "x"), counted(2));
    EXPECT_EQ(contents("k"), (Items{"a", "b", "x"}));
    dict_del(ks, "k");

    rpush_all("k", {"a", "x", "b", "x", "x"});
    EXPECT_EQ(dict_lrem(ks, "k", 0, "x"), counted(3));
    EXPECT_EQ(contents("k"), (Items{"a", "b"}));
    EXPECT_EQ(dict_lrem(ks, "k", 0, "absent").value, 0);
    EXPECT_EQ(dict_lrem(ks, "k", 0, "a"), counted(1));
    EXPECT_EQ(dict_lrem(ks, "k", INT64_MIN, "b"), counted(1));
    EXPECT_EQ(dict_exists(ks, "k"), DictStatus::Missing) << "the emptied list must go";
    EXPECT_EQ(ks->used_memory, kBase);

    rpush_all("e", {"a", "", "b", "", "c", ""});
    EXPECT_EQ(dict_lrem(ks, "e", -2, ""), counted(2));
    EXPECT_EQ(contents("e"), (Items{"a", "", "b", "c"}));
    EXPECT_EQ(dict_lrem(ks, "missing", 0, "x").value, 0);
    ASSERT_NE(put_string(ks, "s", "x"), nullptr);
    EXPECT_EQ(dict_lrem(ks, "s", 0, "x").status, DictStatus::WrongType);
}

TEST_F(ListsTest, InsertByPivotUsesTheFirstOccurrence) {
    rpush_all("k", {"a", "p", "b", "p"});
    EXPECT_EQ(dict_linsert(ks, "k", true, "p", "x"), counted(5));
    EXPECT_EQ(dict_linsert(ks, "k", false, "p", "y"), counted(6));
    EXPECT_EQ(contents("k"), (Items{"a", "x", "p", "y", "b", "p"}));
    EXPECT_EQ(dict_linsert(ks, "k", true, "nope", "z").status, DictStatus::NotFound);
    EXPECT_EQ(dict_llen(ks, "k"), counted(6));
    EXPECT_EQ(dict_linsert(ks, "k", false, "p", ""), counted(7));
    EXPECT_EQ(dict_linsert(ks, "k", true, "", "before-empty"), counted(8));
    EXPECT_EQ(contents("k"), (Items{"a", "x", "p", "before-empty", "", "y", "b", "p"}));
    EXPECT_EQ(capacity("k"), 8u);
    EXPECT_EQ(dict_linsert(ks, "missing", true, "p", "x").status, DictStatus::Missing);
    EXPECT_EQ(dict_exists(ks, "missing"), DictStatus::Missing);
    ASSERT_NE(put_string(ks, "s", "x"), nullptr);
    EXPECT_EQ(dict_linsert(ks, "s", true, "x", "y").status, DictStatus::WrongType);
    EXPECT_EQ(ks->used_memory, expected_memory());
}

TEST_F(ListsTest, SearchByRankCountAndMaxlen) {
    rpush_all("k", {"a", "b", "a", "b", "a"});
    using V = std::vector<int64_t>;
    EXPECT_EQ(lpos("k", "a", LposQuery{1, false, 0, 0}), V{0});
    EXPECT_EQ(lpos("k", "a", LposQuery{2, false, 0, 0}), V{2});
    EXPECT_EQ(lpos("k", "a", LposQuery{-1, false, 0, 0}), V{4});
    EXPECT_EQ(lpos("k", "a", LposQuery{-2, false, 0, 0}), V{2});
    EXPECT_EQ(lpos("k", "a", LposQuery{4, false, 0, 0}), V{});
    EXPECT_EQ(lpos("k", "a", LposQuery{1, true, 0, 0}), (V{0, 2, 4}));
    EXPECT_EQ(lpos("k", "a", LposQuery{1, true, 2, 0}), (V{0, 2}));
    EXPECT_EQ(lpos("k", "a", LposQuery{-1, true, 0, 0}), (V{4, 2, 0}));
    EXPECT_EQ(lpos("k", "a", LposQuery{1, false, 0, 2}), V{0});
    EXPECT_EQ(lpos("k", "a", LposQuery{2, false, 0, 2}), V{});
    EXPECT_EQ(lpos("k", "b", LposQuery{-1, true, 0, 2}), V{3});
    EXPECT_EQ(lpos("k", "a", LposQuery{INT64_MIN, false, 0, 0}), V{});
    EXPECT_EQ(lpos("k", "A", LposQuery{1, true, 0, 0}), V{});
    EXPECT_EQ(lpos("missing", "a", LposQuery{}), V{});
    ASSERT_NE(put_string(ks, "s", "a"), nullptr);
    std::vector<int64_t> out;
    EXPECT_EQ(dict_lpos(ks, "s", "a", LposQuery{}, &out), DictStatus::WrongType);
}

TEST_F(ListsTest, MultiKeyPopTakesTheFirstListGiven) {
    ASSERT_NE(put_string(ks, "str", "x"), nullptr);
    rpush_all("l", {"a", "b", "c"});
    const std::string_view keys[] = {"missing", "str", "l"};
    PoppedElements got;
    EXPECT_EQ(dict_lmpop(ks, keys, 3, false, 10, &got), counted(2));
    EXPECT_EQ(popped(got), (Items{"c", "b", "a"}));
    EXPECT_EQ(dict_exists(ks, "l"), DictStatus::Missing);
    PoppedElements none;
    EXPECT_EQ(dict_lmpop(ks, keys, 3, true, 1, &none).status, DictStatus::Missing);
    EXPECT_EQ(none.size(), 0u);

    rpush_all("m", {"", "y"});
    const std::string_view two[] = {"m", "l"};
    PoppedElements first;
    EXPECT_EQ(dict_lmpop(ks, two, 2, true, 0, &first), counted(0));
    EXPECT_EQ(popped(first), (Items{""})) << "a count below 1 pops one";
    EXPECT_EQ(contents("m"), (Items{"y"}));
}

TEST_F(ListsTest, CopyIsIndependentAndSizedToTheElementCount) {
    rpush_all("src", {"a", "bb", "", "d", "e"});
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_copy(ks, "src", "dst", false), DictStatus::Ok);
    EXPECT_EQ(capacity("dst"), 5u);
    EXPECT_EQ(ks->used_memory - before, dict_entry_block_charge(3, 8) + dict_alloc_size(sizeof(ListValue)) + ring(5) +
                                            3 * element(1) + element(2))
        << "the empty element holds no block";
    PoppedElements got;
    EXPECT_EQ(dict_lpop_count(ks, "dst", 2, &got), counted(2));
    EXPECT_EQ(contents("src"), (Items{"a", "bb", "", "d", "e"}));
    EXPECT_EQ(dict_rpush(ks, "dst", "f"), counted(4));
    EXPECT_EQ(dict_rpush(ks, "dst", "g"), counted(5));
    EXPECT_EQ(dict_rpush(ks, "dst", "h"), counted(6));
    EXPECT_EQ(capacity("dst"), 10u);
    EXPECT_EQ(contents("dst"), (Items{"", "d", "e", "f", "g", "h"}));
    EXPECT_EQ(ks->used_memory, expected_memory());
}

TEST_F(ListsTest, StringWriteReleasesEveryListCharge) {
    rpush_all("k", {"one", "two", "three", "four", "five"});
    ASSERT_EQ(dict_set_string(ks, "k", "v", 0), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase + ks_test::string_key_charge(1, 1));
    dict_del(ks, "k");
    EXPECT_EQ(ks->used_memory, kBase);
}

TEST_F(ListsTest, PushesEvictOlderKeysUnderTheLimit) {
    dict_set_max_memory(ks, 1);
    const std::string big(600 * 1024, 'x');
    ASSERT_EQ(dict_rpush(ks, "old", big), counted(1));
    ks_test::FakeClock::now += 1;
    ASSERT_EQ(dict_rpush(ks, "new", big), counted(1));
    EXPECT_EQ(dict_exists(ks, "old"), DictStatus::Missing);
    EXPECT_EQ(dict_llen(ks, "new"), counted(1));
    EXPECT_LE(ks->used_memory, uint64_t{1} << 20);
}

// Removal by value on the reference sequence: |count| matches from the head
// (count > 0) or the tail (count < 0), every match for 0.
int64_t ref_lrem(std::deque<std::string>* ref, int64_t count, const std::string& v) {
    if (count < 0) {
        std::reverse(ref->begin(), ref->end());
        const int64_t removed = ref_lrem(ref, -count, v);
        std::reverse(ref->begin(), ref->end());
        return removed;
    }
    int64_t removed = 0;
    for (auto it = ref->begin(); it != ref->end();) {
        if (*it == v && (count == 0 || removed < count)) {
            it = ref->erase(it);
            removed++;
        } else {
            ++it;
        }
    }
    return removed;
}

// A list used as a queue in either direction cycles through its ring: the
// capacity stays at 4 and the order holds across every wrap.
TEST_F(ListsTest, QueueUseWrapsTheRingWithoutGrowing) {
    rpush_all("q", {"0", "1", "2", "3"});
    for (int i = 4; i < 1000; i++) {
        PoppedElements got;
        ASSERT_EQ(dict_lpop(ks, "q", &got), DictStatus::Ok);
        ASSERT_EQ(got[0], std::to_string(i - 4));
        ASSERT_EQ(dict_rpush(ks, "q", std::to_string(i)), counted(4));
    }
    EXPECT_EQ(contents("q"), (Items{"996", "997", "998", "999"}));
    for (int i = 1000; i < 2000; i++) {
        PoppedElements got;
        ASSERT_EQ(dict_rpop(ks, "q", &got), DictStatus::Ok);
        ASSERT_EQ(dict_lpush(ks, "q", std::to_string(i)), counted(4));
    }
    EXPECT_EQ(contents("q"), (Items{"1999", "1998", "1997", "1996"}));
    EXPECT_EQ(capacity("q"), 4u);
    EXPECT_EQ(ks->used_memory, expected_memory());
}

// Random pushes, pops, inserts, removals and sets at both ends and in the middle,
// compared after every step with a deque; the ring wraps and grows many times.
TEST_F(ListsTest, RandomOperationsMatchAReferenceSequence) {
    std::mt19937 rng(12345);
    std::deque<std::string> ref;
    const std::string values[] = {"", "a", "b", "ab", "ccc"};
    for (int step = 0; step < 4000; step++) {
        const std::string v = values[rng() % 5];
        switch (rng() % 7) {
            case 0:
                ref.push_front(v);
                ASSERT_EQ(dict_lpush(ks, "k", v), counted(static_cast<int64_t>(ref.size())));
                break;
            case 1:
                ref.push_back(v);
                ASSERT_EQ(dict_rpush(ks, "k", v), counted(static_cast<int64_t>(ref.size())));
                break;
            case 2: case 3: {
                const bool head = rng() % 2;
                const int64_t n = static_cast<int64_t>(rng() % 3) + 1;
                PoppedElements got;
                const int64_t expected = std::min<int64_t>(n, static_cast<int64_t>(ref.size()));
                ASSERT_EQ((head ? dict_lpop_count(ks, "k", n, &got) : dict_rpop_count(ks, "k", n, &got)).value, expected);
                for (int64_t i = 0; i < expected; i++) {
                    ASSERT_EQ(got[static_cast<size_t>(i)], head ? ref.front() : ref.back());
                    head ? ref.pop_front() : ref.pop_back();
                }
                break;
            }
            case 4: {
                if (ref.empty()) break;
                const size_t at = rng() % ref.size();
                const std::string pivot = ref[at];
                const size_t first = static_cast<size_t>(std::find(ref.begin(), ref.end(), pivot) - ref.begin());
                ref.insert(ref.begin() + static_cast<long>(first), v);
                ASSERT_EQ(dict_linsert(ks, "k", true, pivot, v), counted(static_cast<int64_t>(ref.size())));
                break;
            }
            case 5: {
                const int64_t count = static_cast<int64_t>(rng() % 5) - 2;
                const int64_t removed = ref_lrem(&ref, count, v);
                ASSERT_EQ(dict_lrem(ks, "k", count, v).value, removed);
                break;
            }
            default:
                if (ref.empty()) break;
                const size_t at = rng() % ref.size();
                ref[at] = v;
                ASSERT_EQ(dict_lset(ks, "k", static_cast<int64_t>(at), v), DictStatus::Ok);
        }
        ASSERT_EQ(contents("k"), Items(ref.begin(), ref.end())) << "step " << step;
        ASSERT_EQ(dict_exists(ks, "k"), ref.empty() ? DictStatus::Missing : DictStatus::Ok);
        ASSERT_EQ(ks->used_memory, expected_memory()) << "step " << step;
    }
}

}  // namespace
