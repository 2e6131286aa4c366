#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace brondal::testing {

// Generous bound for "this must happen soon" in tests; sanitizer builds on a loaded
// two-core machine can be slow.
constexpr std::chrono::milliseconds Soon{10000};

// A condition tests wait on instead of sleeping: producers change state under the lock with
// Update, waiters block in WaitUntil until their predicate holds or the bound passes.
class Signal {
public:
    void Update(const std::function<void()>& change) {
        // Notified under the lock: a waiter that returns may destroy the signal at once.
        std::lock_guard lock(mutex_);
        change();
        condition_.notify_all();
    }
    // True when pred held within timeout.
    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = Soon) {
        std::unique_lock lock(mutex_);
        return condition_.wait_for(lock, timeout, pred);
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
};

// Polls pred until it holds or timeout passes, for state that cannot signal (atomics set by
// code under test). Yields between polls; true when pred held.
bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = Soon);

// For tests whose stack-owned test clock must outlive every thread that reads it: the
// number of platform threads once the process's lasting ones (the deletion thread) run and
// the deletions queued so far are done, and a wait until no more than that many exist again
// (a thread's object goes only after the thread was joined).
std::size_t SettledThreadCount();
bool WaitForThreadCount(std::size_t count, std::chrono::milliseconds timeout = Soon);

}  // namespace brondal::testing
