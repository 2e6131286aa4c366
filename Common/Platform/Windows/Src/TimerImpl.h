#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "IRefCountImpl.h"
#include "ITimer.h"

namespace brondal::platform {

// A timer of the process's timer queue; the model is explained in TimerImpl.cpp.
class TimerImpl final : public ITimer, public IRefCountImpl {
public:
    // Unstarted: nothing is queued before Start.
    TimerImpl() = default;

    [[nodiscard]] Result Start(std::uint32_t periodMs, ITimerCallback* callback,
                               std::uint32_t dueTimeMs) override;

private:
    struct Shared;

    // Destroyed only through the last Release.
    ~TimerImpl() override;

    static void __stdcall Expired(void* shared, unsigned char timerOrWait);

    // Serialises Start against itself; the destructor needs no lock, as nobody else holds a
    // reference any more.
    std::mutex startMutex_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace brondal::platform
