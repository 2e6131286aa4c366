#include "LogTimeText.h"

#include <cstdio>

#include "Scheduler.h"

namespace brondal {

std::size_t FormatLogTime(const TimeParts& parts, char (&text)[LogTimeCapacity]) noexcept {
    const int n = std::snprintf(text, LogTimeCapacity, "%02d/%02d/%04d %02d:%02d:%02d.%03d",
                                parts.month, parts.day, parts.year, parts.hour, parts.minute,
                                parts.second, parts.millisecond);
    if (n < 0) {
        text[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < LogTimeCapacity ? static_cast<std::size_t>(n)
                                                         : LogTimeCapacity - 1;
}

std::string FormatLogTime(const TimeParts& parts) {
    char text[LogTimeCapacity];
    const std::size_t length = FormatLogTime(parts, text);
    return std::string(text, length);
}

std::string LogTimeNow() {
    TimeParts now;
    GetScheduler().GetLocalTimeParts(&now);
    return FormatLogTime(now);
}

}  // namespace brondal
