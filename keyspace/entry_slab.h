// entry_slab.h — exact-fit slots for entry blocks: blocks of up to kMaxSlotBytes
// are cut from 32 KiB pages of one slot size each (8-byte steps), so an entry
// costs its size rounded to 8 rather than a general allocator's header and 16-byte step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class EntrySlab {
public:
    static constexpr size_t kPageBytes = 32 * 1024;
    static constexpr size_t kRunPages = 64;  // pages are mapped from the system 2 MiB at a time
    static constexpr size_t kRunBytes = kRunPages * kPageBytes;
    static constexpr size_t kStep = 8;
    static constexpr size_t kMinSlotBytes = 32;
    static constexpr size_t kMaxSlotBytes = 512;

    // The slot a block of `bytes` takes; blocks above kMaxSlotBytes are not slotted.
    static constexpr size_t slot_bytes(size_t bytes) {
        const size_t rounded = (bytes + kStep - 1) & ~(kStep - 1);
        return rounded < kMinSlotBytes ? kMinSlotBytes : rounded;
    }
    static constexpr bool slotted(size_t bytes) { return bytes <= kMaxSlotBytes; }

    EntrySlab() = default;
    EntrySlab(const EntrySlab&) = delete;
    EntrySlab& operator=(const EntrySlab&) = delete;
    ~EntrySlab();

    // A slot for a block of `bytes` (slotted(bytes) must hold); nullptr when the
    // system has no room for another run of pages.
    void* allocate(size_t bytes);
    // Gives back a slot allocate(bytes) returned, with the same bytes.
    void release(void* slot, size_t bytes);
    // Runs of pages held from the system, an empty one kept back included.
    size_t run_count() const { return run_count_; }
    // Bytes of the pages handed out at least once, of every run held: what the
    // slab has written to, apart from its runs' bookkeeping.
    size_t page_bytes() const { return pages_cut_ * kPageBytes; }

    struct Page;  // defined in entry_slab.cpp
    struct Run;

private:
    static constexpr size_t kClasses = (kMaxSlotBytes - kMinSlotBytes) / kStep + 1;

    Page* take_page(size_t slot);
    void return_page(Page* page);
    void free_run(Run* run);

    // Per slot size, the pages that have a free slot (full pages are in no list).
    std::array<Page*, kClasses> partial_{};
    Page* free_pages_ = nullptr;  // empty pages of runs still in use, any size
    Run* runs_ = nullptr;         // every run
    Run* fresh_ = nullptr;        // the run whose pages past `cut` were never used
    // One run whose pages are all empty is kept, so that a key made and removed
    // in turn at a run's edge does not take and return a run each time.
    Run* spare_ = nullptr;
    size_t run_count_ = 0;
    size_t pages_cut_ = 0;
};
