// keyspace.h — the keyspace engine (module vorel_dict): Blob, Entry, Keyspace and
// every dict_ operation. The engine takes no lock: every caller holds the global
// lock around each call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keyspace/entry_slab.h"
#include "keyspace/pointer_map.h"

enum KeyType : uint32_t {
    KEY_TYPE_NONE = 0,
    KEY_TYPE_STRING = 1,
    KEY_TYPE_LIST = 2,
    KEY_TYPE_HASH = 3,
    KEY_TYPE_SET = 4,
    KEY_TYPE_ZSET = 5,
};

// Owned bytes plus a NUL after them; {nullptr, 0} when empty. An empty blob is
// still a value: callers that find an entry read it back as the empty string.
struct Blob {
    char* data;
    uint64_t len;
    std::string_view view() const { return data ? std::string_view(data, len) : std::string_view(); }
};

// Payloads of the container types, defined in their own files.
struct ListValue;
struct HashValue;
struct SetValue;
struct ZsetValue;

struct Entry;
struct Keyspace;

// djb2 of the key (table.cpp).
uint32_t dict_hash(std::string_view key);

// One place in the eviction order: the entry with copies of its stamp and hash,
// so a descent through the index compares without reading the entries.
struct LruSlot {
    int64_t stamp;
    uint32_t hash;
    Entry* entry;
};

// Orders entries for eviction: oldest stamp first; equal stamps by lower bucket,
// then nearer the chain head. Ties within a bucket are settled by walking that
// chain, so every entry in the index must be linked in its bucket: the index is
// updated after linking and before unlinking. An entry holds two slots for a
// moment while a touch moves it (the new one goes in before the old one comes
// out); their stamps differ, so they never tie.
struct LruOrder {
    const Keyspace* ks;
    bool operator()(const LruSlot& a, const LruSlot& b) const;
};
using LruIndex = std::set<LruSlot, LruOrder>;

// A string value kept outside its entry: length, room, then the bytes and a NUL.
struct ExternalString {
    uint64_t len;
    uint64_t cap;  // bytes the block holds before the NUL
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
};

constexpr uint8_t ENTRY_EXTERNAL_STR = 1;  // flags: the string value is an ExternalString
// flags: the log rewrite's visit mark; an entry whose bit equals the keyspace's
// rewrite_mark has been visited by the running (or last) rewrite.
constexpr uint8_t ENTRY_REWRITE_MARK = 2;
constexpr uint8_t ENTRY_DEADLINE = 4;   // flags: the key has a deadline (kept in Keyspace::deadlines)
constexpr uint8_t ENTRY_LONG_KEY = 8;   // flags: the key's length is stored in 4 bytes before the key
// flags: the block ends with room for the entry's eviction index position (made
// while a memory limit was set); other entries keep it in the position table.
constexpr uint8_t ENTRY_LRU_SLOT = 16;
// key_len when the length is stored in the block (ENTRY_LONG_KEY).
constexpr uint32_t kEntryLongKey = UINT16_MAX;

// One key, allocated as one block: this header, then `inline_cap` bytes of value
// space starting at the payload union, then (for a long key) its 4-byte length,
// the key bytes and a NUL, then (ENTRY_LRU_SLOT) 8 unaligned bytes for the
// entry's eviction index position. A string value lives in the value space
// (with its NUL) when it fits, else in an ExternalString the payload points to.
// The address never changes while the key exists (the chains, both indexes and
// callers hold it); only a rename puts the entry in a new block. The header
// holds only what every key needs: a deadline lives in the keyspace's deadline
// table, the eviction index position in the block's slot or the position
// table, and the full hash is recomputed from the key where it is needed (a
// byte of it filters chain walks). Read the key and value through entry_key /
// entry_str.
struct Entry {
    Entry* next;              // next entry in the same bucket chain
    int64_t last_access_ms;   // the eviction order
    uint16_t key_len;         // the key's length, or kEntryLongKey (then stored in the block)
    uint16_t inline_cap;      // bytes of value space from the payload on (>= 8)
    uint16_t inline_len;      // length of a string value kept inline (< inline_cap)
    uint8_t type : 3;         // KeyType
    uint8_t flags : 5;        // ENTRY_* bits
    uint8_t hash_tag;         // dict_hash_tag of the key's hash
    union {
        ExternalString* ext;
        ListValue* list;
        HashValue* hash_value;
        SetValue* set;
        ZsetValue* zset;
        char inline_head[8];
    };
};
constexpr size_t kEntryValueOffset = 24;  // where the value space starts
static_assert(sizeof(Entry) == kEntryValueOffset + 8, "payload union right after the fixed fields");

// The byte of a key's hash an entry keeps to filter chain walks and cache hints.
// Keys of one bucket share the hash's low bits, and short keys that differ only
// in their last characters (key:0 to key:99999) share its top byte too: the
// top byte of the hash times an odd constant, which every bit reaches, tells
// them apart.
inline uint8_t dict_hash_tag(uint32_t hash) { return static_cast<uint8_t>((hash * 0x9E3779B1u) >> 24); }
inline const char* entry_value_space(const Entry* e) { return reinterpret_cast<const char*>(e) + kEntryValueOffset; }
inline char* entry_value_space(Entry* e) { return reinterpret_cast<char*>(e) + kEntryValueOffset; }
inline std::string_view entry_key(const Entry* e) {
    const char* at = entry_value_space(e) + e->inline_cap;
    if (e->key_len != kEntryLongKey) return {at, e->key_len};
    uint32_t len = 0;
    memcpy(&len, at, sizeof len);
    return {at + sizeof len, len};
}
// Where an entry with ENTRY_LRU_SLOT keeps its eviction index position.
inline char* entry_lru_slot(Entry* e) {
    const std::string_view key = entry_key(e);
    return const_cast<char*>(key.data()) + key.size() + 1;
}
inline bool entry_str_external(const Entry* e) { return (e->flags & ENTRY_EXTERNAL_STR) != 0; }
inline bool entry_has_deadline(const Entry* e) { return (e->flags & ENTRY_DEADLINE) != 0; }
// The string value (NUL after it); empty for an entry of another type.
inline std::string_view entry_str(const Entry* e) {
    if (entry_str_external(e)) return {e->ext->bytes(), e->ext->len};
    if (e->type != KEY_TYPE_STRING) return {};
    return {entry_value_space(e), e->inline_len};
}
inline uint64_t entry_str_len(const Entry* e) { return entry_str(e).size(); }
// Writable bytes of the string value.
inline char* entry_str_data(Entry* e) { return entry_str_external(e) ? e->ext->bytes() : entry_value_space(e); }
// The entry's place in the eviction order as of its current stamp.
inline LruSlot lru_slot(Entry* e) { return LruSlot{e->last_access_ms, dict_hash(entry_key(e)), e}; }

