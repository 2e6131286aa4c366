#pragma once

#include <cstdint>

#include "LogLevel.h"
#include "StringFormat.h"

namespace brondal::platform {

// The runtime sits below the logger, so it logs through a hook that the logger installs
// when it is created. Without a logger the messages go nowhere, as every statement does
// before the logger exists.
using LogHandler = void (*)(std::uint32_t level, const char* file, std::uint32_t line,
                            const char* function, const char* message);

void SetLogHandler(LogHandler handler);

// Formats printf-style and hands the text to the handler, when one is installed.
void LogMessage(std::uint32_t level, const char* file, std::uint32_t line, const char* function,
                const char* format, ...) BRONDAL_PRINTF_FORMAT(5, 6);

}  // namespace brondal::platform

#define PLATFORM_LOG(level, ...) \
    ::brondal::platform::LogMessage((level), __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
