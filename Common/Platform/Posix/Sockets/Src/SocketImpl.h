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

    Result Create() override;
    Result Destroy() override;
    Result Accept(ISocket** socket) override;
    Result Close() override;
    Result Shutdown() override;
    Result Listen(std::int32_t backlog) override;
    Result Send(const void* data, std::uint32_t length) override;
    Result SendTo(const void* data, std::uint32_t length, const IPEndPoint& endPoint) override;
    Result Receive(void* buffer, std::uint32_t size, std::uint32_t* length) override;
    Result ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t* length,
                       IPEndPoint* endPoint) override;
    Result Bind(const IPEndPoint& endPoint) override;
    Result BindAny() override;
    Result Connect(const IPEndPoint& endPoint) override;
    Result EnableBroadcast() override;
    Result WaitForRead(std::int32_t seconds, std::int32_t microseconds) override;
    Result GetLocalEndPoint(IPEndPoint* endPoint) override;
    Result GetRemoteEndPoint(IPEndPoint* endPoint) override;
    Result SetBlocking(bool blocking) override;
    Result SetReceiveTimeout(std::uint32_t milliseconds) override;
    Result SetSendTimeout(std::uint32_t milliseconds) override;
    Result SetSendLowWater(std::int32_t bytes) override;
    Result GetSendLowWater(std::int32_t* bytes) override;
    Result SetSendBufferSize(std::int32_t bytes) override;
    Result GetSendBufferSize(std::int32_t* bytes) override;
    Result ResolveHostName(const std::string& name, std::uint32_t* address) override;
    Result GetLocalIpv4Addresses(std::vector<std::uint32_t>* addresses) override;
    Result GetLocalIpv4WifiAddress(std::uint32_t* address) override;
    int GetNativeSocket() override;

    SocketFamily Family() const { return family_; }
    SocketType Type() const { return type_; }
    SocketProtocol Protocol() const { return protocol_; }

private:
    ~SocketImpl() override;

    Result FinishReceive(long received, void* buffer, std::uint32_t size, std::uint32_t* length);

    const SocketFamily family_;
    const SocketType type_;
    const SocketProtocol protocol_;
    // Atomic so that a Close from another thread and the descriptor's users agree on who
    // closes it: whoever swaps in -1.
    std::atomic<int> socket_;
};

}  // namespace brondal::platform
