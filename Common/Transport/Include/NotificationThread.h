#pragma once

#include <cstdint>
#include <memory>
#include <set>

#include "ExecutionQueue.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "Scheduler.h"
#include "Thread.h"

namespace brondal {

// Fans received frames and connection events out to a transport's listeners, on the
// delivering thread or, when the transport asks for it, on this object's own thread so
// that one listener is never called concurrently.
//
// Locks: the listener lock guards only the listener set and the hook; no listener or hook
// is called while it is held (posting to the own queue is the one thing done under it).
class NotificationThread final : public Thread,
                                 public ExecutionQueue,
                                 public ExecutionQueue::IStub,
                                 public IRefCountImpl {
public:
    explicit NotificationThread(bool deliverOnOwnThread);
    ~NotificationThread() override;

    Result Initialize();
    Result AddNotify(ITransport::ITransportNotify* listener);
    Result RemoveNotify(ITransport::ITransportNotify* listener);
    // Drops every listener; the transport's Finalize.
    void ClearNotify();
    // ResultFail when a different hook is already set; none always clears.
    Result SetDataHook(ITransport::IDataHook* hook);
    // stream: the received frame; each listener gets its own read view of it.
    Result OnDataReady(const UUID& connectionId, const UUID& channelId, IDataStream* stream);
    Result OnEvent(const UUID& connectionId, std::int32_t event);

    Result ExecuteStub(const UUID& object, std::int32_t method, IDataStream* arguments,
                       IDataStream* reply) override;
    bool ThreadFunc() override;

private:
    static constexpr std::int32_t MethodDeliver = 1;

    std::unique_ptr<Scheduler::FastMutex> listenerLock_;
    std::set<ITransport::ITransportNotify*> listeners_;
    const bool deliverOnOwnThread_;
    ITransport::IDataHook* hook_ = nullptr;
};

}  // namespace brondal
