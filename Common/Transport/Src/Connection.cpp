#include "Connection.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <optional>
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
#include "ReceiveLoop.h"
#include "SendPump.h"
#include "SharedThread.h"
#include "TcpSocket.h"
#include "WireFormat.h"

namespace brondal {

// Close and the manager's removal are dropped with (void) where the connection is going
// either way (a failed initialisation, a lost socket): their results add nothing.

using namespace platform;

namespace {

// The connection whose reader is delivering a frame on this thread (see cork_).
thread_local const Connection* delivering = nullptr;

// How long a reader pass waits for the socket before counting an idle interval, while
// keep-alive supervision counts them.
constexpr std::uint32_t ReadWaitMs = 100;
// How long it waits otherwise. Nothing is counted then, and everything that must reach a
// waiting reader (a close, a purge, the destructor's stop) shuts the socket down, which ends
// the wait at once; so the wait is long, and thousands of quiet connections do not wake
// their threads ten times a second for nothing.
constexpr std::uint32_t QuietReadWaitMs = 5000;
// Pause after a frame broke off, so the next pass finds the closed socket rather than spin.
constexpr std::uint32_t BrokenFramePauseMs = 10;
constexpr std::int32_t ThreadStartTimeoutMs = 5000;

std::int64_t MonotonicMs() { return GetScheduler().GetTickCount64(); }

}  // namespace

Connection::Connection(ConnectionManager* manager, NotificationThread* notify, SendPump* pump,
                       WireForm form)
    : generalMutex_(GetScheduler().CreateMutex()),
      writeLock_(GetScheduler().CreateMutex()),
      room_(GetScheduler().CreateEvent(true, true)),
      form_(form),
      manager_(manager),
      notify_(notify),
      pump_(pump),
      createdMs_(GetScheduler().GetTimeMs()) {}

Connection::~Connection() {
    LOG_SPEW(0, "Connection Destructor BEGIN");
    // No loop pass or tick reaches this connection any more.
    if (loop_) loop_->Remove(this);
    LOG_SPEW(0, "Connection Destructor ThreadQuit BEGIN");
    {
        // Wakes a reader waiting in the socket, so that it sees the stop at once.
        MutexGuard guard(*writeLock_);
        const int socket = source_.GetSocket();
        if (socket >= 0) TcpShutdown(socket);
    }
    Stop();
    LOG_SPEW(0, "Connection Destructor ThreadQuit END");
    (void)Close(CloseFrom::Running);
    keepAlive_.Stop();
    if (pendingTls_ != nullptr) SSL_CTX_free(pendingTls_);
    LOG_SPEW(0, "Connection Destructor END");
}

void Connection::ReleaseDeferred() {
    if (ReleaseNoDelete() == 0) DeleteLater(this);
}

void Connection::OnRemoved() {
    MutexGuard guard(*writeLock_);
    removed_ = true;
    const int socket = source_.GetSocket();
    if (socket >= 0 && output_.empty()) TcpShutdown(socket);
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
                              ssl_ctx_st* tlsContext) {
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
        (void)Close(CloseFrom::Initialization);
        return ResultFail;
    }
    if (TcpConnect(socket, address, port, DefaultConnectTimeoutMs) != 0) {
        if (IsTimedOut(LastSocketError())) {
            LOG_SEVERE("Unable to connect. Connection timed out");
        } else {
            LOG_SEVERE("Unable to connect. Error: %d", LastSocketError());
        }
        (void)Close(CloseFrom::Initialization);
        return ResultFail;
    }
    TcpGetLocal(socket, &localAddress_, nullptr);
    TcpGetPeer(socket, &peerAddress_, &peerPort_);

