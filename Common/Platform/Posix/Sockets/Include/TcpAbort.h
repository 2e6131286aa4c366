#pragma once

namespace brondal::platform {

// Makes the next close of the descriptor abortive: the peer gets a reset instead of an
// orderly end, and unsent bytes are thrown away. For tools that break connections on
// purpose; 0 on success, -1 with the reason in LastSocketError.
int TcpSetResetOnClose(int socket);

}  // namespace brondal::platform
