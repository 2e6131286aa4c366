#pragma once

#include <cstdint>
#include <string>

#include "Uuid.h"

namespace brondal::corvane {

// One registered display, as its last UpdateDisplay described it: what the registry stores
// and what a batch carries, member for member in the batch's order. The two times are the
// registry's own; they never travel, and a decoded record has them 0.
struct DisplayRecord {
    UUID displayId;
    std::string secondaryName;
    std::string displayName;
    // IPv4 address in whatever byte order the display sends; stored and returned unchanged.
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint32_t tag = 1;
    std::string extra;
    // Scheduler-clock (UTC) ms of the last update, as logs and clients see it.
    std::uint64_t lastUpdateTime = 0;
    // Monotonic-clock ms of the last update: what the display's age is measured on, so
    // that setting the wall clock neither purges live displays nor keeps dead ones.
    std::uint64_t lastUpdateTick = 0;

    // Equal when the display's content is: the two times are left out, so that a refresh
    // with unchanged data extends the display's life without changing the directory version.
    friend bool operator==(const DisplayRecord& a, const DisplayRecord& b) {
        return a.displayId == b.displayId && a.secondaryName == b.secondaryName &&
               a.displayName == b.displayName && a.address == b.address && a.port == b.port &&
               a.tag == b.tag && a.extra == b.extra;
    }
};

}  // namespace brondal::corvane
