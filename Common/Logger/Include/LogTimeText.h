#pragma once

#include <cstddef>
#include <string>

#include "TimeParts.h"

namespace brondal {

// The time as log lines show it: "07/11/2017 09:05:03.042" (month/day/year, then the time
// of day to the millisecond), shared by log files and crash logs.
constexpr std::size_t LogTimeCapacity = 32;

// Writes the text and a terminator into text; returns the text's length. Never allocates,
// for paths that must not fail.
std::size_t FormatLogTime(const TimeParts& parts, char (&text)[LogTimeCapacity]) noexcept;
std::string FormatLogTime(const TimeParts& parts);

// The text of the local time now, from the process scheduler's clock.
std::string LogTimeNow();

}  // namespace brondal
