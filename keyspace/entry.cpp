// entry.cpp — the memory of one key: the single block holding an entry's fixed
// fields, its value space and its key, and the storage of string values inline
// in that space or in an external block. Nothing here links, indexes or charges.
#include "keyspace/keyspace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint64_t kMinValueSpace = 8;      // the payload union
constexpr uint64_t kMaxValueSpace = 65535;  // what inline_cap can state

// Value space for a string of len bytes plus its NUL, or the minimum when the
// string is kept externally.
uint16_t value_space_for(uint32_t type, uint64_t len) {
    if (type != KEY_TYPE_STRING || len + 1 > kMaxValueSpace) return kMinValueSpace;
    return static_cast<uint16_t>(std::max(kMinValueSpace, len + 1));
}

// A small block takes an exact-fit slot; a big one comes from the heap. Which
// one is decided by the block's size, which entry_block_bytes recomputes from
// the header when the block is freed.
void* take_block(EntrySlab& slab, uint64_t bytes) {
    return EntrySlab::slotted(bytes) ? slab.allocate(bytes) : malloc(bytes);
}

void give_block(EntrySlab& slab, Entry* e) {
    const uint64_t bytes = entry_block_bytes(e);
    if (EntrySlab::slotted(bytes))
        slab.release(e, bytes);
    else
        free(e);
}

Entry* allocate_block(EntrySlab& slab, uint16_t space, std::string_view key, bool lru_slot) {
    const uint64_t key_field = dict_key_field(key.size());
    const uint64_t slot = lru_slot ? sizeof(LruIndex::iterator) : 0;
    void* block = take_block(slab, kEntryValueOffset + space + key_field + key.size() + 1 + slot);
    if (!block) return nullptr;
    Entry* e = new (block) Entry{};
    e->inline_cap = space;
    char* k = entry_value_space(e) + space;
    if (key_field) {
        const uint32_t len = static_cast<uint32_t>(key.size());
        memcpy(k, &len, sizeof len);
        k += sizeof len;
        e->key_len = static_cast<uint16_t>(kEntryLongKey);
        e->flags = ENTRY_LONG_KEY;
    } else {
        e->key_len = static_cast<uint16_t>(key.size());
    }
    memcpy(k, key.data(), key.size());
    k[key.size()] = '\0';
    if (lru_slot) e->flags |= ENTRY_LRU_SLOT;
    return e;
}

// An external block for len bytes (left for the caller to fill) with room for cap.
ExternalString* allocate_external(uint64_t len, uint64_t cap) {
    void* block = malloc(sizeof(ExternalString) + cap + 1);
    if (!block) return nullptr;
    ExternalString* x = static_cast<ExternalString*>(block);
    x->len = len;
    x->cap = cap;
    x->bytes()[len] = '\0';
    return x;
}

ExternalString* external_copy(std::string_view value) {
    ExternalString* x = allocate_external(value.size(), value.size());
    if (x && !value.empty()) memcpy(x->bytes(), value.data(), value.size());
    return x;
}

// Writes a value that fits the value space; the old external block (which the
// bytes may come from) is freed only after the copy.
void write_inline(Entry* e, std::string_view value) {
    ExternalString* old = entry_str_external(e) ? e->ext : nullptr;
    char* space = entry_value_space(e);
    if (!value.empty()) memmove(space, value.data(), value.size());
    space[value.size()] = '\0';
    e->inline_len = static_cast<uint16_t>(value.size());
    e->flags &= ~ENTRY_EXTERNAL_STR;
    free(old);
}

void attach_external(Entry* e, ExternalString* x) {
    if (entry_str_external(e)) free(e->ext);
    e->ext = x;
    e->inline_len = 0;
    e->flags |= ENTRY_EXTERNAL_STR;
}

bool fits_inline(const Entry* e, uint64_t len) { return len < e->inline_cap; }

}  // namespace

