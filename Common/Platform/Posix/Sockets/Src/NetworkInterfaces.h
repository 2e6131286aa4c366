#pragma once

#include <string>
#include <vector>

#include "InterfaceSelection.h"

namespace brondal::platform {

// Every address of every interface, in the system's order. False when the system cannot
// list them.
bool ListInterfaceAddresses(std::vector<InterfaceAddress>* list);

// A wireless interface has a "wireless" or "phy80211" entry in its sysfs folder, or a line
// in /proc/net/wireless; which of them exist depends on the driver and kernel build.
bool IsWirelessInterface(const std::string& name);

}  // namespace brondal::platform
