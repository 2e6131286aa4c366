#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "FragmentLayer.h"
#include "ITransportLayer.h"
#include "MyFactory.h"
#include "RateCounter.h"
#include "TransportAdapter.h"

namespace brondal {

class FlowControlLayer;
class NetworkLayer;
class ResendLayer;

// One connection of the adapter: a stable identifier and, at any moment, zero or one
// socket of the inner transport. Every field is guarded by the adapter's monitor.
class TransportAdapter::Connection final : public IResendConnection, public IRefCountImpl {
public:
    // address/port: where an outward connection goes (0 for an accepted one; only outward
    // connections reconnect actively).
    Connection(TransportAdapter* adapter, std::uint32_t address, std::uint16_t port,
               const UUID& socketId);
    ~Connection() override;

    // Stacks resend, fragment and flow-control layers on the network layer; the budget
    // bounds reassembly across the adapter.
    void BuildLayers(std::shared_ptr<MyFactory> factory,
                     std::shared_ptr<FragmentLayer::Budget> budget);

    // IResendConnection
    Result OnConnect(const UUID& peerConnectionId, const UUID& peerSessionId,
                     bool reconnect) override;
    // Queues the message for delivery (the inbox); see TransportAdapter::PreOnDataReady.
    Result OnAccepted(IDataStream* message) override;
    bool Reconnecting() const override { return reconnecting; }
    // Wakes writers waiting for the held output to shrink.
    void OnAcknowledged() override;

    // Connect and Disconnect on every layer in order, stopping at the first failure; only
    // while layered.
    Result ConnectLayers(const UUID& connectionId, const UUID& sessionId, bool reconnect);
    Result DisconnectLayers();

    // Writes one frame to the current socket (monitor held, released for the write), or
    // 0x8000003d without one. Never waits for a reconnect; when the socket fails under
    // first-time traffic (timeoutMs not 0) it starts one.
    Result SendFrame(const UUID& channel, IDataStream* payload, std::uint32_t timeoutMs);

    // Sends what the flow-control window admits of the paced queue (layered only).
    Result Pump();

    // The entry of the stack: the resend layer once built.
    ITransportLayer* Top() const { return top_.get(); }
    NetworkLayer* Network() const { return network_; }
    std::size_t Unacknowledged() const;
    // Bytes held for the peer: the retained (unacknowledged) messages, of which the paced
    // queue holds views.
    std::uint64_t Held() const;
    // Whether a layered connection takes a message now without it waiting behind others:
    // not reconnecting or resending, nothing paced waiting, the window open, and less than
    // highWater held.
    bool TakesMore(std::uint64_t highWater) const;

    // Rate reports.
    void CountWrite();
    void CountRead();
    void CountPreRead();

    TransportAdapter* const adapter;
    const std::uint32_t address;
    const std::uint16_t port;
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    UUID connectionId;
    UUID socketId;
    UUID sessionId;
    // Names this connection, instead of its socket, in the deliveries the inner transport
    // makes of its layered messages (see TransportAdapter::PreOnDataReady). Random, fixed for
    // the connection's life.
    UUID deliveryToken;
    // Layered user messages taken as received and not yet handed to the listeners, in the
    // order the resend layer accepted them: (channel, payload).
    // Bounded by what the inner transport lets wait for delivery: each entry has one
    // delivery posted for it.
    std::deque<std::pair<UUID, RefPtr<IDataStream>>> inbox;
    // A thread is handing the inbox to the listeners; others leave their entries to it.
    bool delivering = false;
    // A reconnect hello moved this (temporary) connection's socket into another: what the
    // old socket still brings belongs to that one's past and is not taken.
    bool retired = false;
    // Gone from the table.
    bool removed = false;
    std::shared_ptr<MyFactory> flowControlFactory;
    bool established = false;
    bool reconnecting = false;
    std::int64_t reconnectStart = 0;
    std::int64_t retryDelay = 0;
    std::int64_t nextAttempt = 0;
    RefPtr<ITransportFastWrite::IWriter> writer;
    bool layered = false;
    bool writing = false;
    std::uint32_t keepAliveInterval = 0;
    std::uint32_t keepAliveTimeout = 0;

private:
    void Report(RateCounter& counter, const char* format);

    NetworkLayer* network_;
    // Owns the network layer until the stack is built; then the layer above owns it.
    std::unique_ptr<ITransportLayer> ownedNetwork_;
    std::unique_ptr<ITransportLayer> top_;
    ResendLayer* resend_ = nullptr;
    FlowControlLayer* flow_ = nullptr;
    // Resend, fragment, flow control: the broadcast order.
    std::vector<ITransportLayer*> layers_;
    RateCounter writes_;
    RateCounter reads_;
    RateCounter preReads_;
};

}  // namespace brondal
