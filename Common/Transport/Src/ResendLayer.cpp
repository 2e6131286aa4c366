#include "ResendLayer.h"

#include <algorithm>

#include "LayerHeaders.h"
#include "LogCall.h"
#include "UuidStream.h"

namespace brondal {

ResendLayer::ResendLayer(IResendConnection* connection, std::unique_ptr<ITransportLayer> lower,
                         AckPolicy policy)
    : connection_(connection), lower_(std::move(lower)), policy_(policy) {}

Result ResendLayer::SendWhole(IDataStream* message, std::uint32_t timeoutMs) {
    // A first-time send goes to the fragment layer, which takes the message from its start
    // by appending or slicing it and never reads it: the retained message itself will do.
    if (timeoutMs != 0) return lower_->Send(message, timeoutMs);
    // A resend passes down the stack as it is and the network layer reads from it: a private
    // view of the whole message, whatever its position, keeps the retained one untouched.
    std::uint32_t size = 0;
    RefPtr<IDataStream> view;
    Result result;
    if (Failed(result = message->GetSize(&size)) ||
        Failed(result = SliceDataStream(message, 0, size, view.Receive()))) {
        return result;
    }
    return lower_->Send(view.Get(), timeoutMs);
}

Result ResendLayer::Send(IDataStream* message, std::uint32_t timeoutMs) {
    RefPtr<IDataStream> sequenced;
    Result result;
    if (Failed(result = NewDataStream(sequenced.Receive())) ||
        Failed(result = WriteSequencedDataHeader(sequenced.Get(), nextSequence_)) ||
        Failed(result = AppendDataStream(sequenced.Get(), message))) {
        return result;
    }
    std::uint32_t size = 0;
    if (Failed(result = sequenced->GetSize(&size))) return result;
    retained_.push_back(Retained{nextSequence_++, sequenced, size});
    retainedBytes_ += size;
    // Sent now it would overtake the messages before it: the resend sends it in its turn.
    if (resending_ || connection_->Reconnecting()) return ResultOk;
    return SendWhole(sequenced.Get(), timeoutMs);
}

Result ResendLayer::Receive(RefPtr<IDataStream>& stream,
                            RefPtr<ITransport::PostReceiveTask>& task) {
    const ReceivedKind received = ReceiveKind(*lower_, stream, task);
    if (!received.present) return received.result;
    Result result = ResultOk;
    switch (received.kind) {
        case HelloKind: {
            Hello hello;
            if (Failed(result = ReadHello(stream.Get(), &hello))) return result;
            stream.Reset();
            peerConnectionId_ = hello.connectionId;
            return connection_->OnConnect(hello.connectionId, hello.sessionId, hello.reconnect);
        }
        case SequencedDataKind: {
            std::uint64_t sequence = 0;
            if (Failed(result = ReadSequencedDataHeader(stream.Get(), &sequence))) return result;
            if (sequence > lastReceived_ + 1) {
                stream.Reset();
                LOG_SEVERE("received sequence %lld; expected %lld on %s",
                           static_cast<long long>(sequence),
                           static_cast<long long>(lastReceived_ + 1),
                           peerConnectionId_.ToString().c_str());
                return ResultFail;
            }
            const bool duplicate = sequence <= lastReceived_;
            if (duplicate) {
                stream.Reset();
            } else {
                std::uint32_t size = 0;
                (void)stream->GetSize(&size);
                lastReceived_ = sequence;
                ++unacknowledged_;
                unacknowledgedBytes_ += size;
                // A message the connection cannot take (unreadable) is dropped, but taken.
                if (Failed(connection_->OnAccepted(stream.Get()))) stream.Reset();
                if (unacknowledged_ < policy_.messages && unacknowledgedBytes_ < policy_.bytes) {
                    return ResultOk;
                }
            }
            // The message is delivered even when its acknowledgement cannot go out: the
            // sequence has already advanced, so withholding it would lose it for good (the
            // peer's resend would be taken for a duplicate). The peer resends it after the
            // reconnect and that copy is acknowledged. The write releases the monitor; the
            // connection already holds the message in order.
            result = Acknowledge(lastReceived_);
            return stream ? ResultOk : result;
        }
        case SequenceAckKind: {
            std::uint64_t acknowledged = 0;
            if (Failed(result = ReadSequenceAck(stream.Get(), &acknowledged))) return result;
            stream.Reset();
            bool dropped = false;
            while (!retained_.empty() && retained_.front().sequence <= acknowledged) {
                retainedBytes_ -= retained_.front().size;
                retained_.pop_front();
                dropped = true;
            }
            if (dropped) connection_->OnAcknowledged();
            return ResultOk;
        }
        default:
            return stream->SetPosition(received.position);
    }
}

Result ResendLayer::Acknowledge(std::uint64_t sequence) {
    unacknowledged_ = 0;
    unacknowledgedBytes_ = 0;
    RefPtr<IDataStream> ack;
    Result result;
    if (Failed(result = NewDataStream(ack.Receive())) ||
        Failed(result = WriteSequenceAck(ack.Get(), sequence)) ||
        Failed(result = lower_->Send(ack.Get(), 0))) {
        LOG_SPEW(0, "acknowledgement of %lld failed %x", static_cast<long long>(sequence),
                 static_cast<unsigned>(result));
    }
    return result;
}

Result ResendLayer::FlushAcknowledgement() {
    if (unacknowledged_ == 0) return ResultOk;
    return Acknowledge(lastReceived_);
}

Result ResendLayer::Connect(const UUID& connectionId, const UUID& sessionId, bool reconnect) {
    const std::uint64_t generation = ++generation_;
    const bool resend = !connectionId.IsNil();
    // Set before the hello: its write releases the monitor, and a first-time message sent
    // then would reach the new socket ahead of the retained ones.
    resending_ = resend;
    RefPtr<IDataStream> hello;
    Result result;
    if (Succeeded(result = NewDataStream(hello.Receive())) &&
        Succeeded(result = WriteHello(hello.Get(), Hello{connectionId, sessionId, reconnect})) &&
        Succeeded(result = lower_->Send(hello.Get(), 0)) && resend) {
        result = Resend(generation);
    }
    if (generation_ == generation) resending_ = false;
    return result;
}

Result ResendLayer::Resend(std::uint64_t generation) {
    // Retained sequence numbers are consecutive: acknowledgements drop from the front and
    // new messages join at the back, so the next one to send is found by arithmetic.
    std::uint64_t next = 0;
    Result result = ResultOk;
    while (generation_ == generation && !retained_.empty()) {
        const std::uint64_t first = retained_.front().sequence;
        const std::uint64_t index = std::max(next, first) - first;
        if (index >= retained_.size()) break;
        const RefPtr<IDataStream> message = retained_[index].message;
        next = retained_[index].sequence + 1;
        if (Failed(result = SendWhole(message.Get(), 0))) break;
    }
    return result;
}

Result ResendLayer::Disconnect() {
    // The retained queue and both counters survive; a resend under way is for the lost
    // socket and stops.
    ++generation_;
    resending_ = false;
    return ResultOk;
}

}  // namespace brondal
