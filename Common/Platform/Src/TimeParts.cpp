#include "TimeParts.h"

namespace brondal {

namespace {

constexpr std::int64_t MsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (era-based, exact for
// every date from year 0 on).
constexpr std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The first instant that no calendar date of the system can show (year 30828).
constexpr std::int64_t EndOfCalendarMs = DaysFromCivil(30828, 1, 1) * MsPerDay;

}  // namespace

TimeParts MsToTimeParts(std::int64_t ms) {
    TimeParts parts;
    if (ms < 0 || ms >= EndOfCalendarMs) return parts;

    const std::int64_t days = ms / MsPerDay;
    std::int64_t rest = ms % MsPerDay;
    parts.hour = static_cast<int>(rest / 3600000);
    rest %= 3600000;
    parts.minute = static_cast<int>(rest / 60000);
    rest %= 60000;
    parts.second = static_cast<int>(rest / 1000);
    parts.millisecond = static_cast<int>(rest % 1000);

    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    parts.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    parts.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    parts.year = static_cast<int>(yoe + era * 400 + (parts.month <= 2));
    return parts;
}

std::int64_t TimePartsToMs(const TimeParts& p) {
    return DaysFromCivil(p.year, p.month, p.day) * MsPerDay + p.hour * 3600000LL +
           p.minute * 60000LL + p.second * 1000LL + p.millisecond;
}

}  // namespace brondal
