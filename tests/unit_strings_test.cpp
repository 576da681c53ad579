// unit_strings_test.cpp — string values and bitmaps in the keyspace: writes and
// their charges, reads and counters, empty values, ranges, appends, bit writes,
// and bit counting and searching checked against a bit-by-bit reference.
#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "keyspace/keyspace.h"
#include "unit_keyspace_support.h"

namespace {

using ks_test::counted;
using ks_test::expect_table_consistent;
using ks_test::FakeClock;
using ks_test::peek;
using ks_test::side_buckets;
using ks_test::string_key_charge;

constexpr uint64_t kBase = CHARGE_FRESH_KEYSPACE;

class StringsTest : public ks_test::KeyspaceTest {
protected:
    // The stored value read without a lookup, or nullopt when there is no string key.
    std::optional<std::string> raw(std::string_view key) {
        Entry* e = peek(ks, key);
        if (!e || e->type != KEY_TYPE_STRING) return std::nullopt;
        return std::string(entry_str(e));
    }
    // A key of another type with no elements, charged as an entry and its key.
    Entry* make_list(std::string_view key) { return dict_insert_entry(ks, key, KEY_TYPE_LIST, dict_now_ms(ks)); }
};

// Bit n of the value, most significant bit of byte 0 first.
int ref_bit(const std::string& v, int64_t n) {
    return (static_cast<unsigned char>(v[static_cast<size_t>(n / 8)]) >> (7 - n % 8)) & 1;
}

// Range normalisation written out from the rules, independent of the engine.
bool ref_norm(int64_t len, int64_t start, int64_t end, bool bits, int64_t* first, int64_t* last) {
    if (len == 0) return false;
    const int64_t total = bits ? len * 8 : len;
    if (start < 0) start += total;
    if (end < 0) end += total;
    if (end > total - 1) end = total - 1;
    if (start < 0) start = 0;
    if (start > total - 1) start = total - 1;
    if (end < start) return false;
    *first = start;
    *last = end;
    return true;
}

int64_t ref_bitcount(const std::string& v, int64_t start, int64_t end, bool range, bool bits) {
    int64_t first = 0, last = static_cast<int64_t>(v.size()) * 8 - 1;
    if (range) {
        if (!ref_norm(static_cast<int64_t>(v.size()), start, end, bits, &first, &last)) return 0;
        if (!bits) {
            first *= 8;
            last = last * 8 + 7;
        }
    }
    int64_t n = 0;
    for (int64_t i = first; i <= last; i++) n += ref_bit(v, i);
    return n;
}

int64_t ref_bitpos(const std::string& v, int bit, int64_t start, int64_t end, bool given, bool bits) {
    const int64_t len = static_cast<int64_t>(v.size());
    if (len == 0) return -1;
    int64_t first = 0, last = 0;
    if (!ref_norm(len, start, end, bits, &first, &last)) return -1;
    if (given && start >= 0 && start > (bits ? len * 8 : len) - 1) return -1;
    if (!bits) {
        first *= 8;
        last = last * 8 + 7;
    }
    for (int64_t i = first; i <= last; i++)
        if (ref_bit(v, i) == bit) return i;
    return (bit == 1 || given) ? -1 : len * 8;
}

TEST_F(StringsTest, WholeValueWritesChargeExactlyAndHandleDeadlines) {
    ASSERT_EQ(dict_set_string(ks, "k", "hello", 0), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 5));
    EXPECT_EQ(raw("k"), "hello");
    EXPECT_EQ(entry_str(peek(ks, "k")).data()[5], '\0');

