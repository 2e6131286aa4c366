#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "IDataStream.h"
#include "RefPtr.h"
#include "ResultCodes.h"
#include "Scheduler.h"
#include "Uuid.h"

namespace brondal {

// Moves calls onto the thread that owns an object. Any thread queues a call as (object,
// method, argument stream, reply stream); the owning thread runs ProcessQueue, which hands
// each call, in arrival order, to the stub registered for its object.
//
// A base class: an owner derives from it and from Thread, registers its stubs before
// producers start queuing, and calls ProcessQueue from its ThreadFunc. Execute does not
// wake the owner; the producer calls the owner's Wake after queuing.
//
// Synchronous callers pass an auto-reset event as done, wake the owner, wait on the event
// without a time limit and read the result with ReplyResult. The event is signalled after
// the stub returns (its reply is complete then), and also when the entry is dropped
// unexecuted, so a waiting caller is never left blocked.
//
// Locks: producers take only the queue lock. ProcessQueue never holds it while a stub runs;
// it holds the stub lock for the whole of each call, so AddStub and RemoveStub from other
// threads wait for a running call. Both locks are recursive, so a stub may queue work or
// change registrations on the owning thread. Order: stub lock, then queue lock.
class ExecutionQueue {
public:
    // Not reference counted: the registering object owns its stub and removes it before it
    // goes away.
    class IStub {
    public:
        // The stub writes its result as the first reply value when the caller waits for it.
        [[nodiscard]] virtual Result ExecuteStub(const UUID& object, std::int32_t method,
                                                 IDataStream* arguments, IDataStream* reply) = 0;
        virtual ~IStub() = default;
    };

    ExecutionQueue();
    // Drops the queued entries without running them, signalling their done events.
    virtual ~ExecutionQueue();

    ExecutionQueue(const ExecutionQueue&) = delete;
    ExecutionQueue& operator=(const ExecutionQueue&) = delete;

    // ResultNullPointer for a null stub, ResultFail when the object already has one.
    [[nodiscard]] virtual Result AddStub(const UUID& object, IStub* stub);
    // ResultFail when the object has no stub.
    [[nodiscard]] virtual Result RemoveStub(const UUID& object);
    // Appends a call unless queueLimit is non-zero and the queue already holds that many
    // entries (ResultFail, nothing queued). Streams may be null; done may be null. Only the
    // low 16 bits of method take part in matching and logging.
    [[nodiscard]] virtual Result Execute(const UUID& object, std::int32_t method,
                                         IDataStream* arguments, IDataStream* reply,
                                         std::uint32_t queueLimit, Scheduler::Event* done);
    // Replaces the streams of the first queued call to the same object and method (it keeps
    // its place and its done event); otherwise appends the call without limit or done event.
    [[nodiscard]] virtual Result ExecuteOrReplace(const UUID& object, std::int32_t method,
                                                  IDataStream* arguments, IDataStream* reply);
    // Runs queued calls on the calling thread until the queue is empty, or until a call
    // whose object has no stub, which is dropped; the calls behind it wait for the next
    // ProcessQueue. Returns ResultOk.
    [[nodiscard]] virtual Result ProcessQueue();

    // The result a synchronous call's stub wrote first into reply; ResultFail when it wrote
    // none (also when the call was dropped unexecuted).
    [[nodiscard]] static Result ReplyResult(IDataStream* reply);

private:
    struct Entry {
        UUID object;
        std::int32_t method = 0;
        RefPtr<IDataStream> arguments;
        RefPtr<IDataStream> reply;
        Scheduler::Event* done = nullptr;
    };

    std::unique_ptr<Scheduler::FastMutex> queueLock_;
    std::deque<Entry> queue_;
    std::unique_ptr<Scheduler::FastMutex> stubLock_;
    std::map<UUID, IStub*> stubs_;
};

}  // namespace brondal
