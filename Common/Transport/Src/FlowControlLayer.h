#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "IFlowControl.h"
#include "ITransportLayer.h"

namespace brondal {

// Paces first-time sends with the connection's congestion window: each paced packet
// carries the sender's clock, and the receiver answers it with the measured one-way delay
// and the packet's size once the packet has been delivered.
//
// Nothing here waits for the window. Send only queues a paced packet (first in, first out:
// a packet never overtakes one queued before it); Pump sends from the front of the queue
// what the window admits now, stamping each packet's header as it leaves, and is run after
// every write and every acknowledgement. A part-way message therefore never fails on a
// healthy socket: its remaining pieces wait in the queue. Losing the socket (Disconnect)
// empties the queue; the resend layer sends the retained messages whole on the next socket.
// The queue holds views of messages the resend layer retains, so their bound (the adapter's
// held-output limits) bounds it too.
//
// Pump releases the adapter's monitor around each socket write (as the network layer does),
// so two threads may call it: one sends at a time, and a call that finds a send under way
// returns at once, leaving the queue to it. Every other operation runs with the monitor held.
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

    // Sends queued packets while the window admits them; the first failure of the layer
    // below (a lost socket), or 0.
    Result Pump();

    bool IsActive() const { return active_; }
    // Nothing is queued and the window admits a packet now.
    bool CanSendNow() const { return queue_.empty() && flowControl_->IsOpen(); }
    std::size_t QueuedPackets() const { return queue_.size(); }

private:
    struct Queued {
        RefPtr<IDataStream> packet;
        // The packet with this layer's header, as the window counts it.
        std::int64_t bytes;
        // When it was handed to this layer (high-resolution counter, for the event log).
        std::int64_t queuedAt;
    };

    Result SendPaced(const Queued& queued, std::uint32_t timeoutMs);

    IRefCount* adapter_;
    IRefCount* connection_;
    std::uint32_t peerAddress_;
    std::uint16_t peerPort_;
    std::unique_ptr<IFlowControl> flowControl_;
    std::unique_ptr<ITransportLayer> lower_;
    bool active_ = true;
    UUID connectionId_;
    std::deque<Queued> queue_;
    // The timeout the queued packets were sent with: they go down as first-time traffic.
    std::uint32_t timeoutMs_ = 1;
    bool pumping_ = false;
};

}  // namespace brondal
