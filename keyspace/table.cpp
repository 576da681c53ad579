// table.cpp — the keyspace's chained hash table: creation and teardown, the one
// lookup (with lazy expiry), growth, the insertion and removal sequences, memory
// charges, blob helpers and the small key queries built on the lookup.
#include "keyspace/keyspace.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

uint64_t bucket_of(const Keyspace* ks, uint32_t hash) { return hash & (ks->bucket_count - 1); }

// Equal n bytes, for sizeof(Word) <= n <= 2 * sizeof(Word): the first and the
// last word, overlapping when n is short of two words.
template <class Word>
inline bool same_overlapping_words(const char* a, const char* b, size_t n) {
    Word a0, a1, b0, b1;
    std::memcpy(&a0, a, sizeof(Word));
    std::memcpy(&b0, b, sizeof(Word));
    std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Equal bytes; keys of 4 to 16 bytes (the usual ones) are compared as two
// words without a library call.
inline bool same_key_bytes(const char* a, const char* b, size_t n) {
    if (n >= 8 && n <= 16) return same_overlapping_words<uint64_t>(a, b, n);
    if (n >= 4 && n < 8) return same_overlapping_words<uint32_t>(a, b, n);
    return std::memcmp(a, b, n) == 0;
}

// The bucket of a linked entry: its hash is not kept, so it comes from the key.
uint64_t bucket_of_entry(const Keyspace* ks, const Entry* e) { return bucket_of(ks, dict_hash(entry_key(e))); }

bool is_dead(const Keyspace* ks, const Entry* e, int64_t now) {
    if (!entry_has_deadline(e)) return false;
    const int64_t deadline = entry_deadline(ks, e);
    return deadline > 0 && deadline <= now;
}

void push_at_chain_head(Entry** head, Entry* e) {
    e->next = *head;
    *head = e;
}

// Releases the value of the entry with its charges and leaves the payload slot zeroed.
void release_payload(Keyspace* ks, Entry* e) {
    switch (e->type) {
        case KEY_TYPE_STRING:
            dict_uncharge(ks, entry_str_charge(e));
            entry_clear_str(e);
            break;
        default:
            if (const ValueTypeOps* ops = dict_value_ops(e->type)) ops->release(ks, e);
            break;
    }
    e->ext = nullptr;
}

// Links an unlinked entry at its chain head and enters it in the eviction index
// (which orders by chain position, hence after linking). Neither counts nor
// charges. False, with the entry unlinked again, when the index node cannot be
// allocated.
bool enter_chain_and_index(Keyspace* ks, Entry* e, int64_t now) {
    const uint32_t hash = dict_hash(entry_key(e));
    e->hash_tag = dict_hash_tag(hash);
    e->flags = (e->flags & ~ENTRY_REWRITE_MARK) | ks->rewrite_mark;
    e->last_access_ms = now;
    Entry** head = &ks->buckets[bucket_of(ks, hash)];
    push_at_chain_head(head, e);
    try {
        lru_index_insert(ks, e);
    } catch (const std::bad_alloc&) {
        *head = e->next;
        return false;
    }
    return true;
}

// Takes out an entry just entered by enter_chain_and_index (still the chain head).
void leave_chain_and_index(Keyspace* ks, Entry* e) {
    lru_index_erase(ks, e);
    ks->buckets[bucket_of_entry(ks, e)] = e->next;
}

// Links an unlinked entry at its chain head, indexes, counts and charges it.
// False, with nothing changed, on allocation failure.
bool link_at_chain_head(Keyspace* ks, Entry* e, int64_t now) {
    if (!enter_chain_and_index(ks, e, now)) return false;
    ks->key_count++;
    ks->change_count++;
    ks->dirty++;
    dict_charge(ks, dict_key_charge(ks, e));
    return true;
}

// Takes the entry out of its chain given its predecessor (nullptr = chain head).
void unlink_from_chain(Keyspace* ks, Entry* e, Entry* pred) {
    if (pred)
        pred->next = e->next;
    else
        ks->buckets[bucket_of_entry(ks, e)] = e->next;
}

// The predecessor of the entry in its chain; *found false when it is not linked.
Entry* find_pred(const Keyspace* ks, const Entry* e, bool* found) {
    Entry* pred = nullptr;
    for (Entry* cur = ks->buckets[bucket_of_entry(ks, e)]; cur; pred = cur, cur = cur->next)
        if (cur == e) {
            *found = true;
            return pred;
        }
    *found = false;
    return nullptr;
}

// Frees every entry of every chain and empties the buckets. Both indexes are
// dropped first so freeing each entry does not update them one by one.
void free_all_entries(Keyspace* ks) {
    if (ks->key_count) ks->dirty++;
    ks->expiry_index.clear();
    ks->deadlines.clear();
    dict_track_side_table(ks, ks->deadlines, &ks->deadline_table_charged);
    lru_index_drop(ks);
    for (uint64_t i = 0; i < ks->bucket_count; i++) {
        Entry* e = ks->buckets[i];
        while (e) {
            Entry* next = e->next;
            free_entry(ks, e);
            e = next;
        }
        ks->buckets[i] = nullptr;
    }
    ks->key_count = 0;
    ks->change_count++;
}

// Operations of the container types, filled by their modules at start-up.
ValueTypeOps* value_ops_table() {
    static ValueTypeOps table[KEY_TYPE_ZSET + 1] = {};
    return table;
}

}  // namespace

