// hashes.cpp — the hash value type: field/value pairs in insertion order with
// O(1) average field lookup, overwrite in place, deletion that keeps the order of
// the rest, the two increments with their prefix-reading rules, a position
// cursor for scans, and the release/count/copy hooks the table code calls.
//
// Memory charges follow what the store holds (container_common.h): the payload
// and the store's arrays by their capacity, and each field and value string's
// own block.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "keyspace/container_common.h"
#include "keyspace/keyspace.h"

namespace {

using PairStore = HashValue::Store;

DictStatus find_hash(Keyspace* ks, std::string_view key, Entry** out) {
    return vorel::find_typed(ks, key, KEY_TYPE_HASH, out);
}

// Stores one pair in an existing hash: 1 new field, 0 overwritten. Throws
// std::bad_alloc with the hash unchanged.
int store_field(Keyspace* ks, HashValue* h, std::string_view field, std::string_view value) {
    const size_t s = h->store.find(field);
    if (s == PairStore::npos) {
        h->add(ks, field, std::string(value));
        return 1;
    }
    std::string& stored = h->store.slot(s).value;
    const uint64_t old_charge = dict_string_charge(stored);
    stored.assign(value);
    dict_uncharge(ks, old_charge);
    dict_charge(ks, dict_string_charge(stored));
    // Counted as a write of its own, not left to the two charges above, which
    // a same-length write would leave netting to nothing if they were merged.
    dict_mark_dirty(ks);
    return 0;
}

// The value of a field, or nullptr.
const std::string* field_value(Entry* e, std::string_view field) {
    if (!e) return nullptr;
    const size_t s = e->hash_value->store.find(field);
    return s == PairStore::npos ? nullptr : &e->hash_value->store.slot(s).value;
}

enum class HashPart { Fields, Values, Both };

DictCount collect(Keyspace* ks, std::string_view key, HashPart part, std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    const PairStore& pairs = e->hash_value->store;
    out->reserve(part == HashPart::Both ? 2 * pairs.size() : pairs.size());
    pairs.for_each([&](const PairStore::Slot& s) {
        if (part != HashPart::Values) out->push_back(s.key);
        if (part != HashPart::Fields) out->push_back(s.value);
    });
    return {DictStatus::Ok, static_cast<int64_t>(out->size())};
}

const ValueTypeRegistrar kHashType(KEY_TYPE_HASH, vorel::ContainerHooks<HashValue, &Entry::hash_value>::ops());

}  // namespace

DictCount dict_hset(Keyspace* ks, std::string_view key, std::string_view field, std::string_view value) {
    Entry* e = nullptr;
    if (!ks || find_hash(ks, key, &e) == DictStatus::WrongType) return {DictStatus::WrongType, 0};
    const uint64_t before = ks->used_memory;
    int r;
    try {
        if (!e && !(e = vorel::create_container(ks, key, KEY_TYPE_HASH, &Entry::hash_value))) return {DictStatus::NoMemory, 0};
        r = store_field(ks, e->hash_value, field, value);
    } catch (const std::bad_alloc&) {
        if (e) vorel::drop_if_empty(ks, e, e->hash_value->store.size());
        return {DictStatus::NoMemory, 0};
    }
    // A new field may evict, and so may a longer value that grows memory (a
    // short new field can fit in room the store already holds).
    if (r == 1 || ks->used_memory > before) dict_evict_lru(ks);
    return {DictStatus::Ok, r};
}

DictStatus dict_hget(Keyspace* ks, std::string_view key, std::string_view field, std::string_view* value) {
    *value = std::string_view();
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return found;
    const std::string* v = field_value(e, field);
    if (!v) return DictStatus::Missing;
    *value = *v;
    return DictStatus::Ok;
}

DictCount dict_hdel(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& fields) {
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    return {DictStatus::Ok, vorel::remove_named(ks, e, e->hash_value, fields)};
}

