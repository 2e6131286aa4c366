#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ITimer.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto Bound = testing::Soon;

RefPtr<ITimer> NewTimer() {
    RefPtr<ITimer> timer;
    EXPECT_EQ(GetScheduler().CreateTimer(timer.Receive()), ResultOk);
    return timer;
}

struct Call {
    Clock::time_point start;
    Clock::time_point end;
    std::thread::id thread;
};

// Records every call; the body, when given, runs inside the call with the call's number (1
// for the first).
class RecordingCallback final : public ITimer::ITimerCallback {
public:
    explicit RecordingCallback(std::function<void(std::size_t)> body = {})
        : body_(std::move(body)) {}

    void TimerCallback() override {
        if (inside_.exchange(true)) overlapped_ = true;
        Call call{Clock::now(), {}, std::this_thread::get_id()};
        if (body_) body_(++entered_);
        call.end = Clock::now();
        inside_ = false;
        // Notified under the lock: a waiter that returns may destroy the callback at once.
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        changed_.notify_all();
    }

    // True when at least count calls have returned within the bound.
    bool WaitForCalls(std::size_t count, Clock::duration bound) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return calls_.size() >= count; });
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    bool Overlapped() const { return overlapped_; }

private:
    std::function<void(std::size_t)> body_;
    std::atomic<bool> inside_{false};
    std::atomic<bool> overlapped_{false};
    std::atomic<std::size_t> entered_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

// A one-way signal with a bounded wait.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool WaitOpen(Clock::duration bound) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

TEST(TimerStart, RefusesNullCallbackAndSecondStart) {
    RecordingCallback callback;
    RefPtr<ITimer> timer = NewTimer();
    EXPECT_EQ(timer->Start(10, nullptr, 0), ResultInvalidArgument);
    // The refused Start left the timer unstarted. The due time is far away, so the release
    // below also shows that stopping does not wait for the next expiry.
    EXPECT_EQ(timer->Start(10, &callback, 3600000), ResultOk);
    EXPECT_EQ(timer->Start(10, &callback, 0), ResultAlreadyInitialized);
    EXPECT_EQ(timer->Start(10, nullptr, 0), ResultAlreadyInitialized);

    const auto released = Clock::now();
    timer.Reset();
    EXPECT_LT(Clock::now() - released, Bound);
    EXPECT_TRUE(callback.Calls().empty());

    RefPtr<ITimer> unstarted = NewTimer();
    unstarted.Reset();
}

TEST(TimerExpiry, OneShotFiresOnceOnATimerThreadNotBeforeItIsDue) {
    RecordingCallback immediate;
    RecordingCallback delayed;
    RefPtr<ITimer> first = NewTimer();
    RefPtr<ITimer> second = NewTimer();
    const auto started = Clock::now();
    ASSERT_EQ(first->Start(0, &immediate, 0), ResultOk);
    ASSERT_EQ(second->Start(0, &delayed, 30), ResultOk);

    ASSERT_TRUE(immediate.WaitForCalls(1, Bound));
    ASSERT_TRUE(delayed.WaitForCalls(1, Bound));
    EXPECT_FALSE(delayed.WaitForCalls(2, 100ms));
    first.Reset();
    second.Reset();

    ASSERT_EQ(immediate.Calls().size(), 1u);
    ASSERT_EQ(delayed.Calls().size(), 1u);
    EXPECT_GE(delayed.Calls()[0].start - started, 30ms);
    EXPECT_NE(immediate.Calls()[0].thread, std::this_thread::get_id());
}

TEST(TimerExpiry, PeriodicCallsNeverComeEarly) {
    RecordingCallback callback;
    RefPtr<ITimer> timer = NewTimer();
    const auto started = Clock::now();
    ASSERT_EQ(timer->Start(10, &callback, 20), ResultOk);
    ASSERT_TRUE(callback.WaitForCalls(6, Bound));
    timer.Reset();

    // Each call fires for its own expiry, so call k comes no sooner than expiry k.
    const std::vector<Call> calls = callback.Calls();
    for (std::size_t k = 0; k < calls.size(); ++k) {
        EXPECT_GE(calls[k].start - started, 20ms + static_cast<int>(k) * 10ms) << "call " << k;
    }
}

