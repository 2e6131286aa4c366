#include "SocketPoller.h"

#include <mutex>
#include <unordered_map>

#include "Winsock.h"

namespace brondal::platform {

struct SocketPoller::Watched {
    std::mutex lock;
    // Socket → tag, for the sockets armed now; a socket watched for sending leaves when it
    // is reported, one watched for reading stays until forgotten.
    std::unordered_map<int, void*> sockets;
    bool readable = false;
};

namespace {

// The wake-up socket: UDP on the loopback address, connected to itself, non-blocking.
int OpenWakeSocket() {
    if (!EnsureWinsock()) return -1;
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return -1;
    }
    return FromSocket(s);
}

}  // namespace

SocketPoller::SocketPoller() : wake_(OpenWakeSocket()), watched_(std::make_unique<Watched>()) {
    // No descriptor of its own: the list is the poll.
    poll_ = wake_ >= 0 ? 0 : -1;
}

SocketPoller::~SocketPoller() {
    if (wake_ >= 0) ::closesocket(ToSocket(wake_));
}

bool SocketPoller::IsValid() const { return wake_ >= 0; }

int SocketPoller::WatchWritable(int socket, void* tag) {
    {
        std::lock_guard guard(watched_->lock);
        watched_->sockets[socket] = tag;
    }
    // A Wait in progress polls the list it copied; it must start again to see this one.
    Wake();
    return 0;
}

int SocketPoller::WatchReadable(int socket, void* tag) {
    {
        std::lock_guard guard(watched_->lock);
        watched_->readable = true;
        watched_->sockets[socket] = tag;
    }
    Wake();
    return 0;
}

int SocketPoller::Forget(int socket) {
    std::lock_guard guard(watched_->lock);
    watched_->sockets.erase(socket);
    return 0;
}

void SocketPoller::Wake() {
    const char one = 1;
    // A full buffer already means "wake up"; nothing is lost when this send fails.
    ::send(ToSocket(wake_), &one, 1, 0);
}

int SocketPoller::Wait(std::int32_t timeoutMs, std::vector<void*>* ready) {
    std::vector<WSAPOLLFD> list;
    bool readable = false;
    {
        std::lock_guard guard(watched_->lock);
        readable = watched_->readable;
        list.reserve(watched_->sockets.size() + 1);
        list.push_back(WSAPOLLFD{ToSocket(wake_), POLLRDNORM, 0});
        for (const auto& [socket, tag] : watched_->sockets)
            list.push_back(WSAPOLLFD{ToSocket(socket),
                                     static_cast<SHORT>(readable ? POLLRDNORM : POLLWRNORM), 0});
    }
    const int count =
        ::WSAPoll(list.data(), static_cast<ULONG>(list.size()), timeoutMs < 0 ? -1 : timeoutMs);
    if (count == SOCKET_ERROR) return -1;
    if (list[0].revents != 0) {
        char drained[64];
        while (::recv(ToSocket(wake_), drained, sizeof drained, 0) > 0) {
        }
    }
    int tags = 0;
    std::lock_guard guard(watched_->lock);
    for (std::size_t i = 1; i < list.size(); ++i) {
        if (list[i].revents == 0) continue;
        // Only sockets still armed are reported (one forgotten meanwhile is not), and each
        // is disarmed as it is reported.
        const auto found = watched_->sockets.find(FromSocket(list[i].fd));
        if (found == watched_->sockets.end()) continue;
        ready->push_back(found->second);
        if (!readable) watched_->sockets.erase(found);
        ++tags;
    }
    return tags;
}

}  // namespace brondal::platform