// ---- What used_memory charges ------------------------------------------------
// used_memory is the keyspace's real allocation: every block it holds, as the
// allocator sizes it. The rounding follows a common general-purpose allocator
// (an 8-byte header, 16-byte steps, 32 bytes at least); others differ a little.
constexpr uint64_t dict_alloc_size(uint64_t request) {
    if (request == 0) return 0;  // nothing allocated
    const uint64_t chunk = (request + 8 + 15) & ~uint64_t{15};
    return chunk < 32 ? 32 : chunk;
}
// A std::string's own heap block, if its bytes do not fit in the object.
inline uint64_t dict_string_charge(const std::string& s) {
    return s.capacity() > std::string().capacity() ? dict_alloc_size(s.capacity() + 1) : 0;
}
// A node of a std::set (or map): its tree links (a colour and three pointers) and the element.
template <class T>
constexpr uint64_t kSetNodeCharge = dict_alloc_size(4 * sizeof(void*) + sizeof(T));
// A slot of a side table (deadlines, eviction positions): the entry's address
// and an 8-byte value. The slots are one array, charged as a whole with the
// table (dict_side_table_charge) like the bucket array: a key's own charges
// are what its removal gives back, and a slot goes back only with its array.
constexpr uint64_t kSideSlotBytes = sizeof(Entry*) + sizeof(int64_t);
// Each key with a deadline has a node in the expiry index (and a slot in the deadline table).
constexpr uint64_t CHARGE_EXPIRY_NODE = kSetNodeCharge<std::pair<int64_t, Entry*>>;
// Each key has a node in the eviction index while the index is kept (a memory
// limit is set); an entry made without a limit also has a slot in the position
// table, which its key's charge leaves to the table's.
constexpr uint64_t CHARGE_LRU_NODE = kSetNodeCharge<LruSlot>;
constexpr uint64_t CHARGE_BUCKET = sizeof(Entry*);
constexpr uint64_t INITIAL_BUCKETS = 1024;
// The table grows (doubles) once it holds more keys than buckets. Allowing two
// keys per bucket would save half the bucket array (4 bytes per key), but the
// longer chains cost a pipelined lookup a quarter of its speed: a chain step is
// one more wait for memory.
constexpr uint64_t kMaxKeysPerBucket = 1;
// The bucket array of a table with n buckets.
constexpr uint64_t dict_buckets_charge(uint64_t n) { return dict_alloc_size(CHARGE_BUCKET * n); }
// The slot array of a side table with `capacity` slots (none while empty).
constexpr uint64_t dict_side_table_charge(uint64_t capacity) { return dict_alloc_size(kSideSlotBytes * capacity); }
// The length stored before a long key.
constexpr uint64_t dict_key_field(uint64_t key_len) { return key_len >= kEntryLongKey ? sizeof(uint32_t) : 0; }
// The bytes of an entry block as entry_allocate makes it: the fixed fields,
// value_space bytes of value space, then the key (with its length when long)
// and its NUL, and the position slot when asked.
constexpr uint64_t dict_entry_block_bytes(uint64_t key_len, uint64_t value_space, bool lru_slot = false) {
    return kEntryValueOffset + value_space + dict_key_field(key_len) + key_len + 1 +
           (lru_slot ? sizeof(LruIndex::iterator) : 0);
}
inline uint64_t entry_block_bytes(const Entry* e) {
    return dict_entry_block_bytes(entry_key(e).size(), e->inline_cap, (e->flags & ENTRY_LRU_SLOT) != 0);
}
// What the block takes: its slab slot, or a heap block when it is too big for one.
constexpr uint64_t dict_entry_alloc_size(uint64_t bytes) {
    return EntrySlab::slotted(bytes) ? EntrySlab::slot_bytes(bytes) : dict_alloc_size(bytes);
}
constexpr uint64_t dict_entry_block_charge(uint64_t key_len, uint64_t value_space, bool lru_slot = false) {
    return dict_entry_alloc_size(dict_entry_block_bytes(key_len, value_space, lru_slot));
}
inline uint64_t entry_block_charge(const Entry* e) { return dict_entry_alloc_size(entry_block_bytes(e)); }
// What a string value holds beyond its entry block: its external block, if any.
inline uint64_t entry_str_charge(const Entry* e) {
    return entry_str_external(e) ? dict_alloc_size(sizeof(ExternalString) + e->ext->cap + 1) : 0;
}

// Entries with an expiry, ordered by deadline, so the sweep visits only dead keys.
using ExpiryIndex = std::set<std::pair<int64_t, Entry*>>;
// The deadline of each key that has one (ENTRY_DEADLINE), found from its entry.
using DeadlineTable = PointerMap<Entry, int64_t>;
// Each indexed entry's node in the eviction index, so a touch or a removal takes
// the entry out in constant time, without a descent.
using LruPositions = PointerMap<Entry, LruIndex::iterator>;
static_assert(sizeof(DeadlineTable::Slot) == kSideSlotBytes && sizeof(LruPositions::Slot) == kSideSlotBytes);

// An upper bound on every chain's length, proven by a full walk and widened by
// one for each change since (a chain grows by one entry at most per change), so
// random picks can sample buckets without walking the table. Owned by keys.cpp.
struct RandomPickBound {
    bool valid = false;
    uint64_t longest_chain = 0;    // measured by the last full walk
    uint64_t change_count = 0;     // change_count at that walk
    uint64_t bucket_count = 0;     // bucket_count at that walk
};

struct Keyspace {
    Entry** buckets;
    uint64_t bucket_count;     // a power of two: 1024 at creation, only ever doubled
    uint64_t key_count;
    uint64_t used_memory;
    // The memory limit: max_memory_bytes governs eviction (0 = no limit);
    // max_memory_mb is the same limit in whole megabytes, rounded up (<= 0 = none).
    int32_t max_memory_mb;
    uint64_t max_memory_bytes;
    uint64_t keyspace_hits;
    uint64_t keyspace_misses;
    uint64_t expired_keys;     // removed at their deadline (on access or by the sweep)
    uint64_t evicted_keys;     // removed to stay under the memory limit

