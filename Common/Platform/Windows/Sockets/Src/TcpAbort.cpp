#include "TcpAbort.h"

#include "Winsock.h"

namespace brondal::platform {

int TcpSetResetOnClose(int socket) {
    // Lingering for no time on close is what turns it into a reset.
    linger option{1, 0};
    return ::setsockopt(ToSocket(socket), SOL_SOCKET, SO_LINGER,
                        reinterpret_cast<const char*>(&option), sizeof option) == 0
               ? 0
               : -1;
}

}  // namespace brondal::platform
