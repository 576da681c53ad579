// prefetch.cpp — cache hints for a batch of lookups. A pipelined batch names its
// keys before any of them is looked up; hinting every bucket, then every chain
// head, lets the memory waits of the whole batch overlap instead of being taken
// one lookup after another. Hints never change the table and never fault.
#include "keyspace/keyspace.h"

namespace {

inline void hint(const void* p) { __builtin_prefetch(p, 0, 3); }

}  // namespace

uint32_t dict_prefetch_bucket(const Keyspace* ks, std::string_view key) {
    const uint32_t hash = dict_hash(key);
    hint(&ks->buckets[hash & (ks->bucket_count - 1)]);
    return hash;
}

void dict_prefetch_entry(const Keyspace* ks, uint32_t hash) {
    const Entry* e = ks->buckets[hash & (ks->bucket_count - 1)];
    if (e == nullptr) return;
    // The header, a short value kept inline and the key after it span the
    // entry's first three cache lines.
    const char* block = reinterpret_cast<const char*>(e);
    hint(block);
    hint(block + 64);
    hint(block + 128);
}
