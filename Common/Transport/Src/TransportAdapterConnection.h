#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "ITransportLayer.h"
#include "MyFactory.h"
#include "RateCounter.h"
#include "TransportAdapter.h"

namespace brondal {

class NetworkLayer;

// One connection of the adapter: a stable identifier and, at any moment, zero or one
// socket of the inner transport. Every field is guarded by the adapter's monitor.
class TransportAdapter::Connection final : public IResendConnection, public IRefCountImpl {
public:
    // address/port: where an outward connection goes (0 for an accepted one; only outward
    // connections reconnect actively).
    Connection(TransportAdapter* adapter, std::uint32_t address, std::uint16_t port,
               const UUID& socketId);
    ~Connection() override;

    // Stacks resend, fragment and flow-control layers on the network layer.
    void BuildLayers(std::shared_ptr<MyFactory> factory);

    Result OnConnect(const UUID& peerConnectionId, const UUID& peerSessionId,
                     bool reconnect) override;

    // Connect and Disconnect on every layer in order, stopping at the first failure; only
    // while layered.
    Result ConnectLayers(const UUID& connectionId, const UUID& sessionId, bool reconnect);
    Result DisconnectLayers();

    // Writes one frame to the current socket (monitor held): waits for a reconnect first
    // unless timeoutMs is 0 (control traffic), and starts one when the socket fails.
    Result SendFrame(const UUID& channel, IDataStream* payload, std::uint32_t timeoutMs);

    // The entry of the stack: the resend layer once built.
    ITransportLayer* Top() const { return top_.get(); }
    NetworkLayer* Network() const { return network_; }
    std::size_t Unacknowledged() const;

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
    std::deque<std::pair<UUID, RefPtr<IDataStream>>> inbox;
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
    // Counts the sockets this connection has lost. A first-time message that began on an
    // earlier socket is not continued on a new one: the reconnect resends it whole, and
    // the peer threw away the pieces it had, so further pieces would be joined into a
    // corrupt message.
    std::uint64_t socketEpoch = 0;
    bool messageInFlight = false;
    std::uint64_t messageEpoch = 0;

private:
    void Report(RateCounter& counter, const char* format);

    NetworkLayer* network_;
    // Owns the network layer until the stack is built; then the layer above owns it.
    std::unique_ptr<ITransportLayer> ownedNetwork_;
    std::unique_ptr<ITransportLayer> top_;
    // Resend, fragment, flow control: the broadcast order.
    std::vector<ITransportLayer*> layers_;
    RateCounter writes_;
    RateCounter reads_;
    RateCounter preReads_;
};

}  // namespace brondal
