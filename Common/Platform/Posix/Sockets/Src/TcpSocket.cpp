#include "TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>

namespace brondal::platform {

namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

int Wait(int socket, short events, std::int32_t timeoutMs) {
    pollfd pfd{socket, events, 0};
    for (;;) {
        int rc = ::poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc == 0) return 0;
        // A hung-up or failed socket counts as ready: the following call reports why.
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

int Retry(int rc) { return rc < 0 ? -1 : rc; }

}  // namespace

int TcpCreate() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

int TcpClose(int socket) { return socket < 0 ? 0 : ::close(socket); }

int TcpShutdown(int socket) { return ::shutdown(socket, SHUT_RDWR); }

int TcpSetNoDelay(int socket) {
    int one = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int TcpSetReuseAddress(int socket) {
    int one = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int TcpSetBlocking(int socket, bool blocking) {
    int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags < 0) return -1;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(socket, F_SETFL, flags) < 0 ? -1 : 0;
}

int TcpSetSendBufferSize(int socket, std::int32_t bytes) {
    return ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int TcpBind(int socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    return ::bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int TcpListen(int socket) { return ::listen(socket, SOMAXCONN); }

int TcpAccept(int socket) {
    for (;;) {
        int rc = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (rc < 0 && errno == EINTR) continue;
        return rc;
    }
}

int TcpConnect(int socket, std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
    if (TcpSetBlocking(socket, false) != 0) return -1;
    sockaddr_in sa = MakeAddress(address, port);
    int rc = ::connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno != EINPROGRESS) {
        int error = errno;
        TcpSetBlocking(socket, true);
        errno = error;
        return -1;
    }
    if (rc != 0) {
        pollfd pfd{socket, POLLOUT, 0};
        do {
            rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs));
        } while (rc < 0 && errno == EINTR);
        int error = rc == 0 ? ETIMEDOUT : (rc < 0 ? errno : PendingSocketError(socket));
        if (error != 0) {
            TcpSetBlocking(socket, true);
            errno = error;
            return -1;
        }
    }
    return TcpSetBlocking(socket, true);
}

int TcpWaitReadable(int socket, std::int32_t timeoutMs) { return Wait(socket, POLLIN, timeoutMs); }

int TcpWaitWritable(int socket, std::int32_t timeoutMs) { return Wait(socket, POLLOUT, timeoutMs); }

void TcpIgnoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

int TcpSend(int socket, const void* data, std::uint32_t length) {
    ssize_t rc;
    do {
        rc = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return Retry(static_cast<int>(rc));
}

int TcpRecv(int socket, void* buffer, std::uint32_t length) {
    ssize_t rc;
    do {
        rc = ::recv(socket, buffer, length, 0);
    } while (rc < 0 && errno == EINTR);
    return Retry(static_cast<int>(rc));
}

int TcpPeek(int socket, void* buffer, std::uint32_t length) {
    ssize_t rc;
    do {
        rc = ::recv(socket, buffer, length, MSG_PEEK);
    } while (rc < 0 && errno == EINTR);
    return Retry(static_cast<int>(rc));
}

int TcpRecvAll(int socket, void* buffer, std::uint32_t length) {
    ssize_t rc;
    do {
        rc = ::recv(socket, buffer, length, MSG_WAITALL);
    } while (rc < 0 && errno == EINTR);
    return Retry(static_cast<int>(rc));
}

int TcpGetLocal(int socket, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    if (address) *address = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return 0;
}

int TcpGetPeer(int socket, std::uint32_t* address, std::uint16_t* port) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0) return -1;
    if (address) *address = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return 0;
}

int LastSocketError() { return errno; }

void ClearSocketError() { errno = 0; }

int PendingSocketError(int socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace brondal::platform