    const std::uint32_t handshakeWait = timeoutMs != 0 ? timeoutMs : DefaultConnectTimeoutMs;
    if (TcpWaitReadable(socket, static_cast<std::int32_t>(handshakeWait)) != 1) {
        LOG_SEVERE("Unable to connect to remote server (non-blocking socket). Error: %d",
                   LastSocketError());
        (void)Close(CloseFrom::Initialization);
        return ResultFail;
    }
    HandshakeInfo info;
    Result result = ReadHandshake(source_, &info, handshakeWait);
    if (Failed(result)) {
        (void)Close(CloseFrom::Initialization);
        return result;
    }
    id_ = info.connectionId;
    if (info.encryptionRequested && tlsContext != nullptr &&
        Failed(
            source_.NegotiateTls(tlsContext, SocketByteSource::TlsRole::Client, handshakeWait))) {
        (void)Close(CloseFrom::Initialization);
        return ResultFail;
    }
    LOG_SPEW(0, "Connection completed - Connection ID: %s", id_.ToString().c_str());
    return ResultOk;
}

Result Connection::Initialize(int socket, ssl_ctx_st* tlsContext, bool encrypt) {
    GetScheduler().NewUuid(&id_);
    source_.SetSocket(socket);
    ConnectionManager* manager = AcquireManager();
    if (manager == nullptr) {
        (void)Close(CloseFrom::Initialization);
        return ResultFail;
    }
    TcpGetLocal(socket, &localAddress_, nullptr);
    TcpGetPeer(socket, &peerAddress_, &peerPort_);
    Result result = manager->AddConnection(this);
    if (Succeeded(result) && form_ != WireForm::Raw) {
        const bool tls = encrypt && tlsContext != nullptr;
        HandshakeRecord record = BuildHandshake(id_, tls);
        // A fresh socket's send buffer is empty: the record goes in one call or not at all.
        if (source_.brondal_send(record.data(), static_cast<std::uint32_t>(record.size())) !=
            static_cast<std::int32_t>(record.size())) {
            LOG_SEVERE("Socket handshake write failure. Error: %d", LastSocketError());
            result = ResultFail;
        } else if (tls) {
            // The session is negotiated by the reader (see AnnouncesItself); the context
            // must outlive a transport that finalises meanwhile.
            SSL_CTX_up_ref(tlsContext);
            pendingTls_ = tlsContext;
        }
    }
    if (Failed(result)) {
        (void)Close(CloseFrom::Initialization);
        (void)manager->DeleteConnection(id_);
        manager->Release();
        return ResultFail;
    }
    manager->Release();
    return ResultOk;
}

bool Connection::RunPendingTls() {
    ssl_ctx_st* context = pendingTls_;
    // Staying plain after promising TLS would garble the stream: refuse instead.
    const bool negotiated = Succeeded(
        source_.NegotiateTls(context, SocketByteSource::TlsRole::Server, TlsAcceptTimeoutMs));
    pendingTls_ = nullptr;
    SSL_CTX_free(context);
    if (!negotiated) {
        (void)Close(CloseFrom::Initialization);
        if (ConnectionManager* manager = AcquireManager()) {
            (void)manager->DeleteConnection(id_);
            manager->Release();
        }
        return false;
    }
    LOG_SPEW(0, "Connection Created - Connection ID - %s", id_.ToString().c_str());
    (void)notify_->OnEvent(id_, ITransport::ConnectionOpened);
    return true;
}

bool Connection::StartReader(ReceiveLoop* loop) {
    if (loop != nullptr && form_ == WireForm::Binary && pendingTls_ == nullptr &&
        !source_.IsTls()) {
        MutexGuard guard(*writeLock_);
        const int socket = source_.GetSocket();
        // A loop's reads must never wait: the socket becomes non-blocking (writes never
        // waited in it anyway) and the source's reads report Pending at once.
        if (socket >= 0 && TcpSetBlocking(socket, false) == 0) {
            source_.SetReadWaitMs(0);
            loop_ = RefPtr<ReceiveLoop>(loop);
            if (loop->Add(this, socket)) return true;
            loop_.Reset();
            source_.SetReadWaitMs(SocketByteSource::ReadWaitMs);
            (void)TcpSetBlocking(socket, true);
        }
    }
    Start(ThreadStartTimeoutMs);
    return IsRunning();
}

