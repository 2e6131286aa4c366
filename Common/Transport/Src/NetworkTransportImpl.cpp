#include "NetworkTransportImpl.h"

#include <cstdio>
#include <new>
#include <optional>
#include <thread>

#include "Connection.h"
#include "ConnectionManager.h"
#include "DeleteLater.h"
#include "ISocket.h"
#include "Ipv4Text.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "NotificationThread.h"
#include "ReceiveLoop.h"
#include "SendPump.h"
#include "SharedThread.h"
#include "TcpSocket.h"
#include "TlsContext.h"

namespace brondal {

using namespace platform;

namespace {

constexpr std::uint32_t ListenerIdleMs = 100;
constexpr std::int32_t AcceptWaitMs = 100;
constexpr std::uint32_t RebindAttempts = 6;
constexpr std::uint32_t RebindPauseMs = 500;
// A listener whose accept fails for want of resources (descriptors, memory) pauses this long
// before it tries again, instead of retrying at once and burning a core.
constexpr std::uint32_t AcceptBackoffMs = 100;

bool IsResourceShortage(int error) { return platform::IsOutOfDescriptors(error); }

Result CreateTransport(std::uint32_t bindAddress, std::uint16_t port, WireForm form,
                       const TlsSettings* tls, ITransport** transport) {
    if (transport == nullptr) return ResultNullPointer;
    auto* created = new (std::nothrow) NetworkTransportImpl(bindAddress, port, form, tls);
    if (created == nullptr) return ResultFail;
    *transport = created;
    return ResultOk;
}

}  // namespace

NetworkTransportImpl::NetworkTransportImpl(std::uint32_t bindAddress, std::uint16_t port,
                                           WireForm form, const TlsSettings* tls)
    : stateMutex_(GetScheduler().CreateMutex()),
      listenerLock_(GetScheduler().CreateMutex()),
      form_(form),
      tls_(tls ? *tls : TlsSettings{}),
      bindAddress_(bindAddress),
      port_(port) {}

NetworkTransportImpl::~NetworkTransportImpl() {
    (void)Finalize();
    listener_.Stop();
}

bool NetworkTransportImpl::IsInitialized() { return initialized_.load(); }

bool NetworkTransportImpl::Acquire(RefPtr<ConnectionManager>* manager,
                                   RefPtr<NotificationThread>* notify) {
    MutexGuard guard(*stateMutex_);
    if (!initialized_.load()) return false;
    if (manager) *manager = manager_;
    if (notify) *notify = notify_;
    return true;
}

ScopedSocket NetworkTransportImpl::OpenListener(std::uint16_t port, std::uint32_t bindAttempts,
                                                bool quiet) {
    ScopedSocket owned(TcpCreate());
    const int socket = owned.Get();
    if (socket < 0) {
        if (!quiet) {
            LOG_SEVERE("Failed to create valid socket (%d). Socket error %d", socket,
                       LastSocketError());
        }
        return {};
    }
    // A restarted service must listen again at once while its old connections linger.
    TcpSetReuseAddress(socket);
    std::uint32_t attempt = 0;
    while (TcpBind(socket, bindAddress_, port) != 0) {
        if (++attempt >= bindAttempts) {
            if (quiet) {
                LOG_SEVERE("Failed to bind socket. Error %d", LastSocketError());
            } else {
                LOG_SEVERE("Failed to bind socket. Params: %d, %d, %d. Socket error %d", socket, 2,
                           port, LastSocketError());
            }
            return {};
        }
        GetScheduler().Sleep(RebindPauseMs);
    }
    if (TcpListen(socket) != 0) {
        LOG_SEVERE("Unable to listen on socket. Socket error %d", LastSocketError());
        return {};
    }
    return owned;
}

Result NetworkTransportImpl::Initialize(bool deliverOnOwnThread, bool enabled) {
    MutexGuard guard(*stateMutex_);
    if (initialized_.load())
        return LOG_REPORT_ERROR(ResultAlreadyInitialized, "Already initialized");
    enabled_.store(enabled);
    const std::uint16_t port = port_.load();
    if (port != 0 && tls_.enabled && (tls_.certificate.empty() || tls_.privateKey.empty())) {
        return LOG_REPORT_ERROR(ResultFail,
                                "We must have valid certificate and private key parameters");
    }
    deliverOnOwnThread_ = deliverOnOwnThread;

    std::unique_ptr<TlsContext> serverTls;
    std::unique_ptr<TlsContext> clientTls;
    if (Failed(TlsContext::CreateClient(&clientTls))) return ResultFail;
    if (port != 0 && tls_.enabled && Failed(TlsContext::CreateServer(tls_, &serverTls))) {
        return ResultFail;
    }

    ScopedSocket listener;
    if (port != 0) {
        listener = OpenListener(port, 1, false);
        if (!listener.Valid()) return ResultFail;
    }
    RefPtr<ConnectionManager> manager = RefPtr<ConnectionManager>::Adopt(new ConnectionManager());
    if (Failed(manager->Initialize())) {
        return LOG_REPORT_ERROR(ResultFail, "Failed to initialize connection manager");
    }
    RefPtr<NotificationThread> notify =
        RefPtr<NotificationThread>::Adopt(new NotificationThread(deliverOnOwnThread));
    if (Failed(notify->Initialize())) {
        return LOG_REPORT_ERROR(ResultFail, "Failed to initialize notification thread");
    }
    RefPtr<SendPump> pump = RefPtr<SendPump>::Adopt(new SendPump());
    if (Failed(pump->Initialize())) {
        return ResultFail;
    }
    std::vector<RefPtr<ReceiveLoop>> loops;
    if (!deliverOnOwnThread) {
        const unsigned count =
            std::max(1u, std::min(MaxReceiveLoops, std::thread::hardware_concurrency()));
        for (unsigned i = 0; i < count; ++i) {
            RefPtr<ReceiveLoop> loop = RefPtr<ReceiveLoop>::Adopt(new ReceiveLoop());
            // Without a poller the connections simply keep their own readers.
            if (loop->IsValid()) loops.push_back(std::move(loop));
        }
    }
    manager_ = std::move(manager);
    notify_ = std::move(notify);
    pump_ = std::move(pump);
    loops_ = std::move(loops);
    serverTls_ = std::move(serverTls);
    clientTls_ = std::move(clientTls);
    listenerSocket_.store(listener.Release());
    initialized_.store(true);
    if (port != 0) listener_.Start(Scheduler::Infinite);
    return ResultOk;
}

ReceiveLoop* NetworkTransportImpl::PickLoop(const std::vector<RefPtr<ReceiveLoop>>& loops) const {
    ReceiveLoop* chosen = nullptr;
    std::size_t fewest = 0;
    for (const auto& loop : loops) {
        const std::size_t members = loop->MemberCount();
        if (chosen == nullptr || members < fewest) {
            chosen = loop.Get();
            fewest = members;
        }
    }
    return chosen;
}

bool NetworkTransportImpl::ListenerPass() {
    SharedThreadScope shared;
    const int listener = listenerSocket_.load();
    // Disabled, the listener thread waits for SetEnabled's wake instead of polling: it can
    // be disabled for a long time, and connections wait in the backlog meanwhile.
    if (!enabled_.load()) return false;
    if (port_.load() == 0 || listener < 0) {
        GetScheduler().Sleep(ListenerIdleMs);
        return true;
    }
    MutexGuard lock(*listenerLock_);
    // ChangeListenerPort may have swapped the socket before the lock was ours.
    const int current = listenerSocket_.load();
    if (current < 0) return true;
    const int ready = TcpWaitReadable(current, AcceptWaitMs);
    if (ready < 0) {
        LOG_SEVERE("Failure on listener socket: %d", LastSocketError());
        return true;
    }
    // Disabling while this pass waited must leave the connection in the backlog.
    if (ready == 0 || !enabled_.load()) return true;
    const int accepted = TcpAccept(current);
    const int error = LastSocketError();
    lock.Unlock();
    if (accepted < 0) {
        OnAcceptFailed(error);
        return true;
    }
    if (acceptFailing_) {
        acceptFailing_ = false;
        LOG_INFO("Accepting connections on port %d again", port_.load());
    }
    AcceptOne(ScopedSocket(accepted));
    return true;
}

void NetworkTransportImpl::OnAcceptFailed(int error) {
    if (!acceptFailing_) {
        LOG_SEVERE("Invalid socket returned on accept call. Error: %d", error);
        acceptFailing_ = true;
    }
    // The connection that could not be taken stays in the backlog; trying again at once
    // would fail the same way until some descriptor is freed.
    if (IsResourceShortage(error)) GetScheduler().Sleep(AcceptBackoffMs);
}

void NetworkTransportImpl::AcceptOne(ScopedSocket socket) {
    LOG_SPEW(0, "Socket accepted on port %d", port_.load());
    TcpSetNoDelay(socket.Get());
    RefPtr<ConnectionManager> manager;
    RefPtr<NotificationThread> notify;
    RefPtr<SendPump> pump;
    std::vector<RefPtr<ReceiveLoop>> loops;
    bool encrypt = false;
    ssl_ctx_st* context = nullptr;
    {
        MutexGuard guard(*stateMutex_);
        if (!initialized_.load()) return;
        manager = manager_;
        notify = notify_;
        pump = pump_;
        loops = loops_;
        encrypt = encryptionEnabled_;
        context = serverTls_ ? serverTls_->Get() : nullptr;
    }
    auto* created = new (std::nothrow) Connection(manager.Get(), notify.Get(), pump.Get(), form_);
    if (created == nullptr) {
        LOG_SEVERE("Listener thread failed to create connection.");
        return;
    }
    RefPtr<Connection> connection = RefPtr<Connection>::Adopt(created);
    if (Failed(connection->Initialize(socket.Release(), context, encrypt))) {
        LOG_SEVERE("Listener thread failed to initialize connection.");
        connection.Detach()->ReleaseDeferred();
        return;
    }
    // An encrypted connection is announced by its reader once its TLS session is up.
    if (!connection->AnnouncesItself()) {
        LOG_SPEW(0, "Connection Created - Connection ID - %s",
                 connection->GetId().ToString().c_str());
        (void)notify->OnEvent(connection->GetId(), ConnectionOpened);
    }
    connection->StartReader(PickLoop(loops));
    connection.Detach()->ReleaseDeferred();
}

Result NetworkTransportImpl::SetDataHook(IDataHook* hook) {
    RefPtr<NotificationThread> notify;
    if (!Acquire(nullptr, &notify)) return ResultOk;
    return notify->SetDataHook(hook);
}

Result NetworkTransportImpl::SetEnabled(bool enabled) {
    MutexGuard guard(*stateMutex_);
    if (!initialized_.load()) return ResultNotInitialized;
    enabled_.store(enabled);
    if (enabled) listener_.Wake();
    return ResultOk;
}

Result NetworkTransportImpl::ReleaseListenerPort() {
    MutexGuard guard(*stateMutex_);
    if (!initialized_.load()) return ResultNotInitialized;
    MutexGuard lock(*listenerLock_);
    TcpClose(listenerSocket_.exchange(-1));
    return ResultOk;
}

Result NetworkTransportImpl::ChangeListenerPort(std::uint16_t port) {
    MutexGuard guard(*stateMutex_);
    if (!initialized_.load()) return ResultNotInitialized;
    if (port == 0) return ResultOk;
    ScopedSocket socket = OpenListener(port, RebindAttempts, true);
    if (!socket.Valid()) return ResultFail;
    const bool hadListenerThread = port_.load() != 0;
    MutexGuard lock(*listenerLock_);
    port_.store(port);
    TcpClose(listenerSocket_.exchange(socket.Release()));
    lock.Unlock();
    if (!hadListenerThread) listener_.Start(Scheduler::Infinite);
    return ResultOk;
}

Result NetworkTransportImpl::SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) {
    RefPtr<ConnectionManager> manager;
    if (!Acquire(&manager, nullptr)) return ResultNotInitialized;
    return manager->SetConnectionSocketDscp(connectionId, dscp);
}