const ValueTypeOps* dict_value_ops(uint32_t type) {
    if (type > KEY_TYPE_ZSET) return nullptr;
    const ValueTypeOps& ops = value_ops_table()[type];
    return ops.release ? &ops : nullptr;
}

void dict_register_value_type(uint32_t type, const ValueTypeOps& ops) {
    if (type <= KEY_TYPE_ZSET) value_ops_table()[type] = ops;
}

// h = h * 33 + byte over every byte, four bytes per step: the same value as the
// byte loop in 32-bit wrap-around arithmetic (h*33^4 + b0*33^3 + b1*33^2 + b2*33
// + b3), with a chain of one multiply per four bytes instead of one per byte.
uint32_t dict_hash(std::string_view key) {
    constexpr uint32_t k1 = 33, k2 = k1 * 33, k3 = k2 * 33, k4 = k3 * 33;
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    size_t n = key.size();
    uint32_t h = 5381;
    for (; n >= 4; p += 4, n -= 4) h = h * k4 + p[0] * k3 + p[1] * k2 + p[2] * k1 + p[3];
    for (; n > 0; ++p, --n) h = h * 33 + *p;
    return h;
}

Keyspace* dict_create(int32_t max_memory_mb) {
    Keyspace* ks = new (std::nothrow) Keyspace{};
    if (!ks) return nullptr;
    ks->buckets = static_cast<Entry**>(calloc(INITIAL_BUCKETS, sizeof(Entry*)));
    if (!ks->buckets) {
        delete ks;
        return nullptr;
    }
    ks->bucket_count = INITIAL_BUCKETS;
    ks->used_memory = CHARGE_FRESH_KEYSPACE;
    dict_set_max_memory(ks, max_memory_mb);
    return ks;
}

void dict_destroy(Keyspace* ks) {
    if (!ks) return;
    free_all_entries(ks);
    free(ks->buckets);
    delete ks;
}

void dict_flush(Keyspace* ks) {
    if (!ks) return;
    if (ks->on_removed != nullptr) ks->on_removed(ks->on_removed_ctx, {});
    free_all_entries(ks);
    lru_index_sync(ks);
    ks->used_memory = CHARGE_KEYSPACE + dict_buckets_charge(ks->bucket_count) + ks->deadline_table_charged +
                      ks->lru_table_charged;
}

Entry* dict_find_entry(Keyspace* ks, std::string_view key, uint64_t* bucket_out, Entry** pred_out) {
    if (!ks || !key.data() || key.empty()) return nullptr;
    const uint32_t hash = dict_key_hash(ks, key);
    const uint64_t bucket = bucket_of(ks, hash);
    if (bucket_out) *bucket_out = bucket;
    const int64_t now = dict_now_ms(ks);
    const uint8_t tag = dict_hash_tag(hash);
    const uint16_t short_len = key.size() >= kEntryLongKey ? kEntryLongKey : static_cast<uint16_t>(key.size());
    Entry* pred = nullptr;
    for (Entry* e = ks->buckets[bucket]; e; pred = e, e = e->next) {
        if (e->hash_tag != tag || e->key_len != short_len) continue;
        const std::string_view stored = entry_key(e);
        if (stored.size() != key.size() || !same_key_bytes(stored.data(), key.data(), key.size())) continue;
        if (is_dead(ks, e, now)) {
            dict_note_removal(ks, e, false);
            entry_remove(ks, e, pred);
            ks->expired_keys += 1;
            return nullptr;
        }
        if (pred_out) *pred_out = pred;
        entry_touch(ks, e, now);
        return e;
    }
    return nullptr;
}

void dict_resize_if_needed(Keyspace* ks) {
    if (!ks || ks->key_count <= kMaxKeysPerBucket * ks->bucket_count) return;
    const uint64_t old_count = ks->bucket_count;
    const uint64_t new_count = old_count * 2;
    Entry** fresh = static_cast<Entry**>(calloc(new_count, sizeof(Entry*)));
    if (!fresh) return;
    // Every bucket index and chain position changes: the eviction order is
    // dropped now and rebuilt afterwards rather than kept in step entry by entry.
    lru_index_drop(ks);
    Entry** old = ks->buckets;
    ks->buckets = fresh;
    ks->bucket_count = new_count;
    for (uint64_t i = 0; i < old_count; i++) {
        Entry* e = old[i];
        while (e) {
            Entry* next = e->next;
            push_at_chain_head(&fresh[bucket_of_entry(ks, e)], e);
            e = next;
        }
    }
    free(old);
    // Not through dict_charge: growing the table changes no contents.
    ks->used_memory += dict_buckets_charge(new_count) - dict_buckets_charge(old_count);
    ks->change_count++;
    lru_index_sync(ks);
}