Result Connection::SendNow(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t* sent,
                           FrameKind kind, const UUID& connectionId) {
    while (*sent < length) {
        ClearSocketError();
        const std::int32_t count = source_.brondal_send(bytes + *sent, length - *sent);
        if (count < 0) {
            if (kind == FrameKind::Binary) {
                LOG_SEVERE("Socket write failure - Connection ID - %s socket error = %d",
                           connectionId.ToString().c_str(), LastSocketError());
            } else {
                LOG_SEVERE("Socket write failure - Connection ID - %s",
                           connectionId.ToString().c_str());
            }
            return ResultSocketWriteFailed;
        }
        if (count == 0) break;  // no room now
        *sent += static_cast<std::uint32_t>(count);
    }
    return ResultOk;
}

bool Connection::EnqueueLocked(std::vector<std::uint8_t> wire, std::uint32_t sent, int socket) {
    const bool wasEmpty = output_.empty();
    queuedBytes_ += wire.size() - sent;
    output_.push_back(QueuedFrame{std::move(wire), sent});
    if (wasEmpty) lastProgressMs_ = MonotonicMs();
    if (watched_.load()) return true;
    // The flag is set before the pump is asked, so that a sweep running meanwhile either
    // keeps this connection or has it put back by Watch.
    watched_.store(true);
    if (pump_ && pump_->Watch(this, socket)) return true;
    watched_.store(false);
    return false;
}

bool Connection::HoldsLocked(std::uint64_t length) const {
    return delivering == this && cork_.size() + length <= CorkLimitBytes;
}

Result Connection::FlushCorkLocked(int socket) {
    corkPending_.store(false, std::memory_order_relaxed);
    std::uint32_t sent = 0;
    if (output_.empty()) {
        const auto length = static_cast<std::uint32_t>(cork_.size());
        const bool failed = Failed(SendNow(cork_.data(), length, &sent, FrameKind::Binary, id_));
        if (failed || sent == length) {
            cork_.clear();
            if (cork_.capacity() > KeptCorkBytes) std::vector<std::uint8_t>().swap(cork_);
            return failed ? ResultSocketWriteFailed : ResultOk;
        }
    }
    std::vector<std::uint8_t> bytes = std::move(cork_);
    cork_.clear();
    // The held frames are small (CorkLimitBytes), so they join the queue even when it is
    // near its limit; part of them may be out already.
    return EnqueueLocked(std::move(bytes), sent, socket) ? ResultOk : ResultSocketWriteFailed;
}

void Connection::DropOutputLocked(int socket) {
    if (watched_.load() && socket >= 0 && pump_) pump_->Forget(socket);
    watched_.store(false);
    cork_.clear();
    corkPending_.store(false, std::memory_order_relaxed);
    output_.clear();
    queuedBytes_ = 0;
    room_->Set();
}

void Connection::RequestCloseLocked(int socket) {
    closeRequested_.store(true);
    // Wakes the reader at once; the descriptor stays open (and its number unused) until the
    // reader closes it under the write lock.
    if (socket >= 0) TcpShutdown(socket);
    room_->Set();
}

