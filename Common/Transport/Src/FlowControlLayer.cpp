#include "FlowControlLayer.h"

#include "AckBatch.h"
#include "FastLog.h"
#include "IRefCountImpl.h"
#include "LayerHeaders.h"
#include "LogCall.h"
#include "Scheduler.h"

namespace brondal {

namespace {

// Sends one acknowledgement of a paced packet after the packet was delivered, then runs
// the task it was chained in front of.
class Ack final : public ITransport::PostReceiveTask, public IRefCountImpl {
public:
    Ack(IRefCount* adapter, IRefCount* connection, ITransportLayer* lower, std::int64_t sentMs,
        std::int64_t size, RefPtr<ITransport::PostReceiveTask> next)
        : adapter_(adapter),
          connection_(connection),
          lower_(lower),
          sentMs_(sentMs),
          size_(size),
          next_(std::move(next)) {}

    void Run() override {
        RefPtr<IDataStream> ack;
        // The timestamp is the peer's: any value may come, so the difference wraps (the
        // receiver of the acknowledgement caps what it makes of it) instead of overflowing.
        const auto delay =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(GetScheduler().GetTimeMs()) -
                                      static_cast<std::uint64_t>(sentMs_));
        if (Succeeded(NewDataStream(ack.Receive())) &&
            Succeeded(WritePacedAck(ack.Get(), {delay, size_}))) {
            // Written after the network layer has let the monitor go (this task runs
            // without it), not in between.
            AckBatch batch;
            (void)lower_->Send(ack.Get(), 0);
        }
        if (next_) next_->Run();
    }

private:
    // Keep the lower layer (owned by the connection, which uses the adapter) alive until
    // the task has run, however late.
    RefPtr<IRefCount> adapter_;
    RefPtr<IRefCount> connection_;
    ITransportLayer* lower_;
    std::int64_t sentMs_;
    std::int64_t size_;
    RefPtr<ITransport::PostReceiveTask> next_;
};

}  // namespace

FlowControlLayer::FlowControlLayer(IRefCount* keepAliveAdapter, IRefCount* keepAliveConnection,
                                   std::uint32_t peerAddress, std::uint16_t peerPort,
                                   std::unique_ptr<IFlowControl> flowControl,
                                   std::unique_ptr<ITransportLayer> lower)
    : adapter_(keepAliveAdapter),
      connection_(keepAliveConnection),
      peerAddress_(peerAddress),
      peerPort_(peerPort),
      flowControl_(std::move(flowControl)),
      lower_(std::move(lower)) {}

Result FlowControlLayer::Send(IDataStream* packet, std::uint32_t timeoutMs) {
    if (!active_ || timeoutMs == 0) return lower_->Send(packet, timeoutMs);
    std::uint32_t size = 0;
    const Result result = packet->GetSize(&size);
    if (Failed(result)) return result;
    queue_.push_back(Queued{RefPtr<IDataStream>(packet), std::int64_t{size} + PacedDataHeaderSize,
                            FastLog::Enabled() ? FastLog::Counter() : 0});
    timeoutMs_ = timeoutMs;
    return ResultOk;
}

Result FlowControlLayer::Pump() {
    if (pumping_) return ResultOk;
    pumping_ = true;
    Result result = ResultOk;
    // The monitor is held from the window's answer to the grant: the packet is admitted.
    while (active_ && !queue_.empty() && flowControl_->IsOpen()) {
        const Queued next = std::move(queue_.front());
        queue_.pop_front();
        flowControl_->OnWrite(next.bytes, 0);
        if (Failed(result = SendPaced(next, timeoutMs_))) break;
    }
    pumping_ = false;
    return result;
}

Result FlowControlLayer::SendPaced(const Queued& queued, std::uint32_t timeoutMs) {
    const bool logged = FastLog::Enabled();
    const std::int64_t t1 = logged ? FastLog::Counter() : 0;
    RefPtr<IDataStream> paced;
    Result result;
    if (Failed(result = NewDataStream(paced.Receive())) ||
        Failed(result = WritePacedDataHeader(paced.Get(), GetScheduler().GetTimeMs())) ||
        Failed(result = AppendDataStream(paced.Get(), queued.packet.Get()))) {
        return result;
    }
    result = lower_->Send(paced.Get(), timeoutMs);
    if (logged) {
        // Queued before the sink came: its wait in the window is not known.
        const std::int64_t t0 = queued.queuedAt != 0 ? queued.queuedAt : t1;
        (void)FastLog::Log(std::make_unique<FastLog::Send>(peerAddress_, peerPort_,
                                                           static_cast<std::uint32_t>(queued.bytes),
                                                           t0, t1, FastLog::Counter()));
    }
    return result;
}

Result FlowControlLayer::Receive(RefPtr<IDataStream>& stream,
                                 RefPtr<ITransport::PostReceiveTask>& task) {
    const ReceivedKind received = ReceiveKind(*lower_, stream, task);
    if (!received.present) return received.result;
    Result result = ResultOk;
    if (received.kind == PacedAckKind) {
        PacedAck ack;
        result = ReadPacedAck(stream.Get(), &ack);
        stream.Reset();
        // A malformed acknowledgement leaves the window as it was.
        if (Succeeded(result)) flowControl_->OnAck(ack.delay, ack.bytes);
        return result;
    }
    if (received.kind != PacedDataKind) return stream->SetPosition(received.position);
    std::uint32_t size = 0;
    std::int64_t sentMs = 0;
    if (Failed(result = stream->GetSize(&size)) ||
        Failed(result = ReadPacedDataHeader(stream.Get(), &sentMs))) {
        return result;
    }
    task = RefPtr<ITransport::PostReceiveTask>::Adopt(
        new Ack(adapter_, connection_, lower_.get(), sentMs, size, std::move(task)));
    return ResultOk;
}

Result FlowControlLayer::Connect(const UUID& connectionId, const UUID&, bool) {
    active_ = true;
    connectionId_ = connectionId;
    return ResultOk;
}

Result FlowControlLayer::Disconnect() {
    active_ = false;
    flowControl_->Reset();
    // What was queued for the lost socket goes again whole, by the resend layer.
    queue_.clear();
    return ResultOk;
}

}  // namespace brondal
