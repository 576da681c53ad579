// unit_memory_reference.h — used_memory recomputed from what a keyspace holds
// right now: every block of every structure, sized as the allocator sizes it.
// Written from the structures themselves, not from the engine's running sums.
#pragma once

#include <cstdint>
#include <string_view>

#include "keyspace/container_common.h"
#include "keyspace/keyspace.h"
#include "keyspace/list_value.h"
#include "keyspace/zsets_internal.h"

namespace ks_test {

// A hash or set payload: its block, the store's arrays, each element's strings.
template <class C>
uint64_t held_by_container(const C& c) {
    uint64_t total = dict_alloc_size(sizeof(C)) + c.store.memory_bytes(dict_alloc_size);
    c.store.for_each([&](const typename C::Slot& s) { total += C::charge_of(s.key, s.value); });
    return total;
}

// Everything one value holds (the entry block aside).
inline uint64_t held_by_value(const Entry* e) {
    switch (e->type) {
        case KEY_TYPE_STRING: return entry_str_charge(e);
        case KEY_TYPE_LIST: {
            const ListValue& l = *e->list;
            if (l.capacity() == 0) return 0;
            uint64_t total = dict_alloc_size(sizeof(ListValue)) + dict_alloc_size(l.capacity() * sizeof(Blob));
            for (uint64_t p = 0; p < l.count; p++)
                if (l.at(p).data) total += dict_alloc_size(l.at(p).len + 1);
            return total;
        }
        case KEY_TYPE_HASH: return held_by_container(*e->hash_value);
        case KEY_TYPE_SET: return held_by_container(*e->set);
        case KEY_TYPE_ZSET: {
            const ZsetIndex& index = e->zset->index;
            if (index.size() == 0) return 0;
            uint64_t total = dict_alloc_size(sizeof(ZsetValue)) + index.memory_bytes();
            // Each member's record: score, hash and length, then the bytes and a NUL.
            for (ZsetCursor c = index.cursor(0); c.valid(); c.next())
                total += dict_alloc_size(sizeof(ZsetRecord) + c.item().member.size() + 1);
            return total;
        }
        default: return 0;
    }
}

// One key: its entry block, its index nodes and its value.
inline uint64_t held_by_key(const Keyspace* ks, const Entry* e) {
    uint64_t total = entry_block_charge(e) + held_by_value(e);
    if (entry_has_deadline(e)) total += CHARGE_EXPIRY_NODE;
    // The index node (a position table slot, if any, is charged with the table's array).
    if (ks->lru_index) total += CHARGE_LRU_NODE;
    return total;
}

// The same for the key of that name (0 when missing), found without a lookup.
inline uint64_t held_by_key(const Keyspace* ks, std::string_view key) {
    for (const Entry* e = ks->buckets[dict_hash(key) & (ks->bucket_count - 1)]; e; e = e->next)
        if (entry_key(e) == key) return held_by_key(ks, e);
    return 0;
}

// used_memory as it should stand: the keyspace, its buckets, the slot arrays
// of its side tables and every key.
inline uint64_t held_memory(const Keyspace* ks) {
    uint64_t total = CHARGE_KEYSPACE + dict_buckets_charge(ks->bucket_count) +
                     dict_side_table_charge(ks->deadlines.capacity());
    if (ks->lru_index) total += dict_side_table_charge(ks->lru_positions.capacity());
    for (uint64_t i = 0; i < ks->bucket_count; i++)
        for (const Entry* e = ks->buckets[i]; e; e = e->next) total += held_by_key(ks, e);
    return total;
}

}  // namespace ks_test
