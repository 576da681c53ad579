// expiry.cpp — key lifetimes and the memory limit: setting and reading expiry,
// the sweep of dead keys through the deadline-ordered expiry index, and exact
// least-recently-used eviction through the LRU index.
#include "keyspace/keyspace.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;

// Milliseconds left on a live key: Missing (also a key that died meanwhile);
// NotFound: no deadline.
DictCount remaining_ms(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    const int64_t deadline = entry_deadline(ks, e);
    if (deadline <= 0) return {DictStatus::NotFound, 0};
    const int64_t remaining = deadline - dict_now_ms(ks);
    if (remaining <= 0) return {DictStatus::Missing, 0};
    return {DictStatus::Ok, remaining};
}

// Removes the entry found through an index. Returns false when the entry was
// not linked where its hash says, so callers looping over an index stop rather
// than spin on an entry they cannot remove.
bool remove_indexed(Keyspace* ks, Entry* e) {
    const uint64_t before = ks->key_count;
    entry_unlink(ks, e);
    return ks->key_count != before;
}

void write_slot(Entry* e, LruIndex::iterator pos) {
    memcpy(entry_lru_slot(e), static_cast<const void*>(&pos), sizeof pos);
}

// What the index holds for its entries: a node each (the position table's
// array is charged apart).
uint64_t lru_index_charge(const Keyspace* ks) { return ks->lru_index->size() * CHARGE_LRU_NODE; }

// Records the position of an entry not yet recorded; the position table's
// insertion may throw std::bad_alloc, recording nothing.
void record_position(LruPositions& table, Entry* e, LruIndex::iterator pos) {
    if (e->flags & ENTRY_LRU_SLOT)
        write_slot(e, pos);
    else
        table.insert_or_assign(e, pos);
}

}  // namespace

bool LruOrder::operator()(const LruSlot& a, const LruSlot& b) const {
    if (a.stamp != b.stamp) return a.stamp < b.stamp;
    const uint64_t mask = ks->bucket_count - 1;
    const uint64_t bucket_a = a.hash & mask;
    const uint64_t bucket_b = b.hash & mask;
    if (bucket_a != bucket_b) return bucket_a < bucket_b;
    // Same stamp, same bucket: the one met first from the chain head comes first.
    // Chains average under one entry per bucket, so the walk is short.
    if (a.entry == b.entry) return false;
    for (const Entry* e = ks->buckets[bucket_a]; e; e = e->next) {
        if (e == a.entry) return true;
        if (e == b.entry) return false;
    }
    return false;
}

DictStatus dict_expire_ms(Keyspace* ks, std::string_view key, int64_t relative_ms) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) return DictStatus::Missing;
    int64_t deadline = 0;
    if (relative_ms > 0) {
        const int64_t now = dict_now_ms(ks);
        // A deadline past the end of time is as good as the end of time.
        deadline = relative_ms > INT64_MAX - now ? INT64_MAX : now + relative_ms;
    }
    entry_set_expire(ks, e, deadline);
    return DictStatus::Ok;
}

DictStatus dict_expire(Keyspace* ks, std::string_view key, int32_t relative_s) {
    return dict_expire_ms(ks, key, static_cast<int64_t>(relative_s) * 1000);
}

DictStatus dict_expire_at_ms(Keyspace* ks, std::string_view key, int64_t deadline_ms) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) return DictStatus::Missing;
    entry_set_expire(ks, e, deadline_ms);
    return DictStatus::Ok;
}

DictStatus dict_persist(Keyspace* ks, std::string_view key) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) return DictStatus::Missing;
    if (!entry_has_deadline(e)) return DictStatus::NotFound;
    entry_set_expire(ks, e, 0);
    return DictStatus::Ok;
}

DictCount dict_ttl(Keyspace* ks, std::string_view key) {
    DictCount r = remaining_ms(ks, key);
    if (r.ok()) r.value = static_cast<int64_t>((static_cast<uint64_t>(r.value) + 999) / 1000);
    return r;
}

DictCount dict_pttl(Keyspace* ks, std::string_view key) { return remaining_ms(ks, key); }

void dict_cleanup_expired(Keyspace* ks) {
    // Runs on every pass of the connection loop: with no key carrying a deadline
    // it returns before even reading the clock.
    if (!ks || ks->key_count == 0 || ks->expiry_index.empty()) return;
    const int64_t now = dict_now_ms(ks);
    while (!ks->expiry_index.empty()) {
        const auto [deadline, e] = *ks->expiry_index.begin();
        if (deadline > now) break;
        dict_note_removal(ks, e, false);
        if (!remove_indexed(ks, e)) break;
        ks->expired_keys += 1;
    }
}

void dict_note_removal(Keyspace* ks, const Entry* e, bool evicted) {
    if (ks->removal_hook != nullptr) ks->removal_hook(ks->removal_ctx, entry_key(e), evicted);
}

void dict_pause_eviction(Keyspace* ks, bool paused) {
    if (!ks) return;
    ks->eviction_paused = paused;
    if (!paused) dict_evict_lru(ks);
}

