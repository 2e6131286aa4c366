// Locks, events and the monitor, exercised across real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "LockGuard.h"
#include "Scheduler.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using namespace std::chrono_literals;
using testing::Signal;

TEST(MutexTest, RecursiveForOwnerAndTimedForOthers) {
    auto mutex = GetScheduler().CreateMutex();
    ASSERT_EQ(mutex->Lock(Scheduler::Infinite), ResultOk);
    ASSERT_EQ(mutex->Lock(0), ResultOk);  // the owner re-enters at once

    std::thread other([&] {
        EXPECT_EQ(mutex->Lock(0), ResultFail);
        EXPECT_EQ(mutex->Lock(20), ResultFail);
        EXPECT_EQ(mutex->Unlock(), ResultFail);  // not the owner
    });
    other.join();

    EXPECT_EQ(mutex->Unlock(), ResultOk);
    std::thread stillHeld([&] { EXPECT_EQ(mutex->Lock(0), ResultFail); });
    stillHeld.join();
    EXPECT_EQ(mutex->Unlock(), ResultOk);
    EXPECT_EQ(mutex->Unlock(), ResultFail);  // no longer owned by anyone

    std::thread nowFree([&] {
        EXPECT_EQ(mutex->Lock(0), ResultOk);
        EXPECT_EQ(mutex->Unlock(), ResultOk);
    });
    nowFree.join();
}

TEST(MutexTest, WaiterGetsTheMutexWhenReleased) {
    auto mutex = GetScheduler().CreateMutex();
    ASSERT_EQ(mutex->Lock(Scheduler::Infinite), ResultOk);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        EXPECT_EQ(mutex->Lock(10000), ResultOk);
        acquired = true;
        mutex->Unlock();
    });
    EXPECT_FALSE(acquired.load());
    mutex->Unlock();
    waiter.join();
    EXPECT_TRUE(acquired.load());
}

TEST(FastMutexTest, ReenteredLockMustBeUnlockedAsOftenBeforeOthersEnter) {
    auto mutex = GetScheduler().CreateFastMutex();
    mutex->Lock();
    mutex->Lock();
    Signal signal;
    bool entered = false;
    std::thread other([&] {
        FastLockGuard guard(*mutex);
        signal.Update([&] { entered = true; });
    });
    mutex->Unlock();
    EXPECT_FALSE(signal.WaitUntil([&] { return entered; }, 50ms));
    mutex->Unlock();
    EXPECT_TRUE(signal.WaitUntil([&] { return entered; }));
    other.join();
}

// Four threads add to a plain counter under the lock: a lost update, or a thread let in
// while another holds it (re-entered or not), shows in the total. take(t, i) and give(t, i)
// take and let go of the lock for thread t's i-th addition.
template <typename Take, typename Give>
void CountUnderContention(Take take, Give give) {
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                take(t, i);
                ++counter;
                give(t, i);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(FastMutexTest, GuardsACounterUnderContention) {
    auto mutex = GetScheduler().CreateFastMutex();
    CountUnderContention([&](int, int) { (void)mutex->Lock(); },
                         [&](int, int) { (void)mutex->Unlock(); });
}

TEST(MutexTest, GuardsACounterUnderContentionWithTimedUntimedAndReenteredLocks) {
    auto mutex = GetScheduler().CreateMutex();
    CountUnderContention(
        [&](int t, int i) {
            // Threads 0 and 1 wait without end, 2 and 3 with a bound long enough never to
            // run out; every third addition is made with the lock taken twice.
            const std::int32_t timeout = t < 2 ? Scheduler::Infinite : 10000;
            ASSERT_EQ(mutex->Lock(timeout), ResultOk);
            if (i % 3 == 0) {
                ASSERT_EQ(mutex->Lock(0), ResultOk);
            }
        },
        [&](int, int i) {
            if (i % 3 == 0) {
                ASSERT_EQ(mutex->Unlock(), ResultOk);
            }
            ASSERT_EQ(mutex->Unlock(), ResultOk);
        });
    EXPECT_EQ(mutex->Unlock(), ResultFail);  // left free
}

TEST(EventTest, AutoResetReleasesOneWaitAndClears) {
    auto event = GetScheduler().CreateEvent(false, false);
    EXPECT_FALSE(event->Wait(0));
    event->Set();
    EXPECT_TRUE(event->Wait(0));
    EXPECT_FALSE(event->Wait(0));

    auto initially = GetScheduler().CreateEvent(false, true);
    EXPECT_TRUE(initially->Wait(0));
    EXPECT_FALSE(initially->Wait(0));
}

TEST(EventTest, ManualResetStaysSignalledAndReleasesAllWaiters) {
    auto event = GetScheduler().CreateEvent(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (event->Wait(Scheduler::Infinite)) ++released;
        });
    }
    event->Set();
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_TRUE(event->Wait(0));
    event->Reset();
    EXPECT_FALSE(event->Wait(0));
}