    ExpiryIndex expiry_index;
    DeadlineTable deadlines;
    uint64_t deadline_table_charged;      // dict_side_table_charge of deadlines, as charged
    std::unique_ptr<LruIndex> lru_index;  // kept only while a memory limit is set
    LruPositions lru_positions;           // filled while lru_index is kept
    uint64_t lru_table_charged;           // dict_side_table_charge of lru_positions, as charged
    uint64_t change_count;     // bumped whenever table order may change
    // Bumped by every change to what the keyspace holds: a key created or removed
    // (by any path: delete, expiry, eviction, flush, rename, copy), a value or an
    // element written, added or removed, a deadline set or cleared. Never by
    // reads, access stamps, hit/miss counts or scan state, nor by a call that
    // changes nothing. Whole-value writers (SET, GETSET, LSET, HSET) count even
    // when the new value equals the old; in-place range and bit writes, and score
    // updates, count only when a byte or the score changes. The server compares
    // it around a command to decide whether the command must be logged.
    uint64_t dirty;

    RandomPickBound random_bound;
    EntrySlab entry_slab;      // where entry blocks live; outlives every entry

    // Told of every key the engine removes on its own — a dead key found by a
    // lookup or the sweep (evicted false), a key evicted for memory (true) —
    // just before it goes, so the server can log the removal.
    void (*removal_hook)(void* ctx, std::string_view key, bool evicted);
    void* removal_ctx;
    // While set, writes never evict (a replay applies the whole log first).
    bool eviction_paused;
    // The ENTRY_REWRITE_MARK value that means "visited" (0 or the flag). A new or
    // renamed entry is linked visited: its records follow in the log.
    uint8_t rewrite_mark;
    // Told the key of every entry removed (deleted, expired, evicted, replaced by
    // a rename or copy) just before it goes, and an empty key when the whole
    // keyspace is flushed; nullptr = nobody listens.
    void (*on_removed)(void* ctx, std::string_view key) = nullptr;
    void* on_removed_ctx = nullptr;

    // The clock (clock_random.cpp): a replacement set by tests (nullptr = the
    // wall clock), and a reading held for a short run of operations (0 = none).
    int64_t (*clock)() = nullptr;
    int64_t held_clock_ms = 0;
    // A key's hash worked out ahead for a cache hint, with the key's address and
    // length, lent by dict_lend_key_hash: a lookup of those very bytes uses it.
    const char* held_key = nullptr;
    size_t held_key_len = 0;
    uint32_t held_key_hash = 0;
    // The generator behind random picks (xoshiro256**); a keyspace never seeded
    // draws a fixed sequence.
    uint64_t random_state[4] = {};
    bool random_seeded = false;
};

// The keyspace itself and its first bucket array.
constexpr uint64_t CHARGE_KEYSPACE = dict_alloc_size(sizeof(Keyspace));
constexpr uint64_t CHARGE_FRESH_KEYSPACE = CHARGE_KEYSPACE + dict_buckets_charge(INITIAL_BUCKETS);
// What a linked key costs besides its value: its entry block and, while the
// eviction index is kept, its node there.
inline uint64_t dict_key_charge(const Keyspace* ks, const Entry* e) {
    return entry_block_charge(e) + (ks->lru_index ? CHARGE_LRU_NODE : 0);
}

// ---- Container value types --------------------------------------------------
// Each container type (list, hash, set, sorted set) lives in its own file and
// registers these operations for its tag, so the table code can release, count
// and copy any value without knowing its layout.
struct ValueTypeOps {
    // Frees the payload, subtracting every charge it carries; leaves the slot null.
    void (*release)(Keyspace* ks, Entry* e);
    // Number of elements.
    int64_t (*count)(const Entry* e);
    // Deep-copies src's payload into dst (same type tag already set), charging
    // the copy. False on allocation failure, with nothing left allocated.
    bool (*copy)(Keyspace* ks, const Entry* src, Entry* dst);
    // Everything the payload is charged (what release would subtract).
    uint64_t (*charge)(const Entry* e) = nullptr;
};
// nullptr when no module registered the tag.
const ValueTypeOps* dict_value_ops(uint32_t type);
void dict_register_value_type(uint32_t type, const ValueTypeOps& ops);
struct ValueTypeRegistrar {
    ValueTypeRegistrar(uint32_t type, const ValueTypeOps& ops) { dict_register_value_type(type, ops); }
};

// ---- Results of the keyspace operations -------------------------------------
// Operations that report how they went return a DictStatus. An operation that
// also yields a count, a length or a position returns a DictCount: the status
// and the value, which is the result when the status is Ok and 0 otherwise (a
// missing key counts 0); a value is never an error code.
// Each declaration below names the statuses it can return.

enum class DictStatus : uint8_t {
    Ok,          // done / found
    Missing,     // the key (or the field, member or element) is not there
    Exists,      // a conditional write found the key already there; nothing changed
    WrongType,   // the key holds a value of another type (left unchanged)
    NoMemory,    // an allocation failed or the key could not be stored; nothing changed
    OutOfRange,  // an offset or index outside what the operation accepts
    TooLarge,    // the result would exceed the size limit
    NotFound,    // what the operation is relative to (a pivot, a key's deadline) is absent
    Overflow,    // the arithmetic result would not be representable; nothing stored
    Invalid,     // an argument the operation refuses (such as an empty key name)
};

struct DictCount {
    DictStatus status = DictStatus::Ok;
    int64_t value = 0;
    bool ok() const { return status == DictStatus::Ok; }
    friend bool operator==(const DictCount&, const DictCount&) = default;
};

// ---- Clock and random numbers -------------------------------------------------

// The keyspace's clock: wall-clock ms, or the clock set with dict_set_clock
// (nullptr restores the wall clock). A null keyspace reads the wall clock.
int64_t dict_read_clock(const Keyspace* ks);
// A held reading, the usual case inside a batch, is returned without a call.
inline int64_t dict_now_ms(const Keyspace* ks) {
    if (ks != nullptr && ks->clock == nullptr && ks->held_clock_ms != 0) return ks->held_clock_ms;
    return dict_read_clock(ks);
}
void dict_set_clock(Keyspace* ks, int64_t (*clock)());
// Makes dict_now_ms return now_ms until the next call (0 = read the clock
// again), so a short run of operations shares one reading. A clock set with
// dict_set_clock still wins. Does nothing for a null keyspace.
void dict_hold_clock(Keyspace* ks, int64_t now_ms);
// The keyspace's 64-bit generator behind random picks; the server seeds it once
// when it creates the keyspace.
void dict_seed_random(Keyspace* ks, uint64_t seed);
uint64_t dict_random_u64(Keyspace* ks);
// Uniform in [0, bound); bound > 0.
uint64_t dict_random_below(Keyspace* ks, uint64_t bound);

// ---- Table and entries (table.cpp) -------------------------------------------

