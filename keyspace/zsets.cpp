// zsets.cpp — sorted-set values in the keyspace: add and update with the ZADD
// flags, removal, scores and ranks, rank, score and lexicographic windows
// (ranges, counts, range removals), pops, scans and random members, with the
// memory charges of what the value holds, and the value-type hooks (release,
// count, copy) the table code calls.
#include <algorithm>
#include <memory>
#include <new>
#include <unordered_map>

#include "keyspace/zsets_internal.h"

namespace {

constexpr int64_t kDefaultScanCount = 10;

// ---- Walking the order ------------------------------------------------------

// A run of consecutive positions, walked upwards from `first` or, with reverse,
// downwards from it.
struct RankWindow {
    uint64_t first = 0;
    uint64_t count = 0;
    bool reverse = false;
};

template <class Visit>
void walk_window(const ZsetIndex& index, const RankWindow& w, Visit visit) {
    if (w.count == 0) return;
    ZsetCursor c = index.cursor(w.first);
    for (uint64_t i = 0; i < w.count && c.valid(); ++i) {
        visit(c.item());
        if (w.reverse) {
            c.prev();
        } else {
            c.next();
        }
    }
}

// ---- Charges and the value's life -------------------------------------------

// Brings the charge of the value's block, member table and tree nodes to what
// they hold now (ks may be null: nothing is charged).
void charge_structure(Keyspace* ks, ZsetValue* v) {
    dict_recharge(ks, &v->structure, dict_alloc_size(sizeof(ZsetValue)) + v->index.memory_bytes());
}

// Charges one inserted member and whatever the index grew by.
void charge_insert(Keyspace* ks, ZsetValue* v, uint64_t member_len) {
    const uint64_t charge = zset_member_charge(member_len);
    dict_charge(ks, charge);
    v->member_charge += charge;
    charge_structure(ks, v);
}

void insert_member(Keyspace* ks, ZsetValue* v, double score, std::string_view member) {
    v->index.insert(score, member);
    charge_insert(ks, v, member.size());
}

// The member view may point at the bytes being removed: its length is read first.
void remove_member(Keyspace* ks, ZsetValue* v, std::string_view member) {
    const uint64_t len = member.size();
    v->index.erase(member);
    const uint64_t charge = zset_member_charge(len);
    dict_uncharge(ks, charge);
    v->member_charge -= charge;
    charge_structure(ks, v);
}

// Deletes the key when its set has no member left; true when it did.
bool drop_if_empty(Keyspace* ks, Entry* e) {
    if (e->zset->index.size() != 0) return false;
    entry_unlink(ks, e);
    return true;
}

void zset_release(Keyspace* ks, Entry* e) {
    std::unique_ptr<ZsetValue> v(e->zset);
    e->zset = nullptr;
    if (!v) return;
    dict_uncharge(ks, v->member_charge + v->structure);
}

int64_t zset_count(const Entry* e) { return e->zset ? static_cast<int64_t>(e->zset->index.size()) : 0; }

bool zset_copy(Keyspace* ks, const Entry* src, Entry* dst) {
    try {
        auto v = std::make_unique<ZsetValue>();
        const ZsetIndex& from = src->zset->index;
        walk_window(from, RankWindow{0, from.size(), false}, [&v](const ZsetItem& it) {
            v->index.insert(it.score, it.member);
            v->member_charge += zset_member_charge(it.member.size());
        });
        charge_structure(nullptr, v.get());
        dict_charge(ks, v->member_charge + v->structure);
        dst->zset = v.release();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

uint64_t zset_charge(const Entry* e) {
    if (!e->zset) return 0;
    return e->zset->member_charge + e->zset->structure;
}

const ValueTypeRegistrar kZsetType(KEY_TYPE_ZSET, ValueTypeOps{zset_release, zset_count, zset_copy, zset_charge});

// The live entry of a sorted set at key, or nullptr (missing or another type).
Entry* zset_entry(Keyspace* ks, std::string_view key) {
    Entry* e = dict_find_entry(ks, key);
    return e && e->type == KEY_TYPE_ZSET ? e : nullptr;
}

// ---- Add and update -----------------------------------------------------------

// A new sorted-set key holding one member; nullptr when an allocation fails.
Entry* create_with_member(Keyspace* ks, std::string_view key, double score, std::string_view member) {
    auto v = std::make_unique<ZsetValue>();
    v->index.insert(score, member);
    Entry* e = dict_insert_entry(ks, key, KEY_TYPE_ZSET, dict_now_ms(ks));
    if (!e) return nullptr;
    e->zset = v.release();
    charge_insert(ks, e->zset, member.size());
    return e;
}

// Inserts an absent member, creating the key when needed, then runs eviction
// (which may remove this very key). False on allocation failure.
bool add_new_member(Keyspace* ks, std::string_view key, Entry* e, double score, std::string_view member) {
    if (e) {
        insert_member(ks, e->zset, score, member);
    } else if (!create_with_member(ks, key, score, member)) {
        return false;
    }
    dict_evict_lru(ks);
    return true;
}

struct ZaddOutcome {
    int result = 0;      // as ZADD counts it
    double score = 0;
    bool changed = false;
    bool added = true;   // false: a new member could not be stored
};

// A member already present: INCR always moves it; otherwise NX, GT and LT may
// refuse, and an unchanged score counts only with CH.
ZaddOutcome zadd_existing(ZsetValue* v, std::string_view member, double old, uint32_t flags, double score) {
    ZaddOutcome out;
    double target = score;
    if (flags & ZADD_INCR) {
        target = old + score;
        out = {1, target, false, true};
    } else {
        if ((flags & ZADD_NX) || ((flags & ZADD_GT) && score <= old) || ((flags & ZADD_LT) && score >= old))
            return out;
        if (score == old && !(flags & ZADD_CH)) return out;
        out = {(flags & ZADD_CH) ? 1 : 0, 1.0, false, true};
    }
    if (target != old) {
        v->index.set_score(member, target);
        out.changed = true;
    }
    return out;
}

ZaddOutcome zadd_in(Keyspace* ks, std::string_view key, Entry* e, uint32_t flags, double score,
                    std::string_view member) {
    // Without INCR the key's place is known before the lookup: both are fetched together.
    if (e && !(flags & ZADD_INCR)) e->zset->index.prefetch(score, member);
    double old = 0;
    if (e && e->zset->index.score_of(member, &old)) {
        const ZaddOutcome out = zadd_existing(e->zset, member, old, flags, score);
        charge_structure(ks, e->zset);  // a new score may split or merge tree nodes
        // A new score moves no charge of its own.
        if (out.changed) dict_mark_dirty(ks);
        return out;
    }
    ZaddOutcome out;
    if (!(flags & ZADD_INCR) && (flags & ZADD_XX)) return out;
    if (!add_new_member(ks, key, e, score, member)) {
        out.added = false;
        return out;
    }
    out.result = 1;
    out.score = (flags & ZADD_INCR) ? score : 1.0;
    out.changed = true;
    return out;
}

// ---- Windows of ranks ---------------------------------------------------------

// Ranks start..stop of a set of n members; negative values count from the end.
// With reverse the ranks count from the highest member.
RankWindow rank_window(uint64_t n, int64_t start, int64_t stop, bool reverse) {
    const int64_t size = static_cast<int64_t>(n);
    if (stop < 0) stop += size;
    if (stop >= size) stop = size - 1;
    if (start < 0) start += size;
    if (start < 0) start = 0;
    if (stop < start || start >= size) return {};
    const uint64_t count = static_cast<uint64_t>(stop - start + 1);
    if (!reverse) return {static_cast<uint64_t>(start), count, false};
    return {n - 1 - static_cast<uint64_t>(start), count, true};
}

// Members inside the range, then offset and limit over them in the requested
// direction (limit <= 0: everything after the offset).
RankWindow score_window(const ZsetIndex& index, const ZScoreRange& range, bool reverse, int64_t offset,
                        int64_t limit) {
    const uint64_t lo = index.count_scores(range.min, range.min_exclusive);
    const uint64_t hi = index.count_scores(range.max, !range.max_exclusive);
    const uint64_t inside = hi > lo ? hi - lo : 0;
    const uint64_t skip = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    if (skip >= inside) return {};
    const uint64_t rest = inside - skip;
    const uint64_t count = limit > 0 && static_cast<uint64_t>(limit) < rest ? static_cast<uint64_t>(limit) : rest;
    return reverse ? RankWindow{hi - 1 - skip, count, true} : RankWindow{lo + skip, count, false};
}

DictCount collect_borrowed(const ZsetIndex& index, const RankWindow& w, std::vector<ZMember>* out) {
    out->clear();
    out->reserve(w.count);
    walk_window(index, w, [out](const ZsetItem& it) { out->push_back({it.member, it.score}); });
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

// Removes a window and deletes the key when it empties. The members are listed
// first: removing one moves the others within the index.
DictCount remove_window(Keyspace* ks, Entry* e, const RankWindow& w) {
    std::vector<std::string_view> doomed;
    doomed.reserve(w.count);
    walk_window(e->zset->index, w, [&doomed](const ZsetItem& it) { doomed.push_back(it.member); });
    for (std::string_view m : doomed) remove_member(ks, e->zset, m);
    drop_if_empty(ks, e);
    return {DictStatus::Ok, static_cast<int64_t>(doomed.size())};
}

// The rank where members past a lexicographic bound start: from min on for a
// lower bound, after max for an upper one.
uint64_t lex_rank(const ZsetIndex& index, const ZLexBound& b, bool upper) {
    if (b.kind != ZLexBound::kValue) return b.kind == ZLexBound::kMinusInf ? 0 : index.size();
    // An inclusive max and an exclusive min both pass over members equal to the bound.
    return index.count_members(b.value, upper != b.exclusive);
}

// ---- Random picks -------------------------------------------------------------

// The first k entries of a partial shuffle of 0..n-1: for i < k, entry i swaps
// with entry i + random(n - i). The permutation is kept sparse (only the moved
// entries) unless k is a large share of n.
std::vector<uint64_t> partial_shuffle(Keyspace* ks, uint64_t n, uint64_t k) {
    std::vector<uint64_t> picked;
    picked.reserve(k);
    if (k * 4 >= n) {
        std::vector<uint64_t> perm(n);
        for (uint64_t i = 0; i < n; ++i) perm[i] = i;
        for (uint64_t i = 0; i < k; ++i) {
            std::swap(perm[i], perm[i + dict_random_below(ks, n - i)]);
            picked.push_back(perm[i]);
        }
        return picked;
    }
    std::unordered_map<uint64_t, uint64_t> moved;
    auto value_at = [&moved](uint64_t i) {
        auto it = moved.find(i);
        return it == moved.end() ? i : it->second;
    };
    for (uint64_t i = 0; i < k; ++i) {
        const uint64_t j = i + dict_random_below(ks, n - i);
        const uint64_t vi = value_at(i), vj = value_at(j);
        moved[j] = vi;
        picked.push_back(vj);
    }
    return picked;
}

}  // namespace

DictCount dict_zadd(Keyspace* ks, std::string_view key, uint32_t flags, double score, std::string_view member,
                    double* out_score, bool* changed) {
    if (changed) *changed = false;
    if (!ks || !key.data() || key.empty()) return {DictStatus::Invalid, 0};
    Entry* e = dict_find_entry(ks, key);
    if (e && e->type != KEY_TYPE_ZSET) return {DictStatus::WrongType, 0};
    ZaddOutcome out;
    try {
        out = zadd_in(ks, key, e, flags, score, member);
    } catch (const std::bad_alloc&) {
        // The index and charges are unchanged; an existing set is not empty.
        return {DictStatus::NoMemory, 0};
    }
    if (!out.added) return {DictStatus::NoMemory, 0};
    if (out_score) *out_score = out.score;
    if (changed) *changed = out.changed;
    return {DictStatus::Ok, out.result};
}

DictStatus dict_zincrby(Keyspace* ks, std::string_view key, double increment, std::string_view member,
                        double* out_score) {
    return dict_zadd(ks, key, ZADD_INCR, increment, member, out_score).status;
}

DictCount dict_zrem(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members) {
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    int64_t removed = 0;
    for (std::string_view m : members) {
        double ignored = 0;
        if (!e->zset->index.score_of(m, &ignored)) continue;
        remove_member(ks, e->zset, m);
        ++removed;
        if (drop_if_empty(ks, e)) break;
    }
    return {DictStatus::Ok, removed};
}

DictStatus dict_zscore(Keyspace* ks, std::string_view key, std::string_view member, double* out_score) {
    Entry* e = zset_entry(ks, key);
    double score = 0;
    const bool found = e && e->zset->index.score_of(member, &score);
    if (out_score) *out_score = found ? score : 0;
    return found ? DictStatus::Ok : DictStatus::Missing;
}

DictCount dict_zcard(Keyspace* ks, std::string_view key) {
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return {DictStatus::Ok, zset_count(e)};
}

DictStatus dict_zrank(Keyspace* ks, std::string_view key, std::string_view member, bool reverse, int64_t* rank,
               double* score) {
    Entry* e = zset_entry(ks, key);
    double s = 0;
    const bool found = e && e->zset->index.score_of(member, &s);
    int64_t r = 0;
    if (found) {
        const uint64_t up = e->zset->index.rank(member);
        r = static_cast<int64_t>(reverse ? e->zset->index.size() - 1 - up : up);
    }
    if (rank) *rank = r;
    if (score) *score = s;
    return found ? DictStatus::Ok : DictStatus::Missing;
}

DictCount dict_zrange(Keyspace* ks, std::string_view key, int64_t start, int64_t stop, bool reverse,
                      std::vector<ZMember>* out) {
    if (!out) return {DictStatus::Invalid, 0};
    out->clear();
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return collect_borrowed(e->zset->index, rank_window(e->zset->index.size(), start, stop, reverse), out);
}

DictCount dict_zrangebyscore(Keyspace* ks, std::string_view key, const ZScoreRange& range, bool reverse,
                             int64_t offset, int64_t limit, std::vector<ZMember>* out) {
    if (!out) return {DictStatus::Invalid, 0};
    out->clear();
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return collect_borrowed(e->zset->index, score_window(e->zset->index, range, reverse, offset, limit), out);
}

DictCount dict_zcount(Keyspace* ks, std::string_view key, const ZScoreRange& range) {
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return {DictStatus::Ok, static_cast<int64_t>(score_window(e->zset->index, range, false, 0, 0).count)};
}

void dict_zlexranks(Keyspace* ks, std::string_view key, const ZLexBound& min, const ZLexBound& max, int64_t* lo,
                    int64_t* hi) {
    *lo = *hi = 0;
    Entry* e = zset_entry(ks, key);
    if (!e) return;
    *lo = static_cast<int64_t>(lex_rank(e->zset->index, min, false));
    *hi = std::max(*lo, static_cast<int64_t>(lex_rank(e->zset->index, max, true)));
}

DictStatus dict_zscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<ZMember>* out) {
    if (!cursor || !out) return DictStatus::Invalid;
    out->clear();
    Entry* e = zset_entry(ks, key);
    if (!e) {
        *cursor = 0;
        return DictStatus::Ok;
    }
    const uint64_t want = static_cast<uint64_t>(count > 0 ? count : kDefaultScanCount);
    *cursor = e->zset->index.scan(*cursor, want,
                                  [&](const ZsetRecord& r) { out->push_back(ZMember{r.member(), r.score}); });
    return DictStatus::Ok;
}

DictCount dict_zpop(Keyspace* ks, std::string_view key, int64_t count, bool from_top, std::vector<ZOwned>* out) {
    if (!out) return {DictStatus::Invalid, 0};
    out->clear();
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    if (count <= 0) return {DictStatus::Ok, 0};
    ZsetIndex& index = e->zset->index;
    const uint64_t take = std::min(static_cast<uint64_t>(count), index.size());
    // Every copy is made before the first removal, so a failed one removes nothing.
    out->reserve(take);
    walk_window(index, RankWindow{from_top ? index.size() - 1 : 0, take, from_top},
                [out](const ZsetItem& it) { out->push_back({std::string(it.member), it.score}); });
    for (const ZOwned& m : *out) remove_member(ks, e->zset, m.member);
    drop_if_empty(ks, e);
    return {DictStatus::Ok, static_cast<int64_t>(take)};
}

DictCount dict_zremrangebyscore(Keyspace* ks, std::string_view key, const ZScoreRange& range) {
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return remove_window(ks, e, score_window(e->zset->index, range, false, 0, 0));
}

DictCount dict_zremrangebyrank(Keyspace* ks, std::string_view key, int64_t start, int64_t stop) {
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    return remove_window(ks, e, rank_window(e->zset->index.size(), start, stop, false));
}

DictCount dict_zrandmember(Keyspace* ks, std::string_view key, int64_t count, std::vector<ZOwned>* out) {
    if (!out) return {DictStatus::Invalid, 0};
    out->clear();
    Entry* e = zset_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    if (count == 0) return {DictStatus::Ok, 0};
    const ZsetIndex& index = e->zset->index;
    const uint64_t n = index.size();
    std::vector<uint64_t> ranks;
    if (count < 0) {
        const uint64_t picks = 0 - static_cast<uint64_t>(count);
        ranks.reserve(picks);
        for (uint64_t i = 0; i < picks; ++i) ranks.push_back(dict_random_below(ks, n));
    } else {
        ranks = partial_shuffle(ks, n, std::min(static_cast<uint64_t>(count), n));
    }
    out->reserve(ranks.size());
    for (uint64_t r : ranks) {
        const ZsetItem it = index.at(r);
        out->push_back({std::string(it.member), it.score});
    }
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

void dict_zmscore(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members,
                  std::vector<std::pair<bool, double>>* out) {
    if (!out) return;
    out->assign(members.size(), {false, 0.0});
    Entry* e = zset_entry(ks, key);
    if (!e) return;
    for (size_t i = 0; i < members.size(); ++i) {
        double score = 0;
        if (e->zset->index.score_of(members[i], &score)) (*out)[i] = {true, score};
    }
}
