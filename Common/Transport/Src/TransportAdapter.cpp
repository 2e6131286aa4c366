#include "TransportAdapter.h"

#include <algorithm>

#include "AckBatch.h"
#include "DeleteLater.h"
#include "LayerHeaders.h"
#include "LiveListeners.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "NetworkLayer.h"
#include "ResendLayer.h"
#include "SharedThread.h"
#include "TransportAdapterConnection.h"

namespace brondal {

namespace {

// An identifier the adapter does not know.
constexpr Result ResultUnknownConnection = ResultInvalidArgument;

}  // namespace

TransportAdapter::TransportAdapter(ITransport* inner, std::uint32_t localAddress,
                                   std::uint16_t localPort)
    : inner_(dynamic_cast<ITransportFastWrite*>(inner)),
      localAddress_(localAddress),
      localPort_(localPort),
      monitor_(GetScheduler().CreateSpinningMonitor()) {
    if (Succeeded(GetScheduler().CreateTimer(timer_.Receive()))) {
        (void)timer_->Start(TimerPeriodMs, this, 1);
    }
}

TransportAdapter::~TransportAdapter() {
    DropTimer();
    if (inner_) {
        (void)inner_->RemoveNotify(this);
        (void)inner_->SetDataHook(nullptr);
    }
}

void TransportAdapter::DropTimer() {
    RefPtr<ITimer> timer;
    {
        MonitorGuard guard(*monitor_);
        timer = std::move(timer_);
    }
    // Releasing waits for a running callback, which takes the monitor.
    timer.Reset();
}

bool TransportAdapter::WaitUntil(std::int64_t timeoutMs, const std::function<bool()>& done) {
    // Most waits are over before they begin: the clock is read only for one that is not.
    if (done()) return true;
    const std::int64_t start = GetScheduler().GetTickCount64();
    while (!done()) {
        const std::int64_t left = timeoutMs - (GetScheduler().GetTickCount64() - start);
        if (left <= 0) return false;
        (void)monitor_->Wait(static_cast<std::int32_t>(left));
    }
    return true;
}

RefPtr<TransportAdapter::Connection> TransportAdapter::FindById(const UUID& connectionId) const {
    const auto found = byId_.find(connectionId);
    return found == byId_.end() ? nullptr : RefPtr<Connection>(found->second);
}

RefPtr<TransportAdapter::Connection> TransportAdapter::FindBySocket(const UUID& socketId) const {
    const auto found = bySocket_.find(socketId);
    return found == bySocket_.end() ? nullptr : RefPtr<Connection>(found->second);
}

namespace {

// Drops the connection's entry under key; another connection of the table with the same
// key (the next in table order) takes its place.
template <class Key>
void DropEntry(std::unordered_map<UUID, TransportAdapter::Connection*>& index, const UUID& value,
               TransportAdapter::Connection* connection,
               const std::vector<RefPtr<TransportAdapter::Connection>>& table, Key key) {
    const auto found = index.find(value);
    if (found == index.end() || found->second != connection) return;
    index.erase(found);
    for (const auto& other : table) {
        if (other.Get() != connection && key(*other) == value) {
            index.emplace(value, other.Get());
            return;
        }
    }
}

const UUID& IdOf(const TransportAdapter::Connection& c) { return c.Id(); }
const UUID& SocketOf(const TransportAdapter::Connection& c) { return c.SocketId(); }

}  // namespace

void TransportAdapter::Index(Connection* connection) {
    byToken_.emplace(connection->DeliveryToken(), connection);
    byId_.try_emplace(connection->Id(), connection);
    if (!connection->SocketId().IsNil()) bySocket_.try_emplace(connection->SocketId(), connection);
}

void TransportAdapter::Unindex(Connection* connection) {
    byToken_.erase(connection->DeliveryToken());
    DropEntry(byId_, connection->Id(), connection, connections_, IdOf);
    DropEntry(bySocket_, connection->SocketId(), connection, connections_, SocketOf);
}

// The entry under previous may pass to another connection with that key; the connection's
// own new key is skipped by the scan, so it does not matter that it is already in place.
void TransportAdapter::IdChanged(Connection* connection, const UUID& previous) {
    DropEntry(byId_, previous, connection, connections_, IdOf);
    byId_.try_emplace(connection->Id(), connection);
}

void TransportAdapter::SocketChanged(Connection* connection, const UUID& previous) {
    DropEntry(bySocket_, previous, connection, connections_, SocketOf);
    if (!connection->SocketId().IsNil()) bySocket_.try_emplace(connection->SocketId(), connection);
}

std::size_t TransportAdapter::ConnectionCount() {
    MonitorGuard guard(*monitor_);
    return connections_.size();
}

TransportAdapter::ConnectionState TransportAdapter::StateForTesting(const UUID& connectionId) {
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> connection = FindById(connectionId);
    if (!connection) return {};
    return {true,
            connection->Layered(),
            connection->Established(),
            connection->Reconnecting(),
            connection->Unacknowledged(),
            static_cast<ResendLayer*>(connection->Top())->LastReceived()};
}

void TransportAdapter::SetHeldLimitsForTesting(std::uint64_t highWater, std::uint64_t hardBound) {
    MonitorGuard guard(*monitor_);
    highWater_ = highWater;
    hardBound_ = hardBound;
}

Result TransportAdapter::NotifyEvent(const UUID& connectionId, std::int32_t event) {
    Result combined = ResultOk;
    for (const auto& listener : LiveListeners<ITransportNotify>(listeners_)) {
        combined |= Unlocked([&] { return listener->OnEvent(connectionId, event); });
    }
    return combined;
}

Result TransportAdapter::ByConnection(const UUID& connectionId,
                                      const std::function<Result(const UUID&)>& op) {
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> connection = FindById(connectionId);
    if (!connection) return ResultUnknownConnection;
    const UUID socket = connection->SocketId();
    return Unlocked([&] { return op(socket); });
}

Result TransportAdapter::AddConnection(std::uint32_t address, std::uint16_t port,
                                       const UUID& socketId, RefPtr<Connection>* added) {
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    RefPtr<ITransportFastWrite::IWriter> writer;
    Result result =
        Unlocked([&] { return inner_->GetPeerIpv4(socketId, &peerAddress, &peerPort); });
    if (Succeeded(result)) {
        result = Unlocked([&] { return inner_->CreateWriter(socketId, writer.Receive()); });
    }
    if (Failed(result)) {
        Unlocked([&] { return inner_->CloseConnection(socketId); });
        return result;
    }
    RefPtr<Connection> connection = RefPtr<Connection>::Adopt(
        new Connection(this, address, port, socketId, peerAddress, peerPort, std::move(writer)));
    LOG_SPEW(0,
             "add connection %s socket %s ip %x port %d peer ip %x peer port %d my ip %x my port "
             "%d",
             connection->Id().ToString().c_str(), socketId.ToString().c_str(), address, port,
             peerAddress, peerPort, localAddress_, localPort_);
    std::shared_ptr<MyFactory> factory;
    for (const auto& other : connections_) {
        if (other->PeerAddress() == peerAddress && other->FlowControlFactory()) {
            factory = other->FlowControlFactory();
            break;
        }
    }
    if (!factory) factory = std::make_shared<MyFactory>(0, monitor_.get());
    connection->BuildLayers(std::move(factory), reassembly_);
    if (reliableDelivery_) connection->MakeLayered();
    connections_.push_back(connection);
    Index(connection.Get());
    *added = std::move(connection);
    return ResultOk;
}

Result TransportAdapter::RemoveConnection(const UUID& connectionId, RefPtr<Connection>* removed) {
    auto found = std::find_if(connections_.begin(), connections_.end(),
                              [&](const auto& c) { return c->Id() == connectionId; });
    if (found == connections_.end()) return ResultUnknownConnection;
    LOG_SPEW(0, "remove connection %s socket %s", connectionId.ToString().c_str(),
             (*found)->SocketId().ToString().c_str());
    if (removed != nullptr) *removed = *found;
    // What was taken and not yet delivered goes with it; writers waiting on it wake.
    (*found)->MarkRemoved();
    (void)monitor_->NotifyAll();
    Unindex(found->Get());
    connections_.erase(found);
    return ResultOk;
}

Result TransportAdapter::SetDataHook(IDataHook*) { return ResultFail; }

Result TransportAdapter::Initialize(bool deliverOnOwnThread, bool enabled) {
    {
        MonitorGuard guard(*monitor_);
        if (initialized_) return ResultAlreadyInitialized;
        initialized_ = true;
        deliverInline_ = !deliverOnOwnThread;
    }
    if (!inner_) return ResultNullPointer;
    Result result = inner_->Initialize(deliverOnOwnThread, enabled);
    if (Succeeded(result)) result = inner_->AddNotify(this);
    if (Succeeded(result)) result = inner_->SetDataHook(this);
    return result;
}

Result TransportAdapter::Finalize() {
    DropTimer();
    if (!inner_) return ResultNullPointer;
    (void)inner_->RemoveNotify(this);
    (void)inner_->SetDataHook(nullptr);
    return inner_->Finalize();
}

Result TransportAdapter::AddNotify(ITransportNotify* listener) {
    if (listener == nullptr) return ResultNullPointer;
    MonitorGuard guard(*monitor_);
    listeners_.push_back(listener);
    return ResultOk;
}

Result TransportAdapter::RemoveNotify(ITransportNotify* listener) {
    MonitorGuard guard(*monitor_);
    auto found = std::find(listeners_.begin(), listeners_.end(), listener);
    if (found != listeners_.end()) listeners_.erase(found);
    return ResultOk;
}

Result TransportAdapter::SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                                      std::uint32_t timeoutMs) {
    {
        MonitorGuard guard(*monitor_);
        if (RefPtr<Connection> connection = FindById(connectionId)) {
            connection->SetKeepAlive(intervalMs, timeoutMs);
        }
    }
    return ByConnection(connectionId, [&](const UUID& socket) {
        return inner_->SetKeepAlive(socket, intervalMs, timeoutMs);
    });
}

