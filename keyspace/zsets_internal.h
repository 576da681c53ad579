// zsets_internal.h — the storage of a sorted-set value: a member table (member
// bytes to score) and an order index over the same members, a B+ tree whose inner
// nodes count the members below each child, so that ranks, the member at a rank
// and score bounds are found in O(log n) with few cache misses. Shared by the
// engine's sorted-set module, its unit tests and benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "keyspace/keyspace.h"
#include "keyspace/scan_cursor.h"

// Member order: lower score first; equal scores by member bytes compared as
// unsigned bytes, a proper prefix before the longer member.
inline bool zset_less(double score_a, std::string_view a, double score_b, std::string_view b) {
    if (score_a != score_b) return score_a < score_b;
    return a < b;  // char_traits<char> compares as unsigned char
}

// A member in the order; the view points at the bytes of the member's record.
struct ZsetItem {
    double score;
    std::string_view member;
};

struct ZsetTreeNode;  // tree nodes, defined in zset_index.cpp
struct ZsetLeaf;

// A position in the order that walks one member up or down at a time. Valid
// until the index next changes.
class ZsetCursor {
public:
    bool valid() const { return leaf_ != nullptr; }
    ZsetItem item() const;
    void next();
    void prev();

private:
    friend class ZsetIndex;
    ZsetCursor(const ZsetLeaf* leaf, uint32_t pos) : leaf_(leaf), pos_(pos) {}
    const ZsetLeaf* leaf_;
    uint32_t pos_;
};

// One member in one block: its score, the hash of its bytes, their length, then
// the bytes and a NUL. A record never moves while it exists, so views of its
// bytes stay valid. Made only by make(), owned through Owned.
class ZsetRecord {
public:
    struct Free {
        void operator()(ZsetRecord* r) const { ::operator delete(r); }
    };
    using Owned = std::unique_ptr<ZsetRecord, Free>;

    // Throws std::bad_alloc (also for a member longer than 4 GiB).
    static Owned make(double score, std::string_view member, uint32_t hash);
    // The block a record of a member of len bytes asks for.
    static constexpr uint64_t block_bytes(uint64_t len) { return sizeof(ZsetRecord) + len + 1; }

    std::string_view member() const { return {bytes(), len_}; }
    uint32_t hash() const { return hash_; }

    double score;

private:
    ZsetRecord(double s, uint32_t hash, uint32_t len) : score(s), hash_(hash), len_(len) {}
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
    char* bytes() { return reinterpret_cast<char*>(this + 1); }

    uint32_t hash_;
    uint32_t len_;
};
static_assert(sizeof(ZsetRecord) == 16 && std::is_trivially_destructible_v<ZsetRecord>);

// The members of one set by their bytes: open addressing with linear probing
// over slots that hold only the record (8 bytes a slot). A probe reads the hash
// the record carries and compares bytes only when the hashes match.
class ZsetMemberTable {
public:
    static uint32_t hash_of(std::string_view member) {
        const uint64_t h = std::hash<std::string_view>{}(member);
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    uint64_t size() const { return used_; }
    // The bytes of the slot array (records not included).
    uint64_t array_bytes() const { return slots_.size() * sizeof(Slot); }
    ZsetRecord* find(std::string_view member) const;
    // Adds an absent member; throws on allocation failure with nothing changed.
    ZsetRecord* insert(std::string_view member, double score);
    // Removes a present member and hands its record over. Never allocates.
    ZsetRecord::Owned erase(std::string_view member);
    // Asks for the member's slot ahead of a lookup.
    void prefetch(std::string_view member) const;
    // One page of a scan (scan_cursor.h): calls f(record) for the members of
    // the slots' home buckets from the cursor on, until about `want` were given;
    // returns the next cursor, 0 at the end. A member's home depends only on its
    // hash, so the cursor survives inserts, removals (which shift probe runs),
    // score changes and growth.
    template <class F>
    uint64_t scan(uint64_t cursor, uint64_t want, F&& f) const {
        if (used_ == 0) return 0;
        const size_t mask = slots_.size() - 1;
        return vorel::scan_buckets(cursor, slots_.size(), want, vorel::scan_bucket_budget(want), [&](uint64_t b) {
            // A member whose home is b lies in the probe run from b to the next empty slot.
            uint64_t n = 0;
            for (size_t i = b; slots_[i]; i = (i + 1) & mask) {
                if (home(slots_[i]->hash()) != b) continue;
                f(*slots_[i]);
                n++;
            }
            return n;
        });
    }

private:
    using Slot = ZsetRecord::Owned;  // null: empty slot
    size_t home(uint32_t hash) const { return hash & (slots_.size() - 1); }
    // The member's slot, or the empty slot that ends its probe run.
    size_t position(std::string_view member, uint32_t hash) const;
    void grow();

    std::vector<Slot> slots_;  // a power of two in size, at most three quarters used
    uint64_t used_ = 0;
};

class ZsetIndex {
public:
    ZsetIndex();
    ~ZsetIndex();
    ZsetIndex(const ZsetIndex&) = delete;
    ZsetIndex& operator=(const ZsetIndex&) = delete;

