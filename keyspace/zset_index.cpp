// zset_index.cpp — the order index of a sorted set: a B+ tree of (score, member)
// keys. Leaves hold up to 64 keys in parallel arrays (scores, member bytes,
// member lengths) and are chained both ways; inner nodes hold up to 64 children
// with the number of keys below each and a separator key per child. Inserts
// split full nodes on the way down, removals merge small neighbours on the way
// down, so neither needs a second pass up. Next to the tree, the member table
// owns the records whose bytes the tree's leaves point to.
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "keyspace/zsets_internal.h"

namespace {

constexpr uint32_t kLeafMax = 64;
constexpr uint32_t kInnerMax = 64;
constexpr uint32_t kMergeAtMost = 16;  // a node this small joins a neighbour when both fit in one
// Fetching ahead pays only once a set outgrows the caches: from three levels,
// some thousands of members.
constexpr int kPrefetchHeight = 3;

}  // namespace

// The scores a search reads first sit at the same place in both kinds of node,
// so they can be fetched from memory before the node's kind is known.
struct ZsetTreeNode {
    explicit ZsetTreeNode(bool is_leaf) : leaf(is_leaf) {}
    virtual ~ZsetTreeNode() = default;
    const bool leaf;
    uint32_t n = 0;  // keys in a leaf, children in an inner node
    // A leaf's key scores; an inner node's separator scores (index 0 unused).
    std::array<double, kLeafMax> scores{};
};

struct ZsetLeaf : ZsetTreeNode {
    ZsetLeaf() : ZsetTreeNode(true) {}
    std::string_view member(uint32_t i) const { return {bytes[i], lens[i]}; }
    void set_member(uint32_t i, std::string_view m) {
        bytes[i] = m.data();
        lens[i] = static_cast<uint32_t>(m.size());  // records hold at most 4 GiB
    }
    // The key at i: its score, and the bytes and length of its member's record
    // (a view split in two arrays: a walk hands members out without reading the
    // records, in 12 bytes a key rather than 16).
    std::array<const char*, kLeafMax> bytes{};
    std::array<uint32_t, kLeafMax> lens{};
    ZsetLeaf* prev = nullptr;
    ZsetLeaf* next = nullptr;
};

struct ZsetInner : ZsetTreeNode {
    ZsetInner() : ZsetTreeNode(false) {}
    std::array<std::unique_ptr<ZsetTreeNode>, kInnerMax> child;
    std::array<uint64_t, kInnerMax> count{};  // keys below each child
    // Separator i >= 1 (scores[i], sep_member[i]): every key under child i-1 is
    // below it, every key under child i is at or above it.
    std::array<std::string, kInnerMax> sep_member;
};

