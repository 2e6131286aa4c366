#pragma once

#include "Ipv4Text.h"

namespace brondal::corvane::client {

// Displays send their IPv4 address the way the transport writes addresses, so the client
// reads and writes address text with the transport's own functions.
using brondal::FormatIpv4;
using brondal::ParseIpv4;

}  // namespace brondal::corvane::client