Result NetworkTransportImpl::Finalize() {
    RefPtr<ConnectionManager> manager;
    RefPtr<NotificationThread> notify;
    RefPtr<SendPump> pump;
    std::vector<RefPtr<ReceiveLoop>> loops;
    {
        MutexGuard guard(*stateMutex_);
        if (!initialized_.load()) {
            LOG_SPEW(0, "Transport object is not initialized.");
            return ResultNotInitialized;
        }
        initialized_.store(false);
        manager = std::move(manager_);
        notify = std::move(notify_);
        pump = std::move(pump_);
        loops.swap(loops_);
    }
    listener_.Stop();
    {
        MutexGuard lock(*listenerLock_);
        TcpClose(listenerSocket_.exchange(-1));
    }
    notify->ClearNotify();
    {
        // Sessions still open keep their own reference on the context.
        MutexGuard guard(*stateMutex_);
        serverTls_.reset();
        clientTls_.reset();
    }
    // Dropping the manager's last reference quits its thread and releases every
    // connection it still holds.
    manager.Reset();
    // Gives back the connections it still held for their queued output.
    pump->Shutdown();
    pump.Reset();
    // A loop lives on until the connections it reads are gone. Its last reference must not
    // go on its own thread (Finalize run by a listener there): that one is deferred.
    for (auto& loop : loops) {
        if (!loop->IsLoopThread()) continue;
        ReceiveLoop* last = loop.Detach();
        if (last->ReleaseNoDelete() == 0) DeleteLater(last);
    }
    loops.clear();
    notify.Reset();
    return ResultOk;
}

