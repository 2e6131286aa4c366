#pragma once

#include <cstdint>

namespace brondal {

// Levels are bits; a logger's mask is a set of them.
enum LogLevel : std::uint32_t {
    LogAll = 0xffffffffu,
    LogConfig = 1,
    LogInformation = 2,
    LogWarning = 4,
    LogSevere = 8,
    LogSpew = 16,
};

}  // namespace brondal
