#pragma once

#include <cstdint>

#include "ILogger.h"
#include "StringFormat.h"

namespace brondal {

// One log statement, built on the stack by the LOG_* macros below. The constructor asks
// the logger whether the statement is enabled; a disabled statement formats nothing and
// allocates nothing.
//
// The process logger is never destroyed, so the call holds it without a counted reference.
class LogCall {
public:
    LogCall(std::uint32_t level, std::uint32_t detail, const char* file, std::uint32_t line,
            const char* function) noexcept;

    LogCall(const LogCall&) = delete;
    LogCall& operator=(const LogCall&) = delete;

    bool Enabled() const { return enabled_; }

    // Formats printf-style and logs, when enabled.
    void Message(const char* format, ...) BRONDAL_PRINTF_FORMAT(2, 3);
    // Logs "RETURN Result: 0x<hex> - ": at Severe with the statement's detail for a
    // failure, at Spew with detail 3 otherwise. Returns result unchanged.
    [[nodiscard]] Result Report(Result result);
    // As Report, with the formatted message after the " - ".
    Result ReportError(Result result, const char* format, ...) BRONDAL_PRINTF_FORMAT(3, 4);

private:
    bool ChooseReportLevel(Result result);
    void Write(const char* text, std::size_t length);

    ILogger* logger_;
    const char* file_;
    std::uint32_t line_;
    std::uint32_t detail_;
    std::uint32_t level_;
    const char* function_;
    bool enabled_ = false;
};

// The logger of the process without a reference taken (it lives until the process ends).
ILogger* ProcessLogger();

}  // namespace brondal

// A message at a level with a detail number (0 for ordinary statements).
#define LOG_MESSAGE(level, detail, ...)                                           \
    do {                                                                          \
        ::brondal::LogCall brondalLogCall_((level), (detail), __FILE__, __LINE__, \
                                           __PRETTY_FUNCTION__);                  \
        if (brondalLogCall_.Enabled()) brondalLogCall_.Message(__VA_ARGS__);      \
    } while (false)

#define LOG_CONFIG(...) LOG_MESSAGE(::brondal::LogConfig, 0, __VA_ARGS__)
#define LOG_INFO(...) LOG_MESSAGE(::brondal::LogInformation, 0, __VA_ARGS__)
#define LOG_WARNING(...) LOG_MESSAGE(::brondal::LogWarning, 0, __VA_ARGS__)
#define LOG_SEVERE(...) LOG_MESSAGE(::brondal::LogSevere, 0, __VA_ARGS__)
#define LOG_SPEW(detail, ...) LOG_MESSAGE(::brondal::LogSpew, (detail), __VA_ARGS__)

// Reports a result (an expression of the enclosing function's result) and yields it:
//   return LOG_REPORT(result);
#define LOG_REPORT(result)                                                               \
    ::brondal::LogCall(::brondal::LogSevere, 0, __FILE__, __LINE__, __PRETTY_FUNCTION__) \
        .Report(result)

// Reports a result with a fixed message and yields it:
//   return LOG_REPORT_ERROR(ResultFail, "Unable to create transport");
#define LOG_REPORT_ERROR(result, ...)                                                    \
    ::brondal::LogCall(::brondal::LogSevere, 0, __FILE__, __LINE__, __PRETTY_FUNCTION__) \
        .ReportError((result), __VA_ARGS__)
