#pragma once

#include "Scheduler.h"

namespace brondal {

// Replaces the process-wide scheduler returned by GetScheduler and returns the previous
// one; nullptr restores the default. Meant for tests that control the clock: production
// code never calls it. The replacement must outlive every use made through GetScheduler
// while it is installed.
Scheduler* ExchangeScheduler(Scheduler* replacement);

}  // namespace brondal
