#include "PlatformMutex.h"

#include <chrono>

#include "ThreadIdentity.h"

namespace brondal::platform {

Result Mutex::Lock(std::int32_t timeoutMs) {
    const std::uint32_t self = CurrentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++count_;
        return ResultOk;
    }
    if (!TryTake(self)) {
        if (timeoutMs == 0) return ResultFail;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        const auto take = [this, self] { return TryTake(self); };
        std::unique_lock lock(guard_);
        waiters_.fetch_add(1);
        bool taken = true;
        if (timeoutMs < 0) {
            released_.wait(lock, take);
        } else {
            // Tries once more when the time is up.
            taken = released_.wait_until(lock, deadline, take);
        }
        waiters_.fetch_sub(1);
        if (!taken) return ResultFail;
    }
    count_ = 1;
    return ResultOk;
}

Result Mutex::Unlock() {
    if (owner_.load(std::memory_order_relaxed) != CurrentThreadId()) return ResultFail;
    if (--count_ == 0) {
        owner_.store(0);
        if (waiters_.load() > 0) {
            // Taken and let go before the wake: a waiter is then either asleep, or has not
            // yet looked at owner_ and will find the mutex free.
            { std::lock_guard lock(guard_); }
            released_.notify_one();
        }
    }
    return ResultOk;
}

}  // namespace brondal::platform