Result Connection::SendFrame(std::vector<std::uint8_t> wire, FrameKind kind,
                             const UUID& connectionId) {
    const auto length = static_cast<std::uint32_t>(wire.size());
    const bool mayWait = !IsSharedThread();
    const std::uint32_t timeout = mayWait ? WriteTimeoutMs() : 0;
    // Set when the frame first has to wait for room: a frame that goes out or joins the
    // queue at once (nearly all) reads no clock.
    std::optional<std::int64_t> deadline;
    MutexGuard guard(*writeLock_);
    for (;;) {
        const int socket = source_.GetSocket();
        if (socket < 0 || closeRequested_.load()) {
            if (kind == FrameKind::Text) {
                LOG_SEVERE(
                    "The socket is not available for writing. Returning error. Connection ID: %s",
                    connectionId.ToString().c_str());
            } else {
                LOG_SEVERE(
                    "The socket is not available for writing. Returning error. Socket "
                    "error: %d. Connection ID: %s. Timeout: %d",
                    LastSocketError(), connectionId.ToString().c_str(), timeout);
            }
            return ResultSocketWriteFailed;
        }
        if (HoldsLocked(length)) {
            if (cork_.empty()) {
                cork_ = std::move(wire);
            } else {
                cork_.insert(cork_.end(), wire.begin(), wire.end());
            }
            corkPending_.store(true, std::memory_order_relaxed);
            return ResultOk;
        }
        if (!cork_.empty() && Failed(FlushCorkLocked(socket))) {
            RequestCloseLocked(socket);
            return ResultSocketWriteFailed;
        }
        if (output_.empty()) {
            std::uint32_t sent = 0;
            if (Failed(SendNow(wire.data(), length, &sent, kind, connectionId))) {
                RequestCloseLocked(socket);
                return ResultSocketWriteFailed;
            }
            if (sent == length) return ResultOk;
            if (!EnqueueLocked(std::move(wire), sent, socket)) {
                // Part of the frame is out and the rest cannot follow: the peer would read
                // the next frame as its body.
                RequestCloseLocked(socket);
                return ResultSocketWriteFailed;
            }
            return ResultOk;
        }
        const std::uint64_t after = queuedBytes_ + length;
        if (mayWait ? queuedBytes_ <= OutputHighWaterBytes : after <= MaxQueuedOutputBytes) {
            if (!EnqueueLocked(std::move(wire), 0, socket)) return ResultSocketWriteFailed;
            return ResultOk;
        }
        if (!mayWait) {
            LOG_SEVERE(
                "Output for connection %s (peer %x port %d) would pass %llu bytes: the peer "
                "does not read; closing it",
                id_.ToString().c_str(), peerAddress_, peerPort_,
                static_cast<unsigned long long>(MaxQueuedOutputBytes));
            RequestCloseLocked(socket);
            return ResultSocketWriteFailed;
        }
        const std::int64_t now = MonotonicMs();
        if (!deadline) deadline = now + timeout;
        const std::int64_t left = *deadline - now;
        if (left <= 0) {
            if (kind == FrameKind::Text) {
                LOG_SEVERE(
                    "The socket is not available for writing. Returning error. Connection ID: %s",
                    connectionId.ToString().c_str());
            }
            // Nothing of this frame went out: the connection stays usable.
            return ResultWriteTimeout;
        }
        // Held back until the pump has sent enough; the slice keeps a manual clock (which
        // does not move by itself) from stranding the writer forever in tests.
        room_->Reset();
        guard.Unlock();
        room_->Wait(static_cast<std::int32_t>(std::min<std::int64_t>(left, ReadWaitMs)));
        guard.Relock();
    }
}

Result Connection::FlushLocked() {
    while (!output_.empty()) {
        QueuedFrame& front = output_.front();
        const std::uint32_t before = front.sent;
        Result result = SendNow(front.bytes.data(), static_cast<std::uint32_t>(front.bytes.size()),
                                &front.sent, FrameKind::Binary, id_);
        const std::uint32_t moved = front.sent - before;
        queuedBytes_ -= moved;
        if (moved > 0) lastProgressMs_ = MonotonicMs();
        if (Failed(result)) return result;
        if (front.sent < front.bytes.size()) break;
        output_.pop_front();
    }
    return ResultOk;
}

void Connection::OnRoomToSend() {
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    if (!watched_.load() || socket < 0) return;
    if (Failed(FlushLocked())) {
        RequestCloseLocked(socket);
        DropOutputLocked(socket);
        return;
    }
    if (queuedBytes_ <= OutputHighWaterBytes) {
        room_->Set();
        if (loop_) ResumeReadingLocked(socket);
    }
    if (output_.empty()) {
        pump_->Forget(socket);
        watched_.store(false);
        if (removed_) TcpShutdown(socket);
    } else if (!pump_->Watch(this, socket)) {
        RequestCloseLocked(socket);
        DropOutputLocked(socket);
    }
}

void Connection::CheckOutputStall(std::int64_t nowMs) {
    const std::uint32_t timeout = WriteTimeoutMs();
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    if (output_.empty() || socket < 0 || closeRequested_.load()) return;
    // Twice the time-out: a caller held back for room counts its own time-out from when it
    // began to wait, which is never before the last progress, so it gets its time-out result
    // (nothing sent, connection usable) before a stall is declared.
    if (nowMs - lastProgressMs_ <= 2 * static_cast<std::int64_t>(timeout)) return;
    LOG_SEVERE(
        "Output for connection %s (peer %x port %d) made no progress for %d ms: the peer does "
        "not read; closing it",
        id_.ToString().c_str(), peerAddress_, peerPort_, 2 * timeout);
    RequestCloseLocked(socket);
}

