#include "LogCall.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "Scheduler.h"

namespace brondal {

namespace {

constexpr std::size_t InlineText = 1024;

// Formats into buffer when it fits, otherwise into overflow; returns the text's length.
// Short texts (nearly all) are formatted without touching the heap.
std::size_t FormatInto(char (&buffer)[InlineText], std::size_t used, std::string& overflow,
                       const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buffer + used, InlineText - used, format, copy);
    va_end(copy);
    if (n < 0) return used;
    if (used + static_cast<std::size_t>(n) < InlineText) return used + n;
    overflow.assign(buffer, used);
    overflow.resize(used + n + 1);
    std::vsnprintf(overflow.data() + used, n + 1, format, args);
    overflow.resize(used + n);
    return used + n;
}

int ReportPrefix(char (&buffer)[InlineText], Result result) {
    return std::snprintf(buffer, InlineText, "RETURN Result: 0x%x - ",
                         static_cast<unsigned>(result));
}

}  // namespace

LogCall::LogCall(std::uint32_t level, std::uint32_t detail, const char* file, std::uint32_t line,
                 const char* function) noexcept
    : logger_(ProcessLogger()),
      file_(file),
      line_(line),
      detail_(detail),
      level_(level),
      function_(function) {
    (void)logger_->IsEnabled(level_, detail_, &enabled_);
}

void LogCall::Write(const char* text, std::size_t length) {
    Scheduler& scheduler = GetScheduler();
    (void)logger_->Log(level_, file_, function_, scheduler.GetLocalTimeMs(),
                       scheduler.GetCurrentThreadId(), line_, std::string_view(text, length));
}

void LogCall::Message(const char* format, ...) {
    if (!enabled_) return;
    char buffer[InlineText];
    std::string overflow;
    va_list args;
    va_start(args, format);
    const std::size_t length = FormatInto(buffer, 0, overflow, format, args);
    va_end(args);
    Write(overflow.empty() ? buffer : overflow.data(), length);
}

bool LogCall::ChooseReportLevel(Result result) {
    if (Failed(result)) {
        level_ = LogSevere;
    } else {
        level_ = LogSpew;
        detail_ = 3;
    }
    (void)logger_->IsEnabled(level_, detail_, &enabled_);
    return enabled_;
}

Result LogCall::Report(Result result) {
    if (!ChooseReportLevel(result)) return result;
    char buffer[InlineText];
    const int length = ReportPrefix(buffer, result);
    Write(buffer, static_cast<std::size_t>(length));
    return result;
}

Result LogCall::ReportError(Result result, const char* format, ...) {
    if (!ChooseReportLevel(result)) return result;
    char buffer[InlineText];
    const int prefix = ReportPrefix(buffer, result);
    std::string overflow;
    va_list args;
    va_start(args, format);
    const std::size_t length =
        FormatInto(buffer, static_cast<std::size_t>(prefix), overflow, format, args);
    va_end(args);
    Write(overflow.empty() ? buffer : overflow.data(), length);
    return result;
}

}  // namespace brondal