void dict_evict_lru(Keyspace* ks) {
    if (!ks || ks->max_memory_bytes == 0 || ks->key_count == 0 || ks->eviction_paused) return;
    const uint64_t limit = ks->max_memory_bytes;
    if (ks->used_memory <= limit) return;
    if (!ks->lru_index) lru_index_sync(ks);
    if (!ks->lru_index) return;  // could not be built: nothing to go by
    while (ks->used_memory > limit && ks->key_count > 0 && !ks->lru_index->empty()) {
        Entry* victim = ks->lru_index->begin()->entry;
        // The victim search takes only stamps strictly below the largest signed
        // value, so keys stamped with it are never chosen.
        if (victim->last_access_ms == INT64_MAX) return;
        dict_note_removal(ks, victim, true);
        if (!remove_indexed(ks, victim)) return;
        ks->evicted_keys += 1;
    }
}

void dict_set_max_memory(Keyspace* ks, int32_t max_memory_mb) {
    if (!ks) return;
    ks->max_memory_mb = max_memory_mb;
    ks->max_memory_bytes = max_memory_mb > 0 ? static_cast<uint64_t>(max_memory_mb) * kMiB : 0;
    lru_index_sync(ks);
}

void dict_set_max_memory_bytes(Keyspace* ks, uint64_t max_memory_bytes) {
    if (!ks) return;
    const uint64_t mb = (max_memory_bytes + kMiB - 1) / kMiB;
    ks->max_memory_mb = mb > INT32_MAX ? INT32_MAX : static_cast<int32_t>(mb);
    ks->max_memory_bytes = max_memory_bytes;
    lru_index_sync(ks);
}

int32_t dict_maxmemory_mb(const Keyspace* ks) {
    if (!ks || ks->max_memory_mb < 0) return 0;
    return ks->max_memory_mb;
}

uint64_t dict_maxmemory_bytes(const Keyspace* ks) { return ks ? ks->max_memory_bytes : 0; }

DictCount dict_last_accessed_ms(Keyspace* ks, std::string_view key) {
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return {DictStatus::Ok, e->last_access_ms};
}

void lru_index_drop(Keyspace* ks) {
    if (!ks->lru_index) return;
    const uint64_t held = lru_index_charge(ks) + ks->lru_table_charged;
    ks->used_memory -= std::min(held, ks->used_memory);
    ks->lru_positions.clear();  // gives its array back too
    ks->lru_table_charged = 0;
    ks->lru_index.reset();
}

void lru_index_sync(Keyspace* ks) {
    if (ks->max_memory_bytes == 0) {
        lru_index_drop(ks);
        return;
    }
    if (ks->lru_index) return;
    // Built aside and installed only when complete: a failed build leaves no
    // index (the positions it handed out die with it), and eviction tries again.
    try {
        std::vector<LruSlot> slots;
        slots.reserve(ks->key_count);
        for (uint64_t i = 0; i < ks->bucket_count; i++)
            for (Entry* e = ks->buckets[i]; e; e = e->next) slots.push_back(lru_slot(e));
        const LruOrder order{ks};
        std::sort(slots.begin(), slots.end(), order);
        // Sorted input with an end hint builds the tree in linear time.
        auto index = std::make_unique<LruIndex>(order);
        LruPositions positions;
        uint64_t in_table = 0;
        for (const LruSlot& slot : slots) in_table += (slot.entry->flags & ENTRY_LRU_SLOT) ? 0 : 1;
        positions.reserve(in_table);
        for (const LruSlot& slot : slots) record_position(positions, slot.entry, index->insert(index->end(), slot));
        ks->lru_index = std::move(index);
        ks->lru_positions = std::move(positions);
        ks->lru_table_charged = dict_side_table_charge(ks->lru_positions.capacity());
        ks->used_memory += lru_index_charge(ks) + ks->lru_table_charged;
    } catch (const std::bad_alloc&) {
        // Left without an index, as said above.
    }
}

void lru_index_insert(Keyspace* ks, Entry* e) {
    if (!ks->lru_index) return;
    // New and freshly touched entries carry the newest stamp and nearly always
    // belong at the end, where the hint makes the insertion constant time.
    const LruIndex::iterator node = ks->lru_index->insert(ks->lru_index->end(), lru_slot(e));
    try {
        record_position(ks->lru_positions, e, node);
    } catch (const std::bad_alloc&) {
        ks->lru_index->erase(node);
        throw;
    }
    dict_track_side_table(ks, ks->lru_positions, &ks->lru_table_charged);
}

void lru_index_erase(Keyspace* ks, Entry* e) {
    if (!ks->lru_index) return;
    // By position, not by value: no descent through cold entries of a big index.
    if (e->flags & ENTRY_LRU_SLOT) {
        ks->lru_index->erase(entry_lru_pos(ks, e));
        return;
    }
    LruIndex::iterator pos;
    if (!ks->lru_positions.erase(e, &pos)) return;
    ks->lru_index->erase(pos);
    dict_track_side_table(ks, ks->lru_positions, &ks->lru_table_charged);
}

void lru_index_touch(Keyspace* ks, Entry* e, int64_t now) {
    // The stamp is part of the eviction order's key. The new place is taken
    // before the old one is given up (the stamps differ, so both coexist): if
    // its node cannot be allocated, the entry keeps its stamp and place. The
    // old node lends its hash; recording the new position allocates nothing.
    LruIndex::iterator* in_table = nullptr;
    LruIndex::iterator old;
    if (e->flags & ENTRY_LRU_SLOT) {
        old = entry_lru_pos(ks, e);
    } else {
        in_table = ks->lru_positions.find(e);
        old = *in_table;
    }
    const LruIndex::iterator fresh = ks->lru_index->insert(ks->lru_index->end(), LruSlot{now, old->hash, e});
    if (in_table)
        *in_table = fresh;
    else
        write_slot(e, fresh);
    ks->lru_index->erase(old);
}
