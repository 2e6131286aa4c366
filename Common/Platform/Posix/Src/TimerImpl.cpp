// Threading model: every started timer owns one thread, which sleeps on the steady clock
// until the next expiry and calls the callback itself. A slow callback can then delay only
// its own timer. A shared timer thread would have to hand the calls to a pool to give the
// same isolation, and as one timer's calls never overlap, that pool would need a worker per
// busy timer anyway. A thread each is cheap while timers number in the hundreds, and it
// keeps shutdown simple: stop one thread, join it.
//
// Skipped expiries: the thread is busy while the callback runs, so an expiry that falls due
// meanwhile cannot fire then. When the callback returns, the thread moves on to the first
// point of the original grid (due + k * period) that is no more than CallbackGrace in the
// past. This is what a callback lock taken with a 1 ms limit at each expiry would give: an
// expiry overrun by less than the grace still fires, late; earlier ones are dropped, never
// queued, and the grid never shifts.
//
// Release from the timer's own callback: the destructor then runs on the timer thread and
// cannot join it. It marks the timer stopping and detaches the thread instead; the thread
// touches only the state it shares through a shared_ptr, sees the mark when the callback
// returns, and ends without calling the callback again.

#include "TimerImpl.h"

#include <chrono>
#include <condition_variable>
#include <exception>

namespace brondal::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto CallbackGrace = std::chrono::milliseconds(1);

// The first grid point after the expiry that just fired that is not more than the grace in
// the past.
Clock::time_point NextExpiry(Clock::time_point fired, Clock::duration period,
                             Clock::time_point now) {
    Clock::time_point next = fired + period;
    const Clock::time_point oldest = now - CallbackGrace;
    if (next < oldest) {
        const auto missed = (oldest - next + period - Clock::duration(1)) / period;
        next += missed * period;
    }
    return next;
}

}  // namespace

struct TimerImpl::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;  // Guarded by mutex.
    // Set before the thread starts, constant afterwards.
    ITimerCallback* callback = nullptr;
    Clock::duration period{};
    Clock::time_point firstExpiry;
};

Result TimerImpl::Start(std::uint32_t periodMs, ITimerCallback* callback, std::uint32_t dueTimeMs) {
    // Declared first so that they are destroyed last: the new thread waits for holdThread
    // before its first expiry, and holdThread is released only after startMutex_ and every
    // member write. A callback that releases the timer at once therefore finds the members
    // complete, and Start touches nothing of the timer once the thread may run.
    std::shared_ptr<Shared> shared;
    std::unique_lock<std::mutex> holdThread;
    {
        std::lock_guard<std::mutex> guard(startMutex_);
        if (started_) return ResultAlreadyInitialized;
        if (callback == nullptr) return ResultInvalidArgument;
        try {
            shared = std::make_shared<Shared>();
            shared->callback = callback;
            shared->period = std::chrono::milliseconds(periodMs);
            shared->firstExpiry = Clock::now() + std::chrono::milliseconds(dueTimeMs);
            holdThread = std::unique_lock<std::mutex>(shared->mutex);
            thread_ = std::thread(&TimerImpl::Run, shared);
        } catch (const std::exception&) {
            // No memory or no thread: the timer stays unstarted and may be started again.
            return ResultFail;
        }
        shared_ = shared;
        started_ = true;
    }
    return ResultOk;
}

TimerImpl::~TimerImpl() {
    if (!started_) return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_one();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        // Waits without limit: the callback object may be destroyed as soon as we return.
        thread_.join();
    }
}

void TimerImpl::Run(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    Clock::time_point expiry = shared->firstExpiry;
    for (;;) {
        // The predicate makes a spurious wake-up wait again; the steady clock keeps changes
        // of the wall clock from moving an expiry.
        if (shared->wake.wait_until(lock, expiry, [&] { return shared->stopping; })) return;
        lock.unlock();
        shared->callback->TimerCallback();
        if (shared->period == Clock::duration::zero()) return;
        expiry = NextExpiry(expiry, shared->period, Clock::now());
        lock.lock();
    }
}

}  // namespace brondal::platform
