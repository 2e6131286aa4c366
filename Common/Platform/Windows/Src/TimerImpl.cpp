// Threading model: every started timer is one timer of the process's default timer queue,
// whose pool threads call Expired. The system's timer resolution is raised to 1 ms once per
// process (timeBeginPeriod), so short periods are kept instead of rounding up to the
// default 15.6 ms tick.
//
// Skipped expiries: the pool may call Expired for the next expiry while the previous
// callback still runs on another thread. Each call takes the timer's callback lock with a
// 1 ms limit: an expiry overrun by less than that still fires, late; one that cannot have
// the lock in time is dropped, never queued, and the grid of expiries never shifts.
//
// Never early: the queue counts in whole milliseconds from a clock of its own and may call a
// fraction of a millisecond before the expiry as the steady clock sees it. Each call finds
// the grid point it stands for (the nearest one) and waits out the rest before calling,
// which makes it up to a millisecond late instead.
//
// Release: DeleteTimerQueueTimer with INVALID_HANDLE_VALUE removes the timer and waits for
// callbacks in progress, so the callback object may go away once the destructor returns.
// From the timer's own callback that wait would never end; the deletion is then handed to
// a short-lived thread of its own, which keeps the shared state alive until the pool is
// done with it, and the stopping mark keeps the callback from being called again.

#include "TimerImpl.h"

#include "SystemHeaders.h"

#include <timeapi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace brondal::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto CallbackGrace = std::chrono::milliseconds(1);

// The timer whose callback this pool thread is running, if any.
thread_local const void* runningTimer = nullptr;

void RaiseTimerResolution() {
    static std::once_flag once;
    std::call_once(once, [] { ::timeBeginPeriod(1); });
}

}  // namespace

struct TimerImpl::Shared {
    // Held by Start until the timer handle is stored: an expiry due at once waits for it,
    // so that a callback releasing the timer finds it complete.
    std::mutex startLock;
    std::timed_mutex callbackLock;
    std::atomic<bool> stopping{false};
    // Set before the timer is queued, constant afterwards.
    ITimerCallback* callback = nullptr;
    Clock::time_point firstExpiry;
    Clock::duration period{};
    HANDLE timer = nullptr;
};

Result TimerImpl::Start(std::uint32_t periodMs, ITimerCallback* callback, std::uint32_t dueTimeMs) {
    std::lock_guard<std::mutex> guard(startMutex_);
    if (shared_) return ResultAlreadyInitialized;
    if (callback == nullptr) return ResultInvalidArgument;
    std::shared_ptr<Shared> shared;
    try {
        shared = std::make_shared<Shared>();
    } catch (const std::exception&) {
        return ResultFail;
    }
    shared->callback = callback;
    shared->period = std::chrono::milliseconds(periodMs);
    RaiseTimerResolution();
    std::unique_lock<std::mutex> holdFirst(shared->startLock);
    shared->firstExpiry = Clock::now() + std::chrono::milliseconds(dueTimeMs);
    HANDLE timer = nullptr;
    if (!::CreateTimerQueueTimer(&timer, nullptr, &TimerImpl::Expired, shared.get(), dueTimeMs,
                                 periodMs, WT_EXECUTEDEFAULT)) {
        // The timer stays unstarted and may be started again.
        return ResultFail;
    }
    shared->timer = timer;
    shared_ = std::move(shared);
    return ResultOk;
}

TimerImpl::~TimerImpl() {
    if (!shared_) return;
    shared_->stopping.store(true);
    if (runningTimer == shared_.get()) {
        std::shared_ptr<Shared> shared = shared_;
        try {
            std::thread([shared] {
                ::DeleteTimerQueueTimer(nullptr, shared->timer, INVALID_HANDLE_VALUE);
            }).detach();
            return;
        } catch (const std::exception&) {
            // No thread: the timer stays queued (and silent) until the process ends, which
            // beats a wait that never ends.
            new std::shared_ptr<Shared>(shared);
            return;
        }
    }
    // Waits without limit: the callback object may be destroyed as soon as we return.
    ::DeleteTimerQueueTimer(nullptr, shared_->timer, INVALID_HANDLE_VALUE);
}

void __stdcall TimerImpl::Expired(void* parameter, unsigned char) {
    Shared* shared = static_cast<Shared*>(parameter);
    if (shared->stopping.load()) return;
    { std::lock_guard<std::mutex> started(shared->startLock); }
    std::unique_lock<std::timed_mutex> lock(shared->callbackLock, CallbackGrace);
    if (!lock.owns_lock() || shared->stopping.load()) return;
    const Clock::time_point now = Clock::now();
    Clock::time_point expiry = shared->firstExpiry;
    if (shared->period != Clock::duration::zero() && now > expiry) {
        const auto half = shared->period / 2;
        expiry += (now - expiry + half) / shared->period * shared->period;
    }
    // Whole-millisecond sleeps (the resolution is 1 ms): the remainder is below one, and a
    // call a little late is within the contract where an early one is not.
    while (Clock::now() < expiry)
        ::Sleep(1);
    runningTimer = shared;
    shared->callback->TimerCallback();
    runningTimer = nullptr;
}

}  // namespace brondal::platform
