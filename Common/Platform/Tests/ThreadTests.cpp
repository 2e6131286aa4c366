// The pass loop of threads: wake semantics, hooks, stop, run info, registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ManualClockScheduler.h"
#include "Thread.h"
#include "ThreadRegistry.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using namespace std::chrono_literals;
using testing::Signal;

// Records what the loop does with it. Each pass may be held at a gate until the test opens
// it, and returns whatever the test queued.
class Recorder : public Thread {
public:
    ~Recorder() override { Stop(); }

    bool OnThreadStart() override {
        signal.Update([&] { ++starts; });
        return startResult;
    }
    bool ThreadFunc() override {
        bool more = false;
        signal.Update([&] {
            ++passes;
            inPass = true;
            if (moreResults > 0) {
                --moreResults;
                more = true;
            }
        });
        signal.WaitUntil([&] { return !holdPasses; }, 60s);
        signal.Update([&] { inPass = false; });
        return more;
    }
    bool OnThreadStop() override {
        signal.Update([&] { ++stops; });
        return true;
    }

    bool WaitForPasses(int n) {
        return signal.WaitUntil([&] { return passes >= n && !inPass; });
    }
    int Passes() {
        int n = 0;
        signal.Update([&] { n = passes; });
        return n;
    }
    using Thread::PlatformThread;

    Signal signal;
    bool startResult = true;
    int moreResults = 0;  // how many passes return true
    bool holdPasses = false;
    bool inPass = false;
    int starts = 0, passes = 0, stops = 0;
};

TEST(ThreadTest, StartTwiceStartsOneThread) {
    Recorder r;
    r.Start(Scheduler::Infinite);
    r.Start(Scheduler::Infinite);
    EXPECT_TRUE(r.IsRunning());
    ASSERT_TRUE(r.WaitForPasses(1));
    r.Stop();
    EXPECT_FALSE(r.IsRunning());
    EXPECT_EQ(r.starts, 1);
    EXPECT_EQ(r.passes, 1);
    EXPECT_EQ(r.stops, 1);
}

TEST(ThreadTest, PassesReturningTrueRunAtOnceThenTheThreadSleepsUntilWoken) {
    Recorder r;
    r.moreResults = 3;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.WaitForPasses(4));
    // The fourth pass returned false: no fifth pass until a wake.
    EXPECT_FALSE(r.signal.WaitUntil([&] { return r.passes > 4; }, 50ms));
    r.Wake();
    EXPECT_TRUE(r.WaitForPasses(5));
}

TEST(ThreadTest, WakeDuringAPassThatReturnsFalseRunsOneMorePass) {
    Recorder r;
    r.holdPasses = true;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.signal.WaitUntil([&] { return r.inPass; }));
    r.Wake();  // arrives while the pass runs
    r.signal.Update([&] { r.holdPasses = false; });
    EXPECT_TRUE(r.WaitForPasses(2));
    EXPECT_FALSE(r.signal.WaitUntil([&] { return r.passes > 2; }, 50ms));
}

TEST(ThreadTest, StopOnASleepingThreadReturnsAfterTheStopHook) {
    Recorder r;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.WaitForPasses(1));
    r.Stop();
    EXPECT_EQ(r.stops, 1);
    EXPECT_FALSE(r.IsRunning());
    r.Wake();  // harmless without a thread
    r.Stop();  // and so is a second stop
    EXPECT_EQ(r.stops, 1);
}

TEST(ThreadTest, StartHookReturningFalseSkipsTheLoop) {
    Recorder r;
    r.startResult = false;
    r.Start(Scheduler::Infinite);
    r.Stop();
    EXPECT_EQ(r.starts, 1);
    EXPECT_EQ(r.passes, 0);
    EXPECT_EQ(r.stops, 0);
}

TEST(ThreadTest, StartsAgainAfterStop) {
    Recorder r;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.WaitForPasses(1));
    r.Stop();
    r.Start(Scheduler::Infinite);
    EXPECT_TRUE(r.WaitForPasses(2));
    r.Stop();
    EXPECT_EQ(r.starts, 2);
    EXPECT_EQ(r.stops, 2);
}

TEST(ThreadTest, RequestStopEndsTheLoopAfterTheCurrentPass) {
    Recorder r;
    r.holdPasses = true;
    r.moreResults = 100;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.signal.WaitUntil([&] { return r.inPass; }));
    r.PlatformThread().RequestStop();
    EXPECT_TRUE(r.PlatformThread().IsStopRequested());
    r.signal.Update([&] { r.holdPasses = false; });
    EXPECT_TRUE(r.signal.WaitUntil([&] { return r.stops == 1; }));
    EXPECT_EQ(r.passes, 1);
    r.Stop();
}

