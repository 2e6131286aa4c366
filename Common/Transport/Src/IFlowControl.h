#pragma once

#include <cstdint>
#include <memory>

namespace brondal {

// The congestion window of one layered connection: paced writes ask it for room and
// acknowledgements give room back.
class IFlowControl {
public:
    // Makes the windows of the connections that share per-peer state.
    class Factory {
    public:
        virtual ~Factory() = default;
        virtual std::unique_ptr<IFlowControl> Create() = 0;
    };

    virtual ~IFlowControl() = default;
    // Waits up to timeoutMs for the window to admit a packet of the given size; false when it
    // did not.
    virtual bool OnWrite(std::int64_t bytes, std::int32_t timeoutMs) = 0;
    // Whether a packet would be admitted now (unacknowledged bytes within the window), without
    // waiting and without the time-out report.
    virtual bool IsOpen() const = 0;
    // One acknowledgement: the packet's measured one-way delay and its size.
    virtual void OnAck(std::int64_t delay, std::int64_t acked) = 0;
    // Back to a fresh window, after the socket was lost.
    virtual void Reset() = 0;
};

}  // namespace brondal
