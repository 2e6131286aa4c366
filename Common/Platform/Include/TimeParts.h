#pragma once

#include <cstdint>

namespace brondal {

// A calendar time split into its parts (month and day start at 1).
struct TimeParts {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    friend bool operator==(const TimeParts&, const TimeParts&) = default;
};

// Splits milliseconds since 1970-01-01 00:00 into parts. A value that cannot be shown as a
// calendar date (negative, or past the year 30827) yields 1970-01-01 00:00:00.000.
TimeParts MsToTimeParts(std::int64_t ms);

// The inverse of MsToTimeParts for valid dates.
std::int64_t TimePartsToMs(const TimeParts& parts);

}  // namespace brondal
