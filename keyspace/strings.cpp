// strings.cpp — string values and bitmaps: whole-value writes and their
// conditional forms, reads, read-and-replace, read-and-delete, append, length,
// byte ranges, and the bit operations that read a string as a bitmap.
//
// A value is the entry's `str` blob. The empty string is a value like any other:
// it is stored as {nullptr, 0} and a lookup finds it. Every writer charges the
// value as its length + 16 and keeps one NUL after the last byte.
#include "keyspace/keyspace.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
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

// A heap copy of the bytes with a NUL after them, ready to become a value blob.
// An empty value is {nullptr, 0} and needs no allocation.
struct NewValue {
    char* data = nullptr;
    uint64_t len = 0;
    bool ok = true;
};

NewValue copy_value(std::string_view bytes) {
    NewValue v;
    if (bytes.empty()) return v;
    v.data = static_cast<char*>(malloc(bytes.size() + 1));
    if (!v.data) {
        v.ok = false;
        return v;
    }
    memcpy(v.data, bytes.data(), bytes.size());
    v.data[bytes.size()] = '\0';
    v.len = bytes.size();
    return v;
}

// A zero-filled block of len bytes plus the NUL; nullptr on failure.
char* zeroed_block(uint64_t len) { return static_cast<char*>(calloc(len + 1, 1)); }

// Installs a prepared value in a string entry: releases the old value and its
// charge and charges the new one. Takes ownership of v.data (null iff v.len is 0).
void install_value(Keyspace* ks, Entry* e, const NewValue& v) {
    dict_uncharge(ks, e->str.len + CHARGE_BLOB);
    dict_blob_free(&e->str);
    e->str = Blob{v.data, v.len};
    dict_charge(ks, v.len + CHARGE_BLOB);
}

// Stores a prepared value in an existing entry of any type. A container is first
// turned into a string entry, which releases its payload and their charges and
// leaves an empty, uncharged value slot.
void replace_existing(Keyspace* ks, Entry* e, const NewValue& v) {
    if (e->type == KEY_TYPE_STRING) {
        install_value(ks, e, v);
        return;
    }
    entry_convert_type(ks, e);
    e->str = Blob{v.data, v.len};
    dict_charge(ks, v.len + CHARGE_BLOB);
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

const unsigned char* bytes_of(const Entry* e) { return reinterpret_cast<const unsigned char*>(e->str.data); }

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

// The whole-value write with a prepared value, whose ownership it takes (freed on
// failure): replaces the value of an existing key of any type or creates the key,
// sets the deadline (none removes an old one) and runs eviction.
int set_whole_value(Keyspace* ks, std::string_view key, const NewValue& v, int64_t expire_at_ms) {
    if (!v.ok) return -1;
    if (!ks || !key.data() || key.empty()) {
        free(v.data);
        return -1;
    }
    Entry* e = dict_find_entry(ks, key);
    const int64_t now = dict_now_ms();
    if (e) {
        replace_existing(ks, e, v);
        entry_touch(ks, e, now);
    } else {
        e = dict_insert_entry(ks, key, KEY_TYPE_STRING, now);
        if (!e) {
            free(v.data);
            return -1;
        }
        e->str = Blob{v.data, v.len};
        dict_charge(ks, v.len + CHARGE_BLOB);
    }
    entry_set_expire(ks, e, expire_at_ms);
    dict_evict_lru(ks);
    return 0;
}

}  // namespace

int dict_set_string(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks || !key.data() || key.empty()) return -1;
    // The new bytes are copied first so that a failed allocation leaves the old
    // value (or the missing key) exactly as it was.
    return set_whole_value(ks, key, copy_value(value), expire_at_ms);
}

int dict_set_string_ifabsent(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks) return -1;
    if (dict_find_entry(ks, key)) return 0;
    return dict_set_string(ks, key, value, expire_at_ms) == 0 ? 1 : -1;
}

int dict_set_string_ifexists(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms) {
    if (!ks) return -1;
    Entry* e = dict_find_entry(ks, key);
    if (!e) return 0;
    const int64_t now = dict_now_ms();
    NewValue v = copy_value(value);
    if (!v.ok) return -1;
    replace_existing(ks, e, v);
    entry_set_expire(ks, e, expire_at_ms);
    entry_touch(ks, e, now);
    return 1;
}

int dict_get_string(Keyspace* ks, std::string_view key, std::string_view* out) {
    if (out) *out = std::string_view();
    if (!ks) return 0;
    const Entry* e = dict_find_entry(ks, key);
    if (!e || e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return e ? -1 : 0;
    }
    ks->keyspace_hits++;
    if (out) *out = e->str.view();
    return 1;
}