    // Overwrite with a shorter value and a deadline; then without: the deadline goes.
    const int64_t deadline = FakeClock::now + 5000;
    ASSERT_EQ(dict_set_string(ks, "k", "hi", deadline), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + string_key_charge(1, 2) + CHARGE_EXPIRY_NODE);
    EXPECT_EQ(entry_deadline(ks, peek(ks, "k")), deadline);
    EXPECT_EQ(dict_pttl(ks, "k"), counted(5000));
    expect_table_consistent(ks);
    ASSERT_EQ(dict_set_string(ks, "k", "world!", 0), DictStatus::Ok);
    EXPECT_EQ(dict_pttl(ks, "k").status, DictStatus::NotFound);
    EXPECT_TRUE(ks->expiry_index.empty());
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 6));

    // A write stamps the key with the current time.
    FakeClock::now += 70;
    ASSERT_EQ(dict_set_string(ks, "k", "x", 0), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "k")->last_access_ms, FakeClock::now);

    // Bytes are binary-safe: NULs inside the value survive.
    const std::string binary("a\0b\0", 4);
    ASSERT_EQ(dict_set_string(ks, "bin", binary, 0), DictStatus::Ok);
    EXPECT_EQ(raw("bin"), binary);

    // Refused: no keyspace, empty key.
    EXPECT_EQ(dict_set_string(nullptr, "k", "v", 0), DictStatus::NoMemory);
    EXPECT_EQ(dict_set_string(ks, "", "v", 0), DictStatus::NoMemory);
    expect_table_consistent(ks);
}

TEST_F(StringsTest, WriteOverAnotherTypeConvertsItAndChargesAsAFreshString) {
    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(ks->used_memory, kBase + dict_entry_block_charge(1, 8)) << "a list entry without its payload";
    ASSERT_EQ(dict_set_string(ks, "l", "abc", 0), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "l")->type, uint32_t{KEY_TYPE_STRING});
    EXPECT_EQ(raw("l"), "abc");
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 3));
    expect_table_consistent(ks);

    // The conditional write that needs the key converts too.
    ASSERT_NE(make_list("m"), nullptr);
    EXPECT_EQ(dict_set_string_ifexists(ks, "m", "", 0), DictStatus::Ok);
    EXPECT_EQ(raw("m"), "");
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 3) + string_key_charge(1, 0));
    expect_table_consistent(ks);
}

TEST_F(StringsTest, EmptyStringsAreValues) {
    ASSERT_EQ(dict_set_string(ks, "e", "", 0), DictStatus::Ok);
    Entry* e = peek(ks, "e");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(entry_str(e).data()[0], '\0');
    EXPECT_EQ(entry_str_len(e), 0u);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 0));

    std::string_view v("junk");
    EXPECT_EQ(dict_get_string(ks, "e", &v), DictStatus::Ok);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(dict_strlen(ks, "e"), counted(0));
    EXPECT_EQ(dict_exists(ks, "e"), DictStatus::Ok);
    EXPECT_EQ(dict_set_string_ifabsent(ks, "e", "x", 0), DictStatus::Exists);

    std::string out = "junk";
    EXPECT_EQ(dict_getrange(ks, "e", 0, -1, &out), DictStatus::Ok);
    EXPECT_EQ(out, "");

    // Replace: the old empty value comes back; the new value may be empty too.
    std::string old = "junk";
    EXPECT_EQ(dict_get_string_replace(ks, "e", "new", &old), DictStatus::Ok);
    EXPECT_EQ(old, "");
    EXPECT_EQ(raw("e"), "new");
    EXPECT_EQ(dict_get_string_replace(ks, "e", "", &old), DictStatus::Ok);
    EXPECT_EQ(old, "new");
    EXPECT_EQ(raw("e"), "");
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 0));

    // Append and setrange grow an empty value.
    EXPECT_EQ(dict_append_string(ks, "e", "ab"), counted(2));
    EXPECT_EQ(raw("e"), "ab");
    ASSERT_EQ(dict_set_string(ks, "e", "", 0), DictStatus::Ok);
    EXPECT_EQ(dict_setrange(ks, "e", 2, "z"), counted(3));
    EXPECT_EQ(raw("e"), std::string("\0\0z", 3));
    ASSERT_EQ(dict_set_string(ks, "e", "", 0), DictStatus::Ok);
    EXPECT_EQ(dict_setrange(ks, "e", 0, ""), counted(0));
    EXPECT_EQ(raw("e"), "");

    // Getdel removes an empty value and reports it.
    out = "junk";
    EXPECT_EQ(dict_set_getdel(ks, "e", &out), DictStatus::Ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(peek(ks, "e"), nullptr);
    EXPECT_EQ(ks->used_memory, kBase);

    // Appending nothing to a missing key creates an empty value.
    EXPECT_EQ(dict_append_string(ks, "n", ""), counted(0));
    EXPECT_EQ(raw("n"), "");
    expect_table_consistent(ks);
}