Keyspace* dict_create(int32_t max_memory_mb);
void dict_destroy(Keyspace* ks);
void dict_flush(Keyspace* ks);
// The one lookup: removes a dead key on the spot and stamps a live one.
Entry* dict_find_entry(Keyspace* ks, std::string_view key, uint64_t* bucket_out = nullptr,
                       Entry** pred_out = nullptr);
void dict_resize_if_needed(Keyspace* ks);
// Links an entry made by entry_allocate after the caller's lookup: grows the
// table, links at the chain head, counts and charges dict_key_charge. False
// when an index node cannot be allocated: the entry is not linked and stays the
// caller's.
[[nodiscard]] bool dict_link_new_entry(Keyspace* ks, Entry* e, int64_t now);
// Insertion sequence after the caller's lookup: grow, allocate, link at the chain
// head, count and charge dict_key_charge. Returns nullptr on allocation failure.
// A string entry made here holds the empty value, uncharged.
Entry* dict_insert_entry(Keyspace* ks, std::string_view key, uint32_t type, int64_t now);
// The same for a new string key holding value_len zero bytes (the caller writes
// them), in the entry's own allocation when they fit; also charges the value.
Entry* dict_insert_string_entry(Keyspace* ks, std::string_view key, uint64_t value_len, int64_t now);
// Releases the entry and its payload with their charges; does not unlink and
// does not touch the eviction index (the caller has taken it out).
void free_entry(Keyspace* ks, Entry* e);
// Removal sequence with a known predecessor (nullptr = chain head).
void entry_remove(Keyspace* ks, Entry* e, Entry* pred);
// Unlinks by identity (finds the predecessor itself), frees, decrements.
void entry_unlink(Keyspace* ks, Entry* e);
// Turns a container entry into an empty string entry, releasing its payload.
void entry_convert_type(Keyspace* ks, Entry* e);
// Puts `moved`, made by entry_allocate_renamed(e, new key), in place of e: e is
// unlinked and its block freed; moved, with e's payload and deadline, is linked
// at its chain head with the given stamp. False when e is not linked or an index
// node cannot be allocated: moved's block is freed and e is left as it was.
bool entry_rekey(Keyspace* ks, Entry* e, Entry* moved, int64_t now);
// Sets last_access_ms, keeping the eviction index in step. Throws std::bad_alloc
// with the stamp and the index unchanged.
void entry_touch(Keyspace* ks, Entry* e, int64_t now);
// Sets the deadline (<= 0 = none), keeping the expiry index and the deadline
// table in step. Throws std::bad_alloc with the deadline and both unchanged.
void entry_set_expire(Keyspace* ks, Entry* e, int64_t expire_at_ms);
// The key's absolute deadline in ms; 0 = none.
int64_t entry_deadline(const Keyspace* ks, const Entry* e);
// The entry's node in the eviction index (only while the index is kept).
LruIndex::iterator entry_lru_pos(const Keyspace* ks, const Entry* e);
// Every charge follows a change to the contents (an element, a value or a key
// that comes or goes), so a non-zero charge or uncharge also bumps dirty.
void dict_charge(Keyspace* ks, uint64_t bytes);
void dict_uncharge(Keyspace* ks, uint64_t bytes);  // saturates at 0
// Moves a charge held at *charged to now (up or down) and records it there.
inline void dict_recharge(Keyspace* ks, uint64_t* charged, uint64_t now) {
    if (now > *charged) dict_charge(ks, now - *charged);
    if (now < *charged) dict_uncharge(ks, *charged - now);
    *charged = now;
}
// Brings the charge for a side table's array (*charged, as charged so far) in
// line with the table, after any insertion or removal (either may resize it).
// Not through dict_charge: the array holds no contents. An emptied table gives
// its array back, so a keyspace whose last deadline (or indexed key) went
// holds no array for it.
template <class Table>
void dict_track_side_table(Keyspace* ks, const Table& table, uint64_t* charged) {
    const uint64_t now = dict_side_table_charge(table.capacity());
    ks->used_memory += now;
    ks->used_memory -= *charged < ks->used_memory ? *charged : ks->used_memory;
    *charged = now;
}
// Bumps dirty for a change that moves no charge (an in-place write, a score).
inline void dict_mark_dirty(Keyspace* ks) {
    if (ks) ks->dirty++;
}

// Blob helpers. dict_blob_set leaves the blob empty on allocation failure and
// returns false then.
bool dict_blob_set(Blob* b, const void* src, size_t len);
void dict_blob_free(Blob* b);

// ---- Entry blocks and their string values (entry.cpp) ---------------------
// Allocation only: no linking, no charges. Value writers keep a NUL after the
// bytes and leave the value unchanged when they return false or nullptr.

// An unlinked entry for the key with value space for value_len bytes when they
// fit (string type; the bytes are zeroed, externally when they do not fit);
// with lru_slot, room for its eviction index position (made under a limit).
// Blocks come from the keyspace's slab (the heap for big ones).
Entry* entry_allocate(EntrySlab& slab, std::string_view key, uint32_t type, uint64_t value_len, bool lru_slot = false);
// A copy of e's fields, value space and position slot (if any) under another key; the payload now
// belongs to the copy, so e must then go through entry_deallocate_shell.
Entry* entry_allocate_renamed(EntrySlab& slab, const Entry* e, std::string_view key);
// Frees an external string value and the entry block.
void entry_deallocate(EntrySlab& slab, Entry* e);
// Frees the entry block only (its payload was handed on).
void entry_deallocate_shell(EntrySlab& slab, Entry* e);
// Replaces the value of a string entry: in place when it fits the value space,
// else in a new external block. The bytes may point into the old value.
bool entry_set_str(Entry* e, std::string_view value);
// Makes any entry a string entry holding value, releasing a container payload
// with its charges only once the value's storage is secured.
bool entry_make_string(Keyspace* ks, Entry* e, std::string_view value);
// Lengthens a string value to new_len, zero-filling the new bytes; with spare,
// an external block gets room to double (amortised appends). The bytes, or nullptr.
char* entry_grow_str(Entry* e, uint64_t new_len, bool spare);
// Frees an external value and leaves the empty inline value (no charges).
void entry_clear_str(Entry* e);

uint32_t dict_key_type(Keyspace* ks, std::string_view key);
const char* dict_type_name(Keyspace* ks, std::string_view key);
int64_t dict_key_count(Keyspace* ks, std::string_view key);
// Ok deleted; Missing.
DictStatus dict_del(Keyspace* ks, std::string_view key);
// Ok the key is live (the lookup stamps it); Missing.
DictStatus dict_exists(Keyspace* ks, std::string_view key);
// What the memory accounting charges for the key: entry, name and value; 0 when missing.
uint64_t dict_memory_usage(Keyspace* ks, std::string_view key);

