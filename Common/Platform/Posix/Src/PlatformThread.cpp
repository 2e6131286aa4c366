#include "PlatformThread.h"

#include <sys/resource.h>

#include <algorithm>
#include <system_error>

#include "CrashHandler.h"
#include "PlatformLog.h"
#include "ThreadIdentity.h"
#include "ThreadRegistry.h"

namespace brondal::platform {

Thread::Thread(Scheduler::Runnable* runnable, bool deleteRunnableOnExit)
    : shared_(std::make_shared<Shared>()) {
    shared_->runnable = runnable;
    shared_->deleteRunnableOnExit = deleteRunnableOnExit;
}

Thread::~Thread() {
    if (OnOwnThread()) {
        // Destroyed from inside its own pass (the runnable deleting itself): the thread
        // cannot wait for itself, so it is abandoned and ends when the pass returns.
        Terminate();
    } else {
        Stop();
    }
    ThreadRegistry::Instance().Remove(this);
}

bool Thread::OnOwnThread() const {
    return shared_->running.load() && shared_->systemId.load() == CurrentThreadId();
}

// One run of the thread: the start hook, the passes, the stop hook.
void Thread::Procedure(std::shared_ptr<Shared> s, std::uint32_t generation) {
    s->systemId.store(CurrentThreadId());
    InstallCrashStackForThisThread();  // so that a stack overflow is reported too
    auto current = [&] { return s->generation.load() == generation; };

    const bool ok = s->runnable->OnThreadStart();
    s->started.Set();
    if (ok) {
        while (!s->stop.load() && current()) {
            (void)s->runLock.Lock(Scheduler::Infinite);
            s->passStartMs.store(GetScheduler().GetTimeMs());
            const bool more = s->runnable->ThreadFunc();
            s->passStartMs.store(0);
            (void)s->runLock.Unlock();
            if (!current()) return;  // abandoned by Terminate: leave the runnable alone
            if (more && !s->stop.load()) {
                // The next pass runs at once, so a wake that arrived during this pass is
                // already served.
                s->wake.Reset();
                continue;
            }
            if (!s->noWait.load()) s->wake.Wait(Scheduler::Infinite);
        }
        if (!current()) return;
        s->runnable->OnThreadStop();
    }
    s->finished.Set();
    if (s->deleteRunnableOnExit) delete s->runnable;
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

void Thread::Wake() {
    if (shared_->running.load()) shared_->wake.Set();
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

void Thread::GetRunInfo(std::uint64_t* id, std::uint64_t* runningMs, std::string* text) {
    if (id) *id = shared_->systemId.load();
    if (runningMs) {
        const std::int64_t start = shared_->passStartMs.load();
        const std::int64_t now = GetScheduler().GetTimeMs();
        *runningMs = start != 0 && now > start ? static_cast<std::uint64_t>(now - start) : 0;
    }
    if (text) *text = "trace not available";
}

bool Thread::IsRunning() { return shared_->running.load(); }

void Thread::RequestStop() {
    shared_->stop = true;
    shared_->noWait = true;
}

bool Thread::IsStopRequested() { return shared_->stop.load(); }

}  // namespace brondal::platform
