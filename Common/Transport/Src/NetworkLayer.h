#pragma once

#include "ITransportLayer.h"
#include "TransportAdapter.h"

namespace brondal {

// The bottom layer: writes a message to the connection's current socket. A user message
// (kind 0) goes under its own channel with only its payload, exactly as the plain
// transport would send it; a layer message goes whole under the adapter's channel.
class NetworkLayer final : public ITransportLayer {
public:
    explicit NetworkLayer(TransportAdapter::Connection* connection) : connection_(connection) {}

    [[nodiscard]] Result Send(IDataStream* message, std::uint32_t timeoutMs) override;
    [[nodiscard]] Result Receive(RefPtr<IDataStream>&,
                                 RefPtr<ITransport::PostReceiveTask>&) override {
        return ResultOk;
    }
    [[nodiscard]] Result Connect(const UUID&, const UUID&, bool) override { return ResultOk; }
    [[nodiscard]] Result Disconnect() override { return ResultOk; }

private:
    TransportAdapter::Connection* connection_;
};

}  // namespace brondal