Result NetworkTransportImpl::SetEncryptionEnabled(bool enabled) {
    MutexGuard guard(*stateMutex_);
    if (!initialized_.load()) return ResultNotInitialized;
    if (!tls_.enabled) return ResultFail;
    encryptionEnabled_ = enabled;
    return ResultOk;
}

Result NetworkTransportImpl::AddNotify(ITransportNotify* listener) {
    RefPtr<NotificationThread> notify;
    if (!Acquire(nullptr, &notify)) {
        return LOG_REPORT_ERROR(ResultNotInitialized, "Transport object is not initialized.");
    }
    return notify->AddNotify(listener);
}

Result NetworkTransportImpl::RemoveNotify(ITransportNotify* listener) {
    RefPtr<NotificationThread> notify;
    if (Acquire(nullptr, &notify)) (void)notify->RemoveNotify(listener);
    return ResultOk;
}

#define BRONDAL_REQUIRE_MANAGER(manager)                                                       \
    RefPtr<ConnectionManager> manager;                                                         \
    if (!Acquire(&manager, nullptr)) {                                                         \
        return LOG_REPORT_ERROR(ResultNotInitialized, "Transport object is not initialized."); \
    }

Result NetworkTransportImpl::SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                                          std::uint32_t timeoutMs) {
    BRONDAL_REQUIRE_MANAGER(manager);
    Result result = manager->SetKeepAlive(connectionId, intervalMs, timeoutMs);
    if (Failed(result)) return LOG_REPORT_ERROR(result, "Unable to set keep alive on connection.");
    return ResultOk;
}

