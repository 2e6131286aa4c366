#include "SocketImpl.h"

#include <cstring>
#include <memory>
#include <new>

#include "CatchFrame.h"
#include "LogCall.h"
#include "NetworkInterfaces.h"
#include "RefPtr.h"
#include "SocketCodes.h"
#include "Winsock.h"

namespace brondal {

Result CreateSocket(ISocket** socket, SocketFamily family, SocketType type,
                    SocketProtocol protocol) {
    if (!socket) return ResultNullPointer;
    // The first socket of the process starts Winsock; without 2.2 nothing can work.
    if (!platform::EnsureWinsock())
        return LOG_REPORT_ERROR(ResultFail, "Unable to start Winsock 2.2");
    auto* created = new (std::nothrow) platform::SocketImpl(family, type, protocol);
    if (!created) return LOG_REPORT_ERROR(ResultFail, "Unable to allocate socket object");
    RefPtr<platform::SocketImpl> object = RefPtr<platform::SocketImpl>::Adopt(created);
    const Result result = object->Create();
    if (Failed(result)) return result;
    *socket = object.Detach();
    return ResultOk;
}

namespace platform {

namespace {

// Not a failure: WaitForRead's answer for "nothing to read within the time".
constexpr Result NotReadable = 1;

// Host names are copied into a buffer of this size with their terminator.
constexpr std::size_t HostNameBuffer = 255;

sockaddr_in ToSocketAddress(const IPEndPoint& endPoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endPoint.address);
    address.sin_port = htons(endPoint.port);
    return address;
}

IPEndPoint FromSocketAddress(const sockaddr_in& address) {
    return IPEndPoint(ntohl(address.sin_addr.s_addr), ntohs(address.sin_port));
}

// Data operations on non-blocking sockets and timed-out waits fail routinely; only real
// faults are worth a Severe line.
Result DataFailure(int error, const char* what) {
    if (error == WSAEWOULDBLOCK || error == WSAETIMEDOUT) return ResultFail;
    return LOG_REPORT_ERROR(ResultFail, "Unable to %s. Error: %d", what, error);
}

// Every option is a 4-byte value at the socket level; the time-outs are milliseconds here.
Result SetIntOption(SOCKET socket, int name, int value) {
    if (::setsockopt(socket, SOL_SOCKET, name, reinterpret_cast<const char*>(&value),
                     sizeof value) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to set socket option %d. Error: %d", name,
                                error);
    }
    return ResultOk;
}

Result GetIntOption(SOCKET socket, int name, std::int32_t* value) {
    if (!value) return ResultNullPointer;
    int read = 0;
    int size = sizeof read;
    if (::getsockopt(socket, SOL_SOCKET, name, reinterpret_cast<char*>(&read), &size) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to read socket option %d. Error: %d", name,
                                error);
    }
    *value = read;
    return ResultOk;
}

}  // namespace

SocketImpl::SocketImpl(SocketFamily family, SocketType type, SocketProtocol protocol, int socket)
    : family_(family), type_(type), protocol_(protocol), socket_(socket) {}

SocketImpl::~SocketImpl() { (void)Close(); }

