// unit_entry_test.cpp — the compact entry: string values kept inline in the
// entry's block or moved to an external block as they change size, the entry
// staying at one address meanwhile; rename and copy of both kinds of value; keys
// short and long; and the eviction order of equal stamps in one bucket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_support.h"
#include "unit_memory_reference.h"

namespace {

using ks_test::counted;
using ks_test::expect_table_consistent;
using ks_test::FakeClock;
using ks_test::peek;
using ks_test::string_key_charge;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;

class EntryTest : public ks_test::KeyspaceTest {
protected:
    // Checks the value of a string key, its NUL and whether it lives inline, and
    // that the entry is still the one at `expected`.
    void expect_value(std::string_view key, const Entry* expected, std::string_view value, bool external) {
        const Entry* e = peek(ks, key);
        ASSERT_EQ(e, expected) << key;
        EXPECT_EQ(entry_str(e), value) << key;
        EXPECT_EQ(entry_str(e).data()[value.size()], '\0') << key;
        EXPECT_EQ(entry_str_external(e), external) << key;
        EXPECT_EQ(entry_key(e), key);
        EXPECT_EQ(entry_key(e).data()[key.size()], '\0');
    }
    // The keys in eviction order, read from the index.
    std::vector<std::string> lru_order() const {
        std::vector<std::string> keys;
        for (const LruSlot& slot : *ks->lru_index) keys.emplace_back(entry_key(slot.entry));
        return keys;
    }
};

TEST_F(EntryTest, OverwritesStayInPlaceWhileTheValueFits) {
    const std::string twenty(20, 'a');
    ASSERT_EQ(dict_set_string(ks, "k", twenty, 0), DictStatus::Ok);
    Entry* e = peek(ks, "k");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->inline_cap, 21u);
    expect_value("k", e, twenty, false);

    // Shorter, then equal: written over the old bytes.
    ASSERT_EQ(dict_set_string(ks, "k", "bb", 0), DictStatus::Ok);
    expect_value("k", e, "bb", false);
    ASSERT_EQ(dict_set_string(ks, "k", std::string(20, 'c'), 0), DictStatus::Ok);
    expect_value("k", e, std::string(20, 'c'), false);
    // Longer than the space: an external block, the entry unmoved.
    const std::string longer(21, 'd');
    ASSERT_EQ(dict_set_string(ks, "k", longer, 0), DictStatus::Ok);
    expect_value("k", e, longer, true);
    EXPECT_EQ(ks->used_memory, kBase + entry_block_charge(e) + dict_alloc_size(sizeof(ExternalString) + 21 + 1))
        << "the entry block keeps its value space; the value's own block is charged besides";
    // Short again: back inline; then empty, still a value.
    ASSERT_EQ(dict_set_string(ks, "k", "e", 0), DictStatus::Ok);
    expect_value("k", e, "e", false);
    ASSERT_EQ(dict_set_string(ks, "k", "", 0), DictStatus::Ok);
    expect_value("k", e, "", false);
    std::string_view v = "junk";
    EXPECT_EQ(dict_get_string(ks, "k", &v), DictStatus::Ok);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(ks->used_memory, kBase + entry_block_charge(e)) << "an inline value is charged with its block";

    // A value larger than any inline space is external from the start.
    const std::string huge(70000, 'h');
    ASSERT_EQ(dict_set_string(ks, "big", huge, 0), DictStatus::Ok);
    expect_value("big", peek(ks, "big"), huge, true);
    expect_table_consistent(ks);

    // A container overwritten by a string: the list goes with its charges.
    ASSERT_EQ(dict_rpush(ks, "l", "element"), counted(1));
    Entry* l = peek(ks, "l");
    ASSERT_EQ(dict_set_string(ks, "l", std::string(100, 'x'), 0), DictStatus::Ok);
    expect_value("l", l, std::string(100, 'x'), true);
    ASSERT_EQ(dict_set_string(ks, "l", "short", 0), DictStatus::Ok);
    expect_value("l", l, "short", false);
    expect_table_consistent(ks);
}

