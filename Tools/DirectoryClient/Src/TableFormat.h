#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DisplayRecord.h"

namespace brondal::corvane::client {

// Display texts are bytes of the displays' choosing. For a terminal, valid UTF-8 passes
// and control characters or stray bytes become \xNN, so no display can move the cursor or
// break the alignment.
std::string TerminalText(std::string_view text);

// A JSON string literal, quotes included. Stray bytes that are not UTF-8 become U+FFFD, so
// the output always parses.
std::string JsonString(std::string_view text);

// The aligned table: identifier, name, secondary name, address (A.B.C.D), port, tag and,
// with withExtra, extra. One header line, one line per display.
std::string FormatTable(const std::vector<DisplayRecord>& displays, bool withExtra);

// One line: {"version":..., "displays":[{...}, ...]}.
std::string FormatJson(const std::vector<DisplayRecord>& displays, std::uint64_t version,
                       bool withExtra);

struct TableChanges {
    std::vector<DisplayRecord> added;
    // The new values of displays whose content changed.
    std::vector<DisplayRecord> changed;
    std::vector<DisplayRecord> removed;

    bool Empty() const { return added.empty() && changed.empty() && removed.empty(); }
};

// What turned before into after, each list in identifier-text order.
TableChanges CompareTables(const std::vector<DisplayRecord>& before,
                           const std::vector<DisplayRecord>& after);

// "+ ", "~ " or "- " and the display's fields, one line per change.
std::string FormatChangesText(const TableChanges& changes, bool withExtra);
// One line: {"version":..., "added":[...], "changed":[...], "removed":[...]}.
std::string FormatChangesJson(const TableChanges& changes, std::uint64_t version, bool withExtra);

}  // namespace brondal::corvane::client
