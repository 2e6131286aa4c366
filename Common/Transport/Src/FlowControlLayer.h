#pragma once

#include <cstdint>
#include <memory>

#include "IFlowControl.h"
#include "ITransportLayer.h"

namespace brondal {

// Paces first-time sends with the connection's congestion window: each paced packet
// carries the sender's clock, and the receiver answers it with the measured one-way delay
// and the packet's size once the packet has been delivered.
class FlowControlLayer final : public ITransportLayer {
public:
    // keepAlive holds whatever the lower layer needs (adapter and connection) while an
    // acknowledgement task waits to run; it may be null when the lower layer is standalone.
    FlowControlLayer(IRefCount* keepAliveAdapter, IRefCount* keepAliveConnection,
                     std::uint32_t peerAddress, std::uint16_t peerPort,
                     std::unique_ptr<IFlowControl> flowControl,
                     std::unique_ptr<ITransportLayer> lower);

    Result Send(IDataStream* packet, std::uint32_t timeoutMs) override;
    Result Receive(RefPtr<IDataStream>& stream, RefPtr<ITransport::PostReceiveTask>& task) override;
    Result Connect(const UUID& connectionId, const UUID& sessionId, bool reconnect) override;
    Result Disconnect() override;

    bool IsActive() const { return active_; }

private:
    IRefCount* adapter_;
    IRefCount* connection_;
    std::uint32_t peerAddress_;
    std::uint16_t peerPort_;
    std::unique_ptr<IFlowControl> flowControl_;
    std::unique_ptr<ITransportLayer> lower_;
    bool active_ = true;
    UUID connectionId_;
};

}  // namespace brondal
