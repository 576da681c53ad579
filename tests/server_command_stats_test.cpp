// Unit tests of the per-command latency histogram: every duration lands in a
// bucket whose bounds hold it, buckets stay narrow, and percentiles pick the
// bucket that holds the ranked sample.
#include <gtest/gtest.h>

#include <cstdint>

#include "server/command_stats.h"

TEST(LatencyHistogram, EveryDurationFallsInsideItsBucket) {
    const uint64_t durations[] = {0,        1,         63,          64,           65,           100,
                                  127,      128,       1000,        12345,        999999,       1000000,
                                  1u << 30, 123456789, 10000000000, 100000000000, 137000000000, UINT64_MAX};
    for (uint64_t ns : durations) {
        const size_t b = LatencyHistogram::bucket_of(ns);
        ASSERT_LT(b, LatencyHistogram::kBuckets) << ns;
        if (b == LatencyHistogram::kBuckets - 1) continue;  // the open-ended last bucket
        EXPECT_LT(ns, LatencyHistogram::bucket_upper_ns(b)) << ns;
        if (b > 0) {
            const uint64_t lower = LatencyHistogram::bucket_upper_ns(b - 1);
            EXPECT_GE(ns, lower) << ns;
            // Four buckets per power of two: no bucket is wider than a quarter of its lower edge.
            EXPECT_LE(LatencyHistogram::bucket_upper_ns(b) - lower, lower / 4) << ns;
        }
    }
    // Bucket edges rise strictly, so percentiles are ordered.
    for (size_t b = 1; b < LatencyHistogram::kBuckets; ++b) {
        EXPECT_GT(LatencyHistogram::bucket_upper_ns(b), LatencyHistogram::bucket_upper_ns(b - 1)) << b;
    }
}

TEST(LatencyHistogram, PercentilesPickTheRankedBucket) {
    LatencyHistogram h;
    EXPECT_EQ(h.percentile_ns(50), 0u);
    for (int i = 0; i < 990; ++i) h.add(1000);
    for (int i = 0; i < 9; ++i) h.add(50000);
    h.add(5000000);
    const uint64_t fast = LatencyHistogram::bucket_upper_ns(LatencyHistogram::bucket_of(1000));
    EXPECT_EQ(h.percentile_ns(50), fast);
    EXPECT_EQ(h.percentile_ns(99), fast);  // the 990th of 1000 samples
    EXPECT_EQ(h.percentile_ns(99.9), LatencyHistogram::bucket_upper_ns(LatencyHistogram::bucket_of(50000)));
    EXPECT_EQ(h.percentile_ns(100), LatencyHistogram::bucket_upper_ns(LatencyHistogram::bucket_of(5000000)));
    h.clear();
    EXPECT_EQ(h.percentile_ns(99), 0u);
}
