#pragma once

#include "Scheduler.h"

namespace brondal::platform {

// A kernel mutex: recursive, with a timed Lock, and owned by a thread, so the system itself
// refuses an Unlock by any other thread.
class Mutex final : public Scheduler::Mutex {
public:
    Mutex();
    ~Mutex() override;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    [[nodiscard]] Result Lock(std::int32_t timeoutMs) override;
    [[nodiscard]] Result Unlock() override;

private:
    void* handle_;
};

}  // namespace brondal::platform
