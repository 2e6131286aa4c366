#include "NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <utility>

namespace brondal::platform {

bool ListInterfaceAddresses(std::vector<InterfaceAddress>* list) {
    ifaddrs* first = nullptr;
    if (getifaddrs(&first) != 0) return false;
    list->clear();
    for (const ifaddrs* entry = first; entry; entry = entry->ifa_next) {
        InterfaceAddress address;
        address.name = entry->ifa_name ? entry->ifa_name : "";
        address.up = (entry->ifa_flags & IFF_UP) != 0;
        address.running = (entry->ifa_flags & IFF_RUNNING) != 0;
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            address.hasIpv4 = true;
            address.ipv4 =
                ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        }
        list->push_back(std::move(address));
    }
    freeifaddrs(first);
    return true;
}

bool IsWirelessInterface(const std::string& name) {
    // The name becomes part of a path: refuse anything that could leave the folder.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return false;
    }
    const std::string folder = "/sys/class/net/" + name;
    if (access((folder + "/wireless").c_str(), F_OK) == 0 ||
        access((folder + "/phy80211").c_str(), F_OK) == 0) {
        return true;
    }
    std::ifstream table("/proc/net/wireless");
    if (!table) return false;
    const std::string text((std::istreambuf_iterator<char>(table)),
                           std::istreambuf_iterator<char>());
    return WirelessTableLists(text, name);
}

}  // namespace brondal::platform