TEST_F(StringsTest, ConditionalWrites) {
    EXPECT_EQ(dict_set_string_ifabsent(ks, "a", "1", 0), DictStatus::Ok);
    EXPECT_EQ(dict_set_string_ifabsent(ks, "a", "2", FakeClock::now + 100), DictStatus::Exists);
    EXPECT_EQ(raw("a"), "1");
    EXPECT_EQ(entry_deadline(ks, peek(ks, "a")), 0);

    EXPECT_EQ(dict_set_string_ifexists(ks, "b", "1", 0), DictStatus::Missing);
    EXPECT_EQ(peek(ks, "b"), nullptr);
    EXPECT_EQ(dict_set_string_ifexists(ks, "a", "three", FakeClock::now + 100), DictStatus::Ok);
    EXPECT_EQ(raw("a"), "three");
    EXPECT_EQ(dict_pttl(ks, "a"), counted(100));
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + string_key_charge(1, 5) + CHARGE_EXPIRY_NODE);

    // A dead key counts as absent.
    FakeClock::now += 100;
    EXPECT_EQ(dict_set_string_ifexists(ks, "a", "x", 0), DictStatus::Missing);
    EXPECT_EQ(dict_set_string_ifabsent(ks, "a", "four", 0), DictStatus::Ok);
    EXPECT_EQ(raw("a"), "four");
    EXPECT_EQ(dict_set_string_ifabsent(nullptr, "a", "x", 0), DictStatus::NoMemory);
    EXPECT_EQ(dict_set_string_ifexists(nullptr, "a", "x", 0), DictStatus::NoMemory);
    expect_table_consistent(ks);
}

TEST_F(StringsTest, OnlyWholeValueWritesEvict) {
    dict_set_max_memory(ks, 1);
    const std::string big(400 * 1024, 'x');
    ASSERT_EQ(dict_set_string(ks, "a", big, 0), DictStatus::Ok);
    FakeClock::now += 1;
    ASSERT_EQ(dict_set_string(ks, "b", big, 0), DictStatus::Ok);
    FakeClock::now += 1;
    // Growing b in place past the limit evicts nothing.
    ASSERT_EQ(dict_set_string_ifexists(ks, "b", big + big, 0), DictStatus::Ok);
    EXPECT_GT(ks->used_memory, uint64_t{1} << 20);
    EXPECT_EQ(dict_append_string(ks, "b", "y"), counted(int64_t(big.size() * 2 + 1)));
    EXPECT_EQ(dict_setrange(ks, "b", 2 * big.size() + 1, "zz"), counted(int64_t(big.size() * 2 + 3)));
    std::string old;
    EXPECT_EQ(dict_get_string_replace(ks, "b", big + big + big, &old), DictStatus::Ok);
    EXPECT_NE(peek(ks, "a"), nullptr);
    EXPECT_NE(peek(ks, "b"), nullptr);
    // A whole-value write evicts the least recently used keys until within the limit.
    FakeClock::now += 1;
    ASSERT_EQ(dict_set_string(ks, "c", "small", 0), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "a"), nullptr);
    EXPECT_EQ(peek(ks, "b"), nullptr);
    EXPECT_EQ(raw("c"), "small");
    EXPECT_LE(ks->used_memory, uint64_t{1} << 20);
    expect_table_consistent(ks);
}

TEST_F(StringsTest, ReadsCountHitsAndMisses) {
    ASSERT_EQ(dict_set_string(ks, "s", "val", 0), DictStatus::Ok);
    ASSERT_NE(make_list("l"), nullptr);
    std::string_view v;
    EXPECT_EQ(dict_get_string(ks, "s", &v), DictStatus::Ok);
    EXPECT_EQ(v, "val");
    EXPECT_EQ(ks->keyspace_hits, 1u);
    EXPECT_EQ(dict_get_string(ks, "missing", &v), DictStatus::Missing);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(dict_get_string(ks, "l", &v), DictStatus::WrongType);
    EXPECT_EQ(ks->keyspace_misses, 2u);

    EXPECT_EQ(dict_strlen(ks, "s"), counted(3));
    EXPECT_EQ(dict_strlen(ks, "missing").status, DictStatus::Missing);
    EXPECT_EQ(dict_strlen(ks, "l").status, DictStatus::WrongType);
    EXPECT_EQ(ks->keyspace_hits, 2u);
    EXPECT_EQ(ks->keyspace_misses, 3u);

    // A read stamps the key and expires a dead one.
    FakeClock::now += 10;
    EXPECT_EQ(dict_get_string(ks, "s", &v), DictStatus::Ok);
    EXPECT_EQ(peek(ks, "s")->last_access_ms, FakeClock::now);
    ASSERT_EQ(dict_set_string(ks, "d", "gone", FakeClock::now + 5), DictStatus::Ok);
    FakeClock::now += 5;
    EXPECT_EQ(dict_get_string(ks, "d", &v), DictStatus::Missing);
    EXPECT_EQ(peek(ks, "d"), nullptr);
}

