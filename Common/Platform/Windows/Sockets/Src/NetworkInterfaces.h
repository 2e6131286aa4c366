#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "InterfaceSelection.h"

namespace brondal::platform {

// Every IPv4 address of every adapter, in the system's order (IP Helper's adapter list),
// with the names of the wireless (IEEE 802.11) adapters among them. False, with the
// system's error in *error, when the system cannot list them.
bool ListInterfaceAddresses(std::vector<InterfaceAddress>* list,
                            std::unordered_set<std::string>* wireless, unsigned long* error);

}  // namespace brondal::platform
