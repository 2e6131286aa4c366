#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Scheduler.h"

namespace brondal::platform {

// Recursive mutex with a timed Lock that knows its owner, so that an Unlock by another
// thread can be refused.
//
// Taken and let go several times per message (every socket write takes one), nearly always
// free: so a free mutex is taken, and one nobody waits for let go, with one atomic operation
// on owner_. Only a thread that finds it held takes guard_ and sleeps on released_, counted
// in waiters_ before it looks at owner_ once more; the releasing thread clears owner_ before
// it reads waiters_. Both are sequentially consistent, so either the waiter sees the mutex
// free or the releaser sees the waiter and wakes it (under guard_, so the wake cannot fall
// between the waiter's look and its sleep).
class Mutex final : public Scheduler::Mutex {
public:
    [[nodiscard]] Result Lock(std::int32_t timeoutMs) override;
    [[nodiscard]] Result Unlock() override;

private:
    bool TryTake(std::uint32_t self) {
        std::uint32_t free = 0;
        return owner_.compare_exchange_strong(free, self);
    }

    std::atomic<std::uint32_t> owner_{0};  // 0 when free
    std::int32_t count_ = 0;               // the owner's alone
    std::atomic<std::int32_t> waiters_{0};
    std::mutex guard_;
    std::condition_variable released_;
};

}  // namespace brondal::platform