TEST_F(StringsTest, GetReplaceCreatesMissingRefusesOtherTypesAndKeepsDeadline) {
    std::string old = "junk";
    // Missing: created with the value, no deadline, reported as 0.
    EXPECT_EQ(dict_get_string_replace(ks, "k", "first", &old), DictStatus::Missing);
    EXPECT_EQ(old, "");
    EXPECT_EQ(raw("k"), "first");
    EXPECT_EQ(dict_pttl(ks, "k").status, DictStatus::NotFound);
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 5));

    ASSERT_EQ(dict_expire_ms(ks, "k", 3000), DictStatus::Ok);
    EXPECT_EQ(dict_get_string_replace(ks, "k", "second!", &old), DictStatus::Ok);
    EXPECT_EQ(old, "first");
    EXPECT_EQ(raw("k"), "second!");
    EXPECT_EQ(dict_pttl(ks, "k"), counted(3000));
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + string_key_charge(1, 7) + CHARGE_EXPIRY_NODE);
    expect_table_consistent(ks);

    ASSERT_NE(make_list("l"), nullptr);
    const uint64_t before = ks->used_memory;
    EXPECT_EQ(dict_get_string_replace(ks, "l", "x", &old), DictStatus::WrongType);
    EXPECT_EQ(peek(ks, "l")->type, uint32_t{KEY_TYPE_LIST});
    EXPECT_EQ(ks->used_memory, before);
}

TEST_F(StringsTest, GetDelReadsRemovesAndReleasesCharges) {
    ASSERT_EQ(dict_set_string(ks, "keep", "1", 0), DictStatus::Ok);
    const uint64_t before = ks->used_memory;
    ASSERT_EQ(dict_set_string(ks, "k", "payload", FakeClock::now + 1000), DictStatus::Ok);
    std::string out;
    EXPECT_EQ(dict_set_getdel(ks, "k", &out), DictStatus::Ok);
    EXPECT_EQ(out, "payload");
    EXPECT_EQ(peek(ks, "k"), nullptr);
    EXPECT_EQ(ks->used_memory, before);
    EXPECT_EQ(ks->key_count, 1u);
    EXPECT_TRUE(ks->expiry_index.empty());
    EXPECT_EQ(dict_set_getdel(ks, "k", &out), DictStatus::Missing);
    EXPECT_EQ(out, "");

    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(dict_set_getdel(ks, "l", &out), DictStatus::WrongType);
    EXPECT_NE(peek(ks, "l"), nullptr);
}

TEST_F(StringsTest, AppendJoinsKeepsDeadlineAndCharges) {
    ASSERT_EQ(dict_set_string(ks, "k", "a", FakeClock::now + 2000), DictStatus::Ok);
    EXPECT_EQ(dict_append_string(ks, "k", "b"), counted(2));
    Entry* e = peek(ks, "k");
    EXPECT_EQ(entry_str(e), "ab");
    EXPECT_EQ(entry_str(e).data()[2], '\0');
    EXPECT_EQ(dict_pttl(ks, "k"), counted(2000));
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + string_key_charge(1, 2) + CHARGE_EXPIRY_NODE);

    // Appending a value to itself reads the old bytes, not half-written ones.
    for (int i = 0; i < 5; i++) {
        e = peek(ks, "k");
        EXPECT_EQ(dict_append_string(ks, "k", entry_str(e)), counted(int64_t(2) << (i + 1)));
    }
    std::string doubled;
    for (int i = 0; i < 32; i++) doubled += "ab";
    EXPECT_EQ(raw("k"), doubled);
    // Doubling appends moved it out of its 8 bytes of value space into a block with room for 64.
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + dict_entry_block_charge(1, 8) + dict_alloc_size(sizeof(ExternalString) + 64 + 1) +
                                   CHARGE_EXPIRY_NODE);

    // Missing key: created with no deadline.
    EXPECT_EQ(dict_append_string(ks, "n", "xyz"), counted(3));
    EXPECT_EQ(raw("n"), "xyz");
    EXPECT_EQ(dict_pttl(ks, "n").status, DictStatus::NotFound);
    expect_table_consistent(ks);

    ASSERT_NE(make_list("l"), nullptr);
    const uint64_t misses = ks->keyspace_misses;
    EXPECT_EQ(dict_append_string(ks, "l", "x").status, DictStatus::WrongType);
    EXPECT_EQ(ks->keyspace_misses, misses + 1);
}

