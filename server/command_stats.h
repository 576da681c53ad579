// command_stats.h — what the server records about the commands it runs: per
// command calls, time, refusals, failures and a latency histogram, and the slow log.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/ticks.h"

// Durations in ticks of platform::ticks(), counted as they are measured and
// turned into time only when read: four buckets per power of two from 64 ticks
// on (each bucket spans an eighth to a quarter of its lower bound), everything
// below 64 ticks in the first bucket and everything past 2^38 ticks (a minute or
// more) in the last.
class LatencyHistogram {
public:
    static constexpr size_t kBuckets = 128;
    static constexpr int kFirstExponent = 6;  // 64 ticks

    static size_t bucket_of(uint64_t ticks) {
        if (ticks < (uint64_t(1) << kFirstExponent)) return 0;
        const int exponent = std::bit_width(ticks) - 1;
        const uint64_t sub = (ticks >> (exponent - 2)) & 3;
        const size_t b = 1 + static_cast<size_t>(exponent - kFirstExponent) * 4 + sub;
        return b < kBuckets ? b : kBuckets - 1;
    }
    // The exclusive upper bound of a bucket, in ticks.
    static uint64_t bucket_upper(size_t b) {
        if (b == 0) return uint64_t(1) << kFirstExponent;
        const int exponent = kFirstExponent + static_cast<int>((b - 1) / 4);
        return (5 + (b - 1) % 4) << (exponent - 2);
    }

    void add(uint64_t ticks) { counts_[bucket_of(ticks)] += 1; }
    // How many durations were recorded.
    uint64_t count() const;
    // The upper bound of the bucket holding the given percentile (0 < p <= 100)
    // of the recorded durations, in ticks; 0 when nothing is recorded.
    uint64_t percentile(double p) const;
    void clear() { counts_.fill(0); }

private:
    std::array<uint64_t, kBuckets> counts_{};
};

// One command's figures since start or the last CONFIG RESETSTAT. Time is kept
// in ticks and handler runs only as the histogram's count, so a run costs two
// additions; the readers (INFO, /metrics) sum and convert.
struct CommandStats {
    uint64_t ticks = 0;           // the handler runs' total time
    uint64_t rejected_calls = 0;  // refused before running: authentication, a gate, the log, arity
    uint64_t failed_calls = 0;    // ran and answered an error
    LatencyHistogram latency;     // one duration per handler run

    uint64_t calls() const { return latency.count(); }
    uint64_t ns() const { return platform::ticks_to_ns(ticks); }
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
    size_t max_len = kDefaultMaxLen;

    // The threshold in microseconds as configured; negative disables the log.
    int64_t slower_than_us() const { return slower_than_us_; }
    // Sets the threshold and derives its tick count, which the dispatcher
    // compares each command's time with.
    void set_slower_than_us(int64_t us) {
        slower_than_us_ = us;
        const uint64_t ns = us > INT64_MAX / 1000 ? UINT64_MAX : static_cast<uint64_t>(us) * 1000;
        threshold_ticks_ = us < 0 ? UINT64_MAX : platform::ns_to_ticks(ns);
    }
    bool wants(uint64_t ticks) const { return ticks >= threshold_ticks_; }
    void trim() {
        while (entries.size() > max_len) entries.pop_back();
    }

private:
    int64_t slower_than_us_ = kDefaultSlowerThanUs;
    // Durations of at least this many ticks are logged; the largest count, which
    // no command reaches, while the log is off or until the first set.
    uint64_t threshold_ticks_ = UINT64_MAX;
};