Result TransportAdapter::SetWriteTimeout(std::uint32_t milliseconds) {
    const std::uint32_t value = std::max(milliseconds, MinWriteTimeoutMs);
    const Result result = inner_->SetWriteTimeout(value);
    if (Succeeded(result)) {
        MonitorGuard guard(*monitor_);
        writeTimeoutMs_ = value;
    }
    return result;
}

Result TransportAdapter::OpenConnection(std::uint32_t address, std::uint16_t port,
                                        UUID* connectionId, std::uint32_t timeoutMs) {
    if (connectionId == nullptr) return ResultNullPointer;
    UUID socket;
    Result result = inner_->OpenConnection(address, port, &socket, timeoutMs);
    if (Failed(result)) return result;
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> connection;
    if (Failed(result = AddConnection(address, port, socket, &connection))) return result;
    if (Failed(result =
                   connection->ConnectLayers(connection->Id(), connection->SessionId(), false))) {
        return result;
    }
    const UUID id = connection->Id();
    // A layered connection is open once the peer has answered its hello. Before that a lost
    // socket cannot be brought back (the peer may not know the connection), so what was
    // written meanwhile would go with it, after Write had accepted it: the caller learns of
    // such a loss here, from the open, instead.
    if (connection->Layered() &&
        !(WaitUntil(std::max<std::uint32_t>(timeoutMs, MinimumHelloWaitMs),
                    [&] { return connection->Established() || connection->Removed(); }) &&
          connection->Established())) {
        LOG_SEVERE("connection %s ip %x port %d: the peer did not answer the hello",
                   id.ToString().c_str(), address, port);
        (void)CloseConnection(id);
        return ResultFail;
    }
    *connectionId = id;
    return ResultOk;
}

