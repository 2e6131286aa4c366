#include "ProcessStatistics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
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

std::string_view SkipBlanks(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return text.substr(i);
}

// Reads an unsigned decimal after optional blanks and advances text past it.
std::optional<std::uint64_t> TakeNumber(std::string_view& text) {
    text = SkipBlanks(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc()) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

// The rest of the line that starts with prefix (at the start of a line), or nothing.
std::optional<std::string_view> LineAfter(std::string_view text, std::string_view prefix) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        if (line.substr(0, prefix.size()) == prefix) return line.substr(prefix.size());
        start = end + 1;
    }
    return std::nullopt;
}

std::uint64_t TicksToHundredNs(std::uint64_t ticks, std::uint64_t ticksPerSecond) {
    return ticks / ticksPerSecond * HundredNsPerSecond +
           ticks % ticksPerSecond * HundredNsPerSecond / ticksPerSecond;
}

}  // namespace

std::optional<CpuTimes> ParseProcStatCpuTimes(std::string_view procStat,
                                              std::int64_t ticksPerSecond) {
    if (ticksPerSecond <= 0) return std::nullopt;
    // "cpu " with the blank: the lines "cpu0", "cpu1", ... are single processors.
    std::optional<std::string_view> rest = LineAfter(procStat, "cpu ");
    if (!rest) return std::nullopt;
    // user nice system idle iowait irq softirq steal guest guest_nice; kernels before 2.6
    // stop after idle. The guest fields are counted in user and nice already.
    constexpr int Fields = 8;
    std::uint64_t values[Fields] = {};
    int count = 0;
    for (; count < Fields; ++count) {
        std::optional<std::uint64_t> value = TakeNumber(*rest);
        if (!value) break;
        values[count] = *value;
    }
    if (count < 4) return std::nullopt;
    const auto tps = static_cast<std::uint64_t>(ticksPerSecond);
    CpuTimes times;
    times.user = TicksToHundredNs(values[0] + values[1], tps);
    times.kernel = TicksToHundredNs(
        values[2] + values[3] + values[4] + values[5] + values[6] + values[7], tps);
    return times;
}

std::optional<std::int32_t> ParseStatusThreads(std::string_view status) {
    std::optional<std::string_view> rest = LineAfter(status, "Threads:");
    if (!rest) return std::nullopt;
    std::optional<std::uint64_t> value = TakeNumber(*rest);
    if (!value || *value > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

std::optional<std::uint64_t> ParseStatusResidentBytes(std::string_view status) {
    std::optional<std::string_view> rest = LineAfter(status, "VmRSS:");
    if (!rest) return std::nullopt;
    std::optional<std::uint64_t> kilobytes = TakeNumber(*rest);
    if (!kilobytes || SkipBlanks(*rest).substr(0, 2) != "kB") return std::nullopt;
    return *kilobytes * 1024;
}

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
