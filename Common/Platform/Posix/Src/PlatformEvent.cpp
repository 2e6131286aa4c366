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
    // Notified under the lock: a waiter released by this Set may destroy the event as soon
    // as it returns, so nothing here may touch the event after the lock is left.
    std::lock_guard lock(guard_);
    signalled_ = true;
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