// ---- Cache hints (prefetch.cpp) -----------------------------------------------

// Hints the key's bucket into the cache and returns the key's hash; then, once
// the bucket has had time to arrive, dict_prefetch_entry hints its chain head,
// later dict_prefetch_next the entry after the head, and later still
// dict_prefetch_third the entry after that.
uint32_t dict_prefetch_bucket(const Keyspace* ks, std::string_view key);
// Lends the lookups that follow the hash of `key` worked out for its hint: a
// lookup of the same bytes at the same address takes it instead of hashing
// again. The caller ends the loan (a null key) before those bytes may change.
inline void dict_lend_key_hash(Keyspace* ks, std::string_view key, uint32_t hash) {
    ks->held_key = key.data();
    ks->held_key_len = key.size();
    ks->held_key_hash = hash;
}
// The hash of `key`, taken from the loan when it is for these bytes.
inline uint32_t dict_key_hash(const Keyspace* ks, std::string_view key) {
    if (key.data() == ks->held_key && key.size() == ks->held_key_len) return ks->held_key_hash;
    return dict_hash(key);
}
void dict_prefetch_entry(const Keyspace* ks, uint32_t hash);
void dict_prefetch_next(const Keyspace* ks, uint32_t hash);
void dict_prefetch_third(const Keyspace* ks, uint32_t hash);

// ---- Expiry, memory accounting and eviction (expiry.cpp) ---------------------

// Sets a deadline relative to now on a live key (<= 0 clears it). Ok; Missing.
DictStatus dict_expire_ms(Keyspace* ks, std::string_view key, int64_t relative_ms);
DictStatus dict_expire(Keyspace* ks, std::string_view key, int32_t relative_s);
// Sets an absolute deadline on a live key (<= 0 clears it). Ok; Missing.
DictStatus dict_expire_at_ms(Keyspace* ks, std::string_view key, int64_t deadline_ms);
// Ok the deadline was removed; Missing key; NotFound: the key has no deadline.
DictStatus dict_persist(Keyspace* ks, std::string_view key);
// Ok with the time left in seconds (rounded up) / milliseconds; Missing (also a
// key that died meanwhile); NotFound: the key has no deadline.
DictCount dict_ttl(Keyspace* ks, std::string_view key);
DictCount dict_pttl(Keyspace* ks, std::string_view key);
// Removes every dead key (visits only keys whose deadline has passed).
void dict_cleanup_expired(Keyspace* ks);
// Evicts least-recently-used keys until used_memory is within the limit.
void dict_evict_lru(Keyspace* ks);
// Tells the removal hook (if any) that the engine is about to remove e on its own.
void dict_note_removal(Keyspace* ks, const Entry* e, bool evicted);
// Pauses eviction (a replay) or resumes it and evicts down to the limit at once.
void dict_pause_eviction(Keyspace* ks, bool paused);
// The limit in megabytes (<= 0 = none), or in bytes (0 = none; any other value
// is a real limit, however small). Setting it evicts nothing by itself.
void dict_set_max_memory(Keyspace* ks, int32_t max_memory_mb);
void dict_set_max_memory_bytes(Keyspace* ks, uint64_t max_memory_bytes);
int32_t dict_maxmemory_mb(const Keyspace* ks);
uint64_t dict_maxmemory_bytes(const Keyspace* ks);
// Ok with the key's last access stamp (the lookup stamps it anew); Missing.
DictCount dict_last_accessed_ms(Keyspace* ks, std::string_view key);
// Adds or drops the eviction index to match the limit (internal to the engine).
// When the index cannot be built it stays absent (entries are then not
// indexed) and eviction tries again. The index's nodes are charged while it
// exists (CHARGE_LRU_NODE per key and the position table's array), not
// through dict_charge: they change no contents.
void lru_index_sync(Keyspace* ks);
// Drops the eviction index (if any) with its nodes' charge.
void lru_index_drop(Keyspace* ks);
void lru_index_insert(Keyspace* ks, Entry* e);
void lru_index_erase(Keyspace* ks, Entry* e);
// Moves an indexed entry to its place for the stamp now (see entry_touch).
void lru_index_touch(Keyspace* ks, Entry* e, int64_t now);

// ---- String values and bitmaps (strings.cpp) ---------------------------------
// Deadlines are absolute milliseconds (<= 0 = no expiry). An empty value is a
// value: a string key holding "" is found, with an empty view.

// Whole-value write; replaces a value of another type; runs eviction. Ok or NoMemory.
DictStatus dict_set_string(Keyspace* ks, std::string_view key, std::string_view value, int64_t expire_at_ms);
// Ok set; Exists (nothing changed); NoMemory.
DictStatus dict_set_string_ifabsent(Keyspace* ks, std::string_view key, std::string_view value,
                                    int64_t expire_at_ms);
// Ok set; Missing (nothing changed); NoMemory. No eviction.
DictStatus dict_set_string_ifexists(Keyspace* ks, std::string_view key, std::string_view value,
                                    int64_t expire_at_ms);
// Ok (view valid until the next change); Missing; WrongType. Counts a hit or a miss.
DictStatus dict_get_string(Keyspace* ks, std::string_view key, std::string_view* out);
// Read and replace (expiry kept): Ok replaced, *old holds the old value; Missing:
// the key was missing and is now created with the value; WrongType (unchanged);
// NoMemory.
DictStatus dict_get_string_replace(Keyspace* ks, std::string_view key, std::string_view value, std::string* old);
// Read and delete: Ok read and deleted; Missing; WrongType (left in place).
DictStatus dict_set_getdel(Keyspace* ks, std::string_view key, std::string* out);
// Ok with the new length; WrongType; NoMemory. Expiry kept, no eviction.
DictCount dict_append_string(Keyspace* ks, std::string_view key, std::string_view value);
// Ok with the length; Missing; WrongType.
DictCount dict_strlen(Keyspace* ks, std::string_view key);
// Ok (range copied into *out, possibly empty); Missing; WrongType.
DictStatus dict_getrange(Keyspace* ks, std::string_view key, int64_t start, int64_t end, std::string* out);
// Maximum length a range or bit write may produce.
constexpr uint64_t kMaxStringLength = uint64_t(1) << 29;
// Ok with the new length (0: nothing written, missing key and empty bytes);
// WrongType; NoMemory; OutOfRange (negative offset); TooLarge.
DictCount dict_setrange(Keyspace* ks, std::string_view key, int64_t offset, std::string_view bytes);
// Ok (*old_bit set); WrongType; OutOfRange (negative or too large offset); NoMemory.
DictStatus dict_setbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int value, int* old_bit);
// Ok (*bit set; 0 for a missing key); WrongType; OutOfRange (negative offset).
DictStatus dict_getbit(Keyspace* ks, std::string_view key, int64_t bit_offset, int* bit);
// Ok with the number of one bits (0 for a missing key); WrongType.
DictCount dict_bitcount(Keyspace* ks, std::string_view key, int64_t start, int64_t end, bool range_given,
                        bool bit_units);