Result NetworkTransportImpl::SetIdleConnectionPurgeEnabled(bool enabled) {
    BRONDAL_REQUIRE_MANAGER(manager);
    manager->SetPurgeEnabled(enabled);
    return ResultOk;
}

Result NetworkTransportImpl::SetWriteTimeout(std::uint32_t milliseconds) {
    RefPtr<ConnectionManager> manager;
    if (milliseconds == 0 || !Acquire(&manager, nullptr) || !manager) return ResultInvalidArgument;
    manager->SetWriteTimeout(milliseconds);
    return ResultOk;
}

Result NetworkTransportImpl::SetConnectionParameters(std::uint32_t first, std::uint32_t second) {
    MutexGuard guard(*stateMutex_);
    parameters_[0] = first;
    parameters_[1] = second;
    return ResultOk;
}

Result NetworkTransportImpl::OpenConnection(std::uint32_t address, std::uint16_t port,
                                            UUID* connectionId, std::uint32_t timeoutMs) {
    RefPtr<ConnectionManager> manager;
    RefPtr<NotificationThread> notify;
    RefPtr<SendPump> pump;
    std::vector<RefPtr<ReceiveLoop>> loops;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    ssl_ctx_st* context = nullptr;
    {
        MutexGuard guard(*stateMutex_);
        if (!initialized_.load()) {
            return LOG_REPORT_ERROR(ResultNotInitialized, "Transport object is not initialized.");
        }
        manager = manager_;
        notify = notify_;
        pump = pump_;
        loops = loops_;
        context = clientTls_->Get();
        first = parameters_[0];
        second = parameters_[1];
    }
    if (connectionId == nullptr) return ResultNullPointer;
    RefPtr<Connection> connection = RefPtr<Connection>::Adopt(
        new Connection(manager.Get(), notify.Get(), pump.Get(), WireForm::Binary));
    connection->SetConnectionParameters(first, second);
    Result result = connection->Initialize(address, port, timeoutMs, context);
    if (Failed(result)) {
        LOG_SEVERE("Unable to initialize new connection. ip: %s port: %d, timeout: %d",
                   FormatIpv4(address).c_str(), port, timeoutMs);
        return result;
    }
    // In the table before its reader runs: a peer that closes at once is then removed after
    // it was added, never before.
    result = manager->AddConnection(connection.Get());
    if (Failed(result)) {
        LOG_SEVERE("Unable to add connection to connection manager.");
        (void)connection->Close(Connection::CloseFrom::Initialization);
        connection.Detach()->ReleaseDeferred();
        return result;
    }
    if (!connection->StartReader(PickLoop(loops))) {
        LOG_SEVERE("Transport client connection object failed to start thread");
        (void)manager->DeleteConnection(connection->GetId());
        (void)connection->Close(Connection::CloseFrom::Initialization);
        connection.Detach()->ReleaseDeferred();
        return ResultFail;
    }
    *connectionId = connection->GetId();
    connection.Detach()->ReleaseDeferred();
    return ResultOk;
}

