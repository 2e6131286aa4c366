#pragma once

#include <cstdint>
#include <string_view>

#include "IRefCount.h"
#include "LogLevel.h"
#include "ResultCodes.h"

namespace brondal {

// The name a level has in log lines, always 15 characters ("* Severe      *"); empty for a
// value that is not one of the levels.
std::string_view LogLevelName(std::uint32_t level);

// Where log records go (the file store is the one the service uses).
class ILogStore : public virtual IRefCount {
public:
    // time: local clock in ms since 1970.
    [[nodiscard]] virtual Result Write(std::uint32_t level, std::string_view file,
                                       std::string_view function, std::int64_t time,
                                       std::uint32_t threadId, std::uint32_t line,
                                       std::string_view message) = 0;
};

// The process-wide logger: filters by level and detail, suppresses call sites that repeat
// too often, and hands surviving records to its stores.
class ILogger : public virtual IRefCount {
public:
    [[nodiscard]] virtual Result AddStore(ILogStore* store) = 0;
    [[nodiscard]] virtual Result RemoveStore(ILogStore* store) = 0;
    // Enabled when every bit of level is in the mask and detail is within the limit.
    [[nodiscard]] virtual Result IsEnabled(std::uint32_t level, std::uint32_t detail,
                                           bool* enabled) = 0;
    [[nodiscard]] virtual Result SetLevelMask(std::uint32_t mask) = 0;
    [[nodiscard]] virtual Result GetLevelMask(std::uint32_t* mask) = 0;
    [[nodiscard]] virtual Result SetDetailLimit(std::uint32_t limit) = 0;
    [[nodiscard]] virtual Result GetDetailLimit(std::uint32_t* limit) = 0;
    [[nodiscard]] virtual Result Log(std::uint32_t level, std::string_view file,
                                     std::string_view function, std::int64_t time,
                                     std::uint32_t threadId, std::uint32_t line,
                                     std::string_view message) = 0;
};

// A counted reference to the process-wide logger, created on the first call.
[[nodiscard]] Result GetLogger(ILogger** logger);

}  // namespace brondal
