#pragma once

#include <cstdint>

#include "ITransport.h"

namespace brondal {

// A transport whose connections survive the loss of their socket: an adapter over a
// binary-framed TCP transport listening on bindAddress:port (port 0: no listener). Writes
// *transport with one reference on success; a failure of the TCP transport is returned
// unchanged.
[[nodiscard]] Result CreateReliableTransport(std::uint32_t bindAddress, std::uint16_t port,
                                             ITransport** transport);

}  // namespace brondal