Result Connection::Write(UUID channelId, IDataStream* data) {
    if (delivering == this && data != nullptr) {
        // Written by this connection's own delivery: the frame joins the held bytes in
        // place. Anything else (no socket, no room) takes the general path, which reports it.
        std::uint32_t size = 0;
        if (Succeeded(data->GetSize(&size))) {
            MutexGuard guard(*writeLock_);
            if (source_.GetSocket() >= 0 && !closeRequested_.load() &&
                HoldsLocked(std::uint64_t{FrameHeaderLength} + size)) {
                const Result result = AppendBinaryFrame(channelId, data, &cork_);
                if (Succeeded(result) && !cork_.empty()) {
                    corkPending_.store(true, std::memory_order_relaxed);
                }
                return result;
            }
        }
    }
    std::vector<std::uint8_t> wire;
    Result result = EncodeBinaryFrame(channelId, data, &wire);
    if (Failed(result)) return result;
    return SendFrame(std::move(wire), FrameKind::Binary, id_);
}

Result Connection::WriteText(const UUID& connectionId, IDataStream* data) {
    std::vector<std::uint8_t> wire;
    Result result = EncodeTextFrame(data, form_ != WireForm::Raw, &wire);
    if (Failed(result)) return result;
    return SendFrame(std::move(wire), FrameKind::Text, connectionId);
}

bool Connection::ReadyForWrite() {
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    return socket >= 0 && output_.empty() && cork_.empty() && !closeRequested_.load() &&
           TcpWaitWritable(socket, 0) == 1;
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

Result Connection::Close(CloseFrom from) {
    int socket = source_.GetSocket();
    if (socket < 0) return ResultOk;
    if (from == CloseFrom::Running) {
        // Shut down before taking the write lock: it wakes a writer (a ping included) that
        // waits for buffer space while holding the lock.
        TcpShutdown(socket);
        keepAlive_.Stop();
    }
    MutexGuard guard(*writeLock_);
    socket = source_.GetSocket();
    if (socket < 0) return ResultOk;
    if (qos_.handle != 0 || qos_.flow != 0) {
        (void)QOSWrapper::CleanupQos(socket, qos_);
        qos_ = {};
    }
    DropOutputLocked(socket);
    if (loop_) loop_->Forget(socket);
    const int closed = TcpClose(socket);
    source_.SetSocket(-1);
    guard.Unlock();
    if (from == CloseFrom::Initialization) return closed;
    return notify_->OnEvent(id_, ITransport::ConnectionClosed);
}

void Connection::CloseAndRemove() {
    (void)Close(CloseFrom::Running);
    if (ConnectionManager* manager = AcquireManager()) {
        (void)manager->DeleteConnection(id_);
        manager->Release();
    }
}

void Connection::Deliver(const UUID& channelId, IDataStream* data) {
    const Connection* outer = delivering;
    delivering = this;
    (void)notify_->OnDataReady(id_, channelId, data);
    delivering = outer;
    if (!corkPending_.load(std::memory_order_relaxed)) return;
    MutexGuard guard(*writeLock_);
    const int socket = source_.GetSocket();
    if (cork_.empty() || socket < 0) return;
    if (Failed(FlushCorkLocked(socket))) RequestCloseLocked(socket);
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
            // A loop finds the closed socket at its next wait without pausing anyone.
            if (!loop_) GetScheduler().Sleep(BrokenFramePauseMs);
            return true;
        case Outcome::OutOfMemory:
            // The rest of the lost frame cannot be told from the next one: start over.
            CloseAndRemove();
            return false;
    }
    return true;
}

bool Connection::CloseIfAsked() {
    if (PurgeRequested()) return true;
    if (!closeRequested_.load()) return false;
    // A writer or the send pump found the socket lost and logged why.
    CloseAndRemove();
    return true;
}

