#include "ManualClockScheduler.h"

#include "SchedulerOverride.h"

namespace brondal::testing {

ManualClockScheduler::ManualClockScheduler(std::int64_t startUtcMs, std::int64_t localOffsetMs)
    : utcMs_(startUtcMs), localOffsetMs_(localOffsetMs), previous_(ExchangeScheduler(this)) {}

ManualClockScheduler::~ManualClockScheduler() { ExchangeScheduler(previous_); }

}  // namespace brondal::testing
