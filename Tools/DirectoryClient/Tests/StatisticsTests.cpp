#include <gtest/gtest.h>

#include "Statistics.h"

namespace brondal::corvane::client {
namespace {

TEST(Percentiles, NearestRankPicksAMeasuredSample) {
    std::vector<std::uint64_t> samples{50, 10, 40, 20, 30};
    EXPECT_EQ(Percentile(samples, 50), 30u);
    EXPECT_EQ(Percentile(samples, 100), 50u);
    EXPECT_EQ(Percentile(samples, 1), 10u);
    // 4 samples: the median is the second one (rank 2), not an average.
    std::vector<std::uint64_t> even{4, 1, 3, 2};
    EXPECT_EQ(Percentile(even, 50), 2u);
    std::vector<std::uint64_t> one{7}, none;
    EXPECT_EQ(Percentile(one, 99), 7u);
    EXPECT_EQ(Percentile(none, 50), 0u);
}

TEST(Percentiles, SummaryOfAnUnsortedRun) {
    std::vector<std::uint64_t> samples;
    for (std::uint64_t i = 0; i < 1000; ++i)
        samples.push_back((i * 37) % 1000 + 1);  // 1..1000, shuffled
    const LatencySummary summary = Summarize(samples);
    EXPECT_EQ(summary.count, 1000u);
    EXPECT_EQ(summary.median, 500u);
    EXPECT_EQ(summary.p99, 990u);
    EXPECT_EQ(summary.max, 1000u);
}

}  // namespace
}  // namespace brondal::corvane::client