void Connection::EndOfInput(std::int32_t peeked) {
    const int error = LastSocketError();
    if (peeked == 0 && error != 0) {
        LOG_INFO("Socket closed - Connection ID - %s retval = %d, error: %d",
                 id_.ToString().c_str(), peeked, error);
    } else if (peeked < 0) {
        LOG_SEVERE("Socket error - Connection ID - %s retval = %d socket error = %d",
                   id_.ToString().c_str(), peeked, error);
    }
    CloseAndRemove();
}

bool Connection::PauseReadingIfBacklogged() {
    MutexGuard guard(*writeLock_);
    if (queuedBytes_ <= OutputHighWaterBytes) return false;
    const int socket = source_.GetSocket();
    if (!readPaused_ && socket >= 0) {
        readPaused_ = true;
        loop_->Forget(socket);
    }
    return true;
}

void Connection::ResumeReadingLocked(int socket) {
    if (!readPaused_ || socket < 0 || queuedBytes_ > OutputHighWaterBytes) return;
    readPaused_ = false;
    if (!loop_->Resume(this, socket)) RequestCloseLocked(socket);
}

bool Connection::LoopPass() {
    if (source_.GetSocket() < 0 || CloseIfAsked()) return false;
    for (int frames = 0; frames < ReceiveLoop::FramesPerTurn; ++frames) {
        // watched_ is the cheap sign that anything is queued at all.
        if (watched_.load() && PauseReadingIfBacklogged()) return false;
        ClearSocketError();
        std::uint8_t byte;
        const std::int32_t peeked = source_.brondal_peek(&byte, 1);
        if (peeked != 1) {
            if (peeked < 0 && IsWouldBlock(LastSocketError())) return false;
            EndOfInput(peeked);
            return false;
        }
        heardSinceTick_ = true;
        BinaryFrameReceiver::Frame frame;
        const BinaryFrameReceiver::Outcome outcome = receiver_.ReceivePass(source_, &frame);
        if (!OnFrame(outcome, frame)) return false;
        // Part of a frame (the rest comes with the next readiness), a frame that broke off
        // (the next wait reports the closed socket), or nothing left in the buffer (the
        // socket reports whatever it still holds): the loop's next wait decides.
        if (outcome == BinaryFrameReceiver::Outcome::Pending ||
            outcome == BinaryFrameReceiver::Outcome::Broken || !source_.HasBuffered() ||
            source_.GetSocket() < 0) {
            return false;
        }
    }
    return source_.HasBuffered();
}

void Connection::LoopTick() {
    if (source_.GetSocket() < 0 || CloseIfAsked()) return;
    const bool heard = heardSinceTick_;
    heardSinceTick_ = false;
    if (heard || keepAliveTimeoutMs_.load() == 0 || !keepAlive_.IsRunning()) return;
    (void)HandleKeepAliveTimeout();
}

bool Connection::ReceivePass() {
    const int socket = source_.GetSocket();
    if (socket < 0 || CloseIfAsked()) return false;
    if (pendingTls_ != nullptr && !RunPendingTls()) return false;
    // While the delivering thread has not caught up with this connection (or with the whole
    // transport), nothing more is read: the peer is held by TCP's flow control. Such a wait
    // is not silence, so it does not count towards the keep-alive time-out.
    if (!notify_->WaitForDeliveryRoom(id_, ReadWaitMs)) return true;
    ClearSocketError();
    const bool supervised = keepAliveTimeoutMs_.load() != 0 && keepAlive_.IsRunning();
    const std::int32_t ready = source_.WaitReadable(supervised ? ReadWaitMs : QuietReadWaitMs);
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
        if (form_ == WireForm::Binary) {
            BinaryFrameReceiver::Frame frame;
            return OnFrame(receiver_.ReceivePass(source_, &frame), frame);
        }
        if (form_ == WireForm::Text) {
            textReceiver_.ReceivePass(source_,
                                      [this](IDataStream* text) { Deliver(NilChannelId, text); });
            return true;
        }
        RefPtr<IDataStream> chunk;
        ReceiveRawChunk(source_, peerAddress_, localAddress_, chunk.Receive());
        if (chunk) Deliver(NilChannelId, chunk.Get());
        return true;
    }
    EndOfInput(peeked);
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