bool dict_link_new_entry(Keyspace* ks, Entry* e, int64_t now) {
    dict_resize_if_needed(ks);
    return link_at_chain_head(ks, e, now);
}

Entry* dict_insert_entry(Keyspace* ks, std::string_view key, uint32_t type, int64_t now) {
    if (!ks || !key.data() || key.empty()) return nullptr;
    Entry* e = entry_allocate(ks->entry_slab, key, type, 0, ks->max_memory_bytes > 0);
    if (e && !dict_link_new_entry(ks, e, now)) {
        entry_deallocate(ks->entry_slab, e);
        return nullptr;
    }
    return e;
}

Entry* dict_insert_string_entry(Keyspace* ks, std::string_view key, uint64_t value_len, int64_t now) {
    if (!ks || !key.data() || key.empty()) return nullptr;
    Entry* e = entry_allocate(ks->entry_slab, key, KEY_TYPE_STRING, value_len, ks->max_memory_bytes > 0);
    if (!e) return nullptr;
    if (!dict_link_new_entry(ks, e, now)) {
        entry_deallocate(ks->entry_slab, e);
        return nullptr;
    }
    dict_charge(ks, entry_str_charge(e));
    // An inline value moves no charge of its own, but it is still a write.
    dict_mark_dirty(ks);
    return e;
}

void free_entry(Keyspace* ks, Entry* e) {
    if (!ks || !e) return;
    entry_set_expire(ks, e, 0);
    release_payload(ks, e);
    dict_uncharge(ks, dict_key_charge(ks, e));
    entry_deallocate(ks->entry_slab, e);
}

void entry_remove(Keyspace* ks, Entry* e, Entry* pred) {
    if (ks->on_removed != nullptr) ks->on_removed(ks->on_removed_ctx, entry_key(e));
    // Out of the eviction order while still linked: its comparison walks the chain.
    lru_index_erase(ks, e);
    unlink_from_chain(ks, e, pred);
    free_entry(ks, e);
    ks->key_count--;
    ks->change_count++;
    ks->dirty++;
}

void entry_unlink(Keyspace* ks, Entry* e) {
    if (!ks || !e) return;
    bool found = false;
    Entry* pred = find_pred(ks, e, &found);
    if (found) entry_remove(ks, e, pred);
}

bool entry_rekey(Keyspace* ks, Entry* e, Entry* moved, int64_t now) {
    bool found = false;
    find_pred(ks, e, &found);
    if (!found) {
        entry_deallocate_shell(ks->entry_slab, moved);
        return false;
    }
    // Every index node the moved entry needs is allocated while e is still in
    // place, so a failure leaves e as it was. Both indexes hold addresses: the
    // moved entry is entered under its own.
    const int64_t deadline = entry_deadline(ks, e);
    if (!enter_chain_and_index(ks, moved, now)) {
        entry_deallocate_shell(ks->entry_slab, moved);
        return false;
    }
    try {
        entry_set_expire(ks, moved, deadline);
    } catch (const std::bad_alloc&) {
        leave_chain_and_index(ks, moved);
        entry_deallocate_shell(ks->entry_slab, moved);
        return false;
    }
    // Nothing below allocates. The moved entry may now precede e in the chain.
    lru_index_erase(ks, e);
    unlink_from_chain(ks, e, find_pred(ks, e, &found));
    entry_set_expire(ks, e, 0);  // gives back the charge the moved entry's deadline took
    ks->change_count++;
    ks->dirty++;
    dict_uncharge(ks, entry_block_charge(e));
    dict_charge(ks, entry_block_charge(moved));
    entry_deallocate_shell(ks->entry_slab, e);
    return true;
}

void entry_convert_type(Keyspace* ks, Entry* e) {
    if (!e || e->type == KEY_TYPE_STRING) return;
    release_payload(ks, e);
    e->type = KEY_TYPE_STRING;
}

void entry_touch(Keyspace* ks, Entry* e, int64_t now) {
    if (e->last_access_ms == now) return;
    if (ks->lru_index) lru_index_touch(ks, e, now);
    e->last_access_ms = now;
}

int64_t entry_deadline(const Keyspace* ks, const Entry* e) {
    if (!entry_has_deadline(e)) return 0;
    const int64_t* found = ks->deadlines.find(e);
    return found ? *found : 0;
}

