#include "ManualClockScheduler.h"

#include <utility>

#include "SchedulerOverride.h"

namespace brondal::testing {

ManualClockScheduler::ManualClockScheduler(std::int64_t startUtcMs, std::int64_t localOffsetMs)
    : utcMs_(startUtcMs), localOffsetMs_(localOffsetMs), previous_(ExchangeScheduler(this)) {}

ManualClockScheduler::~ManualClockScheduler() { ExchangeScheduler(previous_); }

void ManualClockScheduler::SetSleepHook(std::function<void(std::uint32_t)> hook) {
    std::lock_guard lock(sleepHookLock_);
    sleepHook_ = std::move(hook);
}

void ManualClockScheduler::Sleep(std::uint32_t ms) {
    std::function<void(std::uint32_t)> hook;
    {
        std::lock_guard lock(sleepHookLock_);
        hook = sleepHook_;
    }
    if (hook) {
        hook(ms);
    } else {
        DefaultScheduler::Sleep(ms);
    }
}

}  // namespace brondal::testing
