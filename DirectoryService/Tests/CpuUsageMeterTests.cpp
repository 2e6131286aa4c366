// The processor-usage meter against times the test sets.
#include "CpuUsageMeter.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "ManualClockScheduler.h"

namespace brondal::corvane::server {
namespace {

class FakeSource final : public CpuUsageMeter::TimeSource {
public:
    std::uint64_t GetTickCount64() override { return tick; }
    std::optional<CpuTimes> GetSystemTimes() override {
        ++systemReads;
        if (std::function<void()> f = std::exchange(duringRead, nullptr)) f();  // once
        return systemAvailable ? std::optional(system) : std::nullopt;
    }
    std::optional<CpuTimes> GetProcessTimes() override { return process; }

    // The machine's time is split between kernel (with idle) and user, the process's too.
    void Advance(std::uint64_t ms, std::uint64_t machine, std::uint64_t own) {
        tick += ms;
        system.kernel += machine - machine / 4;
        system.user += machine / 4;
        process.kernel += own / 2;
        process.user += own - own / 2;
    }

    std::uint64_t tick = 10000;
    CpuTimes system{5000000, 1000000};
    CpuTimes process{30000, 70000};
    bool systemAvailable = true;
    int systemReads = 0;
    std::function<void()> duringRead;
};

TEST(CpuUsageMeterTest, ShareOfAllProcessorTimeOnceTwoSamplesExist) {
    FakeSource source;
    CpuUsageMeter meter(source);
    EXPECT_EQ(meter.Sample(), -1);  // the reference point only
    source.Advance(1000, 4000000, 1000000);
    EXPECT_EQ(meter.Sample(), 25);
    source.Advance(1000, 3000000, 1000000);
    EXPECT_EQ(meter.Sample(), 33);  // 33.3 truncated

    // 250 ms or less after the last sample: the last value, and nothing is read.
    source.Advance(CpuUsageMeter::CpuSampleMinIntervalMs, 1000, 1000);
    EXPECT_EQ(meter.Sample(), 33);
    EXPECT_EQ(source.systemReads, 3);
    source.Advance(1, 1000, 0);  // measured from the last real sample
    EXPECT_EQ(meter.Sample(), 50);
}

TEST(CpuUsageMeterTest, NoMachineTimeOrNoTimesAtAllKeepTheLastValue) {
    FakeSource source;
    CpuUsageMeter meter(source);
    meter.Sample();
    source.Advance(300, 1000, 500);
    EXPECT_EQ(meter.Sample(), 50);
    source.Advance(300, 0, 500);  // no machine time: no value, but a new reference point
    EXPECT_EQ(meter.Sample(), 50);
    source.Advance(300, 1000, 100);
    EXPECT_EQ(meter.Sample(), 10);

    source.systemAvailable = false;
    source.Advance(300, 1000, 1000);
    EXPECT_EQ(meter.Sample(), 10);
    source.systemAvailable = true;  // measured over both intervals
    source.Advance(300, 3000, 0);
    EXPECT_EQ(meter.Sample(), 25);
}

TEST(CpuUsageMeterTest, ACallerDuringASampleGetsTheLastValueWithoutSampling) {
    FakeSource source;
    CpuUsageMeter meter(source);
    meter.Sample();
    source.Advance(300, 1000, 200);
    meter.Sample();
    source.Advance(300, 1000, 700);
    int inner = 0;
    source.duringRead = [&] { inner = meter.Sample(); };  // as if from another thread
    EXPECT_EQ(meter.Sample(), 70);
    EXPECT_EQ(inner, 20);
    EXPECT_EQ(source.systemReads, 3);
}

TEST(CpuUsageMeterTest, SchedulerTickIsWidenedAcrossTheWrap) {
    testing::ManualClockScheduler clock;
    CpuUsageMeter::SystemTimeSource source;
    clock.SetTickCount(0xffffff00u);
    const std::uint64_t start = source.GetTickCount64();
    clock.AdvanceMs(0x200);
    EXPECT_EQ(source.GetTickCount64(), start + 0x200);
    clock.AdvanceMs(-50);  // a test clock stepping back counts as no time
    EXPECT_EQ(source.GetTickCount64(), start + 0x200);
    clock.AdvanceMs(100);
    EXPECT_EQ(source.GetTickCount64(), start + 0x200 + 100);
}

}  // namespace
}  // namespace brondal::corvane::server
