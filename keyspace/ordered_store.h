// ordered_store.h — the storage behind hashes and sets: distinct byte-string
// keys (each with an optional value) kept in insertion order, with an O(1)
// average lookup by key and O(log n) access by position.
//
// Slots sit in a vector in insertion order. Up to kFlatMax slots the store is a
// flat array searched linearly; beyond that an open-addressing table maps each
// key to its slot. A removal leaves a tombstone (so nothing moves and no index
// is rebuilt per element); a binary indexed tree over the slots, built on the
// first positional access while tombstones exist, turns a position among the
// live keys into a slot. Once tombstones outnumber the live keys the slots are
// compacted and the tree is dropped. Positions always count live keys only, so
// compaction never changes what a position means.
//
// Allocation failures throw std::bad_alloc before anything changes. Removal
// cannot fail, nor can compaction (the memory it asks for it can do without).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keyspace/scan_cursor.h"

namespace vorel {

// Value type of a store whose keys carry nothing else (sets).
struct NoValue {};

template <class Value>
class OrderedStore {
public:
    static constexpr size_t npos = SIZE_MAX;
    static constexpr size_t kFlatMax = 8;

    struct Slot {
        std::string key;
        [[no_unique_address]] Value value{};
        uint32_t hash = 0;
        bool dead = false;
    };

    static uint32_t hash_of(std::string_view key) {
        const uint64_t h = std::hash<std::string_view>{}(key);
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }

    // The slot holding the key, or npos.
    size_t find(std::string_view key) const {
        const uint32_t h = hash_of(key);
        if (table_.empty()) {
            for (size_t s = 0; s < slots_.size(); s++)
                if (!slots_[s].dead && slots_[s].hash == h && slots_[s].key == key) return s;
            return npos;
        }
        for (size_t i = h & mask(); table_[i].slot1 != 0; i = (i + 1) & mask()) {
            const Bucket& b = table_[i];
            if (b.hash == h && slots_[b.slot1 - 1].key == key) return b.slot1 - 1;
        }
        return npos;
    }

    Slot& slot(size_t s) { return slots_[s]; }
    const Slot& slot(size_t s) const { return slots_[s]; }

