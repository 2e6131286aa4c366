#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>

#include "BinaryFrameReceiver.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "QOSWrapper.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "SocketByteSource.h"
#include "Thread.h"

namespace brondal {

class ConnectionManager;
class NotificationThread;

// One TCP connection of a transport: accepted by the listener or opened outwards. Owns the
// socket and runs its reader thread (this object's Thread), which parses frames and hands
// them to the notification thread; writes frames for any thread under its write lock; runs
// an optional keep-alive sender and closes itself when a keep-alive peer falls silent.
//
// Lifetime: the manager's table holds the main reference. Each reader pass holds one more,
// so the connection does not go away under a pass; the manager is referenced only while it
// is being called. Whoever may drop the last
// reference from the reader's or the manager's own thread uses ReleaseDeferred: the
// destructor stops the reader, which must not happen on the reader itself.
//
// Socket ownership: the descriptor is closed only when no other thread can be inside it:
// by the reader itself, or after the reader was stopped; writers and ReadyForWrite use it
// under the write lock, which Close takes for the close itself. Close first shuts the
// socket down, which wakes a writer waiting for buffer space.
//
// Lock order: write lock, then the general mutex. Neither is held while calling the
// manager or the notification thread.
class Connection final : public Thread, public IRefCountImpl, public ITransportFastWrite::IWriter {
public:
    // Pings the peer while keep-alive is in use. One tick per 50 ms.
    class KeepAliveThread final : public Thread {
    public:
        static constexpr std::uint32_t TickMs = 50;

        ~KeepAliveThread() override;
        void StartKeepAlive(Connection* connection);
        bool ThreadFunc() override;

    private:
        std::atomic<Connection*> connection_{nullptr};
        std::uint32_t ticks_ = 0;
        std::int64_t lastFailedPingMs_ = 0;
    };

    static constexpr std::int64_t IdlePurgeMs = 300000;
    static constexpr std::uint32_t DefaultConnectTimeoutMs = 5000;
    // The idle count at which a long keep-alive timeout is reported once, without closing.
    static constexpr std::uint32_t FifteenSecondMark = 151;

    Connection(ConnectionManager* manager, NotificationThread* notify, bool framed, bool handshake);
    ~Connection() override;

    // Outward: connects (address in host order, 0 = this host), reads the handshake,
    // negotiates TLS when asked and a context exists, starts the reader.
    Result Initialize(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs,
                      void* tlsContext);
    // Accepted: registers with the manager and sends the handshake. The reader is started
    // by the caller afterwards (StartReader).
    Result Initialize(int socket, void* tlsContext, bool encrypt);
    bool StartReader();

    // IWriter: one binary frame.
    Result Write(UUID channelId, IDataStream* data) override;
    Result WriteText(const UUID& connectionId, IDataStream* data);
    bool ReadyForWrite();
    Result SetKeepAlive(std::uint32_t intervalMs, std::uint32_t timeoutMs);
    Result SetConnectionSocketDscp(std::uint32_t dscp);
    // Runs on the manager's thread during the purge sweep: asks the reader to close an idle
    // connection and remove it.
    void PurgeIfIdle();
    Result Close(bool fromInitialization);

    bool ThreadFunc() override;

    const UUID& GetId() const { return id_; }
    std::uint32_t GetPeerAddress() const { return peerAddress_; }
    std::uint16_t GetPeerPort() const { return peerPort_; }
    std::uint32_t GetLocalAddress() const { return localAddress_; }
    void SetConnectionParameters(std::uint32_t first, std::uint32_t second) {
        parameters_[0] = first;
        parameters_[1] = second;
    }
    // The manager keeps itself alive for a connection it removed from its table.
    void RetainManager(ConnectionManager* manager);
    // The manager is going away while this connection may live on (held by a writer).
    void DetachManager();
    // Drops one reference; the last one is handed to the deletion thread.
    void ReleaseDeferred();

private:
    Result SendFrame(const std::uint8_t* bytes, std::uint32_t length, bool binary,
                     const UUID& connectionId);
    void CloseAndRemove();
    // The manager with a reference for the caller, or null when it is gone or going.
    ConnectionManager* AcquireManager();
    // One reader pass over the socket; false when the connection was closed.
    bool ReceivePass();
    // Closes and removes the connection when a purge asked for it; true then.
    bool PurgeRequested();
    // True when the silence closed the connection.
    bool HandleKeepAliveTimeout();
    bool OnFrame(BinaryFrameReceiver::Outcome outcome, BinaryFrameReceiver::Frame& frame);
    std::uint32_t WriteTimeoutMs();
    void Deliver(const UUID& channelId, IDataStream* data);

    std::unique_ptr<Scheduler::Mutex> generalMutex_;
    std::unique_ptr<Scheduler::Mutex> writeLock_;
    const bool framed_;
    const bool handshake_;
    KeepAliveThread keepAlive_;
    std::atomic<std::uint32_t> keepAliveIntervalMs_{0};
    std::atomic<std::uint32_t> keepAliveTimeoutMs_{0};
    std::atomic<bool> purgeRequested_{false};
    std::uint32_t idleCount_ = 0;
    // Guarded by the general mutex.
    ConnectionManager* manager_;
    RefPtr<ConnectionManager> retainedManager_;
    RefPtr<NotificationThread> notify_;
    UUID id_;
    SocketByteSource source_;
    QOSWrapper::State qos_;
    std::uint32_t localAddress_ = 0;
    std::uint32_t peerAddress_ = 0;
    std::uint16_t peerPort_ = 0;
    std::uint32_t parameters_[2] = {};
    std::atomic<std::int64_t> createdMs_;
    BinaryFrameReceiver receiver_;
};

}  // namespace brondal
