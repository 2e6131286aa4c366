#include "Winsock.h"

#include <mutex>

namespace brondal::platform {

bool EnsureWinsock() {
    static std::mutex lock;
    static bool started = false;
    std::lock_guard guard(lock);
    if (started) return true;
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(2, 2)) {
        // Some other version: give it back, and the next call tries again.
        ::WSACleanup();
        return false;
    }
    // Never cleaned up: sockets may be closed by threads still running while the process
    // ends, and the system releases everything then anyway.
    started = true;
    return true;
}

}  // namespace brondal::platform