TEST_F(EntryTest, AppendSetrangeAndSetbitGrowAnInlineValue) {
    ASSERT_EQ(dict_set_string(ks, "a", "ab", 0), DictStatus::Ok);
    Entry* a = peek(ks, "a");
    ASSERT_EQ(a->inline_cap, 8u);
    EXPECT_EQ(dict_append_string(ks, "a", "cdefg"), counted(7));
    expect_value("a", a, "abcdefg", false);
    EXPECT_EQ(dict_append_string(ks, "a", "h"), counted(8));
    expect_value("a", a, "abcdefgh", true);
    // Appending the value to itself, from inline and from external storage.
    ASSERT_EQ(dict_set_string(ks, "self", "xyz", 0), DictStatus::Ok);
    Entry* self = peek(ks, "self");
    EXPECT_EQ(dict_append_string(ks, "self", entry_str(self)), counted(6));
    expect_value("self", self, "xyzxyz", false);
    EXPECT_EQ(dict_append_string(ks, "self", entry_str(self)), counted(12));
    expect_value("self", self, "xyzxyzxyzxyz", true);
    EXPECT_EQ(dict_append_string(ks, "self", entry_str(self)), counted(24));
    expect_value("self", self, "xyzxyzxyzxyzxyzxyzxyzxyz", true);

    ASSERT_EQ(dict_set_string(ks, "s", "hello", 0), DictStatus::Ok);
    Entry* s = peek(ks, "s");
    EXPECT_EQ(dict_setrange(ks, "s", 5, " w"), counted(7));
    expect_value("s", s, "hello w", false);
    EXPECT_EQ(dict_setrange(ks, "s", 10, "x"), counted(11));
    expect_value("s", s, std::string("hello w\0\0\0x", 11), true);
    // A range write whose bytes come from the growing inline value itself.
    ASSERT_EQ(dict_set_string(ks, "t", "abcde", 0), DictStatus::Ok);
    Entry* t = peek(ks, "t");
    EXPECT_EQ(dict_setrange(ks, "t", 5, entry_str(t)), counted(10));
    expect_value("t", t, "abcdeabcde", true);

    ASSERT_EQ(dict_set_string(ks, "b", std::string(1, '\0'), 0), DictStatus::Ok);
    Entry* b = peek(ks, "b");
    int old_bit = -1;
    ASSERT_EQ(dict_setbit(ks, "b", 7, 1, &old_bit), DictStatus::Ok);
    EXPECT_EQ(old_bit, 0);
    expect_value("b", b, std::string(1, '\x01'), false);
    ASSERT_EQ(dict_setbit(ks, "b", 55, 1, &old_bit), DictStatus::Ok);
    expect_value("b", b, std::string("\x01\0\0\0\0\0\x01", 7), false);
    ASSERT_EQ(dict_setbit(ks, "b", 63, 1, &old_bit), DictStatus::Ok);
    expect_value("b", b, std::string("\x01\0\0\0\0\0\x01\x01", 8), true);
    expect_table_consistent(ks);
}