TEST(EventTest, SetFromAnotherThreadWakesATimedWait) {
    auto event = GetScheduler().CreateEvent(false, false);
    std::thread setter([&] { event->Set(); });
    EXPECT_TRUE(event->Wait(10000));
    setter.join();
}

// Every monitor test runs on the plain monitor and on the one that spins before sleeping.
class MonitorTest : public ::testing::TestWithParam<bool> {
protected:
    static std::unique_ptr<Scheduler::Monitor> Make() {
        return GetParam() ? GetScheduler().CreateSpinningMonitor() : GetScheduler().CreateMonitor();
    }
};

TEST_P(MonitorTest, ExitByNonOwnerFailsAndChangesNothing) {
    auto monitor = Make();
    EXPECT_EQ(monitor->Exit(), ResultFail);  // nobody owns it
    monitor->Enter();
    std::thread other([&] {
        EXPECT_EQ(monitor->Exit(), ResultFail);
        std::int32_t count = 0;
        EXPECT_EQ(monitor->ExitAll(&count), ResultFail);
        EXPECT_EQ(monitor->Wait(0), ResultFail);
    });
    other.join();
    EXPECT_EQ(monitor->Exit(), ResultOk);  // still owned once by this thread
    EXPECT_EQ(monitor->Exit(), ResultFail);
}

TEST_P(MonitorTest, ExitAllAndRestoreHandOverTheRecursionCount) {
    auto monitor = Make();
    monitor->Enter();
    monitor->Enter();
    monitor->Enter();
    std::int32_t count = 0;
    ASSERT_EQ(monitor->ExitAll(&count), ResultOk);
    EXPECT_EQ(count, 3);

    std::thread other([&] {  // free now: another thread can enter and leave
        EXPECT_EQ(monitor->Enter(), ResultOk);
        EXPECT_EQ(monitor->Exit(), ResultOk);
    });
    other.join();

    ASSERT_EQ(monitor->Restore(count), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultFail);
}

TEST_P(MonitorTest, TimedWaitReleasesEveryLevelAndRestoresThem) {
    auto monitor = Make();
    monitor->Enter();
    monitor->Enter();

    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        monitor->Enter();  // possible only while the owner waits
        otherEntered = true;
        monitor->Exit();
    });
    // Wait returns after its timeout or spuriously; loop on the condition as callers do.
    const auto deadline = std::chrono::steady_clock::now() + testing::Soon;
    while (!otherEntered && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(monitor->Wait(50), ResultOk);
    }
    other.join();
    EXPECT_TRUE(otherEntered.load());
    // The count of 2 came back.
    EXPECT_EQ(monitor->Exit(), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultOk);
    EXPECT_EQ(monitor->Exit(), ResultFail);
}

TEST_P(MonitorTest, NotifyAllWakesAWaiterThatLoopsOnItsCondition) {
    auto monitor = Make();
    bool ready = false;  // guarded by the monitor
    std::thread producer([&] {
        MonitorGuard guard(*monitor);
        ready = true;
        monitor->NotifyAll();
    });
    {
        MonitorGuard guard(*monitor);
        const auto deadline = std::chrono::steady_clock::now() + testing::Soon;
        while (!ready && std::chrono::steady_clock::now() < deadline)
            monitor->Wait(1000);
        EXPECT_TRUE(ready);
    }
    producer.join();
}

TEST_P(MonitorTest, ManyThreadsCountUnderTheMonitor) {
    auto monitor = Make();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                MonitorGuard outer(*monitor);
                MonitorGuard inner(*monitor);
                ++counter;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
}

INSTANTIATE_TEST_SUITE_P(SleepingAndSpinning, MonitorTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Spinning" : "Sleeping"; });

}  // namespace
}  // namespace brondal