int dict_get_string_replace(Keyspace* ks, std::string_view key, std::string_view value, std::string* old) {
    if (old) old->clear();
    if (!ks) return -2;
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        ks->keyspace_misses++;
        // A missing key is created like any whole-value write: no deadline, and
        // eviction runs.
        return dict_set_string(ks, key, value, 0) == 0 ? 0 : -2;
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -1;
    }
    ks->keyspace_hits++;
    NewValue v = copy_value(value);
    if (!v.ok) return -2;
    try {
        if (old) old->assign(e->str.view());
    } catch (const std::bad_alloc&) {
        free(v.data);
        return -2;
    }
    // The deadline and every other field stay; no eviction for a replacement.
    install_value(ks, e, v);
    return 1;
}

int dict_set_getdel(Keyspace* ks, std::string_view key, std::string* out) {
    if (out) out->clear();
    if (!ks) return 0;
    Entry* pred = nullptr;
    Entry* e = dict_find_entry(ks, key, nullptr, &pred);
    if (!e) return 0;
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -1;
    }
    if (out) out->assign(e->str.view());
    entry_remove(ks, e, pred);
    return 1;
}

int64_t dict_append_string(Keyspace* ks, std::string_view key, std::string_view value) {
    if (!ks) return -2;
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        if (dict_set_string(ks, key, value, 0) != 0) return -2;
        return static_cast<int64_t>(value.size());
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -1;
    }
    const uint64_t old_len = e->str.len;
    if (value.empty()) return static_cast<int64_t>(old_len);
    const uint64_t new_len = old_len + value.size();
    char* data;
    const char* old_data = e->str.data;
    const uintptr_t at = reinterpret_cast<uintptr_t>(value.data());
    const uintptr_t base = reinterpret_cast<uintptr_t>(old_data);
    const bool aliases = old_data && at >= base && at <= base + old_len;
    if (aliases) {
        // The appended bytes live inside the value: build a fresh block so they
        // stay readable while copying.
        data = static_cast<char*>(malloc(new_len + 1));
        if (!data) return -2;
        memcpy(data, old_data, old_len);
        memcpy(data + old_len, value.data(), value.size());
        free(e->str.data);
    } else {
        // Growing in place is usually cheaper than a fresh block for repeated appends;
        // a failed realloc keeps the old block, so the value is unchanged.
        data = static_cast<char*>(realloc(e->str.data, new_len + 1));
        if (!data) return -2;
        memcpy(data + old_len, value.data(), value.size());
    }
    data[new_len] = '\0';
    e->str.data = data;
    e->str.len = new_len;
    dict_uncharge(ks, old_len + CHARGE_BLOB);
    dict_charge(ks, new_len + CHARGE_BLOB);
    return static_cast<int64_t>(new_len);
}

int64_t dict_strlen(Keyspace* ks, std::string_view key) {
    if (!ks) return -1;
    const Entry* e = dict_find_entry(ks, key);
    if (!e) return -1;
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -2;
    }
    ks->keyspace_hits++;
    return static_cast<int64_t>(e->str.len);
}

int dict_getrange(Keyspace* ks, std::string_view key, int64_t start, int64_t end, std::string* out) {
    if (out) out->clear();
    if (!ks) return 0;
    const Entry* e = dict_find_entry(ks, key);
    if (!e) {
        ks->keyspace_misses++;
        return 0;
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -1;
    }
    ks->keyspace_hits++;
    const int64_t len = static_cast<int64_t>(e->str.len);
    if (len == 0) return 1;
    // Negative positions count from the end; a start before the beginning is the
    // beginning, an end past the last byte is the last byte. All in 64 bits, so a
    // far negative position cannot wrap around.
    if (end < 0) end += len;
    if (end >= len) end = len - 1;
    if (start < 0) start += len;
    if (start < 0) start = 0;
    if (end < start || start >= len) return 1;
    if (out) out->assign(e->str.data + start, static_cast<size_t>(end - start + 1));
    return 1;
}

int64_t dict_setrange(Keyspace* ks, std::string_view key, int64_t offset, std::string_view bytes) {
    if (!ks) return -2;
    if (offset < 0) return -3;
    const uint64_t off = static_cast<uint64_t>(offset);
    if (off > kMaxStringLength || bytes.size() > kMaxStringLength - off) return -4;
    const uint64_t end = off + bytes.size();
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        if (bytes.empty()) return 0;
        char* block = zeroed_block(end);
        if (!block) return -2;
        memcpy(block + off, bytes.data(), bytes.size());
        // Written whole, so eviction may run; the block becomes the value.
        return set_whole_value(ks, key, NewValue{block, end, true}, 0) == 0 ? static_cast<int64_t>(end) : -2;
    }
    if (e->type != KEY_TYPE_STRING) {
        ks->keyspace_misses++;
        return -1;
    }
    const uint64_t old_len = e->str.len;
    const uint64_t new_len = std::max(end, old_len);
    if (new_len == old_len) {
        // The value keeps its length: overwrite in place (the bytes may come from
        // the value itself, hence memmove).
        if (!bytes.empty()) memmove(e->str.data + off, bytes.data(), bytes.size());
        return static_cast<int64_t>(new_len);
    }
    // Longer value: zero padding between the old end and the offset.
    char* block = zeroed_block(new_len);
    if (!block) return -2;
    if (old_len) memcpy(block, e->str.data, old_len);
    if (!bytes.empty()) memcpy(block + off, bytes.data(), bytes.size());
    install_value(ks, e, NewValue{block, new_len, true});
    return static_cast<int64_t>(new_len);
}

