// ticks.h — a cheap monotonic tick counter for timing short stretches of work on
// the worker thread, and its rate against the steady clock, measured once per process.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <x86intrin.h>
#endif
#endif

namespace platform {

// On x86-64 the processor's time-stamp counter: one instruction to read, and at a
// constant rate on every x86-64 processor of the last fifteen years. Elsewhere
// nanoseconds of the steady clock. Only differences of two readings on the same
// thread mean anything.
inline uint64_t ticks() {
#if defined(__x86_64__) || defined(_M_X64)
    return __rdtsc();
#else
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
#endif
}

// Ticks per nanosecond. The first call measures it against the steady clock
// (about 10 ms); later calls return the same figure.
double ticks_per_ns();

inline uint64_t ticks_to_ns(uint64_t t) { return static_cast<uint64_t>(static_cast<double>(t) / ticks_per_ns()); }
// Saturates at the largest tick count.
inline uint64_t ns_to_ticks(uint64_t ns) {
    const double t = static_cast<double>(ns) * ticks_per_ns();
    return t >= 18446744073709549568.0 ? UINT64_MAX : static_cast<uint64_t>(t);
}

}  // namespace platform