Result TransportAdapter::CloseConnection(UUID connectionId) {
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> connection = FindById(connectionId);
    if (!connection) return ResultUnknownConnection;
    // A hello without identity tells the peer not to bring this connection back.
    (void)connection->ConnectLayers(UUID(), connection->SessionId(), false);
    connection->Shut();
    if (connection->SocketId().IsNil()) return RemoveConnection(connectionId, nullptr);
    const UUID socket = connection->SocketId();
    // The removal follows from the disconnected event.
    return Unlocked([&] { return inner_->CloseConnection(socket); });
}

Result TransportAdapter::CloseAllConnections() {
    std::vector<RefPtr<Connection>> table;
    {
        MonitorGuard guard(*monitor_);
        table = connections_;
    }
    for (const auto& connection : table) {
        UUID id;
        {
            MonitorGuard guard(*monitor_);
            id = connection->Id();
        }
        const Result result = CloseConnection(id);
        if (Failed(result)) return result;
    }
    return ResultOk;
}

Result TransportAdapter::SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) {
    return ByConnection(connectionId, [&](const UUID& socket) {
        return inner_->SetConnectionSocketDscp(socket, dscp);
    });
}

Result TransportAdapter::GetPeerIpv4(UUID connectionId, std::uint32_t* address,
                                     std::uint16_t* port) {
    return ByConnection(connectionId, [&](const UUID& socket) {
        return inner_->GetPeerIpv4(socket, address, port);
    });
}

