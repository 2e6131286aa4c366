#pragma once

#include <cstdint>
#include <string>

#include "StringFormat.h"

namespace brondal {

// Measures durations with the high-resolution counter and logs their average, minimum and
// maximum every logInterval samples (0: never). One thread at a time uses a timer.
class LogPerformanceTimer {
public:
    LogPerformanceTimer(std::string name, std::uint32_t logInterval, bool perEvent, bool levelFlag,
                        std::uint32_t metricInterval);

    // Hands out the start token for Stop.
    void Start(std::int64_t* startTicks);
    void Stop(std::int64_t startTicks);

    std::uint32_t SampleCount() const { return totalCount_; }

    // The counter (nanoseconds of the monotonic clock) and its ticks per second.
    static std::int64_t Counter();
    static constexpr double CounterFrequency = 1e9;

private:
    struct Window {
        std::uint32_t count = 0;
        double sum = 0.0;
        double minimum = -1.0;
        double maximum = -1.0;

        void Add(double sample);
    };

    void AddSample(double ms);
    void Log(const char* format, ...) BRONDAL_PRINTF_FORMAT(2, 3);

    std::int64_t firstStart_ = 0;
    std::string name_;
    std::uint32_t logInterval_;
    std::uint32_t totalCount_ = 0;
    bool perEvent_;
    bool levelFlag_;
    std::uint32_t metricInterval_;
    Window metric_;
    Window log_;
};

}  // namespace brondal
