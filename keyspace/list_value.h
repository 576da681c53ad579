// list_value.h — the payload of a list key: a ring of element blobs. The ring's
// size is the list's charged capacity, so pushes and pops at either end are O(1)
// and every position is addressed directly.
#pragma once

#include <cstdint>
#include <vector>

#include "keyspace/keyspace.h"

struct ListValue {
    std::vector<Blob> ring;  // size = capacity; slots not in use are {nullptr, 0}
    uint64_t head = 0;       // ring slot of position 0
    uint64_t count = 0;      // elements in use

    uint64_t capacity() const { return ring.size(); }
    // Ring slot of a position (pos <= capacity; head < capacity).
    uint64_t slot(uint64_t pos) const {
        const uint64_t s = head + pos;
        return s >= ring.size() ? s - ring.size() : s;
    }
    Blob& at(uint64_t pos) { return ring[slot(pos)]; }
    const Blob& at(uint64_t pos) const { return ring[slot(pos)]; }
};
