#include "InterfaceSelection.h"

namespace brondal::platform {

std::vector<std::uint32_t> SelectLocalIpv4Addresses(const std::vector<InterfaceAddress>& list) {
    std::vector<std::uint32_t> addresses;
    for (const InterfaceAddress& entry : list) {
        if (entry.hasIpv4 && entry.up && !entry.loopback) addresses.push_back(entry.ipv4);
    }
    return addresses;
}

std::optional<std::uint32_t> SelectWirelessIpv4(
    const std::vector<InterfaceAddress>& list,
    const std::function<bool(const std::string& name)>& isWireless) {
    for (const InterfaceAddress& entry : list) {
        if (entry.hasIpv4 && entry.up && entry.running && isWireless(entry.name)) {
            return entry.ipv4;
        }
    }
    return std::nullopt;
}

bool WirelessTableLists(std::string_view table, std::string_view name) {
    if (name.empty()) return false;
    std::size_t lineNumber = 0;
    while (!table.empty()) {
        const std::size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
        // The headings may contain '|' and ':' but never an interface.
        if (++lineNumber <= 2) continue;
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) continue;
        line.remove_prefix(start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && line.substr(0, colon) == name) return true;
    }
    return false;
}

}  // namespace brondal::platform
