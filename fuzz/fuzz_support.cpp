// fuzz_support.cpp — the keyspace invariants every fuzz target checks.
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "keyspace invariant broken: %s\n", what);
    std::abort();
}

}  // namespace

void check_keyspace(const Keyspace* ks) {
    if (ks == nullptr) return;
    uint64_t entries = 0, with_expiry = 0, without_slot = 0;
    for (uint64_t b = 0; b < ks->bucket_count; ++b) {
        for (const Entry* e = ks->buckets[b]; e != nullptr; e = e->next) {
            ++entries;
            if (!(e->flags & ENTRY_LRU_SLOT)) ++without_slot;
            const uint32_t hash = dict_hash(entry_key(e));
            if ((hash & (ks->bucket_count - 1)) != b) fail("entry in the wrong bucket");
            if (dict_hash_tag(hash) != e->hash_tag) fail("stale hash tag");
            if (entry_has_deadline(e)) {
                ++with_expiry;
                const int64_t deadline = entry_deadline(ks, e);
                if (deadline <= 0) fail("flagged deadline not in the deadline table");
                if (ks->expiry_index.count({deadline, const_cast<Entry*>(e)}) == 0) fail("expiry not indexed");
            }
            if (e->type != KEY_TYPE_STRING) {
                const ValueTypeOps* ops = dict_value_ops(e->type);
                if (ops == nullptr) fail("entry of an unknown type");
                if (ops->count(e) <= 0) fail("an empty container was left in the keyspace");
            }
        }
    }
    if (entries != ks->key_count) fail("key_count differs from the linked entries");
    if (with_expiry != ks->expiry_index.size()) fail("expiry index holds stale entries");
    if (with_expiry != ks->deadlines.size()) fail("deadline table holds stale entries");
    if (ks->lru_index && ks->lru_index->size() != ks->key_count) fail("eviction index out of step");
    if (ks->lru_index && ks->lru_positions.size() != without_slot) fail("eviction positions out of step");
    if (ks->used_memory < CHARGE_KEYSPACE + CHARGE_BUCKET * ks->bucket_count) fail("used_memory below the table");
}

}  // namespace fuzz
