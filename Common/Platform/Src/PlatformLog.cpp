#include "PlatformLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace brondal::platform {

namespace {
std::atomic<LogHandler> handler{nullptr};
}

void SetLogHandler(LogHandler h) { handler.store(h, std::memory_order_release); }

void LogMessage(std::uint32_t level, const char* file, std::uint32_t line, const char* function,
                const char* format, ...) {
    LogHandler h = handler.load(std::memory_order_acquire);
    if (!h) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    h(level, file, line, function, text);
}

}  // namespace brondal::platform