// Ok with the position of the first matching bit, or -1 when there is none; WrongType.
DictCount dict_bitpos(Keyspace* ks, std::string_view key, int bit, int64_t start, int64_t end, bool start_given,
                      bool bit_units);
// Normalises an inclusive range over a value of len bytes; false when empty.
bool bitnorm_range(uint64_t len, int64_t start, int64_t end, bool bit_units, int64_t* first, int64_t* last);
extern const int popcount8[256];

// ---- Key enumeration and key-level operations (keys.cpp, glob.cpp) ----------

// Glob match over bytes: only '*' and '?' are special; anchored; case-sensitive.
bool dict_glob_match(std::string_view pattern, std::string_view text);
// Keys matching the pattern (empty = "*") in table order. The views point into the
// keyspace: valid only under the lock and until the next change.
void dict_keys(Keyspace* ks, std::string_view pattern, std::vector<std::string_view>* out);
// One page of a cursor scan over the buckets (scan_cursor.h): the keys of about
// count entries (<= 0 means 10) that match the pattern and, unless type is
// KEY_TYPE_NONE, hold that type. *cursor becomes the next cursor, 0 when the
// iteration is complete. A key present for the whole iteration is returned at
// least once, however keys come and go and the table grows; keys may repeat.
// The views point into the keyspace as for dict_keys. Ok; Invalid (a null
// cursor or output); NoMemory (no keys listed).
DictStatus dict_scan(Keyspace* ks, uint64_t* cursor, std::string_view pattern, int64_t count,
              std::vector<std::string_view>* out, uint32_t type = KEY_TYPE_NONE);
// Ok a key copied into *out, uniform over the live keys; Missing: empty
// keyspace; Invalid: no output; NoMemory: the key could not be copied.
DictStatus dict_randomkey(Keyspace* ks, std::string* out);
// Ok done; Exists: the new key exists and only_if_new is set; Missing: the old
// key is missing; Invalid: the new name is empty; NoMemory (both keys as they
// were). Onto itself: Ok, or Exists with only_if_new; key untouched.
DictStatus dict_rename(Keyspace* ks, std::string_view old_key, std::string_view new_key, bool only_if_new);
// Ok copied; Exists: the destination exists and replace is not set, or it is the
// source itself (left untouched, with or without replace); Missing source;
// Invalid: empty destination name; NoMemory (the destination as it was).
DictStatus dict_copy(Keyspace* ks, std::string_view src, std::string_view dst, bool replace);

// ---- Lists (lists.cpp) --------------------------------------------------------
// A list key always holds at least one element: the operation that removes the
// last one deletes the key, and nothing creates an empty list. Empty elements are
// elements: stored, found, counted and popped like any other. A negative position
// counts from the tail (-1 = the last element).

// Elements moved out of a list by a pop, in pop order; each blob owns its bytes
// ({nullptr, 0} for an empty element) until this is destroyed.
struct PoppedElements {
    std::vector<Blob> items;
    PoppedElements() = default;
    PoppedElements(const PoppedElements&) = delete;
    PoppedElements& operator=(const PoppedElements&) = delete;
    ~PoppedElements();
    size_t size() const { return items.size(); }
    std::string_view operator[](size_t i) const { return items[i].view(); }
};

// Ok with the length after the push; WrongType; NoMemory (nothing pushed, no key
// created); Invalid (empty key name). Runs eviction afterwards.
DictCount dict_lpush(Keyspace* ks, std::string_view key, std::string_view element);
DictCount dict_rpush(Keyspace* ks, std::string_view key, std::string_view element);
// As the pushes when the key holds a list; Missing (nothing pushed) when it is
// missing or holds another type.
DictCount dict_lpushx(Keyspace* ks, std::string_view key, std::string_view element);
DictCount dict_rpushx(Keyspace* ks, std::string_view key, std::string_view element);
// Ok with the length; Missing (0); WrongType.
DictCount dict_llen(Keyspace* ks, std::string_view key);
// Pop one element into *out: Ok popped; Missing; WrongType; NoMemory.
DictStatus dict_lpop(Keyspace* ks, std::string_view key, PoppedElements* out);
DictStatus dict_rpop(Keyspace* ks, std::string_view key, PoppedElements* out);
// Pop up to count elements (head first for lpop, tail first for rpop). Ok with
// the number popped (0 for count <= 0); Missing (0); WrongType; NoMemory.
DictCount dict_lpop_count(Keyspace* ks, std::string_view key, int64_t count, PoppedElements* out);
DictCount dict_rpop_count(Keyspace* ks, std::string_view key, int64_t count, PoppedElements* out);
// Views of positions start..stop inclusive, pointing into the keyspace: valid only
// under the lock and until the next change. Ok with the number of views; Missing
// (0); WrongType.
DictCount dict_lrange(Keyspace* ks, std::string_view key, int64_t start, int64_t stop,
                      std::vector<std::string_view>* out);
// Ok found (*out points into the keyspace, as for dict_lrange); Missing key;
// OutOfRange position; WrongType.
DictStatus dict_lindex(Keyspace* ks, std::string_view key, int64_t index, std::string_view* out);
// Ok done; Missing key; OutOfRange position; WrongType; NoMemory.
DictStatus dict_lset(Keyspace* ks, std::string_view key, int64_t index, std::string_view element);
// Removes matches: count > 0 the first count from the head, count < 0 the last
// |count| from the tail, 0 all. Ok with the number removed; Missing (0); WrongType.
DictCount dict_lrem(Keyspace* ks, std::string_view key, int64_t count, std::string_view element);
// Ok with the new length; Missing key (0); NotFound pivot; WrongType; NoMemory.
DictCount dict_linsert(Keyspace* ks, std::string_view key, bool before, std::string_view pivot,
                       std::string_view element);
struct LposQuery {
    int64_t rank = 1;          // non-zero; negative scans from the tail
    bool count_given = false;  // without COUNT only the first match is reported
    int64_t count = 0;         // matches to report; 0 = all
    int64_t maxlen = 0;        // elements to visit; 0 = all
};
// Positions (from the head) of the matches in scan order, after passing over the
// first |rank| - 1 matches. Ok (possibly none found); Missing key (none); WrongType.
DictStatus dict_lpos(Keyspace* ks, std::string_view key, std::string_view element, const LposQuery& q,
                     std::vector<int64_t>* out);
