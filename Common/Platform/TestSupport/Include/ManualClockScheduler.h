#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "DefaultScheduler.h"

namespace brondal::testing {

// A scheduler whose clocks stand still until the test moves them. Installed for the
// lifetime of the object (and the previous scheduler restored afterwards), so that code
// asking GetScheduler() for the time sees the test's clock. Everything else (threads,
// locks, real sleeps) behaves as in DefaultScheduler.
class ManualClockScheduler : public DefaultScheduler {
public:
    // 2024-01-01 00:00:00 UTC: a plausible "now" far from 0, which some code treats as
    // "never".
    static constexpr std::int64_t DefaultStartMs = 1704067200000;

    explicit ManualClockScheduler(std::int64_t startUtcMs = DefaultStartMs,
                                  std::int64_t localOffsetMs = 0);
    ~ManualClockScheduler() override;

    ManualClockScheduler(const ManualClockScheduler&) = delete;
    ManualClockScheduler& operator=(const ManualClockScheduler&) = delete;

    // Sets the wall clock alone, as an operator or NTP would: the monotonic clocks stay.
    void SetTimeMs(std::int64_t utcMs) { utcMs_.store(utcMs); }
    // Moves every clock forward together (the monotonic ones only forward: a negative
    // delta moves the wall clock alone).
    void AdvanceMs(std::int64_t deltaMs) {
        utcMs_.fetch_add(deltaMs);
        if (deltaMs > 0) {
            tickMs_.fetch_add(static_cast<std::uint32_t>(deltaMs));
            tick64Ms_.fetch_add(deltaMs);
        }
    }
    void SetTickCount(std::uint32_t tick) { tickMs_.store(tick); }

    std::int64_t GetTimeMs() override { return utcMs_.load(); }
    std::int64_t GetLocalTimeMs() override { return utcMs_.load() + localOffsetMs_; }
    std::uint32_t GetTickCount() override { return tickMs_.load(); }
    std::int64_t GetTickCount64() override { return tick64Ms_.load(); }

    // Replaces real sleeping: while a hook is set, Sleep calls it instead (an empty hook
    // restores real sleeps). For code under test that sleeps in every pass, such as a
    // thread's pass called directly by the test.
    void SetSleepHook(std::function<void(std::uint32_t ms)> hook);
    void Sleep(std::uint32_t ms) override;

private:
    std::atomic<std::int64_t> utcMs_;
    std::atomic<std::uint32_t> tickMs_{1000};
    std::atomic<std::int64_t> tick64Ms_{1000};
    const std::int64_t localOffsetMs_;
    Scheduler* previous_;
    std::mutex sleepHookLock_;
    std::function<void(std::uint32_t)> sleepHook_;
};

}  // namespace brondal::testing
