#include "FragmentLayer.h"

#include <algorithm>

#include "LayerHeaders.h"
#include "LogCall.h"

namespace brondal {

FragmentLayer::FragmentLayer(std::unique_ptr<ITransportLayer> lower, const UUID* name,
                             std::shared_ptr<Budget> budget, Limits limits)
    : lower_(std::move(lower)), name_(name), budget_(std::move(budget)), limits_(limits) {}

FragmentLayer::~FragmentLayer() { DropPartial(); }

void FragmentLayer::DropPartial() {
    if (budget_ && charged_ != 0) budget_->Give(charged_);
    charged_ = 0;
    bytes_ = 0;
    fragments_.clear();
}

Result FragmentLayer::Send(IDataStream* message, std::uint32_t timeoutMs) {
    if (timeoutMs == 0) return lower_->Send(message, 0);
    std::uint32_t size = 0;
    Result result = message->GetSize(&size);
    if (Failed(result)) return result;
    const std::uint64_t startedAt = disconnects_;
    std::uint32_t offset = 0;
    while (offset < size) {
        if (disconnects_ != startedAt) return ResultOk;
        const std::uint32_t length = std::min(size - offset, MaxFragmentBody);
        RefPtr<IDataStream> body;
        RefPtr<IDataStream> fragment;
        // A message in one piece is appended to its header as it is (appending takes a
        // stream whole, from its start): no slice of it.
        if (length == size) {
            body = RefPtr<IDataStream>(message);
        } else if (Failed(result =
                              SliceDataStream(message, offset, offset + length, body.Receive()))) {
            return result;
        }
        if (Failed(result = NewDataStream(fragment.Receive())) ||
            Failed(result = WriteFragmentHeader(fragment.Get(), offset + length >= size)) ||
            Failed(result = AppendDataStream(fragment.Get(), body.Get())) ||
            Failed(result = lower_->Send(fragment.Get(), timeoutMs))) {
            return result;
        }
        offset += length;
    }
    return ResultOk;
}

Result FragmentLayer::Receive(RefPtr<IDataStream>& stream,
                              RefPtr<ITransport::PostReceiveTask>& task) {
    const ReceivedKind received = ReceiveKind(*lower_, stream, task);
    if (!received.present) return received.result;
    Result result = ResultOk;
    if (received.kind != FragmentKind) return stream->SetPosition(received.position);
    bool last = false;
    if (Failed(result = ReadFragmentHeader(stream.Get(), &last))) return result;
    std::uint32_t position = 0;
    std::uint32_t size = 0;
    if (Failed(result = stream->GetPosition(&position)) ||
        Failed(result = stream->GetSize(&size))) {
        return result;
    }
    const std::uint64_t length = size - position;
    if (skipping_) {
        stream.Reset();
        skipping_ = !last;
        return ResultOk;
    }
    const bool fits =
        fragments_.size() < limits_.maxFragments && length <= limits_.maxMessageBytes - bytes_;
    // A message in one piece (nearly every one) holds nothing here while it waits: it goes
    // up as it came, positioned after the header, without a slice or a charge to the budget.
    if (fits && last && fragments_.empty()) return ResultOk;
    RefPtr<IDataStream> body;
    result = SliceDataStream(stream.Get(), position, size, body.Receive());
    stream.Reset();
    if (Failed(result)) return result;
    const std::uint64_t charge = length + Budget::PieceCost;
    if (!fits || (budget_ && !budget_->Take(charge))) {
        LOG_SEVERE(
            "dropping a message being reassembled from connection %s: %u pieces of %llu bytes "
            "and %llu more exceed the limits",
            name_ != nullptr ? name_->ToString().c_str() : "?",
            static_cast<unsigned>(fragments_.size()), static_cast<unsigned long long>(bytes_),
            static_cast<unsigned long long>(length));
        DropPartial();
        skipping_ = !last;
        return ResultOk;
    }
    fragments_.push_back(std::move(body));
    bytes_ += length;
    if (budget_) charged_ += charge;
    if (!last) return ResultOk;
    // At least two pieces: a message in one went up above.
    std::vector<IDataStream*> parts;
    parts.reserve(fragments_.size());
    for (auto& part : fragments_)
        parts.push_back(part.Get());
    result = ConcatenateDataStreams(parts, stream.Receive());
    DropPartial();
    return result;
}

Result FragmentLayer::Connect(const UUID&, const UUID&, bool) { return ResultOk; }

Result FragmentLayer::Disconnect() {
    DropPartial();
    skipping_ = false;
    ++disconnects_;
    return ResultOk;
}

}  // namespace brondal
