#include "Connection.h"

#include <cerrno>
#include <vector>

#include "ConnectionManager.h"
#include "DeleteLater.h"
#include "FrameEncoder.h"
#include "Handshake.h"
#include "ISocket.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "NotificationThread.h"
#include "RawChunk.h"
#include "TcpSocket.h"
#include "TextFrameReceiver.h"
#include "WireFormat.h"

namespace brondal {

using namespace platform;

namespace {

// How long a reader pass waits for the socket before counting an idle interval.
constexpr std::uint32_t ReadWaitMs = 100;
// Pause after a frame broke off, so the next pass finds the closed socket rather than spin.
constexpr std::uint32_t BrokenFramePauseMs = 10;
constexpr std::int32_t ThreadStartTimeoutMs = 5000;
// Bounds the server side of a TLS handshake, which runs on the listener thread: a client
// that never starts one must not stop the transport from accepting.
constexpr std::uint32_t TlsAcceptTimeoutMs = 5000;

}  // namespace

Connection::Connection(ConnectionManager* manager, NotificationThread* notify, bool framed,
                       bool handshake)
    : generalMutex_(GetScheduler().CreateMutex()),
      writeLock_(GetScheduler().CreateMutex()),
      framed_(framed),
      handshake_(handshake),
      manager_(manager),
      notify_(notify),
      createdMs_(GetScheduler().GetTimeMs()) {}

Connection::~Connection() {
    LOG_SPEW(0, "Connection Destructor BEGIN");
    LOG_SPEW(0, "Connection Destructor ThreadQuit BEGIN");
    Stop();
    LOG_SPEW(0, "Connection Destructor ThreadQuit END");
    Close(false);
    keepAlive_.Stop();
    LOG_SPEW(0, "Connection Destructor END");
}

void Connection::ReleaseDeferred() {
    if (ReleaseNoDelete() == 0) DeleteLater(this);
}

void Connection::RetainManager(ConnectionManager* manager) {
    MutexGuard guard(*generalMutex_);
    retainedManager_ = RefPtr<ConnectionManager>(manager);
}

void Connection::DetachManager() {
    MutexGuard guard(*generalMutex_);
    manager_ = nullptr;
}

ConnectionManager* Connection::AcquireManager() {
    MutexGuard guard(*generalMutex_);
    if (manager_ == nullptr || manager_->TryAddRef() == 0) return nullptr;
    return manager_;
}

std::uint32_t Connection::WriteTimeoutMs() {
    ConnectionManager* manager = AcquireManager();
    if (manager == nullptr) return ConnectionManager::DefaultWriteTimeoutMs;
    std::uint32_t timeout = manager->GetWriteTimeout();
    manager->Release();
    return timeout;
}

Result Connection::Initialize(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs,
                              void* tlsContext) {
    if (address == 0) {
        RefPtr<ISocket> resolver;
        if (Failed(CreateSocket(resolver.Receive(), SocketFamily::Ipv4, SocketType::Stream,
                                SocketProtocol::Tcp)) ||
            Failed(resolver->ResolveHostName("", &address))) {
            return LOG_REPORT_ERROR(ResultFail, "Unable to get local host");
        }
    }
    int socket = TcpCreate();
    if (socket < 0) {
        LOG_SEVERE("Unable to create socket. Error: %d", LastSocketError());
        return ResultFail;
    }
    source_.SetSocket(socket);
    if (TcpSetNoDelay(socket) != 0) {
        LOG_SEVERE("Unable to set socket option while initializing. Error: %d", LastSocketError());
        Close(true);
        return ResultFail;
    }
    if (TcpConnect(socket, address, port, DefaultConnectTimeoutMs) != 0) {
        if (LastSocketError() == ETIMEDOUT) {
            LOG_SEVERE("Unable to connect. Connection timed out");
        } else {
            LOG_SEVERE("Unable to connect. Error: %d", LastSocketError());
        }
        Close(true);
        return ResultFail;
    }
    TcpGetLocal(socket, &localAddress_, nullptr);
    TcpGetPeer(socket, &peerAddress_, &peerPort_);

    const std::uint32_t handshakeWait = timeoutMs != 0 ? timeoutMs : DefaultConnectTimeoutMs;
    if (TcpWaitReadable(socket, static_cast<std::int32_t>(handshakeWait)) != 1) {
        LOG_SEVERE("Unable to connect to remote server (non-blocking socket). Error: %d",
                   LastSocketError());
        Close(true);
        return ResultFail;
    }
    HandshakeInfo info;
    Result result = ReadHandshake(source_, &info);
    if (Failed(result)) {
        Close(true);
        return result;
    }
    id_ = info.connectionId;
    if (info.encryptionRequested && tlsContext != nullptr &&
        Failed(source_.NegotiateTls(tlsContext, false, handshakeWait))) {
        Close(true);
        return ResultFail;
    }
    LOG_SPEW(0, "Connection completed - Connection ID: %s", id_.ToString().c_str());
    if (!StartReader()) {
        LOG_SEVERE("Transport client connection object failed to start thread");
        return ResultFail;
    }
    return ResultOk;
}

Result Connection::Initialize(int socket, void* tlsContext, bool encrypt) {
    GetScheduler().NewUuid(&id_);
    source_.SetSocket(socket);
    ConnectionManager* manager = AcquireManager();
    if (manager == nullptr) {
        Close(true);
        return ResultFail;
    }
    TcpGetLocal(socket, &localAddress_, nullptr);
    TcpGetPeer(socket, &peerAddress_, &peerPort_);
    Result result = manager->AddConnection(this);
    if (Succeeded(result) && handshake_) {
        const bool tls = encrypt && tlsContext != nullptr;
        HandshakeRecord record = BuildHandshake(id_, tls);
        if (source_.brondal_send(record.data(), static_cast<std::uint32_t>(record.size())) < 0) {
            LOG_SEVERE("Socket handshake write failure. Error: %d", LastSocketError());
            result = ResultFail;
        } else if (tls && Failed(source_.NegotiateTls(tlsContext, true, TlsAcceptTimeoutMs))) {
            // Staying plain after promising TLS would garble the stream: refuse instead.
            result = ResultFail;
        }
    }
    if (Failed(result)) {
        Close(true);
        manager->DeleteConnection(id_);
        manager->Release();
        return ResultFail;
    }
    manager->Release();
    return ResultOk;
}

bool Connection::StartReader() {
    Start(ThreadStartTimeoutMs);
    return IsRunning();
}

Result Connection::SendFrame(const std::uint8_t* bytes, std::uint32_t length, bool binary,
                             const UUID& connectionId) {
    const std::uint32_t timeout = WriteTimeoutMs();
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    // The write timeout bounds the whole frame, not only the first wait for buffer space:
    // a peer that stops reading must not hold the write lock (and every other writer)
    // without limit. A frame cut off by the timeout leaves the peer to resynchronise on the
    // next marker.
    const std::int64_t deadline = GetScheduler().GetTimeMs() + timeout;
    std::uint32_t sent = 0;
    // A plain socket is tried before it is waited for: one with room (the usual case) then
    // costs a single call. TLS waits first, as a session that finds no room logs it.
    bool tryFirst = socket >= 0 && !source_.IsTls();
    while (sent < length) {
        ClearSocketError();
        const std::int64_t left = deadline - GetScheduler().GetTimeMs();
        const int ready =
            tryFirst     ? 1
            : socket < 0 ? -1
                         : TcpWaitWritable(
                               socket, static_cast<std::int32_t>(std::max<std::int64_t>(left, 0)));
        if (ready != 1) {
            if (!binary) {
                LOG_SEVERE(
                    "The socket is not available for writing. Returning error. Connection ID: %s",
                    connectionId.ToString().c_str());
            } else if (ready < 0) {
                LOG_SEVERE(
                    "The socket is not available for writing. Returning error. Socket "
                    "error: %d. Connection ID: %s. Timeout: %d",
                    LastSocketError(), connectionId.ToString().c_str(), timeout);
            }
            // A closed or failed socket is a lost socket, not a slow one: the reliable
            // adapter reconnects on the former and gives up on the latter.
            return ready < 0 ? ResultSocketWriteFailed : ResultWriteTimeout;
        }
        const std::int32_t count = source_.brondal_send(bytes + sent, length - sent);
        if (count < 0) {
            if (binary) {
                LOG_SEVERE("Socket write failure - Connection ID - %s socket error = %d",
                           connectionId.ToString().c_str(), LastSocketError());
            } else {
                LOG_SEVERE("Socket write failure - Connection ID - %s",
                           connectionId.ToString().c_str());
            }
            return ResultSocketWriteFailed;
        }
        sent += static_cast<std::uint32_t>(count);
        tryFirst = tryFirst && count > 0;
    }
    return ResultOk;
}

Result Connection::Write(UUID channelId, IDataStream* data) {
    std::vector<std::uint8_t> wire;
    Result result = EncodeBinaryFrame(channelId, data, &wire);
    if (Failed(result)) return result;
    return SendFrame(wire.data(), static_cast<std::uint32_t>(wire.size()), true, id_);
}

Result Connection::WriteText(const UUID& connectionId, IDataStream* data) {
    std::vector<std::uint8_t> wire;
    Result result = EncodeTextFrame(data, handshake_, &wire);
    if (Failed(result)) return result;
    return SendFrame(wire.data(), static_cast<std::uint32_t>(wire.size()), false, connectionId);
}

bool Connection::ReadyForWrite() {
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    return socket >= 0 && TcpWaitWritable(socket, 0) == 1;
}

Result Connection::SetKeepAlive(std::uint32_t intervalMs, std::uint32_t timeoutMs) {
    keepAliveIntervalMs_.store(intervalMs);
    keepAliveTimeoutMs_.store(timeoutMs);
    RefPtr<IDataStream> settings;
    Result result = NewDataStream(settings.Receive());
    if (Succeeded(result)) result = settings->WriteUInt32(intervalMs);
    if (Succeeded(result)) result = settings->WriteUInt32(timeoutMs);
    if (Succeeded(result)) result = Write(KeepAliveSettingsId, settings.Get());
    if (Failed(result)) {
        LOG_SEVERE("Unable to set keepalive on connection.");
        return ResultFail;
    }
    return ResultOk;
}

Result Connection::SetConnectionSocketDscp(std::uint32_t dscp) {
    MutexGuard guard(*writeLock_);
    return QOSWrapper::SetDSCP(source_.GetSocket(), &qos_, dscp);
}

void Connection::PurgeIfIdle() {
    if (keepAliveTimeoutMs_.load() != 0 && keepAlive_.IsRunning()) return;
    const std::int64_t lastActivity = std::max(createdMs_.load(), receiver_.GetLastActivityMs());
    if (GetScheduler().GetTimeMs() - lastActivity <= IdlePurgeMs) return;
    // The reader closes the connection itself. Stopping it from here instead would block the
    // manager's thread on a reader that may be inside a listener waiting for this very
    // thread. The shutdown wakes the reader at once; the write lock keeps the descriptor
    // from being closed (and its number reused) under the shutdown.
    purgeRequested_.store(true);
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    if (socket >= 0) TcpShutdown(socket);
}

bool Connection::PurgeRequested() {
    if (!purgeRequested_.load()) return false;
    LOG_INFO("Safety timout reached. Connection thread removed. State = %d",
             static_cast<int>(receiver_.GetState()));
    CloseAndRemove();
    return true;
}

Result Connection::Close(bool fromInitialization) {
    int socket = source_.GetSocket();
    if (socket < 0) return ResultOk;
    if (!fromInitialization) {
        // Shut down before taking the write lock: it wakes a writer (a ping included) that
        // waits for buffer space while holding the lock.
        TcpShutdown(socket);
        keepAlive_.Stop();
    }
    MutexGuard guard(*writeLock_);
    socket = source_.GetSocket();
    if (socket < 0) return ResultOk;
    if (qos_.handle != 0 || qos_.flow != 0) {
        QOSWrapper::CleanupQos(socket, qos_);
        qos_ = {};
    }
    const int closed = TcpClose(socket);
    source_.SetSocket(-1);
    guard.Unlock();
    if (fromInitialization) return closed;
    return notify_->OnEvent(id_, ITransport::ConnectionClosed);
}

void Connection::CloseAndRemove() {
    Close(false);
    if (ConnectionManager* manager = AcquireManager()) {
        manager->DeleteConnection(id_);
        manager->Release();
    }
}

void Connection::Deliver(const UUID& channelId, IDataStream* data) {
    notify_->OnDataReady(id_, channelId, data);
}

bool Connection::HandleKeepAliveTimeout() {
    const std::uint32_t timeout = keepAliveTimeoutMs_.load();
    if (timeout == 0 || !keepAlive_.IsRunning()) return false;
    ++idleCount_;
    if (idleCount_ > timeout / 100) {
        LOG_SEVERE("Keep Alive on connection expired - Connection ID %s. Error: %d. Keepalive: %d",
                   id_.ToString().c_str(), LastSocketError(), timeout);
        CloseAndRemove();
        return true;
    }
    if (idleCount_ == FifteenSecondMark) {
        LOG_SEVERE(
            "Keep Alive on connection REACHED 15 SEC TIMEOUT, would have disconnected. "
            "Connection ID %s. New keepalive: %d",
            id_.ToString().c_str(), timeout);
    }
    return false;
}

bool Connection::OnFrame(BinaryFrameReceiver::Outcome outcome, BinaryFrameReceiver::Frame& frame) {
    using Outcome = BinaryFrameReceiver::Outcome;
    switch (outcome) {
        case Outcome::Data:
            Deliver(frame.channel, frame.data.Get());
            return true;
        case Outcome::KeepAliveSettings:
            keepAliveIntervalMs_.store(frame.keepAliveIntervalMs);
            keepAliveTimeoutMs_.store(frame.keepAliveTimeoutMs);
            keepAlive_.StartKeepAlive(this);
            return true;
        case Outcome::KeepAlivePing:
            if (!keepAlive_.IsRunning()) keepAlive_.StartKeepAlive(this);
            idleCount_ = 0;
            return true;
        case Outcome::Pending:
        case Outcome::Dropped:
            return true;
        case Outcome::Broken:
            GetScheduler().Sleep(BrokenFramePauseMs);
            return true;
        case Outcome::OutOfMemory:
            // The rest of the lost frame cannot be told from the next one: start over.
            CloseAndRemove();
            return false;
    }
    return true;
}

bool Connection::ReceivePass() {
    const int socket = source_.GetSocket();
    if (socket < 0 || PurgeRequested()) return false;
    ClearSocketError();
    const std::int32_t ready = source_.WaitReadable(ReadWaitMs);
    if (PurgeRequested()) return false;
    if (ready == IByteSource::Failed) {
        LOG_SEVERE("Socket error, closing socket. Error: %d", LastSocketError());
        CloseAndRemove();
        return false;
    }
    if (ready == IByteSource::Pending) return !HandleKeepAliveTimeout();

    std::uint8_t byte;
    const std::int32_t peeked = source_.brondal_peek(&byte, 1);
    // Part of a TLS record: the rest comes on a later pass.
    if (peeked == IByteSource::Pending) return true;
    if (peeked == 1) {
        if (framed_) {
            BinaryFrameReceiver::Frame frame;
            return OnFrame(receiver_.ReceivePass(source_, &frame), frame);
        }
        if (handshake_) {
            TextFrameReceiver::ReceivePass(
                source_, [this](IDataStream* text) { Deliver(NilChannelId, text); });
            return true;
        }
        RefPtr<IDataStream> chunk;
        ReceiveRawChunk(source_, peerAddress_, localAddress_, chunk.Receive());
        if (chunk) Deliver(NilChannelId, chunk.Get());
        return true;
    }
    const int error = LastSocketError();
    if (peeked == 0 && error != 0) {
        LOG_INFO("Socket closed - Connection ID - %s retval = %d, error: %d",
                 id_.ToString().c_str(), peeked, error);
    } else if (peeked < 0) {
        LOG_SEVERE("Socket error - Connection ID - %s retval = %d socket error = %d",
                   id_.ToString().c_str(), peeked, error);
    }
    CloseAndRemove();
    return false;
}

bool Connection::ThreadFunc() {
    // The pass keeps this connection alive. The manager is taken only for the moment it is
    // called: a pass that held it across its read wait would make the manager (and every
    // connection it holds) outlive the transport's Finalize by up to a wait.
    if (TryAddRef() == 0) return false;
    const bool again = ReceivePass();
    ReleaseDeferred();
    return again;
}

Connection::KeepAliveThread::~KeepAliveThread() { Stop(); }

void Connection::KeepAliveThread::StartKeepAlive(Connection* connection) {
    connection_.store(connection);
    Start(ThreadStartTimeoutMs);
}

bool Connection::KeepAliveThread::ThreadFunc() {
    Scheduler& scheduler = GetScheduler();
    Connection* connection = connection_.load();
    if (connection == nullptr) {
        scheduler.Sleep(TickMs);
        return true;
    }
    const std::uint32_t interval = connection->keepAliveIntervalMs_.load();
    const std::uint32_t timeout = connection->keepAliveTimeoutMs_.load();
    ++ticks_;
    if (ticks_ <= interval / TickMs) {
        scheduler.Sleep(TickMs);
        return true;
    }
    // Only failing pings get this far: the sender gives up for good.
    if (ticks_ > timeout / TickMs) return false;
    const std::int64_t now = scheduler.GetTimeMs();
    if (lastFailedPingMs_ != 0 && now - lastFailedPingMs_ <= static_cast<std::int64_t>(interval)) {
        scheduler.Sleep(TickMs);
        return true;
    }
    RefPtr<IDataStream> empty;
    Result result = NewDataStream(empty.Receive());
    if (Succeeded(result)) result = connection->Write(KeepAlivePingId, empty.Get());
    if (Failed(result)) {
        scheduler.Sleep(TickMs);
        lastFailedPingMs_ = scheduler.GetTimeMs();
        return true;
    }
    lastFailedPingMs_ = 0;
    ticks_ = 0;
    scheduler.Sleep(TickMs);
    return true;
}

}  // namespace brondal
