#include "DeleteLater.h"

#include <chrono>
#include <memory>
#include <vector>

#include "LockGuard.h"
#include "Scheduler.h"
#include "Thread.h"

namespace brondal {

namespace {

class DeletionThread;

// The deletion queue. Created on first use and never destroyed, so that objects may be
// queued until the process ends.
struct DeletionQueue {
    std::unique_ptr<Scheduler::Monitor> monitor = GetScheduler().CreateMonitor();
    std::vector<IRefCount*> pending;  // guarded by monitor
    std::uint64_t queued = 0;         // guarded by monitor
    std::uint64_t deleted = 0;        // guarded by monitor
    DeletionThread* thread = nullptr;

    static DeletionQueue& Instance() {
        static DeletionQueue* const queue = new DeletionQueue();
        return *queue;
    }
};

class DeletionThread final : public Thread {
public:
    bool ThreadFunc() override {
        DeletionQueue& queue = DeletionQueue::Instance();
        std::vector<IRefCount*> batch;
        {
            MonitorGuard guard(*queue.monitor);
            batch.swap(queue.pending);
        }
        for (IRefCount* object : batch)
            object->DeleteNow();
        if (!batch.empty()) {
            MonitorGuard guard(*queue.monitor);
            queue.deleted += batch.size();
            (void)queue.monitor->NotifyAll();
        }
        return false;
    }
};

}  // namespace

void DeleteLater(IRefCount* object) {
    if (!object) return;
    DeletionQueue& queue = DeletionQueue::Instance();
    MonitorGuard guard(*queue.monitor);
    queue.pending.push_back(object);
    ++queue.queued;
    if (!queue.thread) {
        queue.thread = new DeletionThread();
        queue.thread->Start(Scheduler::Infinite);
    }
    queue.thread->Wake();
}

bool WaitForDeferredDeletions(std::int32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    DeletionQueue& queue = DeletionQueue::Instance();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    MonitorGuard guard(*queue.monitor);
    const std::uint64_t target = queue.queued;
    while (queue.deleted < target) {
        if (timeoutMs < 0) {
            (void)queue.monitor->Wait(Scheduler::Infinite);
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        (void)queue.monitor->Wait(static_cast<std::int32_t>(left.count()) + 1);
    }
    return true;
}

}  // namespace brondal
