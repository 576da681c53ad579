// unit_entry_slab_test.cpp — the entry slab's slots: apart from each other and
// intact while neighbours come and go, pages shared between sizes, and runs
// given back once every page in them is empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "keyspace/entry_slab.h"

namespace {

struct Held {
    unsigned char* at;
    size_t bytes;
    unsigned char mark;
};

void fill(EntrySlab& slab, std::vector<Held>& held, size_t bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto* at = static_cast<unsigned char*>(slab.allocate(bytes));
        ASSERT_NE(at, nullptr);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(at) % 8, 0u) << "entries hold pointers";
        const auto mark = static_cast<unsigned char>(held.size() * 7 + 1);
        memset(at, mark, bytes);
        held.push_back({at, bytes, mark});
    }
}

void expect_intact_and_apart(std::vector<Held> held) {
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.at < b.at; });
    for (size_t i = 0; i < held.size(); ++i) {
        const Held& h = held[i];
        ASSERT_TRUE(std::all_of(h.at, h.at + h.bytes, [&](unsigned char c) { return c == h.mark; })) << "slot " << i;
        if (i + 1 < held.size()) {
            ASSERT_LE(h.at + EntrySlab::slot_bytes(h.bytes), held[i + 1].at);
        }
    }
}

TEST(EntrySlab, SlotsStayApartAndRunsGoBackOnceEmpty) {
    EntrySlab slab;
    std::vector<Held> held;
    std::mt19937 rng(7);
    // Several runs' worth of mixed sizes, the smallest and largest included.
    for (size_t bytes : {size_t{1}, size_t{33}, size_t{136}, size_t{200}, EntrySlab::kMaxSlotBytes}) fill(slab, held, bytes, 9000);
    const size_t runs = slab.run_count();
    ASSERT_GT(runs, 3u);
    expect_intact_and_apart(held);

    // Freeing scattered slots (each freed slot links the page's free list
    // through its bytes) leaves the others as written; the holes are reused.
    std::shuffle(held.begin(), held.end(), rng);
    for (size_t i = held.size() / 2; i < held.size(); ++i) slab.release(held[i].at, held[i].bytes);
    held.resize(held.size() / 2);
    expect_intact_and_apart(held);
    fill(slab, held, 136, 9000);
    expect_intact_and_apart(held);

    // Everything freed: one empty run is kept, the rest went back to the system.
    for (const Held& h : held) slab.release(h.at, h.bytes);
    held.clear();
    EXPECT_EQ(slab.run_count(), 1u);
    // Its pages serve any size without another run.
    fill(slab, held, 48, 6000);
    fill(slab, held, 400, 300);
    EXPECT_EQ(slab.run_count(), 1u);
    expect_intact_and_apart(held);
    for (const Held& h : held) slab.release(h.at, h.bytes);
    EXPECT_EQ(slab.run_count(), 1u);
}

}  // namespace
