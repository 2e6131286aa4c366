#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brondal::corvane::hostile {

// Misbehaving clients of the service's request port, on raw sockets: they speak just enough
// of the wire format to get past the handshake and then behave as the kind says. Every kind
// runs on threads of its own until Stop.
class HostilePeers {
public:
    HostilePeers(std::uint32_t address, std::uint16_t port) : address_(address), port_(port) {}
    ~HostilePeers() { Stop(); }

    // Each connection announces a frame of the largest payload and then sends
    // TrickleBytes of it every TrickleIntervalMs.
    void StartTrickle(unsigned connections);
    // Connections that take the handshake and then say nothing.
    void StartIdle(unsigned connections);
    // Threads that connect and close at once, as fast as they can.
    void StartFlood(unsigned threads);
    // Connections that keep sending UpdateDisplay requests and never read a response.
    void StartNoRead(unsigned connections);
    void Stop();

    // One line per kind that ran: connections made, failures, closes by the service.
    std::string Report() const;

    static constexpr std::uint32_t TrickleBytes = 16;
    static constexpr std::uint32_t TrickleIntervalMs = 100;

private:
    struct Counts {
        std::atomic<std::uint64_t> opened{0};
        std::atomic<std::uint64_t> failed{0};
        std::atomic<std::uint64_t> closedByService{0};
        std::atomic<std::uint64_t> bytesSent{0};
        bool used = false;
    };

    // A connected socket that has received the handshake, or -1.
    int Open(Counts& counts);
    // Sends all of it, waiting for room; false when the service closed the connection or
    // stop was requested.
    bool SendAll(int socket, const std::vector<std::uint8_t>& bytes, Counts& counts);
    void Hold(int socket);
    void Line(std::string* out, const char* kind, const Counts& counts) const;

    const std::uint32_t address_;
    const std::uint16_t port_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
    std::mutex socketsMutex_;
    std::vector<int> sockets_;
    Counts trickle_;
    Counts idle_;
    Counts flood_;
    Counts noRead_;
};

}  // namespace brondal::corvane::hostile
