#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "IFlowControl.h"
#include "Scheduler.h"

namespace brondal {

// The state shared by every connection of an adapter to one peer address: the history of
// minimum one-way delays, one entry per clock minute for the last ten minutes, from which
// the base delay comes. The monitor is the adapter's; it guards this object and every
// FlowControl made from it.
class MyFactory final : public IFlowControl::Factory,
                        public std::enable_shared_from_this<MyFactory> {
public:
    static constexpr std::size_t HistoryMinutes = 10;
    static constexpr std::int64_t MinuteMs = 60000;
    static constexpr std::int64_t NoDelay = INT64_MAX;

    // Create through std::make_shared: each window keeps its factory alive.
    MyFactory(std::int32_t verbosity, Scheduler::Monitor* monitor);

    std::unique_ptr<IFlowControl> Create() override;

    // Records a delay sample and returns the smallest delay seen in the current and the
    // previous nine clock minutes.
    std::int64_t UpdateBaseDelay(std::int64_t delay);
    // Forgets every sample.
    void ResetHistory();

    Scheduler::Monitor& Monitor() { return *monitor_; }
    // The window's "write" and "ack" lines are logged from 3 on.
    bool Verbose() const { return verbosity_ >= 3; }

private:
    std::int32_t verbosity_;
    std::int64_t lastRotation_ = 0;
    Scheduler::Monitor* monitor_;
    // Oldest first.
    std::deque<std::int64_t> history_;
    // The smallest of history_, kept as samples come (every acknowledgement brings one) and
    // computed again only when the minutes rotate.
    std::int64_t base_ = NoDelay;
};

}  // namespace brondal
