#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brondal::corvane::client {

// Displays send their IPv4 address as (a << 24) | (b << 16) | (c << 8) | d, the way the
// transport writes addresses. Only four decimal fields of 0 to 255 (one to three digits
// each) are accepted.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(std::uint32_t address);

}  // namespace brondal::corvane::client
