#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "IRefCountImpl.h"
#include "ISocket.h"

namespace brondal::platform {

// The ISocket of this platform, over one system socket: a POSIX descriptor, or a Winsock
// socket on Windows (Windows/Sockets/Src implements it there).
class SocketImpl final : public ISocket, public virtual IRefCountImpl {
public:
    // socket: an open descriptor the object takes over, or -1.
    SocketImpl(SocketFamily family, SocketType type, SocketProtocol protocol, int socket = -1);

    [[nodiscard]] Result Create() override;
    [[nodiscard]] Result Destroy() override;
    [[nodiscard]] Result Accept(ISocket** socket) override;
    [[nodiscard]] Result Close() override;
    [[nodiscard]] Result Shutdown() override;
    [[nodiscard]] Result Listen(std::int32_t backlog) override;
    [[nodiscard]] Result Send(const void* data, std::uint32_t length) override;
    [[nodiscard]] Result SendTo(const void* data, std::uint32_t length,
                                const IPEndPoint& endPoint) override;
    [[nodiscard]] Result Receive(void* buffer, std::uint32_t size, std::uint32_t* length) override;
    [[nodiscard]] Result ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t* length,
                                     IPEndPoint* endPoint) override;
    [[nodiscard]] Result Bind(const IPEndPoint& endPoint) override;
    [[nodiscard]] Result BindAny() override;
    [[nodiscard]] Result Connect(const IPEndPoint& endPoint) override;
    [[nodiscard]] Result EnableBroadcast() override;
    [[nodiscard]] Result WaitForRead(std::int32_t seconds, std::int32_t microseconds) override;
    [[nodiscard]] Result GetLocalEndPoint(IPEndPoint* endPoint) override;
    [[nodiscard]] Result GetRemoteEndPoint(IPEndPoint* endPoint) override;
    [[nodiscard]] Result SetBlocking(bool blocking) override;
    [[nodiscard]] Result SetReceiveTimeout(std::uint32_t milliseconds) override;
    [[nodiscard]] Result SetSendTimeout(std::uint32_t milliseconds) override;
    [[nodiscard]] Result SetSendLowWater(std::int32_t bytes) override;
    [[nodiscard]] Result GetSendLowWater(std::int32_t* bytes) override;
    [[nodiscard]] Result SetSendBufferSize(std::int32_t bytes) override;
    [[nodiscard]] Result GetSendBufferSize(std::int32_t* bytes) override;
    [[nodiscard]] Result ResolveHostName(const std::string& name, std::uint32_t* address) override;
    Result GetLocalIpv4Addresses(std::vector<std::uint32_t>* addresses) override;
    Result GetLocalIpv4WifiAddress(std::uint32_t* address) override;
    int GetNativeSocket() override;

    SocketFamily Family() const { return family_; }
    SocketType Type() const { return type_; }
    SocketProtocol Protocol() const { return protocol_; }

private:
    ~SocketImpl() override;

    [[nodiscard]] Result FinishReceive(long received, void* buffer, std::uint32_t size,
                                       std::uint32_t* length);

    const SocketFamily family_;
    const SocketType type_;
    const SocketProtocol protocol_;
    // Atomic so that a Close from another thread and the descriptor's users agree on who
    // closes it: whoever swaps in -1.
    std::atomic<int> socket_;
};

}  // namespace brondal::platform