Result TransportAdapter::GetLocalIpv4(UUID connectionId, std::uint32_t* address) {
    return ByConnection(connectionId,
                        [&](const UUID& socket) { return inner_->GetLocalIpv4(socket, address); });
}

Result TransportAdapter::ConnectionReadyForWrite(UUID connectionId, bool* ready) {
    if (ready == nullptr) return ResultNullPointer;
    {
        MonitorGuard guard(*monitor_);
        RefPtr<Connection> connection = FindById(connectionId);
        if (!connection) return ResultUnknownConnection;
        if (connection->Layered() && !connection->TakesMore(highWater_)) {
            *ready = false;
            return ResultOk;
        }
    }
    return ByConnection(connectionId, [&](const UUID& socket) {
        return inner_->ConnectionReadyForWrite(socket, ready);
    });
}

Result TransportAdapter::WriteText(UUID connectionId, IDataStream* data) {
    return ByConnection(connectionId,
                        [&](const UUID& socket) { return inner_->WriteText(socket, data); });
}

Result TransportAdapter::WriteTextSynchronous(UUID connectionId, IDataStream* data) {
    return ByConnection(connectionId, [&](const UUID& socket) {
        return inner_->WriteTextSynchronous(socket, data);
    });
}

Result TransportAdapter::Write(UUID connectionId, UUID channelId, IDataStream* data) {
    if (data == nullptr) return ResultNullPointer;
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> connection = FindById(connectionId);
    if (!connection) return ResultUnknownConnection;
    if (connection->Layered()) return WriteLayered(connection.Get(), channelId, data);
    if (!WaitUntil(WriterWaitMs, [&] { return !connection->Writing(); })) {
        LOG_SEVERE("write timeout for connection %s", connectionId.ToString().c_str());
        return ResultWriteTimeout;
    }
    connection->BeginWriting();
    // The payload goes under the caller's channel, as the network layer would send a
    // composed user message, without composing it. A failed socket ends an unlayered
    // connection (it never reconnects).
    const Result result = connection->SendFrame(channelId, data, writeTimeoutMs_);
    if (Failed(result)) {
        LOG_SEVERE("write failed for connection %s %x", connectionId.ToString().c_str(),
                   static_cast<unsigned>(result));
    }
    connection->EndWriting();
    return result;
}

Result TransportAdapter::WriteLayered(Connection* connection, const UUID& channelId,
                                      IDataStream* data) {
    const UUID id = connection->Id();
    std::uint32_t size = 0;
    Result result = data->GetSize(&size);
    if (Failed(result)) return result;
    if (size > MaxLayeredPayload) {
        LOG_SEVERE("message of %u bytes too large for connection %s", size, id.ToString().c_str());
        return ResultInvalidArgument;
    }
    const bool shared = IsSharedThread();
    if (!shared) {
        // A caller's own thread is held back while the peer has not taken what it was sent.
        if (!WaitUntil(writeTimeoutMs_,
                       [&] { return connection->Removed() || connection->Held() < highWater_; })) {
            LOG_SEVERE("write timeout for connection %s: %llu bytes not acknowledged",
                       id.ToString().c_str(), static_cast<unsigned long long>(connection->Held()));
            return ResultWriteTimeout;
        }
        if (connection->Removed()) return ResultUnknownConnection;
    } else if (connection->Held() >= hardBound_) {
        GiveUp(connection);
        return ResultWriteTimeout;
    }
    // Nothing below waits or lets the monitor go while the slot is held, so the slot is
    // free whenever this thread holds the monitor; the wait is for the rule's sake.
    if (!WaitUntil(WriterWaitMs, [&] { return !connection->Writing(); })) {
        LOG_SEVERE("write timeout for connection %s", id.ToString().c_str());
        return ResultWriteTimeout;
    }
    connection->BeginWriting();
    RefPtr<IDataStream> message;
    if (Succeeded(result = NewDataStream(message.Receive())) &&
        Succeeded(result = WriteUserMessageHeader(message.Get(), channelId)) &&
        Succeeded(result = AppendDataStream(message.Get(), data))) {
        // Numbers and retains it; its pieces join the paced queue (or wait for the resend).
        result = connection->Top()->Send(message.Get(), writeTimeoutMs_);
    }
    connection->EndWriting();
    if (Succeeded(result)) result = connection->Pump();
    if (Succeeded(result) && !shared && connection->Reconnecting()) {
        // Retained for the resend; the caller learns whether the connection came back.
        if (!WaitUntil(WriterWaitMs, [&] { return !connection->Reconnecting(); })) {
            LOG_SEVERE("timeout waiting for reconnect: %s", id.ToString().c_str());
            result = ResultWriteTimeout;
        } else if (connection->SocketId().IsNil()) {
            result = ResultSocketWriteFailed;
        }
    }
    if (Failed(result)) {
        LOG_SEVERE("write failed for connection %s %x", id.ToString().c_str(),
                   static_cast<unsigned>(result));
    }
    return result;
}

