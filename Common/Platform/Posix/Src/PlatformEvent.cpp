#include "PlatformEvent.h"

#include <chrono>

namespace brondal::platform {

bool Event::Wait(std::int32_t timeoutMs) {
    std::unique_lock lock(guard_);
    auto isSignalled = [this] { return signalled_; };
    if (timeoutMs < 0) {
        signal_.wait(lock, isSignalled);
    } else if (!signal_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSignalled)) {
        return false;
    }
    if (!manualReset_) signalled_ = false;
    return true;
}

void Event::Set() {
    {
        std::lock_guard lock(guard_);
        signalled_ = true;
    }
    if (manualReset_) {
        signal_.notify_all();
    } else {
        signal_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard lock(guard_);
    signalled_ = false;
}

}  // namespace brondal::platform
