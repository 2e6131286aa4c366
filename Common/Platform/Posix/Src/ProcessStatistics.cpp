#include "ProcessStatistics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace brondal {

namespace {

constexpr std::uint64_t HundredNsPerSecond = 10000000;

// The whole content of a /proc file; these report a size of 0, so they are read to the end.
std::optional<std::string> ReadProcFile(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

}  // namespace

std::optional<CpuTimes> ReadSystemCpuTimes() {
    std::optional<std::string> text = ReadProcFile("/proc/stat");
    if (!text) return std::nullopt;
    return ParseProcStatCpuTimes(*text, ::sysconf(_SC_CLK_TCK));
}

std::optional<CpuTimes> ReadProcessCpuTimes() {
    // getrusage rather than /proc/self/stat: microseconds instead of clock ticks.
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return std::nullopt;
    auto toHundredNs = [](const timeval& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * HundredNsPerSecond +
               static_cast<std::uint64_t>(t.tv_usec) * 10;
    };
    CpuTimes times;
    times.kernel = toHundredNs(usage.ru_stime);
    times.user = toHundredNs(usage.ru_utime);
    return times;
}

std::optional<std::int32_t> ReadProcessThreadCount() {
    std::optional<std::string> text = ReadProcFile("/proc/self/status");
    if (!text) return std::nullopt;
    return ParseStatusThreads(*text);
}

std::optional<std::int32_t> ReadOpenFileDescriptorCount() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) return std::nullopt;
    std::int32_t count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(folder);
    // The listing itself held one descriptor.
    return count > 0 ? count - 1 : 0;
}

std::optional<std::uint64_t> ReadResidentSetBytes() {
    std::optional<std::string> text = ReadProcFile("/proc/self/status");
    if (!text) return std::nullopt;
    return ParseStatusResidentBytes(*text);
}

}  // namespace brondal
