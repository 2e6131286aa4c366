#pragma once

#include "SystemHeaders.h"

#include "Scheduler.h"

namespace brondal::platform {

// The container guard: a critical section, recursive, no timeout. It spins briefly before
// it sleeps, since the sections it guards are a few instructions long.
class CFastMutex final : public Scheduler::FastMutex {
public:
    CFastMutex() { ::InitializeCriticalSectionAndSpinCount(&section_, SpinCount); }
    ~CFastMutex() override { ::DeleteCriticalSection(&section_); }
    CFastMutex(const CFastMutex&) = delete;
    CFastMutex& operator=(const CFastMutex&) = delete;

    [[nodiscard]] Result Lock() override {
        ::EnterCriticalSection(&section_);
        return ResultOk;
    }
    [[nodiscard]] Result Unlock() override {
        ::LeaveCriticalSection(&section_);
        return ResultOk;
    }

private:
    static constexpr DWORD SpinCount = 4000;
    CRITICAL_SECTION section_;
};

}  // namespace brondal::platform