// Pops up to count (below 1 taken as 1) elements from the first of the keys that
// holds a list, passing over missing keys and keys of other types. Ok with the
// index of that key; Missing: none had elements; NoMemory.
DictCount dict_lmpop(Keyspace* ks, const std::string_view* keys, size_t key_count, bool from_head, int64_t count,
                     PoppedElements* out);

// ---- Sorted sets (zsets.cpp) --------------------------------------------------
// Members are unique byte strings (the empty member included), ordered by score,
// then by member bytes. Ranks are 0-based positions in that order. Every removal
// that empties a set deletes its key; no operation leaves an empty set behind.
// Functions other than dict_zadd and dict_zincrby treat a key of another type as
// a missing set (Missing): the command layer decides the WRONGTYPE reply.

enum ZaddFlag : uint32_t {
    ZADD_NX = 1,
    ZADD_XX = 2,
    ZADD_GT = 4,
    ZADD_LT = 8,
    ZADD_CH = 16,
    ZADD_INCR = 32,  // the others are ignored when it is set
};

// A score interval; either bound may be infinite.
struct ZScoreRange {
    double min;
    double max;
    bool min_exclusive = false;
    bool max_exclusive = false;
    bool below(double s) const { return min > s || (min_exclusive && s == min); }
    bool above(double s) const { return s > max || (max_exclusive && s == max); }
    bool contains(double s) const { return !below(s) && !above(s); }
};

// A member borrowed from the keyspace: valid under the lock until the next change.
struct ZMember {
    std::string_view member;
    double score;
};
// A member copied or handed out of the keyspace.
struct ZOwned {
    std::string member;
    double score;
};

// A lexicographic bound: below every member, above every member, or member
// bytes (compared as unsigned bytes), inclusive or exclusive.
struct ZLexBound {
    enum Kind : uint8_t { kMinusInf, kPlusInf, kValue } kind = kMinusInf;
    std::string_view value;
    bool exclusive = false;
};

// Adds or updates one member. Ok with 1 or 0 as counted by ZADD (new members;
// with CH also updated ones; with INCR always 1 and *out_score = the new score,
// otherwise 1.0 when the member was written, else 0); WrongType; Invalid (empty
// key name); NoMemory. *changed tells whether the keyspace changed. A call that
// writes nothing creates no key. Runs eviction after inserting a new member.
DictCount dict_zadd(Keyspace* ks, std::string_view key, uint32_t flags, double score, std::string_view member,
                    double* out_score = nullptr, bool* changed = nullptr);
// Ok and the new score; WrongType; Invalid; NoMemory.
DictStatus dict_zincrby(Keyspace* ks, std::string_view key, double increment, std::string_view member,
                        double* out_score);
// Ok with the members removed (each counted once); Missing (0).
DictCount dict_zrem(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members);
// Ok and the score; Missing key or member (score 0).
DictStatus dict_zscore(Keyspace* ks, std::string_view key, std::string_view member, double* out_score);
// Ok with the size; Missing (0).
DictCount dict_zcard(Keyspace* ks, std::string_view key);
// Ok with the rank (from the highest member with reverse) and score; Missing key or member.
DictStatus dict_zrank(Keyspace* ks, std::string_view key, std::string_view member, bool reverse, int64_t* rank,
                      double* score);
// Ranks start..stop (negative counts from the end), borrowed. Ok with the
// count; Missing (0); Invalid (null output).
DictCount dict_zrange(Keyspace* ks, std::string_view key, int64_t start, int64_t stop, bool reverse,
                      std::vector<ZMember>* out);
// Members inside the range, lowest first (highest with reverse), then offset and
// limit (limit <= 0: all after offset), borrowed. As dict_zrange.
DictCount dict_zrangebyscore(Keyspace* ks, std::string_view key, const ZScoreRange& range, bool reverse,
                             int64_t offset, int64_t limit, std::vector<ZMember>* out);
// Ok with the number of members inside the range; Missing (0).
DictCount dict_zcount(Keyspace* ks, std::string_view key, const ZScoreRange& range);
// The ranks [*lo, *hi) of the members from min to max by their bytes (*hi >= *lo;
// both 0 for a missing key), for a set whose members share one score, as
// lexicographic ranges assume. O(log n): a descent of the index per bound.
void dict_zlexranks(Keyspace* ks, std::string_view key, const ZLexBound& min, const ZLexBound& max, int64_t* lo,
                    int64_t* hi);
// One page of a cursor scan over the member table, as dict_hscan: about count
// members (<= 0 meaning 10) with their scores; a member present for the whole
// iteration is returned at least once, whatever is added, removed or rescored
// meanwhile. Borrowed. Ok (also for a missing key); Invalid (null output).
DictStatus dict_zscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<ZMember>* out);
// Removes up to count lowest members (highest with from_top) and hands them out in
// pop order. Ok with the number popped; Missing (0); Invalid (null output).
DictCount dict_zpop(Keyspace* ks, std::string_view key, int64_t count, bool from_top, std::vector<ZOwned>* out);
// Ok with the members removed; Missing (0).
DictCount dict_zremrangebyscore(Keyspace* ks, std::string_view key, const ZScoreRange& range);
DictCount dict_zremrangebyrank(Keyspace* ks, std::string_view key, int64_t start, int64_t stop);
// count < 0: -count independent picks (repeats possible); count > 0: min(count,
// size) distinct members in random order. Copies with scores. Ok with the
// number; Missing (0); Invalid (null output).
DictCount dict_zrandmember(Keyspace* ks, std::string_view key, int64_t count, std::vector<ZOwned>* out);
// One entry per member: found (true, score) or not (false, 0).
void dict_zmscore(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members,
                  std::vector<std::pair<bool, double>>* out);

// ---- Sorted-set algebra (zset_algebra.cpp) ----------------------------------

enum class ZAggregate : uint8_t { kSum, kMin, kMax };

// Union, intersection, or the first set less the others, of the sets at keys:
// sorted sets, plain sets (every member scored 1) or missing keys (empty). Union
// and intersection multiply each input's scores by its weight (one per key) and
// combine a member's scores with the aggregate; a difference keeps the first
// set's scores. A NaN (inf - inf, inf * 0) becomes 0.
struct ZAlgebra {
    enum Op : uint8_t { kUnion, kInter, kDiff } op = kUnion;
    std::vector<std::string_view> keys;
    std::vector<double> weights;
    ZAggregate aggregate = ZAggregate::kSum;
};
// The result copied out in member order: Ok, or WrongType when a key holds
// another type (nothing is computed). Linear in the inputs, plus sorting the result.
DictStatus dict_zalgebra(Keyspace* ks, const ZAlgebra& req, std::vector<ZOwned>* out);
// Replaces dst by the members (deletes it when there are none). Ok with the
// count stored; the failed add's status when one fails part way (NoMemory, or
// Invalid for an empty destination name).
DictCount dict_zstore_members(Keyspace* ks, std::string_view dst, const std::vector<ZOwned>& members);

