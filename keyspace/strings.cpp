// strings.cpp — string values and bitmaps: whole-value writes and their
// conditional forms, reads, read-and-replace, read-and-delete, append, length,
// byte ranges, and the bit operations that read a string as a bitmap.
//
// A value lives in its entry's value space or in an external block (entry.cpp);
// read through entry_str. The empty string is a value like any other and a
// lookup finds it. Every writer moves the value's charge (its external block,
// entry_str_charge) and keeps one NUL after the last byte.
#include "keyspace/keyspace.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

// Number of one bits in each byte value.
#define VOREL_B2(n) n, n + 1, n + 1, n + 2
#define VOREL_B4(n) VOREL_B2(n), VOREL_B2(n + 1), VOREL_B2(n + 1), VOREL_B2(n + 2)
#define VOREL_B6(n) VOREL_B4(n), VOREL_B4(n + 1), VOREL_B4(n + 1), VOREL_B4(n + 2)
const int popcount8[256] = {VOREL_B6(0), VOREL_B6(1), VOREL_B6(1), VOREL_B6(2)};
#undef VOREL_B6
#undef VOREL_B4
#undef VOREL_B2

namespace {

// Stores the value in an existing entry of any type, moving the value charge
// with it (a container goes with its charges). False, unchanged, on failure.
bool replace_existing(Keyspace* ks, Entry* e, std::string_view value) {
    const uint64_t old_charge = e->type == KEY_TYPE_STRING ? entry_str_charge(e) : 0;
    if (!entry_make_string(ks, e, value)) return false;
    dict_uncharge(ks, old_charge);
    dict_charge(ks, entry_str_charge(e));
    dict_mark_dirty(ks);  // an inline value moves no charge
    return true;
}

// Lengthens a string value to new_len (zero-filled) and moves its charge along.
char* grow_value(Keyspace* ks, Entry* e, uint64_t new_len, bool spare) {
    const uint64_t old_charge = entry_str_charge(e);
    char* data = entry_grow_str(e, new_len, spare);
    if (!data) return nullptr;
    dict_uncharge(ks, old_charge);
    dict_charge(ks, entry_str_charge(e));
    dict_mark_dirty(ks);  // growth within the room held moves no charge
    return data;
}

// The bytes to write into e's value once it grows: a copy in *keep when they
// point into the value itself, which the growth may move or overwrite. Throws
// std::bad_alloc.
std::string_view stable_bytes(const Entry* e, std::string_view bytes, std::string* keep) {
    const std::string_view v = entry_str(e);
    const uintptr_t at = reinterpret_cast<uintptr_t>(bytes.data());
    const uintptr_t base = reinterpret_cast<uintptr_t>(v.data());
    if (bytes.empty() || v.empty() || at < base || at > base + v.size()) return bytes;
    keep->assign(bytes);
    return *keep;
}

// A missing key written whole by a range or bit write: value_len zero bytes for
// the caller to fill in. nullptr on failure.
Entry* create_zeroed(Keyspace* ks, std::string_view key, uint64_t value_len) {
    return dict_insert_string_entry(ks, key, value_len, dict_now_ms(ks));
}

enum class BitLookup { Missing, WrongType, Found };

// The string entry behind a bit or range read: a hit for a string, a miss for
// another type, no counter for a missing key.
BitLookup bit_entry(Keyspace* ks, std::string_view key, Entry** out) {
    Entry* e = dict_find_entry(ks, key);
    *out = e;
    if (!e) return BitLookup::Missing;
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return BitLookup::WrongType;
    }
    ks->keyspace_hits++;
    return BitLookup::Found;
}

const unsigned char* bytes_of(const Entry* e) { return reinterpret_cast<const unsigned char*>(entry_str(e).data()); }

// One bits in n bytes, eight at a time.
uint64_t count_bytes(const unsigned char* p, uint64_t n) {
    uint64_t total = 0;
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        memcpy(&word, p + i, sizeof word);
        total += static_cast<uint64_t>(std::popcount(word));
    }
    for (; i < n; i++) total += static_cast<uint64_t>(popcount8[p[i]]);
    return total;
}

