#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Uuid.h"

namespace brondal {

// One layer of a layered adapter connection. From top to bottom: resend, fragment, flow
// control, network; each layer owns the one below it. Every operation runs with the
// adapter's monitor held (layers release it only around blocking calls).
class ITransportLayer {
public:
    virtual ~ITransportLayer() = default;

    // Puts this layer's header in front of the message and passes it down. timeoutMs 0
    // marks control traffic: not fragmented, not paced, never waits for a reconnect.
    virtual Result Send(IDataStream* message, std::uint32_t timeoutMs) = 0;

    // Takes a received message from the layer below. On return stream is the message for
    // the layer above (positioned after this layer's header) or null when this layer
    // consumed it. A layer may chain a task to run once the message has been delivered.
    virtual Result Receive(RefPtr<IDataStream>& stream,
                           RefPtr<ITransport::PostReceiveTask>& task) = 0;

    // The connection is (re)opened; a nil connection id when the local side closes it.
    virtual Result Connect(const UUID& connectionId, const UUID& sessionId, bool reconnect) = 0;

    // The socket is lost.
    virtual Result Disconnect() = 0;
};

// How a layer's Receive begins: the message from the layer below, and its kind byte read.
// present is false when there is nothing for the layer to look at (result then holds a
// failure, or the message was consumed below); position is where the kind byte starts, for
// giving a message of another layer back unread.
struct ReceivedKind {
    Result result = ResultOk;
    bool present = false;
    std::uint32_t position = 0;
    std::uint8_t kind = 0;
};

inline ReceivedKind ReceiveKind(ITransportLayer& lower, RefPtr<IDataStream>& stream,
                                RefPtr<ITransport::PostReceiveTask>& task) {
    ReceivedKind received;
    received.result = lower.Receive(stream, task);
    if (Failed(received.result) || !stream) return received;
    if (Failed(received.result = stream->GetPosition(&received.position)) ||
        Failed(received.result = stream->ReadUInt8(&received.kind))) {
        return received;
    }
    received.present = true;
    return received;
}

// What the resend layer needs of its connection.
class IResendConnection {
public:
    // A hello arrived.
    virtual Result OnConnect(const UUID& peerConnectionId, const UUID& peerSessionId,
                             bool reconnect) = 0;
    // The message with the next sequence number was taken as received (positioned after
    // the sequence header). Called before its acknowledgement goes out, while nothing has
    // released the monitor since the sequence advanced, so the connection can queue it for
    // delivery in sequence order. A failure drops the message (it stays taken).
    virtual Result OnAccepted(IDataStream*) { return ResultOk; }
    // The socket is lost and a new one awaited: first-time messages are only retained.
    virtual bool Reconnecting() const { return false; }
    // Retained messages were acknowledged, so the held output shrank.
    virtual void OnAcknowledged() {}

protected:
    ~IResendConnection() = default;
};

}  // namespace brondal
