#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "ITransportLayer.h"

namespace brondal {

// When the resend layer acknowledges what it takes (see ResendLayer).
struct SequenceAckPolicy {
    std::uint32_t messages = 8;
    std::uint64_t bytes = std::uint64_t{32} << 10;
};

// Numbers the messages a connection sends, keeps each until the peer acknowledges it,
// acknowledges what it receives, drops duplicates, and sends everything unacknowledged
// again when the connection is reopened. It also carries the hello by which two adapters
// agree on one connection identity.
//
// Order on a new socket. The resend after a hello releases the monitor for each write, and
// first-time messages keep arriving meanwhile; so while the connection is reconnecting (no
// socket) or resending, a first-time message is only numbered and retained, not sent, and
// the resend works through the live retained queue in sequence order until nothing is left,
// taking those messages along. Nothing with a higher number reaches a new socket before a
// lower one. A resend is bound to the socket it began on: a Disconnect or a later Connect
// ends it.
//
// Receiving. The message with the next number is taken as received: the sequence advances
// and the connection is told (OnAccepted) before the acknowledgement is written, so a
// message once taken is the connection's to deliver whether or not the acknowledgement
// could be sent.
//
// Acknowledging. One acknowledgement covers every lower number, so not every message needs
// its own: one is written at once for every 8 messages or 32 KiB taken (AckPolicy), and for
// any duplicate (the peer is resending and should learn at once where this side stands).
// What is left goes out with FlushAcknowledgement, which the adapter's timer calls for
// every connection, so a message stays unacknowledged for at most one period of that timer
// (200 ms). The peer holds the messages meanwhile: at most that many more per connection,
// far under its held-output bounds, and after a lost socket it resends them and they are
// dropped here as duplicates. Each acknowledgement is a frame of its own that the peer
// passes through its whole stack: with one acknowledgement per message, they were a third
// of the frames of a layered request and a large part of what it costs over a plain one.
class ResendLayer final : public ITransportLayer {
public:
    using AckPolicy = SequenceAckPolicy;

    ResendLayer(IResendConnection* connection, std::unique_ptr<ITransportLayer> lower,
                AckPolicy policy = {});

    [[nodiscard]] Result Send(IDataStream* message, std::uint32_t timeoutMs) override;
    [[nodiscard]] Result Receive(RefPtr<IDataStream>& stream,
                                 RefPtr<ITransport::PostReceiveTask>& task) override;
    [[nodiscard]] Result Connect(const UUID& connectionId, const UUID& sessionId,
                                 bool reconnect) override;
    [[nodiscard]] Result Disconnect() override;

    // Acknowledges what was taken and not yet acknowledged, if anything.
    [[nodiscard]] Result FlushAcknowledgement();

    std::size_t RetainedCount() const { return retained_.size(); }
    // Bytes of the retained messages, headers included.
    std::uint64_t RetainedBytes() const { return retainedBytes_; }
    std::uint64_t LastReceived() const { return lastReceived_; }
    bool Resending() const { return resending_; }

private:
    struct Retained {
        std::uint64_t sequence;
        // The whole sequenced message, header included.
        RefPtr<IDataStream> message;
        std::uint32_t size;
    };

    [[nodiscard]] Result Acknowledge(std::uint64_t sequence);
    [[nodiscard]] Result SendWhole(IDataStream* message, std::uint32_t timeoutMs);
    // Sends the retained messages again, oldest first, including those that join while it
    // runs, as long as no Connect or Disconnect came after the one it belongs to.
    [[nodiscard]] Result Resend(std::uint64_t generation);

    IResendConnection* connection_;
    UUID peerConnectionId_;
    std::unique_ptr<ITransportLayer> lower_;
    std::deque<Retained> retained_;
    std::uint64_t retainedBytes_ = 0;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t lastReceived_ = 0;
    const AckPolicy policy_;
    // Taken since the last acknowledgement: messages and their bytes.
    std::uint32_t unacknowledged_ = 0;
    std::uint64_t unacknowledgedBytes_ = 0;
    bool resending_ = false;
    // Counts Connect and Disconnect calls: which resend is the current one.
    std::uint64_t generation_ = 0;
};

}  // namespace brondal