Result SocketImpl::Create() {
    if (socket_.load() >= 0) return LOG_REPORT_ERROR(ResultFail, "Socket already created");
    // Not inherited: a child process must not keep the service's connections open.
    const SOCKET created =
        ::WSASocketW(FamilyValue(family_), TypeValue(type_), ProtocolValue(protocol_), nullptr, 0,
                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (created == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to create socket. Error: %d", error);
    }
    if (protocol_ == SocketProtocol::Udp) {
        const BOOL on = TRUE;
        ::setsockopt(created, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                     sizeof on);
    }
    socket_.store(FromSocket(created));
    return ResultOk;
}

Result SocketImpl::Destroy() { return Close(); }

Result SocketImpl::Accept(ISocket** socket) {
    if (!socket) return ResultNullPointer;
    // An accepted socket takes over the listener's blocking mode here by itself.
    const SOCKET accepted = ::accept(ToSocket(socket_.load()), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) return DataFailure(::WSAGetLastError(), "accept connection");
    WSAPROTOCOL_INFOW info{};
    int size = sizeof info;
    const bool known = ::getsockopt(accepted, SOL_SOCKET, SO_PROTOCOL_INFOW,
                                    reinterpret_cast<char*>(&info), &size) == 0;
    auto* wrapper = new (std::nothrow) SocketImpl(
        FamilyCode(known ? info.iAddressFamily : 0), TypeCode(known ? info.iSocketType : 0),
        ProtocolCode(known ? info.iProtocol : 0), FromSocket(accepted));
    if (!wrapper) {
        ::closesocket(accepted);
        return LOG_REPORT_ERROR(ResultFail, "Unable to allocate socket object");
    }
    *socket = wrapper;
    return ResultOk;
}

Result SocketImpl::Close() {
    const int socket = socket_.exchange(-1);
    if (socket < 0) return ResultOk;
    // Shut down first so that the peer sees the end at once.
    ::shutdown(ToSocket(socket), SD_BOTH);
    ::closesocket(ToSocket(socket));
    return ResultOk;
}

Result SocketImpl::Shutdown() {
    if (::shutdown(ToSocket(socket_.load()), SD_BOTH) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to shut down socket. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::Listen(std::int32_t backlog) {
    if (::listen(ToSocket(socket_.load()), backlog) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to listen on socket. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::Send(const void* data, std::uint32_t length) {
    if (!data && length) return ResultNullPointer;
    const int sent = ::send(ToSocket(socket_.load()), static_cast<const char*>(data),
                            static_cast<int>(length), 0);
    if (sent == SOCKET_ERROR) return DataFailure(::WSAGetLastError(), "send");
    return static_cast<std::uint32_t>(sent) == length ? ResultOk : ResultFail;
}

Result SocketImpl::SendTo(const void* data, std::uint32_t length, const IPEndPoint& endPoint) {
    if (!data && length) return ResultNullPointer;
    const sockaddr_in target = ToSocketAddress(endPoint);
    const int sent =
        ::sendto(ToSocket(socket_.load()), static_cast<const char*>(data), static_cast<int>(length),
                 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (sent == SOCKET_ERROR) return DataFailure(::WSAGetLastError(), "send datagram");
    return static_cast<std::uint32_t>(sent) == length ? ResultOk : ResultFail;
}

Result SocketImpl::FinishReceive(long received, void* buffer, std::uint32_t size,
                                 std::uint32_t* length) {
    if (received < 0) return DataFailure(::WSAGetLastError(), "receive");
    const auto count = static_cast<std::uint32_t>(received);
    if (count < size) static_cast<char*>(buffer)[count] = 0;
    *length = count;
    return ResultOk;
}

Result SocketImpl::Receive(void* buffer, std::uint32_t size, std::uint32_t* length) {
    if ((!buffer && size) || !length) return ResultNullPointer;
    const int received =
        ::recv(ToSocket(socket_.load()), static_cast<char*>(buffer), static_cast<int>(size), 0);
    return FinishReceive(received, buffer, size, length);
}

Result SocketImpl::ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t* length,
                               IPEndPoint* endPoint) {
    if ((!buffer && size) || !length || !endPoint) return ResultNullPointer;
    sockaddr_storage sender{};
    int senderSize = sizeof sender;
    const int received =
        ::recvfrom(ToSocket(socket_.load()), static_cast<char*>(buffer), static_cast<int>(size), 0,
                   reinterpret_cast<sockaddr*>(&sender), &senderSize);
    const Result result = FinishReceive(received, buffer, size, length);
    if (Failed(result)) return result;
    if (senderSize >= static_cast<int>(sizeof(sockaddr_in)) && sender.ss_family == AF_INET) {
        *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(sender));
    } else {
        *endPoint = IPEndPoint();
    }
    return ResultOk;
}

Result SocketImpl::Bind(const IPEndPoint& endPoint) {
    const sockaddr_in address = ToSocketAddress(endPoint);
    if (::bind(ToSocket(socket_.load()), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to bind socket to port %u. Error: %d",
                                static_cast<unsigned>(endPoint.port), error);
    }
    return ResultOk;
}

Result SocketImpl::BindAny() { return Bind(IPEndPoint(0, 0)); }

Result SocketImpl::Connect(const IPEndPoint& endPoint) {
    const sockaddr_in address = ToSocketAddress(endPoint);
    if (::connect(ToSocket(socket_.load()), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == 0) {
        return ResultOk;
    }
    const int error = ::WSAGetLastError();
    return LOG_REPORT_ERROR(ResultFail, "Unable to connect. Error: %d", error);
}

Result SocketImpl::EnableBroadcast() {
    const int socket = socket_.load();
    if (socket < 0) return ResultFail;
    return SetIntOption(ToSocket(socket), SO_BROADCAST, 1);
}

Result SocketImpl::WaitForRead(std::int32_t seconds, std::int32_t microseconds) {
    const int socket = socket_.load();
    if (socket < 0 || seconds < 0 || microseconds < 0) return NotReadable;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToSocket(socket), &readable);
    timeval limit{};
    limit.tv_sec = seconds + microseconds / 1000000;
    limit.tv_usec = microseconds % 1000000;
    // Winsock's fd_set is a list of handles, so select has no descriptor-number limit here.
    return ::select(0, &readable, nullptr, nullptr, &limit) > 0 ? ResultOk : NotReadable;
}

Result SocketImpl::GetLocalEndPoint(IPEndPoint* endPoint) {
    if (!endPoint) return ResultNullPointer;
    sockaddr_storage address{};
    int size = sizeof address;
    if (::getsockname(ToSocket(socket_.load()), reinterpret_cast<sockaddr*>(&address), &size) !=
        0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to get local end point. Error: %d", error);
    }
    if (address.ss_family != AF_INET) return ResultFail;
    *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(address));
    return ResultOk;
}

Result SocketImpl::GetRemoteEndPoint(IPEndPoint* endPoint) {
    if (!endPoint) return ResultNullPointer;
    sockaddr_storage address{};
    int size = sizeof address;
    if (::getpeername(ToSocket(socket_.load()), reinterpret_cast<sockaddr*>(&address), &size) !=
        0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to get remote end point. Error: %d", error);
    }
    if (address.ss_family != AF_INET) return ResultFail;
    *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(address));
    return ResultOk;
}

Result SocketImpl::SetBlocking(bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    if (::ioctlsocket(ToSocket(socket_.load()), FIONBIO, &nonBlocking) != 0) {
        const int error = ::WSAGetLastError();
        return LOG_REPORT_ERROR(ResultFail, "Unable to change blocking mode. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::SetReceiveTimeout(std::uint32_t milliseconds) {
    return SetIntOption(ToSocket(socket_.load()), SO_RCVTIMEO, static_cast<int>(milliseconds));
}

Result SocketImpl::SetSendTimeout(std::uint32_t milliseconds) {
    return SetIntOption(ToSocket(socket_.load()), SO_SNDTIMEO, static_cast<int>(milliseconds));
}

Result SocketImpl::SetSendLowWater(std::int32_t bytes) {
    return SetIntOption(ToSocket(socket_.load()), SO_SNDLOWAT, bytes);
}

Result SocketImpl::GetSendLowWater(std::int32_t* bytes) {
    return GetIntOption(ToSocket(socket_.load()), SO_SNDLOWAT, bytes);
}

Result SocketImpl::SetSendBufferSize(std::int32_t bytes) {
    return SetIntOption(ToSocket(socket_.load()), SO_SNDBUF, bytes);
}

Result SocketImpl::GetSendBufferSize(std::int32_t* bytes) {
    return GetIntOption(ToSocket(socket_.load()), SO_SNDBUF, bytes);
}

Result SocketImpl::ResolveHostName(const std::string& name, std::uint32_t* address) {
    if (!address) return ResultNullPointer;
    if (!EnsureWinsock()) return LOG_REPORT_ERROR(ResultFail, "Unable to start Winsock 2.2");
    char host[HostNameBuffer];
    if (name.empty()) {
        if (::gethostname(host, sizeof host) != 0) {
            const int error = ::WSAGetLastError();
            return LOG_REPORT_ERROR(ResultFail, "Unable to get local host name. Error: %d", error);
        }
        host[sizeof host - 1] = '\0';
    } else {
        if (name.size() >= HostNameBuffer || name.find('\0') != std::string::npos) {
            return LOG_REPORT_ERROR(ResultFail, "Host name is too long or malformed");
        }
        std::memcpy(host, name.data(), name.size());
        host[name.size()] = '\0';
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) == 0) {
        const bool usable = found && found->ai_addr && found->ai_family == AF_INET;
        if (usable) {
            *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        }
        ::freeaddrinfo(found);
        if (usable) return ResultOk;
    }
    // The classic resolver as a second path; Winsock's keeps its result per thread, so it
    // is safe to call from several threads at once.
    if (const hostent* entry = ::gethostbyname(host); entry && entry->h_addrtype == AF_INET &&
                                                      entry->h_length == sizeof(in_addr) &&
                                                      entry->h_addr_list[0]) {
        in_addr first{};
        std::memcpy(&first, entry->h_addr_list[0], sizeof first);
        *address = ntohl(first.s_addr);
        return ResultOk;
    }
    return LOG_REPORT_ERROR(ResultFail, "Unable to resolve host name %s", host);
}

Result SocketImpl::GetLocalIpv4Addresses(std::vector<std::uint32_t>* addresses) {
    if (!addresses) return ResultNullPointer;
    CATCH_FRAME_BEGIN
    addresses->clear();
    std::vector<InterfaceAddress> list;
    std::unordered_set<std::string> wireless;
    unsigned long error = 0;
    if (!ListInterfaceAddresses(&list, &wireless, &error)) return ResultOk;
    *addresses = SelectLocalIpv4Addresses(list);
    return ResultOk;
    CATCH_FRAME_END
}

Result SocketImpl::GetLocalIpv4WifiAddress(std::uint32_t* address) {
    if (!address) return ResultNullPointer;
    CATCH_FRAME_BEGIN
    std::vector<InterfaceAddress> list;
    std::unordered_set<std::string> wireless;
    unsigned long error = 0;
    if (!ListInterfaceAddresses(&list, &wireless, &error)) {
        return LOG_REPORT_ERROR(ResultFail, "Unable to list network adapters. Error: %lu", error);
    }
    const auto isWireless = [&](const std::string& name) { return wireless.count(name) != 0; };
    if (const auto found = SelectWirelessIpv4(list, isWireless)) *address = *found;
    return ResultOk;
    CATCH_FRAME_END
}

int SocketImpl::GetNativeSocket() { return socket_.load(); }

}  // namespace platform
}  // namespace brondal
