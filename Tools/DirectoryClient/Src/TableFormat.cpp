#include "TableFormat.h"

#include <algorithm>
#include <array>
#include <map>

#include "AddressText.h"

namespace brondal::corvane::client {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, or 0.
std::size_t Utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // overlong
        if (lead == 0xed) high = 0x9f;  // surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;   // overlong
        if (lead == 0xf4) high = 0x8f;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    }
    return length;
}

std::string HexByte(unsigned char byte) {
    static constexpr char Digits[] = "0123456789abcdef";
    return {Digits[byte >> 4], Digits[byte & 0xf]};
}

// Terminal columns of text that TerminalText produced: one per character.
std::size_t Width(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

std::string EntryJson(const DisplayRecord& entry, bool withExtra) {
    std::string json = "{\"id\":\"" + entry.displayId.ToString() +
                       "\",\"name\":" + JsonString(entry.displayName) +
                       ",\"secondaryName\":" + JsonString(entry.secondaryName) + ",\"address\":\"" +
                       FormatIpv4(entry.address) + "\",\"port\":" + std::to_string(entry.port) +
                       ",\"tag\":" + std::to_string(entry.tag);
    if (withExtra) json += ",\"extra\":" + JsonString(entry.extra);
    return json + "}";
}

std::string EntriesJson(const std::vector<DisplayRecord>& entries, bool withExtra) {
    std::string json = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) json += ',';
        json += EntryJson(entries[i], withExtra);
    }
    return json + "]";
}

std::vector<std::string> Row(const DisplayRecord& entry, bool withExtra) {
    std::vector<std::string> row{entry.displayId.ToString(),        TerminalText(entry.displayName),
                                 TerminalText(entry.secondaryName), FormatIpv4(entry.address),
                                 std::to_string(entry.port),        std::to_string(entry.tag)};
    if (withExtra) row.push_back(TerminalText(entry.extra));
    return row;
}

std::string JoinRow(const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) line += ' ';
        line += row[i];
    }
    return line;
}

}  // namespace

std::string TerminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text.front());
        const std::size_t length = Utf8SequenceLength(text);
        if (length == 0 || lead < 0x20 || lead == 0x7f) {
            out += "\\x" + HexByte(lead);
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text.front());
        std::size_t length = 1;
        switch (lead) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (lead < 0x20) {
                    out += "\\u00" + HexByte(lead);
                } else if ((length = Utf8SequenceLength(text)) == 0) {
                    out += "\\ufffd";
                    length = 1;
                } else {
                    out.append(text.substr(0, length));
                }
        }
        text.remove_prefix(length);
    }
    return out + "\"";
}

std::string FormatTable(const std::vector<DisplayRecord>& displays, bool withExtra) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(displays.size() + 1);
    rows.push_back({"IDENTIFIER", "NAME", "SECONDARY NAME", "ADDRESS", "PORT", "TAG"});
    if (withExtra) rows.front().push_back("EXTRA");
    for (const DisplayRecord& entry : displays)
        rows.push_back(Row(entry, withExtra));

    const std::size_t columns = rows.front().size();
    std::vector<std::size_t> widths(columns, 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < columns; ++c)
            widths[c] = std::max(widths[c], Width(row[c]));
    }
    // Port and tag are numbers: right-aligned.
    const auto rightAligned = [](std::size_t column) { return column == 4 || column == 5; };
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < columns; ++c) {
            const std::string padding(widths[c] - Width(row[c]), ' ');
            if (c > 0) line += "  ";
            line += rightAligned(c) ? padding + row[c] : row[c] + padding;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + '\n';
    }
    return text;
}

std::string FormatJson(const std::vector<DisplayRecord>& displays, std::uint64_t version,
                       bool withExtra) {
    return "{\"version\":" + std::to_string(version) +
           ",\"displays\":" + EntriesJson(displays, withExtra) + "}\n";
}

TableChanges CompareTables(const std::vector<DisplayRecord>& before,
                           const std::vector<DisplayRecord>& after) {
    std::map<std::string, const DisplayRecord*> old;
    for (const DisplayRecord& entry : before)
        old[entry.displayId.ToString()] = &entry;
    std::map<std::string, const DisplayRecord*> now;
    for (const DisplayRecord& entry : after)
        now[entry.displayId.ToString()] = &entry;

    TableChanges changes;
    for (const auto& [key, entry] : now) {
        const auto found = old.find(key);
        if (found == old.end()) {
            changes.added.push_back(*entry);
        } else if (!(*found->second == *entry)) {
            changes.changed.push_back(*entry);
        }
    }
    for (const auto& [key, entry] : old) {
        if (!now.contains(key)) changes.removed.push_back(*entry);
    }
    return changes;
}

std::string FormatChangesText(const TableChanges& changes, bool withExtra) {
    std::string text;
    const auto add = [&](const char* mark, const std::vector<DisplayRecord>& entries) {
        for (const DisplayRecord& entry : entries)
            text += mark + JoinRow(Row(entry, withExtra)) + '\n';
    };
    add("+ ", changes.added);
    add("~ ", changes.changed);
    add("- ", changes.removed);
    return text;
}

std::string FormatChangesJson(const TableChanges& changes, std::uint64_t version, bool withExtra) {
    return "{\"version\":" + std::to_string(version) +
           ",\"added\":" + EntriesJson(changes.added, withExtra) +
           ",\"changed\":" + EntriesJson(changes.changed, withExtra) +
           ",\"removed\":" + EntriesJson(changes.removed, withExtra) + "}\n";
}

}  // namespace brondal::corvane::client