TEST_F(StringsTest, GetRangeNormalisesPositionsIn64Bits) {
    ASSERT_EQ(dict_set_string(ks, "k", "0123456789", 0), DictStatus::Ok);
    auto range = [&](int64_t s, int64_t e) {
        std::string out = "junk";
        EXPECT_EQ(dict_getrange(ks, "k", s, e, &out), DictStatus::Ok);
        return out;
    };
    EXPECT_EQ(range(0, -1), "0123456789");
    EXPECT_EQ(range(5, 2), "");
    EXPECT_EQ(range(-100, 2), "012");
    EXPECT_EQ(range(-3, -1), "789");
    EXPECT_EQ(range(7, 100), "789");
    EXPECT_EQ(range(10, 20), "");
    EXPECT_EQ(range(9, 9), "9");
    EXPECT_EQ(range(-1'000'000'000'000, 3), "0123");
    EXPECT_EQ(range(INT64_MIN, INT64_MAX), "0123456789");
    EXPECT_EQ(range(0, INT64_MIN), "");
    EXPECT_EQ(range(INT64_MAX, INT64_MAX), "");
    // Far beyond 32 bits: must not wrap into a valid small position.
    EXPECT_EQ(range(int64_t{1} << 32, (int64_t{1} << 32) + 3), "");
    EXPECT_EQ(range(0, -(int64_t{1} << 32)), "");

    std::string out = "junk";
    EXPECT_EQ(dict_getrange(ks, "missing", 0, -1, &out), DictStatus::Missing);
    EXPECT_EQ(out, "");
    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(dict_getrange(ks, "l", 0, -1, &out), DictStatus::WrongType);
}

TEST_F(StringsTest, SetRangePadsWithZerosAndEnforcesTheLimit) {
    EXPECT_EQ(dict_setrange(ks, "k", 5, "ab"), counted(7));
    EXPECT_EQ(raw("k"), std::string("\0\0\0\0\0ab", 7));
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 7));

    EXPECT_EQ(dict_setrange(ks, "none", 3, ""), counted(0));
    EXPECT_EQ(peek(ks, "none"), nullptr);

    // Overwrite inside, extend past the end, and an empty write beyond the end pads.
    ASSERT_EQ(dict_set_string(ks, "s", "Hello World", FakeClock::now + 900), DictStatus::Ok);
    EXPECT_EQ(dict_setrange(ks, "s", 6, "Vorel"), counted(11));
    EXPECT_EQ(raw("s"), "Hello Vorel");
    EXPECT_EQ(dict_setrange(ks, "s", 10, "lings"), counted(15));
    EXPECT_EQ(raw("s"), "Hello Vorelings");
    EXPECT_EQ(dict_setrange(ks, "s", 17, ""), counted(17));
    EXPECT_EQ(raw("s"), std::string("Hello Vorelings\0\0", 17));
    EXPECT_EQ(entry_str(peek(ks, "s")).data()[17], '\0');
    EXPECT_EQ(dict_pttl(ks, "s"), counted(900));
    expect_table_consistent(ks);

    EXPECT_EQ(dict_setrange(ks, "s", -1, "x").status, DictStatus::OutOfRange);
    EXPECT_EQ(dict_setrange(ks, "s", 536870910, "abc").status, DictStatus::TooLarge);
    EXPECT_EQ(dict_setrange(ks, "s", INT64_MAX, "a").status, DictStatus::TooLarge);
    EXPECT_EQ(dict_setrange(ks, "s", int64_t{1} << 40, "").status, DictStatus::TooLarge);
    EXPECT_EQ(raw("s"), std::string("Hello Vorelings\0\0", 17));
    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(dict_setrange(ks, "l", 0, "x").status, DictStatus::WrongType);
    EXPECT_EQ(dict_setrange(nullptr, "l", 0, "x").status, DictStatus::NoMemory);

    // The largest value a range write may produce is accepted.
    EXPECT_EQ(dict_setrange(ks, "big", 536870910, "yz"), counted(536870912));
    Entry* big = peek(ks, "big");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(entry_str_len(big), 536870912u);
    EXPECT_EQ(entry_str(big).data()[0], '\0');
    EXPECT_EQ(entry_str(big).data()[536870910], 'y');
    EXPECT_EQ(entry_str(big).data()[536870911], 'z');
    EXPECT_EQ(dict_del(ks, "big"), DictStatus::Ok);
    EXPECT_EQ(dict_del(ks, "l"), DictStatus::Ok);
    expect_table_consistent(ks);
}

