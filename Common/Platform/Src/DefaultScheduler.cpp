// The scheduler's parts that read the same on every system: the process-wide instance and
// the factories over each system's own locks, events, threads and timers (their headers are
// in Posix/Src and Windows/Src under the same names). The clocks and Sleep are the system's
// own, in SchedulerClocks.cpp beside those.
#include "DefaultScheduler.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "CrashHandler.h"
#include "DefaultMonitor.h"
#include "PlatformEvent.h"
#include "PlatformFastMutex.h"
#include "PlatformMutex.h"
#include "PlatformThread.h"
#include "RandomUuid.h"
#include "SchedulerOverride.h"
#include "StackTrace.h"
#include "ThreadIdentity.h"
#include "TimerImpl.h"

namespace brondal {

namespace {

std::atomic<Scheduler*> replacement{nullptr};

Scheduler& DefaultInstance() {
    // Never destroyed: threads may still ask for the time while static objects go away.
    // Every process of the system creates the scheduler early, which makes this the place
    // where a memory fault starts leaving a crash report.
    static DefaultScheduler* const instance = [] {
        auto* created = new DefaultScheduler();
        InstallCrashHandler();
        return created;
    }();
    return *instance;
}

}  // namespace

Scheduler& GetScheduler() {
    if (Scheduler* s = replacement.load(std::memory_order_acquire)) return *s;
    return DefaultInstance();
}

Scheduler* ExchangeScheduler(Scheduler* scheduler) {
    Scheduler& fallback = DefaultInstance();
    if (scheduler == &fallback) scheduler = nullptr;
    Scheduler* previous = replacement.exchange(scheduler, std::memory_order_acq_rel);
    return previous ? previous : &fallback;
}

std::unique_ptr<Scheduler::Thread> DefaultScheduler::CreateThread(Runnable* runnable, std::int32_t,
                                                                  bool deleteRunnableOnExit) {
    return std::make_unique<platform::Thread>(runnable, deleteRunnableOnExit);
}

std::uint32_t DefaultScheduler::GetCurrentThreadId() { return platform::CurrentThreadId(); }

void DefaultScheduler::Invoke(const std::function<void()>& fn) { fn(); }

void DefaultScheduler::GetStackTrace(std::string* text) {
    if (text) *text = platform::CaptureStackTrace();
}

std::unique_ptr<Scheduler::Mutex> DefaultScheduler::CreateMutex() {
    return std::make_unique<platform::Mutex>();
}

std::unique_ptr<Scheduler::FastMutex> DefaultScheduler::CreateFastMutex() {
    return std::make_unique<platform::CFastMutex>();
}

std::unique_ptr<Scheduler::Monitor> DefaultScheduler::CreateMonitor() {
    return std::make_unique<DefaultMonitor>();
}

std::unique_ptr<Scheduler::Monitor> DefaultScheduler::CreateSpinningMonitor() {
    return std::make_unique<DefaultMonitor>(DefaultMonitor::Contention::SpinFirst);
}

std::unique_ptr<Scheduler::Event> DefaultScheduler::CreateEvent(bool manualReset,
                                                                bool initiallySignalled) {
    return std::make_unique<platform::Event>(manualReset, initiallySignalled);
}

void DefaultScheduler::GetLocalTimeParts(TimeParts* parts) {
    if (parts) *parts = MsToTimeParts(GetLocalTimeMs());
}

void DefaultScheduler::GetUtcTimeParts(TimeParts* parts) {
    if (parts) *parts = MsToTimeParts(GetTimeMs());
}

Result DefaultScheduler::CreateTimer(ITimer** timer) {
    if (!timer) return ResultNullPointer;
    ITimer* created = new (std::nothrow) platform::TimerImpl();
    if (!created) return ResultFail;
    *timer = created;
    return ResultOk;
}

void DefaultScheduler::NewUuid(UUID* uuid) {
    if (uuid) platform::GenerateRandomUuid(uuid);
}

void DefaultScheduler::Abort() { std::abort(); }

}  // namespace brondal
