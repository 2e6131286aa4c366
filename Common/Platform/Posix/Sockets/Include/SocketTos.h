#pragma once

namespace brondal::platform {

// The IPv4 type-of-service byte of a socket's outgoing packets (DSCP in its upper six
// bits). Both return 0 or the system's error number, so callers can tell a socket that
// cannot be marked (EBADF, ENOTSOCK) from one they may not mark (EPERM, EACCES).
int SetSocketTos(int socket, int tos);
int GetSocketTos(int socket, int* tos);

}  // namespace brondal::platform
