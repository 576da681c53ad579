// failing_allocator.h — replaces operator new for the test program that includes
// it (from exactly one file) with one that can be told to fail the n-th
// allocation of the calling thread from now.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

// Allocations left before the one that fails; negative: none fails. Only the
// thread that arms it counts.
thread_local int64_t t_allocations_before_failure = -1;

struct FailAllocation {
    explicit FailAllocation(int64_t after) { t_allocations_before_failure = after; }
    ~FailAllocation() { t_allocations_before_failure = -1; }
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;
};

}  // namespace

// Every non-aligned form is replaced, so that whatever a sanitizer runtime
// would supply never meets these in an allocation/deallocation pair. They pair
// malloc with free; the compiler, seeing new-expressions of this file inlined
// next to a delete that calls free, cannot tell.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

void* allocate(std::size_t n) {
    if (t_allocations_before_failure >= 0 && t_allocations_before_failure-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t n) noexcept {
    try {
        return allocate(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
