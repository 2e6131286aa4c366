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

unsigned __stdcall Thread::Entry(void* start) {
    Start* begin = static_cast<Start*>(start);
    const std::shared_ptr<Shared> shared = std::move(begin->shared);
    const std::uint32_t generation = begin->generation;
    delete begin;
    Procedure(shared, generation);
    return 0;
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

std::int32_t Thread::SetPriority(std::int32_t priority) {
    FastLockGuard lock(handleLock_);
    if (handle_ == nullptr) return ResultOk;
    const int level = std::clamp(priority, THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL);
    return ::SetThreadPriority(handle_, level) ? ResultOk : ResultFail;
}

}  // namespace brondal::platform
