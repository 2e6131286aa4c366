#pragma once

#include <cstdint>

namespace brondal {

// An IPv4 address and port, both in host byte order. Polymorphic so that callers may hand
// out richer end points where an IPEndPoint is expected.
class IPEndPoint {
public:
    IPEndPoint() = default;
    IPEndPoint(std::uint32_t address, std::uint16_t port) : address(address), port(port) {}
    IPEndPoint(const IPEndPoint&) = default;
    IPEndPoint& operator=(const IPEndPoint&) = default;
    virtual ~IPEndPoint() = default;

    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

}  // namespace brondal
