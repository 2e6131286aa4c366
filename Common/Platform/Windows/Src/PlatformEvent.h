#pragma once

#include "Scheduler.h"

namespace brondal::platform {

// A kernel event. Manual-reset events stay signalled until Reset and release every waiter;
// auto-reset events release one waiter and clear themselves.
class Event final : public Scheduler::Event {
public:
    Event(bool manualReset, bool initiallySignalled);
    ~Event() override;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Wait(std::int32_t timeoutMs) override;
    void Set() override;
    void Reset() override;

private:
    void* handle_;
};

}  // namespace brondal::platform
