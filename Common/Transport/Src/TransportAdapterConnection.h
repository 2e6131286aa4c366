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

class AckBatch;
class FlowControlLayer;
class NetworkLayer;
class ResendLayer;

// One connection of the adapter: a stable identifier and, at any moment, zero or one
// socket of the inner transport. Every member is guarded by the adapter's monitor; the
// operations below that call the inner transport or a writer let it go for the call.
//
// The life cycle (State). Whether a lost socket is replaced (the connection is established)
// and whether a replacement is under way are one state:
//   Opened                   a socket and no hello exchanged yet, or closed by either side:
//                            a lost socket ends the connection
//   Established              hellos exchanged: a lost socket is replaced
//   Reconnecting             established, the socket lost and a new one awaited; first-time
//                            messages are only numbered and retained
//   ClosedWhileReconnecting  closed while reconnecting: the reconnect under way runs its
//                            course, and nothing follows it
// Transitions:
//   Opened                   -Establish->        Established
//   Established              -BeginReconnect->   Reconnecting   (its socket failed)
//   Established              -Close/Shut->       Opened
//   Reconnecting             -EndReconnect->     Established with a socket, else Opened
//   Reconnecting             -Close/Shut->       ClosedWhileReconnecting
//   ClosedWhileReconnecting  -Establish->        Reconnecting
//   ClosedWhileReconnecting  -EndReconnect->     Opened
//   any                      -Abandon->          Opened         (given up; removal follows)
// Beside the state, three marks that only ever go on: layered (the layers carry its
// traffic), retired (a reconnect hello moved its socket into another connection) and
// removed (gone from the table). Retirement and removal do not end a reconnect already
// under way: a writer waiting for its outcome goes on waiting for it. And two slots, each
// held by one thread at a time: writing (a writer's turn) and delivering (handing out the
// inbox).
class TransportAdapter::Connection final : public IResendConnection, public IRefCountImpl {
public:
    enum class State : std::uint8_t { Opened, Established, Reconnecting, ClosedWhileReconnecting };

    // address/port: where an outward connection goes (0 for an accepted one; only outward
    // connections reconnect actively). The connection starts Opened on socketId, whose
    // peer is at peerAddress:peerPort and written to by writer.
    Connection(TransportAdapter* adapter, std::uint32_t address, std::uint16_t port,
               const UUID& socketId, std::uint32_t peerAddress, std::uint16_t peerPort,
               RefPtr<ITransportFastWrite::IWriter> writer);
    ~Connection() override;

    // Stacks resend, fragment and flow-control layers on the network layer; the budget
    // bounds reassembly across the adapter.
    void BuildLayers(std::shared_ptr<MyFactory> factory,
                     std::shared_ptr<FragmentLayer::Budget> budget);

    // IResendConnection
    [[nodiscard]] Result OnConnect(const UUID& peerConnectionId, const UUID& peerSessionId,
                                   bool reconnect) override;
    // Queues the message for delivery (the inbox); see TransportAdapter::PreOnDataReady.
    [[nodiscard]] Result OnAccepted(IDataStream* message) override;
    bool Reconnecting() const override {
        return state_ == State::Reconnecting || state_ == State::ClosedWhileReconnecting;
    }
    // Wakes writers waiting for the held output to shrink.
    void OnAcknowledged() override;

    // Connect and Disconnect on every layer in order, stopping at the first failure; only
    // while layered.
    [[nodiscard]] Result ConnectLayers(const UUID& connectionId, const UUID& sessionId,
                                       bool reconnect);
    [[nodiscard]] Result DisconnectLayers();

    // Writes one frame to the current socket (monitor held, released for the write), or
    // 0x8000003d without one. Never waits for a reconnect; when the socket fails under
    // first-time traffic (timeoutMs not 0) it starts one.
    [[nodiscard]] Result SendFrame(const UUID& channel, IDataStream* payload,
                                   std::uint32_t timeoutMs);

    // Holds an acknowledgement (a whole layer message) in batch for the current socket, to
    // be written when the batch ends; false without a socket or room in the batch.
    [[nodiscard]] bool HoldAck(AckBatch* batch, IDataStream* ack);

    // Acknowledges what was taken and not yet acknowledged (layered, with a socket and not
    // reconnecting, retired or removed; monitor held, released for the write).
    void FlushAcknowledgement();

    // Sends what the flow-control window admits of the paced queue (layered only).
    [[nodiscard]] Result Pump();

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

    TransportAdapter* Adapter() const { return adapter_; }
    std::uint32_t Address() const { return address_; }
    std::uint16_t Port() const { return port_; }
    std::uint32_t PeerAddress() const { return peerAddress_; }
    std::uint16_t PeerPort() const { return peerPort_; }
    const UUID& Id() const { return connectionId_; }
    const UUID& SocketId() const { return socketId_; }
    const UUID& SessionId() const { return sessionId_; }
    // Names this connection, instead of its socket, in the deliveries the inner transport
    // makes of its layered messages (see TransportAdapter::PreOnDataReady). Random, fixed for
    // the connection's life.
    const UUID& DeliveryToken() const { return deliveryToken_; }
    // Shared by the connections to one peer address.
    const std::shared_ptr<MyFactory>& FlowControlFactory() const { return flowControlFactory_; }

