#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brondal::platform {

// One address of one network interface, as the system lists them (an interface with
// several addresses appears several times, one without any address once).
struct InterfaceAddress {
    std::string name;
    bool up = false;
    bool running = false;
    bool loopback = false;
    bool hasIpv4 = false;
    std::uint32_t ipv4 = 0;  // host byte order
};

// The choices below are kept apart from the system calls that gather their input, so
// they can be checked with made-up interface lists on any machine.

// IPv4 addresses of interfaces that are up, loopback excluded, in list order.
std::vector<std::uint32_t> SelectLocalIpv4Addresses(const std::vector<InterfaceAddress>& list);

// The first entry that is up, running, has an IPv4 address and whose interface isWireless
// accepts. isWireless is asked only about entries that qualify otherwise.
std::optional<std::uint32_t> SelectWirelessIpv4(
    const std::vector<InterfaceAddress>& list,
    const std::function<bool(const std::string& name)>& isWireless);

// Whether the text of the kernel's wireless statistics table (two heading lines, then one
// "name: ..." line per wireless interface) has a line for name.
bool WirelessTableLists(std::string_view table, std::string_view name);

}  // namespace brondal::platform
