// The parts of the platform thread that read the same on every system: the passes loop and
// the lock-free queries. Each system's PlatformThread.h declares the class with the same
// shared block; its PlatformThread.cpp starts, joins and abandons the system's threads.
#include "PlatformThread.h"

#include "CrashHandler.h"
#include "ThreadIdentity.h"
#include "ThreadRegistry.h"

namespace brondal::platform {

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
    if (s->deleteRunnableOnExit) delete s->runnable;
}

void Thread::Wake() {
    if (shared_->running.load()) shared_->wake.Set();
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
