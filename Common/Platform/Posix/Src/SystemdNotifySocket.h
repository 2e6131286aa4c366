#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <memory>
#include <string>
#include <string_view>

#include "ServiceManager.h"

namespace brondal::platform {

// The status channel to systemd: one datagram per report on systemd's notification socket.
class SystemdNotifySocket final : public ServiceStatusChannel {
public:
    // address: NOTIFY_SOCKET's value, a socket path or "@" and an abstract socket's name.
    // Null, with the reason in *reason, when the address is empty, of another kind, or no
    // socket could be made.
    static std::unique_ptr<SystemdNotifySocket> Open(const std::string& address,
                                                     std::string* reason);
    ~SystemdNotifySocket() override;

    SystemdNotifySocket(const SystemdNotifySocket&) = delete;
    SystemdNotifySocket& operator=(const SystemdNotifySocket&) = delete;

    bool Report(const ServiceStatus& status) override;
    bool Describe(std::string_view text) override;
    // Sends one datagram; false when it was not accepted.
    bool Send(std::string_view message);

private:
    SystemdNotifySocket(int fd, const sockaddr_un& address, socklen_t addressLength);

    const int fd_;
    const sockaddr_un address_;
    const socklen_t addressLength_;
};

}  // namespace brondal::platform
