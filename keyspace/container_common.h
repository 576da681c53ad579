// container_common.h — what the hash and set modules share: their payload (an
// ordered store and what its arrays are charged), the charges of elements,
// typed lookup, creating a container key and dropping one left empty, and the
// release/count/copy hooks the table code calls. A payload is charged its own
// block and the store's arrays by their capacity (Container::sync after every
// change that may move them), and each element its strings' own blocks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/keyspace.h"
#include "keyspace/ordered_store.h"

namespace vorel {

// k distinct positions out of n, in random order, drawn from the keyspace's
// generator (sets.cpp).
std::vector<size_t> distinct_positions(Keyspace* ks, size_t n, size_t k);

// A hash value's string block; a set member carries nothing else.
inline uint64_t value_charge(const std::string& v) { return dict_string_charge(v); }
inline uint64_t value_charge(NoValue) { return 0; }

// The payload of a hash (Value: the field's value) or a set (NoValue).
template <class Value>
struct Container {
    using Store = OrderedStore<Value>;
    using Slot = typename Store::Slot;

    Store store;
    uint64_t structure = 0;  // charged for this block and the store's arrays

    static uint64_t charge_of(const std::string& key, const Value& value) {
        return dict_string_charge(key) + value_charge(value);
    }

    // Appends a new element and charges it (ks may be null: nothing is charged).
    // Throws std::bad_alloc with nothing changed.
    void add(Keyspace* ks, std::string_view key, Value value) {
        std::string k(key);
        const uint64_t charge = charge_of(k, value);  // moving keeps the blocks
        store.append(std::move(k), std::move(value));
        dict_charge(ks, charge);
        dict_mark_dirty(ks);  // a short element moves no charge of its own
        sync(ks);
    }

    // Removes the element at a slot and its charge; the caller settles the store.
    Slot take(Keyspace* ks, size_t slot) {
        Slot gone = store.take(slot);
        dict_uncharge(ks, charge_of(gone.key, gone.value));
        dict_mark_dirty(ks);
        return gone;
    }

    // Compacts after removals and moves the arrays' charge along.
    void settle(Keyspace* ks) {
        store.settle();
        sync(ks);
    }

    // Brings the charge of this block and the store's arrays to what they hold now.
    void sync(Keyspace* ks) {
        dict_recharge(ks, &structure, dict_alloc_size(sizeof(*this)) + store.memory_bytes(dict_alloc_size));
    }

    // Everything the container is charged: its elements and its arrays.
    uint64_t total_charge() const {
        uint64_t total = structure;
        store.for_each([&](const Slot& s) { total += charge_of(s.key, s.value); });
        return total;
    }
};

}  // namespace vorel

// The payloads of hash keys (field -> value) and set keys (members).
struct HashValue : vorel::Container<std::string> {};
struct SetValue : vorel::Container<vorel::NoValue> {};

namespace vorel {

// 1 the key holds a value of `type`, 0 missing, -1 another type. *out is the
// entry found (also of another type) or nullptr. The lookup stamps the key.
inline DictStatus find_typed(Keyspace* ks, std::string_view key, uint32_t type, Entry** out) {
    Entry* e = ks ? dict_find_entry(ks, key) : nullptr;
    *out = e;
    if (!e) return DictStatus::Missing;
    return e->type == type ? DictStatus::Ok : DictStatus::WrongType;
}

// Creates an empty container key whose payload lives in `member`. nullptr when
// the entry cannot be allocated; std::bad_alloc when the payload cannot (in both
// cases nothing changed). The caller fills the container or drops it.
template <class C>
Entry* create_container(Keyspace* ks, std::string_view key, uint32_t type, C* Entry::*member) {
    auto value = std::make_unique<C>();
    Entry* e = dict_insert_entry(ks, key, type, dict_now_ms(ks));
    if (!e) return nullptr;
    e->*member = value.release();
    return e;
}

// The keyspace never holds an empty container: the call that empties one removes it.
inline void drop_if_empty(Keyspace* ks, Entry* e, size_t count) {
    if (e && count == 0) entry_unlink(ks, e);
}

// Removes each named element that is present (a name given twice counts once)
// and drops the key when it is emptied. Returns the number removed.
template <class C>
int64_t remove_named(Keyspace* ks, Entry* e, C* c, const std::vector<std::string_view>& names) {
    int64_t removed = 0;
    for (std::string_view name : names) {
        const size_t slot = c->store.find(name);
        if (slot == C::Store::npos) continue;
        c->take(ks, slot);
        removed++;
    }
    c->settle(ks);
    drop_if_empty(ks, e, c->store.size());
    return removed;
}

// One page of a scan (OrderedStore::scan): about count elements (<= 0 means 10)
// from the cursor, each handed to emit; *cursor becomes the next cursor, 0 at
// the end. A null store (missing key) gives nothing.
template <class Store, class Emit>
void scan_store(const Store* store, uint64_t* cursor, int64_t count, Emit emit) {
    if (!store) {
        *cursor = 0;
        return;
    }
    *cursor = store->scan(*cursor, count <= 0 ? 10 : static_cast<uint64_t>(count), emit);
}

// The hooks through which the table code releases, counts and copies a
// container type whose payload sits in `member`.
template <class C, C* Entry::*member>
struct ContainerHooks {
    static void release(Keyspace* ks, Entry* e) {
        std::unique_ptr<C> c(e->*member);
        e->*member = nullptr;
        if (c) dict_uncharge(ks, c->total_charge());
    }

    static int64_t count(const Entry* e) { return e->*member ? static_cast<int64_t>((e->*member)->store.size()) : 0; }

    // A copy's arrays are reserved for exactly the source's elements.
    static bool copy(Keyspace* ks, const Entry* src, Entry* dst) {
        try {
            auto c = std::make_unique<C>();
            const auto& from = (src->*member)->store;
            c->store.reserve(from.size());
            from.for_each([&](const typename C::Slot& s) { c->store.append(s.key, s.value); });
            c->sync(nullptr);
            dict_charge(ks, c->total_charge());
            dst->*member = c.release();
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    static uint64_t charge(const Entry* e) { return e->*member ? (e->*member)->total_charge() : 0; }
    static ValueTypeOps ops() { return {release, count, copy, charge}; }
};

}  // namespace vorel
