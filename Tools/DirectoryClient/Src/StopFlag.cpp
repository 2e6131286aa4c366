#include "StopFlag.h"

#include <chrono>

namespace brondal::corvane::client {

void StopFlag::Request() {
    std::lock_guard call(callMutex_);
    std::map<int, std::function<void()>> listeners;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        listeners = listeners_;
        condition_.notify_all();
    }
    for (auto& [token, listener] : listeners)
        listener();
}

bool StopFlag::IsSet() {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool StopFlag::WaitFor(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    return condition_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return stopped_; });
}

int StopFlag::AddListener(std::function<void()> listener) {
    std::lock_guard call(callMutex_);
    bool stopped = false;
    int token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextToken_++;
        stopped = stopped_;
        if (!stopped) listeners_[token] = listener;
    }
    if (stopped) listener();
    return token;
}

void StopFlag::RemoveListener(int token) {
    std::lock_guard call(callMutex_);
    std::lock_guard lock(mutex_);
    listeners_.erase(token);
}

}  // namespace brondal::corvane::client
