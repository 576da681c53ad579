// keys.cpp — operations on keys as a whole: listing by pattern, cursor scans,
// random picks, rename and copy.
//
// Enumerations first remove dead keys (cheap: the sweep visits only keys whose
// deadline has passed). KEYS walks the table in table order (buckets from 0,
// each chain from its head); SCAN walks the buckets in cursor order.
#include "keyspace/keyspace.h"

#include <algorithm>

#include "keyspace/scan_cursor.h"
#include <cstring>
#include <new>

namespace {

// A pattern made only of stars matches every key; such walks skip the matcher.
bool matches_everything(std::string_view pattern) {
    return std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*'; });
}

struct KeyFilter {
    std::string_view pattern;
    bool all;
    explicit KeyFilter(std::string_view p) : pattern(p.empty() ? std::string_view("*") : p), all(matches_everything(pattern)) {}
    bool operator()(const Entry* e) const { return all || dict_glob_match(pattern, entry_key(e)); }
};

// Copies the key into *out; false when the copy cannot be allocated.
bool copy_key(const Entry* e, std::string* out) {
    try {
        out->assign(entry_key(e));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// The key at ordinal k in table order, found by a full walk that also measures
// the longest chain, which renews the bound used by bucket sampling.
const Entry* walk_to_ordinal(Keyspace* ks, uint64_t k) {
    const Entry* found = nullptr;
    uint64_t seen = 0;
    uint64_t longest = 0;
    for (uint64_t i = 0; i < ks->bucket_count; i++) {
        uint64_t chain = 0;
        for (const Entry* e = ks->buckets[i]; e; e = e->next, chain++)
            if (seen++ == k) found = e;
        longest = std::max(longest, chain);
    }
    RandomPickBound& bound = ks->random_bound;
    bound.valid = true;
    bound.longest_chain = longest;
    bound.change_count = ks->change_count;
    bound.bucket_count = ks->bucket_count;
    return found;
}

// The proven upper bound on chain lengths now, or 0 when none is known. It rests
// on every change that can lengthen a chain (an insertion, a rename) bumping
// change_count at least once; a growth rehashes and is told by the bucket count.
uint64_t current_chain_bound(const Keyspace* ks) {
    const RandomPickBound& bound = ks->random_bound;
    // A growth rehashes every chain: a bound from before it says nothing.
    if (!bound.valid || bound.bucket_count != ks->bucket_count) return 0;
    const uint64_t changes = ks->change_count - bound.change_count;
    const uint64_t widened = bound.longest_chain + changes;
    if (widened < changes) return UINT64_MAX;  // wrapped: no useful bound
    return std::max<uint64_t>(widened, 1);
}

}  // namespace

void dict_keys(Keyspace* ks, std::string_view pattern, std::vector<std::string_view>* out) {
    if (!out) return;
    out->clear();
    if (!ks) return;
    if (ks->key_count) dict_cleanup_expired(ks);
    const KeyFilter filter(pattern);
    try {
        if (filter.all) out->reserve(ks->key_count);
        for (uint64_t i = 0; i < ks->bucket_count; i++)
            for (const Entry* e = ks->buckets[i]; e; e = e->next)
                if (filter(e)) out->push_back(entry_key(e));
    } catch (const std::bad_alloc&) {
        // The list ends where memory ran out.
    }
}

DictStatus dict_scan(Keyspace* ks, uint64_t* cursor, std::string_view pattern, int64_t count,
                     std::vector<std::string_view>* out, uint32_t type) {
    if (!ks || !cursor || !out) return DictStatus::Invalid;
    out->clear();
    if (ks->key_count) dict_cleanup_expired(ks);
    if (ks->key_count == 0) {
        *cursor = 0;
        return DictStatus::Ok;
    }
    const KeyFilter filter(pattern);
    const uint64_t want = count <= 0 ? 10 : static_cast<uint64_t>(count);
    try {
        // Whole chains are taken: a bucket's keys are never split across pages.
        *cursor = vorel::scan_buckets(*cursor, ks->bucket_count, want, vorel::scan_bucket_budget(want),
                                      [&](uint64_t b) {
                                          uint64_t n = 0;
                                          for (const Entry* e = ks->buckets[b]; e; e = e->next, n++) {
                                              if (type != KEY_TYPE_NONE && e->type != type) continue;
                                              if (filter(e)) out->push_back(entry_key(e));
                                          }
                                          return n;
                                      });
    } catch (const std::bad_alloc&) {
        out->clear();
        return DictStatus::NoMemory;
    }
    return DictStatus::Ok;
}

DictStatus dict_randomkey(Keyspace* ks, std::string* out) {
    if (!out) return DictStatus::Invalid;
    out->clear();
    if (!ks || ks->key_count == 0) return DictStatus::Missing;
    dict_cleanup_expired(ks);
    const uint64_t n = ks->key_count;
    if (n == 0 || ks->bucket_count == 0) return DictStatus::Missing;
    const uint64_t buckets = ks->bucket_count;
    // Bucket sampling: draw a bucket and a slot in [0, K) where K bounds every
    // chain's length, and accept when that bucket's chain has an entry at that
    // slot. Every key then has the same chance 1 / (buckets x K) per draw, so the
    // pick is exactly uniform, and a draw costs a few steps along one chain. The
    // bound comes from the last full walk widened by one per change since; a draw
    // succeeds with probability keys / (buckets x K), so when that falls below
    // 1/64 (a sparse table, or a bound grown stale through many changes) a full
    // walk picks an ordinal directly and renews the bound instead.
    const uint64_t k_bound = current_chain_bound(ks);
    const uint64_t k_limit = (64 * n) / buckets;
    if (k_bound != 0 && k_bound <= k_limit) {
        // The expected number of draws is at most 64; a long unlucky run ends in
        // the walk below, whose pick is uniform as well, so the result stays exact.
        for (int draw = 0; draw < 4096; draw++) {
            const uint64_t b = dict_random_below(ks, buckets);
            uint64_t slot = dict_random_below(ks, k_bound);
            const Entry* e = ks->buckets[b];
            while (e && slot) {
                e = e->next;
                slot--;
            }
            if (e) return copy_key(e, out) ? DictStatus::Ok : DictStatus::NoMemory;
        }
    }
    const Entry* e = walk_to_ordinal(ks, dict_random_below(ks, n));
    if (!e) return DictStatus::Missing;
    return copy_key(e, out) ? DictStatus::Ok : DictStatus::NoMemory;
}

DictStatus dict_rename(Keyspace* ks, std::string_view old_key, std::string_view new_key, bool only_if_new) {
    if (!ks || !new_key.data() || new_key.empty()) return DictStatus::Invalid;
    Entry* e = dict_find_entry(ks, old_key);
    if (!e) return DictStatus::Missing;
    if (old_key == new_key) {
        // Onto itself: the key stays as it is. The destination exists, so the
        // only-if-new form reports "not done".
        return only_if_new ? DictStatus::Exists : DictStatus::Ok;
    }
    Entry* dst = dict_find_entry(ks, new_key);
    if (dst && only_if_new) return DictStatus::Exists;
    // The key lives in the entry's block: the entry moves to a new block under
    // the new name. The destination goes only once the move is done (the moved
    // entry, at its chain head, is found first meanwhile), so a failed
    // allocation leaves both keys as they were.
    Entry* moved = entry_allocate_renamed(ks->entry_slab, e, new_key);
    if (!moved) return DictStatus::NoMemory;
    if (!entry_rekey(ks, e, moved, dict_now_ms(ks))) return DictStatus::NoMemory;
    if (dst) entry_unlink(ks, dst);
    return DictStatus::Ok;
}

// A copy is linked at its chain head, ahead of the destination it replaces
// (lookups find the copy first), and that destination is removed only once the
// copy is complete: a failed copy is unlinked again and leaves the destination
// as it was.

// Gives the linked copy the source's deadline, then removes the old destination.
static DictStatus finish_copy(Keyspace* ks, Entry* e, int64_t deadline, Entry* old) {
    try {
        entry_set_expire(ks, e, deadline);
    } catch (const std::bad_alloc&) {
        entry_unlink(ks, e);
        return DictStatus::NoMemory;
    }
    if (old) entry_unlink(ks, old);
    dict_evict_lru(ks);
    return DictStatus::Ok;
}

// Copies a list, hash, set or sorted set through its module.
static DictStatus copy_container(Keyspace* ks, Entry* from, std::string_view dst, Entry* old) {
    const ValueTypeOps* ops = dict_value_ops(from->type);
    if (!ops) return DictStatus::WrongType;
    Entry* e = dict_insert_entry(ks, dst, from->type, dict_now_ms(ks));
    if (!e) return DictStatus::NoMemory;
    if (!ops->copy(ks, from, e)) {
        e->type = KEY_TYPE_NONE;  // nothing of a payload to release
        entry_unlink(ks, e);
        return DictStatus::NoMemory;
    }
    return finish_copy(ks, e, entry_deadline(ks, from), old);
}

DictStatus dict_copy(Keyspace* ks, std::string_view src, std::string_view dst, bool replace) {
    if (!ks || !dst.data() || dst.empty()) return DictStatus::Invalid;
    Entry* from = dict_find_entry(ks, src);
    if (!from) return DictStatus::Missing;
    // Onto itself: nothing is copied and the key stays intact, with or without
    // replace; reported as "not copied".
    if (src == dst) return DictStatus::Exists;
    Entry* old = dict_find_entry(ks, dst);
    if (old && !replace) return DictStatus::Exists;

    if (from->type != KEY_TYPE_STRING) return copy_container(ks, from, dst, old);

    const std::string_view value = entry_str(from);
    Entry* e = entry_allocate(ks->entry_slab, dst, KEY_TYPE_STRING, value.size(), ks->max_memory_bytes > 0);
    if (!e) return DictStatus::NoMemory;
    if (!value.empty()) memcpy(entry_str_data(e), value.data(), value.size());
    if (!dict_link_new_entry(ks, e, dict_now_ms(ks))) {
        entry_deallocate(ks->entry_slab, e);
        return DictStatus::NoMemory;
    }
    dict_charge(ks, entry_str_charge(e));
    return finish_copy(ks, e, entry_deadline(ks, from), old);
}
