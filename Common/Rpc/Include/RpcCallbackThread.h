#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "ICallbackSequence.h"
#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "RefPtr.h"
#include "ResultCodes.h"
#include "Scheduler.h"
#include "Thread.h"
#include "Uuid.h"

namespace brondal {

// Sends one-way calls ("callbacks") to clients without blocking the thread that decides to
// send them. Callbacks are queued per connection and issued through an engine, one callback
// of one connection per pass, connections taking turns in UUID order. Calls to one
// connection keep their order; a connection that is not ready for writing keeps its
// callbacks and does not hold up the others; a full queue loses new callbacks.
//
// A run of calls that must arrive whole (the batches of one table) is queued as one entry,
// a sequence (ICallbackSequence), which makes its calls one per turn, only when its
// connection is ready: so the queue limit counts whole runs, not their calls, and a run of
// any length arrives complete or, when it cannot be queued at all, not at all, and the
// caller is told (CallBackSequence fails). What one slow subscriber makes the service hold
// is therefore bounded by entries: at most QueueLimit + 1 of them, of which at most
// MaxQueuedSequences runs (each holding its own source, e.g. a snapshot of the table, and at
// most one call made and not yet sent). A run whose call fails to send is broken off (the
// connection is failing) with a Severe line naming the connection.
//
// Lock: one lock guards the connections, their queues and the cursor. It is held only to
// pick and to remove entries, never while calling the transport or the engine.
class RpcCallbackThread : public Thread, public IRefCountImpl {
public:
    // A queue already holding more than this many callbacks drops new ones, so a queue can
    // hold one more than this.
    static constexpr std::size_t QueueLimit = 100;
    // While no queued connection is ready for writing, passes are paced by waiting this long
    // (or until new work arrives) instead of spinning.
    static constexpr std::int32_t NotReadyPauseMs = 5;
    // Runs queued for one connection at the most.
    static constexpr std::size_t MaxQueuedSequences = 4;

    explicit RpcCallbackThread(IRpc* engine);

    // Starts the thread. ResultAlreadyInitialized the second time.
    Result Initialize();
    // Queues a one-way call; 0 also when it is dropped (unknown connection or full queue).
    Result CallBack(UUID connectionId, const UUID& objectId, std::uint16_t method,
                    IDataStream* arguments, IDataStream* reply);
    // Queues a run of one-way calls to method on objectId. ResultFail, with nothing queued,
    // when the connection is unknown or already holds MaxQueuedSequences runs or a full queue.
    Result CallBackSequence(UUID connectionId, const UUID& objectId, std::uint16_t method,
                            ICallbackSequence* sequence, IDataStream* reply);
    Result AddConnection(UUID connectionId);
    // Drops the connection with all its pending callbacks.
    Result RemoveConnection(UUID connectionId);
    Result GetStats(std::uint32_t* connections, std::uint32_t* queued);

    bool ThreadFunc() override;

protected:
    ~RpcCallbackThread() override;

private:
    struct CallbackInfo final : IRefCountImpl {
        CallbackInfo(UUID connection, const UUID& object, std::uint16_t methodNumber,
                     IDataStream* args, IDataStream* replyStream, ICallbackSequence* run)
            : connectionId(connection),
              objectId(object),
              method(methodNumber),
              arguments(args),
              reply(replyStream),
              sequence(run) {}
        const UUID connectionId;
        const UUID objectId;
        const std::uint16_t method;
        // A single call's arguments; none for a sequence.
        const RefPtr<IDataStream> arguments;
        const RefPtr<IDataStream> reply;
        const RefPtr<ICallbackSequence> sequence;
        // A sequence's state, touched only by the thread: the call made and not yet sent,
        // whether it is the run's last, and how many were sent.
        RefPtr<IDataStream> pending;
        bool pendingIsLast = false;
        std::uint32_t sentCalls = 0;

    private:
        ~CallbackInfo() override = default;
    };
    // What a turn did with the front entry of its connection.
    enum class Turn {
        NotReady,  // nothing sent; the entry stays
        Progress,  // a call of a sequence went out; the entry stays for the next turn
        Done,      // the entry is finished (sent, failed, or broken off)
    };
    using Queue = std::deque<RefPtr<CallbackInfo>>;

    void PostCallBackInternal(const UUID& connectionId, RefPtr<CallbackInfo> info);
    // Sends one callback (the next of a sequence) when its connection is ready.
    Turn Send(CallbackInfo& info);
    Turn SendNextOfSequence(CallbackInfo& info);
    // Wakes both the thread and a pass that is pausing.
    void WakeForWork();

    std::atomic<bool> initialized_{false};
    const RefPtr<IRpc> engine_;
    // Set by producers; a pass that found nothing ready waits on it for NotReadyPauseMs.
    std::unique_ptr<Scheduler::Event> workArrived_;

    std::unique_ptr<Scheduler::FastMutex> lock_;
    std::map<UUID, Queue> connections_;
    // The connection to serve next; nil: start again with the first.
    UUID cursor_;
    std::uint32_t queued_ = 0;
    // Passes in a row that sent nothing; owned by the thread. A full round of them means
    // every connection with callbacks is not ready.
    std::size_t idlePasses_ = 0;
};

}  // namespace brondal
