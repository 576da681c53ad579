// prefetch.cpp — cache hints for a batch of lookups. A pipelined batch names its
// keys before any of them is looked up; hinting every bucket, then every chain
// head, then the entries after a head that holds another key, lets the memory
// waits of the whole batch overlap instead of being taken one lookup after
// another. Hints never change the table and never fault.
#include "keyspace/keyspace.h"

namespace {

inline void hint(const void* p) { __builtin_prefetch(p, 0, 3); }

// The bytes of a block hint_entry covers: the header, a short value kept
// inline and the key after it, in an 8-aligned slab slot, so up to four cache lines.
constexpr uintptr_t kEntryHintBytes = 192;

void hint_entry(const Entry* e) {
    const char* block = reinterpret_cast<const char*>(e);
    hint(block);
    hint(block + 64);
    hint(block + 128);
    hint(block + kEntryHintBytes - 1);
}

// In a bigger block (a longer value kept inline) the key can lie past the lines
// hint_entry covered, and a lookup that reaches the entry compares it. Where the
// key is shows only in the header, so this is called once the header has
// arrived; a long key has its first line hinted (its length is stored with it).
void hint_key_past_entry(const Entry* e) {
    const uintptr_t hinted_end = (reinterpret_cast<uintptr_t>(e) + kEntryHintBytes - 1) | 63;
    const char* key = entry_value_space(e) + e->inline_cap;
    const size_t len = e->key_len == kEntryLongKey ? 0 : e->key_len;
    if (reinterpret_cast<uintptr_t>(key + len) <= hinted_end) return;
    hint(key);
    hint(key + len);  // the line of its last byte, or of the NUL after it
}

const Entry* chain_head(const Keyspace* ks, uint32_t hash) { return ks->buckets[hash & (ks->bucket_count - 1)]; }

}  // namespace

uint32_t dict_prefetch_bucket(const Keyspace* ks, std::string_view key) {
    const uint32_t hash = dict_hash(key);
    hint(&ks->buckets[hash & (ks->bucket_count - 1)]);
    return hash;
}

void dict_prefetch_entry(const Keyspace* ks, uint32_t hash) {
    if (const Entry* e = chain_head(ks, hash)) hint_entry(e);
}

// The head was hinted a few lookups before this call and its header is read
// anyway for its `next`; its hash byte, in the same line, tells whether the head
// likely holds the key. Only when it does not is the second entry hinted: a
// lookup that stops at the head never reads the second. The choice is made
// without a branch (the head once more, its lines already hinted, in place of
// the second): the header may still be in flight, and a branch on it that was
// predicted wrong would wait for it. A key past the head's hinted lines is
// hinted here.
void dict_prefetch_next(const Keyspace* ks, uint32_t hash) {
    const Entry* e = chain_head(ks, hash);
    if (e == nullptr) return;
    hint_key_past_entry(e);
    const Entry* n = e->next;
    const uintptr_t keep_head = uintptr_t(0) - uintptr_t((e->hash_tag == dict_hash_tag(hash)) | (n == nullptr));
    hint_entry(reinterpret_cast<const Entry*>((reinterpret_cast<uintptr_t>(e) & keep_head) |
                                              (reinterpret_cast<uintptr_t>(n) & ~keep_head)));
}

// Reads the head, and the second entry only where dict_prefetch_next hinted it
// (the head's hash byte is another key's). The third is hinted unless the
// second's hash byte is the key's.
void dict_prefetch_third(const Keyspace* ks, uint32_t hash) {
    const Entry* e = chain_head(ks, hash);
    const uint8_t tag = dict_hash_tag(hash);
    if (e == nullptr || e->hash_tag == tag || e->next == nullptr) return;
    hint_key_past_entry(e->next);
    if (e->next->hash_tag != tag && e->next->next != nullptr) hint_entry(e->next->next);
}