namespace {

ZsetLeaf& leaf_of(ZsetTreeNode* n) { return *static_cast<ZsetLeaf*>(n); }
ZsetInner& inner_of(ZsetTreeNode* n) { return *static_cast<ZsetInner*>(n); }
const ZsetLeaf& leaf_of(const ZsetTreeNode* n) { return *static_cast<const ZsetLeaf*>(n); }
const ZsetInner& inner_of(const ZsetTreeNode* n) { return *static_cast<const ZsetInner*>(n); }

uint32_t capacity(const ZsetTreeNode* n) { return n->leaf ? kLeafMax : kInnerMax; }

uint64_t subtree_size(const ZsetTreeNode* n) {
    if (n->leaf) return n->n;
    const ZsetInner& x = inner_of(n);
    uint64_t total = 0;
    for (uint32_t i = 0; i < x.n; ++i) total += x.count[i];
    return total;
}

// The bytes of a node a search reads: the whole of a leaf; an inner node's
// scores, children and counts (which follow its scores).
constexpr size_t kSearchedBytes =
    std::max(sizeof(ZsetLeaf), sizeof(ZsetTreeNode) + kInnerMax * (sizeof(ZsetTreeNode*) + sizeof(uint64_t)));

// Asks for the part of a node a search reads, all lines at once and before the
// search needs them. Reads nothing of the node itself.
void prefetch_node(const ZsetTreeNode* n) {
    const char* p = reinterpret_cast<const char*>(n);
    for (size_t off = 0; off < kSearchedBytes; off += 64) __builtin_prefetch(p + off);
}

// The child under which a search goes on, with its lines on their way.
const ZsetTreeNode* descend(const ZsetInner& x, uint32_t idx) {
    const ZsetTreeNode* c = x.child[idx].get();
    prefetch_node(c);
    return c;
}
ZsetTreeNode* descend(ZsetInner& x, uint32_t idx) {
    ZsetTreeNode* c = x.child[idx].get();
    prefetch_node(c);
    return c;
}

bool below_separator(double s, std::string_view m, const ZsetInner& x, uint32_t i) {
    return zset_less(s, m, x.scores[i], x.sep_member[i]);
}

// The first index in [lo, hi) where `first` is false, hi when there is none;
// `first` holds on a prefix of the range.
template <class First>
uint32_t partition_index(uint32_t lo, uint32_t hi, First first) {
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        if (first(mid)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The child a key belongs under: the last one whose separator is at or below it.
uint32_t route(const ZsetInner& x, double s, std::string_view m) {
    return partition_index(1, x.n, [&](uint32_t i) { return !below_separator(s, m, x, i); }) - 1;
}

// Position of the first key of the leaf that is not below the given key.
uint32_t lower_bound(const ZsetLeaf& l, double s, std::string_view m) {
    return partition_index(0, l.n, [&](uint32_t i) { return zset_less(l.scores[i], l.member(i), s, m); });
}

// ---- Moving entries of inner nodes ---------------------------------------------

template <class Array>
void shift_right(Array& a, uint32_t from, uint32_t end) {
    std::move_backward(a.begin() + from, a.begin() + end, a.begin() + end + 1);
}
template <class Array>
void shift_left(Array& a, uint32_t from, uint32_t end) {
    std::move(a.begin() + from, a.begin() + end, a.begin() + from - 1);
}

void open_slot(ZsetInner& x, uint32_t pos) {
    shift_right(x.child, pos, x.n);
    shift_right(x.count, pos, x.n);
    shift_right(x.scores, pos, x.n);
    shift_right(x.sep_member, pos, x.n);
    ++x.n;
}

// Removes child pos (already emptied into a neighbour) and its separator.
void close_slot(ZsetInner& x, uint32_t pos) {
    x.child[pos].reset();
    shift_left(x.child, pos + 1, x.n);
    shift_left(x.count, pos + 1, x.n);
    shift_left(x.scores, pos + 1, x.n);
    shift_left(x.sep_member, pos + 1, x.n);
    --x.n;
    x.sep_member[x.n].clear();
}

// Moves entries [from, from + k) of src to the end of dst.
void move_inner_entries(ZsetInner& src, uint32_t from, uint32_t k, ZsetInner& dst) {
    for (uint32_t i = 0; i < k; ++i) {
        dst.child[dst.n + i] = std::move(src.child[from + i]);
        dst.count[dst.n + i] = src.count[from + i];
        dst.scores[dst.n + i] = src.scores[from + i];
        dst.sep_member[dst.n + i] = std::move(src.sep_member[from + i]);
    }
    dst.n += k;
}

// ---- Splits (inserts) ------------------------------------------------------------

// Links a new right half after child idx of the parent, which has room.
void attach_right(ZsetInner& parent, uint32_t idx, std::unique_ptr<ZsetTreeNode> right, uint64_t keys,
                  double sep_score, std::string sep_member) {
    open_slot(parent, idx + 1);
    parent.child[idx + 1] = std::move(right);
    parent.count[idx + 1] = keys;
    parent.count[idx] -= keys;
    parent.scores[idx + 1] = sep_score;
    parent.sep_member[idx + 1] = std::move(sep_member);
}

// Where a full leaf splits before the key (s, m) goes in: in the middle, except
// at either end of the order, where keys tend to arrive in a run (ascending or
// descending scores): there the leaf keeps all but one key on the side away
// from the run, so runs fill leaves instead of leaving them half full. Every
// leaf but the first and the last is still made at least half full.
uint32_t split_point(const ZsetLeaf& l, double s, std::string_view m) {
    if (!l.next && zset_less(l.scores[l.n - 1], l.member(l.n - 1), s, m)) return l.n - 1;
    if (!l.prev && zset_less(s, m, l.scores[0], l.member(0))) return 1;
    return l.n / 2;
}

// Copies keys [from, from + k) of src over the keys from `at` on of dst.
void copy_keys(const ZsetLeaf& src, uint32_t from, uint32_t k, ZsetLeaf& dst, uint32_t at) {
    std::copy_n(src.scores.begin() + from, k, dst.scores.begin() + at);
    std::copy_n(src.bytes.begin() + from, k, dst.bytes.begin() + at);
    std::copy_n(src.lens.begin() + from, k, dst.lens.begin() + at);
}

// Moves the keys from pos on one place up, opening pos.
void open_key(ZsetLeaf& l, uint32_t pos) {
    std::copy_backward(l.scores.begin() + pos, l.scores.begin() + l.n, l.scores.begin() + l.n + 1);
    std::copy_backward(l.bytes.begin() + pos, l.bytes.begin() + l.n, l.bytes.begin() + l.n + 1);
    std::copy_backward(l.lens.begin() + pos, l.lens.begin() + l.n, l.lens.begin() + l.n + 1);
}

void split_leaf(ZsetInner& parent, uint32_t idx, double s, std::string_view m) {
    ZsetLeaf& left = leaf_of(parent.child[idx].get());
    const uint32_t mid = split_point(left, s, m);
    auto right = std::make_unique<ZsetLeaf>();
    std::string sep(left.member(mid));  // both allocations come before any change
    const uint32_t k = left.n - mid;
    copy_keys(left, mid, k, *right, 0);
    right->n = k;
    left.n = mid;
    right->prev = &left;
    right->next = left.next;
    if (left.next) left.next->prev = right.get();
    left.next = right.get();
    const double sep_score = right->scores[0];
    attach_right(parent, idx, std::move(right), k, sep_score, std::move(sep));
}

void split_inner(ZsetInner& parent, uint32_t idx) {
    ZsetInner& left = inner_of(parent.child[idx].get());
    const uint32_t mid = left.n / 2;
    auto right = std::make_unique<ZsetInner>();
    const uint32_t k = left.n - mid;
    move_inner_entries(left, mid, k, *right);
    left.n = mid;
    uint64_t keys = 0;
    for (uint32_t i = 0; i < k; ++i) keys += right->count[i];
    // The right half's first separator moves up into the parent.
    const double sep_score = right->scores[0];
    std::string sep_member = std::move(right->sep_member[0]);
    attach_right(parent, idx, std::move(right), keys, sep_score, std::move(sep_member));
}

// Splits child idx, on the path of the key (s, m), in two; true when it is a leaf.
bool split_child(ZsetInner& parent, uint32_t idx, double s, std::string_view m) {
    if (parent.child[idx]->leaf) {
        split_leaf(parent, idx, s, m);
        return true;
    }
    split_inner(parent, idx);
    return false;
}

// ---- Merges (removals) -------------------------------------------------------------

// Moves child r of x into its left neighbour and removes it.
void merge_into_left(ZsetInner& x, uint32_t r) {
    const uint32_t l = r - 1;
    if (x.child[l]->leaf) {
        ZsetLeaf& left = leaf_of(x.child[l].get());
        ZsetLeaf& right = leaf_of(x.child[r].get());
        copy_keys(right, 0, right.n, left, left.n);
        left.n += right.n;
        left.next = right.next;
        if (right.next) right.next->prev = &left;
    } else {
        ZsetInner& left = inner_of(x.child[l].get());
        ZsetInner& right = inner_of(x.child[r].get());
        // The separator between them becomes the one of right's first child.
        right.scores[0] = x.scores[r];
        right.sep_member[0] = std::move(x.sep_member[r]);
        move_inner_entries(right, 0, right.n, left);
        right.n = 0;
    }
    x.count[l] += x.count[r];
    close_slot(x, r);
}

bool fit_together(const ZsetTreeNode* a, const ZsetTreeNode* b) { return a->n + b->n <= capacity(a); }

// Before a removal descends into child idx: a small child joins a neighbour when
// both fit in one node. idx follows the key.
void merge_if_small(ZsetInner& x, uint32_t* idx) {
    const ZsetTreeNode* c = x.child[*idx].get();
    if (c->n > kMergeAtMost) return;
    if (*idx > 0 && fit_together(x.child[*idx - 1].get(), c)) {
        merge_into_left(x, *idx);
        --*idx;
    } else if (*idx + 1 < x.n && fit_together(c, x.child[*idx + 1].get())) {
        merge_into_left(x, *idx + 1);
    }
}

// ---- Checks ---------------------------------------------------------------------------

struct CheckState {
    std::vector<const ZsetLeaf*> leaves;
    std::string problem;
    int leaf_depth = -1;
};

// Bounds: every key k of the subtree has lo <= k < hi (a null bound is open).
struct KeyBound {
    const double* score = nullptr;
    const std::string* member = nullptr;
};

bool within(double s, std::string_view m, KeyBound lo, KeyBound hi) {
    if (lo.score && zset_less(s, m, *lo.score, *lo.member)) return false;
    return !(hi.score && !zset_less(s, m, *hi.score, *hi.member));
}

void check_node(const ZsetTreeNode* n, KeyBound lo, KeyBound hi, int depth, CheckState* st);

void check_leaf(const ZsetLeaf& l, KeyBound lo, KeyBound hi, int depth, CheckState* st) {
    if (st->leaf_depth == -1) st->leaf_depth = depth;
    if (st->leaf_depth != depth) st->problem = "leaves at different depths";
    if (l.n > kLeafMax) st->problem = "leaf over capacity";
    for (uint32_t i = 0; i < l.n && st->problem.empty(); ++i) {
        if (!within(l.scores[i], l.member(i), lo, hi)) st->problem = "key outside its separators";
        if (i > 0 && !zset_less(l.scores[i - 1], l.member(i - 1), l.scores[i], l.member(i)))
            st->problem = "leaf keys out of order";
    }
    st->leaves.push_back(&l);
}

void check_inner(const ZsetInner& x, KeyBound lo, KeyBound hi, int depth, CheckState* st) {
    if (x.n == 0 || x.n > kInnerMax) st->problem = "inner node child count out of range";
    for (uint32_t i = 0; i < x.n && st->problem.empty(); ++i) {
        if (x.count[i] != subtree_size(x.child[i].get())) st->problem = "count differs from the child's keys";
        const KeyBound child_lo = i == 0 ? lo : KeyBound{&x.scores[i], &x.sep_member[i]};
        const KeyBound child_hi = i + 1 == x.n ? hi : KeyBound{&x.scores[i + 1], &x.sep_member[i + 1]};
        check_node(x.child[i].get(), child_lo, child_hi, depth + 1, st);
    }
}

void check_node(const ZsetTreeNode* n, KeyBound lo, KeyBound hi, int depth, CheckState* st) {
    if (n->leaf) {
        check_leaf(leaf_of(n), lo, hi, depth, st);
    } else {
        check_inner(inner_of(n), lo, hi, depth, st);
    }
}

}  // namespace

// ---- Cursor ------------------------------------------------------------------------------

ZsetItem ZsetCursor::item() const { return {leaf_->scores[pos_], leaf_->member(pos_)}; }

void ZsetCursor::next() {
    ++pos_;
    while (leaf_ && pos_ >= leaf_->n) {
        leaf_ = leaf_->next;
        pos_ = 0;
    }
}

void ZsetCursor::prev() {
    if (pos_ > 0) {
        --pos_;
        return;
    }
    do {
        leaf_ = leaf_->prev;
    } while (leaf_ && leaf_->n == 0);
    pos_ = leaf_ ? leaf_->n - 1 : 0;
}

// ---- Index -------------------------------------------------------------------------------

ZsetIndex::ZsetIndex() : root_(std::make_unique<ZsetLeaf>()) {}
ZsetIndex::~ZsetIndex() = default;

uint64_t ZsetIndex::memory_bytes() const {
    return dict_alloc_size(members_.array_bytes()) + leaves_ * dict_alloc_size(sizeof(ZsetLeaf)) +
           inners_ * dict_alloc_size(sizeof(ZsetInner));
}

bool ZsetIndex::score_of(std::string_view member, double* score) const {
    const ZsetRecord* rec = members_.find(member);
    if (!rec) return false;
    *score = rec->score;
    return true;
}

void ZsetIndex::insert(double score, std::string_view member) {
    ZsetRecord* rec = members_.insert(member, score);
    try {
        tree_insert(score, rec->member());
    } catch (...) {
        members_.erase(rec->member());
        throw;
    }
}

void ZsetIndex::set_score(std::string_view member, double score) {
    ZsetRecord* rec = members_.find(member);
    if (score == rec->score) return;
    prefetch_leaf(rec->score, rec->member());  // fetched while the insert runs
    tree_insert(score, rec->member());  // the new key goes in first: only it can fail
    tree_erase(rec->score, rec->member());  // leaves keep their own copies of the scores
    rec->score = score;
}

void ZsetIndex::erase(std::string_view member) {
    const ZsetRecord* rec = members_.find(member);
    tree_erase(rec->score, rec->member());
    members_.erase(rec->member());
}

// Walks the inner nodes down to the key's leaf and asks for the leaf without
// waiting for it.
void ZsetIndex::prefetch_leaf(double s, std::string_view m) const {
    if (height_ < kPrefetchHeight) return;
    const ZsetTreeNode* node = root_.get();
    for (int level = height_; level > 1; --level) {
        const ZsetInner& x = inner_of(node);
        node = descend(x, route(x, s, m));
    }
}

void ZsetIndex::prefetch(double score, std::string_view member) const {
    if (height_ < kPrefetchHeight) return;
    members_.prefetch(member);
    prefetch_leaf(score, member);
}

// Two passes: the first splits every full node on the key's path (it may fail
// on allocation, leaving a sound tree with the same keys); the second finds room
// on every node of that path, counts the key and places it.
void ZsetIndex::tree_insert(double s, std::string_view m) {
    if (root_->n == capacity(root_.get())) {
        auto top = std::make_unique<ZsetInner>();
        top->count[0] = subtree_size(root_.get());
        top->child[0] = std::move(root_);
        top->n = 1;
        root_ = std::move(top);
        ++height_;
        count_node(false, 1);
        count_node(split_child(inner_of(root_.get()), 0, s, m), 1);
    }
    for (ZsetTreeNode* node = root_.get(); !node->leaf;) {
        ZsetInner& x = inner_of(node);
        const uint32_t idx = route(x, s, m);
        if (x.child[idx]->n == capacity(x.child[idx].get())) count_node(split_child(x, idx, s, m), 1);
        node = descend(x, route(x, s, m));
    }
    ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        ZsetInner& x = inner_of(node);
        const uint32_t idx = route(x, s, m);
        ++x.count[idx];
        node = descend(x, idx);
    }
    ZsetLeaf& l = leaf_of(node);
    const uint32_t pos = lower_bound(l, s, m);
    open_key(l, pos);
    l.scores[pos] = s;
    l.set_member(pos, m);
    ++l.n;
}

void ZsetIndex::tree_erase(double s, std::string_view m) {
    ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        ZsetInner& x = inner_of(node);
        uint32_t idx = route(x, s, m);
        const uint32_t children = x.n;
        merge_if_small(x, &idx);
        if (x.n < children) count_node(x.child[idx]->leaf, -1);
        --x.count[idx];
        node = descend(x, idx);
    }
    ZsetLeaf& l = leaf_of(node);
    const uint32_t pos = lower_bound(l, s, m);
    copy_keys(l, pos + 1, l.n - pos - 1, l, pos);
    --l.n;
    while (!root_->leaf && root_->n == 1) {
        std::unique_ptr<ZsetTreeNode> only = std::move(inner_of(root_.get()).child[0]);
        root_ = std::move(only);
        --height_;
        count_node(false, -1);
    }
}