LruIndex::iterator entry_lru_pos(const Keyspace* ks, const Entry* e) {
    if (e->flags & ENTRY_LRU_SLOT) {
        LruIndex::iterator pos;
        memcpy(static_cast<void*>(&pos), entry_lru_slot(const_cast<Entry*>(e)), sizeof pos);
        return pos;
    }
    const LruIndex::iterator* found = ks->lru_positions.find(e);
    return found ? *found : ks->lru_index->end();
}

void entry_set_expire(Keyspace* ks, Entry* e, int64_t expire_at_ms) {
    if (expire_at_ms < 0) expire_at_ms = 0;
    const int64_t old = entry_deadline(ks, e);
    if (old == expire_at_ms) return;
    if (old > 0 && expire_at_ms > 0) {
        // The new node first: if it cannot be allocated, the old deadline stands.
        ks->expiry_index.insert({expire_at_ms, e});
        ks->expiry_index.erase({old, e});
        *ks->deadlines.find(e) = expire_at_ms;
    } else if (expire_at_ms > 0) {
        const ExpiryIndex::iterator node = ks->expiry_index.insert({expire_at_ms, e}).first;
        try {
            ks->deadlines.insert_or_assign(e, expire_at_ms);
        } catch (const std::bad_alloc&) {
            ks->expiry_index.erase(node);
            throw;
        }
        dict_track_side_table(ks, ks->deadlines, &ks->deadline_table_charged);
        e->flags |= ENTRY_DEADLINE;
        dict_charge(ks, CHARGE_EXPIRY_NODE);
    } else {
        ks->expiry_index.erase({old, e});
        ks->deadlines.erase(e);
        dict_track_side_table(ks, ks->deadlines, &ks->deadline_table_charged);
        e->flags &= ~ENTRY_DEADLINE;
        dict_uncharge(ks, CHARGE_EXPIRY_NODE);
    }
    ks->dirty++;
}

void dict_charge(Keyspace* ks, uint64_t bytes) {
    if (!ks || bytes == 0) return;
    ks->used_memory += bytes;
    ks->dirty++;
}

void dict_uncharge(Keyspace* ks, uint64_t bytes) {
    if (!ks || bytes == 0) return;
    ks->dirty++;
    ks->used_memory = bytes > ks->used_memory ? 0 : ks->used_memory - bytes;
}

bool dict_blob_set(Blob* b, const void* src, size_t len) {
    if (!b) return false;
    if (!src || len == 0) {
        dict_blob_free(b);
        return true;
    }
    // Copy before freeing: the source may point into the blob itself.
    char* data = static_cast<char*>(malloc(len + 1));
    if (data) {
        memcpy(data, src, len);
        data[len] = '\0';
    }
    dict_blob_free(b);
    if (!data) return false;
    b->data = data;
    b->len = len;
    return true;
}

void dict_blob_free(Blob* b) {
    if (!b) return;
    free(b->data);
    b->data = nullptr;
    b->len = 0;
}

uint32_t dict_key_type(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    return e ? uint32_t{e->type} : uint32_t{KEY_TYPE_NONE};
}

const char* dict_type_name(Keyspace* ks, std::string_view key) {
    switch (dict_key_type(ks, key)) {
        case KEY_TYPE_STRING: return "string";
        case KEY_TYPE_LIST: return "list";
        case KEY_TYPE_HASH: return "hash";
        case KEY_TYPE_SET: return "set";
        case KEY_TYPE_ZSET: return "zset";
        default: return "none";
    }
}

int64_t dict_key_count(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return 0;
    switch (e->type) {
        case KEY_TYPE_STRING:
            // Reported as a signed 32-bit length, like every other count here.
            return static_cast<int32_t>(entry_str_len(e));
        default: {
            const ValueTypeOps* ops = dict_value_ops(e->type);
            return ops ? ops->count(e) : 0;
        }
    }
}

DictStatus dict_del(Keyspace* ks, std::string_view key) {
    Entry* pred = nullptr;
    Entry* e = dict_find_entry(ks, key, nullptr, &pred);
    if (!e) return DictStatus::Missing;
    entry_remove(ks, e, pred);
    return DictStatus::Ok;
}

DictStatus dict_exists(Keyspace* ks, std::string_view key) {
    return dict_find_entry(ks, key) ? DictStatus::Ok : DictStatus::Missing;
}

uint64_t dict_memory_usage(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return 0;
    uint64_t total = dict_key_charge(ks, e) + (entry_has_deadline(e) ? CHARGE_EXPIRY_NODE : 0);
    if (e->type == KEY_TYPE_STRING) return total + entry_str_charge(e);
    const ValueTypeOps* ops = dict_value_ops(e->type);
    return total + (ops && ops->charge ? ops->charge(e) : 0);
}
