#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "IRefCountImpl.h"
#include "ITimer.h"

namespace brondal::platform {

// A timer with a thread of its own; the threading model is explained in TimerImpl.cpp.
class TimerImpl final : public ITimer, public IRefCountImpl {
public:
    // Unstarted: no thread exists before Start.
    TimerImpl() = default;

    [[nodiscard]] Result Start(std::uint32_t periodMs, ITimerCallback* callback,
                               std::uint32_t dueTimeMs) override;

private:
    struct Shared;

    // Destroyed only through the last Release.
    ~TimerImpl() override;

    static void Run(std::shared_ptr<Shared> shared);

    // Serialises Start against itself; the destructor needs no lock, as nobody else holds a
    // reference any more.
    std::mutex startMutex_;
    bool started_ = false;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace brondal::platform