TEST_F(EntryTest, RenameAndCopyCarryInlineAndExternalValues) {
    dict_set_max_memory(ks, 100);  // keeps the eviction index, checked by the consistency walk
    const std::string inline_value(30, 'i');
    ASSERT_EQ(dict_set_string(ks, "in", inline_value, FakeClock::now + 5000), DictStatus::Ok);
    ASSERT_EQ(dict_set_string(ks, "ext", "e", 0), DictStatus::Ok);
    ASSERT_EQ(dict_append_string(ks, "ext", std::string(40, 'e')), counted(41));
    ASSERT_TRUE(entry_str_external(peek(ks, "ext")));

    // To a longer and to a shorter name; the deadline and the kind of storage go along.
    EXPECT_EQ(dict_rename(ks, "in", "a-much-longer-destination-name", false), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "in"), nullptr);
    expect_value("a-much-longer-destination-name", peek(ks, "a-much-longer-destination-name"), inline_value, false);
    EXPECT_EQ(dict_pttl(ks, "a-much-longer-destination-name"), counted(5000));
    EXPECT_EQ(dict_rename(ks, "a-much-longer-destination-name", "i", false), DictStatus::Ok);
    expect_value("i", peek(ks, "i"), inline_value, false);
    EXPECT_EQ(dict_rename(ks, "ext", "x", false), DictStatus::Ok);
    expect_value("x", peek(ks, "x"), "e" + std::string(40, 'e'), true);
    // Each block, the external one with the room its append left, and both index nodes of "i".
    EXPECT_EQ(ks->used_memory, ks_test::held_memory(ks));
    EXPECT_EQ(ks_test::held_by_key(ks, "x"),
              dict_entry_block_charge(1, 8, true) + CHARGE_LRU_NODE + dict_alloc_size(sizeof(ExternalString) + 82 + 1));
    expect_table_consistent(ks);

    // Copies own their bytes: changing one leaves the other alone.
    EXPECT_EQ(dict_copy(ks, "i", "i2", false), DictStatus::Ok);
    EXPECT_EQ(dict_copy(ks, "x", "x2", false), DictStatus::Ok);
    EXPECT_EQ(dict_pttl(ks, "i2"), counted(5000));
    EXPECT_NE(entry_str(peek(ks, "x2")).data(), entry_str(peek(ks, "x")).data());
    EXPECT_EQ(dict_setrange(ks, "i2", 0, "I"), counted(30));
    EXPECT_EQ(dict_setrange(ks, "x2", 0, "X"), counted(41));
    expect_value("i", peek(ks, "i"), inline_value, false);
    expect_value("x", peek(ks, "x"), "e" + std::string(40, 'e'), true);
    EXPECT_EQ(entry_str(peek(ks, "i2")), "I" + inline_value.substr(1));
    // A copy of a 41-byte value is made whole, so it is inline.
    expect_value("x2", peek(ks, "x2"), "X" + std::string(40, 'e'), false);

    // A renamed key expires under its new name.
    FakeClock::now += 5000;
    dict_cleanup_expired(ks);
    EXPECT_EQ(peek(ks, "i"), nullptr);
    EXPECT_EQ(peek(ks, "i2"), nullptr);
    expect_table_consistent(ks);
}

TEST_F(EntryTest, KeysOfEveryLengthSurviveLookupRenameAndExpiry) {
    // Lengths the header states directly and those whose length the block stores
    // (from 65535 bytes on), including two long names that differ only in length.
    dict_set_max_memory(ks, 100);
    const std::vector<size_t> lengths = {1, 65534, 65535, 65536, 65537, 200000};
    auto name = [](size_t len, char c) { return std::string(len, c); };
    for (size_t len : lengths) {
        SCOPED_TRACE(len);
        ASSERT_EQ(dict_set_string(ks, name(len, 'k'), "v" + std::to_string(len), FakeClock::now + 5000), DictStatus::Ok);
        const Entry* e = peek(ks, name(len, 'k'));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ((e->flags & ENTRY_LONG_KEY) != 0, len >= kEntryLongKey);
        expect_value(name(len, 'k'), e, "v" + std::to_string(len), false);
        // Made under the limit: the block ends with the index position.
        EXPECT_EQ(ks_test::held_by_key(ks, e), dict_entry_block_charge(len, 8, true) + CHARGE_LRU_NODE + CHARGE_EXPIRY_NODE);
        EXPECT_EQ(entry_block_charge(e),
                  dict_entry_alloc_size(kEntryValueOffset + 8 + (len >= kEntryLongKey ? 4 : 0) + len + 1 + 8));
    }
    for (size_t len : lengths) EXPECT_EQ(entry_str(dict_find_entry(ks, name(len, 'k'))), "v" + std::to_string(len));
    expect_table_consistent(ks);

    // Each key moves to a name of the next length (the last to the first): the
    // value, the deadline and the charges follow.
    for (size_t i = 0; i < lengths.size(); i++) {
        const size_t to = lengths[(i + 1) % lengths.size()];
        SCOPED_TRACE(lengths[i]);
        ASSERT_EQ(dict_rename(ks, name(lengths[i], 'k'), name(to, 'r'), false), DictStatus::Ok);
        expect_value(name(to, 'r'), peek(ks, name(to, 'r')), "v" + std::to_string(lengths[i]), false);
        EXPECT_EQ(dict_pttl(ks, name(to, 'r')), counted(5000));
    }
    expect_table_consistent(ks);
    FakeClock::now += 5000;
    dict_cleanup_expired(ks);
    EXPECT_EQ(ks->key_count, 0u);
    expect_table_consistent(ks);
}

