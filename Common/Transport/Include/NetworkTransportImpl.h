#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "Thread.h"
#include "TlsContext.h"

namespace brondal {

class Connection;
class ConnectionManager;
class NotificationThread;
class SendPump;

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
    // Framing modes: framed + handshake is the binary transport, handshake alone the text
    // transport, neither the raw one.
    NetworkTransportImpl(std::uint32_t bindAddress, std::uint16_t port, bool framed, bool handshake,
                         const TlsSettings* tls);
    ~NetworkTransportImpl() override;

    Result SetDataHook(IDataHook* hook) override;
    Result Initialize(bool deliverOnOwnThread, bool enabled) override;
    Result SetEnabled(bool enabled) override;
    Result ReleaseListenerPort() override;
    Result ChangeListenerPort(std::uint16_t port) override;
    Result SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) override;
    Result Finalize() override;
    Result SetEncryptionEnabled(bool enabled) override;
    Result AddNotify(ITransportNotify* listener) override;
    Result SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                        std::uint32_t timeoutMs) override;
    Result SetIdleConnectionPurgeEnabled(bool enabled) override;
    Result SetWriteTimeout(std::uint32_t milliseconds) override;
    Result RemoveNotify(ITransportNotify* listener) override;
    Result SetConnectionParameters(std::uint32_t first, std::uint32_t second) override;
    Result OpenConnection(std::uint32_t address, std::uint16_t port, UUID* connectionId,
                          std::uint32_t timeoutMs) override;
    Result CloseConnection(UUID connectionId) override;
    Result CloseAllConnections() override;
    Result GetPeerIpv4(UUID connectionId, std::uint32_t* address, std::uint16_t* port) override;
    Result GetLocalIpv4(UUID connectionId, std::uint32_t* address) override;
    Result BeginWrite() override;
    Result EndWrite() override;
    Result ConnectionReadyForWrite(UUID connectionId, bool* ready) override;
    Result Write(UUID connectionId, UUID channelId, IDataStream* data) override;
    Result WriteText(UUID connectionId, IDataStream* data) override;
    Result WriteTextSynchronous(UUID connectionId, IDataStream* data) override;
    Result GetStatistics(std::uint32_t* connections) override;
    Result GetHostByName(const std::string& host, std::uint32_t* address) override;
    Result EnableReliableDelivery() override;
    Result CreateWriter(UUID connectionId, IWriter** writer) override;
    Result CreateDataStream(IDataStream** data) override;

    static void LogSslSyscallErrors();

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
    void AcceptOne(int listener);
    // A bound, listening socket, or -1 (logged as the caller's context asks).
    int OpenListener(std::uint16_t port, std::uint32_t bindAttempts, bool quiet);
    // The manager and notification thread with a reference each, or false.
    bool Acquire(RefPtr<ConnectionManager>* manager, RefPtr<NotificationThread>* notify);
    void OnAcceptFailed(int error);
    bool IsInitialized();

    std::unique_ptr<Scheduler::Mutex> stateMutex_;
    std::unique_ptr<Scheduler::Mutex> listenerLock_;
    const bool framed_;
    const bool handshake_;
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
    // The listener thread's own: whether accepting is failing right now, so that a failure
    // that repeats (no descriptors left) is logged once, not on every attempt.
    bool acceptFailing_ = false;
    ListenerThread listener_{this};
};

namespace platform {

// Binary-framed transport with handshake, plain.
Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port, ITransport** transport);
// Binary-framed transport with handshake, with TLS settings.
Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                      ITransport** transport);
// Text frames with handshake.
Result CreateTextInstance(std::uint32_t bindAddress, std::uint16_t port, ITransport** transport);
// Raw chunks, no handshake.
Result CreateRawInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                         ITransport** transport);

}  // namespace platform

}  // namespace brondal
