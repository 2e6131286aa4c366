// The /proc parsing behind the Linux readers, kept apart from them so that it can be
// checked on sample texts on any system.
#include <charconv>
#include <cstdint>

#include "ProcessStatistics.h"

namespace brondal {

namespace {

constexpr std::uint64_t HundredNsPerSecond = 10000000;

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

}  // namespace brondal