// One bits among bit positions first..last inclusive (bit 0 = MSB of byte 0).
uint64_t count_bits(const unsigned char* p, int64_t first, int64_t last) {
    const int64_t first_byte = first >> 3;
    const int64_t last_byte = last >> 3;
    // Masks keep the bits from position (first & 7) on and up to (last & 7).
    const unsigned head_mask = 0xffu >> (first & 7);
    const unsigned tail_mask = (0xff00u >> ((last & 7) + 1)) & 0xffu;
    if (first_byte == last_byte) return static_cast<uint64_t>(popcount8[p[first_byte] & head_mask & tail_mask]);
    uint64_t total = static_cast<uint64_t>(popcount8[p[first_byte] & head_mask]);
    total += count_bytes(p + first_byte + 1, static_cast<uint64_t>(last_byte - first_byte - 1));
    total += static_cast<uint64_t>(popcount8[p[last_byte] & tail_mask]);
    return total;
}

int bit_at(const unsigned char* p, int64_t pos) { return (p[pos >> 3] >> (7 - (pos & 7))) & 1; }

// First position in first..last whose bit equals b, or -1. Whole words and bytes
// that cannot hold the bit (all zeros when looking for a 1, all ones for a 0)
// are skipped at once.
int64_t find_bit(const unsigned char* p, int b, int64_t first, int64_t last) {
    const uint64_t skip_word = b ? 0 : ~uint64_t(0);
    const unsigned char skip_byte = b ? 0x00 : 0xff;
    int64_t pos = first;
    while (pos <= last) {
        if ((pos & 7) == 0) {
            while (pos + 63 <= last) {
                uint64_t word;
                memcpy(&word, p + (pos >> 3), sizeof word);
                if (word != skip_word) break;
                pos += 64;
            }
            while (pos + 7 <= last && p[pos >> 3] == skip_byte) pos += 8;
            if (pos > last) break;
        }
        if (bit_at(p, pos) == b) return pos;
        pos++;
    }
    return -1;
}

}  // namespace

namespace {

// The whole-value write: replaces the value of an existing key of any type or
// creates the key, sets the deadline (none removes an old one) and runs eviction.
// A failed allocation leaves the old value (or the missing key) as it was.
DictStatus set_whole_value(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks || !key.data() || key.empty()) return DictStatus::NoMemory;
    Entry* e = dict_find_entry(ks, key);
    const int64_t now = dict_now_ms(ks);
    if (e) {
        if (!replace_existing(ks, e, value)) return DictStatus::NoMemory;
        entry_touch(ks, e, now);
        entry_set_expire(ks, e, expire_at_ms);
    } else {
        e = dict_insert_string_entry(ks, key, value.size(), now);
        if (!e) return DictStatus::NoMemory;
        if (!value.empty()) memcpy(entry_str_data(e), value.data(), value.size());
        try {
            entry_set_expire(ks, e, expire_at_ms);
        } catch (const std::bad_alloc&) {
            // A key made by this call does not stay behind without its deadline.
            entry_unlink(ks, e);
            return DictStatus::NoMemory;
        }
    }
    dict_evict_lru(ks);
    return DictStatus::Ok;
}

}  // namespace

DictStatus dict_set_string(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    return set_whole_value(ks, key, value, expire_at_ms);
}

DictStatus dict_set_string_ifabsent(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks) return DictStatus::NoMemory;
    if (dict_find_entry(ks, key)) return DictStatus::Exists;
    return dict_set_string(ks, key, value, expire_at_ms) == DictStatus::Ok ? DictStatus::Ok : DictStatus::NoMemory;
}

DictStatus dict_set_string_ifexists(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks) return DictStatus::NoMemory;
    Entry* e = dict_find_entry(ks, key);
    if (!e) return DictStatus::Missing;
    const int64_t now = dict_now_ms(ks);
    if (!replace_existing(ks, e, value)) return DictStatus::NoMemory;
    entry_set_expire(ks, e, expire_at_ms);
    entry_touch(ks, e, now);
    return DictStatus::Ok;
}

