#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ITimer.h"
#include "ResultCodes.h"
#include "TimeParts.h"

namespace brondal {

class UUID;

// The one door to the operating system's threads, locks, events, clocks, timers and
// identifiers. Code never creates a lock or an event directly: it asks the scheduler.
// Every create operation returns a new object owned by the caller.
class Scheduler {
public:
    static constexpr std::int32_t Infinite = -1;

    // Recursive mutex with a timed Lock. Unlock by a thread that does not own it fails.
    class Mutex {
    public:
        virtual ~Mutex() = default;
        // timeoutMs: Infinite waits without limit. ResultFail when the time passed.
        [[nodiscard]] virtual Result Lock(std::int32_t timeoutMs) = 0;
        // ResultFail when the caller does not own the mutex.
        [[nodiscard]] virtual Result Unlock() = 0;
    };

    // Recursive lock without timeout; the container guard of the whole system.
    class FastMutex {
    public:
        virtual ~FastMutex() = default;
        [[nodiscard]] virtual Result Lock() = 0;
        [[nodiscard]] virtual Result Unlock() = 0;
    };

    class Event {
    public:
        virtual ~Event() = default;
        // True only when the event was signalled within timeoutMs (Infinite: no limit).
        virtual bool Wait(std::int32_t timeoutMs) = 0;
        virtual void Set() = 0;
        virtual void Reset() = 0;
    };

    // A recursive monitor whose Wait releases every level of ownership while it waits.
    class Monitor {
    public:
        virtual ~Monitor() = default;
        // Enters and sets the recursion count to the value ExitAll handed out.
        [[nodiscard]] virtual Result Restore(std::int32_t count) = 0;
        [[nodiscard]] virtual Result Enter() = 0;
        // Leaves completely, handing out the recursion count. ResultFail for a non-owner.
        [[nodiscard]] virtual Result ExitAll(std::int32_t* count) = 0;
        // ResultFail for a non-owner.
        [[nodiscard]] virtual Result Exit() = 0;
        // One timed wait: returns 0 when notified, timed out, or woken spuriously, with the
        // ownership restored. Callers re-check their condition in a loop.
        [[nodiscard]] virtual Result Wait(std::int32_t timeoutMs) = 0;
        [[nodiscard]] virtual Result NotifyAll() = 0;
    };

    // One pass of a long-running activity; see Thread.h.
    class Runnable {
    public:
        virtual ~Runnable() = default;
        // True: run the next pass at once; false: sleep until woken.
        virtual bool ThreadFunc() = 0;
        // False skips the loop entirely.
        virtual bool OnThreadStart() { return true; }
        virtual bool OnThreadStop() { return true; }
    };

    // An operating-system thread running a Runnable's passes.
    class Thread {
    public:
        virtual ~Thread() = default;
        virtual void ThreadStart(std::int32_t timeoutMs) = 0;
        virtual void Stop() = 0;
        virtual void Terminate() = 0;
        virtual void Wake() = 0;
        virtual std::int32_t SetPriority(std::int32_t priority) = 0;
        virtual void SetUserValue(std::int32_t value) = 0;
        // id: the thread's system identifier; runningMs: how long the current pass has been
        // running (0 between passes). text, when given, receives "trace not available".
        virtual void GetRunInfo(std::uint64_t* id, std::uint64_t* runningMs, std::string* text) = 0;
        virtual bool IsRunning() = 0;
        virtual void RequestStop() = 0;
        virtual bool IsStopRequested() = 0;
        virtual Runnable* GetRunnable() = 0;
    };

    virtual ~Scheduler() = default;

    virtual void Sleep(std::uint32_t ms) = 0;
    virtual std::unique_ptr<Thread> CreateThread(Runnable* runnable, std::int32_t reserved,
                                                 bool deleteRunnableOnExit) = 0;
    // Non-zero identifier of the calling thread.
    virtual std::uint32_t GetCurrentThreadId() = 0;
    // Calls fn; an empty fn throws std::bad_function_call.
    virtual void Invoke(const std::function<void()>& fn) = 0;
    virtual void GetStackTrace(std::string* text) = 0;
    virtual std::unique_ptr<Mutex> CreateMutex() = 0;
    virtual std::unique_ptr<FastMutex> CreateFastMutex() = 0;
    virtual std::unique_ptr<Monitor> CreateMonitor() = 0;
    // A monitor that, finding itself held, retries briefly before its thread sleeps: for a
    // monitor entered many times per message by a few busy threads, whose holds are far
    // shorter than a sleep and a wake-up. Otherwise as CreateMonitor.
    virtual std::unique_ptr<Monitor> CreateSpinningMonitor() { return CreateMonitor(); }
    virtual std::unique_ptr<Event> CreateEvent(bool manualReset, bool initiallySignalled) = 0;
    // Local wall-clock time in ms since 1970-01-01 00:00, the local time taken as if UTC.
    virtual std::int64_t GetLocalTimeMs() = 0;
    virtual void GetLocalTimeParts(TimeParts* parts) = 0;
    // UTC ms since 1970-01-01 00:00 UTC, rounded to the nearest millisecond.
    virtual std::int64_t GetTimeMs() = 0;
    virtual void GetUtcTimeParts(TimeParts* parts) = 0;
    // A new, unstarted timer with one reference for the caller.
    [[nodiscard]] virtual Result CreateTimer(ITimer** timer) = 0;
    virtual void NewUuid(UUID* uuid) = 0;
    // Milliseconds since system start, 32-bit, wrapping.
    virtual std::uint32_t GetTickCount() = 0;
    // Milliseconds since system start, 64-bit: never wraps and never steps when the wall
    // clock is set. Waits, time-outs and ages are measured on it; GetTimeMs is for values
    // that leave the process (versions, timestamps a peer reads) and for log texts.
    virtual std::int64_t GetTickCount64() = 0;
    // Ends the process at once.
    [[noreturn]] virtual void Abort() = 0;
};

// The process-wide scheduler, created on first use.
Scheduler& GetScheduler();

}  // namespace brondal
