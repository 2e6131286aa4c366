// Clocks, time parts, identifiers and the other services of the scheduler.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <thread>

#include "ManualClockScheduler.h"
#include "Scheduler.h"
#include "SchedulerOverride.h"
#include "SharedThread.h"

namespace brondal {

// Kept out of line and visible to the dynamic linker (not in the unnamed namespace), so that
// the trace has a named frame of ours to find.
__attribute__((noinline)) std::string TraceFromNamedFrame() {
    std::string trace;
    GetScheduler().GetStackTrace(&trace);
    return trace;
}

namespace {

TEST(TimePartsTest, ConvertsBothWays) {
    EXPECT_EQ(MsToTimeParts(1000), (TimeParts{1970, 1, 1, 0, 0, 1, 0}));
    EXPECT_EQ(MsToTimeParts(0), TimeParts{});
    // 2017-07-11 09:05:03.042, and the leap day of 2024.
    const TimeParts july{2017, 7, 11, 9, 5, 3, 42};
    EXPECT_EQ(MsToTimeParts(TimePartsToMs(july)), july);
    EXPECT_EQ(TimePartsToMs(july), 1499763903042);
    const TimeParts leap{2024, 2, 29, 23, 59, 59, 999};
    EXPECT_EQ(MsToTimeParts(TimePartsToMs(leap)), leap);
    EXPECT_EQ(MsToTimeParts(TimePartsToMs(leap) + 1), (TimeParts{2024, 3, 1, 0, 0, 0, 0}));
}

TEST(TimePartsTest, UnconvertibleValuesGiveTheEpoch) {
    EXPECT_EQ(MsToTimeParts(-1), TimeParts{});
    EXPECT_EQ(MsToTimeParts(TimePartsToMs({30828, 1, 1, 0, 0, 0, 0})), TimeParts{});
    EXPECT_EQ(MsToTimeParts(TimePartsToMs({30827, 12, 31, 23, 59, 59, 999})).year, 30827);
}

TEST(ClockTest, RealClocksAgreeWithTheSystem) {
    Scheduler& s = GetScheduler();
    const std::int64_t now = s.GetTimeMs();
    const std::int64_t system = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    EXPECT_LE(std::llabs(now - system), 1000);
    // Local time differs from UTC by the zone offset: whole quarter hours, at most 14 h.
    const std::int64_t offset = s.GetLocalTimeMs() - s.GetTimeMs();
    EXPECT_LE(std::llabs(offset), 14 * 3600000 + 1000);

    TimeParts utc;
    s.GetUtcTimeParts(&utc);
    EXPECT_GE(utc.year, 2024);

    const std::int64_t m1 = s.GetTickCount64();
    EXPECT_LE(s.GetTickCount64() - m1, 1000);
    EXPECT_GE(s.GetTickCount64(), m1);

    const std::uint32_t t1 = s.GetTickCount();
    const std::uint32_t t2 = s.GetTickCount();
    EXPECT_LE(static_cast<std::uint32_t>(t2 - t1), 1000u);  // monotonic, modulo wrap
}

TEST(ClockTest, ManualClockReplacesTheProcessSchedulerForItsLifetime) {
    Scheduler* before = &GetScheduler();
    {
        testing::ManualClockScheduler clock(1000, 3600000);
        EXPECT_EQ(&GetScheduler(), &clock);
        EXPECT_EQ(GetScheduler().GetTimeMs(), 1000);
        EXPECT_EQ(GetScheduler().GetLocalTimeMs(), 3601000);
        TimeParts parts;
        GetScheduler().GetUtcTimeParts(&parts);
        EXPECT_EQ(parts, (TimeParts{1970, 1, 1, 0, 0, 1, 0}));
        GetScheduler().GetLocalTimeParts(&parts);
        EXPECT_EQ(parts.hour, 1);

        const std::uint32_t tick = clock.GetTickCount();
        clock.AdvanceMs(300000);
        EXPECT_EQ(GetScheduler().GetTimeMs(), 301000);
        EXPECT_EQ(GetScheduler().GetTickCount(), tick + 300000);
        clock.SetTickCount(0xFFFFFFF0u);
        clock.AdvanceMs(0x20);
        EXPECT_EQ(GetScheduler().GetTickCount(), 0x10u);  // wraps like the real one

        // Setting the wall clock, or stepping it back, leaves the monotonic clock alone.
        const std::int64_t tick64 = GetScheduler().GetTickCount64();
        clock.SetTimeMs(5);
        clock.AdvanceMs(-60000);
        EXPECT_EQ(GetScheduler().GetTickCount64(), tick64);
        clock.AdvanceMs(250);
        EXPECT_EQ(GetScheduler().GetTickCount64(), tick64 + 250);
    }
    EXPECT_EQ(&GetScheduler(), before);
}

TEST(SchedulerTest, SharedThreadMarkNestsAndStaysOnItsThread) {
    EXPECT_FALSE(IsSharedThread());
    {
        SharedThreadScope outer;
        {
            SharedThreadScope inner;
            EXPECT_TRUE(IsSharedThread());
        }
        EXPECT_TRUE(IsSharedThread());
        bool other = true;
        std::thread([&] { other = IsSharedThread(); }).join();
        EXPECT_FALSE(other);
    }
    EXPECT_FALSE(IsSharedThread());
}

TEST(SchedulerTest, ThreadIdsAreNonZeroAndDistinct) {
    Scheduler& s = GetScheduler();
    const std::uint32_t mine = s.GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(s.GetCurrentThreadId(), mine);
    std::uint32_t other = 0;
    std::thread([&] { other = GetScheduler().GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(SchedulerTest, InvokeCallsAndRejectsAnEmptyFunction) {
    int calls = 0;
    GetScheduler().Invoke([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(GetScheduler().Invoke(std::function<void()>()), std::bad_function_call);
}

TEST(SchedulerTest, StackTraceNamesTheCallersFrames) {
    const std::string trace = TraceFromNamedFrame();
    const std::string head =
        "stack trace for thread " + std::to_string(GetScheduler().GetCurrentThreadId()) + " has ";
    ASSERT_EQ(trace.rfind(head, 0), 0u) << trace;
    EXPECT_NE(trace.find(" frames\n  "), std::string::npos);
    EXPECT_NE(trace.find("TraceFromNamedFrame"), std::string::npos) << trace;
    EXPECT_EQ(trace.substr(trace.size() - 2), "\n\n");
}

TEST(SchedulerTest, CreateTimerHandsOutAnUnstartedTimer) {
    ITimer* timer = nullptr;
    ASSERT_EQ(GetScheduler().CreateTimer(&timer), ResultOk);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->Release(), 0);
    EXPECT_EQ(GetScheduler().CreateTimer(nullptr), ResultNullPointer);
}

}  // namespace
}  // namespace brondal
