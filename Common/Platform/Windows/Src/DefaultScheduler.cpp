#include "DefaultScheduler.h"

#include "SystemHeaders.h"

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

// 100-nanosecond intervals between 1601-01-01 (the system's epoch) and 1970-01-01.
constexpr std::int64_t EpochDifference = 116444736000000000;
constexpr std::int64_t HundredNsPerMs = 10000;

std::atomic<Scheduler*> replacement{nullptr};

std::int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

// Milliseconds since 1970 of a system file time, rounded to the nearest.
std::int64_t FileTimeToMs(const FILETIME& time) {
    return (FileTimeValue(time) - EpochDifference + HundredNsPerMs / 2) / HundredNsPerMs;
}

Scheduler& DefaultInstance() {
    // Never destroyed: threads may still ask for the time while static objects go away.
    // Every process of the system creates the scheduler early, which makes this the place
    // where the unhandled-exception filter is installed, before any host object exists.
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

void DefaultScheduler::Sleep(std::uint32_t ms) { ::Sleep(ms); }

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

std::unique_ptr<Scheduler::Event> DefaultScheduler::CreateEvent(bool manualReset,
                                                                bool initiallySignalled) {
    return std::make_unique<platform::Event>(manualReset, initiallySignalled);
}

std::int64_t DefaultScheduler::GetTimeMs() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return FileTimeToMs(now);
}

std::int64_t DefaultScheduler::GetLocalTimeMs() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    // Through the time-zone rules of the date itself, so that a moment in summer time is
    // shifted by the summer offset even when asked in winter.
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    FILETIME localTime{};
    if (!::FileTimeToSystemTime(&now, &utc) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !::SystemTimeToFileTime(&local, &localTime)) {
        return FileTimeToMs(now);
    }
    // SYSTEMTIME keeps whole milliseconds; the fraction below comes from the precise time.
    const std::int64_t fraction = FileTimeValue(now) % HundredNsPerMs;
    return (FileTimeValue(localTime) + fraction - EpochDifference) / HundredNsPerMs;
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

std::uint32_t DefaultScheduler::GetTickCount() { return ::GetTickCount(); }

std::int64_t DefaultScheduler::GetTickCount64() {
    return static_cast<std::int64_t>(::GetTickCount64());
}

void DefaultScheduler::Abort() { std::abort(); }

}  // namespace brondal
