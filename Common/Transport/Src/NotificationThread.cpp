#include "NotificationThread.h"

#include <algorithm>
#include <vector>

#include "DeleteLater.h"
#include "LiveListeners.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "QueueMarshalling.h"
#include "RefPtr.h"
#include "SharedThread.h"
#include "WireFormat.h"

namespace brondal {

// The own-thread delivery marshals its five values through a memory stream this file
// writes and reads itself: those results are dropped with (void), as in the manager.

namespace {

const UUID QueueObject{};

using Listener = ITransport::ITransportNotify;

// A listener's own view of the frame from the current read position, so that listeners
// do not disturb each other's reading.
RefPtr<IDataStream> ReadView(IDataStream* stream) {
    std::uint32_t position = 0;
    std::uint32_t size = 0;
    (void)stream->GetPosition(&position);
    (void)stream->GetSize(&size);
    RefPtr<IDataStream> view;
    if (Failed(SliceDataStream(stream, position, size, view.Receive()))) return {};
    return view;
}

}  // namespace

NotificationThread::NotificationThread(bool deliverOnOwnThread)
    : listenerLock_(GetScheduler().CreateFastMutex()),
      deliverOnOwnThread_(deliverOnOwnThread),
      budgetLock_(GetScheduler().CreateFastMutex()),
      delivered_(GetScheduler().CreateEvent(true, true)) {}

NotificationThread::~NotificationThread() {
    Stop();
    (void)RemoveStub(QueueObject);
}

Result NotificationThread::Initialize() {
    Result result = AddStub(QueueObject, this);
    if (Failed(result)) return result;
    Start(Scheduler::Infinite);
    return ResultOk;
}

bool NotificationThread::HasRoomLocked(const UUID& connectionId) const {
    if (pendingTotal_ >= MaxPendingPerTransport) return false;
    const auto found = pending_.find(connectionId);
    return found == pending_.end() || (found->second.bytes < MaxPendingPerConnection &&
                                       found->second.frames < MaxPendingFramesPerConnection);
}

bool NotificationThread::WaitForDeliveryRoom(const UUID& connectionId, std::uint32_t timeoutMs) {
    if (!deliverOnOwnThread_) return true;
    {
        FastLockGuard guard(*budgetLock_);
        if (HasRoomLocked(connectionId)) return true;
        delivered_->Reset();
    }
    delivered_->Wait(static_cast<std::int32_t>(timeoutMs));
    FastLockGuard guard(*budgetLock_);
    return HasRoomLocked(connectionId);
}

NotificationThread::Pending NotificationThread::PendingFor(const UUID& connectionId) {
    FastLockGuard guard(*budgetLock_);
    const auto found = pending_.find(connectionId);
    return found == pending_.end() ? Pending{} : found->second;
}

void NotificationThread::Account(const UUID& connectionId, std::uint64_t bytes) {
    FastLockGuard guard(*budgetLock_);
    Pending& pending = pending_[connectionId];
    pending.bytes += bytes;
    ++pending.frames;
    pendingTotal_ += bytes;
}

void NotificationThread::Settle(const UUID& connectionId, std::uint64_t bytes) {
    {
        FastLockGuard guard(*budgetLock_);
        auto found = pending_.find(connectionId);
        if (found != pending_.end()) {
            found->second.bytes -= std::min(found->second.bytes, bytes);
            if (found->second.frames > 0) --found->second.frames;
            if (found->second.frames == 0) pending_.erase(found);
        }
        pendingTotal_ -= std::min(pendingTotal_, bytes);
    }
    delivered_->Set();
}

Result NotificationThread::AddNotify(Listener* listener) {
    FastLockGuard guard(*listenerLock_);
    listeners_.insert(listener);
    return ResultOk;
}

Result NotificationThread::RemoveNotify(Listener* listener) {
    FastLockGuard guard(*listenerLock_);
    listeners_.erase(listener);
    return ResultOk;
}

void NotificationThread::ClearNotify() {
    FastLockGuard guard(*listenerLock_);
    listeners_.clear();
}

Result NotificationThread::SetDataHook(ITransport::IDataHook* hook) {
    FastLockGuard guard(*listenerLock_);
    if (hook_ != nullptr && hook != nullptr) return ResultFail;
    hook_ = hook;
    return ResultOk;
}

Result NotificationThread::OnDataReady(const UUID& connectionId, const UUID& channelId,
                                       IDataStream* stream) {
    RefPtr<ITransport::IDataHook> hook;
    {
        FastLockGuard guard(*listenerLock_);
        if (hook_ != nullptr && hook_->TryAddRef() != 0) {
            hook = RefPtr<ITransport::IDataHook>::Adopt(hook_);
        }
    }
    UUID channel = channelId;
    RefPtr<IDataStream> data(stream);
    RefPtr<ITransport::PostReceiveTask> task;
    if (hook) {
        IDataStream* replaced = data.Detach();
        ITransport::PostReceiveTask* handed = nullptr;
        Result result = hook->PreOnDataReady(connectionId, &channel, &replaced, &handed);
        data = RefPtr<IDataStream>::Adopt(replaced);
        task = RefPtr<ITransport::PostReceiveTask>::Adopt(handed);
        if (Failed(result)) return result;
        if (!data) return ResultOk;
    }

    if (!deliverOnOwnThread_) {
        FastLockGuard guard(*listenerLock_);
        const LiveListeners<Listener> live(listeners_);
        guard.Unlock();
        for (const auto& listener : live) {
            RefPtr<IDataStream> view = ReadView(data.Get());
            if (view) (void)listener->OnDataReady(connectionId, channel, view.Get());
        }
        if (task) task->Run();
        return ResultOk;
    }

    FastLockGuard guard(*listenerLock_);
    for (Listener* listener : listeners_) {
        if (listener->TryAddRef() == 0) continue;
        RefPtr<IDataStream> view = ReadView(data.Get());
        RefPtr<IDataStream> arguments;
        (void)NewDataStream(arguments.Receive());
        if (!view || !arguments) {
            listener->Release();
            continue;
        }
        if (task) task->AddRef();
        std::uint32_t bytes = 0;
        (void)view->GetSize(&bytes);
        Account(connectionId, bytes);
        (void)WriteId(arguments.Get(), channel);
        (void)WritePointer(arguments.Get(), view.Detach());
        (void)WritePointer(arguments.Get(), listener);
        (void)WriteId(arguments.Get(), connectionId);
        (void)WritePointer(arguments.Get(), task.Get());
        arguments->WriteUInt32(bytes);
        (void)Execute(QueueObject, MethodDeliver, arguments.Get(), nullptr, 0, nullptr);
    }
    guard.Unlock();
    Wake();
    return ResultOk;
}

Result NotificationThread::OnEvent(const UUID& connectionId, std::int32_t event) {
    FastLockGuard guard(*listenerLock_);
    const LiveListeners<Listener> live(listeners_);
    guard.Unlock();
    for (const auto& listener : live)
        (void)listener->OnEvent(connectionId, event);
    return ResultOk;
}

Result NotificationThread::ExecuteStub(const UUID&, std::int32_t method, IDataStream* arguments,
                                       IDataStream*) {
    if (method != MethodDeliver) {
        LOG_SEVERE("Invalid method Id");
        return ResultFail;
    }
    UUID channel;
    UUID connectionId;
    IDataStream* view = nullptr;
    Listener* listener = nullptr;
    ITransport::PostReceiveTask* task = nullptr;
    (void)ReadId(arguments, &channel);
    (void)ReadPointer(arguments, &view);
    (void)ReadPointer(arguments, &listener);
    (void)ReadId(arguments, &connectionId);
    (void)ReadPointer(arguments, &task);
    std::uint32_t bytes = 0;
    arguments->ReadUInt32(&bytes);
    RefPtr<IDataStream> ownedView = RefPtr<IDataStream>::Adopt(view);
    RefPtr<Listener> ownedListener = RefPtr<Listener>::Adopt(listener);
    RefPtr<ITransport::PostReceiveTask> ownedTask =
        RefPtr<ITransport::PostReceiveTask>::Adopt(task);
    if (ownedListener && ownedView) {
        (void)ownedListener->OnDataReady(connectionId, channel, ownedView.Get());
    }
    if (ownedTask) ownedTask->Run();
    Settle(connectionId, bytes);
    return ResultOk;
}

bool NotificationThread::ThreadFunc() {
    SharedThreadScope shared;
    if (TryAddRef() == 0) return false;
    (void)ProcessQueue();
    if (ReleaseNoDelete() == 0) DeleteLater(this);
    return false;
}

}  // namespace brondal
