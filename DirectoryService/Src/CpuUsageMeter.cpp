#include "CpuUsageMeter.h"

#include <algorithm>
#include <limits>

#include "Scheduler.h"

namespace brondal::corvane::server {

namespace {

std::int16_t ToPercentage(double value) {
    // Truncated like the integer conversion it is, but kept within the type so that odd
    // counters (the machine total can step back when a processor goes offline) cannot
    // make the conversion undefined.
    constexpr double Low = std::numeric_limits<std::int16_t>::min();
    constexpr double High = std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(std::clamp(value, Low, High));
}

}  // namespace

std::uint64_t CpuUsageMeter::SystemTimeSource::GetTickCount64() {
    const std::uint32_t raw = GetScheduler().GetTickCount();
    if (!started_) {
        started_ = true;
        ticks_ = raw;
    } else {
        const auto step = static_cast<std::int32_t>(raw - lastRaw_);
        if (step > 0) ticks_ += static_cast<std::uint64_t>(step);
    }
    lastRaw_ = raw;
    return ticks_;
}

std::optional<CpuTimes> CpuUsageMeter::SystemTimeSource::GetSystemTimes() {
    return ReadSystemCpuTimes();
}

std::optional<CpuTimes> CpuUsageMeter::SystemTimeSource::GetProcessTimes() {
    return ReadProcessCpuTimes();
}

CpuUsageMeter::CpuUsageMeter()
    : ownSource_(std::make_unique<SystemTimeSource>()), source_(*ownSource_) {}

CpuUsageMeter::CpuUsageMeter(TimeSource& source) : source_(source) {}

CpuUsageMeter::~CpuUsageMeter() = default;

std::int16_t CpuUsageMeter::Sample() {
    std::int16_t result = lastPercentage_.load();
    if (busy_.fetch_add(1) == 0) {
        const std::uint64_t now = source_.GetTickCount64();
        std::optional<CpuTimes> system;
        std::optional<CpuTimes> process;
        if (now - lastSampleTime_ > CpuSampleMinIntervalMs && (system = source_.GetSystemTimes()) &&
            (process = source_.GetProcessTimes())) {
            if (lastSampleTime_ != 0) {
                // The machine's kernel time includes its idle time: this is all processor
                // time of all processors.
                const std::uint64_t systemDelta =
                    (system->kernel - previousSystemKernel_) + (system->user - previousSystemUser_);
                if (systemDelta != 0) {
                    const std::uint64_t processDelta = (process->kernel - previousProcessKernel_) +
                                                       (process->user - previousProcessUser_);
                    lastPercentage_.store(ToPercentage(static_cast<double>(processDelta) * 100.0 /
                                                       static_cast<double>(systemDelta)));
                }
            }
            previousSystemKernel_ = system->kernel;
            previousSystemUser_ = system->user;
            previousProcessKernel_ = process->kernel;
            previousProcessUser_ = process->user;
            lastSampleTime_ = now;
            result = lastPercentage_.load();
        }
    }
    busy_.fetch_sub(1);
    return result;
}

}  // namespace brondal::corvane::server