uint64_t ZsetIndex::rank(std::string_view member) const {
    const double s = members_.find(member)->score;
    uint64_t r = 0;
    const ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        const ZsetInner& x = inner_of(node);
        const uint32_t idx = route(x, s, member);
        for (uint32_t i = 0; i < idx; ++i) r += x.count[i];
        node = descend(x, idx);
    }
    return r + lower_bound(leaf_of(node), s, member);
}

ZsetCursor ZsetIndex::cursor(uint64_t rank) const {
    const ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        const ZsetInner& x = inner_of(node);
        uint32_t i = 0;
        while (i + 1 < x.n && rank >= x.count[i]) rank -= x.count[i++];
        node = descend(x, i);
    }
    return ZsetCursor(&leaf_of(node), static_cast<uint32_t>(rank));
}

ZsetItem ZsetIndex::at(uint64_t rank) const { return cursor(rank).item(); }

uint64_t ZsetIndex::count_scores(double bound, bool inclusive) const {
    auto before = [bound, inclusive](double s) { return inclusive ? s <= bound : s < bound; };
    uint64_t r = 0;
    const ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        const ZsetInner& x = inner_of(node);
        uint32_t idx = 0;
        while (idx + 1 < x.n && before(x.scores[idx + 1])) r += x.count[idx++];
        node = descend(x, idx);
    }
    const ZsetLeaf& l = leaf_of(node);
    return r + static_cast<uint64_t>(std::partition_point(l.scores.begin(), l.scores.begin() + l.n, before) -
                                     l.scores.begin());
}

