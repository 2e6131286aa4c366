#pragma once

#include <condition_variable>
#include <mutex>

#include "Scheduler.h"

namespace brondal::platform {

// Manual-reset events stay signalled until Reset and release every waiter; auto-reset
// events release one waiter and clear themselves.
class Event final : public Scheduler::Event {
public:
    Event(bool manualReset, bool initiallySignalled)
        : manualReset_(manualReset), signalled_(initiallySignalled) {}

    bool Wait(std::int32_t timeoutMs) override;
    void Set() override;
    void Reset() override;

private:
    const bool manualReset_;
    std::mutex guard_;
    std::condition_variable signal_;
    bool signalled_;
};

}  // namespace brondal::platform
