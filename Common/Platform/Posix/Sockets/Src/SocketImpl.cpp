#include "SocketImpl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "CatchFrame.h"
#include "LogCall.h"
#include "NetworkInterfaces.h"
#include "RefPtr.h"
#include "SocketCodes.h"

namespace brondal {

Result CreateSocket(ISocket** socket, SocketFamily family, SocketType type,
                    SocketProtocol protocol) {
    if (!socket) return ResultNullPointer;
    // The socket library needs no start-up on this platform, unlike on systems where the
    // first socket of the process must initialise it.
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

// Calls that a signal handler interrupted before anything happened are simply repeated.
template <class Call>
auto RetryInterrupted(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Data operations on non-blocking sockets and timed-out waits fail routinely; only real
// faults are worth a Severe line.
Result DataFailure(int error, const char* what) {
    if (WouldBlock(error)) return ResultFail;
    return LOG_REPORT_ERROR(ResultFail, "Unable to %s. Error: %d", what, error);
}

Result SetIntOption(int socket, int name, int value) {
    if (setsockopt(socket, SOL_SOCKET, name, &value, sizeof value) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to set socket option %d. Error: %d", name,
                                error);
    }
    return ResultOk;
}

Result GetIntOption(int socket, int name, std::int32_t* value) {
    if (!value) return ResultNullPointer;
    int read = 0;
    socklen_t size = sizeof read;
    if (getsockopt(socket, SOL_SOCKET, name, &read, &size) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to read socket option %d. Error: %d", name,
                                error);
    }
    *value = read;
    return ResultOk;
}

// The time-outs are given in milliseconds, as a 4-byte count elsewhere; this system wants
// a timeval. 0 means "no limit" in both.
Result SetTimeoutOption(int socket, int name, std::uint32_t milliseconds) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (setsockopt(socket, SOL_SOCKET, name, &limit, sizeof limit) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to set socket time-out %d. Error: %d", name,
                                error);
    }
    return ResultOk;
}

int ReadBackOption(int socket, int name) {
    int value = 0;
    socklen_t size = sizeof value;
    return getsockopt(socket, SOL_SOCKET, name, &value, &size) == 0 ? value : 0;
}

// A blocking connect that a signal interrupts goes on in the background; repeating the
// call would fail with "already in progress". Wait for it to finish and take its outcome.
int FinishInterruptedConnect(int socket) {
    pollfd entry{socket, POLLOUT, 0};
    if (RetryInterrupted([&] { return poll(&entry, 1, -1); }) < 0) return errno;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

// gethostbyname_r: the re-entrant form of the classic resolver, with its own buffer.
bool ResolveClassic(const char* name, std::uint32_t* address) {
    std::size_t size = 1024;
    constexpr std::size_t MaxSize = 64 * 1024;
    while (size <= MaxSize) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
        if (!buffer) return false;
        hostent entry{};
        hostent* found = nullptr;
        int hostError = 0;
        const int rc = gethostbyname_r(name, &entry, buffer.get(), size, &found, &hostError);
        if (rc == ERANGE) {
            size *= 2;
            continue;
        }
        if (rc != 0 || !found || found->h_addrtype != AF_INET ||
            found->h_length != sizeof(in_addr) || !found->h_addr_list[0]) {
            return false;
        }
        in_addr first{};
        std::memcpy(&first, found->h_addr_list[0], sizeof first);
        *address = ntohl(first.s_addr);
        return true;
    }
    return false;
}

}  // namespace

SocketImpl::SocketImpl(SocketFamily family, SocketType type, SocketProtocol protocol, int socket)
    : family_(family), type_(type), protocol_(protocol), socket_(socket) {}

SocketImpl::~SocketImpl() { (void)Close(); }

