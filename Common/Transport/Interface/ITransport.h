#pragma once

#include <cstdint>
#include <string>

#include "IDataStream.h"
#include "IRefCount.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// Settings for TLS on a transport's connections. The strings hold PEM text itself, not file
// names; an empty cipher list means the library's default.
struct TlsSettings {
    bool enabled = false;
    std::string cipherList;
    std::string certificate;
    std::string privateKey;
};

// A transport: connections named by UUID, framed messages written to them by channel, and
// listeners told of received data and of connection events. Both the TCP transport and the
// reliable adapter over it implement this. Operations on a transport that is not
// initialised fail with ResultNotInitialized.
class ITransport : public virtual IRefCount {
public:
    // Connection events reported through ITransportNotify::OnEvent.
    enum ConnectionEvent : std::int32_t {
        ConnectionOpened = 0,
        ConnectionClosed = 1,
    };

    // A listener. Listeners are held by counted references while a call is made to them.
    class ITransportNotify : public virtual IRefCount {
    public:
        // A received message on a channel; the stream is the listener's own read view.
        [[nodiscard]] virtual Result OnDataReady(UUID connectionId, UUID channelId,
                                                 IDataStream* data) = 0;
        [[nodiscard]] virtual Result OnEvent(UUID connectionId, std::int32_t event) = 0;
    };

    // Work handed out by a data hook, run once after the listeners have had the message.
    class PostReceiveTask : public virtual IRefCount {
    public:
        virtual void Run() = 0;
    };

    // Sees every received message before the listeners. It may replace the stream (or
    // consume it, leaving *data null: nothing is delivered), change the channel it is
    // delivered under, and hand out a task to run after delivery (with a reference for the
    // transport).
    class IDataHook : public virtual IRefCount {
    public:
        [[nodiscard]] virtual Result PreOnDataReady(UUID connectionId, UUID* channelId,
                                                    IDataStream** data, PostReceiveTask** task) = 0;
    };

    [[nodiscard]] virtual Result SetDataHook(IDataHook* hook) = 0;
    [[nodiscard]] virtual Result Initialize(bool deliverOnOwnThread, bool enabled) = 0;
    [[nodiscard]] virtual Result SetEnabled(bool enabled) = 0;
    [[nodiscard]] virtual Result ReleaseListenerPort() = 0;
    [[nodiscard]] virtual Result ChangeListenerPort(std::uint16_t port) = 0;
    [[nodiscard]] virtual Result SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) = 0;
    [[nodiscard]] virtual Result Finalize() = 0;
    [[nodiscard]] virtual Result SetEncryptionEnabled(bool enabled) = 0;
    [[nodiscard]] virtual Result AddNotify(ITransportNotify* listener) = 0;
    [[nodiscard]] virtual Result SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                                              std::uint32_t timeoutMs) = 0;
    [[nodiscard]] virtual Result SetIdleConnectionPurgeEnabled(bool enabled) = 0;
    [[nodiscard]] virtual Result SetWriteTimeout(std::uint32_t milliseconds) = 0;
    [[nodiscard]] virtual Result RemoveNotify(ITransportNotify* listener) = 0;
    [[nodiscard]] virtual Result SetConnectionParameters(std::uint32_t first,
                                                         std::uint32_t second) = 0;
    // address: IPv4 in host byte order, 0 for this host. Writes the connection's identifier
    // (the one both ends agree on in the handshake) on success.
    [[nodiscard]] virtual Result OpenConnection(std::uint32_t address, std::uint16_t port,
                                                UUID* connectionId, std::uint32_t timeoutMs) = 0;
    [[nodiscard]] virtual Result CloseConnection(UUID connectionId) = 0;
    [[nodiscard]] virtual Result CloseAllConnections() = 0;
    // port may be null.
    virtual Result GetPeerIpv4(UUID connectionId, std::uint32_t* address, std::uint16_t* port) = 0;
    virtual Result GetLocalIpv4(UUID connectionId, std::uint32_t* address) = 0;
    [[nodiscard]] virtual Result BeginWrite() = 0;
    [[nodiscard]] virtual Result EndWrite() = 0;
    [[nodiscard]] virtual Result ConnectionReadyForWrite(UUID connectionId, bool* ready) = 0;
    // Writes one binary frame on the channel; returns when it was written.
    [[nodiscard]] virtual Result Write(UUID connectionId, UUID channelId, IDataStream* data) = 0;
    [[nodiscard]] virtual Result WriteText(UUID connectionId, IDataStream* data) = 0;
    [[nodiscard]] virtual Result WriteTextSynchronous(UUID connectionId, IDataStream* data) = 0;
    // The number of connections.
    [[nodiscard]] virtual Result GetStatistics(std::uint32_t* connections) = 0;
    // address: IPv4 in host byte order.
    [[nodiscard]] virtual Result GetHostByName(const std::string& host, std::uint32_t* address) = 0;
    [[nodiscard]] virtual Result EnableReliableDelivery() = 0;
    [[nodiscard]] virtual Result CreateDataStream(IDataStream** data) = 0;
};

// A transport that can hand out a writer bound to one connection, which writes on the
// caller's thread without going through the connection table.
class ITransportFastWrite : public ITransport {
public:
    class IWriter : public virtual IRefCount {
    public:
        [[nodiscard]] virtual Result Write(UUID channelId, IDataStream* data) = 0;
    };

    // ResultConnectionNotFound when there is no such connection.
    [[nodiscard]] virtual Result CreateWriter(UUID connectionId, IWriter** writer) = 0;
};

}  // namespace brondal
