#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "ITransportLayer.h"
#include "LayerHeaders.h"
#include "WireFormat.h"

namespace brondal {

// The bounds of one reassembled message (see FragmentLayer).
struct ReassemblyLimits {
    std::uint64_t maxMessageBytes = MaxFramePayload;
    std::uint32_t maxFragments = (MaxFramePayload + MaxFragmentBody - 1) / MaxFragmentBody;
};

// Cuts first-time messages into pieces of at most 4096 bytes and joins them again on the
// receiving side. Control traffic (timeout 0) passes whole.
//
// Reassembly is bounded, since any client can make its connection layered with one frame
// and then stream pieces that never end: a message joined here is at most the transport's
// frame limit (what a resend carries whole in one frame) and at most the pieces a message of
// that size needs, and the partial messages of all connections of an adapter share one
// budget. Past any of these the partial message is dropped with a Severe line naming the
// connection, the rest of its pieces are skipped up to its last one, and the connection
// goes on as before. A message in one piece is never held here (it goes up as it came), so
// it is bounded by the frame limit alone and charges nothing to the budget.
class FragmentLayer final : public ITransportLayer {
public:
    using Limits = ReassemblyLimits;
    // Bytes of partial messages held by every layer sharing it. Atomic, because a layer
    // gives its share back from wherever it ends: under the adapter's monitor when its
    // socket is lost, but also from its destructor, which runs on whichever thread lets
    // go of the connection last.
    class Budget {
    public:
        // Several connections may each hold messages up to the frame limit, but not
        // without end.
        static constexpr std::uint64_t DefaultBytes = std::uint64_t{256} << 20;
        // Charged per piece on top of its bytes: the bookkeeping of a held piece, so that
        // many tiny pieces count for what they cost.
        static constexpr std::uint64_t PieceCost = 256;
        explicit Budget(std::uint64_t limit = DefaultBytes) : limit_(limit) {}
        bool Take(std::uint64_t bytes) {
            std::uint64_t used = used_.load(std::memory_order_relaxed);
            do {
                if (bytes > limit_ - used) return false;
            } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
            return true;
        }
        void Give(std::uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
        std::uint64_t Used() const { return used_.load(std::memory_order_relaxed); }

    private:
        const std::uint64_t limit_;
        std::atomic<std::uint64_t> used_{0};
    };

    // name: the connection's identifier, read for the log when a message is dropped (may
    // be null); budget: shared with the adapter's other connections (may be null).
    explicit FragmentLayer(std::unique_ptr<ITransportLayer> lower, const UUID* name = nullptr,
                           std::shared_ptr<Budget> budget = nullptr, Limits limits = {});
    ~FragmentLayer() override;

    [[nodiscard]] Result Send(IDataStream* message, std::uint32_t timeoutMs) override;
    [[nodiscard]] Result Receive(RefPtr<IDataStream>& stream,
                                 RefPtr<ITransport::PostReceiveTask>& task) override;
    [[nodiscard]] Result Connect(const UUID& connectionId, const UUID& sessionId,
                                 bool reconnect) override;
    [[nodiscard]] Result Disconnect() override;

private:
    void DropPartial();

    std::unique_ptr<ITransportLayer> lower_;
    const UUID* name_;
    std::shared_ptr<Budget> budget_;
    const Limits limits_;
    // Bodies of the message being reassembled, in order, and their bytes.
    std::vector<RefPtr<IDataStream>> fragments_;
    std::uint64_t bytes_ = 0;
    // What this message holds of the budget.
    std::uint64_t charged_ = 0;
    // The pieces of a dropped message are skipped until its last one.
    bool skipping_ = false;
    // Counts socket losses. A message whose socket was lost part-way is not continued on
    // the new socket: the reconnect resends it whole, and the receiver dropped the pieces
    // it had, so the remaining pieces would be joined into a corrupt message.
    std::uint64_t disconnects_ = 0;
};

}  // namespace brondal