// ---- Hashes (hashes.cpp) ------------------------------------------------------
// Field/value pairs in insertion order; overwriting keeps a field's place and a
// deletion keeps the order of the rest. The empty string is a field and a value
// like any other. WrongType: the key holds another type; NoMemory: allocation
// failure (nothing changed). A missing key reads as Missing with a count of 0.
// Views point into the keyspace: valid under the lock until the next change.
// Reads that build vectors may throw std::bad_alloc, leaving the keyspace unchanged.

// Ok with 1 (new field) or 0 (existing field overwritten). Runs eviction when memory grew.
DictCount dict_hset(Keyspace* ks, std::string_view key, std::string_view field, std::string_view value);
// Ok found (*value set); Missing key or field; WrongType.
DictStatus dict_hget(Keyspace* ks, std::string_view key, std::string_view field, std::string_view* value);
// Ok with the fields removed (a name given twice counts once); deletes the key when emptied.
DictCount dict_hdel(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& fields);
DictCount dict_hlen(Keyspace* ks, std::string_view key);
// Ok when the key is a hash holding the field; Missing key or field; WrongType.
DictStatus dict_hexists(Keyspace* ks, std::string_view key, std::string_view field);
// Ok with the length of the field's value (0 when the field is missing).
DictCount dict_hstrlen(Keyspace* ks, std::string_view key, std::string_view field);
// Ok with the number of records: field, value, ... / the fields / the values, in pair order.
DictCount dict_hgetall(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out);
DictCount dict_hkeys(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out);
DictCount dict_hvals(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out);
// Random pairs, as dict_srandmember picks members: count < 0 |count| independent
// picks, otherwise min(count, size) distinct fields. Records field, value, ...;
// Ok with the number of pairs.
DictCount dict_hrandfield(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string_view>* out);
// The stored value read as a decimal prefix (blanks, sign, digits up to the first
// other byte; none reads 0; saturating at the 64-bit range) plus the increment,
// stored as decimal text. Ok (*out = the sum); Overflow: the sum overflows
// (nothing changed); WrongType; NoMemory.
DictStatus dict_hincrby(Keyspace* ks, std::string_view key, std::string_view field, int64_t increment, int64_t* out);
// As above with a floating-point prefix, stored with 17 significant digits.
// Overflow: the sum is not finite (nothing stored; *out holds it).
DictStatus dict_hincrbyfloat(Keyspace* ks, std::string_view key, std::string_view field, double increment,
                             double* out);
// One page of a cursor scan (scan_cursor.h): the pairs of about count fields
// (<= 0 means 10) as field, value, ...; *cursor becomes the next cursor, 0 at the
// end (also for a missing key). A field present for a whole iteration is
// returned at least once, whatever is added or removed meanwhile; a small hash
// is one page. Ok; WrongType.
DictStatus dict_hscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<std::string_view>* out);

// ---- Sets (sets.cpp) ------------------------------------------------------------
// Distinct members in insertion order (the empty string included); removal keeps
// the order of the rest. WrongType: the key holds another type; NoMemory:
// allocation failure. A missing key reads as Missing with a count of 0. Views
// are borrowed under the lock.

enum SetOp { SET_OP_DIFF = 0, SET_OP_INTER = 1, SET_OP_UNION = 2 };

// Ok with the members newly added; WrongType; NoMemory, with *processed telling
// how many of the given members were handled (added or already present) before
// the failure.
DictCount dict_sadd(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members,
                    size_t* processed = nullptr);
// Ok with the members removed; deletes the key when emptied. Missing (0); WrongType.
DictCount dict_srem(Keyspace* ks, std::string_view key, const std::vector<std::string_view>& members);
// Ok with the size; Missing (0); WrongType.
DictCount dict_scard(Keyspace* ks, std::string_view key);
// Ok a member; Missing key or member; WrongType.
DictStatus dict_sismember(Keyspace* ks, std::string_view key, std::string_view member);
// Ok moved (also when the destination already held the member: it is then only
// removed from the source; onto itself: Ok when the member is there, nothing
// changes); Missing source or member; WrongType: source or destination holds
// another type (nothing changes); NoMemory.
DictStatus dict_smove(Keyspace* ks, std::string_view src, std::string_view dst, std::string_view member);
// Ok with the number of members listed in set order; Missing (0); WrongType.
DictCount dict_smembers(Keyspace* ks, std::string_view key, std::vector<std::string_view>* out);
// count 1: one random member. count < 0: |count| independent picks (repeats
// possible). Otherwise min(count, size) distinct members by a partial
// Fisher–Yates shuffle. Ok with the number of records; Missing (0); WrongType.
DictCount dict_srandmember(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string_view>* out);
// Difference / intersection of the first set with the others, in the first
// set's order (missing keys and keys of another type count as empty sets), and
// the union in order of first appearance. Linear in the sizes of the inputs.
// Always Ok, with the number of members.
DictCount dict_sdiff(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out);
DictCount dict_sinter(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out);
DictCount dict_sunion(Keyspace* ks, const std::vector<std::string_view>& keys, std::vector<std::string_view>* out);
// Stores the result of op over keys under dst (which may be one of them),
// replacing whatever dst held; an empty result deletes dst. Ok with the size
// stored; NoMemory.
DictCount dict_sstore(Keyspace* ks, std::string_view dst, SetOp op, const std::vector<std::string_view>& keys);
// A cursor scan, as dict_hscan, over members. Ok (also for a missing key); WrongType.
DictStatus dict_sscan(Keyspace* ks, std::string_view key, uint64_t* cursor, int64_t count,
                      std::vector<std::string_view>* out);
// Removes min(count, size) distinct random members and hands them over in the
// order drawn; count <= 0 pops nothing. Ok with the number popped; Missing (0);
// WrongType; NoMemory (nothing removed).
DictCount dict_spop(Keyspace* ks, std::string_view key, int64_t count, std::vector<std::string>* out);
// Ok with the size of the intersection, capped at limit when limit > 0;
// WrongType when any key holds another type.
DictCount dict_sintercard(Keyspace* ks, const std::vector<std::string_view>& keys, int64_t limit);
