#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ITransportLayer.h"

namespace brondal {

// Cuts first-time messages into pieces of at most 4096 bytes and joins them again on the
// receiving side. Control traffic (timeout 0) passes whole.
class FragmentLayer final : public ITransportLayer {
public:
    explicit FragmentLayer(std::unique_ptr<ITransportLayer> lower);

    Result Send(IDataStream* message, std::uint32_t timeoutMs) override;
    Result Receive(RefPtr<IDataStream>& stream, RefPtr<ITransport::PostReceiveTask>& task) override;
    Result Connect(const UUID& connectionId, const UUID& sessionId, bool reconnect) override;
    Result Disconnect() override;

private:
    std::unique_ptr<ITransportLayer> lower_;
    // Bodies of the message being reassembled, in order.
    std::vector<RefPtr<IDataStream>> fragments_;
    // Counts socket losses. A message whose socket was lost part-way is not continued on
    // the new socket: the reconnect resends it whole, and the receiver dropped the pieces
    // it had, so the remaining pieces would be joined into a corrupt message.
    std::uint64_t disconnects_ = 0;
};

}  // namespace brondal