DictStatus dict_get_string(Keyspace* ks, std::string_view key, std::string_view* out) {
    if (out) *out = std::string_view();
    if (!ks) return DictStatus::Missing;
    const Entry* e = dict_find_entry(ks, key);
    if (!e || e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return e ? DictStatus::WrongType : DictStatus::Missing;
    }
    ks->keyspace_hits++;
    if (out) *out = entry_str(e);
    return DictStatus::Ok;
}

DictStatus dict_get_string_replace(Keyspace* ks, std::string_view key, std::string_view value, std::string* old) {
    if (old) old->clear();
    if (!ks) return DictStatus::NoMemory;
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        ks->keyspace_misses++;
        // A missing key is created like any whole-value write: no deadline, and
        // eviction runs.
        return dict_set_string(ks, key, value, 0) == DictStatus::Ok ? DictStatus::Missing : DictStatus::NoMemory;
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return DictStatus::WrongType;
    }
    ks->keyspace_hits++;
    try {
        if (old) old->assign(entry_str(e));
    } catch (const std::bad_alloc&) {
        return DictStatus::NoMemory;
    }
    // The deadline and every other field stay; no eviction for a replacement.
    if (replace_existing(ks, e, value)) return DictStatus::Ok;
    if (old) old->clear();
    return DictStatus::NoMemory;
}

DictStatus dict_set_getdel(Keyspace* ks, std::string_view key, std::string* out) {
    if (out) out->clear();
    if (!ks) return DictStatus::Missing;
    Entry* pred = nullptr;
    Entry* e = dict_find_entry(ks, key, nullptr, &pred);
    if (!e) return DictStatus::Missing;
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return DictStatus::WrongType;
    }
    if (out) out->assign(entry_str(e));
    entry_remove(ks, e, pred);
    return DictStatus::Ok;
}

DictCount dict_append_string(Keyspace* ks, std::string_view key, std::string_view value) {
    if (!ks) return {DictStatus::NoMemory, 0};
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        if (dict_set_string(ks, key, value, 0) != DictStatus::Ok) return {DictStatus::NoMemory, 0};
        return {DictStatus::Ok, static_cast<int64_t>(value.size())};
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return {DictStatus::WrongType, 0};
    }
    const uint64_t old_len = entry_str_len(e);
    if (value.empty()) return {DictStatus::Ok, static_cast<int64_t>(old_len)};
    std::string keep;
    try {
        value = stable_bytes(e, value, &keep);
    } catch (const std::bad_alloc&) {
        return {DictStatus::NoMemory, 0};
    }
    // Growth leaves spare room, so repeated appends copy the value only now and then.
    const uint64_t new_len = old_len + value.size();
    char* data = grow_value(ks, e, new_len, true);
    if (!data) return {DictStatus::NoMemory, 0};
    memcpy(data + old_len, value.data(), value.size());
    return {DictStatus::Ok, static_cast<int64_t>(new_len)};
}

DictCount dict_strlen(Keyspace* ks, std::string_view key) {
    if (!ks) return {DictStatus::Missing, 0};
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return {DictStatus::Missing, 0};
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return {DictStatus::WrongType, 0};
    }
    ks->keyspace_hits++;
    return {DictStatus::Ok, static_cast<int64_t>(entry_str_len(e))};
}

