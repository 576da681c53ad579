// sets.cpp — the set value type: distinct members in insertion order with O(1)
// average membership tests, add/remove/move, random members by position, the
// difference, intersection and union (linear in their inputs) with their storing
// form, the intersection's size, a position cursor for scans, random pops, and
// the release/count/copy hooks the table code calls.
//
// Memory charges follow what the store holds (container_common.h): the payload
// and the store's arrays by their capacity, and each member string's own block.
#include <algorithm>
#include <new>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "keyspace/container_common.h"
#include "keyspace/keyspace.h"

namespace vorel {

// k distinct positions out of n, in the order a partial Fisher–Yates shuffle
// draws them: step i swaps position i with one drawn from [i, n). Only the
// swapped positions are remembered when k is small against n.
std::vector<size_t> distinct_positions(Keyspace* ks, size_t n, size_t k) {
    std::vector<size_t> out;
    out.reserve(k);
    if (k * 4 >= n) {
        std::vector<size_t> idx(n);
        std::iota(idx.begin(), idx.end(), size_t{0});
        for (size_t i = 0; i < k; i++) {
            std::swap(idx[i], idx[i + dict_random_below(ks, n - i)]);
            out.push_back(idx[i]);
        }
        return out;
    }
    std::unordered_map<size_t, size_t> moved;
    auto at = [&](size_t p) {
        auto it = moved.find(p);
        return it == moved.end() ? p : it->second;
    };
    for (size_t i = 0; i < k; i++) {
        const size_t j = i + dict_random_below(ks, n - i);
        const size_t pick = at(j);
        moved[j] = at(i);
        out.push_back(pick);
    }
    return out;
}

}  // namespace vorel

namespace {

using vorel::distinct_positions;

using MemberStore = SetValue::Store;

DictStatus find_set(Keyspace* ks, std::string_view key, Entry** out) {
    return vorel::find_typed(ks, key, KEY_TYPE_SET, out);
}

// Adds one member: true when it was new. Throws std::bad_alloc with the set unchanged.
bool add_member(Keyspace* ks, SetValue* set, std::string_view m) {
    if (set->store.find(m) != MemberStore::npos) return false;
    set->add(ks, m, {});
    return true;
}

// After members were removed: compact, and drop the key if it is empty.
void finish_removal(Keyspace* ks, Entry* e) {
    e->set->settle(ks);
    vorel::drop_if_empty(ks, e, e->set->store.size());
}

// The member stores behind the keys, nullptr for a missing key or another type.
std::vector<MemberStore*> operands(Keyspace* ks, const std::vector<std::string_view>& keys, bool* wrong_type) {
    std::vector<MemberStore*> stores;
    stores.reserve(keys.size());
    for (std::string_view k : keys) {
        Entry* e = nullptr;
        const DictStatus found = find_set(ks, k, &e);
        if (found == DictStatus::WrongType && wrong_type) *wrong_type = true;
        stores.push_back(found == DictStatus::Ok ? &e->set->store : nullptr);
    }
    return stores;
}

bool in_all(const std::vector<MemberStore*>& stores, size_t from, std::string_view m) {
    for (size_t i = from; i < stores.size(); i++)
        if (!stores[i] || stores[i]->find(m) == MemberStore::npos) return false;
    return true;
}

// Whether one of stores[from .. to) holds the member.
bool in_any(const std::vector<MemberStore*>& stores, size_t from, size_t to, std::string_view m) {
    for (size_t i = from; i < to; i++)
        if (stores[i] && stores[i]->find(m) != MemberStore::npos) return true;
    return false;
}

// Members of the first set that pass the filter, in its order.
template <class Keep>
void filter_first(const std::vector<MemberStore*>& stores, std::vector<std::string_view>* out, Keep keep) {
    if (stores.empty() || !stores[0]) return;
    stores[0]->for_each([&](const MemberStore::Slot& s) {
        if (keep(s.key)) out->push_back(s.key);
    });
}

// Members of every set in order of first appearance. With few sets a member is
// new when no earlier set holds it (lookups in their own indexes); with many,
// the members seen so far are kept in a table instead.
void union_of(const std::vector<MemberStore*>& stores, std::vector<std::string_view>* out) {
    size_t total = 0;
    for (const MemberStore* s : stores) total += s ? s->size() : 0;
    out->reserve(total);
    constexpr size_t kFewSets = 8;
    std::unordered_set<std::string_view> seen;
    if (stores.size() > kFewSets) seen.reserve(total);
    for (size_t i = 0; i < stores.size(); i++) {
        if (!stores[i]) continue;
        stores[i]->for_each([&](const MemberStore::Slot& slot) {
            const bool fresh = stores.size() > kFewSets ? seen.insert(slot.key).second : !in_any(stores, 0, i, slot.key);
            if (fresh) out->push_back(slot.key);
        });
    }
}

void compute(Keyspace* ks, int op, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out) {
    out->clear();
    const std::vector<MemberStore*> stores = operands(ks, keys, nullptr);
    const size_t n = stores.size();
    if (op == SET_OP_DIFF) return filter_first(stores, out, [&](std::string_view m) { return !in_any(stores, 1, n, m); });
    if (op == SET_OP_INTER) return filter_first(stores, out, [&](std::string_view m) { return in_all(stores, 1, m); });
    union_of(stores, out);
}

// Puts a finished set under the key, replacing whatever it held (with its
// deadline), and charges it. The entry is reused when the key exists, so
// nothing can fail after the old value is gone.
DictCount install_set(Keyspace* ks, std::string_view key, std::unique_ptr<SetValue> value) {
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        if (!(e = dict_insert_entry(ks, key, KEY_TYPE_SET, dict_now_ms(ks)))) return {DictStatus::NoMemory, 0};
    } else if (e->type == KEY_TYPE_STRING) {
        dict_uncharge(ks, entry_str_charge(e));
        entry_clear_str(e);
    } else {
        entry_convert_type(ks, e);  // releases the old container with its charges
    }
    entry_set_expire(ks, e, 0);
    e->type = KEY_TYPE_SET;
    dict_charge(ks, value->total_charge());
    const int64_t n = static_cast<int64_t>(value->store.size());
    e->set = value.release();
    return {DictStatus::Ok, n};
}

