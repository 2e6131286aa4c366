#pragma once

#include <cstdint>
#include <memory>

#include "Scheduler.h"

namespace brondal {

// The operations a long-running activity offers to others.
class IThread {
public:
    virtual void Start(std::int32_t timeoutMs) = 0;
    virtual void Stop() = 0;
    virtual void Terminate() = 0;
    virtual void Wake() = 0;
    virtual std::int32_t SetPriority(std::int32_t priority) = 0;
    virtual bool IsRunning() = 0;
    virtual ~IThread() = default;
};

// Base of every long-running activity. A derived class supplies one pass of work in
// ThreadFunc, returning true to run the next pass at once or false to sleep until Wake.
// Producers queue their work first and then call Wake.
//
// Derived classes must call Stop in their own destructor (before their members go away)
// whenever ThreadFunc uses them: this base stops the thread only after the derived part is
// already destroyed. Never call Stop from inside ThreadFunc.
class Thread : public IThread, public Scheduler::Runnable {
public:
    Thread();
    ~Thread() override;

    // Starts the thread and waits up to timeoutMs (Infinite: no limit) until it runs.
    void Start(std::int32_t timeoutMs) override;
    void Stop() override;
    void Terminate() override;
    void Wake() override;
    std::int32_t SetPriority(std::int32_t priority) override;
    bool IsRunning() override;

    bool ThreadFunc() override { return false; }

protected:
    // The platform thread, for RequestStop, IsStopRequested and GetRunInfo.
    Scheduler::Thread& PlatformThread() { return *thread_; }

private:
    std::unique_ptr<Scheduler::Thread> thread_;
};

}  // namespace brondal