    // Established or reconnecting: a lost socket is replaced.
    bool Established() const {
        return state_ == State::Established || state_ == State::Reconnecting;
    }
    // Hellos exchanged; with a session, the peer's session from now on.
    void Establish();
    void Establish(const UUID& peerSessionId);
    // Closed by either side, or its socket moved into another connection: a lost socket
    // ends it.
    void Close();
    // Closed by this side: also nothing more is written to its socket.
    void Shut();
    // Given up: neither established nor reconnecting, nothing more written.
    void Abandon();
    // The socket failed on an established connection: reconnecting from now (on the
    // monotonic clock), the first attempt to reopen at once, the later ones further apart
    // each time (ScheduleNextAttempt).
    void BeginReconnect(std::int64_t now);
    // The reconnect ended, with a socket (established again unless closed meanwhile) or
    // without (closed).
    void EndReconnect();
    // Reconnecting for more than GiveUpAfterMs with no socket.
    bool GiveUpDue(std::int64_t now) const {
        return now > reconnectStart_ + GiveUpAfterMs && socketId_.IsNil();
    }
    // An outward connection whose next attempt to reopen is due.
    bool AttemptDue(std::int64_t now) const { return address_ != 0 && now >= nextAttempt_; }
    // After an attempt at now: the next one after twice the delay, at most MaxRetryDelayMs.
    void ScheduleNextAttempt(std::int64_t now);

    // Each change of the socket or the identifier keeps the adapter's look-ups in step.
    // A new socket for this connection, written to by writer.
    void AttachSocket(const UUID& socketId, RefPtr<ITransportFastWrite::IWriter> writer);
    // The socket is lost: it leaves the connection, its writer is dropped and the layers
    // are disconnected (what was half sent or paced goes again whole with the resend); then
    // socket is closed with the monitor released. That is the socket the connection had
    // (hence the copy), or the one a reopen attempt opened, which a hello meanwhile may
    // have moved to another connection.
    void LoseSocket(UUID socket);
    // A reconnect hello on this (temporary) connection names other: the two exchange
    // sockets and writers.
    void ExchangeSockets(Connection* other);
    // A hello from the peer names this connection: the peer's identifier from now on.
    void AdoptId(const UUID& connectionId);

    bool Layered() const { return layered_; }
    void MakeLayered() { layered_ = true; }
    bool Retired() const { return retired_; }
    void Retire() { retired_ = true; }
    bool Removed() const { return removed_; }
    // Gone from the table: what was taken and not yet delivered goes with it.
    void MarkRemoved();

    // The writing slot: one writer at a time.
    bool Writing() const { return writing_; }
    void BeginWriting() { writing_ = true; }
    // Frees the slot and wakes the writers waiting for it.
    void EndWriting() {
        writing_ = false;
        (void)adapter_->Monitor().NotifyAll();
    }

    // The inbox: false if another thread is already handing it to the listeners; else
    // this one does, taking the messages front first, until EndDelivering.
    bool BeginDelivering() {
        if (delivering_) return false;
        delivering_ = true;
        return true;
    }
    bool TakeFromInbox(UUID* channel, RefPtr<IDataStream>* message) {
        if (inbox_.empty()) return false;
        *channel = inbox_.front().first;
        *message = std::move(inbox_.front().second);
        inbox_.pop_front();
        return true;
    }
    void EndDelivering() { delivering_ = false; }

    // Reapplied to the socket a reconnect brings.
    void SetKeepAlive(std::uint32_t intervalMs, std::uint32_t timeoutMs) {
        keepAliveInterval_ = intervalMs;
        keepAliveTimeout_ = timeoutMs;
    }
    std::uint32_t KeepAliveInterval() const { return keepAliveInterval_; }
    std::uint32_t KeepAliveTimeout() const { return keepAliveTimeout_; }

private:
    void SetSocketId(const UUID& socketId);
    void Report(RateCounter& counter, const char* format);

    TransportAdapter* const adapter_;
    const std::uint32_t address_;
    const std::uint16_t port_;
    const std::uint32_t peerAddress_;
    const std::uint16_t peerPort_;
    UUID connectionId_;
    UUID socketId_;
    UUID sessionId_;
    UUID deliveryToken_;
    // Layered user messages taken as received and not yet handed to the listeners, in the
    // order the resend layer accepted them: (channel, payload).
    // Bounded by what the inner transport lets wait for delivery: each entry has one
    // delivery posted for it.
    std::deque<std::pair<UUID, RefPtr<IDataStream>>> inbox_;
    bool delivering_ = false;
    bool retired_ = false;
    bool removed_ = false;
    std::shared_ptr<MyFactory> flowControlFactory_;
    State state_ = State::Opened;
    // The reconnect schedule, on the monotonic clock; only read while reconnecting.
    std::int64_t reconnectStart_ = 0;
    std::int64_t retryDelay_ = 0;
    std::int64_t nextAttempt_ = 0;
    RefPtr<ITransportFastWrite::IWriter> writer_;
    bool layered_ = false;
    bool writing_ = false;
    std::uint32_t keepAliveInterval_ = 0;
    std::uint32_t keepAliveTimeout_ = 0;

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
