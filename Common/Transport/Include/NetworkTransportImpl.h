#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "ScopedSocket.h"
#include "Thread.h"

namespace brondal {

class Connection;
class ConnectionManager;
enum class WireForm : std::uint8_t;
class NotificationThread;
class ReceiveLoop;
class SendPump;
class TlsContext;

// The TCP transport: listens on one port (or none, for a transport that only connects
// outwards), accepts and opens connections and writes to them by identifier. Connections
// live in its ConnectionManager; received frames and connection events reach listeners
// through its NotificationThread.
//
// Locks: the state mutex guards the flags and the listener socket; the listener lock is held
// by the listener thread around one accept and by ChangeListenerPort while it swaps sockets.
// Order: state mutex, then listener lock. Neither is held while calling the manager.
class NetworkTransportImpl final : public ITransportFastWrite, public IRefCountImpl {
public:
    NetworkTransportImpl(std::uint32_t bindAddress, std::uint16_t port, WireForm form,
                         const TlsSettings* tls);
    ~NetworkTransportImpl() override;

    [[nodiscard]] Result SetDataHook(IDataHook* hook) override;
    [[nodiscard]] Result Initialize(bool deliverOnOwnThread, bool enabled) override;
    [[nodiscard]] Result SetEnabled(bool enabled) override;
    [[nodiscard]] Result ReleaseListenerPort() override;
    [[nodiscard]] Result ChangeListenerPort(std::uint16_t port) override;
    [[nodiscard]] Result SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) override;
    [[nodiscard]] Result Finalize() override;
    [[nodiscard]] Result SetEncryptionEnabled(bool enabled) override;
    [[nodiscard]] Result AddNotify(ITransportNotify* listener) override;
    [[nodiscard]] Result SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                                      std::uint32_t timeoutMs) override;
    [[nodiscard]] Result SetIdleConnectionPurgeEnabled(bool enabled) override;
    [[nodiscard]] Result SetWriteTimeout(std::uint32_t milliseconds) override;
    [[nodiscard]] Result RemoveNotify(ITransportNotify* listener) override;
    [[nodiscard]] Result SetConnectionParameters(std::uint32_t first,
                                                 std::uint32_t second) override;
    [[nodiscard]] Result OpenConnection(std::uint32_t address, std::uint16_t port,
                                        UUID* connectionId, std::uint32_t timeoutMs) override;
    [[nodiscard]] Result CloseConnection(UUID connectionId) override;
    [[nodiscard]] Result CloseAllConnections() override;
    Result GetPeerIpv4(UUID connectionId, std::uint32_t* address, std::uint16_t* port) override;
    Result GetLocalIpv4(UUID connectionId, std::uint32_t* address) override;
    [[nodiscard]] Result BeginWrite() override;
    [[nodiscard]] Result EndWrite() override;
    [[nodiscard]] Result ConnectionReadyForWrite(UUID connectionId, bool* ready) override;
    [[nodiscard]] Result Write(UUID connectionId, UUID channelId, IDataStream* data) override;
    [[nodiscard]] Result WriteText(UUID connectionId, IDataStream* data) override;
    [[nodiscard]] Result WriteTextSynchronous(UUID connectionId, IDataStream* data) override;
    [[nodiscard]] Result GetStatistics(std::uint32_t* connections) override;
    [[nodiscard]] Result GetHostByName(const std::string& host, std::uint32_t* address) override;
    [[nodiscard]] Result EnableReliableDelivery() override;
    [[nodiscard]] Result CreateWriter(UUID connectionId, IWriter** writer) override;
    [[nodiscard]] Result CreateDataStream(IDataStream** data) override;

    // Bytes and frames received on the connection that wait for the delivering thread
    // (none without own-thread delivery); for tests.
    std::pair<std::uint64_t, std::uint32_t> PendingDelivery(const UUID& connectionId);

private:
    class ListenerThread final : public Thread {
    public:
        explicit ListenerThread(NetworkTransportImpl* owner) : owner_(owner) {}
        ~ListenerThread() override { Stop(); }
        bool ThreadFunc() override { return owner_->ListenerPass(); }

    private:
        NetworkTransportImpl* owner_;
    };

    bool ListenerPass();
    // Takes the accepted socket over: to a connection, or closed.
    void AcceptOne(platform::ScopedSocket socket);
    // A bound, listening socket, or -1 (logged as the caller's context asks).
    platform::ScopedSocket OpenListener(std::uint16_t port, std::uint32_t bindAttempts, bool quiet);
    // The manager and notification thread with a reference each, or false.
    bool Acquire(RefPtr<ConnectionManager>* manager, RefPtr<NotificationThread>* notify);
    void OnAcceptFailed(int error);
    bool IsInitialized();

    std::unique_ptr<Scheduler::Mutex> stateMutex_;
    std::unique_ptr<Scheduler::Mutex> listenerLock_;
    const WireForm form_;
    TlsSettings tls_;
    std::atomic<bool> initialized_{false};
    std::atomic<bool> enabled_{false};
    bool encryptionEnabled_ = false;
    bool deliverOnOwnThread_ = false;
    std::atomic<int> listenerSocket_{-1};
    const std::uint32_t bindAddress_;
    std::atomic<std::uint16_t> port_;
    std::uint32_t parameters_[2] = {};
    // Accepted connections use the server context (only with TLS settings); outward ones
    // the client context, which every initialised transport has, since the accepting side
    // decides whether a connection is encrypted.
    std::unique_ptr<TlsContext> serverTls_;
    std::unique_ptr<TlsContext> clientTls_;
    // Replaced only under the state mutex; readers copy the reference under it.
    RefPtr<ConnectionManager> manager_;
    RefPtr<NotificationThread> notify_;
    RefPtr<SendPump> pump_;
    // A transport that delivers on its readers reads its plain connections with one receive
    // loop per core (at most MaxReceiveLoops), each started with its first connection; the
    // others have a reader thread each. Replaced only under the state mutex.
    static constexpr unsigned MaxReceiveLoops = 4;
    std::vector<RefPtr<ReceiveLoop>> loops_;
    // The loop with the fewest connections, for a new one (null without loops).
    ReceiveLoop* PickLoop(const std::vector<RefPtr<ReceiveLoop>>& loops) const;
    // The listener thread's own: whether accepting is failing right now, so that a failure
    // that repeats (no descriptors left) is logged once, not on every attempt.
    bool acceptFailing_ = false;
    ListenerThread listener_{this};
};

namespace platform {

// Binary-framed transport with handshake, plain.
[[nodiscard]] Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port,
                                    ITransport** transport);
// Binary-framed transport with handshake, with TLS settings.
[[nodiscard]] Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port,
                                    const TlsSettings& tls, ITransport** transport);
// Text frames with handshake.
[[nodiscard]] Result CreateTextInstance(std::uint32_t bindAddress, std::uint16_t port,
                                        ITransport** transport);
// Raw chunks, no handshake.
[[nodiscard]] Result CreateRawInstance(std::uint32_t bindAddress, std::uint16_t port,
                                       const TlsSettings& tls, ITransport** transport);

}  // namespace platform

}  // namespace brondal
