#pragma once

#include <mutex>

#include "Scheduler.h"

namespace brondal::platform {

// The container guard: recursive, no timeout.
class CFastMutex final : public Scheduler::FastMutex {
public:
    [[nodiscard]] Result Lock() override {
        mutex_.lock();
        return ResultOk;
    }
    [[nodiscard]] Result Unlock() override {
        mutex_.unlock();
        return ResultOk;
    }

private:
    std::recursive_mutex mutex_;
};

}  // namespace brondal::platform
