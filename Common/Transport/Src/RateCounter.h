#pragma once

#include <cstdint>

#include "FastLog.h"

namespace brondal {

// Counts events and says when a report of the rate is due (every 5 s by the
// high-resolution counter). It counts every frame of a layered connection, several per
// request, so the clock is read only on every CheckEvery-th event: a report is due at the
// first such event after the interval, and the count stays exact.
class RateCounter {
public:
    static constexpr std::int64_t ReportIntervalMs = 5000;
    static constexpr std::uint32_t CheckEvery = 16;

    // Counts one event. True when a report is due, with the count and the elapsed whole
    // milliseconds; the counter then starts over.
    bool Count(std::uint32_t* count, std::int64_t* elapsedMs) {
        if (++count_ % CheckEvery != 0) return false;
        const std::int64_t now = FastLog::Counter();
        const auto elapsed =
            static_cast<std::int64_t>((now - last_) * 1000.0 / FastLog::CounterFrequency());
        if (elapsed < ReportIntervalMs) return false;
        *count = count_;
        *elapsedMs = elapsed;
        count_ = 0;
        last_ = now;
        return true;
    }

private:
    std::int64_t last_ = FastLog::Counter();
    std::uint32_t count_ = 0;
};

}  // namespace brondal
