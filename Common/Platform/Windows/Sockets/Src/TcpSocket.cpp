#include "TcpSocket.h"

#include <mutex>
#include <unordered_set>

#include "Winsock.h"

namespace brondal::platform {

namespace {

// Winsock cannot tell a socket's blocking mode, and has no per-call "don't wait" flag for
// send. TcpSend therefore switches a blocking socket to non-blocking around its one send;
// this set remembers the sockets callers made non-blocking themselves, so that their mode
// is left alone and restored correctly.
struct NonBlockingSockets {
    std::mutex lock;
    std::unordered_set<int> sockets;
};

NonBlockingSockets& NonBlocking() {
    static NonBlockingSockets* const set = new NonBlockingSockets();
    return *set;
}

bool IsNonBlocking(int socket) {
    NonBlockingSockets& set = NonBlocking();
    std::lock_guard guard(set.lock);
    return set.sockets.count(socket) != 0;
}

int SetMode(int socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(ToSocket(socket), FIONBIO, &nonBlocking) == 0 ? 0 : -1;
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

timeval* Limit(std::int32_t timeoutMs, timeval* storage) {
    if (timeoutMs < 0) return nullptr;
    storage->tv_sec = timeoutMs / 1000;
    storage->tv_usec = (timeoutMs % 1000) * 1000;
    return storage;
}

// select over one socket: Winsock's fd_set is a list of handles, so any handle fits.
int Wait(int socket, bool write, std::int32_t timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(ToSocket(socket), &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(ToSocket(socket), &failed);
    timeval storage{};
    const int rc = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed,
                            Limit(timeoutMs, &storage));
    if (rc == SOCKET_ERROR) return -1;
    // A failed socket counts as ready: the following call reports why.
    return rc == 0 ? 0 : 1;
}

// A receive on a socket the caller keeps blocking, which TcpSend may have made
// non-blocking for an instant on another thread: the would-block is waited out instead of
// being reported.
//
// A socket this side has shut down answers WSAESHUTDOWN where POSIX systems report the end
// of the stream; it is reported as that end (0), which is what it is.
int BlockingReceive(int socket, char* buffer, std::uint32_t length, int flags) {
    for (;;) {
        const int rc = ::recv(ToSocket(socket), buffer, static_cast<int>(length), flags);
        if (rc != SOCKET_ERROR) return rc;
        const int error = ::WSAGetLastError();
        if (error == WSAESHUTDOWN) {
            ::WSASetLastError(0);
            return 0;
        }
        if (error != WSAEWOULDBLOCK || IsNonBlocking(socket)) return -1;
        if (Wait(socket, false, -1) < 0) return -1;
    }
}

}  // namespace

int TcpCreate() {
    if (!EnsureWinsock()) return -1;
    // Not inherited: a child process must not keep the service's connections open.
    return FromSocket(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int TcpClose(int socket) {
    if (socket < 0) return 0;
    {
        NonBlockingSockets& set = NonBlocking();
        std::lock_guard guard(set.lock);
        set.sockets.erase(socket);
    }
    return ::closesocket(ToSocket(socket)) == 0 ? 0 : -1;
}

int TcpShutdown(int socket) { return ::shutdown(ToSocket(socket), SD_BOTH) == 0 ? 0 : -1; }

int TcpSetNoDelay(int socket) {
    BOOL one = TRUE;
    return ::setsockopt(ToSocket(socket), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char*>(&one), sizeof one) == 0
               ? 0
               : -1;
}

int TcpSetReuseAddress(int socket) {
    // Winsock binds a listener beside its old connections in TIME_WAIT without being asked;
    // SO_REUSEADDR here would mean something else entirely (letting another program take
    // over a port that is in use), so nothing is set.
    (void)socket;
    return 0;
}

int TcpSetBlocking(int socket, bool blocking) {
    if (SetMode(socket, blocking) != 0) return -1;
    NonBlockingSockets& set = NonBlocking();
    std::lock_guard guard(set.lock);
    if (blocking) {
        set.sockets.erase(socket);
    } else {
        set.sockets.insert(socket);
    }
    return 0;
}

int TcpSetSendBufferSize(int socket, std::int32_t bytes) {
    return ::setsockopt(ToSocket(socket), SOL_SOCKET, SO_SNDBUF,
                        reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0
               ? 0
               : -1;
}

int TcpBind(int socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    return ::bind(ToSocket(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int TcpListen(int socket) { return ::listen(ToSocket(socket), SOMAXCONN) == 0 ? 0 : -1; }

int TcpAccept(int socket) {
    const int accepted = FromSocket(::accept(ToSocket(socket), nullptr, nullptr));
    // An accepted socket takes over the listener's mode here; it is handed out blocking,
    // as on POSIX systems.
    if (accepted >= 0 && IsNonBlocking(socket)) SetMode(accepted, true);
    return accepted;
}

int TcpConnect(int socket, std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
    if (SetMode(socket, false) != 0) return -1;
    sockaddr_in sa = MakeAddress(address, port);
    int rc = ::connect(ToSocket(socket), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) {
        const int error = ::WSAGetLastError();
        SetMode(socket, true);
        ::WSASetLastError(error);
        return -1;
    }
    if (rc != 0) {
        // select, not WSAPoll: WSAPoll does not report a refused connect on every version.
        rc = Wait(socket, true, static_cast<std::int32_t>(timeoutMs));
        const int error =
            rc == 0 ? WSAETIMEDOUT : (rc < 0 ? ::WSAGetLastError() : PendingSocketError(socket));
        if (error != 0) {
            SetMode(socket, true);
            ::WSASetLastError(error);
            return -1;
        }
    }
    return SetMode(socket, !IsNonBlocking(socket));
}

int TcpWaitReadable(int socket, std::int32_t timeoutMs) { return Wait(socket, false, timeoutMs); }

int TcpWaitWritable(int socket, std::int32_t timeoutMs) { return Wait(socket, true, timeoutMs); }

// Winsock raises no signal for a reset peer: writes fail with an error already.
void TcpIgnoreBrokenPipes() {}

int TcpSend(int socket, const void* data, std::uint32_t length) {
    const bool restore = !IsNonBlocking(socket);
    if (restore && SetMode(socket, false) != 0) return -1;
    const int rc =
        ::send(ToSocket(socket), static_cast<const char*>(data), static_cast<int>(length), 0);
    const int error = rc == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    if (restore) SetMode(socket, true);
    if (rc != SOCKET_ERROR) return rc;
    ::WSASetLastError(error);
    return error == WSAEWOULDBLOCK ? 0 : -1;
}

int TcpRecv(int socket, void* buffer, std::uint32_t length) {
    return BlockingReceive(socket, static_cast<char*>(buffer), length, 0);
}

int TcpPeek(int socket, void* buffer, std::uint32_t length) {
    return BlockingReceive(socket, static_cast<char*>(buffer), length, MSG_PEEK);
}

int TcpRecvAll(int socket, void* buffer, std::uint32_t length) {
    // A loop rather than MSG_WAITALL, which Winsock refuses on non-blocking sockets.
    char* at = static_cast<char*>(buffer);
    std::uint32_t received = 0;
    while (received < length) {
        const int rc = BlockingReceive(socket, at + received, length - received, 0);
        if (rc < 0) return received > 0 ? static_cast<int>(received) : -1;
        if (rc == 0) break;
        received += static_cast<std::uint32_t>(rc);
    }
    return static_cast<int>(received);
}

int TcpGetLocal(int socket, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in sa{};
    int length = sizeof sa;
    if (::getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    if (address) *address = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return 0;
}

int TcpGetPeer(int socket, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in sa{};
    int length = sizeof sa;
    if (::getpeername(ToSocket(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    if (address) *address = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return 0;
}

int LastSocketError() { return ::WSAGetLastError(); }

void ClearSocketError() { ::WSASetLastError(0); }

bool IsWouldBlock(int error) { return error == WSAEWOULDBLOCK; }

bool IsTimedOut(int error) { return error == WSAETIMEDOUT; }

bool IsOutOfDescriptors(int error) {
    return error == WSAEMFILE || error == WSAENOBUFS || error == ERROR_NOT_ENOUGH_MEMORY ||
           error == ERROR_NO_SYSTEM_RESOURCES;
}

bool IsConnectionRefused(int error) { return error == WSAECONNREFUSED; }

bool IsHostUnreachable(int error) { return error == WSAEHOSTUNREACH; }

bool IsNetworkUnreachable(int error) { return error == WSAENETUNREACH; }

int PendingSocketError(int socket) {
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(ToSocket(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) != 0) {
        return ::WSAGetLastError();
    }
    return error;
}

}  // namespace brondal::platform
