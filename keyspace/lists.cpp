// lists.cpp — list values: pushes and pops at both ends, positional reads and
// writes, removal by value, insertion by pivot, search, the multi-key pop, and
// the release/count/copy hooks through which the table frees, sizes and copies a
// list.
//
// A list is a ring of element blobs (list_value.h) whose size is its capacity:
// 4 slots at first, doubling when full, never shrinking while the key lives.
// The payload is charged its block and its ring's block (ring_charge) and each
// element its own block (element_charge).
#include "keyspace/list_value.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr uint64_t kFirstCapacity = 4;

// An element's block; an empty element holds none.
uint64_t element_charge(const Blob& b) { return b.data ? dict_alloc_size(b.len + 1) : 0; }
// Takes a removed element's charge away. A removal changes the contents even
// when it moves no charge (an empty element), so it counts on its own.
void uncharge_element(Keyspace* ks, const Blob& b) {
    dict_uncharge(ks, element_charge(b));
    dict_mark_dirty(ks);
}
// The payload with a ring of cap slots; nothing before the first element.
uint64_t ring_charge(uint64_t cap) {
    return cap ? dict_alloc_size(sizeof(ListValue)) + dict_alloc_size(cap * sizeof(Blob)) : 0;
}

// Byte-wise equality with lengths; an empty element matches an empty value.
bool matches(const Blob& b, std::string_view v) {
    return b.len == v.size() && (v.empty() || std::memcmp(b.data, v.data(), v.size()) == 0);
}

// A blob holding a copy of the bytes; false when the copy cannot be allocated.
bool make_element(std::string_view bytes, Blob* out) {
    *out = Blob{nullptr, 0};
    return dict_blob_set(out, bytes.data(), bytes.size());
}

