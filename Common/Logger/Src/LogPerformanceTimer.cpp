#include "LogPerformanceTimer.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "LogCall.h"

namespace brondal {

LogPerformanceTimer::LogPerformanceTimer(std::string name, std::uint32_t logInterval, bool perEvent,
                                         bool levelFlag, std::uint32_t metricInterval)
    : name_(std::move(name)),
      logInterval_(logInterval),
      perEvent_(perEvent),
      levelFlag_(levelFlag),
      metricInterval_(metricInterval) {}

std::int64_t LogPerformanceTimer::Counter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LogPerformanceTimer::Start(std::int64_t* startTicks) {
    const std::int64_t now = Counter();
    if (startTicks) *startTicks = now;
    if (firstStart_ == 0) firstStart_ = now;
    if (perEvent_) {
        Log("%s START TIMESTAMP - Number %d - Time %.2f ", name_.c_str(),
            static_cast<int>(totalCount_), (now - firstStart_) / CounterFrequency * 1000.0);
    }
}

void LogPerformanceTimer::Stop(std::int64_t startTicks) {
    const std::int64_t now = Counter();
    if (perEvent_) {
        Log("%s END TIMESTAMP - Number %d - Time %.2f ", name_.c_str(),
            static_cast<int>(totalCount_), (now - firstStart_) / CounterFrequency * 1000.0);
    }
    AddSample((now - startTicks) / CounterFrequency * 1000.0);
}

void LogPerformanceTimer::Window::Add(double sample) {
    ++count;
    sum += sample;
    if (minimum < 0.0 || minimum > sample) minimum = sample;
    if (sample > maximum) maximum = sample;
}

void LogPerformanceTimer::AddSample(double ms) {
    metric_.Add(ms);
    log_.Add(ms);
    // Nothing consumes the periodic metrics in this system: the window is only reset.
    if (metricInterval_ != 0 && metric_.count >= metricInterval_) metric_ = Window{};
    if (logInterval_ != 0 && log_.count >= logInterval_) {
        Log("%s %f AVG - %f MIN - %f MAX", name_.c_str(), log_.sum / log_.count, log_.minimum,
            log_.maximum);
        log_ = Window{};
    }
    ++totalCount_;
}

void LogPerformanceTimer::Log(const char* format, ...) {
    const std::uint32_t level = levelFlag_ ? LogInformation : LogSpew;
    const std::uint32_t detail = levelFlag_ ? 0 : 1;
    LogCall call(level, detail, __FILE__, __LINE__, "LogPerformanceTimer::Log");
    if (!call.Enabled()) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    call.Message("%s", text);
}

}  // namespace brondal
