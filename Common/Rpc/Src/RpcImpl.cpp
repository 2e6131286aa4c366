#include "RpcImpl.h"

#include <algorithm>
#include <utility>

#include "LockGuard.h"
#include "LogCall.h"
#include "RpcMessages.h"

namespace brondal {

Result CreateRpc(IRpc** rpc) {
    if (rpc == nullptr) return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    *rpc = new RpcImpl();
    return ResultOk;
}

RpcImpl::RpcImpl()
    : transportLock_(GetScheduler().CreateFastMutex()),
      callLock_(GetScheduler().CreateFastMutex()),
      stubLock_(GetScheduler().CreateFastMutex()) {}

Result RpcImpl::Initialize(ITransport* transport, std::int32_t /*reserved*/) {
    if (transport == nullptr) return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    RefPtr<ITransport> previous;
    {
        FastLockGuard lock(*transportLock_);
        previous = std::exchange(transport_, RefPtr<ITransport>(transport));
    }
    // Outside the lock: the transport may deliver to us from within AddNotify.
    if (previous) (void)previous->RemoveNotify(this);
    Result result = transport->AddNotify(this);
    if (Failed(result)) return LOG_REPORT_ERROR(result, "Unable to register with the transport");
    return LOG_REPORT(ResultOk);
}

RpcImpl::~RpcImpl() {
    if (transport_) (void)transport_->RemoveNotify(this);
}

Result RpcImpl::Finalize() {
    RefPtr<ITransport> transport;
    {
        FastLockGuard lock(*transportLock_);
        transport = std::move(transport_);
    }
    if (!transport) return LOG_REPORT_ERROR(ResultNotInitialized, "Not initialized");
    (void)transport->RemoveNotify(this);
    return LOG_REPORT(ResultOk);
}

RefPtr<ITransport> RpcImpl::CurrentTransport() {
    FastLockGuard lock(*transportLock_);
    return transport_;
}

Result RpcImpl::Execute(UUID connectionId, const UUID& objectId, std::int32_t method,
                        IDataStream* arguments, IDataStream* reply, std::uint32_t timeoutMs) {
    if (arguments == nullptr || reply == nullptr) {
        return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    }
    const bool oneWay = timeoutMs == 0;
    const std::uint32_t effectiveTimeoutMs = oneWay ? 0 : std::max(timeoutMs, MinimumTimeoutMs);
    RefPtr<ITransport> transport = CurrentTransport();
    if (!transport) return LOG_REPORT_ERROR(ResultNotInitialized, "Not initialized");

    // A one-way call waits for nothing, so it needs no pending entry (and no event): only
    // an identifier. The callback thread sends every callback this way.
    UUID callId;
    RefPtr<CallContext> call;
    if (oneWay) {
        GetScheduler().NewUuid(&callId);
    } else {
        call = RefPtr<CallContext>::Adopt(new CallContext(reply));
        callId = call->CallId();
        FastLockGuard lock(*callLock_);
        pendingCalls_.emplace(callId, call);
    }

    // The header's stream becomes the message: the arguments are appended to it.
    RefPtr<IDataStream> message;
    Result result = NewDataStream(message.Receive());
    if (Succeeded(result)) {
        const rpc::RequestHeader fields{objectId, static_cast<std::uint16_t>(method), callId};
        result = rpc::WriteRequestHeader(
            message.Get(), oneWay ? rpc::KindOneWayRequest : rpc::KindRequest, fields);
    }
    if (Succeeded(result)) result = AppendDataStream(message.Get(), arguments);
    if (Succeeded(result)) result = transport->Write(connectionId, RpcChannelId, message.Get());
    if (Failed(result)) {
        if (call) RemoveCall(callId);
        return LOG_REPORT_ERROR(result, "Failed Transport Write, %x",
                                static_cast<unsigned>(result));
    }

    if (oneWay) return LOG_REPORT_ERROR(ResultOk, "No Response Required");

    bool answered = WaitForResponse(call.Get(), effectiveTimeoutMs);
    if (!RemoveCall(callId) && !answered) {
        // A response took the call just as the wait ended; it is being completed on the
        // delivering thread (a few reads and an append), so take its answer rather than
        // let it write into a reply stream the caller already owns again.
        call->Done().Wait(Scheduler::Infinite);
        answered = true;
    }
    const std::string connectionText = connectionId.ToString();
    const std::string objectText = objectId.ToString();
    if (answered) {
        return LOG_REPORT_ERROR(call->GetResult(),
                                "Response Complete; Connection: %s Object: %s Method: %d",
                                connectionText.c_str(), objectText.c_str(), method);
    }
    LOG_REPORT_ERROR(ResultRpcTimeout, "Timeout Connection: %s Object: %s Method: %d (%d ms)",
                     connectionText.c_str(), objectText.c_str(), method,
                     static_cast<int>(effectiveTimeoutMs));
    return ResultRpcTimeout;
}

bool RpcImpl::WaitForResponse(CallContext* call, std::uint32_t timeoutMs) {
    Scheduler& scheduler = GetScheduler();
    const std::uint32_t start = scheduler.GetTickCount();
    for (;;) {
        // Unsigned difference: the tick count wraps.
        const std::uint32_t elapsed = scheduler.GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        const std::uint32_t slice = std::min(timeoutMs - elapsed, WaitSliceMs);
        if (call->Done().Wait(static_cast<std::int32_t>(slice))) return true;
    }
}

bool RpcImpl::RemoveCall(const UUID& callId) {
    RefPtr<CallContext> removed;  // released outside the lock
    FastLockGuard lock(*callLock_);
    auto it = pendingCalls_.find(callId);
    if (it == pendingCalls_.end()) return false;
    removed = std::move(it->second);
    pendingCalls_.erase(it);
    return true;
}

Result RpcImpl::AddStub(const UUID& objectId, IStub* stub) {
    if (stub == nullptr) return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    FastLockGuard lock(*stubLock_);
    if (!stubs_.emplace(objectId, RefPtr<IStub>(stub)).second) {
        lock.Unlock();
        return LOG_REPORT_ERROR(ResultFail, "Stub already registered");
    }
    return ResultOk;
}

Result RpcImpl::RemoveStub(const UUID& objectId) {
    RefPtr<IStub> removed;  // released outside the lock: a stub may take locks of its own
    FastLockGuard lock(*stubLock_);
    auto it = stubs_.find(objectId);
    if (it == stubs_.end()) {
        lock.Unlock();
        return LOG_REPORT_ERROR(ResultFail, "Stub not registered");
    }
    removed = std::move(it->second);
    stubs_.erase(it);
    return ResultOk;
}

Result RpcImpl::GetTransport(ITransport** transport) {
    if (transport == nullptr) return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    RefPtr<ITransport> current = CurrentTransport();
    if (!current) return LOG_REPORT_ERROR(ResultNotInitialized, "Not initialized");
    *transport = current.Detach();
    return ResultOk;
}

Result RpcImpl::OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) {
    if (channelId != RpcChannelId || data == nullptr) return ResultOk;
    std::uint8_t kind = 0;
    if (Failed(data->ReadUInt8(&kind))) return ResultOk;
    switch (kind) {
        case rpc::KindResponse:
            return OnResponse(data);
        case rpc::KindRequest:
        case rpc::KindOneWayRequest:
            return OnRequest(connectionId, kind, data);
        default:
            return ResultOk;
    }
}