    uint64_t size() const { return members_.size(); }
    uint64_t leaf_count() const { return leaves_; }  // the tree's leaves
    // True and the score when the member is present.
    bool score_of(std::string_view member, double* score) const;
    // Adds an absent member. On allocation failure throws with the contents
    // unchanged.
    void insert(double score, std::string_view member);
    // Gives a present member a new score; the same guarantee as insert.
    void set_score(std::string_view member, double score);
    // Removes a present member. Never allocates.
    void erase(std::string_view member);

    // 0-based position of a present member.
    uint64_t rank(std::string_view member) const;
    // The member at a 0-based position; rank < size().
    ZsetItem at(uint64_t rank) const;
    ZsetCursor cursor(uint64_t rank) const;
    // One page of a scan over the members, in the member table's order (see
    // ZsetMemberTable::scan).
    template <class F>
    uint64_t scan(uint64_t cursor, uint64_t want, F&& f) const {
        return members_.scan(cursor, want, f);
    }
    // Members whose score is below the bound (or equal to it when inclusive).
    uint64_t count_scores(double bound, bool inclusive) const;
    // Members whose bytes are below the bound (or equal to it when inclusive),
    // for a set whose members come in byte order (equal scores, as lexicographic
    // ranges assume): the rank where members from the bound on start. One
    // descent, O(log n). In other sets it is a rank where the order's members
    // step from below to not below the bound.
    uint64_t count_members(std::string_view bound, bool inclusive) const;
    // Asks for the member's slot and for the leaf where (score, member) goes, so
    // that a write of that key finds them in cache.
    void prefetch(double score, std::string_view member) const;

    // Checks the tree's structure (counts, separators, leaf chain, depth); ""
    // when sound, else what is wrong.
    std::string check() const;

    // What the member table's array and the tree's nodes hold, as the allocator
    // sizes them; the member records are counted by their owner. Separator
    // copies of members too long to sit inside a string are left out (one per
    // child of an inner node, some dozens of members apart).
    uint64_t memory_bytes() const;

private:
    void count_node(bool leaf, int delta) {
        (leaf ? leaves_ : inners_) += static_cast<uint64_t>(static_cast<int64_t>(delta));
    }
    void prefetch_leaf(double score, std::string_view member) const;
    void tree_insert(double score, std::string_view member);
    void tree_erase(double score, std::string_view member);

    ZsetMemberTable members_;
    std::unique_ptr<ZsetTreeNode> root_;
    int height_ = 1;  // levels of the tree, the leaves included
    uint64_t leaves_ = 1;
    uint64_t inners_ = 0;
};

// What one member costs besides the index's arrays: its record, bytes included.
inline uint64_t zset_member_charge(uint64_t len) { return dict_alloc_size(ZsetRecord::block_bytes(len)); }

// The payload of a sorted-set entry, charged what it holds: its block and the
// index's arrays and nodes (structure, moved after every change), and each
// member's record (member_charge, the sum of zset_member_charge).
struct ZsetValue {
    ZsetIndex index;
    uint64_t structure = 0;
    uint64_t member_charge = 0;
};
