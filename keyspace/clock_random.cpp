// clock_random.cpp — the keyspace's clock (wall-clock ms, replaceable by tests)
// and the 64-bit pseudo-random generator behind random key and member picks;
// both keep their state in the Keyspace.
#include "keyspace/keyspace.h"

#include "platform/platform.h"

namespace {

// Seeds the xoshiro256** state: any 64-bit seed gives a good state.
uint64_t splitmix64(uint64_t* x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

int64_t dict_read_clock(const Keyspace* ks) {
    if (ks && ks->clock) return ks->clock();
    return ks && ks->held_clock_ms != 0 ? ks->held_clock_ms : platform::current_time_ms();
}

void dict_set_clock(Keyspace* ks, int64_t (*clock)()) { ks->clock = clock; }

void dict_hold_clock(Keyspace* ks, int64_t now_ms) {
    if (ks) ks->held_clock_ms = now_ms;
}

void dict_seed_random(Keyspace* ks, uint64_t seed) {
    for (uint64_t& word : ks->random_state) word = splitmix64(&seed);
    ks->random_seeded = true;
}

uint64_t dict_random_u64(Keyspace* ks) {
    // A generator used before any seeding still works, just with a fixed sequence.
    if (!ks->random_seeded) dict_seed_random(ks, 0);
    uint64_t* s = ks->random_state;
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

uint64_t dict_random_below(Keyspace* ks, uint64_t bound) {
    if (bound == 0) return 0;
    // Reject the low values that would make some residues one draw more likely:
    // 2^64 mod bound of them, so every residue keeps the same number of draws.
    const uint64_t threshold = (0 - bound) % bound;
    for (;;) {
        const uint64_t r = dict_random_u64(ks);
        if (r >= threshold) return r % bound;
    }
}
