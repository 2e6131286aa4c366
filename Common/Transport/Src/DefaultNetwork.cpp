#include "Network.h"
#include "NetworkTransportImpl.h"

namespace brondal {

namespace {

class DefaultNetwork final : public Network {
public:
    Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port,
                          ITransport** transport) override {
        return platform::CreateInstance(bindAddress, port, transport);
    }
    Result CreateInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                          ITransport** transport) override {
        return platform::CreateInstance(bindAddress, port, tls, transport);
    }
    Result CreateTextInstance(std::uint32_t bindAddress, std::uint16_t port,
                              ITransport** transport) override {
        return platform::CreateTextInstance(bindAddress, port, transport);
    }
    Result CreateRawInstance(std::uint32_t bindAddress, std::uint16_t port, const TlsSettings& tls,
                             ITransport** transport) override {
        return platform::CreateRawInstance(bindAddress, port, tls, transport);
    }
};

}  // namespace

Network& GetDefaultNetwork() {
    // Never destroyed: transports may be made and released during static destruction.
    static Network* network = new DefaultNetwork();
    return *network;
}

}  // namespace brondal