Result NetworkTransportImpl::CloseConnection(UUID connectionId) {
    BRONDAL_REQUIRE_MANAGER(manager);
    Result result = manager->DeleteConnection(connectionId);
    if (Failed(result)) return LOG_REPORT_ERROR(result, "Unable to delete connection.");
    return ResultOk;
}

Result NetworkTransportImpl::CloseAllConnections() {
    BRONDAL_REQUIRE_MANAGER(manager);
    Result result = manager->DeleteAllConnections();
    if (Failed(result)) return LOG_REPORT_ERROR(result, "Unable to delete connections.");
    return ResultOk;
}

Result NetworkTransportImpl::GetPeerIpv4(UUID connectionId, std::uint32_t* address,
                                         std::uint16_t* port) {
    BRONDAL_REQUIRE_MANAGER(manager);
    if (address == nullptr) return ResultNullPointer;
    return manager->GetPeerIpv4(connectionId, address, port);
}

Result NetworkTransportImpl::GetLocalIpv4(UUID connectionId, std::uint32_t* address) {
    BRONDAL_REQUIRE_MANAGER(manager);
    if (address == nullptr) return ResultNullPointer;
    Result result = manager->GetLocalIpv4(connectionId, address);
    if (Failed(result)) return LOG_REPORT_ERROR(result, "Unable to get local ipv4.");
    return ResultOk;
}

