#include "PlatformMutex.h"

#include <chrono>

#include "ThreadIdentity.h"

namespace brondal::platform {

Result Mutex::Lock(std::int32_t timeoutMs) {
    const std::uint32_t self = CurrentThreadId();
    std::unique_lock lock(guard_);
    if (owner_ == self) {
        ++count_;
        return ResultOk;
    }
    auto isFree = [this] { return owner_ == 0; };
    if (timeoutMs < 0) {
        released_.wait(lock, isFree);
    } else if (!released_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree)) {
        return ResultFail;
    }
    owner_ = self;
    count_ = 1;
    return ResultOk;
}

Result Mutex::Unlock() {
    std::unique_lock lock(guard_);
    if (owner_ != CurrentThreadId()) return ResultFail;
    if (--count_ == 0) {
        owner_ = 0;
        lock.unlock();
        released_.notify_one();
    }
    return ResultOk;
}

}  // namespace brondal::platform
