#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "ProcessStatistics.h"

namespace brondal::corvane::server {

// The process's share, in percent, of all processor time of the machine (every processor)
// between two samples. Safe for concurrent callers: one that finds a sample in progress
// gets the last value instead of waiting.
class CpuUsageMeter {
public:
    static constexpr std::uint64_t CpuSampleMinIntervalMs = 250;

    // Where the meter's times come from; the default reads the scheduler's tick count and
    // the system's statistics, tests supply their own.
    class TimeSource {
    public:
        virtual ~TimeSource() = default;
        // Milliseconds of a monotonic clock, 64-bit so that it never wraps.
        virtual std::uint64_t GetTickCount64() = 0;
        virtual std::optional<CpuTimes> GetSystemTimes() = 0;
        virtual std::optional<CpuTimes> GetProcessTimes() = 0;
    };

    // The default source: the scheduler's 32-bit tick count widened to 64 bits (so that
    // the 250 ms rule survives the wrap every 49.7 days; a tick that steps back, as a test
    // clock may, counts as no time) and the system's processor times. Not thread-safe: the
    // meter calls it from one sampling caller at a time.
    class SystemTimeSource final : public TimeSource {
    public:
        std::uint64_t GetTickCount64() override;
        std::optional<CpuTimes> GetSystemTimes() override;
        std::optional<CpuTimes> GetProcessTimes() override;

    private:
        bool started_ = false;
        std::uint32_t lastRaw_ = 0;
        std::uint64_t ticks_ = 0;
    };

    CpuUsageMeter();
    // source must outlive the meter.
    explicit CpuUsageMeter(TimeSource& source);
    ~CpuUsageMeter();

    CpuUsageMeter(const CpuUsageMeter&) = delete;
    CpuUsageMeter& operator=(const CpuUsageMeter&) = delete;

    // The usage since the previous sample, -1 until two samples more than
    // CpuSampleMinIntervalMs apart exist. A call sooner than that after the previous sample
    // answers the previous value and leaves the reference point where it was.
    std::int16_t Sample();

private:
    // Set only when the meter made its own source; declared before source_, which may
    // refer to it.
    std::unique_ptr<TimeSource> ownSource_;
    TimeSource& source_;

    // The previous times are touched only by the caller that holds the busy counter at 1.
    std::uint64_t previousSystemKernel_ = 0;
    std::uint64_t previousSystemUser_ = 0;
    std::uint64_t previousProcessKernel_ = 0;
    std::uint64_t previousProcessUser_ = 0;
    // Read by every caller, also while another one samples.
    std::atomic<std::int16_t> lastPercentage_{-1};
    // 0: no sample yet.
    std::uint64_t lastSampleTime_ = 0;
    std::atomic<std::int32_t> busy_{0};
};

}  // namespace brondal::corvane::server