// A fresh, uncharged set holding the members, added one by one.
std::unique_ptr<SetValue> build_set(const std::vector<std::string_view>& members) {
    auto set = std::make_unique<SetValue>();
    set->store.reserve(members.size());
    for (std::string_view m : members) set->add(nullptr, m, {});
    return set;
}

const ValueTypeRegistrar kSetType(KEY_TYPE_SET, vorel::ContainerHooks<SetValue, &Entry::set>::ops());

}  // namespace

DictCount dict_sadd(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members,
                    size_t* processed) {
    if (processed) *processed = 0;
    Entry* e = nullptr;
    if (!ks || find_set(ks, key, &e) == DictStatus::WrongType) return {DictStatus::WrongType, 0};
    int64_t added = 0;
    size_t done = 0;
    bool failed = false;
    try {
        if (!e && !(e = vorel::create_container(ks, key, KEY_TYPE_SET, &Entry::set))) return {DictStatus::NoMemory, 0};
        for (; done < members.size(); done++) added += add_member(ks, e->set, members[done]) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    if (processed) *processed = done;
    if (e) vorel::drop_if_empty(ks, e, e->set->store.size());
    if (failed) return {DictStatus::NoMemory, 0};
    if (added > 0) dict_evict_lru(ks);
    return {DictStatus::Ok, added};
}

DictCount dict_srem(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members) {
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    return {DictStatus::Ok, vorel::remove_named(ks, e, e->set, members)};
}

DictCount dict_scard(Keyspace* ks, std::string_view key) {
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    return {DictStatus::Ok, static_cast<int64_t>(e->set->store.size())};
}

DictStatus dict_sismember(Keyspace* ks, std::string_view key, std::string_view member) {
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return found;
    return e->set->store.find(member) != MemberStore::npos ? DictStatus::Ok : DictStatus::Missing;
}

DictStatus dict_smove(Keyspace* ks, std::string_view src, std::string_view dst, std::string_view member) {
    Entry* from = nullptr;
    Entry* to = nullptr;
    const DictStatus src_found = find_set(ks, src, &from);
    const DictStatus dst_found = find_set(ks, dst, &to);
    if (src_found == DictStatus::WrongType || dst_found == DictStatus::WrongType) return DictStatus::WrongType;
    if (src_found != DictStatus::Ok || from->set->store.find(member) == MemberStore::npos) return DictStatus::Missing;
    if (to == from) return DictStatus::Ok;  // onto itself: the member is there and stays
    if (!to || to->set->store.find(member) == MemberStore::npos) {
        try {
            if (!to && !(to = vorel::create_container(ks, dst, KEY_TYPE_SET, &Entry::set))) return DictStatus::NoMemory;
            add_member(ks, to->set, member);
        } catch (const std::bad_alloc&) {
            if (to) vorel::drop_if_empty(ks, to, to->set->store.size());
            return DictStatus::NoMemory;
        }
    }
    // The source is changed only once the destination holds the member; its
    // removal cannot fail. Eviction runs last, when no entry pointer is in use.
    from->set->take(ks, from->set->store.find(member));
    finish_removal(ks, from);
    dict_evict_lru(ks);
    return DictStatus::Ok;
}

DictCount dict_smembers(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    out->reserve(e->set->store.size());
    e->set->store.for_each([&](const MemberStore::Slot& s) { out->push_back(s.key); });
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictCount dict_srandmember(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    if (count == 0) return {DictStatus::Ok, 0};
    MemberStore& members = e->set->store;
    const size_t n = members.size();
    if (count < 0) {
        // Independent picks: members may repeat, and there are exactly |count| of them.
        const uint64_t picks = 0 - static_cast<uint64_t>(count);
        if (picks > out->max_size()) throw std::bad_alloc();
        out->reserve(picks);
        for (uint64_t i = 0; i < picks; i++) out->push_back(members.slot(members.slot_at(dict_random_below(ks, n))).key);
    } else {
        const size_t k = static_cast<uint64_t>(count) < n ? static_cast<size_t>(count) : n;
        for (size_t pos : distinct_positions(ks, n, k)) out->push_back(members.slot(members.slot_at(pos)).key);
    }
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictCount dict_sdiff(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out) {
    compute(ks, SET_OP_DIFF, keys, out);
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictCount dict_sinter(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out) {
    compute(ks, SET_OP_INTER, keys, out);
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictCount dict_sunion(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out) {
    compute(ks, SET_OP_UNION, keys, out);
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictCount dict_sstore(Keyspace* ks, std::string_view dst, SetOp op, const std::vector<std::string_view>& keys) {
    if (!ks) return {DictStatus::NoMemory, 0};
    DictCount stored;
    try {
        // The result is built in full before the destination (possibly a source) is touched.
        std::vector<std::string_view> result;
        compute(ks, op, keys, &result);
        if (result.empty()) {
            dict_del(ks, dst);
            return {DictStatus::Ok, 0};
        }
        stored = install_set(ks, dst, build_set(result));
    } catch (const std::bad_alloc&) {
        return {DictStatus::NoMemory, 0};
    }
    if (stored.value > 0) dict_evict_lru(ks);
    return stored;
}

DictStatus dict_sscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    vorel::scan_store(found == DictStatus::Ok ? &e->set->store : nullptr, cursor, count,
                      [&](const MemberStore::Slot& s) { out->push_back(s.key); });
    return found == DictStatus::WrongType ? DictStatus::WrongType : DictStatus::Ok;
}

DictCount dict_spop(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_set(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    if (count <= 0) return {DictStatus::Ok, 0};
    MemberStore& members = e->set->store;
    const size_t n = members.size();
    const size_t k = static_cast<uint64_t>(count) < n ? static_cast<size_t>(count) : n;
    try {
        // Every allocation comes first: positions, their slots, the result.
        std::vector<size_t> slots = distinct_positions(ks, n, k);
        for (size_t& p : slots) p = members.slot_at(p);
        out->reserve(k);
        for (size_t s : slots) out->push_back(e->set->take(ks, s).key);
    } catch (const std::bad_alloc&) {
        out->clear();
        return {DictStatus::NoMemory, 0};
    }
    finish_removal(ks, e);
    return {DictStatus::Ok, static_cast<int64_t>(k)};
}

DictCount dict_sintercard(Keyspace* ks, const std::vector<std::string_view>& keys, int64_t limit) {
    bool wrong = false;
    const std::vector<MemberStore*> stores = operands(ks, keys, &wrong);
    if (wrong) return {DictStatus::WrongType, 0};
    if (stores.empty() || !stores[0]) return {DictStatus::Ok, 0};
    // The size does not depend on the order: walk the smallest set.
    size_t smallest = 0;
    for (size_t i = 0; i < stores.size(); i++) {
        if (!stores[i]) return {DictStatus::Ok, 0};
        if (stores[i]->size() < stores[smallest]->size()) smallest = i;
    }
    int64_t total = 0;
    stores[smallest]->for_each([&](const MemberStore::Slot& s) {
        if (limit > 0 && total >= limit) return;
        bool everywhere = true;
        for (size_t i = 0; i < stores.size() && everywhere; i++)
            everywhere = i == smallest || stores[i]->find(s.key) != MemberStore::npos;
        total += everywhere ? 1 : 0;
    });
    return {DictStatus::Ok, total};
}