TEST(ThreadTest, RunInfoReportsTheDurationOfTheCurrentPass) {
    testing::ManualClockScheduler clock;
    Recorder r;
    std::uint64_t id = 0, running = 1;
    std::string text;
    r.PlatformThread().GetRunInfo(&id, &running, &text);
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(text, "trace not available");

    r.holdPasses = true;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.signal.WaitUntil([&] { return r.inPass; }));
    clock.AdvanceMs(1234);
    r.PlatformThread().GetRunInfo(&id, &running, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(running, 1234u);

    r.signal.Update([&] { r.holdPasses = false; });
    ASSERT_TRUE(r.WaitForPasses(1));
    ASSERT_TRUE(testing::PollUntil([&] {
        r.PlatformThread().GetRunInfo(nullptr, &running, nullptr);
        return running == 0;
    }));
    r.Stop();
}

TEST(ThreadTest, RegistryHoldsStartedThreadsUntilDestroyed) {
    const std::size_t before = ThreadRegistry::Instance().Count();
    {
        Recorder r;
        EXPECT_EQ(ThreadRegistry::Instance().Count(), before);
        r.Start(Scheduler::Infinite);
        EXPECT_EQ(ThreadRegistry::Instance().Count(), before + 1);
        bool found = false;
        ThreadRegistry::Instance().ForEach(
            [&](Scheduler::Thread& t) { found |= &t == &r.PlatformThread(); });
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(ThreadRegistry::Instance().Count(), before);
}

TEST(ThreadTest, TerminateAbandonsTheThreadWithoutFurtherCallsIntoIt) {
    Recorder r;
    r.holdPasses = true;
    r.moreResults = 100;
    r.Start(Scheduler::Infinite);
    ASSERT_TRUE(r.signal.WaitUntil([&] { return r.inPass; }));
    r.Terminate();  // returns although the pass is still running
    EXPECT_FALSE(r.IsRunning());
    r.signal.Update([&] { r.holdPasses = false; });
    EXPECT_FALSE(r.signal.WaitUntil([&] { return r.passes > 1 || r.stops > 0; }, 50ms));
}

// A runnable handed to the platform thread with delete-on-exit, as fire-and-forget work.
class SelfDeleting : public Scheduler::Runnable {
public:
    explicit SelfDeleting(Signal* signal, bool* destroyed)
        : signal_(signal), destroyed_(destroyed) {}
    ~SelfDeleting() override {
        signal_->Update([&] { *destroyed_ = true; });
    }
    bool ThreadFunc() override { return false; }

private:
    Signal* signal_;
    bool* destroyed_;
};

TEST(ThreadTest, RunnableWithDeleteOnExitIsDestroyedWhenTheThreadEnds) {
    Signal signal;
    bool destroyed = false;
    auto thread = GetScheduler().CreateThread(new SelfDeleting(&signal, &destroyed), 0, true);
    thread->ThreadStart(Scheduler::Infinite);
    thread->Stop();
    EXPECT_TRUE(signal.WaitUntil([&] { return destroyed; }));
}

// A thread that ends its own life from inside a pass must neither hang nor touch freed
// memory (the sanitizer builds check the latter).
class DeletesItselfInAPass : public Thread {
public:
    explicit DeletesItselfInAPass(Signal* signal, bool* done) : signal_(signal), done_(done) {}
    bool ThreadFunc() override {
        Signal* signal = signal_;
        bool* done = done_;
        Stop();  // from its own thread: must not wait for itself
        delete this;
        signal->Update([&] { *done = true; });
        return false;
    }

private:
    Signal* signal_;
    bool* done_;
};

TEST(ThreadTest, StopAndDestructionFromInsideAPassDoNotHang) {
    Signal signal;
    bool done = false;
    auto* thread = new DeletesItselfInAPass(&signal, &done);
    thread->Start(Scheduler::Infinite);
    EXPECT_TRUE(signal.WaitUntil([&] { return done; }));
}

// Producers queue work and wake; the consumer drains what it finds in each pass.
class Consumer : public Thread {
public:
    ~Consumer() override { Stop(); }
    void Post() {
        pending.fetch_add(1);
        Wake();
    }
    bool ThreadFunc() override {
        const int n = pending.exchange(0);
        done.fetch_add(n);
        return false;
    }
    std::atomic<int> pending{0};
    std::atomic<int> done{0};
};

TEST(ThreadTest, NoWakeIsLostUnderLoad) {
    Consumer consumer;
    consumer.Start(Scheduler::Infinite);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 5000; ++i)
                consumer.Post();
        });
    }
    for (auto& p : producers)
        p.join();
    EXPECT_TRUE(testing::PollUntil([&] { return consumer.done.load() == 20000; }));
}

}  // namespace
}  // namespace brondal
