#include "PlatformThread.h"

#include <sys/resource.h>

#include <algorithm>
#include <system_error>

#include "PlatformLog.h"
#include "ThreadIdentity.h"
#include "ThreadRegistry.h"

namespace brondal::platform {

Thread::Thread(Scheduler::Runnable* runnable, bool deleteRunnableOnExit)
    : shared_(std::make_shared<Shared>()) {
    shared_->runnable = runnable;
    shared_->deleteRunnableOnExit = deleteRunnableOnExit;
}

void Thread::ThreadStart(std::int32_t timeoutMs) {
    // The new thread may destroy this object in its very first pass (a runnable that ends
    // its own life), so once it runs, only the shared block is touched here.
    std::shared_ptr<Shared> shared;
    {
        std::lock_guard lock(handleLock_);
        if (handle_.joinable()) return;
        shared = shared_;
        shared->stop = false;
        shared->noWait = false;
        shared->systemId = 0;
        // Marked running first, so that the new thread already sees itself as running if it
        // stops itself in its first pass.
        shared->running = true;
        ThreadRegistry::Instance().Add(this);
        try {
            handle_ = std::thread(&Thread::Procedure, shared, shared->generation.load());
        } catch (const std::system_error& e) {
            shared->running = false;
            ThreadRegistry::Instance().Remove(this);
            PLATFORM_LOG(LogSevere, "Unable to create thread, error code: %u",
                         static_cast<unsigned>(e.code().value()));
            return;
        }
    }
    shared->started.Wait(timeoutMs);
}

void Thread::Stop() {
    shared_->stop = true;
    if (OnOwnThread()) {
        // Stop from inside a pass cannot wait for itself: the loop ends after this pass and
        // whoever stops or destroys the object from another thread collects the thread.
        shared_->noWait = true;
        return;
    }
    std::lock_guard lock(handleLock_);
    if (!handle_.joinable()) return;
    shared_->wake.Set();
    handle_.join();
    shared_->running = false;
}

void Thread::Terminate() {
    std::lock_guard lock(handleLock_);
    if (!handle_.joinable()) return;
    shared_->generation.fetch_add(1);
    shared_->stop = true;
    shared_->wake.Set();
    handle_.detach();
    shared_->running = false;
}

std::int32_t Thread::SetPriority(std::int32_t priority) {
    if (!shared_->running.load()) return ResultOk;
    const std::uint64_t id = shared_->systemId.load();
    if (id == 0) return ResultFail;
    // Priorities run from -15 (idle) through 0 (normal) to 15 (time critical); each step of
    // the usual -2..2 range is five nice levels. Raising needs privileges.
    const int nice = std::clamp(-priority * 5, -20, 19);
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice) == 0 ? ResultOk : ResultFail;
}

}  // namespace brondal::platform
