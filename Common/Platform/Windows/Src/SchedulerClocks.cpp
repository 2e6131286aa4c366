// The scheduler's clocks and Sleep on Windows; the rest is in Src/DefaultScheduler.cpp.
#include "SystemHeaders.h"

#include "DefaultScheduler.h"

namespace brondal {

namespace {

// 100-nanosecond intervals between 1601-01-01 (the system's epoch) and 1970-01-01.
constexpr std::int64_t EpochDifference = 116444736000000000;
constexpr std::int64_t HundredNsPerMs = 10000;

std::int64_t FileTimeValue(const FILETIME& time) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                     time.dwLowDateTime);
}

// Milliseconds since 1970 of a system file time, rounded to the nearest.
std::int64_t FileTimeToMs(const FILETIME& time) {
    return (FileTimeValue(time) - EpochDifference + HundredNsPerMs / 2) / HundredNsPerMs;
}

}  // namespace

void DefaultScheduler::Sleep(std::uint32_t ms) { ::Sleep(ms); }

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

std::uint32_t DefaultScheduler::GetTickCount() { return ::GetTickCount(); }

std::int64_t DefaultScheduler::GetTickCount64() {
    return static_cast<std::int64_t>(::GetTickCount64());
}

}  // namespace brondal
