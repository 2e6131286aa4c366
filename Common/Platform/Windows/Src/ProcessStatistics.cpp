#include "ProcessStatistics.h"

#include "SystemHeaders.h"
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

namespace brondal {

namespace {

std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

// The system's times are in 100-nanosecond units already, and its kernel time includes
// idle time, as CpuTimes wants it.
std::optional<CpuTimes> ReadSystemCpuTimes() {
    FILETIME idle{}, kernel{}, user{};
    if (!::GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
    return CpuTimes{Ticks(kernel), Ticks(user)};
}

std::optional<CpuTimes> ReadProcessCpuTimes() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return std::nullopt;
    }
    return CpuTimes{Ticks(kernel), Ticks(user)};
}

std::optional<std::int32_t> ReadProcessThreadCount() {
    // The snapshot holds every thread of the system; this process's are counted.
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    const DWORD self = ::GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::int32_t count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    ::CloseHandle(snapshot);
    return count > 0 ? std::optional<std::int32_t>(count) : std::nullopt;
}

std::optional<std::int32_t> ReadOpenFileDescriptorCount() {
    // Every kernel handle counts, files and sockets among them, as descriptors do on Linux.
    // A running process always holds some; none means the system does not count them (Wine).
    DWORD handles = 0;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &handles) || handles == 0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(handles);
}

std::optional<std::uint64_t> ReadResidentSetBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(counters.WorkingSetSize);
}

}  // namespace brondal
