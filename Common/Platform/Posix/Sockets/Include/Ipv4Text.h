#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brondal {

// The one reader of IPv4 address text, for addresses given on command lines, in settings and
// by peers. Only four decimal fields of 0 to 255 (one to three digits each, no sign, no
// space) are accepted: a looser reader would take " 1. 2.3.4" or "+1.2.3.4" for an address
// that the next reader refuses. The value is (a << 24) | (b << 16) | (c << 8) | d, the way
// the transport and the displays write addresses.
inline std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
    std::uint32_t address = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        std::uint32_t value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(text[digits] - '0');
            if (++digits > 3) return std::nullopt;
        }
        if (digits == 0 || value > 255) return std::nullopt;
        text.remove_prefix(digits);
        address = (address << 8) | value;
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

inline std::string FormatIpv4(std::uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xff) + '.' +
           std::to_string((address >> 8) & 0xff) + '.' + std::to_string(address & 0xff);
}

}  // namespace brondal
