#include "TransportAdapterConnection.h"

#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "LayerHeaders.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "NetworkLayer.h"
#include "ResendLayer.h"

namespace brondal {

TransportAdapter::Connection::Connection(TransportAdapter* owner, std::uint32_t remoteAddress,
                                         std::uint16_t remotePort, const UUID& socket)
    : adapter(owner),
      address(remoteAddress),
      port(remotePort),
      connectionId(socket),
      socketId(socket),
      ownedNetwork_(std::make_unique<NetworkLayer>(this)) {
    network_ = static_cast<NetworkLayer*>(ownedNetwork_.get());
    GetScheduler().NewUuid(&sessionId);
    GetScheduler().NewUuid(&deliveryToken);
}

TransportAdapter::Connection::~Connection() = default;

void TransportAdapter::Connection::BuildLayers(std::shared_ptr<MyFactory> factory,
                                               std::shared_ptr<FragmentLayer::Budget> budget) {
    flowControlFactory = std::move(factory);
    auto flow =
        std::make_unique<FlowControlLayer>(adapter, this, peerAddress, peerPort,
                                           flowControlFactory->Create(), std::move(ownedNetwork_));
    flow_ = flow.get();
    auto fragment =
        std::make_unique<FragmentLayer>(std::move(flow), &connectionId, std::move(budget));
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
    return !reconnecting && !resend_->Resending() && flow_->CanSendNow() && Held() < highWater;
}

Result TransportAdapter::Connection::Pump() { return layered && flow_ ? flow_->Pump() : ResultOk; }

Result TransportAdapter::Connection::OnAccepted(IDataStream* message) {
    std::uint8_t kind = 0;
    UUID channel;
    Result result;
    if (Failed(result = message->ReadUInt8(&kind)) ||
        Failed(result = ReadUserMessageHeader(message, &channel))) {
        return result;
    }
    inbox.emplace_back(channel, RefPtr<IDataStream>(message));
    return ResultOk;
}

void TransportAdapter::Connection::OnAcknowledged() { (void)adapter->Monitor().NotifyAll(); }

Result TransportAdapter::Connection::OnConnect(const UUID& peerConnectionId,
                                               const UUID& peerSessionId, bool reconnect) {
    return adapter->OnConnect(this, peerConnectionId, peerSessionId, reconnect);
}

Result TransportAdapter::Connection::ConnectLayers(const UUID& id, const UUID& session,
                                                   bool reconnect) {
    if (!layered) return ResultOk;
    for (ITransportLayer* layer : layers_) {
        const Result result = layer->Connect(id, session, reconnect);
        if (Failed(result)) return result;
    }
    return ResultOk;
}

Result TransportAdapter::Connection::DisconnectLayers() {
    if (!layered) return ResultOk;
    for (ITransportLayer* layer : layers_) {
        const Result result = layer->Disconnect();
        if (Failed(result)) return result;
    }
    return ResultOk;
}

Result TransportAdapter::Connection::SendFrame(const UUID& channel, IDataStream* payload,
                                               std::uint32_t timeoutMs) {
    MonitorGuard guard(adapter->Monitor());
    const UUID before = socketId;
    Result result = ResultSocketWriteFailed;
    if (writer) {
        RefPtr<ITransportFastWrite::IWriter> current = writer;
        result = adapter->Unlocked([&] { return current->Write(channel, payload); });
    }
    if (timeoutMs != 0 && IsSocketFailure(result)) {
        result = adapter->Reconnect(result, this, before, false);
    }
    CountWrite();
    return result;
}

void TransportAdapter::Connection::Report(RateCounter& counter, const char* format) {
    std::uint32_t count = 0;
    std::int64_t elapsed = 0;
    if (counter.Count(&count, &elapsed)) {
        LOG_SPEW(0, format, count, connectionId.ToString().c_str(), socketId.ToString().c_str(),
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
    MonitorGuard guard(connection_->adapter->Monitor());
    std::uint32_t position = 0;
    std::uint8_t kind = 0;
    Result result = message->GetPosition(&position);
    if (Succeeded(result)) result = message->ReadUInt8(&kind);
    if (Failed(result)) return result;
    if (kind != UserMessageKind) {
        if (Failed(result = message->SetPosition(position))) return result;
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
