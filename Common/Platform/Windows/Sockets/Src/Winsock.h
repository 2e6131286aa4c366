#pragma once

// Winsock before windows.h: windows.h alone would pull in the old Winsock 1 header.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h (see above).
#include <windows.h>

// See Windows/Src/SystemHeaders.h: the scheduler's own names come back.
#undef CreateMutex
#undef CreateEvent

namespace brondal::platform {

// Starts Winsock 2.2 for the process on first use; later calls only report the outcome.
// False when the system has no Winsock 2.2 (then every socket call fails).
bool EnsureWinsock();

// Sockets travel as int through the interfaces shared with POSIX. Socket handles are
// small kernel handle values, well inside an int; INVALID_SOCKET becomes -1 and back.
inline SOCKET ToSocket(int socket) {
    return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}
inline int FromSocket(SOCKET socket) {
    return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}

}  // namespace brondal::platform
