#include "Statistics.h"

#include <algorithm>
#include <cmath>

namespace brondal::corvane::client {

std::uint64_t Percentile(std::vector<std::uint64_t>& samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

LatencySummary Summarize(std::vector<std::uint64_t> samples) {
    LatencySummary summary;
    if (samples.empty()) return summary;
    summary.count = samples.size();
    summary.median = Percentile(samples, 50);
    summary.p99 = Percentile(samples, 99);
    summary.max = samples.back();
    return summary;
}

}  // namespace brondal::corvane::client
