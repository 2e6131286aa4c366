#include "PlatformThread.h"

#include <process.h>
#include "SystemHeaders.h"

#include <algorithm>
#include <new>

#include "CrashHandler.h"
#include "LockGuard.h"
#include "PlatformLog.h"
#include "ThreadIdentity.h"
#include "ThreadRegistry.h"

namespace brondal::platform {

// What the new thread receives; it owns and frees it.
struct Thread::Start {
    std::shared_ptr<Shared> shared;
    std::uint32_t generation;
};

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

unsigned __stdcall Thread::Entry(void* start) {
    Start* begin = static_cast<Start*>(start);
    const std::shared_ptr<Shared> shared = std::move(begin->shared);
    const std::uint32_t generation = begin->generation;
    delete begin;
    Procedure(shared, generation);
    return 0;
}

// One run of the thread: the start hook, the passes, the stop hook.
void Thread::Procedure(const std::shared_ptr<Shared>& s, std::uint32_t generation) {
    s->systemId.store(CurrentThreadId());
    InstallCrashStackForThisThread();
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

void Thread::ThreadStart(std::int32_t timeoutMs) {
    // The new thread may destroy this object in its very first pass (a runnable that ends
    // its own life), so once it runs, only the shared block is touched here.
    std::shared_ptr<Shared> shared;
    {
        FastLockGuard lock(handleLock_);
        if (handle_ != nullptr) return;
        shared = shared_;
        shared->stop = false;
        shared->noWait = false;
        shared->systemId = 0;
        // Marked running first, so that the new thread already sees itself as running if it
        // stops itself in its first pass.
        shared->running = true;
        ThreadRegistry::Instance().Add(this);
        Start* start = new (std::nothrow) Start{shared, shared->generation.load()};
        // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread
        // state for threads it starts itself.
        const std::uintptr_t handle =
            start ? ::_beginthreadex(nullptr, 0, &Thread::Entry, start, 0, nullptr) : 0;
        if (handle == 0) {
            delete start;
            shared->running = false;
            ThreadRegistry::Instance().Remove(this);
            PLATFORM_LOG(LogSevere, "Unable to create thread, error code: %u",
                         static_cast<unsigned>(::GetLastError()));
            return;
        }
        handle_ = reinterpret_cast<void*>(handle);
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
    FastLockGuard lock(handleLock_);
    if (handle_ == nullptr) return;
    shared_->wake.Set();
    ::WaitForSingleObject(handle_, INFINITE);
    ::CloseHandle(handle_);
    handle_ = nullptr;
    shared_->running = false;
}

void Thread::Terminate() {
    FastLockGuard lock(handleLock_);
    if (handle_ == nullptr) return;
    shared_->generation.fetch_add(1);
    shared_->stop = true;
    shared_->wake.Set();
    ::CloseHandle(handle_);
    handle_ = nullptr;
    shared_->running = false;
}

void Thread::Wake() {
    if (shared_->running.load()) shared_->wake.Set();
}

std::int32_t Thread::SetPriority(std::int32_t priority) {
    FastLockGuard lock(handleLock_);
    if (handle_ == nullptr) return ResultOk;
    const int level = std::clamp(priority, THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL);
    return ::SetThreadPriority(handle_, level) ? ResultOk : ResultFail;
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
