// entry_slab.cpp — the pages behind EntrySlab: runs of aligned pages from the
// system, slots cut on first use, freed slots on a per-page list, empty pages
// shared by every slot size, and runs returned once all their pages are empty.
// A run is one large page wide and aligned to it: from a keyspace's second run
// on, runs are backed by large pages where the system has them, so a lookup in
// a big keyspace rarely misses the address-translation caches. The first run
// stays in ordinary pages, touched one page at a time, so a small keyspace
// stays small.
#include "keyspace/entry_slab.h"

#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define VOREL_SLAB_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOREL_SLAB_POISON 1
#endif
#endif

#ifdef VOREL_SLAB_POISON
#include <sanitizer/asan_interface.h>
// Free and never-used slots are poisoned, so a stale entry pointer is caught
// as it would be with one heap block per entry.
#define SLAB_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define SLAB_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define SLAB_POISON(p, n) ((void)(p), (void)(n))
#define SLAB_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

// A run's bookkeeping, kept apart from its pages: kRunPages pages mapped from
// the system in one stretch aligned to its whole size.
struct EntrySlab::Run {
    Run* prev;
    Run* next;
    char* first_page;
    uint32_t cut;        // pages handed out at least once; those past it are untouched
    uint32_t in_use;     // pages holding a slot size
};

// A page starts with this header; its slots follow. A page with a free slot
// is in its size's partial list; an empty one is in the free-page list.
struct EntrySlab::Page {
    Page* prev;
    Page* next;
    Run* run;
    void* free_slots;  // freed slots, linked through their first 8 bytes
    uint32_t slot;     // slot bytes
    uint32_t capacity; // slots in the page
    uint32_t live;     // slots handed out
    uint32_t carved;   // slots handed out at least once; those past it are untouched

    static constexpr size_t kHeaderBytes = 48;
    char* slots() { return reinterpret_cast<char*>(this) + kHeaderBytes; }
};

namespace {

using Page = EntrySlab::Page;
using Run = EntrySlab::Run;
static_assert(sizeof(Page) <= Page::kHeaderBytes && Page::kHeaderBytes % 8 == 0, "the header fits before the first slot");

Page* page_of(void* slot) {
    return reinterpret_cast<Page*>(reinterpret_cast<uintptr_t>(slot) & ~uintptr_t{EntrySlab::kPageBytes - 1});
}

size_t class_of(size_t slot) { return (slot - EntrySlab::kMinSlotBytes) / EntrySlab::kStep; }

template <class T>
void push(T*& head, T* x) {
    x->prev = nullptr;
    x->next = head;
    if (head) head->prev = x;
    head = x;
}

template <class T>
void unlink(T*& head, T* x) {
    if (x->prev)
        x->prev->next = x->next;
    else
        head = x->next;
    if (x->next) x->next->prev = x->prev;
    x->prev = x->next = nullptr;
}

}  // namespace

EntrySlab::~EntrySlab() {
    while (runs_) {
        Run* next = runs_->next;
        free_run(runs_);
        runs_ = next;
    }
}

void EntrySlab::free_run(Run* run) {
    SLAB_UNPOISON(run->first_page, kRunBytes);
    platform::unmap_pages(run->first_page, kRunBytes);
    pages_cut_ -= run->cut;
    free(run);
    --run_count_;
}

// An empty page from the free list, else the next untouched page of the
// newest run, else the first page of a new run; set up for `slot`.
EntrySlab::Page* EntrySlab::take_page(size_t slot) {
    Page* p = free_pages_;
    if (p) {
        unlink(free_pages_, p);
    } else {
        if (!fresh_ || fresh_->cut == kRunPages) {
            Run* run = static_cast<Run*>(malloc(sizeof(Run)));
            void* pages = run ? platform::map_pages(kRunBytes, kRunBytes) : nullptr;
            if (!pages) {
                free(run);
                return nullptr;
            }
            if (run_count_ > 0) platform::advise_large_pages(pages, kRunBytes);
            run->first_page = static_cast<char*>(pages);
            run->cut = 0;
            run->in_use = 0;
            SLAB_POISON(run->first_page, kRunBytes);
            push(runs_, run);
            ++run_count_;
            fresh_ = run;
        }
        p = reinterpret_cast<Page*>(fresh_->first_page + static_cast<size_t>(fresh_->cut) * kPageBytes);
        ++fresh_->cut;
        ++pages_cut_;
        SLAB_UNPOISON(p, Page::kHeaderBytes);
        p->prev = p->next = nullptr;
        p->run = fresh_;
    }
    if (p->run->in_use++ == 0 && p->run == spare_) spare_ = nullptr;
    p->free_slots = nullptr;
    p->slot = static_cast<uint32_t>(slot);
    p->capacity = static_cast<uint32_t>((kPageBytes - Page::kHeaderBytes) / slot);
    p->live = 0;
    p->carved = 0;
    return p;
}

// A page that has just become empty goes to the free list; a run with no page
// in use is kept as the spare, or returned to the system when there is one.
void EntrySlab::return_page(Page* p) {
    SLAB_POISON(p->slots(), kPageBytes - Page::kHeaderBytes);
    push(free_pages_, p);
    Run* run = p->run;
    if (--run->in_use > 0) return;
    if (!spare_) {
        spare_ = run;
        return;
    }
    for (uint32_t i = 0; i < run->cut; ++i)
        unlink(free_pages_, reinterpret_cast<Page*>(run->first_page + static_cast<size_t>(i) * kPageBytes));
    if (fresh_ == run) fresh_ = nullptr;
    unlink(runs_, run);
    free_run(run);
}

void* EntrySlab::allocate(size_t bytes) {
    const size_t slot = slot_bytes(bytes);
    Page*& partial = partial_[class_of(slot)];
    Page* p = partial;
    if (!p) {
        if (!(p = take_page(slot))) return nullptr;
        push(partial, p);
    }
    char* s;
    if (p->free_slots) {
        s = static_cast<char*>(p->free_slots);
        SLAB_UNPOISON(s, slot);
        void* next;
        memcpy(&next, s, sizeof next);
        p->free_slots = next;
    } else {
        s = p->slots() + static_cast<size_t>(p->carved) * slot;
        ++p->carved;
        SLAB_UNPOISON(s, slot);
    }
    if (++p->live == p->capacity) unlink(partial, p);
    return s;
}

void EntrySlab::release(void* slot_memory, size_t bytes) {
    if (!slot_memory) return;
    const size_t slot = slot_bytes(bytes);
    Page*& partial = partial_[class_of(slot)];
    Page* p = page_of(slot_memory);
    if (p->live-- == p->capacity) push(partial, p);
    if (p->live == 0) {
        unlink(partial, p);
        return_page(p);
        return;
    }
    memcpy(slot_memory, &p->free_slots, sizeof p->free_slots);
    p->free_slots = slot_memory;
    SLAB_POISON(slot_memory, slot);
}
