#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>

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
// Input bound: with delivery on the own thread, the bytes of the frames posted and not yet
// delivered are counted per connection and for the whole transport. A connection's reader
// asks WaitForDeliveryRoom before each read, so that a slow listener (or a flood from many
// peers) makes the readers pause rather than memory grow: at most MaxPendingPerTransport
// bytes wait in all, and a connection with MaxPendingPerConnection bytes or
// MaxPendingFramesPerConnection frames waiting reads no more of its peer (the frame count
// keeps a flood of small requests from one peer from filling the delivering thread's queue
// ahead of everybody else's). A connection with nothing waiting is always let through once the
// transport is under its bound, so no frame of a well-behaved peer is held up for long or dropped,
// however large (up to the frame limit).
//
// Locks: the listener lock guards only the listener set and the hook; no listener or hook
// is called while it is held (posting to the own queue is the one thing done under it). The
// budget lock guards only the counts.
class NotificationThread final : public Thread,
                                 public ExecutionQueue,
                                 public ExecutionQueue::IStub,
                                 public IRefCountImpl {
public:
    static constexpr std::uint64_t MaxPendingPerConnection = 16u << 20;
    static constexpr std::uint64_t MaxPendingPerTransport = 256u << 20;
    static constexpr std::uint32_t MaxPendingFramesPerConnection = 64;

    explicit NotificationThread(bool deliverOnOwnThread);
    ~NotificationThread() override;

    [[nodiscard]] Result Initialize();
    [[nodiscard]] Result AddNotify(ITransport::ITransportNotify* listener);
    [[nodiscard]] Result RemoveNotify(ITransport::ITransportNotify* listener);
    // Drops every listener; the transport's Finalize.
    void ClearNotify();
    // ResultFail when a different hook is already set; none always clears.
    [[nodiscard]] Result SetDataHook(ITransport::IDataHook* hook);
    // stream: the received frame; each listener gets its own read view of it.
    [[nodiscard]] Result OnDataReady(const UUID& connectionId, const UUID& channelId,
                                     IDataStream* stream);
    [[nodiscard]] Result OnEvent(const UUID& connectionId, std::int32_t event);
    // For a connection's reader, before it reads: true at once while its connection and the
    // transport are under their bounds (always without own-thread delivery); otherwise waits
    // up to timeoutMs for the delivering thread to catch up and says whether it did.
    bool WaitForDeliveryRoom(const UUID& connectionId, std::uint32_t timeoutMs);
    // What was posted for the connection and not yet delivered.
    struct Pending {
        std::uint64_t bytes = 0;
        std::uint32_t frames = 0;
    };
    Pending PendingFor(const UUID& connectionId);

    [[nodiscard]] Result ExecuteStub(const UUID& object, std::int32_t method,
                                     IDataStream* arguments, IDataStream* reply) override;
    bool ThreadFunc() override;

private:
    static constexpr std::int32_t MethodDeliver = 1;

    bool HasRoomLocked(const UUID& connectionId) const;
    void Account(const UUID& connectionId, std::uint64_t bytes);
    void Settle(const UUID& connectionId, std::uint64_t bytes);

    std::unique_ptr<Scheduler::FastMutex> listenerLock_;
    std::set<ITransport::ITransportNotify*> listeners_;
    const bool deliverOnOwnThread_;
    ITransport::IDataHook* hook_ = nullptr;

    std::unique_ptr<Scheduler::FastMutex> budgetLock_;
    // Set after every delivery; a reader that found no room resets it (under the budget
    // lock) before waiting, so no delivery between its check and its wait is missed.
    std::unique_ptr<Scheduler::Event> delivered_;
    std::unordered_map<UUID, Pending> pending_;
    std::uint64_t pendingTotal_ = 0;
};

}  // namespace brondal