void TransportAdapter::GiveUp(Connection* connection) {
    RefPtr<Connection> self(connection);
    const UUID id = connection->Id();
    const UUID socket = connection->SocketId();
    LOG_SEVERE(
        "giving up connection %s ip %x port %d: %llu bytes held for a peer that does not "
        "acknowledge",
        id.ToString().c_str(), connection->PeerAddress(), connection->PeerPort(),
        static_cast<unsigned long long>(connection->Held()));
    // Removed before the socket closes, so that its disconnected event finds nothing to
    // reconnect.
    connection->Abandon();
    if (Failed(RemoveConnection(id, nullptr))) return;
    if (!socket.IsNil()) Unlocked([&] { return inner_->CloseConnection(socket); });
    (void)NotifyEvent(id, ConnectionClosed);
}

Result TransportAdapter::EnableReliableDelivery() {
    MonitorGuard guard(*monitor_);
    reliableDelivery_ = true;
    const std::vector<RefPtr<Connection>> table = connections_;
    for (const auto& connection : table) {
        if (connection->Layered()) continue;
        connection->MakeLayered();
        (void)connection->ConnectLayers(connection->Id(), connection->SessionId(), false);
    }
    return ResultOk;
}

Result TransportAdapter::OnEvent(UUID socketId, std::int32_t event) {
    MonitorGuard guard(*monitor_);
    if (event == ConnectionOpened) {
        RefPtr<Connection> connection;
        const Result result = AddConnection(0, 0, socketId, &connection);
        if (Failed(result)) return result;
        return NotifyEvent(connection->Id(), ConnectionOpened);
    }
    if (event != ConnectionClosed) return ResultUnknownConnection;
    RefPtr<Connection> connection = FindBySocket(socketId);
    if (!connection) return ResultUnknownConnection;
    const Result result = Reconnect(ResultFail, connection.Get(), socketId, false);
    if (Failed(result)) {
        const UUID id = connection->Id();
        if (Succeeded(RemoveConnection(id, nullptr))) (void)NotifyEvent(id, ConnectionClosed);
    }
    return result;
}

Result TransportAdapter::PreOnDataReady(UUID socketId, UUID* channelId, IDataStream** data,
                                        PostReceiveTask** task) {
    if (channelId == nullptr || data == nullptr || task == nullptr) return ResultNullPointer;
    // The reader of a socket also carries the acknowledgements that open the window: it
    // must never wait for room itself.
    SharedThreadScope shared;
    RefPtr<Connection> connection;
    RefPtr<PostReceiveTask> after;
    {
        // Before the guard: the acknowledgement of what arrives is written once the monitor
        // is let go.
        AckBatch acknowledgements;
        MonitorGuard guard(*monitor_);
        connection = FindBySocket(socketId);
        if (!connection) return ResultUnknownConnection;
        if (*channelId != AdapterChannelId) return ResultOk;
        connection->CountPreRead();
        connection->MakeLayered();
        RefPtr<IDataStream> stream = RefPtr<IDataStream>::Adopt(*data);
        after = RefPtr<PostReceiveTask>::Adopt(*task);
        *data = nullptr;
        *task = nullptr;
        Result result = ResultOk;
        // A user message that comes out of the layers has been queued in the inbox already
        // (OnAccepted); it is delivered from the inbox.
        if (!connection->Retired()) result = connection->Top()->Receive(stream, after);
        // An acknowledgement may have opened the window.
        (void)connection->Pump();
        if (Failed(result) || !stream || connection->Retired()) {
            // Nothing is delivered, so the transport would drop the task unrun; but the
            // packet's acknowledgement must still go out, or the sender's window never opens
            // again.
            if (after) Unlocked([&] { after->Run(); });
            return result;
        }
        if (!deliverInline_) {
            // The transport's own thread delivers the inbox under the connection's token.
            *channelId = connection->DeliveryToken();
            *data = stream.Detach();
            *task = after.Detach();
            return ResultOk;
        }
    }
    // The transport would call this adapter's OnDataReady next, on this thread: deliver
    // here instead, which spares the transport a view of the message for a delivery that
    // does not read it. Its sequence acknowledgement has been written by now, as before.
    {
        MonitorGuard guard(*monitor_);
        // A connection removed meanwhile has no token any more: nothing is delivered, as
        // by the transport.
        if (!connection->Removed()) (void)DeliverInbox(connection.Get());
    }
    if (after) after->Run();
    return ResultOk;
}