int dict_setbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int value, int* old_bit) {
    if (old_bit) *old_bit = 0;
    if (!ks || bit_offset < 0) return -2;
    const uint64_t byte_index = static_cast<uint64_t>(bit_offset) >> 3;
    if (byte_index + 1 > kMaxStringLength) return -2;
    const unsigned char mask = static_cast<unsigned char>(0x80u >> (bit_offset & 7));
    Entry* e = dict_find_entry(ks, key);
    if (!e) {
        // A missing key becomes a zero-filled value just long enough for the bit,
        // written whole (eviction may run).
        char* block = zeroed_block(byte_index + 1);
        if (!block) return -2;
        if (value) block[byte_index] = static_cast<char>(mask);
        return set_whole_value(ks, key, NewValue{block, byte_index + 1, true}, 0) == 0 ? 0 : -2;
    }
    if (e->type != KEY_TYPE_STRING) return -1;
    if (e->str.len < byte_index + 1) {
        char* block = zeroed_block(byte_index + 1);
        if (!block) return -2;
        if (e->str.len) memcpy(block, e->str.data, e->str.len);
        install_value(ks, e, NewValue{block, byte_index + 1, true});
    }
    unsigned char* p = reinterpret_cast<unsigned char*>(e->str.data);
    if (old_bit) *old_bit = (p[byte_index] & mask) ? 1 : 0;
    if (value)
        p[byte_index] |= mask;
    else
        p[byte_index] &= static_cast<unsigned char>(~mask);
    return 0;
}

int dict_getbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int* bit) {
    if (bit) *bit = 0;
    if (!ks || bit_offset < 0) return -2;
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return -1;
    if (found == BitLookup::Missing) return 0;
    const uint64_t byte_index = static_cast<uint64_t>(bit_offset) >> 3;
    if (byte_index < e->str.len && bit) *bit = bit_at(bytes_of(e), bit_offset);
    return 0;
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

int64_t dict_bitcount(Keyspace* ks, std::string_view key, int64_t start, int64_t end, bool range_given,
                      bool bit_units) {
    if (!ks) return 0;
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return -1;
    if (found == BitLookup::Missing) return 0;
    const unsigned char* p = bytes_of(e);
    const uint64_t len = e->str.len;
    if (!range_given) return static_cast<int64_t>(len ? count_bytes(p, len) : 0);
    int64_t first = 0, last = 0;
    if (!bitnorm_range(len, start, end, bit_units, &first, &last)) return 0;
    if (!bit_units) return static_cast<int64_t>(count_bytes(p + first, static_cast<uint64_t>(last - first + 1)));
    return static_cast<int64_t>(count_bits(p, first, last));
}

int64_t dict_bitpos(Keyspace* ks, std::string_view key, int bit, int64_t start, int64_t end, bool start_given,
                    bool bit_units) {
    if (!ks) return -1;
    Entry* e = nullptr;
    const BitLookup found = bit_entry(ks, key, &e);
    if (found == BitLookup::WrongType) return -2;
    if (found == BitLookup::Missing) return -1;
    const uint64_t len = e->str.len;
    if (len == 0) return -1;
    const int b = bit ? 1 : 0;
    const int64_t total_bits = static_cast<int64_t>(len * 8);
    const int64_t last_unit = bit_units ? total_bits - 1 : static_cast<int64_t>(len) - 1;
    int64_t first = 0, last = 0;
    if (!bitnorm_range(len, start, end, bit_units, &first, &last)) return -1;
    // An explicit start past the end finds nothing (normalisation would otherwise
    // pull it back to the last unit).
    if (start_given && start >= 0 && start > last_unit) return -1;
    if (!bit_units) {
        first *= 8;
        last = last * 8 + 7;
    }
    last = std::min(last, total_bits - 1);
    const int64_t pos = find_bit(bytes_of(e), b, first, last);
    if (pos >= 0) return pos;
    // Looking for a 0 over the whole value: the first clear bit is the one just
    // past the end.
    if (b == 1 || start_given) return -1;
    return total_bits;
}
