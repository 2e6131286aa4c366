#pragma once

#include <cstdint>

#include "ITransport.h"

namespace brondal {

// Makes the TCP transports. The process-wide one (GetDefaultNetwork) forwards to the
// transport factories; a test may put another behind the reliable adapter.
class Network {
public:
    virtual ~Network() = default;
    // Binary frames with handshake.
    [[nodiscard]] virtual Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port,
                                                ITransport** transport) = 0;
    // Binary frames with handshake, TLS per the settings.
    [[nodiscard]] virtual Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port,
                                                const TlsSettings& tls, ITransport** transport) = 0;
    [[nodiscard]] virtual Result CreateTextInstance(std::uint32_t bindAddress, std::uint16_t port,
                                                    ITransport** transport) = 0;
    [[nodiscard]] virtual Result CreateRawInstance(std::uint32_t bindAddress, std::uint16_t port,
                                                   const TlsSettings& tls,
                                                   ITransport** transport) = 0;
};

// Created on first use and never freed.
Network& GetDefaultNetwork();

}  // namespace brondal
