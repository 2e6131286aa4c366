#include "RpcCallbackThread.h"

#include <utility>

#include "ITransport.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "SharedThread.h"

namespace brondal {

RpcCallbackThread::RpcCallbackThread(IRpc* engine)
    : engine_(engine),
      workArrived_(GetScheduler().CreateEvent(false, false)),
      lock_(GetScheduler().CreateFastMutex()) {}

RpcCallbackThread::~RpcCallbackThread() {
    // The passes use every member below: end them before anything goes away.
    Stop();
}

Result RpcCallbackThread::Initialize() {
    if (initialized_.exchange(true)) {
        return LOG_REPORT_ERROR(ResultAlreadyInitialized, "RpcCallbackThread already initialized");
    }
    Start(Scheduler::Infinite);
    return LOG_REPORT(ResultOk);
}

Result RpcCallbackThread::CallBack(UUID connectionId, const UUID& objectId, std::uint16_t method,
                                   IDataStream* arguments, IDataStream* reply) {
    if (!initialized_) {
        return LOG_REPORT_ERROR(ResultNotInitialized, "RpcCallbackThread not initialized");
    }
    PostCallBackInternal(
        connectionId, RefPtr<CallbackInfo>::Adopt(new CallbackInfo(connectionId, objectId, method,
                                                                   arguments, reply, nullptr)));
    return ResultOk;
}

Result RpcCallbackThread::CallBackSequence(UUID connectionId, const UUID& objectId,
                                           std::uint16_t method, ICallbackSequence* sequence,
                                           IDataStream* reply) {
    if (!initialized_) {
        return LOG_REPORT_ERROR(ResultNotInitialized, "RpcCallbackThread not initialized");
    }
    if (sequence == nullptr) return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    auto info = RefPtr<CallbackInfo>::Adopt(
        new CallbackInfo(connectionId, objectId, method, nullptr, reply, sequence));
    {
        FastLockGuard lock(*lock_);
        auto it = connections_.find(connectionId);
        if (it == connections_.end()) return ResultFail;
        std::size_t runs = 0;
        for (const auto& queued : it->second)
            runs += queued->sequence ? 1 : 0;
        if (runs >= MaxQueuedSequences || it->second.size() > QueueLimit) return ResultFail;
        it->second.push_back(std::move(info));
        ++queued_;
    }
    WakeForWork();
    return ResultOk;
}

void RpcCallbackThread::PostCallBackInternal(const UUID& connectionId, RefPtr<CallbackInfo> info) {
    {
        FastLockGuard lock(*lock_);
        auto it = connections_.find(connectionId);
        // Dropped silently: an unknown connection, or a queue already over the limit.
        if (it == connections_.end() || it->second.size() > QueueLimit) return;
        it->second.push_back(std::move(info));
        ++queued_;
    }
    WakeForWork();
}

Result RpcCallbackThread::AddConnection(UUID connectionId) {
    if (!initialized_) {
        return LOG_REPORT_ERROR(ResultNotInitialized, "RpcCallbackThread not initialized");
    }
    FastLockGuard lock(*lock_);
    connections_.try_emplace(connectionId);
    return ResultOk;
}

Result RpcCallbackThread::RemoveConnection(UUID connectionId) {
    if (!initialized_) {
        return LOG_REPORT_ERROR(ResultNotInitialized, "RpcCallbackThread not initialized");
    }
    Queue dropped;  // released outside the lock
    {
        FastLockGuard lock(*lock_);
        auto it = connections_.find(connectionId);
        if (it == connections_.end()) return ResultOk;
        dropped.swap(it->second);
        connections_.erase(it);
        queued_ -= std::min<std::uint32_t>(queued_, static_cast<std::uint32_t>(dropped.size()));
    }
    // A pass pausing for a not-ready connection may now have nothing left to wait for.
    WakeForWork();
    return ResultOk;
}

Result RpcCallbackThread::GetStats(std::uint32_t* connections, std::uint32_t* queued) {
    if (connections == nullptr || queued == nullptr) {
        return LOG_REPORT_ERROR(ResultNullPointer, "Invalid Pointer");
    }
    FastLockGuard lock(*lock_);
    *connections = static_cast<std::uint32_t>(connections_.size());
    *queued = queued_;
    return ResultOk;
}

void RpcCallbackThread::WakeForWork() {
    workArrived_->Set();
    Wake();
}

bool RpcCallbackThread::ThreadFunc() {
    // One thread serves every subscriber: its writes must never wait on one of them. A
    // connection that cannot take a callback now reports not ready and is passed over.
    SharedThreadScope shared;
    RefPtr<CallbackInfo> info;
    std::size_t connectionCount = 0;
    {
        FastLockGuard lock(*lock_);
        if (connections_.empty()) return false;
        auto it = cursor_.IsNil() ? connections_.end() : connections_.find(cursor_);
        if (it == connections_.end()) {
            it = connections_.begin();
            cursor_ = it->first;
        }
        if (!it->second.empty()) info = it->second.front();
        connectionCount = connections_.size();
    }

    const Turn turn = info ? Send(*info) : Turn::NotReady;
    const bool sent = turn != Turn::NotReady;

    bool more = false;
    {
        FastLockGuard lock(*lock_);
        auto it = connections_.find(cursor_);
        // Removed while we were sending: its callbacks went with it.
        if (it == connections_.end()) return true;
        // Only the entry that was sent leaves the queue; the comparison also keeps a
        // connection that was removed and added again meanwhile from losing its new front.
        if (turn == Turn::Done && !it->second.empty() && it->second.front() == info) {
            it->second.pop_front();
            --queued_;
        }
        ++it;
        cursor_ = it == connections_.end() ? UUID() : it->first;
        more = queued_ != 0;
    }

    idlePasses_ = sent ? 0 : idlePasses_ + 1;
    if (more && idlePasses_ >= connectionCount) {
        // A whole round without sending: every connection with callbacks is not ready.
        // Wait a little (new work ends the wait early) rather than spin; the order of the
        // queues is untouched, and the next pass simply goes on with the round.
        workArrived_->Wait(NotReadyPauseMs);
        idlePasses_ = 0;
    }
    return more;
}

RpcCallbackThread::Turn RpcCallbackThread::Send(CallbackInfo& info) {
    RefPtr<ITransport> transport;
    if (Failed(engine_->GetTransport(transport.Receive()))) return Turn::NotReady;
    bool ready = false;
    if (Failed(transport->ConnectionReadyForWrite(info.connectionId, &ready)) || !ready) {
        return Turn::NotReady;
    }
    if (info.sequence) return SendNextOfSequence(info);
    // One-way (time-out 0): the client sends no response, so this never waits for one.
    const Result result = engine_->Execute(info.connectionId, info.objectId, info.method,
                                           info.arguments.Get(), info.reply.Get(), 0);
    // A failed callback is not retried: it leaves the queue like a sent one.
    if (Failed(result)) LOG_REPORT_ERROR(result, "RpcCallback execution failed");
    return Turn::Done;
}

RpcCallbackThread::Turn RpcCallbackThread::SendNextOfSequence(CallbackInfo& info) {
    // Made only now that the connection can take it, so that a run waiting for a slow
    // subscriber holds no calls made in advance.
    if (!info.pending) {
        const Result made = info.sequence->Next(&info.pending, &info.pendingIsLast);
        if (Failed(made) || !info.pending) {
            LOG_SEVERE(
                "Callback run to connection %s ended after %u calls: its next call could "
                "not be made (%x)",
                info.connectionId.ToString().c_str(), info.sentCalls, static_cast<unsigned>(made));
            return Turn::Done;
        }
    }
    const Result result = engine_->Execute(info.connectionId, info.objectId, info.method,
                                           info.pending.Get(), info.reply.Get(), 0);
    if (Failed(result)) {
        LOG_REPORT_ERROR(result, "RpcCallback execution failed");
        LOG_SEVERE("Callback run to connection %s broken off after %u calls",
                   info.connectionId.ToString().c_str(), info.sentCalls);
        return Turn::Done;
    }
    ++info.sentCalls;
    info.pending.Reset();
    return info.pendingIsLast ? Turn::Done : Turn::Progress;
}
}  // namespace brondal
