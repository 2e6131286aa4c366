#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "LoopbackSupport.h"
#include "TcpSocket.h"

namespace brondal::testing {

// A TCP relay on loopback between a client and a server port, which a test uses to break
// connections: all at once, or one direction after a given number of bytes (mid-frame).
class TcpRelay {
public:
    explicit TcpRelay(std::uint16_t target) : target_(target) {
        listener_ = platform::TcpCreate();
        platform::TcpSetReuseAddress(listener_);
        platform::TcpBind(listener_, Loopback, 0);
        platform::TcpListen(listener_);
        platform::TcpGetLocal(listener_, nullptr, &port_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~TcpRelay() {
        CloseListener();
        CutAll();
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    std::uint16_t Port() const { return port_; }
    // From now on connecting is refused outright.
    void CloseListener() {
        if (stop_.exchange(true)) return;
        acceptor_.join();
        platform::TcpClose(listener_);
    }
    // Cuts the current connections after this many more client-to-server bytes.
    void CutAfter(std::int64_t bytes) { cutAfter_ = bytes; }
    int Accepted() const { return accepted_; }

    void CutAll() {
        std::vector<std::unique_ptr<Pair>> pairs;
        {
            std::lock_guard lock(mutex_);
            pairs.swap(pairs_);
        }
        for (auto& pair : pairs)
            pair->Cut();
        for (auto& pair : pairs)
            pair->Join();
    }

private:
    struct Pair {
        int client;
        int server;
        std::thread up;
        std::thread down;
        void Cut() {
            platform::TcpShutdown(client);
            platform::TcpShutdown(server);
        }
        void Join() {
            up.join();
            down.join();
            platform::TcpClose(client);
            platform::TcpClose(server);
        }
    };

    void AcceptLoop() {
        while (!stop_) {
            if (platform::TcpWaitReadable(listener_, 20) != 1) continue;
            const int client = platform::TcpAccept(listener_);
            if (client < 0) continue;
            const int server = platform::TcpCreate();
            if (platform::TcpConnect(server, Loopback, target_, 2000) != 0) {
                platform::TcpClose(client);
                platform::TcpClose(server);
                continue;
            }
            ++accepted_;
            auto pair = std::make_unique<Pair>();
            pair->client = client;
            pair->server = server;
            Pair* raw = pair.get();
            raw->up = std::thread([this, raw] { Pump(raw->client, raw->server, raw, true); });
            raw->down = std::thread([this, raw] { Pump(raw->server, raw->client, raw, false); });
            std::lock_guard lock(mutex_);
            pairs_.push_back(std::move(pair));
        }
    }

    void Pump(int from, int to, Pair* pair, bool counted) {
        std::vector<std::uint8_t> buffer(16384);
        while (true) {
            int n =
                platform::TcpRecv(from, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
            if (n <= 0) break;
            bool cut = false;
            if (counted) {
                const std::int64_t left = cutAfter_.load();
                if (left >= 0 && left < n) {
                    n = static_cast<int>(left);
                    cut = true;
                    cutAfter_ = -1;
                } else if (left >= 0) {
                    cutAfter_ -= n;
                }
            }
            if (!SendAll(to, buffer.data(), n) || cut) break;
        }
        pair->Cut();
    }

    static bool SendAll(int socket, const std::uint8_t* data, int length) {
        int sent = 0;
        while (sent < length) {
            if (platform::TcpWaitWritable(socket, 5000) != 1) return false;
            const int n =
                platform::TcpSend(socket, data + sent, static_cast<std::uint32_t>(length - sent));
            if (n < 0) return false;
            sent += n;
        }
        return true;
    }

    std::uint16_t target_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> cutAfter_{-1};
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::vector<std::unique_ptr<Pair>> pairs_;
    std::thread acceptor_;
};

}  // namespace brondal::testing
