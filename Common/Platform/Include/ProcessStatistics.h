#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brondal {

// Processor time split the way the usage meter wants it, in 100-nanosecond units. For the
// whole machine, kernel includes idle time, so kernel + user is all processor time that
// passed on all processors; for a process it is the time its threads ran.
struct CpuTimes {
    std::uint64_t kernel = 0;
    std::uint64_t user = 0;
};

// Readers of the running process's and the machine's statistics. Each answers nothing
// (std::nullopt) when the system does not tell.
std::optional<CpuTimes> ReadSystemCpuTimes();
std::optional<CpuTimes> ReadProcessCpuTimes();
std::optional<std::int32_t> ReadProcessThreadCount();
std::optional<std::int32_t> ReadOpenFileDescriptorCount();
std::optional<std::uint64_t> ReadResidentSetBytes();

// The parsing behind the readers, separate so that it can be checked on sample texts.

// The aggregate "cpu" line of /proc/stat, in clock ticks of ticksPerSecond. Guest time is
// already part of user and nice, so it is not added again.
std::optional<CpuTimes> ParseProcStatCpuTimes(std::string_view procStat,
                                              std::int64_t ticksPerSecond);
// The "Threads:" line of /proc/<pid>/status.
std::optional<std::int32_t> ParseStatusThreads(std::string_view status);
// The "VmRSS:" line of /proc/<pid>/status (given in kB), in bytes.
std::optional<std::uint64_t> ParseStatusResidentBytes(std::string_view status);

}  // namespace brondal
