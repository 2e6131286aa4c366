#include "CallDriver.h"

#include "IRpc.h"
#include "RpcCallMessage.h"
#include "Scheduler.h"

namespace brondal::corvane::client {

namespace {

std::int64_t SinceEpochNs(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

}  // namespace

CallDriver::CallDriver(ITransport* transport, std::vector<UUID> connections)
    : transport_(transport), slots_(connections.size()) {
    for (std::size_t i = 0; i < connections.size(); ++i) {
        slots_[i].connection = connections[i];
        GetScheduler().NewUuid(&slots_[i].callId);
        byConnection_.emplace(connections[i], i);
    }
}

Result CallDriver::SetCall(std::size_t i, const UUID& object, std::int32_t method,
                           IDataStream* arguments) {
    slots_[i].message.Reset();
    return EncodeCallMessage(object, method, slots_[i].callId, arguments,
                             slots_[i].message.Receive());
}

Result CallDriver::Run(std::chrono::milliseconds warmUp, std::chrono::milliseconds duration,
                       std::chrono::milliseconds settleBound, Figures* figures) {
    for (Slot& slot : slots_) {
        slot.done.store(false);
        slot.calls = 0;
        slot.latencies.clear();
        slot.latencies.reserve(1 << 16);
    }
    const auto measureFrom = Clock::now() + warmUp;
    const auto end = measureFrom + duration;
    measureFromNs_.store(SinceEpochNs(measureFrom));
    endNs_.store(SinceEpochNs(end));
    stopping_.store(false);
    {
        std::lock_guard guard(lock_);
        running_ = slots_.size();
        failure_ = ResultOk;
    }
    for (Slot& slot : slots_)
        Send(slot);
    std::unique_lock guard(lock_);
    const bool settled =
        finished_.wait_until(guard, end + settleBound, [&] { return running_ == 0; });
    if (!settled) {
        // A call never answered: the slots may still be written, so none is read.
        stopping_.store(true);
        return Failed(failure_) ? failure_ : ResultRpcTimeout;
    }
    if (Failed(failure_)) return failure_;
    figures->calls = 0;
    figures->latencies.clear();
    for (const Slot& slot : slots_) {
        figures->calls += slot.calls;
        figures->latencies.insert(figures->latencies.end(), slot.latencies.begin(),
                                  slot.latencies.end());
    }
    return ResultOk;
}

void CallDriver::Send(Slot& slot) {
    slot.sentNs.store(SinceEpochNs(Clock::now()));
    const Result result = transport_->Write(slot.connection, RpcChannelId, slot.message.Get());
    if (Failed(result)) Finish(slot, result);
}

void CallDriver::Finish(Slot& slot, Result failure) {
    if (slot.done.exchange(true)) return;
    std::lock_guard guard(lock_);
    if (Failed(failure) && Succeeded(failure_)) failure_ = failure;
    if (running_ > 0) --running_;
    // Notified under the lock: Run may return, and its caller destroy this, at once.
    finished_.notify_all();
}

Result CallDriver::OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) {
    if (channelId != RpcChannelId) return ResultOk;
    const auto found = byConnection_.find(connectionId);
    if (found == byConnection_.end() || stopping_.load()) return ResultOk;
    Slot& slot = slots_[found->second];
    if (slot.done.load()) return ResultOk;
    const std::int64_t now = SinceEpochNs(Clock::now());
    UUID callId;
    Result result = ResultOk;
    if (Failed(DecodeCallResponse(data, &callId, &result)) || callId != slot.callId) {
        Finish(slot, ResultFail);
        return ResultOk;
    }
    if (Failed(result)) {
        Finish(slot, result);
        return ResultOk;
    }
    const std::int64_t sent = slot.sentNs.load();
    const std::int64_t end = endNs_.load();
    if (sent >= measureFromNs_.load() && now <= end) {
        ++slot.calls;
        slot.latencies.push_back(static_cast<std::uint64_t>(now - sent));
    }
    if (now >= end) {
        Finish(slot, ResultOk);
        return ResultOk;
    }
    Send(slot);
    return ResultOk;
}

Result CallDriver::OnEvent(UUID connectionId, std::int32_t event) {
    if (event != ITransport::ConnectionClosed || stopping_.load()) return ResultOk;
    const auto found = byConnection_.find(connectionId);
    // A connection lost with its call in flight would otherwise leave Run waiting.
    if (found != byConnection_.end()) Finish(slots_[found->second], ResultConnectionNotFound);
    return ResultOk;
}

}  // namespace brondal::corvane::client
