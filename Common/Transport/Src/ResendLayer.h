#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "ITransportLayer.h"

namespace brondal {

// Numbers the messages a connection sends, keeps each until the peer acknowledges it,
// acknowledges what it receives, drops duplicates, and sends everything unacknowledged
// again when the connection is reopened. It also carries the hello by which two adapters
// agree on one connection identity.
class ResendLayer final : public ITransportLayer {
public:
    ResendLayer(IResendConnection* connection, std::unique_ptr<ITransportLayer> lower);

    Result Send(IDataStream* message, std::uint32_t timeoutMs) override;
    Result Receive(RefPtr<IDataStream>& stream, RefPtr<ITransport::PostReceiveTask>& task) override;
    Result Connect(const UUID& connectionId, const UUID& sessionId, bool reconnect) override;
    Result Disconnect() override;

    std::size_t RetainedCount() const { return retained_.size(); }
    std::uint64_t LastReceived() const { return lastReceived_; }

private:
    struct Retained {
        std::uint64_t sequence;
        // The whole sequenced message, header included.
        RefPtr<IDataStream> message;
    };

    Result SendWhole(IDataStream* message, std::uint32_t timeoutMs);

    IResendConnection* connection_;
    UUID peerConnectionId_;
    std::unique_ptr<ITransportLayer> lower_;
    std::deque<Retained> retained_;
    std::uint64_t nextSequence_ = 1;
    std::uint64_t lastReceived_ = 0;
};

}  // namespace brondal
