#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "TcpAbort.h"
#include "TcpSocket.h"

namespace brondal::testing {

// A TCP relay on loopback between clients and a server port, which tests and the soak use
// to break connections: all at once, or once a given number of bytes has passed in one
// direction (mid-frame), by an orderly close, a reset, or by dropping only the client's
// side while the server's socket stays open and silent. A direction can also be held:
// nothing more is forwarded that way, so the receiver there falls silent without the
// connection breaking. A relay made with Record::On also keeps what each connection carried
// (the first RecordLimit bytes per direction), to replay it.
class TcpRelay {
public:
    using Clock = std::chrono::steady_clock;
    enum class Direction { Up, Down };  // client to server, server to client
    enum class Cut {
        Orderly,
        Reset,
        // The client sees an orderly close; the server's socket stays open and silent (what
        // the server sends is thrown away) until the server closes it.
        ClientSideOnly,
    };

    static constexpr std::uint32_t LoopbackAddress = 0x7f000001;

    enum class Record { Off, On };
    static constexpr std::size_t RecordLimit = 1 << 20;

    explicit TcpRelay(std::uint16_t target, Record record = Record::Off)
        : target_(target), record_(record == Record::On) {
        listener_ = platform::TcpCreate();
        platform::TcpSetReuseAddress(listener_);
        platform::TcpBind(listener_, LoopbackAddress, 0);
        platform::TcpListen(listener_);
        platform::TcpGetLocal(listener_, nullptr, &port_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~TcpRelay() {
        CloseListener();
        dropping_ = true;
        CutAll();
        std::vector<std::shared_ptr<Pair>> pairs;
        {
            std::lock_guard lock(mutex_);
            pairs.swap(finished_);
        }
        for (auto& pair : pairs) {
            pair->JoinPumps();
            pair->CloseServer();
        }
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
    // Cuts the connection that carries the next `bytes` bytes in the direction, right after
    // them (0: before the next byte).
    void CutAfter(std::int64_t bytes, Direction direction = Direction::Up, Cut how = Cut::Orderly) {
        std::lock_guard lock(mutex_);
        pending_ = Pending{bytes, direction, how};
    }
    int Accepted() const { return accepted_; }
    // Connections cut so far, by the relay or by either end, and when the last one was.
    std::uint64_t Cuts() const { return cuts_; }
    Clock::time_point LastCut() {
        std::lock_guard lock(mutex_);
        return lastCut_;
    }

    // What each connection carried in the direction so far, in the order they were accepted.
    std::vector<std::vector<std::uint8_t>> Recorded(Direction direction) {
        std::lock_guard lock(mutex_);
        std::vector<std::vector<std::uint8_t>> carried;
        for (const auto& pair : recorded_)
            carried.push_back(pair->carried[Index(direction)]);
        return carried;
    }

    void Hold(Direction direction, bool held) {
        {
            std::lock_guard lock(mutex_);
            held_[Index(direction)] = held;
        }
        released_.notify_all();
    }

    // Cuts every current connection; the pumps end on their own.
    void CutAll(Cut how = Cut::Orderly) {
        std::vector<std::shared_ptr<Pair>> pairs;
        {
            std::lock_guard lock(mutex_);
            pairs.swap(pairs_);
        }
        for (auto& pair : pairs)
            CutPair(*pair, how);
        released_.notify_all();
        std::lock_guard lock(mutex_);
        for (auto& pair : pairs)
            finished_.push_back(std::move(pair));
    }

private:
    struct Pending {
        std::int64_t bytes = -1;
        Direction direction = Direction::Up;
        Cut how = Cut::Orderly;
    };

    struct Pair {
        // Guards the descriptors against a close while a cut works on them.
        std::mutex lock;
        int client = -1;
        int server = -1;
        std::atomic<bool> cut{false};
        std::atomic<Cut> how{Cut::Orderly};
        std::atomic<int> running{2};
        std::thread up;
        std::thread down;
        std::vector<std::uint8_t> carried[2];  // relay mutex; when recording
        void JoinPumps() {
            if (up.joinable()) up.join();
            if (down.joinable()) down.join();
        }
        void CloseServer() {
            std::lock_guard guard(lock);
            platform::TcpClose(server);
            server = -1;
        }
    };

    static int Index(Direction direction) { return direction == Direction::Up ? 0 : 1; }

    void CutPair(Pair& pair, Cut how) {
        {
            std::lock_guard guard(pair.lock);
            if (pair.cut) return;
            pair.how = how;
            pair.cut = true;
            Break(pair, how);
        }
        std::lock_guard lock(mutex_);
        lastCut_ = Clock::now();
        ++cuts_;
    }

    static void Break(Pair& pair, Cut how) {
        switch (how) {
            case Cut::Orderly:
                platform::TcpShutdown(pair.client);
                platform::TcpShutdown(pair.server);
                break;
            case Cut::Reset:
                // The reset goes out when the last pump closes the descriptors.
                platform::TcpSetResetOnClose(pair.client);
                platform::TcpSetResetOnClose(pair.server);
                break;
            case Cut::ClientSideOnly:
                platform::TcpShutdown(pair.client);
                break;
        }
    }

    // Mutex held. Joins the pumps of finished connections (which take the mutex no more).
    void Reap() {
        std::vector<std::shared_ptr<Pair>> keep;
        for (auto& pair : finished_) {
            if (pair->running == 0) {
                pair->JoinPumps();
                pair->CloseServer();
            } else {
                keep.push_back(std::move(pair));
            }
        }
        finished_.swap(keep);
    }

    void AcceptLoop() {
        while (!stop_) {
            {
                std::lock_guard lock(mutex_);
                std::vector<std::shared_ptr<Pair>> live;
                for (auto& pair : pairs_) {
                    (pair->cut ? finished_ : live).push_back(std::move(pair));
                }
                pairs_.swap(live);
                Reap();
            }
            if (platform::TcpWaitReadable(listener_, 20) != 1) continue;
            const int client = platform::TcpAccept(listener_);
            if (client < 0) continue;
            const int server = platform::TcpCreate();
            if (platform::TcpConnect(server, LoopbackAddress, target_, 2000) != 0) {
                platform::TcpClose(client);
                platform::TcpClose(server);
                continue;
            }
            auto pair = std::make_shared<Pair>();
            pair->client = client;
            pair->server = server;
            ++accepted_;
            Pair* raw = pair.get();
            raw->up = std::thread([this, raw] { Pump(*raw, raw->client, raw->server, 0); });
            raw->down = std::thread([this, raw] { Pump(*raw, raw->server, raw->client, 1); });
            std::lock_guard lock(mutex_);
            if (record_) recorded_.push_back(pair);
            pairs_.push_back(std::move(pair));
        }
    }

    // How many of n bytes read in the direction may pass before a pending cut; sets cut
    // when the cut comes after them.
    int Allow(Pair& pair, int direction, const std::uint8_t* data, int n, Cut* how, bool* cut) {
        std::lock_guard lock(mutex_);
        std::vector<std::uint8_t>& carried = pair.carried[direction];
        if (record_ && carried.size() < RecordLimit)
            carried.insert(carried.end(), data,
                           data + std::min<std::size_t>(static_cast<std::size_t>(n),
                                                        RecordLimit - carried.size()));
        if (pending_.bytes < 0 || Index(pending_.direction) != direction) return n;
        if (pending_.bytes >= n) {
            pending_.bytes -= n;
            return n;
        }
        const int allowed = static_cast<int>(pending_.bytes);
        *how = pending_.how;
        *cut = true;
        pending_ = Pending{};
        return allowed;
    }

    bool Held(Pair& pair, int direction) {
        std::unique_lock lock(mutex_);
        released_.wait_for(lock, std::chrono::milliseconds(20),
                           [&] { return !held_[direction] || pair.cut; });
        return held_[direction];
    }

    void Pump(Pair& pair, int from, int to, int direction) {
        std::vector<std::uint8_t> buffer(16384);
        while (!pair.cut) {
            if (Held(pair, direction)) continue;
            const int ready = platform::TcpWaitReadable(from, 20);
            if (ready == 0) continue;
            int n = ready < 0 ? -1
                              : platform::TcpRecv(from, buffer.data(),
                                                  static_cast<std::uint32_t>(buffer.size()));
            if (n <= 0 || pair.cut) break;
            Cut how = Cut::Orderly;
            bool cut = false;
            n = Allow(pair, direction, buffer.data(), n, &how, &cut);
            if (!SendAll(pair, to, buffer.data(), n)) break;
            if (cut) CutPair(pair, how);
        }
        // One end went away: the other learns it the same way.
        CutPair(pair, Cut::Orderly);
        if (pair.how == Cut::ClientSideOnly && from == pair.server) Drain(from);
        if (pair.running.fetch_sub(1) == 1) {
            std::lock_guard guard(pair.lock);
            platform::TcpClose(pair.client);
            platform::TcpClose(pair.server);
            pair.client = -1;
            pair.server = -1;
        }
    }

    // Reads and drops what a silent server side still sends, until the server closes it or
    // the relay goes.
    void Drain(int socket) {
        std::vector<std::uint8_t> buffer(16384);
        while (!dropping_) {
            const int ready = platform::TcpWaitReadable(socket, 20);
            if (ready == 0) continue;
            if (ready < 0 || platform::TcpRecv(socket, buffer.data(),
                                               static_cast<std::uint32_t>(buffer.size())) <= 0) {
                return;
            }
        }
    }

    static bool SendAll(Pair& pair, int socket, const std::uint8_t* data, int length) {
        int sent = 0;
        while (sent < length) {
            if (pair.cut) return false;
            const int ready = platform::TcpWaitWritable(socket, 20);
            if (ready == 0) continue;
            if (ready < 0) return false;
            const int n =
                platform::TcpSend(socket, data + sent, static_cast<std::uint32_t>(length - sent));
            if (n < 0) return false;
            sent += n;
        }
        return true;
    }

    std::uint16_t target_;
    const bool record_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    // Set when the relay goes: silent server sides are let go.
    std::atomic<bool> dropping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<std::uint64_t> cuts_{0};
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_[2] = {false, false};
    Pending pending_;
    Clock::time_point lastCut_;
    std::vector<std::shared_ptr<Pair>> pairs_;
    std::vector<std::shared_ptr<Pair>> finished_;
    std::vector<std::shared_ptr<Pair>> recorded_;
    std::thread acceptor_;
};

}  // namespace brondal::testing
