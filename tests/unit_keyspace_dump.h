// unit_keyspace_dump.h — a canonical dump of a whole keyspace for the unit
// tests: every key in key order with its type, deadline and value, or its
// elements in order (list elements, hash fields and values, set members, sorted
// set scores and members). It walks the table directly, so taking it changes
// nothing: no lookup, no stamp, no lazy expiry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "keyspace/container_common.h"
#include "keyspace/keyspace.h"
#include "keyspace/list_value.h"
#include "keyspace/zsets_internal.h"

namespace ks_test {

// Length-prefixed, so that no two different contents print alike.
inline void put_field(std::string* out, std::string_view s) {
    out->append(std::to_string(s.size())).append(":").append(s).append(";");
}

// The exact bits of a score, so that even a change of sign of zero shows.
inline void put_score(std::string* out, double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    out->append(std::to_string(bits)).append(";");
}

inline std::string dump_entry(const Keyspace* ks, const Entry* e) {
    std::string r;
    put_field(&r, entry_key(e));
    r += "type=" + std::to_string(e->type) + " deadline=" + std::to_string(entry_deadline(ks, e)) + " ";
    switch (e->type) {
        case KEY_TYPE_STRING:
            put_field(&r, entry_str(e));
            break;
        case KEY_TYPE_LIST:
            for (uint64_t i = 0; i < e->list->count; i++) put_field(&r, e->list->at(i).view());
            break;
        case KEY_TYPE_HASH:
            e->hash_value->store.for_each([&](const HashValue::Slot& s) {
                put_field(&r, s.key);
                put_field(&r, s.value);
            });
            break;
        case KEY_TYPE_SET:
            e->set->store.for_each([&](const SetValue::Slot& s) { put_field(&r, s.key); });
            break;
        case KEY_TYPE_ZSET: {
            const ZsetIndex& index = e->zset->index;
            if (index.size() == 0) break;
            for (ZsetCursor c = index.cursor(0); c.valid(); c.next()) {
                put_score(&r, c.item().score);
                put_field(&r, c.item().member);
            }
            break;
        }
        default:
            r += "?";
    }
    return r;
}

// Every key in key order, whatever the table order.
inline std::string dump(const Keyspace* ks) {
    std::vector<std::string> keys;
    for (uint64_t b = 0; b < ks->bucket_count; b++)
        for (const Entry* e = ks->buckets[b]; e; e = e->next) keys.push_back(dump_entry(ks, e));
    std::sort(keys.begin(), keys.end());
    std::string all;
    for (const std::string& k : keys) all += k + "\n";
    return all;
}

}  // namespace ks_test
