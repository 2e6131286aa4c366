// The congestion window's arithmetic, on a clock the test moves.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "FlowControl.h"
#include "ManualClockScheduler.h"
#include "MyFactory.h"

namespace brondal {
namespace {

constexpr std::int64_t Minute = MyFactory::MinuteMs;

// The adapter's monitor, for one thread: a wait lets the test's clock run for its timeout.
class ClockMonitor final : public Scheduler::Monitor {
public:
    explicit ClockMonitor(testing::ManualClockScheduler* clock) : clock_(clock) {}
    Result Restore(std::int32_t) override { return ResultOk; }
    Result Enter() override { return ResultOk; }
    Result ExitAll(std::int32_t* count) override {
        *count = 1;
        return ResultOk;
    }
    Result Exit() override { return ResultOk; }
    Result Wait(std::int32_t ms) override {
        waitedMs += ms;
        clock_->AdvanceMs(ms);
        return ResultOk;
    }
    Result NotifyAll() override {
        ++notifications;
        return ResultOk;
    }
    std::int64_t waitedMs = 0;
    int notifications = 0;

private:
    testing::ManualClockScheduler* clock_;
};

class FlowControlTests : public ::testing::Test {
protected:
    FlowControl& Window() { return *window_; }
    // Lets unacked go past the window, which marks it as just filled.
    void Fill() {
        while (window_->Unacked() <= window_->Window())
            ASSERT_TRUE(window_->OnWrite(4107, 0));
    }

    testing::ManualClockScheduler clock_;
    ClockMonitor monitor_{&clock_};
    std::shared_ptr<MyFactory> factory_ = std::make_shared<MyFactory>(0, &monitor_);
    std::unique_ptr<FlowControl> window_{static_cast<FlowControl*>(factory_->Create().release())};
};

TEST_F(FlowControlTests, FreshWindowAdmitsUpTo8192UnackedAndHoldsMore) {
    EXPECT_TRUE(Window().OnWrite(4096, 0));
    EXPECT_TRUE(Window().OnWrite(4096, 0));
    // 8192 unacked is not above the window: one more packet may overshoot it.
    EXPECT_TRUE(Window().OnWrite(1, 0));
    EXPECT_EQ(Window().Unacked(), 8193);
    EXPECT_FALSE(Window().OnWrite(1, 0));
    EXPECT_EQ(monitor_.waitedMs, 0);

    // A writer with time to spare waits it out in full, then gives up.
    EXPECT_FALSE(Window().OnWrite(1, 250));
    EXPECT_EQ(monitor_.waitedMs, 250);
    EXPECT_EQ(Window().Unacked(), 8193);

    // An acknowledgement brings unacked back under the window and wakes the writers.
    Window().OnAck(20, 4096);
    EXPECT_EQ(Window().Unacked(), 4097);
    EXPECT_EQ(monitor_.notifications, 1);
    EXPECT_TRUE(Window().OnWrite(4107, 0));
    // Acknowledging more than is unacked leaves nothing unacked.
    Window().OnAck(20, 10000);
    EXPECT_EQ(Window().Unacked(), 0);
}

TEST_F(FlowControlTests, SlowStartGrowsByAFullStepAndLargeDelayShrinksInProportion) {
    Fill();
    Window().OnAck(10, 1);
    EXPECT_EQ(Window().Window(), 8192 + 4096);
    Window().OnAck(10, 1);
    ASSERT_EQ(Window().Window(), 16384);
    ASSERT_TRUE(Window().InSlowStart());

    // q = 200 with acked = window: the whole step down, and the end of slow start.
    Window().OnAck(210, 16384);
    EXPECT_FALSE(Window().InSlowStart());
    EXPECT_EQ(Window().Window(), 12288);

    // Past slow start, q = 40 grows it by 4096 * 60% * acked / window, truncated.
    Fill();
    Window().OnAck(50, 6144);
    EXPECT_EQ(Window().Window(), 12288 + 1228);
}

TEST_F(FlowControlTests, WindowNeverShrinksBelow8192) {
    Window().OnAck(10, 1);
    Window().OnAck(210, 8192);
    EXPECT_FALSE(Window().InSlowStart());
    EXPECT_EQ(Window().Window(), 8192);
}

TEST_F(FlowControlTests, WindowNotFilledForOverASecondDoesNotGrow) {
    Fill();
    clock_.AdvanceMs(1000);
    Window().OnAck(10, 1);
    EXPECT_EQ(Window().Window(), 12288);
    clock_.AdvanceMs(1);
    Window().OnAck(10, 1);
    EXPECT_EQ(Window().Window(), 12288);
}

TEST_F(FlowControlTests, ResetStartsAFreshWindowAndForgetsThePeersDelays) {
    Fill();
    Window().OnAck(10, 1);
    Window().OnAck(500, 1);
    Window().Reset();
    EXPECT_EQ(Window().Window(), 8192);
    EXPECT_EQ(Window().Unacked(), 0);
    EXPECT_TRUE(Window().InSlowStart());
    EXPECT_EQ(factory_->UpdateBaseDelay(300), 300);
}

TEST_F(FlowControlTests, PeerSuppliedExtremesNeitherOverflowNorStall) {
    Fill();
    Window().OnAck(10, 0);
    Window().OnAck(210, 0);
    ASSERT_FALSE(Window().InSlowStart());
    ASSERT_EQ(Window().Window(), 12288);
    // A size whose 64-bit product with 100 wraps to zero.
    Window().OnAck(10, std::int64_t{1} << 62);
    EXPECT_EQ(Window().Unacked(), 0);
    EXPECT_EQ(Window().Window(), 12288);

    // Delays whose difference exceeds the 64-bit range: a queuing delay far above target.
    Window().OnAck(std::numeric_limits<std::int64_t>::min(), 0);
    Window().OnAck(std::numeric_limits<std::int64_t>::max(), 16384);
    EXPECT_EQ(Window().Window(), 8192);

    // A negative size would raise unacked and hold every writer.
    ASSERT_TRUE(Window().OnWrite(100, 0));
    Window().OnAck(10, -1000000);
    EXPECT_EQ(Window().Unacked(), 100);
}

TEST_F(FlowControlTests, BaseDelayIsTheMinimumOfTheLastTenClockMinutes) {
    EXPECT_EQ(factory_->UpdateBaseDelay(50), 50);
    EXPECT_EQ(factory_->UpdateBaseDelay(30), 30);
    EXPECT_EQ(factory_->UpdateBaseDelay(40), 30);
    clock_.AdvanceMs(9 * Minute);
    EXPECT_EQ(factory_->UpdateBaseDelay(70), 30);
    // Ten minutes after the 30 it has rotated out.
    clock_.AdvanceMs(Minute);
    EXPECT_EQ(factory_->UpdateBaseDelay(80), 70);
    // After ten idle minutes only the newest sample remains.
    clock_.AdvanceMs(25 * Minute);
    EXPECT_EQ(factory_->UpdateBaseDelay(500), 500);
    // A clock that went back rotates once.
    clock_.AdvanceMs(-3 * Minute);
    EXPECT_EQ(factory_->UpdateBaseDelay(600), 500);
    // Windows to the same peer share the history.
    std::unique_ptr<IFlowControl> other = factory_->Create();
    other->Reset();
    EXPECT_EQ(factory_->UpdateBaseDelay(900), 900);
}

}  // namespace
}  // namespace brondal
