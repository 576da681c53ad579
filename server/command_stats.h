// command_stats.h — what the server records about the commands it runs: per
// command calls, time, refusals, failures and a latency histogram, and the slow log.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Durations in nanoseconds, four buckets per power of two from 64 ns on (each
// bucket spans an eighth to a quarter of its lower bound), everything below
// 64 ns in the first bucket and everything past about two minutes in the last.
class LatencyHistogram {
public:
    static constexpr size_t kBuckets = 128;
    static constexpr int kFirstExponent = 6;  // 64 ns

    static size_t bucket_of(uint64_t ns) {
        if (ns < (uint64_t(1) << kFirstExponent)) return 0;
        const int exponent = std::bit_width(ns) - 1;
        const uint64_t sub = (ns >> (exponent - 2)) & 3;
        const size_t b = 1 + static_cast<size_t>(exponent - kFirstExponent) * 4 + sub;
        return b < kBuckets ? b : kBuckets - 1;
    }
    // The exclusive upper bound of a bucket, in nanoseconds.
    static uint64_t bucket_upper_ns(size_t b) {
        if (b == 0) return uint64_t(1) << kFirstExponent;
        const int exponent = kFirstExponent + static_cast<int>((b - 1) / 4);
        return (5 + (b - 1) % 4) << (exponent - 2);
    }

    void add(uint64_t ns) { counts_[bucket_of(ns)] += 1; }
    // The upper bound of the bucket holding the given percentile (0 < p <= 100)
    // of the recorded durations, in nanoseconds; 0 when nothing is recorded.
    uint64_t percentile_ns(double p) const;
    void clear() { counts_.fill(0); }

private:
    std::array<uint64_t, kBuckets> counts_{};
};

// One command's figures since start or the last CONFIG RESETSTAT.
struct CommandStats {
    uint64_t calls = 0;           // handler runs
    uint64_t ns = 0;              // their total time
    uint64_t rejected_calls = 0;  // refused before running: authentication, a gate, the log, arity
    uint64_t failed_calls = 0;    // ran and answered an error
    LatencyHistogram latency;
};

struct SlowLogEntry {
    uint64_t id = 0;
    int64_t unix_time_s = 0;
    uint64_t duration_us = 0;
    std::vector<std::string> args;  // long arguments and long lists shortened
    std::string client_addr;
    std::string client_name;
};

// The most recent commands that ran for at least the configured time, newest first.
struct SlowLog {
    static constexpr int64_t kDefaultSlowerThanUs = 10000;
    static constexpr size_t kDefaultMaxLen = 128;
    static constexpr size_t kMaxArgs = 32;        // kept arguments; the last says how many more
    static constexpr size_t kMaxArgBytes = 128;   // kept bytes of one argument

    std::deque<SlowLogEntry> entries;
    uint64_t next_id = 0;
    // Durations at or above this are logged; negative disables the log.
    int64_t slower_than_ns = kDefaultSlowerThanUs * 1000;
    size_t max_len = kDefaultMaxLen;

    bool wants(uint64_t ns) const { return slower_than_ns >= 0 && ns >= static_cast<uint64_t>(slower_than_ns); }
    void trim() {
        while (entries.size() > max_len) entries.pop_back();
    }
};
