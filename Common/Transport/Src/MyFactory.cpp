#include "MyFactory.h"

#include <algorithm>

#include "FlowControl.h"
#include "LockGuard.h"

namespace brondal {

MyFactory::MyFactory(std::int32_t verbosity, Scheduler::Monitor* monitor)
    : verbosity_(verbosity), monitor_(monitor) {
    ResetHistory();
}

std::unique_ptr<IFlowControl> MyFactory::Create() {
    return std::make_unique<FlowControl>(shared_from_this());
}

std::int64_t MyFactory::UpdateBaseDelay(std::int64_t delay) {
    MonitorGuard guard(*monitor_);
    const std::int64_t now = GetScheduler().GetTimeMs();
    std::int64_t k = now / MinuteMs - lastRotation_ / MinuteMs;
    if (k > static_cast<std::int64_t>(HistoryMinutes)) k = HistoryMinutes;
    if (k != 0) {
        // A clock that went back (negative k) rotates once.
        lastRotation_ = now;
        for (std::int64_t i = 1; i < k; ++i) {
            history_.pop_front();
            history_.push_back(NoDelay);
        }
        history_.pop_front();
        history_.push_back(delay);
        base_ = *std::min_element(history_.begin(), history_.end());
    } else {
        history_.back() = std::min(history_.back(), delay);
        base_ = std::min(base_, delay);
    }
    return base_;
}

void MyFactory::ResetHistory() {
    MonitorGuard guard(*monitor_);
    history_.assign(HistoryMinutes, NoDelay);
    base_ = NoDelay;
    lastRotation_ = 0;
}

}  // namespace brondal