Result RpcImpl::OnResponse(IDataStream* data) {
    UUID callId;
    if (Failed(rpc::ReadCallId(data, &callId))) return ResultFail;
    RefPtr<CallContext> call;
    {
        // Taking the call out claims its completion (see CallContext): a late or repeated
        // response finds nothing and is dropped.
        FastLockGuard lock(*callLock_);
        auto it = pendingCalls_.find(callId);
        if (it == pendingCalls_.end()) return ResultFail;
        call = std::move(it->second);
        pendingCalls_.erase(it);
    }
    std::int32_t result = ResultOk;
    if (Succeeded(data->ReadInt32(&result))) call->SetResult(result);
    std::uint32_t replyLength = 0;
    if (Succeeded(data->ReadUInt32(&replyLength))) {
        // A short message appends nothing, like a failed read.
        (void)rpc::AppendReplyBytes(data, replyLength, call->Reply());
    }
    call->Done().Set();
    return ResultOk;
}

Result RpcImpl::OnRequest(UUID connectionId, std::uint8_t kind, IDataStream* data) {
    rpc::RequestHeader request;
    if (Failed(rpc::ReadRequestHeader(data, &request))) return ResultFail;

    RefPtr<IStub> stub;
    RefPtr<ICallGuard> guard;
    {
        FastLockGuard lock(*stubLock_);
        auto it = stubs_.find(request.objectId);
        if (it != stubs_.end()) {
            guard = RefPtr<ICallGuard>::Adopt(it->second->GetCallGuard());
            if (!guard || guard->AdmitCall()) stub = it->second;
        }
    }

    RefPtr<IDataStream> reply;
    Result result = NewDataStream(reply.Receive());
    if (Failed(result)) return result;
    if (stub) {
        result = stub->ExecuteStub(this, connectionId, request.objectId, request.method, data,
                                   reply.Get());
        // No partial reply goes back with a failure.
        if (Failed(result)) (void)reply->Clear();
    } else {
        result = ResultUnregisteredObject;
    }
    guard.Reset();
    if (kind != rpc::KindRequest) return ResultOk;

    RefPtr<ITransport> transport = CurrentTransport();
    if (!transport) return ResultOk;
    rpc::ResponseHeader response{request.callId, result, 0};
    (void)reply->GetSize(&response.replyLength);
    RefPtr<IDataStream> message;
    if (Failed(NewDataStream(message.Receive())) ||
        Failed(rpc::WriteResponseHeader(message.Get(), response)) ||
        Failed(AppendDataStream(message.Get(), reply.Get()))) {
        return ResultOk;
    }
    // Failures to send are not acted upon: the caller's time-out covers a lost response.
    (void)transport->BeginWrite();
    (void)transport->Write(connectionId, RpcChannelId, message.Get());
    (void)transport->EndWrite();
    return ResultOk;
}

Result RpcImpl::OnEvent(UUID /*connectionId*/, std::int32_t /*event*/) {
    // Connection losses do not end pending calls: they end by their time-out.
    return ResultOk;
}

}  // namespace brondal
