#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "IFlowControl.h"
#include "MyFactory.h"

namespace brondal {

// A delay-based congestion window: it grows while the queuing delay (the measured one-way
// delay above the peer's base delay) stays under 100 ms and shrinks in proportion above
// it. All state is guarded by the factory's monitor.
//
// Clocks: the delays come from timestamps the two ends exchange, so they and the base-delay
// history are on the wall clock (GetTimeMs); the wait for room and the test whether the
// window was full in the last second are local durations, on the monotonic clock, so that a
// step of the wall clock neither stretches a wait nor makes an idle window look busy.
class FlowControl final : public IFlowControl {
public:
    static constexpr std::int64_t MinWindow = 8192;
    // The most a window may grow per acknowledgement.
    static constexpr std::int64_t MaxGain = 4096;
    static constexpr std::int64_t TargetDelayMs = 100;
    // A window not filled for this long does not grow.
    static constexpr std::int64_t IdleMs = 1000;
    // Larger packets mean a fault in the layers above: fragments carry at most 4107 bytes.
    static constexpr std::int64_t MaxPacket = 8192;

    explicit FlowControl(std::shared_ptr<MyFactory> factory);

    bool OnWrite(std::int64_t bytes, std::int32_t timeoutMs) override;
    bool IsOpen() const override { return unacked_ <= window_; }
    void OnAck(std::int64_t delay, std::int64_t acked) override;
    void Reset() override;

    std::int64_t Window() const { return window_; }
    std::int64_t Unacked() const { return unacked_; }
    bool InSlowStart() const { return slowStart_; }

private:
    std::int64_t Average() const { return samples_ == 0 ? 0 : windowSum_ / samples_; }

    std::shared_ptr<MyFactory> factory_;
    std::int64_t unacked_ = 0;
    std::int64_t window_ = MinWindow;
    std::int64_t windowSum_ = 0;
    std::int64_t samples_ = 0;
    bool slowStart_ = true;
    // Monotonic clock (GetTickCount64) when a granted write last left unacked above the
    // window; far in the past until the first one, so that a fresh window counts as idle.
    std::int64_t lastFull_ = std::numeric_limits<std::int64_t>::min() / 2;
};

}  // namespace brondal