DictStatus dict_getrange(Keyspace* ks, std::string_view key, int64_t start, int64_t end, std::string* out) {
    if (out) out->clear();
    if (!ks) return DictStatus::Missing;
    const Entry* e = dict_find_entry(ks, key);
    if (!e) {
        ks->keyspace_misses++;
        return DictStatus::Missing;
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return DictStatus::WrongType;
    }
    ks->keyspace_hits++;
    const std::string_view value = entry_str(e);
    const int64_t len = static_cast<int64_t>(value.size());
    if (len == 0) return DictStatus::Ok;
    // Negative positions count from the end; a start before the beginning is the
    // beginning, an end past the last byte is the last byte. All in 64 bits, so a
    // far negative position cannot wrap around.
    if (end < 0) end += len;
    if (end >= len) end = len - 1;
    if (start < 0) start += len;
    if (start < 0) start = 0;
    if (end < start || start >= len) return DictStatus::Ok;
    if (out) out->assign(value.data() + start, static_cast<size_t>(end - start + 1));
    return DictStatus::Ok;
}

DictCount dict_setrange(Keyspace* ks, std::string_view key, int64_t offset, std::string_view bytes) {
    if (!ks) return {DictStatus::NoMemory, 0};
    if (offset < 0) return {DictStatus::OutOfRange, 0};
    const uint64_t off = static_cast<uint64_t>(offset);
    if (off > kMaxStringLength || bytes.size() > kMaxStringLength - off) return {DictStatus::TooLarge, 0};
    const uint64_t end = off + bytes.size();
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        if (bytes.empty()) return {DictStatus::Ok, 0};
        // Written whole, so eviction may run.
        Entry* created = create_zeroed(ks, key, end);
        if (!created) return {DictStatus::NoMemory, 0};
        memcpy(entry_str_data(created) + off, bytes.data(), bytes.size());
        dict_evict_lru(ks);
        return {DictStatus::Ok, static_cast<int64_t>(end)};
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return {DictStatus::WrongType, 0};
    }
    const uint64_t old_len = entry_str_len(e);
    const uint64_t new_len = std::max(end, old_len);
    if (new_len == old_len) {
        // The value keeps its length: overwrite in place (the bytes may come from
        // the value itself, hence memmove). Identical bytes change nothing.
        char* at = entry_str_data(e) + off;
        if (!bytes.empty() && memcmp(at, bytes.data(), bytes.size()) != 0) {
            memmove(at, bytes.data(), bytes.size());
            dict_mark_dirty(ks);
        }
        return {DictStatus::Ok, static_cast<int64_t>(new_len)};
    }
    // Longer value: zero padding between the old end and the offset.
    std::string keep;
    try {
        bytes = stable_bytes(e, bytes, &keep);
    } catch (const std::bad_alloc&) {
        return {DictStatus::NoMemory, 0};
    }
    char* data = grow_value(ks, e, new_len, false);
    if (!data) return {DictStatus::NoMemory, 0};
    if (!bytes.empty()) memcpy(data + off, bytes.data(), bytes.size());
    return {DictStatus::Ok, static_cast<int64_t>(new_len)};
}

DictStatus dict_setbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int value, int* old_bit) {
    if (old_bit) *old_bit = 0;
    if (!ks) return DictStatus::NoMemory;
    if (bit_offset < 0) return DictStatus::OutOfRange;
    const uint64_t byte_index = static_cast<uint64_t>(bit_offset) >> 3;
    if (byte_index + 1 > kMaxStringLength) return DictStatus::OutOfRange;
    const unsigned char mask = static_cast<unsigned char>(0x80u >> (bit_offset & 7));
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        // A missing key becomes a zero-filled value just long enough for the bit,
        // written whole (eviction may run).
        Entry* created = create_zeroed(ks, key, byte_index + 1);
        if (!created) return DictStatus::NoMemory;
        if (value) entry_str_data(created)[byte_index] = static_cast<char>(mask);
        dict_evict_lru(ks);
        return DictStatus::Ok;
    }
    if (e->type != KEY_TYPE_STRING) return DictStatus::WrongType;
    if (entry_str_len(e) < byte_index + 1 && !grow_value(ks, e, byte_index + 1, false)) return DictStatus::NoMemory;
    unsigned char* p = reinterpret_cast<unsigned char*>(entry_str_data(e));
    if (old_bit) *old_bit = (p[byte_index] & mask) ? 1 : 0;
    const unsigned char before = p[byte_index];
    if (value)
        p[byte_index] |= mask;
    else
        p[byte_index] &= static_cast<unsigned char>(~mask);
    // A growth above was charged (and counted); an in-place write counts when the bit flips.
    if (p[byte_index] != before) dict_mark_dirty(ks);
    return DictStatus::Ok;
}

