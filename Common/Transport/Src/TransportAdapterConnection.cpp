#include "TransportAdapterConnection.h"

#include "AckBatch.h"
#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "LayerHeaders.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "NetworkLayer.h"
#include "ResendLayer.h"

namespace brondal {

TransportAdapter::Connection::Connection(TransportAdapter* owner, std::uint32_t remoteAddress,
                                         std::uint16_t remotePort, const UUID& socket,
                                         std::uint32_t peerAddress, std::uint16_t peerPort,
                                         RefPtr<ITransportFastWrite::IWriter> writer)
    : adapter_(owner),
      address_(remoteAddress),
      port_(remotePort),
      peerAddress_(peerAddress),
      peerPort_(peerPort),
      connectionId_(socket),
      socketId_(socket),
      writer_(std::move(writer)),
      ownedNetwork_(std::make_unique<NetworkLayer>(this)) {
    network_ = static_cast<NetworkLayer*>(ownedNetwork_.get());
    GetScheduler().NewUuid(&sessionId_);
    GetScheduler().NewUuid(&deliveryToken_);
}

TransportAdapter::Connection::~Connection() = default;

void TransportAdapter::Connection::BuildLayers(std::shared_ptr<MyFactory> factory,
                                               std::shared_ptr<FragmentLayer::Budget> budget) {
    flowControlFactory_ = std::move(factory);
    auto flow =
        std::make_unique<FlowControlLayer>(adapter_, this, peerAddress_, peerPort_,
                                           flowControlFactory_->Create(), std::move(ownedNetwork_));
    flow_ = flow.get();
    auto fragment =
        std::make_unique<FragmentLayer>(std::move(flow), &connectionId_, std::move(budget));
    ITransportLayer* fragmentLayer = fragment.get();
    auto resend = std::make_unique<ResendLayer>(this, std::move(fragment));
    resend_ = resend.get();
    top_ = std::move(resend);
    layers_ = {top_.get(), fragmentLayer, flow_};
}

std::size_t TransportAdapter::Connection::Unacknowledged() const {
    return resend_ ? resend_->RetainedCount() : 0;
}

std::uint64_t TransportAdapter::Connection::Held() const {
    return resend_ ? resend_->RetainedBytes() : 0;
}

bool TransportAdapter::Connection::TakesMore(std::uint64_t highWater) const {
    if (!resend_) return true;
    return !Reconnecting() && !resend_->Resending() && flow_->CanSendNow() && Held() < highWater;
}

Result TransportAdapter::Connection::Pump() { return layered_ && flow_ ? flow_->Pump() : ResultOk; }

Result TransportAdapter::Connection::OnAccepted(IDataStream* message) {
    std::uint8_t kind = 0;
    UUID channel;
    Result result;
    if (Failed(result = message->ReadUInt8(&kind)) ||
        Failed(result = ReadUserMessageHeader(message, &channel))) {
        return result;
    }
    inbox_.emplace_back(channel, RefPtr<IDataStream>(message));
    return ResultOk;
}

void TransportAdapter::Connection::OnAcknowledged() { (void)adapter_->Monitor().NotifyAll(); }

Result TransportAdapter::Connection::OnConnect(const UUID& peerConnectionId,
                                               const UUID& peerSessionId, bool reconnect) {
    return adapter_->OnConnect(this, peerConnectionId, peerSessionId, reconnect);
}

Result TransportAdapter::Connection::ConnectLayers(const UUID& id, const UUID& session,
                                                   bool reconnect) {
    if (!layered_) return ResultOk;
    for (ITransportLayer* layer : layers_) {
        const Result result = layer->Connect(id, session, reconnect);
        if (Failed(result)) return result;
    }
    return ResultOk;
}

Result TransportAdapter::Connection::DisconnectLayers() {
    if (!layered_) return ResultOk;
    for (ITransportLayer* layer : layers_) {
        const Result result = layer->Disconnect();
        if (Failed(result)) return result;
    }
    return ResultOk;
}

Result TransportAdapter::Connection::SendFrame(const UUID& channel, IDataStream* payload,
                                               std::uint32_t timeoutMs) {
    MonitorGuard guard(adapter_->Monitor());
    const UUID before = socketId_;
    Result result = ResultSocketWriteFailed;
    if (writer_) {
        RefPtr<ITransportFastWrite::IWriter> current = writer_;
        result = adapter_->Unlocked([&] { return current->Write(channel, payload); });
    }
    if (timeoutMs != 0 && IsSocketFailure(result)) {
        result = adapter_->Reconnect(result, this, before, false);
    }
    CountWrite();
    return result;
}

void TransportAdapter::Connection::FlushAcknowledgement() {
    if (!resend_ || !writer_ || Reconnecting() || retired_ || removed_) return;
    (void)resend_->FlushAcknowledgement();
}

bool TransportAdapter::Connection::HoldAck(AckBatch* batch, IDataStream* ack) {
    // Without a writer SendFrame reports the missing socket.
    if (!writer_ || !batch->Hold(writer_, ack)) return false;
    CountWrite();
    return true;
}

void TransportAdapter::Connection::Establish() {
    if (state_ == State::Opened) {
        state_ = State::Established;
    } else if (state_ == State::ClosedWhileReconnecting) {
        state_ = State::Reconnecting;
    }
}

void TransportAdapter::Connection::Establish(const UUID& peerSessionId) {
    Establish();
    sessionId_ = peerSessionId;
}

void TransportAdapter::Connection::Close() {
    if (state_ == State::Established) {
        state_ = State::Opened;
    } else if (state_ == State::Reconnecting) {
        state_ = State::ClosedWhileReconnecting;
    }
}

void TransportAdapter::Connection::Shut() {
    Close();
    writer_.Reset();
}

void TransportAdapter::Connection::Abandon() {
    state_ = State::Opened;
    writer_.Reset();
}

void TransportAdapter::Connection::BeginReconnect(std::int64_t now) {
    state_ = State::Reconnecting;
    reconnectStart_ = now;
    retryDelay_ = FirstRetryDelayMs;
    nextAttempt_ = 0;
}

void TransportAdapter::Connection::EndReconnect() {
    state_ =
        state_ == State::Reconnecting && !socketId_.IsNil() ? State::Established : State::Opened;
    reconnectStart_ = 0;
    retryDelay_ = 0;
    nextAttempt_ = 0;
}

void TransportAdapter::Connection::ScheduleNextAttempt(std::int64_t now) {
    retryDelay_ = std::min(2 * retryDelay_, MaxRetryDelayMs);
    nextAttempt_ = now + retryDelay_;
}

void TransportAdapter::Connection::SetSocketId(const UUID& socket) {
    const UUID previous = socketId_;
    socketId_ = socket;
    adapter_->SocketChanged(this, previous);
}

void TransportAdapter::Connection::AttachSocket(const UUID& socket,
                                                RefPtr<ITransportFastWrite::IWriter> writer) {
    SetSocketId(socket);
    writer_ = std::move(writer);
}

void TransportAdapter::Connection::LoseSocket(UUID socket) {
    SetSocketId(UUID());
    writer_.Reset();
    (void)DisconnectLayers();
    adapter_->Unlocked([&] { return adapter_->inner_->CloseConnection(socket); });
}

void TransportAdapter::Connection::ExchangeSockets(Connection* other) {
    const UUID mine = socketId_;
    const UUID theirs = other->socketId_;
    // Both leave the look-up first, so that neither finds the other's entry in its way.
    SetSocketId(UUID());
    other->SetSocketId(UUID());
    SetSocketId(theirs);
    other->SetSocketId(mine);
    writer_.Swap(other->writer_);
}

void TransportAdapter::Connection::AdoptId(const UUID& connectionId) {
    const UUID previous = connectionId_;
    connectionId_ = connectionId;
    adapter_->IdChanged(this, previous);
}

void TransportAdapter::Connection::MarkRemoved() {
    removed_ = true;
    inbox_.clear();
}

void TransportAdapter::Connection::Report(RateCounter& counter, const char* format) {
    std::uint32_t count = 0;
    std::int64_t elapsed = 0;
    if (counter.Count(&count, &elapsed)) {
        LOG_SPEW(0, format, count, connectionId_.ToString().c_str(), socketId_.ToString().c_str(),
                 static_cast<int>(elapsed));
    }
}

void TransportAdapter::Connection::CountWrite() {
    Report(writes_, "%d writes to connection %s socket %s in %d ms");
}

void TransportAdapter::Connection::CountRead() {
    Report(reads_, "%d reads from connection %s socket %s in %d ms");
}

void TransportAdapter::Connection::CountPreRead() {
    Report(preReads_, "%d prereads from connection %s socket %s in %d ms");
}

Result NetworkLayer::Send(IDataStream* message, std::uint32_t timeoutMs) {
    MonitorGuard guard(connection_->Adapter()->Monitor());
    std::uint32_t position = 0;
    std::uint8_t kind = 0;
    Result result = message->GetPosition(&position);
    if (Succeeded(result)) result = message->ReadUInt8(&kind);
    if (Failed(result)) return result;
    if (kind != UserMessageKind) {
        if (Failed(result = message->SetPosition(position))) return result;
        if ((kind == SequenceAckKind || kind == PacedAckKind) && timeoutMs == 0) {
            if (AckBatch* batch = AckBatch::Current();
                batch && connection_->HoldAck(batch, message)) {
                return ResultOk;
            }
        }
        return connection_->SendFrame(AdapterChannelId, message, timeoutMs);
    }
    UUID channel;
    std::uint32_t size = 0;
    RefPtr<IDataStream> payload;
    if (Failed(result = ReadUserMessageHeader(message, &channel)) ||
        Failed(result = message->GetPosition(&position)) ||
        Failed(result = message->GetSize(&size)) ||
        Failed(result = SliceDataStream(message, position, size, payload.Receive()))) {
        return result;
    }
    return connection_->SendFrame(channel, payload.Get(), timeoutMs);
}

}  // namespace brondal