Entry* entry_allocate(EntrySlab& slab, std::string_view key, uint32_t type, uint64_t value_len, bool lru_slot) {
    if (key.size() > UINT32_MAX) return nullptr;
    const uint16_t space = value_space_for(type, value_len);
    Entry* e = allocate_block(slab, space, key, lru_slot);
    if (!e) return nullptr;
    e->type = static_cast<uint8_t>(type);
    if (type != KEY_TYPE_STRING) return e;
    if (fits_inline(e, value_len)) {
        memset(entry_value_space(e), 0, value_len + 1);
        e->inline_len = static_cast<uint16_t>(value_len);
        return e;
    }
    ExternalString* x = allocate_external(value_len, value_len);
    if (!x) {
        give_block(slab, e);
        return nullptr;
    }
    memset(x->bytes(), 0, value_len);
    attach_external(e, x);
    return e;
}

Entry* entry_allocate_renamed(EntrySlab& slab, const Entry* e, std::string_view key) {
    if (key.size() > UINT32_MAX) return nullptr;
    Entry* copy = allocate_block(slab, e->inline_cap, key, (e->flags & ENTRY_LRU_SLOT) != 0);
    if (!copy) return nullptr;
    copy->next = e->next;
    copy->last_access_ms = e->last_access_ms;
    copy->type = e->type;
    // The key-length flag is the new key's; a deadline is entered for the copy by entry_rekey.
    copy->flags = (e->flags & ~(ENTRY_LONG_KEY | ENTRY_DEADLINE)) | (copy->flags & ENTRY_LONG_KEY);
    copy->inline_len = e->inline_len;
    memcpy(entry_value_space(copy), entry_value_space(e), e->inline_cap);
    return copy;
}

void entry_deallocate(EntrySlab& slab, Entry* e) {
    if (!e) return;
    if (entry_str_external(e)) free(e->ext);
    give_block(slab, e);
}

void entry_deallocate_shell(EntrySlab& slab, Entry* e) {
    if (e) give_block(slab, e);
}

bool entry_set_str(Entry* e, std::string_view value) {
    if (fits_inline(e, value.size())) {
        write_inline(e, value);
        return true;
    }
    ExternalString* x = external_copy(value);
    if (!x) return false;
    attach_external(e, x);
    return true;
}

bool entry_make_string(Keyspace* ks, Entry* e, std::string_view value) {
    if (e->type == KEY_TYPE_STRING) return entry_set_str(e, value);
    ExternalString* x = nullptr;
    if (!fits_inline(e, value.size()) && !(x = external_copy(value))) return false;
    entry_convert_type(ks, e);
    if (x)
        attach_external(e, x);
    else
        write_inline(e, value);
    return true;
}

char* entry_grow_str(Entry* e, uint64_t new_len, bool spare) {
    const uint64_t old_len = entry_str_len(e);
    char* data = entry_str_data(e);
    if (new_len <= old_len) return data;
    const bool external = entry_str_external(e);
    if (external ? new_len <= e->ext->cap : fits_inline(e, new_len)) {
        memset(data + old_len, 0, new_len - old_len + 1);
        if (external)
            e->ext->len = new_len;
        else
            e->inline_len = static_cast<uint16_t>(new_len);
        return data;
    }
    const uint64_t cap = spare ? std::max(new_len, std::min(2 * new_len, kMaxStringLength)) : new_len;
    ExternalString* x = allocate_external(new_len, cap);
    if (!x) return nullptr;
    if (old_len) memcpy(x->bytes(), data, old_len);
    memset(x->bytes() + old_len, 0, new_len - old_len);
    attach_external(e, x);
    return x->bytes();
}

void entry_clear_str(Entry* e) {
    if (entry_str_external(e)) free(e->ext);
    e->flags &= ~ENTRY_EXTERNAL_STR;
    memset(entry_value_space(e), 0, kMinValueSpace);
    e->inline_len = 0;
}
