#pragma once

#include "Scheduler.h"

namespace brondal {

// The scheduler over the operating system. Every time query goes through the three virtual
// clocks (GetTimeMs, GetLocalTimeMs, GetTickCount, GetTickCount64), so a derived scheduler that
// replaces them moves every dependent value (time parts, thread pass times) with them.
class DefaultScheduler : public Scheduler {
public:
    DefaultScheduler() = default;
    ~DefaultScheduler() override = default;

    void Sleep(std::uint32_t ms) override;
    std::unique_ptr<Thread> CreateThread(Runnable* runnable, std::int32_t reserved,
                                         bool deleteRunnableOnExit) override;
    std::uint32_t GetCurrentThreadId() override;
    void Invoke(const std::function<void()>& fn) override;
    void GetStackTrace(std::string* text) override;
    std::unique_ptr<Mutex> CreateMutex() override;
    std::unique_ptr<FastMutex> CreateFastMutex() override;
    std::unique_ptr<Monitor> CreateMonitor() override;
    std::unique_ptr<Monitor> CreateSpinningMonitor() override;
    std::unique_ptr<Event> CreateEvent(bool manualReset, bool initiallySignalled) override;
    std::int64_t GetLocalTimeMs() override;
    void GetLocalTimeParts(TimeParts* parts) override;
    std::int64_t GetTimeMs() override;
    void GetUtcTimeParts(TimeParts* parts) override;
    [[nodiscard]] Result CreateTimer(ITimer** timer) override;
    void NewUuid(UUID* uuid) override;
    std::uint32_t GetTickCount() override;
    std::int64_t GetTickCount64() override;
    [[noreturn]] void Abort() override;
};

}  // namespace brondal