uint64_t ZsetIndex::count_members(std::string_view bound, bool inclusive) const {
    auto before = [bound, inclusive](std::string_view m) { return inclusive ? m <= bound : m < bound; };
    uint64_t r = 0;
    const ZsetTreeNode* node = root_.get();
    while (!node->leaf) {
        const ZsetInner& x = inner_of(node);
        // The last child whose separator comes before the bound holds the first member that does not.
        const uint32_t idx = partition_index(1, x.n, [&](uint32_t i) { return before(x.sep_member[i]); }) - 1;
        for (uint32_t i = 0; i < idx; ++i) r += x.count[i];
        node = descend(x, idx);
    }
    const ZsetLeaf& l = leaf_of(node);
    return r + partition_index(0, l.n, [&](uint32_t i) { return before(l.member(i)); });
}

std::string ZsetIndex::check() const {
    CheckState st;
    check_node(root_.get(), {}, {}, 0, &st);
    if (!st.problem.empty()) return st.problem;
    if (st.leaf_depth + 1 != height_) return "height differs from the leaves' depth";
    if (subtree_size(root_.get()) != members_.size()) return "tree and member table differ in size";
    for (size_t i = 0; i < st.leaves.size(); ++i) {
        const ZsetLeaf* before = i > 0 ? st.leaves[i - 1] : nullptr;
        const ZsetLeaf* after = i + 1 < st.leaves.size() ? st.leaves[i + 1] : nullptr;
        if (st.leaves[i]->prev != before || st.leaves[i]->next != after) return "leaf chain out of order";
        for (uint32_t k = 0; k < st.leaves[i]->n; ++k) {
            const ZsetRecord* rec = members_.find(st.leaves[i]->member(k));
            if (!rec || rec->score != st.leaves[i]->scores[k] || rec->member().data() != st.leaves[i]->bytes[k])
                return "tree key without its member";
        }
    }
    return "";
}