std::unique_ptr<ListValue> new_list_value() {
    try {
        return std::make_unique<ListValue>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Makes room for one more element: 4 slots at first, then twice the capacity.
bool ensure_room(Keyspace* ks, ListValue* l) {
    if (l->count < l->capacity()) return true;
    const uint64_t old_cap = l->capacity();
    const uint64_t new_cap = old_cap ? old_cap * 2 : kFirstCapacity;
    std::vector<Blob> grown;
    try {
        grown.assign(new_cap, Blob{nullptr, 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint64_t i = 0; i < l->count; ++i) grown[i] = l->at(i);
    l->ring.swap(grown);
    l->head = 0;
    dict_charge(ks, ring_charge(new_cap) - ring_charge(old_cap));
    return true;
}

// Places an element before position pos (pos == count appends), moving the
// shorter side by one slot. The ring must have room.
void place_at(Keyspace* ks, ListValue* l, uint64_t pos, Blob element) {
    if (pos < l->count - pos) {
        l->head = l->head == 0 ? l->capacity() - 1 : l->head - 1;
        for (uint64_t i = 0; i < pos; ++i) l->at(i) = l->at(i + 1);
    } else {
        for (uint64_t i = l->count; i > pos; --i) l->at(i) = l->at(i - 1);
    }
    l->at(pos) = element;
    l->count++;
    dict_charge(ks, element_charge(element));
    dict_mark_dirty(ks);  // an empty element moves no charge
}

// Removes the element at pos and hands over its bytes, closing the gap from the
// shorter side.
Blob take_at(Keyspace* ks, ListValue* l, uint64_t pos) {
    const Blob element = l->at(pos);
    if (pos < l->count - 1 - pos) {
        for (uint64_t i = pos; i > 0; --i) l->at(i) = l->at(i - 1);
        l->at(0) = Blob{nullptr, 0};
        l->head = l->slot(1);
    } else {
        for (uint64_t i = pos; i + 1 < l->count; ++i) l->at(i) = l->at(i + 1);
        l->at(l->count - 1) = Blob{nullptr, 0};
    }
    l->count--;
    uncharge_element(ks, element);
    return element;
}

// A looked-up list key: its entry and chain predecessor, for removal once emptied.
struct ListRef {
    Entry* e = nullptr;
    Entry* pred = nullptr;
    ListValue* list() const { return e->list; }
};

// Ok the key holds a list; Missing; WrongType.
DictStatus find_list(Keyspace* ks, std::string_view key, ListRef* ref) {
    ref->e = dict_find_entry(ks, key, nullptr, &ref->pred);
    if (!ref->e) return DictStatus::Missing;
    return ref->e->type == KEY_TYPE_LIST && ref->e->list ? DictStatus::Ok : DictStatus::WrongType;
}

// After a removal: stamps the key, or deletes it when it has no element left.
void finish_removal(Keyspace* ks, const ListRef& ref) {
    if (ref.list()->count == 0) {
        entry_remove(ks, ref.e, ref.pred);
    } else {
        entry_touch(ks, ref.e, dict_now_ms(ks));
    }
}

// Position from a signed index (negative counts from the tail); false when out of range.
bool resolve_index(const ListValue* l, int64_t index, uint64_t* pos) {
    const int64_t n = static_cast<int64_t>(l->count);
    if (index < 0) index += n;
    if (index < 0 || index >= n) return false;
    *pos = static_cast<uint64_t>(index);
    return true;
}

// Creates an empty list key; the caller adds its first element at once.
Entry* create_list(Keyspace* ks, std::string_view key) {
    std::unique_ptr<ListValue> value = new_list_value();
    if (!value) return nullptr;
    Entry* e = dict_insert_entry(ks, key, KEY_TYPE_LIST, dict_now_ms(ks));
    if (e) e->list = value.release();
    return e;
}

DictCount push(Keyspace* ks, std::string_view key, std::string_view element, bool at_head, bool only_existing) {
    if (!ks) return {DictStatus::Invalid, 0};
    if (key.empty()) return {only_existing ? DictStatus::Missing : DictStatus::Invalid, 0};
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    // The x forms treat a key of another type as no list.
    if (found == DictStatus::WrongType) return {only_existing ? DictStatus::Missing : DictStatus::WrongType, 0};
    if (found == DictStatus::Missing && only_existing) return {DictStatus::Missing, 0};
    Blob blob;
    if (!make_element(element, &blob)) return {DictStatus::NoMemory, 0};
    const bool created = found == DictStatus::Missing;
    if (created && !(ref.e = create_list(ks, key))) {
        dict_blob_free(&blob);
        return {DictStatus::NoMemory, 0};
    }
    ListValue* l = ref.list();
    if (!ensure_room(ks, l)) {
        dict_blob_free(&blob);
        // A key made for this push must not stay behind empty.
        if (created) entry_unlink(ks, ref.e);
        return {DictStatus::NoMemory, 0};
    }
    place_at(ks, l, at_head ? 0 : l->count, blob);
    entry_touch(ks, ref.e, dict_now_ms(ks));
    const int64_t length = static_cast<int64_t>(l->count);
    dict_evict_lru(ks);
    return {DictStatus::Ok, length};
}

// Moves up to count elements from one end of a found list into *out.
DictCount pop_from(Keyspace* ks, const ListRef& ref, bool from_head, int64_t count, PoppedElements* out) {
    ListValue* l = ref.list();
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(count), l->count);
    try {
        // Grow geometrically: a caller may collect many pops into one result.
        const size_t need = out->items.size() + n;
        if (out->items.capacity() < need) out->items.reserve(std::max<size_t>(need, 2 * out->items.capacity()));
    } catch (const std::bad_alloc&) {
        return {DictStatus::NoMemory, 0};
    }
    for (uint64_t i = 0; i < n; ++i) out->items.push_back(take_at(ks, l, from_head ? 0 : l->count - 1));
    finish_removal(ks, ref);
    return {DictStatus::Ok, static_cast<int64_t>(n)};
}

DictCount pop_count_impl(Keyspace* ks, std::string_view key, int64_t count, PoppedElements* out, bool from_head) {
    if (!ks || !out) return {DictStatus::Missing, 0};
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return {found, 0};
    if (count <= 0) return {DictStatus::Ok, 0};
    return pop_from(ks, ref, from_head, count, out);
}

// Removes matches scanning from the head, at most limit (0 = all).
uint64_t remove_from_head(Keyspace* ks, ListValue* l, std::string_view v, uint64_t limit) {
    uint64_t kept = 0, removed = 0;
    for (uint64_t r = 0; r < l->count; ++r) {
        Blob& b = l->at(r);
        if ((limit == 0 || removed < limit) && matches(b, v)) {
            uncharge_element(ks, b);
            dict_blob_free(&b);
            removed++;
            continue;
        }
        if (kept != r) {
            l->at(kept) = b;
            b = Blob{nullptr, 0};
        }
        kept++;
    }
    l->count = kept;
    return removed;
}

// Removes matches scanning from the tail, at most limit; survivors keep their
// order and close up towards the tail.
uint64_t remove_from_tail(Keyspace* ks, ListValue* l, std::string_view v, uint64_t limit) {
    uint64_t removed = 0;
    uint64_t w = l->count;  // survivors fill positions [w, count)
    for (uint64_t r = l->count; r-- > 0;) {
        Blob& b = l->at(r);
        if (removed < limit && matches(b, v)) {
            uncharge_element(ks, b);
            dict_blob_free(&b);
            removed++;
            continue;
        }
        if (--w != r) {
            l->at(w) = b;
            b = Blob{nullptr, 0};
        }
    }
    l->head = l->slot(removed);
    l->count -= removed;
    return removed;
}

// Visits positions in scan order and collects matches as the query asks.
void scan_matches(const ListValue* l, std::string_view v, const LposQuery& q, std::vector<int64_t>* out) {
    const bool forward = q.rank > 0;
    // Matches to pass over: rank - 1 from the head, -rank - 1 from the tail.
    uint64_t skip = forward ? static_cast<uint64_t>(q.rank) - 1 : static_cast<uint64_t>(-(q.rank + 1));
    const uint64_t n = l->count;
    const uint64_t visits = q.maxlen > 0 ? std::min<uint64_t>(n, static_cast<uint64_t>(q.maxlen)) : n;
    const uint64_t wanted = !q.count_given ? 1 : q.count > 0 ? static_cast<uint64_t>(q.count) : UINT64_MAX;
    for (uint64_t i = 0; i < visits && out->size() < wanted; ++i) {
        const uint64_t pos = forward ? i : n - 1 - i;
        if (!matches(l->at(pos), v)) continue;
        if (skip > 0) {
            skip--;
            continue;
        }
        out->push_back(static_cast<int64_t>(pos));
    }
}

// Table hooks for the list type.

void release_list(Keyspace* ks, Entry* e) {
    std::unique_ptr<ListValue> owner(e->list);
    e->list = nullptr;
    if (!owner) return;
    for (uint64_t i = 0; i < owner->count; ++i) {
        Blob& b = owner->at(i);
        dict_uncharge(ks, element_charge(b));
        dict_blob_free(&b);
    }
    dict_uncharge(ks, ring_charge(owner->capacity()));
}

int64_t count_list(const Entry* e) { return e->list ? static_cast<int64_t>(e->list->count) : 0; }

void free_ring(std::vector<Blob>* ring) {
    for (Blob& b : *ring) dict_blob_free(&b);
}

// The copy's capacity is the source's element count.
bool copy_list(Keyspace* ks, const Entry* src, Entry* dst) {
    const ListValue* from = src->list;
    std::unique_ptr<ListValue> value = new_list_value();
    if (!from || !value) return false;
    try {
        value->ring.assign(from->count, Blob{nullptr, 0});
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint64_t charge = ring_charge(from->count);
    for (uint64_t i = 0; i < from->count; ++i) {
        if (!make_element(from->at(i).view(), &value->ring[i])) {
            free_ring(&value->ring);
            return false;
        }
        charge += element_charge(value->ring[i]);
    }
    value->count = from->count;
    dict_charge(ks, charge);
    dst->list = value.release();
    return true;
}

uint64_t charge_list(const Entry* e) {
    if (!e->list) return 0;
    uint64_t total = ring_charge(e->list->capacity());
    for (uint64_t i = 0; i < e->list->count; ++i) total += element_charge(e->list->at(i));
    return total;
}

const ValueTypeRegistrar list_registrar(KEY_TYPE_LIST, ValueTypeOps{release_list, count_list, copy_list, charge_list});

}  // namespace

PoppedElements::~PoppedElements() {
    for (Blob& b : items) dict_blob_free(&b);
}

DictCount dict_lpush(Keyspace* ks, std::string_view key, std::string_view element) {
    return push(ks, key, element, true, false);
}

DictCount dict_rpush(Keyspace* ks, std::string_view key, std::string_view element) {
    return push(ks, key, element, false, false);
}

DictCount dict_lpushx(Keyspace* ks, std::string_view key, std::string_view element) {
    return push(ks, key, element, true, true);
}

DictCount dict_rpushx(Keyspace* ks, std::string_view key, std::string_view element) {
    return push(ks, key, element, false, true);
}

DictCount dict_llen(Keyspace* ks, std::string_view key) {
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    return {found, found == DictStatus::Ok ? static_cast<int64_t>(ref.list()->count) : 0};
}

DictStatus dict_lpop(Keyspace* ks, std::string_view key, PoppedElements* out) {
    return pop_count_impl(ks, key, 1, out, true).status;
}

DictStatus dict_rpop(Keyspace* ks, std::string_view key, PoppedElements* out) {
    return pop_count_impl(ks, key, 1, out, false).status;
}

DictCount dict_lpop_count(Keyspace* ks, std::string_view key, int64_t count, PoppedElements* out) {
    return pop_count_impl(ks, key, count, out, true);
}

DictCount dict_rpop_count(Keyspace* ks, std::string_view key, int64_t count, PoppedElements* out) {
    return pop_count_impl(ks, key, count, out, false);
}

DictCount dict_lrange(Keyspace* ks, std::string_view key, int64_t start, int64_t stop,
                      std::vector<std::string_view>* out) {
    out->clear();
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return {found, 0};
    const ListValue* l = ref.list();
    const int64_t n = static_cast<int64_t>(l->count);
    if (stop < 0) stop += n;
    if (stop >= n) stop = n - 1;
    if (start < 0) start += n;
    if (start < 0) start = 0;
    if (start > stop) return {DictStatus::Ok, 0};
    out->reserve(static_cast<size_t>(stop - start + 1));
    for (int64_t i = start; i <= stop; ++i) out->push_back(l->at(static_cast<uint64_t>(i)).view());
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

DictStatus dict_lindex(Keyspace* ks, std::string_view key, int64_t index, std::string_view* out) {
    *out = std::string_view();
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return found;
    uint64_t pos = 0;
    if (!resolve_index(ref.list(), index, &pos)) return DictStatus::OutOfRange;
    *out = ref.list()->at(pos).view();
    return DictStatus::Ok;
}

DictStatus dict_lset(Keyspace* ks, std::string_view key, int64_t index, std::string_view element) {
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return found;
    uint64_t pos = 0;
    if (!resolve_index(ref.list(), index, &pos)) return DictStatus::OutOfRange;
    Blob fresh;
    if (!make_element(element, &fresh)) return DictStatus::NoMemory;
    Blob& slot = ref.list()->at(pos);
    dict_uncharge(ks, element_charge(slot));
    dict_blob_free(&slot);
    slot = fresh;
    dict_charge(ks, element_charge(fresh));
    // Counted as a write of its own, not left to the two charges above, which
    // a same-length write would leave netting to nothing if they were merged.
    dict_mark_dirty(ks);
    entry_touch(ks, ref.e, dict_now_ms(ks));
    dict_evict_lru(ks);
    return DictStatus::Ok;
}

DictCount dict_lrem(Keyspace* ks, std::string_view key, int64_t count, std::string_view element) {
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return {found, 0};
    ListValue* l = ref.list();
    const uint64_t removed = count >= 0
                                 ? remove_from_head(ks, l, element, static_cast<uint64_t>(count))
                                 : remove_from_tail(ks, l, element, 0 - static_cast<uint64_t>(count));
    if (removed > 0) finish_removal(ks, ref);
    return {DictStatus::Ok, static_cast<int64_t>(removed)};
}

DictCount dict_linsert(Keyspace* ks, std::string_view key, bool before, std::string_view pivot,
                       std::string_view element) {
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return {found, 0};
    ListValue* l = ref.list();
    uint64_t pos = 0;
    while (pos < l->count && !matches(l->at(pos), pivot)) pos++;
    if (pos == l->count) return {DictStatus::NotFound, 0};
    Blob blob;
    if (!make_element(element, &blob)) return {DictStatus::NoMemory, 0};
    if (!ensure_room(ks, l)) {
        dict_blob_free(&blob);
        return {DictStatus::NoMemory, 0};
    }
    place_at(ks, l, before ? pos : pos + 1, blob);
    entry_touch(ks, ref.e, dict_now_ms(ks));
    const int64_t length = static_cast<int64_t>(l->count);
    dict_evict_lru(ks);
    return {DictStatus::Ok, length};
}

DictStatus dict_lpos(Keyspace* ks, std::string_view key, std::string_view element, const LposQuery& q,
                     std::vector<int64_t>* out) {
    out->clear();
    if (q.rank == 0) return DictStatus::Ok;
    ListRef ref;
    const DictStatus found = find_list(ks, key, &ref);
    if (found != DictStatus::Ok) return found;
    scan_matches(ref.list(), element, q, out);
    return DictStatus::Ok;
}

DictCount dict_lmpop(Keyspace* ks, const std::string_view* keys, size_t key_count, bool from_head, int64_t count,
                     PoppedElements* out) {
    if (!ks || !out) return {DictStatus::Missing, 0};
    for (size_t i = 0; i < key_count; ++i) {
        ListRef ref;
        if (find_list(ks, keys[i], &ref) != DictStatus::Ok) continue;
        if (!pop_from(ks, ref, from_head, count < 1 ? 1 : count, out).ok()) return {DictStatus::NoMemory, 0};
        return {DictStatus::Ok, static_cast<int64_t>(i)};
    }
    return {DictStatus::Missing, 0};
}
