#pragma once

#include <utility>

#include "TcpSocket.h"

namespace brondal::platform {

// Owns one socket descriptor and closes it when it goes, so that no error path forgets to;
// Release hands the descriptor on to its next owner (a connection, the listener slot).
// Not thread-safe: one owner at a time, as with the descriptor itself.
class ScopedSocket {
public:
    ScopedSocket() = default;
    explicit ScopedSocket(int socket) : socket_(socket) {}
    ~ScopedSocket() { Reset(); }
    ScopedSocket(ScopedSocket&& other) noexcept : socket_(other.Release()) {}
    ScopedSocket& operator=(ScopedSocket&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;

    int Get() const { return socket_; }
    bool Valid() const { return socket_ >= 0; }
    [[nodiscard]] int Release() { return std::exchange(socket_, -1); }
    // Closes the descriptor held (if any) and holds socket instead.
    void Reset(int socket = -1) { TcpClose(std::exchange(socket_, socket)); }

private:
    int socket_ = -1;
};

}  // namespace brondal::platform