TEST_F(EntryTest, KeysMadeBeforeAndUnderALimitShareOneEvictionOrder) {
    // "a" and "b" are made without a limit: their index positions go to the
    // position table. "c" and "d", made under it, keep theirs in their blocks.
    ASSERT_EQ(dict_set_string(ks, "a", "1", 0), DictStatus::Ok);
    FakeClock::now += 1;
    ASSERT_EQ(dict_set_string(ks, "b", "2", 0), DictStatus::Ok);
    dict_set_max_memory(ks, 1);
    for (const char* key : {"c", "d"}) {
        FakeClock::now += 1;
        ASSERT_EQ(dict_set_string(ks, key, "v", 0), DictStatus::Ok);
    }
    EXPECT_FALSE(peek(ks, "a")->flags & ENTRY_LRU_SLOT);
    EXPECT_TRUE(peek(ks, "c")->flags & ENTRY_LRU_SLOT);
    EXPECT_EQ(ks->lru_positions.size(), 2u);

    // Touches of both kinds, and a rename (its block keeps the kind), move keys to the young end.
    FakeClock::now += 1;
    ASSERT_NE(dict_find_entry(ks, "a"), nullptr);
    FakeClock::now += 1;
    ASSERT_NE(dict_find_entry(ks, "c"), nullptr);
    FakeClock::now += 1;
    ASSERT_EQ(dict_rename(ks, "b", "b2", false), DictStatus::Ok);
    EXPECT_FALSE(peek(ks, "b2")->flags & ENTRY_LRU_SLOT);
    const std::vector<std::string> order = {"d", "a", "c", "b2"};
    EXPECT_EQ(lru_order(), order);
    expect_table_consistent(ks);

    // Dropped with the limit and rebuilt from both kinds of record.
    dict_set_max_memory(ks, 0);
    EXPECT_TRUE(ks->lru_positions.empty());
    dict_set_max_memory(ks, 1);
    EXPECT_EQ(lru_order(), order);
    expect_table_consistent(ks);

    // A limit just below the current use evicts exactly the oldest key, each time.
    for (size_t i = 0; i < 2; i++) {
        dict_set_max_memory_bytes(ks, ks->used_memory - 1);
        dict_evict_lru(ks);
        EXPECT_EQ(peek(ks, order[i]), nullptr) << order[i];
        EXPECT_EQ(ks->key_count, 3 - i);
        expect_table_consistent(ks);
    }
    EXPECT_EQ(lru_order(), (std::vector<std::string>{"c", "b2"}));
}

