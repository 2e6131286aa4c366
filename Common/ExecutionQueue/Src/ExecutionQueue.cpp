#include "ExecutionQueue.h"

#include <utility>

#include "LockGuard.h"
#include "LogCall.h"

namespace brondal {

namespace {

std::uint16_t MethodKey(std::int32_t method) { return static_cast<std::uint16_t>(method); }

}  // namespace

ExecutionQueue::ExecutionQueue()
    : queueLock_(GetScheduler().CreateFastMutex()), stubLock_(GetScheduler().CreateFastMutex()) {}

ExecutionQueue::~ExecutionQueue() {
    for (Entry& entry : queue_) {
        if (entry.done != nullptr) entry.done->Set();
    }
}

Result ExecutionQueue::AddStub(const UUID& object, IStub* stub) {
    if (stub == nullptr) return ResultNullPointer;
    FastLockGuard lock(*stubLock_);
    return stubs_.emplace(object, stub).second ? ResultOk : ResultFail;
}

Result ExecutionQueue::RemoveStub(const UUID& object) {
    FastLockGuard lock(*stubLock_);
    return stubs_.erase(object) == 1 ? ResultOk : ResultFail;
}

Result ExecutionQueue::Execute(const UUID& object, std::int32_t method, IDataStream* arguments,
                               IDataStream* reply, std::uint32_t queueLimit,
                               Scheduler::Event* done) {
    FastLockGuard lock(*queueLock_);
    if (queueLimit != 0 && queue_.size() >= queueLimit) return ResultFail;
    queue_.push_back(
        Entry{object, method, RefPtr<IDataStream>(arguments), RefPtr<IDataStream>(reply), done});
    return ResultOk;
}

Result ExecutionQueue::ExecuteOrReplace(const UUID& object, std::int32_t method,
                                        IDataStream* arguments, IDataStream* reply) {
    FastLockGuard lock(*queueLock_);
    for (Entry& entry : queue_) {
        if (entry.object == object && MethodKey(entry.method) == MethodKey(method)) {
            entry.arguments = RefPtr<IDataStream>(arguments);
            entry.reply = RefPtr<IDataStream>(reply);
            return ResultOk;
        }
    }
    // Recursive lock: the append happens under the same hold as the scan.
    return Execute(object, method, arguments, reply, 0, nullptr);
}

Result ExecutionQueue::ProcessQueue() {
    for (;;) {
        Entry entry;
        {
            FastLockGuard lock(*queueLock_);
            if (queue_.empty()) return ResultOk;
            entry = std::move(queue_.front());
            queue_.pop_front();
        }

        FastLockGuard lock(*stubLock_);
        auto found = stubs_.find(entry.object);
        if (found == stubs_.end()) {
            lock.Unlock();
            // Owners register before anyone queues, so this is a caller's mistake; the
            // waiting caller still wakes and reads no result.
            if (entry.done != nullptr) entry.done->Set();
            return ResultOk;
        }
        Result result = found->second->ExecuteStub(entry.object, entry.method,
                                                   entry.arguments.Get(), entry.reply.Get());
        if (entry.done != nullptr) entry.done->Set();
        if (Failed(result)) {
            LOG_SPEW(0, "Execution failed object: %s method: %d", entry.object.ToString().c_str(),
                     static_cast<int>(MethodKey(entry.method)));
        }
    }
}

Result ExecutionQueue::ReplyResult(IDataStream* reply) {
    std::int32_t result = ResultFail;
    if (reply == nullptr || Failed(reply->SetPosition(0)) || Failed(reply->ReadInt32(&result))) {
        return ResultFail;
    }
    return result;
}

}  // namespace brondal
