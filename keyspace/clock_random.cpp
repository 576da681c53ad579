// clock_random.cpp — the keyspace's clock (wall-clock ms, replaceable by tests)
// and the 64-bit pseudo-random generator behind random key and member picks.
#include "keyspace/keyspace.h"

#include "platform/platform.h"

namespace {

int64_t (*s_clock)() = nullptr;

// xoshiro256** state; seeded from splitmix64 so any 64-bit seed gives a good state.
uint64_t s_random_state[4];
bool s_random_seeded = false;

uint64_t splitmix64(uint64_t* x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

// A reading the caller holds for a short run of operations (0 = none).
int64_t s_held_ms = 0;

int64_t dict_now_ms() {
    if (s_clock) return s_clock();
    return s_held_ms != 0 ? s_held_ms : platform::current_time_ms();
}

void dict_set_clock(int64_t (*clock)()) { s_clock = clock; }

void dict_hold_clock(int64_t now_ms) { s_held_ms = now_ms; }

void dict_seed_random(uint64_t seed) {
    for (uint64_t& word : s_random_state) word = splitmix64(&seed);
    s_random_seeded = true;
}

uint64_t dict_random_u64() {
    // A generator used before any seeding still works, just with a fixed sequence.
    if (!s_random_seeded) dict_seed_random(0);
    uint64_t* s = s_random_state;
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

uint64_t dict_random_below(uint64_t bound) {
    if (bound == 0) return 0;
    // Reject the low values that would make some residues one draw more likely:
    // 2^64 mod bound of them, so every residue keeps the same number of draws.
    const uint64_t threshold = (0 - bound) % bound;
    for (;;) {
        const uint64_t r = dict_random_u64();
        if (r >= threshold) return r % bound;
    }
}