Result TransportAdapter::OnDataReady(UUID socketId, UUID channelId, IDataStream* data) {
    // Listeners answer on this thread; it serves every connection of the transport.
    SharedThreadScope shared;
    MonitorGuard guard(*monitor_);
    const auto token = byToken_.find(channelId);
    if (token != byToken_.end()) return DeliverInbox(token->second);
    RefPtr<Connection> connection = FindBySocket(socketId);
    if (!connection) return ResultUnknownConnection;
    if (data == nullptr) return ResultOk;
    connection->CountRead();
    return Dispatch(connection->Id(), channelId, data);
}

Result TransportAdapter::Dispatch(const UUID& connectionId, const UUID& channelId,
                                  IDataStream* data) {
    std::uint32_t position = 0;
    std::uint32_t size = 0;
    (void)data->GetPosition(&position);
    (void)data->GetSize(&size);
    const LiveListeners<ITransportNotify> live(listeners_);
    // The identifier may be a connection's field, which changes under the monitor.
    const UUID id = connectionId;
    // One release for all the listeners: the message is this thread's alone by now (taken
    // from the inbox, or handed over by the transport), so its views need no monitor.
    return Unlocked([&] {
        Result combined = ResultOk;
        for (const auto& listener : live) {
            RefPtr<IDataStream> view;
            if (Failed(SliceDataStream(data, position, size, view.Receive()))) continue;
            combined |= listener->OnDataReady(id, channelId, view.Get());
        }
        return combined;
    });
}

Result TransportAdapter::DeliverInbox(Connection* target) {
    RefPtr<Connection> connection(target);
    // Deliveries for one connection may come on two threads at once (the readers of an
    // old and a new socket, when the transport delivers on them): one hands out the inbox
    // front first while the others leave their messages to it, so the listeners see the
    // sequence order.
    if (!connection->BeginDelivering()) return ResultOk;
    Result combined = ResultOk;
    for (;;) {
        UUID channel;
        RefPtr<IDataStream> message;
        if (!connection->TakeFromInbox(&channel, &message)) break;
        connection->CountRead();
        combined |= Dispatch(connection->Id(), channel, message.Get());
    }
    connection->EndDelivering();
    return combined;
}

// Configuration the adapter needs nothing from.
Result TransportAdapter::SetEnabled(bool enabled) { return inner_->SetEnabled(enabled); }
Result TransportAdapter::ReleaseListenerPort() { return inner_->ReleaseListenerPort(); }
Result TransportAdapter::ChangeListenerPort(std::uint16_t port) {
    return inner_->ChangeListenerPort(port);
}
Result TransportAdapter::SetEncryptionEnabled(bool enabled) {
    return inner_->SetEncryptionEnabled(enabled);
}
Result TransportAdapter::SetIdleConnectionPurgeEnabled(bool enabled) {
    return inner_->SetIdleConnectionPurgeEnabled(enabled);
}
Result TransportAdapter::SetConnectionParameters(std::uint32_t first, std::uint32_t second) {
    return inner_->SetConnectionParameters(first, second);
}
Result TransportAdapter::BeginWrite() { return inner_->BeginWrite(); }
Result TransportAdapter::EndWrite() { return inner_->EndWrite(); }
Result TransportAdapter::GetStatistics(std::uint32_t* connections) {
    return inner_->GetStatistics(connections);
}
Result TransportAdapter::GetHostByName(const std::string& host, std::uint32_t* address) {
    return inner_->GetHostByName(host, address);
}
Result TransportAdapter::CreateDataStream(IDataStream**) { return ResultNotImplemented; }

}  // namespace brondal