DictCount dict_hlen(Keyspace* ks, std::string_view key) {
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    return {DictStatus::Ok, static_cast<int64_t>(e->hash_value->store.size())};
}

DictStatus dict_hexists(Keyspace* ks, std::string_view key, std::string_view field) {
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return found;
    return field_value(e, field) ? DictStatus::Ok : DictStatus::Missing;
}

DictCount dict_hstrlen(Keyspace* ks, std::string_view key, std::string_view field) {
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    const std::string* v = field_value(e, field);
    return {DictStatus::Ok, v ? static_cast<int64_t>(v->size()) : 0};
}

DictCount dict_hgetall(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out) {
    return collect(ks, key, HashPart::Both, out);
}

DictCount dict_hkeys(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out) {
    return collect(ks, key, HashPart::Fields, out);
}

DictCount dict_hvals(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out) {
    return collect(ks, key, HashPart::Values, out);
}

DictStatus dict_hincrby(Keyspace* ks, std::string_view key, std::string_view field, int64_t increment, int64_t* out) {
    Entry* e = nullptr;
    if (!ks || find_hash(ks, key, &e) == DictStatus::WrongType) return DictStatus::WrongType;
    int64_t current = 0;
    // Read the way the C library's base-10 conversion reads: blanks and a sign,
    // digits up to the first other byte, none = 0, saturating at the 64-bit range.
    if (const std::string* v = field_value(e, field); v && !v->empty()) current = std::strtoimax(v->c_str(), nullptr, 10);
    int64_t sum = 0;
    if (__builtin_add_overflow(current, increment, &sum)) return DictStatus::Overflow;
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64, sum);
    const DictCount r = dict_hset(ks, key, field, text);
    if (!r.ok()) return r.status;
    if (out) *out = sum;
    return DictStatus::Ok;
}

DictStatus dict_hincrbyfloat(Keyspace* ks, std::string_view key, std::string_view field, double increment, double* out) {
    Entry* e = nullptr;
    if (!ks || find_hash(ks, key, &e) == DictStatus::WrongType) return DictStatus::WrongType;
    double current = 0;
    // A prefix read: whatever number the value starts with, else 0.
    if (const std::string* v = field_value(e, field); v && !v->empty()) current = std::strtod(v->c_str(), nullptr);
    const double sum = current + increment;
    if (out) *out = sum;
    if (!std::isfinite(sum)) return DictStatus::Overflow;
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", sum);
    return dict_hset(ks, key, field, text).status;
}

DictStatus dict_hscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    vorel::scan_store(found == DictStatus::Ok ? &e->hash_value->store : nullptr, cursor, count, [&](const PairStore::Slot& s) {
        out->push_back(s.key);
        out->push_back(s.value);
    });
    return found == DictStatus::WrongType ? DictStatus::WrongType : DictStatus::Ok;
}

DictCount dict_hrandfield(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string_view>* out) {
    out->clear();
    Entry* e = nullptr;
    const DictStatus found = find_hash(ks, key, &e);
    if (found != DictStatus::Ok) return {found, 0};
    PairStore& pairs = e->hash_value->store;
    const size_t n = pairs.size();
    auto take = [&](size_t pos) {
        const auto& slot = pairs.slot(pairs.slot_at(pos));
        out->push_back(slot.key);
        out->push_back(slot.value);
    };
    if (count < 0) {
        const uint64_t picks = 0 - static_cast<uint64_t>(count);
        if (picks > out->max_size() / 2) throw std::bad_alloc();
        out->reserve(2 * picks);
        for (uint64_t i = 0; i < picks; i++) take(dict_random_below(ks, n));
    } else {
        const size_t k = static_cast<uint64_t>(count) < n ? static_cast<size_t>(count) : n;
        for (size_t pos : vorel::distinct_positions(ks, n, k)) take(pos);
    }
    return {DictStatus::Ok, static_cast<int64_t>(out->size() / 2)};
}