TEST(TimerExpiry, LongCallbacksNeverOverlapAndMissedExpiriesAreDropped) {
    constexpr std::size_t LongCalls = 3;
    constexpr auto Period = 20ms;
    RecordingCallback callback([](std::size_t call) {
        if (call <= LongCalls) std::this_thread::sleep_for(70ms);
    });
    RefPtr<ITimer> timer = NewTimer();
    ASSERT_EQ(timer->Start(static_cast<std::uint32_t>(Period.count()), &callback, 0), ResultOk);
    ASSERT_TRUE(callback.WaitForCalls(LongCalls + 8, Bound));
    timer.Reset();

    const std::vector<Call> calls = callback.Calls();
    EXPECT_FALSE(callback.Overlapped());
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        EXPECT_GE(calls[i + 1].start, calls[i].end) << "call " << i;
    }
    // About ten expiries fell due during the long calls. Queued, they would fire in a burst
    // once the callback became quick; dropped, each call after it needs an expiry of its
    // own, and only three or four fall into three periods.
    const auto quick = calls[LongCalls - 1].end;
    const auto burst = std::count_if(calls.begin(), calls.end(), [&](const Call& call) {
        return call.start >= quick && call.start < quick + 3 * Period;
    });
    EXPECT_LE(burst, 5);
}

TEST(TimerExpiry, SlowCallbackDoesNotDelayOtherTimers) {
    Gate gate;
    Gate blocked;
    RecordingCallback slow([&](std::size_t) {
        blocked.Open();
        gate.WaitOpen(Bound);
    });
    RecordingCallback quick;
    RefPtr<ITimer> slowTimer = NewTimer();
    RefPtr<ITimer> quickTimer = NewTimer();
    ASSERT_EQ(slowTimer->Start(5, &slow, 0), ResultOk);
    ASSERT_TRUE(blocked.WaitOpen(Bound));
    ASSERT_EQ(quickTimer->Start(5, &quick, 0), ResultOk);

    EXPECT_TRUE(quick.WaitForCalls(5, Bound));
    EXPECT_TRUE(slow.Calls().empty());
    gate.Open();
    slowTimer.Reset();
    quickTimer.Reset();
}

TEST(TimerRelease, WaitsForTheRunningCallbackAndStopsTheCalls) {
    Gate entered;
    std::atomic<bool> finished{false};
    RecordingCallback callback([&](std::size_t call) {
        if (call != 1) return;
        entered.Open();
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    RefPtr<ITimer> timer = NewTimer();
    ASSERT_EQ(timer->Start(10, &callback, 0), ResultOk);
    ASSERT_TRUE(entered.WaitOpen(Bound));

    timer.Reset();
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(callback.WaitForCalls(callback.Calls().size() + 1, 50ms));
}

TEST(TimerRelease, ManyTimersRunTogetherAndReleaseCleanly) {
    constexpr std::size_t Count = 50;
    std::vector<std::unique_ptr<RecordingCallback>> callbacks;
    std::vector<RefPtr<ITimer>> timers;
    for (std::size_t i = 0; i < Count; ++i) {
        callbacks.push_back(std::make_unique<RecordingCallback>());
        timers.push_back(NewTimer());
        ASSERT_EQ(timers.back()->Start(5, callbacks.back().get(), i % 5), ResultOk);
    }
    for (auto& callback : callbacks) {
        EXPECT_TRUE(callback->WaitForCalls(3, Bound));
    }
    // Released before the callbacks are destroyed; the sanitizer builds report a late call.
    timers.clear();
    for (auto& callback : callbacks) {
        EXPECT_FALSE(callback->Overlapped());
    }
    callbacks.clear();
}

TEST(TimerRelease, ReleaseFromTheTimersOwnCallbackIsSafe) {
    // The callback holds the last reference and drops it in its first call.
    ITimer* timer = NewTimer().Detach();
    RecordingCallback callback([&](std::size_t call) {
        if (call == 1) timer->Release();
    });
    ASSERT_EQ(timer->Start(5, &callback, 0), ResultOk);
    ASSERT_TRUE(callback.WaitForCalls(1, Bound));
    // Ten more periods: a timer that kept running would have called again.
    EXPECT_FALSE(callback.WaitForCalls(2, 50ms));
}

}  // namespace
}  // namespace brondal