TEST_F(StringsTest, SetBitAndGetBit) {
    int old = -1;
    EXPECT_EQ(dict_setbit(ks, "k", 7, 1, &old), DictStatus::Ok);
    EXPECT_EQ(old, 0);
    EXPECT_EQ(raw("k"), std::string("\x01", 1));
    EXPECT_EQ(dict_setbit(ks, "k", 0, 1, &old), DictStatus::Ok);
    EXPECT_EQ(old, 0);
    EXPECT_EQ(raw("k"), std::string("\x81", 1));
    EXPECT_EQ(dict_setbit(ks, "k", 0, 1, &old), DictStatus::Ok);
    EXPECT_EQ(old, 1);
    EXPECT_EQ(dict_setbit(ks, "k", 7, 0, &old), DictStatus::Ok);
    EXPECT_EQ(old, 1);
    EXPECT_EQ(raw("k"), std::string("\x80", 1));
    EXPECT_EQ(ks->used_memory, kBase + string_key_charge(1, 1));

    // Growth pads with zeros and keeps the deadline.
    ASSERT_EQ(dict_expire_ms(ks, "k", 4000), DictStatus::Ok);
    EXPECT_EQ(dict_setbit(ks, "k", 8 * 4 + 2, 1, &old), DictStatus::Ok);
    EXPECT_EQ(raw("k"), std::string("\x80\0\0\0\x20", 5));
    EXPECT_EQ(entry_str(peek(ks, "k")).data()[5], '\0');
    EXPECT_EQ(dict_pttl(ks, "k"), counted(4000));
    EXPECT_EQ(ks->used_memory, kBase + side_buckets(ks) + string_key_charge(1, 5) + CHARGE_EXPIRY_NODE);

    // Clearing a bit on a missing key still creates a zero value long enough for it.
    EXPECT_EQ(dict_setbit(ks, "z", 17, 0, &old), DictStatus::Ok);
    EXPECT_EQ(raw("z"), std::string(3, '\0'));

    int bit = -1;
    EXPECT_EQ(dict_getbit(ks, "k", 0, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 1);
    EXPECT_EQ(dict_getbit(ks, "k", 34, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 1);
    EXPECT_EQ(dict_getbit(ks, "k", 33, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 0);
    bit = -1;
    EXPECT_EQ(dict_getbit(ks, "k", 1000, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 0);
    bit = -1;
    EXPECT_EQ(dict_getbit(ks, "missing", 3, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 0);
    EXPECT_EQ(peek(ks, "missing"), nullptr);

    EXPECT_EQ(dict_setbit(ks, "k", -1, 1, &old), DictStatus::OutOfRange);
    EXPECT_EQ(dict_getbit(ks, "k", -1, &bit), DictStatus::OutOfRange);
    // A bit whose byte would lie past the largest value is refused.
    EXPECT_EQ(dict_setbit(ks, "k", int64_t{1} << 32, 1, &old), DictStatus::OutOfRange);
    EXPECT_EQ(dict_setbit(ks, "k", INT64_MAX, 1, &old), DictStatus::OutOfRange);
    ASSERT_NE(make_list("l"), nullptr);
    const uint64_t misses = ks->keyspace_misses;
    EXPECT_EQ(dict_setbit(ks, "l", 1, 1, &old), DictStatus::WrongType);
    EXPECT_EQ(ks->keyspace_misses, misses);
    EXPECT_EQ(dict_getbit(ks, "l", 1, &bit), DictStatus::WrongType);
}

TEST_F(StringsTest, BitsBeyond32BitPositions) {
    // The last bit of the largest value sits at position 2^32 - 1.
    const int64_t last_bit = (int64_t{1} << 32) - 1;
    int old = -1;
    ASSERT_EQ(dict_setbit(ks, "b", last_bit, 1, &old), DictStatus::Ok);
    EXPECT_EQ(entry_str_len(peek(ks, "b")), kMaxStringLength);
    int bit = 0;
    EXPECT_EQ(dict_getbit(ks, "b", last_bit, &bit), DictStatus::Ok);
    EXPECT_EQ(bit, 1);
    EXPECT_EQ(dict_bitpos(ks, "b", 1, 0, -1, false, false), counted(last_bit));
    EXPECT_EQ(dict_bitpos(ks, "b", 1, -1, -1, true, true), counted(last_bit));
    EXPECT_EQ(dict_bitcount(ks, "b", 0, -1, false, false), counted(1));
    EXPECT_EQ(dict_bitcount(ks, "b", last_bit - 10, last_bit, true, true), counted(1));
    EXPECT_EQ(dict_bitcount(ks, "b", 0, last_bit - 1, true, true), counted(0));
    EXPECT_EQ(dict_del(ks, "b"), DictStatus::Ok);
    EXPECT_EQ(ks->used_memory, kBase);
}

TEST_F(StringsTest, BitCountOverWholeValuesAndRanges) {
    ASSERT_EQ(dict_set_string(ks, "f", "foobar", 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitcount(ks, "f", 0, 0, false, false), counted(26));
    EXPECT_EQ(dict_bitcount(ks, "f", 1, 1, true, false), counted(6));
    EXPECT_EQ(dict_bitcount(ks, "f", 5, 30, true, true), counted(17));
    EXPECT_EQ(dict_bitcount(ks, "f", -2, -1, true, false), counted(7));
    EXPECT_EQ(dict_bitcount(ks, "f", 3, 1, true, false), counted(0));

    ASSERT_EQ(dict_set_string(ks, "t", "\xff\x0f\xf0", 0), DictStatus::Ok);
    // A start past the end is pulled back to the last byte.
    EXPECT_EQ(dict_bitcount(ks, "t", 10, 20, true, false), counted(4));
    EXPECT_EQ(dict_bitcount(ks, "t", 100, 200, true, true), counted(0));  // last bit is 0
    EXPECT_EQ(dict_bitcount(ks, "t", INT64_MIN, INT64_MAX, true, true), counted(16));

    ASSERT_EQ(dict_set_string(ks, "e", "", 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitcount(ks, "e", 0, -1, false, false), counted(0));
    EXPECT_EQ(dict_bitcount(ks, "e", 0, -1, true, false), counted(0));
    EXPECT_EQ(dict_bitcount(ks, "e", 0, -1, true, true), counted(0));
    EXPECT_EQ(dict_bitcount(ks, "missing", 0, -1, false, false), counted(0));
    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(dict_bitcount(ks, "l", 0, -1, false, false).status, DictStatus::WrongType);
}

TEST_F(StringsTest, BitPosFindsFirstMatchingBit) {
    ASSERT_EQ(dict_set_string(ks, "ones", "\xff\xff\xff", 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitpos(ks, "ones", 0, 0, -1, false, false), counted(24));
    EXPECT_EQ(dict_bitpos(ks, "ones", 0, 0, -1, true, false), counted(-1));
    EXPECT_EQ(dict_bitpos(ks, "ones", 1, 0, -1, false, false), counted(0));

    ASSERT_EQ(dict_set_string(ks, "z", std::string(3, '\0'), 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitpos(ks, "z", 1, 0, -1, false, false), counted(-1));
    EXPECT_EQ(dict_bitpos(ks, "z", 0, 0, -1, false, false), counted(0));

    ASSERT_EQ(dict_set_string(ks, "v", std::string("\x00\xff\xf0", 3), 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitpos(ks, "v", 1, 0, -1, false, false), counted(8));
    EXPECT_EQ(dict_bitpos(ks, "v", 1, 2, -1, true, false), counted(16));
    EXPECT_EQ(dict_bitpos(ks, "v", 0, 1, -1, true, false), counted(20));
    EXPECT_EQ(dict_bitpos(ks, "v", 1, 7, 15, true, true), counted(8));
    EXPECT_EQ(dict_bitpos(ks, "v", 0, 8, 19, true, true), counted(-1));
    // An explicit start past the end finds nothing, a negative one counts from the end.
    EXPECT_EQ(dict_bitpos(ks, "v", 1, 3, -1, true, false), counted(-1));
    EXPECT_EQ(dict_bitpos(ks, "v", 1, 24, -1, true, true), counted(-1));
    EXPECT_EQ(dict_bitpos(ks, "v", 1, -1, -1, true, false), counted(16));

    ASSERT_EQ(dict_set_string(ks, "e", "", 0), DictStatus::Ok);
    EXPECT_EQ(dict_bitpos(ks, "e", 0, 0, -1, false, false), counted(-1));
    EXPECT_EQ(dict_bitpos(ks, "missing", 0, 0, -1, false, false), counted(-1));
    ASSERT_NE(make_list("l"), nullptr);
    EXPECT_EQ(dict_bitpos(ks, "l", 1, 0, -1, false, false).status, DictStatus::WrongType);
}

TEST_F(StringsTest, BitCountAndBitPosMatchABitByBitReference) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 400; round++) {
        // Values with long runs of 0x00 and 0xff so word skipping is exercised.
        const size_t len = rng() % 70;
        std::string v(len, '\0');
        const int style = static_cast<int>(rng() % 3);
        for (size_t i = 0; i < len; i++) {
            const uint64_t r = rng() % 100;
            if (style == 0) v[i] = static_cast<char>(rng());
            if (style == 1) v[i] = r < 97 ? '\0' : static_cast<char>(rng());
            if (style == 2) v[i] = r < 97 ? '\xff' : static_cast<char>(rng());
        }
        ASSERT_EQ(dict_set_string(ks, "r", v, 0), DictStatus::Ok);
        const int64_t span = static_cast<int64_t>(len) * 8 + 20;
        for (int q = 0; q < 20; q++) {
            const int64_t s = static_cast<int64_t>(rng() % (2 * span + 1)) - span;
            const int64_t e = static_cast<int64_t>(rng() % (2 * span + 1)) - span;
            const bool bits = rng() & 1;
            const bool range = rng() & 1;
            const int want = static_cast<int>(rng() & 1);
            ASSERT_EQ(dict_bitcount(ks, "r", s, e, range, bits), counted(ref_bitcount(v, s, e, range, bits)))
                << "len " << len << " range " << s << ".." << e << " bits " << bits;
            ASSERT_EQ(dict_bitpos(ks, "r", want, s, e, range, bits), counted(ref_bitpos(v, want, s, e, range, bits)))
                << "len " << len << " bit " << want << " range " << s << ".." << e << " bits " << bits;
            ASSERT_EQ(dict_bitpos(ks, "r", want, 0, -1, false, false), counted(ref_bitpos(v, want, 0, -1, false, false)));
        }
    }
}

TEST(StringsBits, PopcountTableAndRangeNormalisation) {
    for (int i = 0; i < 256; i++) EXPECT_EQ(popcount8[i], std::popcount(static_cast<unsigned>(i))) << i;

    int64_t first = -1, last = -1;
    EXPECT_TRUE(bitnorm_range(6, 0, -1, false, &first, &last));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 5);
    EXPECT_TRUE(bitnorm_range(6, -100, 100, true, &first, &last));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 47);
    EXPECT_TRUE(bitnorm_range(3, 10, 20, false, &first, &last));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(last, 2);
    EXPECT_FALSE(bitnorm_range(3, 2, 1, false, &first, &last));
    EXPECT_FALSE(bitnorm_range(3, 0, -4, false, &first, &last));
    EXPECT_FALSE(bitnorm_range(0, 0, -1, false, &first, &last));
    EXPECT_TRUE(bitnorm_range(uint64_t{1} << 29, -1, -1, true, &first, &last));
    EXPECT_EQ(first, (int64_t{1} << 32) - 1);
    EXPECT_EQ(last, (int64_t{1} << 32) - 1);
    EXPECT_TRUE(bitnorm_range(4, INT64_MIN, INT64_MAX, false, &first, &last));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 3);
}

}  // namespace
