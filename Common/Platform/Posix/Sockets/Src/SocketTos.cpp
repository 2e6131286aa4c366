#include "SocketTos.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace brondal::platform {

int SetSocketTos(int socket, int tos) {
    return setsockopt(socket, IPPROTO_IP, IP_TOS, &tos, sizeof tos) == 0 ? 0 : errno;
}

int GetSocketTos(int socket, int* tos) {
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(socket, IPPROTO_IP, IP_TOS, &value, &size) != 0) return errno;
    *tos = value;
    return 0;
}

bool IsMarkingNotPermitted(int error) { return error == EPERM || error == EACCES; }

bool SocketMarkingAvailable() { return true; }

bool SocketMarkingReadsBack() { return true; }

}  // namespace brondal::platform
