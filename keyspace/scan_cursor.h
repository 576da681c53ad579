// scan_cursor.h — the cursor every scan uses over a power-of-two hash table (the
// keyspace's chains, the open-addressing tables of hashes, sets and sorted sets).
//
// The cursor is a bucket index walked in reverse-binary order: the high bit of
// the index is incremented first. Whatever the table size, the buckets already
// visited are then exactly those whose hashes, read with their low bits
// reversed, sort below the cursor reversed. Growing the table keeps that set the
// same and shrinking it only shrinks it, so an element present throughout an
// iteration is returned at least once however the table is resized in between,
// while inserts and deletes elsewhere move nothing that was not yet visited.
// Duplicates are possible after a shrink; every iteration ends, after visiting
// each bucket of the largest size once.
#pragma once

#include <cstdint>

namespace vorel {

inline uint64_t reverse_bits(uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return __builtin_bswap64(v);
}

// The cursor after the bucket (cursor & mask): the next bucket in reverse-binary
// order, or 0 once every bucket was visited.
inline uint64_t next_scan_cursor(uint64_t cursor, uint64_t mask) {
    cursor |= ~mask;
    cursor = reverse_bits(cursor);
    ++cursor;
    return reverse_bits(cursor);
}

// Visits the buckets of a table of `size` buckets (a power of two) from the
// cursor on: visit(bucket) returns how many elements that bucket held. Stops
// after the bucket that brings the elements to `want`, after `max_buckets`
// buckets, or at the end of the iteration. Returns the next cursor, 0 at the end.
template <class Visit>
uint64_t scan_buckets(uint64_t cursor, uint64_t size, uint64_t want, uint64_t max_buckets, Visit&& visit) {
    const uint64_t mask = size - 1;
    uint64_t produced = 0;
    uint64_t visited = 0;
    do {
        produced += visit(cursor & mask);
        cursor = next_scan_cursor(cursor, mask);
        ++visited;
    } while (cursor != 0 && produced < want && visited < max_buckets);
    return cursor;
}

// Buckets a page may visit for `want` elements: empty buckets of a sparse table
// end a page early rather than making one call walk all of them.
inline uint64_t scan_bucket_budget(uint64_t want) { return want > UINT64_MAX / 10 ? UINT64_MAX : want * 10; }

}  // namespace vorel
