// ticks.cpp — the rate of platform::ticks(), measured once per process against
// the steady clock over a short sleep.
#include "platform/ticks.h"

#include <cmath>

#include "platform/platform.h"

namespace platform {
namespace {

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A tick reading and a steady-clock reading taken as close together as the
// best of a few tries allows: the clock read bracketed by two tick reads.
struct Pair {
    uint64_t ticks;
    int64_t ns;
};
Pair read_pair() {
    Pair best{0, 0};
    uint64_t best_gap = UINT64_MAX;
    for (int i = 0; i < 5; ++i) {
        const uint64_t before = ticks();
        const int64_t ns = steady_ns();
        const uint64_t after = ticks();
        if (after >= before && after - before < best_gap) {
            best_gap = after - before;
            best = Pair{before + (after - before) / 2, ns};
        }
    }
    return best;
}

double measure_rate() {
#if defined(__x86_64__) || defined(_M_X64)
    const Pair first = read_pair();
    sleep_ms(10);
    const Pair second = read_pair();
    const double rate = static_cast<double>(second.ticks - first.ticks) / static_cast<double>(second.ns - first.ns);
    // A clock that did not move cannot be measured; one tick per nanosecond
    // keeps every figure finite.
    return std::isfinite(rate) && rate > 0 ? rate : 1.0;
#else
    return 1.0;  // the ticks are steady-clock nanoseconds
#endif
}

}  // namespace

double ticks_per_ns() {
    static const double rate = measure_rate();
    return rate;
}

}  // namespace platform