TEST_F(EntryTest, EqualStampsInOneBucketEvictFromTheChainHead) {
    dict_set_max_memory(ks, 1);
    const auto same = ks_test::keys_in_bucket(77, INITIAL_BUCKETS, 5);
    const std::string elsewhere = ks_test::keys_in_bucket(78, INITIAL_BUCKETS, 1)[0];
    for (int i = 0; i < 4; i++) ASSERT_EQ(dict_set_string(ks, same[i], "v", 0), DictStatus::Ok);
    // Chain head first: 3, 2, 1, 0. Taking out the middle keeps the rest in order.
    ASSERT_EQ(dict_del(ks, same[1]), DictStatus::Ok);
    EXPECT_EQ(lru_order(), (std::vector<std::string>{same[3], same[2], same[0]}));

    // Renamed into the bucket: the new chain head, first of its stamp.
    ASSERT_EQ(dict_set_string(ks, elsewhere, "w", 0), DictStatus::Ok);
    ASSERT_EQ(dict_rename(ks, elsewhere, same[4], false), DictStatus::Ok);
    EXPECT_EQ(lru_order(), (std::vector<std::string>{same[4], same[3], same[2], same[0]}));

    // Touches move keys behind the older stamps (the copy touches its source);
    // among the newer stamps the chain decides, the copy being its head.
    FakeClock::now += 1;
    ASSERT_NE(dict_find_entry(ks, same[3]), nullptr);
    ASSERT_EQ(dict_copy(ks, same[2], same[1], false), DictStatus::Ok);
    EXPECT_EQ(lru_order(), (std::vector<std::string>{same[4], same[0], same[1], same[3], same[2]}));
    expect_table_consistent(ks);

    // A key too big for the limit, written later, drives the eviction in that order.
    FakeClock::now += 1;
    const uint64_t room = (uint64_t(1) << 20) - (ks->used_memory - kBase) - kBase;
    // Its value goes in a block of its own (the allocator adds 9 to 24 bytes to
    // its request), so the charge passes the limit by 1 to 16 bytes.
    const uint64_t fixed = dict_entry_block_charge(3, 8, true) + CHARGE_LRU_NODE + sizeof(ExternalString) + 9;
    ASSERT_EQ(dict_set_string(ks, "big", std::string(room - fixed + 1, 'b'), 0), DictStatus::Ok);
    EXPECT_EQ(peek(ks, same[4]), nullptr);
    EXPECT_NE(peek(ks, same[0]), nullptr);
    EXPECT_EQ(lru_order(), (std::vector<std::string>{same[0], same[1], same[3], same[2], "big"}));
    expect_table_consistent(ks);
}

}  // namespace

namespace {

// Keys that hash alike share a chain and its hash byte, so only the byte
// comparison tells them apart: raising one byte by 1 and lowering the next by
// 33 keeps the hash. Every length class of the comparison (under 4, 4 to 7,
// 8 to 16 and longer) is covered with the difference at every position.
TEST_F(EntryTest, KeysWithTheSameHashAreToldApartAtEveryLengthAndPosition) {
    for (size_t len = 2; len <= 24; ++len) {
        for (size_t i = 0; i + 1 < len; ++i) {
            const std::string base(len, 'z');
            std::string twin = base;
            twin[i] = static_cast<char>(twin[i] + 1);
            twin[i + 1] = static_cast<char>(twin[i + 1] - 33);
            SCOPED_TRACE(twin);
            ASSERT_EQ(dict_hash(base), dict_hash(twin));
            ASSERT_EQ(dict_set_string(ks, base, "base", 0), DictStatus::Ok);
            ASSERT_EQ(dict_set_string(ks, twin, "twin", 0), DictStatus::Ok);
            EXPECT_EQ(entry_str(dict_find_entry(ks, base)), "base");
            EXPECT_EQ(entry_str(dict_find_entry(ks, twin)), "twin");
            EXPECT_EQ(dict_del(ks, twin), DictStatus::Ok);
            EXPECT_EQ(dict_find_entry(ks, twin), nullptr);
            EXPECT_EQ(entry_str(dict_find_entry(ks, base)), "base");
        }
    }
    expect_table_consistent(ks);
}

}  // namespace
