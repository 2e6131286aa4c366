#include "FlowControl.h"

#include <algorithm>

#include "LockGuard.h"
#include "LogCall.h"

namespace brondal {

namespace {

using Wide = __int128;

// Queuing delays are capped here before the window arithmetic: far beyond any real delay
// (about 35 years), and small enough that the products below cannot overflow.
constexpr std::int64_t MaxQueuingDelayMs = std::int64_t{1} << 40;

}  // namespace

FlowControl::FlowControl(std::shared_ptr<MyFactory> factory) : factory_(std::move(factory)) {}

bool FlowControl::OnWrite(std::int64_t bytes, std::int32_t timeoutMs) {
    Scheduler::Monitor& monitor = factory_->Monitor();
    MonitorGuard guard(monitor);
    if (bytes > MaxPacket) {
        LOG_SEVERE("got %lld byte packet in FlowControlImpl", static_cast<long long>(bytes));
        GetScheduler().Abort();
    }
    // The clock is read only when the window is full: an open one admits at once.
    const std::int64_t start = unacked_ > window_ ? GetScheduler().GetTickCount64() : 0;
    while (unacked_ > window_) {
        const std::int64_t elapsed = GetScheduler().GetTickCount64() - start;
        if (elapsed >= timeoutMs) break;
        (void)monitor.Wait(static_cast<std::int32_t>(timeoutMs - elapsed));
    }
    if (unacked_ <= window_) {
        if (factory_->Verbose()) {
            LOG_INFO("write %lld unacked %lld window %lld avg %lld", static_cast<long long>(bytes),
                     static_cast<long long>(unacked_), static_cast<long long>(window_),
                     static_cast<long long>(Average()));
            windowSum_ += window_;
            samples_ += 1;
        }
        unacked_ += bytes;
        if (unacked_ > window_) lastFull_ = GetScheduler().GetTickCount64();
        return true;
    }
    LOG_SEVERE("on timeout (%lld vs %lld) write %lld unacked %lld window %lld avg %lld",
               static_cast<long long>(GetScheduler().GetTickCount64() - start),
               static_cast<long long>(timeoutMs), static_cast<long long>(bytes),
               static_cast<long long>(unacked_), static_cast<long long>(window_),
               static_cast<long long>(Average()));
    return false;
}

void FlowControl::OnAck(std::int64_t delay, std::int64_t acked) {
    Scheduler::Monitor& monitor = factory_->Monitor();
    MonitorGuard guard(monitor);
    // Both values come from the peer. A negative size would raise unacked and stall the
    // writers until the next socket loss.
    if (acked < 0) {
        LOG_SEVERE("ignoring acknowledgement of %lld bytes", static_cast<long long>(acked));
        return;
    }
    const std::int64_t base = factory_->UpdateBaseDelay(delay);
    // base never exceeds delay, but the difference of two peer-supplied values can exceed
    // the 64-bit range.
    std::int64_t q = static_cast<std::int64_t>(
        std::min<Wide>(Wide{delay} - Wide{base}, Wide{MaxQueuingDelayMs}));
    if (factory_->Verbose()) {
        LOG_INFO("ack %lld unacked %lld window %lld delay %lld-%lld=%lld",
                 static_cast<long long>(acked), static_cast<long long>(unacked_),
                 static_cast<long long>(window_), static_cast<long long>(delay),
                 static_cast<long long>(base), static_cast<long long>(q));
    }
    if (q > TargetDelayMs) {
        slowStart_ = false;
    } else if (GetScheduler().GetTickCount64() > lastFull_ + IdleMs) {
        // The window has not been full in the last second: no reason to grow it.
        q = TargetDelayMs;
    }
    const std::int64_t f = slowStart_ ? 1 : std::min(acked, window_);
    const std::int64_t g = slowStart_ ? 1 : std::max(window_, acked);
    // Wide arithmetic: with acked near 2^62, g * 100 would wrap in 64 bits, to 0 at worst.
    const Wide gain = Wide{TargetDelayMs - q} * f * MaxGain / (Wide{g} * 100);
    const Wide grown = std::min<Wide>(Wide{window_} + gain, Wide{window_} + MaxGain);
    window_ = grown <= MinWindow ? MinWindow : static_cast<std::int64_t>(grown);
    unacked_ = acked >= unacked_ ? 0 : unacked_ - acked;
    if (unacked_ < window_) (void)monitor.NotifyAll();
}

void FlowControl::Reset() {
    Scheduler::Monitor& monitor = factory_->Monitor();
    MonitorGuard guard(monitor);
    factory_->ResetHistory();
    unacked_ = 0;
    window_ = MinWindow;
    slowStart_ = true;
    windowSum_ = 0;
    samples_ = 0;
    (void)monitor.NotifyAll();
}

}  // namespace brondal