    // Appends a key the caller knows to be absent. Every allocation happens
    // before the store changes.
    void append(std::string key, Value value) {
        if (slots_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        reserve_slots(slots_.size() + 1);
        if (!table_.empty() || slots_.size() >= kFlatMax) reserve_table(live_ + 1);
        if (tree_valid_ && tree_.size() == tree_.capacity()) tree_.reserve(2 * tree_.capacity());
        const uint32_t h = hash_of(key);
        slots_.push_back(Slot{std::move(key), std::move(value), h, false});
        live_++;
        if (!table_.empty()) table_insert(h, slots_.size() - 1);
        if (tree_valid_) tree_append();
    }

    // Removes a live slot and hands back its contents. Never allocates. Slot
    // numbers stay valid until settle().
    Slot take(size_t s) {
        Slot& sl = slots_[s];
        if (!table_.empty()) table_erase(sl.hash, s);
        Slot out(std::move(sl));
        sl.key.clear();
        sl.value = Value{};
        sl.dead = true;
        live_--;
        dead_++;
        if (tree_valid_) tree_add(s, -1);
        return out;
    }

    // Compacts when tombstones are no longer cheap to carry (a flat store keeps
    // none). Renumbers slots.
    void settle() {
        if (dead_ == 0) return;
        if (!table_.empty() && dead_ < live_ && live_ > kFlatMax) return;
        compact();
    }

    // The slot of the live key at position pos (0-based, pos < size()).
    size_t slot_at(size_t pos) {
        if (dead_ == 0) return pos;
        if (!tree_valid_) tree_build();
        size_t idx = 0;
        uint64_t rem = pos + 1;
        for (size_t step = std::bit_floor(tree_.size() - 1); step; step >>= 1) {
            if (idx + step < tree_.size() && tree_[idx + step] < rem) {
                idx += step;
                rem -= tree_[idx];
            }
        }
        return idx;
    }

    // Calls f(slot) for up to n live slots in order, from position pos.
    template <class F>
    void visit(size_t pos, size_t n, F&& f) {
        if (pos >= live_) return;
        for (size_t s = slot_at(pos); s < slots_.size() && n > 0; s++) {
            if (slots_[s].dead) continue;
            f(slots_[s]);
            n--;
        }
    }

    // One page of a scan (scan_cursor.h): calls f(slot) for the keys of the
    // table's buckets from the cursor on, until about `want` keys were given, and
    // returns the next cursor (0 at the end). The keys live in the table by the
    // low bits of their hashes, so the cursor survives appends, removals,
    // compaction and any change of the table's size. A flat store is one page.
    template <class F>
    uint64_t scan(uint64_t cursor, uint64_t want, F&& f) const {
        if (table_.empty()) {
            for_each(f);
            return 0;
        }
        const size_t m = mask();
        return scan_buckets(cursor, table_.size(), want, scan_bucket_budget(want), [&](uint64_t b) {
            // A key whose home is b lies in the probe run from b to the next empty bucket.
            uint64_t n = 0;
            for (size_t i = b; table_[i].slot1 != 0; i = (i + 1) & m) {
                if ((table_[i].hash & m) != b) continue;
                f(slots_[table_[i].slot1 - 1]);
                n++;
            }
            return n;
        });
    }

    template <class F>
    void for_each(F&& f) const {
        for (const Slot& s : slots_)
            if (!s.dead) f(s);
    }

    // The bytes the store's arrays hold by their capacity, each block sized by
    // alloc_size(request) (an empty array holds none).
    template <class AllocSize>
    uint64_t memory_bytes(AllocSize alloc_size) const {
        return alloc_size(slots_.capacity() * sizeof(Slot)) + alloc_size(table_.capacity() * sizeof(Bucket)) +
               alloc_size(tree_.capacity() * sizeof(uint32_t));
    }

    // Room for n live keys without reallocating the slots or the table.
    void reserve(size_t n) {
        reserve_slots(n);
        if (n > kFlatMax) reserve_table(n);
    }

private:
    struct Bucket {
        uint32_t hash;
        uint32_t slot1;  // slot + 1; 0 = empty bucket
    };

    size_t mask() const { return table_.size() - 1; }

    static size_t table_size_for(size_t n) {
        size_t cap = 16;
        while (cap * 3 < n * 4) cap *= 2;  // load factor at most 3/4
        return cap;
    }

    void reserve_slots(size_t n) {
        if (n <= slots_.capacity()) return;
        slots_.reserve(std::max(n, slots_.capacity() * 2));
    }

    void reserve_table(size_t n) {
        if (!table_.empty() && n * 4 <= table_.size() * 3) return;
        std::vector<Bucket> fresh(table_size_for(std::max(n, live_ * 2)));
        table_.swap(fresh);
        rehash();
    }

    void rehash() {
        std::fill(table_.begin(), table_.end(), Bucket{0, 0});
        for (size_t s = 0; s < slots_.size(); s++)
            if (!slots_[s].dead) table_insert(slots_[s].hash, s);
    }

    void table_insert(uint32_t h, size_t s) {
        size_t i = h & mask();
        while (table_[i].slot1 != 0) i = (i + 1) & mask();
        table_[i] = Bucket{h, static_cast<uint32_t>(s + 1)};
    }

    // Backward-shift deletion: later members of the probe run move up so that
    // no lookup ever stops early at the freed bucket.
    void table_erase(uint32_t h, size_t s) {
        size_t hole = h & mask();
        while (table_[hole].slot1 != s + 1) hole = (hole + 1) & mask();
        for (size_t j = (hole + 1) & mask(); table_[j].slot1 != 0; j = (j + 1) & mask()) {
            const size_t home = table_[j].hash & mask();
            // The bucket at j may fill the hole unless its home lies cyclically in (hole, j].
            const bool home_between = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (home_between) continue;
            table_[hole] = table_[j];
            hole = j;
        }
        table_[hole] = Bucket{0, 0};
    }

    // Binary indexed tree over slots (1-based): 1 for a live slot, 0 for a tombstone.
    void tree_build() {
        std::vector<uint32_t> tree(slots_.size() + 1, 0);
        for (size_t i = 1; i < tree.size(); i++) {
            tree[i] += slots_[i - 1].dead ? 0 : 1;
            const size_t parent = i + (i & (0 - i));
            if (parent < tree.size()) tree[parent] += tree[i];
        }
        tree_.swap(tree);
        tree_valid_ = true;
    }

    uint64_t tree_prefix(size_t i) const {
        uint64_t sum = 0;
        for (; i > 0; i -= i & (0 - i)) sum += tree_[i];
        return sum;
    }

    // The node of a slot just appended covers (i - lowbit(i), i].
    void tree_append() {
        const size_t i = tree_.size();
        const size_t low = i & (0 - i);
        tree_.push_back(static_cast<uint32_t>(1 + tree_prefix(i - 1) - tree_prefix(i - low)));
    }

    void tree_add(size_t s, int delta) {
        for (size_t i = s + 1; i < tree_.size(); i += i & (0 - i)) tree_[i] += static_cast<uint32_t>(delta);
    }

    // Moves the live slots down over the tombstones, keeping their order, then
    // renumbers the table's buckets in one sequential pass through a map of old
    // to new slot numbers. The keys are reinserted instead when that map cannot
    // be allocated or when a smaller table is worth the rehash.
    void compact() {
        const bool keep_table = live_ > kFlatMax;
        std::vector<uint32_t> moved_to = slot_map(keep_table);
        size_t to = 0;
        for (size_t from = 0; from < slots_.size(); from++) {
            if (slots_[from].dead) continue;
            if (!moved_to.empty()) moved_to[from] = static_cast<uint32_t>(to);
            if (to != from) slots_[to] = std::move(slots_[from]);
            to++;
        }
        slots_.erase(slots_.begin() + static_cast<ptrdiff_t>(to), slots_.end());
        dead_ = 0;
        std::vector<uint32_t>().swap(tree_);
        tree_valid_ = false;
        if (!keep_table) {
            std::vector<Bucket>().swap(table_);
            if (slots_.capacity() > 4 * kFlatMax) slots_.shrink_to_fit();
            return;
        }
        if (shrink_table() || moved_to.empty()) return rehash();
        for (Bucket& b : table_)
            if (b.slot1 != 0) b.slot1 = moved_to[b.slot1 - 1] + 1;
    }

    // A zeroed map of n slot numbers, or an empty one when not wanted or when it
    // cannot be allocated.
    std::vector<uint32_t> slot_map(bool wanted) {
        std::vector<uint32_t> map;
        if (!wanted) return map;
        try {
            map.resize(slots_.size());
        } catch (const std::bad_alloc&) {
            map.clear();
        }
        return map;
    }

    // True when a table a quarter of the size or less now fits the keys and was installed.
    bool shrink_table() {
        const size_t want = table_size_for(live_ * 2);
        if (want >= table_.size() / 4) return false;
        try {
            std::vector<Bucket> fresh(want);
            table_.swap(fresh);
            return true;
        } catch (const std::bad_alloc&) {
            return false;  // the larger table still works
        }
    }

    std::vector<Slot> slots_;
    std::vector<Bucket> table_;    // empty while the store is flat
    std::vector<uint32_t> tree_;   // valid only while tree_valid_
    bool tree_valid_ = false;
    size_t live_ = 0;
    size_t dead_ = 0;
};

}  // namespace vorel
