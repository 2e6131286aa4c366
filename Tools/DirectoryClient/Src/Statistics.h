#pragma once

#include <cstdint>
#include <vector>

namespace brondal::corvane::client {

// The p-th percentile (0 < p <= 100) by the nearest-rank rule: the smallest sample that at
// least p percent of the samples do not exceed, so every figure is one that was measured.
// Sorts the samples; 0 for none.
std::uint64_t Percentile(std::vector<std::uint64_t>& samples, double p);

struct LatencySummary {
    std::uint64_t count = 0;
    std::uint64_t median = 0;
    std::uint64_t p99 = 0;
    std::uint64_t max = 0;
};

LatencySummary Summarize(std::vector<std::uint64_t> samples);

}  // namespace brondal::corvane::client
