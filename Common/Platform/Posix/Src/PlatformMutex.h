#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Scheduler.h"

namespace brondal::platform {

// Recursive mutex with a timed Lock that knows its owner, so that an Unlock by another
// thread can be refused.
class Mutex final : public Scheduler::Mutex {
public:
    [[nodiscard]] Result Lock(std::int32_t timeoutMs) override;
    [[nodiscard]] Result Unlock() override;

private:
    std::mutex guard_;
    std::condition_variable released_;
    std::uint32_t owner_ = 0;  // 0 when free; guarded by guard_
    std::int32_t count_ = 0;
};

}  // namespace brondal::platform