Result NetworkTransportImpl::BeginWrite() {
    return IsInitialized() ? ResultOk : ResultNotInitialized;
}

Result NetworkTransportImpl::EndWrite() {
    return IsInitialized() ? ResultOk : ResultNotInitialized;
}

Result NetworkTransportImpl::ConnectionReadyForWrite(UUID connectionId, bool* ready) {
    BRONDAL_REQUIRE_MANAGER(manager);
    if (ready == nullptr) return ResultNullPointer;
    *ready = manager->ConnectionReadyForWrite(connectionId);
    return ResultOk;
}

Result NetworkTransportImpl::Write(UUID connectionId, UUID channelId, IDataStream* data) {
    BRONDAL_REQUIRE_MANAGER(manager);
    return manager->Write(connectionId, channelId, data);
}

Result NetworkTransportImpl::WriteText(UUID connectionId, IDataStream* data) {
    BRONDAL_REQUIRE_MANAGER(manager);
    return manager->WriteText(connectionId, data);
}

Result NetworkTransportImpl::WriteTextSynchronous(UUID connectionId, IDataStream* data) {
    BRONDAL_REQUIRE_MANAGER(manager);
    return manager->WriteTextSynchronous(connectionId, data);
}

Result NetworkTransportImpl::GetStatistics(std::uint32_t* connections) {
    BRONDAL_REQUIRE_MANAGER(manager);
    if (connections == nullptr) return ResultNullPointer;
    *connections = manager->GetConnectionCount();
    return ResultOk;
}

Result NetworkTransportImpl::GetHostByName(const std::string& host, std::uint32_t* address) {
    if (address == nullptr) return ResultNullPointer;
    *address = 0;
    if (const std::optional<std::uint32_t> parsed = ParseIpv4(host)) {
        *address = *parsed;
        return ResultOk;
    }
    RefPtr<ISocket> resolver;
    Result result = CreateSocket(resolver.Receive(), SocketFamily::Ipv4, SocketType::Stream,
                                 SocketProtocol::Tcp);
    if (Succeeded(result)) result = resolver->ResolveHostName(host, address);
    LOG_SPEW(0, "Trying to get host ip from host name (\"%s\") via native socket and got \"%s\"",
             host.c_str(), FormatIpv4(*address).c_str());
    return result;
}

Result NetworkTransportImpl::EnableReliableDelivery() { return ResultFail; }

std::pair<std::uint64_t, std::uint32_t> NetworkTransportImpl::PendingDelivery(
    const UUID& connectionId) {
    RefPtr<NotificationThread> notify;
    if (!Acquire(nullptr, &notify)) return {0, 0};
    const NotificationThread::Pending pending = notify->PendingFor(connectionId);
    return {pending.bytes, pending.frames};
}

Result NetworkTransportImpl::CreateWriter(UUID connectionId, IWriter** writer) {
    BRONDAL_REQUIRE_MANAGER(manager);
    if (writer == nullptr) return ResultNullPointer;
    return manager->CreateWriter(connectionId, writer);
}

Result NetworkTransportImpl::CreateDataStream(IDataStream** data) {
    (void)data;
    BRONDAL_REQUIRE_MANAGER(manager);
    return ResultOk;
}

namespace platform {

Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port, ITransport** transport) {
    return CreateTransport(bindAddress, port, WireForm::Binary, nullptr, transport);
}

Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                      ITransport** transport) {
    return CreateTransport(bindAddress, port, WireForm::Binary, &tls, transport);
}

Result CreateTextInstance(std::uint32_t bindAddress, std::uint16_t port, ITransport** transport) {
    return CreateTransport(bindAddress, port, WireForm::Text, nullptr, transport);
}

Result CreateRawInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                         ITransport** transport) {
    return CreateTransport(bindAddress, port, WireForm::Raw, &tls, transport);
}

}  // namespace platform

}  // namespace brondal
