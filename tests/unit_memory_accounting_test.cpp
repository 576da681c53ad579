// unit_memory_accounting_test.cpp — used_memory against the allocator's own
// count of what a keyspace holds, for every value type in several shapes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
#include <malloc.h>
#define VOREL_ALLOCATOR_STATS 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#undef VOREL_ALLOCATOR_STATS  // the sanitizer's allocator keeps its own books
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#undef VOREL_ALLOCATOR_STATS
#endif
#endif

namespace {

#ifdef VOREL_ALLOCATOR_STATS
// Bytes in use by the process's heap, small chunks and mapped blocks alike,
// and the pages the keyspace's entry slab maps from the system itself.
uint64_t allocated_bytes(const Keyspace* ks) {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd + ks->entry_slab.page_bytes();
}

// One load: `keys` keys of one type, each holding `per_key` elements (string
// keys hold one value) of `len` bytes; optionally each with a deadline, and
// optionally under a memory limit far above the load (so the eviction index is
// kept but nothing is evicted).
struct Shape {
    const char* name;
    KeyType type;
    uint32_t keys;
    uint32_t per_key;
    size_t len;
    bool deadline;
    bool limit;
};

// Distinct bytes of exactly len characters (at least 8) for element i.
std::string_view element(char* buf, size_t len, uint32_t i) {
    std::snprintf(buf, len + 1, "%08u%0*u", i, static_cast<int>(len - 8), 0u);
    return {buf, len};
}

// elem and value are buffers of at least s.len + 1 bytes, allocated before the
// measurement starts.
void load(Keyspace* ks, const Shape& s, char* elem, char* value) {
    char key[32];
    for (uint32_t k = 0; k < s.keys; ++k) {
        const int n = std::snprintf(key, sizeof key, "key:%u", k);
        const std::string_view name(key, static_cast<size_t>(n));
        for (uint32_t i = 0; i < s.per_key; ++i) {
            const std::string_view e = element(elem, s.len, i);
            switch (s.type) {
                case KEY_TYPE_STRING: ASSERT_EQ(dict_set_string(ks, name, element(value, s.len, k), 0), DictStatus::Ok); break;
                case KEY_TYPE_LIST: ASSERT_GT(dict_rpush(ks, name, e).value, 0); break;
                case KEY_TYPE_HASH: ASSERT_EQ(dict_hset(ks, name, e, element(value, s.len, i + k)).value, 1); break;
                case KEY_TYPE_SET: ASSERT_EQ(dict_sadd(ks, name, {e}).value, 1); break;
                case KEY_TYPE_ZSET: ASSERT_EQ(dict_zadd(ks, name, 0, (i * 7919u) % 100003u, e).value, 1); break;
                default: FAIL();
            }
        }
        if (s.deadline) {
            ASSERT_EQ(dict_expire_ms(ks, name, 3'600'000), DictStatus::Ok);
        }
    }
}

// Each shape loads 200,000 elements (the big strings fewer): many small keys,
// a few big containers of short members, and a few of 100-byte members.
const Shape kShapes[] = {
    {"strings short", KEY_TYPE_STRING, 200'000, 1, 10, false, false},
    {"strings 100-byte", KEY_TYPE_STRING, 200'000, 1, 100, false, false},
    {"strings 100-byte, deadlines, limit", KEY_TYPE_STRING, 200'000, 1, 100, true, true},
    {"strings 70,000-byte (own block)", KEY_TYPE_STRING, 200, 1, 70'000, false, false},
    {"lists small", KEY_TYPE_LIST, 50'000, 4, 10, false, false},
    {"lists small, deadlines, limit", KEY_TYPE_LIST, 50'000, 4, 10, true, true},
    {"lists big short", KEY_TYPE_LIST, 4, 50'000, 10, false, false},
    {"lists big 100-byte", KEY_TYPE_LIST, 4, 50'000, 100, false, false},
    {"hashes small", KEY_TYPE_HASH, 50'000, 4, 10, false, false},
    {"hashes small, deadlines, limit", KEY_TYPE_HASH, 50'000, 4, 10, true, true},
    {"hashes big short", KEY_TYPE_HASH, 4, 50'000, 10, false, false},
    {"hashes big 100-byte", KEY_TYPE_HASH, 4, 50'000, 100, false, false},
    {"sets small", KEY_TYPE_SET, 50'000, 4, 10, false, false},
    {"sets small, deadlines, limit", KEY_TYPE_SET, 50'000, 4, 10, true, true},
    {"sets big short", KEY_TYPE_SET, 4, 50'000, 10, false, false},
    {"sets big 100-byte", KEY_TYPE_SET, 4, 50'000, 100, false, false},
    {"zsets small", KEY_TYPE_ZSET, 50'000, 4, 10, false, false},
    {"zsets small, deadlines, limit", KEY_TYPE_ZSET, 50'000, 4, 10, true, true},
    {"zsets big short", KEY_TYPE_ZSET, 4, 50'000, 10, false, false},
    {"zsets big 100-byte", KEY_TYPE_ZSET, 4, 50'000, 100, false, false},
};
#endif  // VOREL_ALLOCATOR_STATS

TEST(MemoryAccounting, UsedMemoryTracksRealAllocationForEveryTypeAndShape) {
#ifndef VOREL_ALLOCATOR_STATS
    GTEST_SKIP() << "needs the allocator's statistics (glibc, no sanitizer)";
#else
    for (const Shape& s : kShapes) {
        SCOPED_TRACE(s.name);
        Keyspace* ks = dict_create(0);
        ASSERT_NE(ks, nullptr);
        if (s.limit) dict_set_max_memory_bytes(ks, uint64_t{4} << 30);
        std::vector<char> elem(s.len + 1);
        std::vector<char> value(s.len + 1);
        const uint64_t real_before = allocated_bytes(ks);
        const uint64_t used_before = ks->used_memory;
        load(ks, s, elem.data(), value.data());
        const double real = static_cast<double>(allocated_bytes(ks) - real_before);
        const double used = static_cast<double>(ks->used_memory - used_before);
        std::printf("%-36s used %10.0f real %10.0f ratio %.3f\n", s.name, used, real, used / real);
        EXPECT_EQ(ks->evicted_keys, 0u);
        EXPECT_NEAR(used / real, 1.0, 0.10) << "used_memory grew by " << used << ", the heap by " << real;
        dict_destroy(ks);
    }
#endif
}

}  // namespace
