// Unit tests of the per-command latency histogram (every duration lands in a
// bucket whose bounds hold it, buckets stay narrow, percentiles pick the bucket
// that holds the ranked sample) and of the tick counter's conversion to time.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/platform.h"
#include "server/command_stats.h"

TEST(LatencyHistogram, EveryDurationFallsInsideItsBucket) {
    const uint64_t durations[] = {0,        1,         63,          64,           65,           100,
                                  127,      128,       1000,        12345,        999999,       1000000,
                                  1u << 30, 123456789, 10000000000, 100000000000, 137000000000, UINT64_MAX};
    for (uint64_t t : durations) {
        const size_t b = LatencyHistogram::bucket_of(t);
        ASSERT_LT(b, LatencyHistogram::kBuckets) << t;
        if (b == LatencyHistogram::kBuckets - 1) continue;  // the open-ended last bucket
        EXPECT_LT(t, LatencyHistogram::bucket_upper(b)) << t;
        if (b > 0) {
            const uint64_t lower = LatencyHistogram::bucket_upper(b - 1);
            EXPECT_GE(t, lower) << t;
            // Four buckets per power of two: no bucket is wider than a quarter of its lower edge.
            EXPECT_LE(LatencyHistogram::bucket_upper(b) - lower, lower / 4) << t;
        }
    }
    // Bucket edges rise strictly, so percentiles are ordered.
    for (size_t b = 1; b < LatencyHistogram::kBuckets; ++b) {
        EXPECT_GT(LatencyHistogram::bucket_upper(b), LatencyHistogram::bucket_upper(b - 1)) << b;
    }
}

TEST(LatencyHistogram, PercentilesPickTheRankedBucket) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile(50), 0u);
    for (int i = 0; i < 990; ++i) h.add(1000);
    for (int i = 0; i < 9; ++i) h.add(50000);
    h.add(5000000);
    const uint64_t fast = LatencyHistogram::bucket_upper(LatencyHistogram::bucket_of(1000));
    EXPECT_EQ(h.percentile(50), fast);
    EXPECT_EQ(h.percentile(99), fast);  // the 990th of 1000 samples
    EXPECT_EQ(h.percentile(99.9), LatencyHistogram::bucket_upper(LatencyHistogram::bucket_of(50000)));
    EXPECT_EQ(h.percentile(100), LatencyHistogram::bucket_upper(LatencyHistogram::bucket_of(5000000)));
    h.clear();
    EXPECT_EQ(h.percentile(99), 0u);
}

// The statistics are kept in ticks and read as time: a measured sleep must read
// as at least its length, and not as many times more (the bound is generous
// for a loaded machine; a wrong rate is off by orders of magnitude).
TEST(Ticks, ConvertToTheTimeThatPassed) {
    ASSERT_GT(platform::ticks_per_ns(), 0.0);
    const uint64_t start = platform::ticks();
    platform::sleep_ms(50);
    const uint64_t elapsed_ns = platform::ticks_to_ns(platform::ticks() - start);
    EXPECT_GE(elapsed_ns, 49000000u);
    EXPECT_LT(elapsed_ns, 5000000000u);
    // Thresholds round-trip through ticks to within a tick's worth of nanoseconds.
    const uint64_t ten_ms = 10000000;
    const uint64_t back = platform::ticks_to_ns(platform::ns_to_ticks(ten_ms));
    EXPECT_LE(back, ten_ms);
    EXPECT_GE(back + 1 + static_cast<uint64_t>(1.0 / platform::ticks_per_ns()), ten_ms);
    EXPECT_EQ(platform::ns_to_ticks(UINT64_MAX), UINT64_MAX);
}
