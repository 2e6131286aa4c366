#include "TcpAbort.h"

#include <sys/socket.h>

namespace brondal::platform {

int TcpSetResetOnClose(int socket) {
    // Lingering for no time on close is what turns it into a reset.
    linger option{1, 0};
    return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

}  // namespace brondal::platform
