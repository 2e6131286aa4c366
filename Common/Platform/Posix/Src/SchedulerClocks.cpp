// The scheduler's clocks and Sleep on POSIX systems; the rest is in Src/DefaultScheduler.cpp.
#include <time.h>

#include <chrono>
#include <thread>

#include "DefaultScheduler.h"

namespace brondal {

namespace {

std::int64_t ReadClockMs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + (ts.tv_nsec + 500000) / 1000000;
}

}  // namespace

void DefaultScheduler::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::int64_t DefaultScheduler::GetTimeMs() { return ReadClockMs(CLOCK_REALTIME); }

std::int64_t DefaultScheduler::GetLocalTimeMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    const time_t seconds = ts.tv_sec;
    ::localtime_r(&seconds, &local);
    return (static_cast<std::int64_t>(ts.tv_sec) + local.tm_gmtoff) * 1000 + ts.tv_nsec / 1000000;
}

std::uint32_t DefaultScheduler::GetTickCount() {
    return static_cast<std::uint32_t>(ReadClockMs(CLOCK_MONOTONIC));
}

std::int64_t DefaultScheduler::GetTickCount64() { return ReadClockMs(CLOCK_MONOTONIC); }

}  // namespace brondal