DictStatus dict_getbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int* bit) {
    if (bit) *bit = 0;
    if (!ks || bit_offset < 0) return DictStatus::OutOfRange;
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return DictStatus::WrongType;
    if (found == BitLookup::Missing) return DictStatus::Ok;
    const uint64_t byte_index = static_cast<uint64_t>(bit_offset) >> 3;
    if (byte_index < entry_str_len(e) && bit) *bit = bit_at(bytes_of(e), bit_offset);
    return DictStatus::Ok;
}

bool bitnorm_range(uint64_t len, int64_t start, int64_t end, bool bit_units, int64_t* first, int64_t* last) {
    // An empty value has no unit to count or search.
    if (len == 0) return false;
    const int64_t total = static_cast<int64_t>(bit_units ? len * 8 : len);
    const int64_t last_unit = total - 1;
    // Adding a positive total to a negative position cannot overflow.
    if (start < 0) start += total;
    if (end < 0) end += total;
    end = std::min(end, last_unit);
    start = std::max<int64_t>(start, 0);
    // A start beyond the end is pulled back to the last unit.
    if (start > last_unit) start = last_unit;
    if (end < start) return false;
    *first = start;
    *last = end;
    return true;
}

DictCount dict_bitcount(Keyspace* ks, std::string_view key, int64_t start, int64_t end, bool range_given,
                        bool bit_units) {
    if (!ks) return {DictStatus::Ok, 0};
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return {DictStatus::WrongType, 0};
    if (found == BitLookup::Missing) return {DictStatus::Ok, 0};
    const unsigned char* p = bytes_of(e);
    const uint64_t len = entry_str_len(e);
    if (!range_given) return {DictStatus::Ok, static_cast<int64_t>(len ? count_bytes(p, len) : 0)};
    int64_t first = 0, last = 0;
    if (!bitnorm_range(len, start, end, bit_units, &first, &last)) return {DictStatus::Ok, 0};
    if (!bit_units) return {DictStatus::Ok, static_cast<int64_t>(count_bytes(p + first, static_cast<uint64_t>(last - first + 1)))};
    return {DictStatus::Ok, static_cast<int64_t>(count_bits(p, first, last))};
}

DictCount dict_bitpos(Keyspace* ks, std::string_view key, int bit, int64_t start, int64_t end, bool start_given,
                      bool bit_units) {
    if (!ks) return {DictStatus::Ok, -1};
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return {DictStatus::WrongType, 0};
    if (found == BitLookup::Missing) return {DictStatus::Ok, -1};
    const uint64_t len = entry_str_len(e);
    if (len == 0) return {DictStatus::Ok, -1};
    const int b = bit ? 1 : 0;
    const int64_t total_bits = static_cast<int64_t>(len * 8);
    const int64_t last_unit = bit_units ? total_bits - 1 : static_cast<int64_t>(len) - 1;
    int64_t first = 0, last = 0;
    if (!bitnorm_range(len, start, end, bit_units, &first, &last)) return {DictStatus::Ok, -1};
    // An explicit start past the end finds nothing (normalisation would otherwise
    // pull it back to the last unit).
    if (start_given && start >= 0 && start > last_unit) return {DictStatus::Ok, -1};
    if (!bit_units) {
        first *= 8;
        last = last * 8 + 7;
    }
    last = std::min(last, total_bits - 1);
    const int64_t pos = find_bit(bytes_of(e), b, first, last);
    if (pos >= 0) return {DictStatus::Ok, pos};
    // Looking for a 0 over the whole value: the first clear bit is the one just
    // past the end.
    if (b == 1 || start_given) return {DictStatus::Ok, -1};
    return {DictStatus::Ok, total_bits};
}
