#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "IPEndPoint.h"
#include "IRefCount.h"
#include "ResultCodes.h"

namespace brondal {

// The system's own codes for a socket's family, type and protocol. Codes without a real
// counterpart (and any value outside these enumerations) make creation fail.
enum class SocketFamily : std::int32_t { Ipv4 = 0, Unsupported = 1 };
enum class SocketType : std::int32_t { Datagram = 0, Stream = 1 };
enum class SocketProtocol : std::int32_t { Tcp = 0, Udp = 1, Unsupported = 2 };

// A small object wrapper over one operating-system socket. Every operation returns
// ResultOk or ResultFail unless noted; out parameters are written only on success, and a
// null out parameter gives ResultNullPointer. No operation raises SIGPIPE.
//
// One thread at a time uses a socket, except that Shutdown may be called from another
// thread to end a blocked call; Close that socket only once the woken thread has left it,
// since its descriptor number may be reused at once. The descriptor is closed exactly once
// however many callers race.
class ISocket : public virtual IRefCount {
public:
    // Opens the socket for the codes the object was created with. A UDP socket gets
    // SO_REUSEADDR so that several sockets may share a port. Fails on an open socket.
    [[nodiscard]] virtual Result Create() = 0;
    [[nodiscard]] virtual Result Destroy() = 0;
    // Waits for a connection and hands it out as a new object whose codes are read back
    // from the accepted socket. The new socket has the listener's blocking mode.
    [[nodiscard]] virtual Result Accept(ISocket** socket) = 0;
    // Always ResultOk; closing a closed socket does nothing.
    [[nodiscard]] virtual Result Close() = 0;
    // Both directions.
    [[nodiscard]] virtual Result Shutdown() = 0;
    [[nodiscard]] virtual Result Listen(std::int32_t backlog) = 0;
    // One send: ResultOk only when every byte went out; a short send is a failure.
    [[nodiscard]] virtual Result Send(const void* data, std::uint32_t length) = 0;
    [[nodiscard]] virtual Result SendTo(const void* data, std::uint32_t length,
                                        const IPEndPoint& endPoint) = 0;
    // One receive. When fewer bytes than size arrived, a zero byte is stored after them, so
    // text that fits leaves the buffer terminated; a full buffer gets no terminator. A
    // closed peer is a success with length 0.
    [[nodiscard]] virtual Result Receive(void* buffer, std::uint32_t size,
                                         std::uint32_t* length) = 0;
    // As Receive, with the sender's address and port (0 and 0 when the socket type gives
    // none).
    [[nodiscard]] virtual Result ReceiveFrom(void* buffer, std::uint32_t size,
                                             std::uint32_t* length, IPEndPoint* endPoint) = 0;
    [[nodiscard]] virtual Result Bind(const IPEndPoint& endPoint) = 0;
    // Any address, a port the system chooses.
    [[nodiscard]] virtual Result BindAny() = 0;
    // Blocks until connected or refused.
    [[nodiscard]] virtual Result Connect(const IPEndPoint& endPoint) = 0;
    [[nodiscard]] virtual Result EnableBroadcast() = 0;
    // ResultOk (0) when the socket becomes readable within the timeout (data, a pending
    // connection, the peer's close or an error); 1 when it did not or cannot be waited on.
    [[nodiscard]] virtual Result WaitForRead(std::int32_t seconds, std::int32_t microseconds) = 0;
    [[nodiscard]] virtual Result GetLocalEndPoint(IPEndPoint* endPoint) = 0;
    [[nodiscard]] virtual Result GetRemoteEndPoint(IPEndPoint* endPoint) = 0;
    [[nodiscard]] virtual Result SetBlocking(bool blocking) = 0;
    // Milliseconds a blocking receive or send may wait; 0 waits without limit.
    [[nodiscard]] virtual Result SetReceiveTimeout(std::uint32_t milliseconds) = 0;
    [[nodiscard]] virtual Result SetSendTimeout(std::uint32_t milliseconds) = 0;
    // The send low-water mark is fixed at 1 on this platform: the setter always fails
    // (with the system's "no such option"), the getter reads 1.
    [[nodiscard]] virtual Result SetSendLowWater(std::int32_t bytes) = 0;
    [[nodiscard]] virtual Result GetSendLowWater(std::int32_t* bytes) = 0;
    // The system reserves twice the requested size for its own bookkeeping and reports the
    // doubled figure (within its minimum and maximum), so Get does not echo Set.
    [[nodiscard]] virtual Result SetSendBufferSize(std::int32_t bytes) = 0;
    [[nodiscard]] virtual Result GetSendBufferSize(std::int32_t* bytes) = 0;

    // The three look-ups below do not use the object's socket.

    // The first IPv4 address of a host name or dotted-quad text, host byte order. An empty
    // name resolves this machine's name; names of 255 characters or more are refused.
    [[nodiscard]] virtual Result ResolveHostName(const std::string& name,
                                                 std::uint32_t* address) = 0;
    // This machine's IPv4 addresses (loopback excluded) in the system's interface order.
    // When the system cannot list them the result is still ResultOk, with the list empty.
    virtual Result GetLocalIpv4Addresses(std::vector<std::uint32_t>* addresses) = 0;
    // The IPv4 address of the first wireless interface that is up and running. ResultOk
    // with the address untouched when there is none.
    virtual Result GetLocalIpv4WifiAddress(std::uint32_t* address) = 0;

    // The descriptor, for code that works on it directly (polling, DSCP marking); -1 when
    // closed. It stays owned by this object.
    virtual int GetNativeSocket() = 0;
};

// A new socket object with one reference for the caller, its socket already created. When
// creation fails the object is released and *socket is not written.
[[nodiscard]] Result CreateSocket(ISocket** socket, SocketFamily family, SocketType type,
                                  SocketProtocol protocol);

}  // namespace brondal
