#include "SystemdNotifySocket.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>

#include "PlatformLog.h"
#include "SystemdServiceManager.h"

namespace brondal::platform {

std::unique_ptr<SystemdNotifySocket> SystemdNotifySocket::Open(const std::string& address,
                                                               std::string* reason) {
    if (address.empty()) {
        *reason = "NOTIFY_SOCKET is not set: the process was not started by systemd";
        return nullptr;
    }
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    // Abstract names are not terminated, so the length counts the name exactly; a path
    // needs room for its terminating zero.
    const bool abstract = address[0] == '@';
    if ((address[0] != '/' && !abstract) ||
        address.size() + (abstract ? 0 : 1) > sizeof peer.sun_path) {
        *reason = "NOTIFY_SOCKET is not a socket path or abstract socket name: " + address;
        return nullptr;
    }
    address.copy(peer.sun_path, address.size());
    if (abstract) peer.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                               (abstract ? 0 : 1));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *reason = std::string("Unable to create a socket for NOTIFY_SOCKET: ") + ::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<SystemdNotifySocket>(new SystemdNotifySocket(fd, peer, length));
}

SystemdNotifySocket::SystemdNotifySocket(int fd, const sockaddr_un& address,
                                         socklen_t addressLength)
    : fd_(fd), address_(address), addressLength_(addressLength) {}

SystemdNotifySocket::~SystemdNotifySocket() { ::close(fd_); }

bool SystemdNotifySocket::Report(const ServiceStatus& status) {
    const std::string message = SystemdServiceManager::Notification(status);
    return message.empty() || Send(message);
}

bool SystemdNotifySocket::Describe(std::string_view text) {
    return Send(SystemdServiceManager::StatusNotification(text));
}

bool SystemdNotifySocket::Send(std::string_view message) {
    // Addressed on every send, as systemd's own client does, rather than connected once:
    // nothing then depends on systemd's socket staying the one we first reached.
    ssize_t sent;
    do {
        sent = ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address_), addressLength_);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(message.size())) return true;
    PLATFORM_LOG(LogSevere, "Unable to notify systemd, error code: %d", sent < 0 ? errno : 0);
    return false;
}

}  // namespace brondal::platform