Result SocketImpl::Create() {
    if (socket_.load() >= 0) return LOG_REPORT_ERROR(ResultFail, "Socket already created");
    // Close-on-exec: a child process must not keep the service's connections open.
    const int created =
        ::socket(FamilyValue(family_), TypeValue(type_) | SOCK_CLOEXEC, ProtocolValue(protocol_));
    if (created < 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to create socket. Error: %d", error);
    }
    if (protocol_ == SocketProtocol::Udp) {
        const int on = 1;
        setsockopt(created, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    socket_.store(created);
    return ResultOk;
}

Result SocketImpl::Destroy() { return Close(); }

Result SocketImpl::Accept(ISocket** socket) {
    if (!socket) return ResultNullPointer;
    const int listener = socket_.load();
    // Accepted sockets here do not inherit the listener's non-blocking mode; carrying it
    // over keeps a non-blocking listener from handing out sockets that block.
    const int listenerFlags = fcntl(listener, F_GETFL);
    const int flags =
        SOCK_CLOEXEC | (listenerFlags != -1 && (listenerFlags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    const int accepted =
        RetryInterrupted([&] { return accept4(listener, nullptr, nullptr, flags); });
    if (accepted < 0) return DataFailure(errno, "accept connection");
    auto* wrapper = new (std::nothrow)
        SocketImpl(FamilyCode(ReadBackOption(accepted, SO_DOMAIN)),
                   TypeCode(ReadBackOption(accepted, SO_TYPE)),
                   ProtocolCode(ReadBackOption(accepted, SO_PROTOCOL)), accepted);
    if (!wrapper) {
        ::close(accepted);
        return LOG_REPORT_ERROR(ResultFail, "Unable to allocate socket object");
    }
    *socket = wrapper;
    return ResultOk;
}

Result SocketImpl::Close() {
    const int socket = socket_.exchange(-1);
    if (socket < 0) return ResultOk;
    // Shut down first so that the peer sees the end at once. A thread still blocked in a
    // call on this socket must be woken with Shutdown and have left before Close: the
    // descriptor number may be handed out again as soon as it is closed.
    ::shutdown(socket, SHUT_RDWR);
    // The descriptor is released even when close reports EINTR, so it is never repeated.
    ::close(socket);
    return ResultOk;
}

Result SocketImpl::Shutdown() {
    if (::shutdown(socket_.load(), SHUT_RDWR) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to shut down socket. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::Listen(std::int32_t backlog) {
    if (::listen(socket_.load(), backlog) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to listen on socket. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::Send(const void* data, std::uint32_t length) {
    if (!data && length) return ResultNullPointer;
    const int socket = socket_.load();
    const ssize_t sent =
        RetryInterrupted([&] { return ::send(socket, data, length, MSG_NOSIGNAL); });
    if (sent < 0) return DataFailure(errno, "send");
    if (static_cast<std::uint32_t>(sent) != length) return ResultFail;
    return ResultOk;
}

Result SocketImpl::SendTo(const void* data, std::uint32_t length, const IPEndPoint& endPoint) {
    if (!data && length) return ResultNullPointer;
    const int socket = socket_.load();
    const sockaddr_in target = ToSocketAddress(endPoint);
    const ssize_t sent = RetryInterrupted([&] {
        return ::sendto(socket, data, length, MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target);
    });
    if (sent < 0) return DataFailure(errno, "send datagram");
    if (static_cast<std::uint32_t>(sent) != length) return ResultFail;
    return ResultOk;
}

Result SocketImpl::FinishReceive(long received, void* buffer, std::uint32_t size,
                                 std::uint32_t* length) {
    if (received < 0) return DataFailure(errno, "receive");
    const auto count = static_cast<std::uint32_t>(received);
    if (count < size) static_cast<char*>(buffer)[count] = 0;
    *length = count;
    return ResultOk;
}

Result SocketImpl::Receive(void* buffer, std::uint32_t size, std::uint32_t* length) {
    if ((!buffer && size) || !length) return ResultNullPointer;
    const int socket = socket_.load();
    const ssize_t received = RetryInterrupted([&] { return ::recv(socket, buffer, size, 0); });
    return FinishReceive(received, buffer, size, length);
}

Result SocketImpl::ReceiveFrom(void* buffer, std::uint32_t size, std::uint32_t* length,
                               IPEndPoint* endPoint) {
    if ((!buffer && size) || !length || !endPoint) return ResultNullPointer;
    const int socket = socket_.load();
    sockaddr_storage sender{};
    socklen_t senderSize = 0;
    const ssize_t received = RetryInterrupted([&] {
        senderSize = sizeof sender;
        return ::recvfrom(socket, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender),
                          &senderSize);
    });
    const Result result = FinishReceive(received, buffer, size, length);
    if (Failed(result)) return result;
    if (senderSize >= sizeof(sockaddr_in) && sender.ss_family == AF_INET) {
        *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(sender));
    } else {
        *endPoint = IPEndPoint();
    }
    return ResultOk;
}

Result SocketImpl::Bind(const IPEndPoint& endPoint) {
    const sockaddr_in address = ToSocketAddress(endPoint);
    if (::bind(socket_.load(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to bind socket to port %u. Error: %d",
                                static_cast<unsigned>(endPoint.port), error);
    }
    return ResultOk;
}

Result SocketImpl::BindAny() { return Bind(IPEndPoint(0, 0)); }

Result SocketImpl::Connect(const IPEndPoint& endPoint) {
    const int socket = socket_.load();
    const sockaddr_in address = ToSocketAddress(endPoint);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return ResultOk;
    }
    int error = errno;
    if (error == EINTR) error = FinishInterruptedConnect(socket);
    if (error == 0) return ResultOk;
    return LOG_REPORT_ERROR(ResultFail, "Unable to connect. Error: %d", error);
}

Result SocketImpl::EnableBroadcast() {
    const int socket = socket_.load();
    if (socket < 0) return ResultFail;
    return SetIntOption(socket, SO_BROADCAST, 1);
}

Result SocketImpl::WaitForRead(std::int32_t seconds, std::int32_t microseconds) {
    using namespace std::chrono;
    pollfd entry{socket_.load(), POLLIN, 0};
    if (entry.fd < 0 || seconds < 0 || microseconds < 0) return NotReadable;
    // poll rather than select: select cannot watch descriptors numbered 1024 or above.
    // ppoll keeps the microseconds; a signal restarts the wait for the time that is left.
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds) +
                          std::chrono::microseconds(microseconds);
    for (;;) {
        const auto left = std::max(deadline - steady_clock::now(), steady_clock::duration(0));
        const auto wholeSeconds = duration_cast<std::chrono::seconds>(left);
        timespec limit{};
        limit.tv_sec = static_cast<time_t>(wholeSeconds.count());
        limit.tv_nsec = static_cast<long>(duration_cast<nanoseconds>(left - wholeSeconds).count());
        const int ready = ::ppoll(&entry, 1, &limit, nullptr);
        if (ready > 0) {
            // A closed peer or a pending error counts as readable: the next receive reports
            // it, as select would have.
            return (entry.revents & (POLLIN | POLLHUP | POLLERR)) ? ResultOk : NotReadable;
        }
        if (ready == 0 || errno != EINTR) return NotReadable;
    }
}

Result SocketImpl::GetLocalEndPoint(IPEndPoint* endPoint) {
    if (!endPoint) return ResultNullPointer;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(socket_.load(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to get local end point. Error: %d", error);
    }
    if (address.ss_family != AF_INET) return ResultFail;
    *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(address));
    return ResultOk;
}

Result SocketImpl::GetRemoteEndPoint(IPEndPoint* endPoint) {
    if (!endPoint) return ResultNullPointer;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getpeername(socket_.load(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to get remote end point. Error: %d", error);
    }
    if (address.ss_family != AF_INET) return ResultFail;
    *endPoint = FromSocketAddress(reinterpret_cast<const sockaddr_in&>(address));
    return ResultOk;
}

Result SocketImpl::SetBlocking(bool blocking) {
    const int socket = socket_.load();
    const int flags = fcntl(socket, F_GETFL);
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (flags == -1 || fcntl(socket, F_SETFL, wanted) != 0) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to change blocking mode. Error: %d", error);
    }
    return ResultOk;
}

Result SocketImpl::SetReceiveTimeout(std::uint32_t milliseconds) {
    return SetTimeoutOption(socket_.load(), SO_RCVTIMEO, milliseconds);
}

Result SocketImpl::SetSendTimeout(std::uint32_t milliseconds) {
    return SetTimeoutOption(socket_.load(), SO_SNDTIMEO, milliseconds);
}

Result SocketImpl::SetSendLowWater(std::int32_t bytes) {
    return SetIntOption(socket_.load(), SO_SNDLOWAT, bytes);
}

Result SocketImpl::GetSendLowWater(std::int32_t* bytes) {
    return GetIntOption(socket_.load(), SO_SNDLOWAT, bytes);
}

Result SocketImpl::SetSendBufferSize(std::int32_t bytes) {
    return SetIntOption(socket_.load(), SO_SNDBUF, bytes);
}

Result SocketImpl::GetSendBufferSize(std::int32_t* bytes) {
    return GetIntOption(socket_.load(), SO_SNDBUF, bytes);
}

Result SocketImpl::ResolveHostName(const std::string& name, std::uint32_t* address) {
    if (!address) return ResultNullPointer;
    char host[HostNameBuffer];
    if (name.empty()) {
        if (gethostname(host, sizeof host) != 0) {
            const int error = errno;
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
    if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
        const bool usable = found && found->ai_addr && found->ai_family == AF_INET;
        if (usable) {
            *address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        }
        freeaddrinfo(found);
        if (usable) return ResultOk;
    }
    // A second, independent resolver path: it still answers when getaddrinfo fails for a
    // reason of its own (a transient lookup failure, memory).
    if (ResolveClassic(host, address)) return ResultOk;
    return LOG_REPORT_ERROR(ResultFail, "Unable to resolve host name %s", host);
}

Result SocketImpl::GetLocalIpv4Addresses(std::vector<std::uint32_t>* addresses) {
    if (!addresses) return ResultNullPointer;
    CATCH_FRAME_BEGIN
    addresses->clear();
    std::vector<InterfaceAddress> list;
    if (!ListInterfaceAddresses(&list)) return ResultOk;
    *addresses = SelectLocalIpv4Addresses(list);
    return ResultOk;
    CATCH_FRAME_END
}

Result SocketImpl::GetLocalIpv4WifiAddress(std::uint32_t* address) {
    if (!address) return ResultNullPointer;
    CATCH_FRAME_BEGIN
    std::vector<InterfaceAddress> list;
    if (!ListInterfaceAddresses(&list)) {
        const int error = errno;
        return LOG_REPORT_ERROR(ResultFail, "Unable to list network interfaces. Error: %d", error);
    }
    if (const auto wireless = SelectWirelessIpv4(list, IsWirelessInterface)) *address = *wireless;
    return ResultOk;
    CATCH_FRAME_END
}

int SocketImpl::GetNativeSocket() { return socket_.load(); }

}  // namespace platform
}  // namespace brondal
