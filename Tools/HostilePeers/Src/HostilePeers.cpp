#include "HostilePeers.h"

#include <chrono>
#include <sstream>

#include "Commands.h"
#include "DirectoryProtocol.h"
#include "FrameEncoder.h"
#include "Handshake.h"
#include "IRpc.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "TcpSocket.h"
#include "UuidStream.h"
#include "WireFormat.h"

namespace brondal::corvane::hostile {

namespace {

using namespace platform;

constexpr std::int32_t ConnectTimeoutMs = 5000;
constexpr std::int32_t RoomWaitMs = 100;
// Requests per send of the client that never reads.
constexpr unsigned RequestsPerBatch = 256;
const UUID TrickleChannel(0x5eed0001, 0x0002, 0x0003, 0x0405060708090a0b);

// UpdateDisplay requests, each a whole binary frame, for one simulated display.
std::vector<std::uint8_t> RequestBatch() {
    UUID base;
    GetScheduler().NewUuid(&base);
    const corvane::DisplayUpdate update = client::SimulatedDisplays(base, 0, 1).front();
    std::vector<std::uint8_t> batch;
    for (unsigned i = 0; i < RequestsPerBatch; ++i) {
        RefPtr<IDataStream> message;
        (void)NewDataStream(message.Receive());
        UUID call;
        GetScheduler().NewUuid(&call);
        message->WriteUInt8(0);  // a request that expects a response
        (void)SerializeUuid(message.Get(), corvane::DirectoryObjectId);
        message->WriteUInt16(corvane::MethodUpdateDisplay);
        (void)SerializeUuid(message.Get(), call);
        (void)corvane::EncodeDisplayUpdate(update, message.Get());
        std::vector<std::uint8_t> frame;
        (void)EncodeBinaryFrame(RpcChannelId, message.Get(), &frame);
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    return batch;
}

}  // namespace

int HostilePeers::Open(Counts& counts) {
    const int socket = TcpCreate();
    std::uint8_t handshake[HandshakeLength];
    if (socket < 0 || TcpConnect(socket, address_, port_, ConnectTimeoutMs) != 0 ||
        TcpWaitReadable(socket, ConnectTimeoutMs) != 1 ||
        TcpRecvAll(socket, handshake, HandshakeLength) != static_cast<int>(HandshakeLength)) {
        TcpClose(socket);
        ++counts.failed;
        return -1;
    }
    ++counts.opened;
    std::lock_guard lock(socketsMutex_);
    sockets_.push_back(socket);
    return socket;
}

bool HostilePeers::SendAll(int socket, const std::vector<std::uint8_t>& bytes, Counts& counts) {
    std::size_t sent = 0;
    while (sent < bytes.size() && !stop_.load()) {
        const int n =
            TcpSend(socket, bytes.data() + sent, static_cast<std::uint32_t>(bytes.size() - sent));
        if (n < 0) {
            ++counts.closedByService;
            return false;
        }
        if (n == 0) {
            TcpWaitWritable(socket, RoomWaitMs);
            continue;
        }
        sent += static_cast<std::size_t>(n);
        counts.bytesSent += static_cast<std::uint64_t>(n);
    }
    return sent == bytes.size();
}

void HostilePeers::StartTrickle(unsigned connections) {
    trickle_.used = true;
    threads_.emplace_back([this, connections] {
        std::vector<int> open;
        std::vector<std::uint8_t> header(FrameHeaderLength);
        EncodeFrameHeader(TrickleChannel, MaxFramePayload, header.data());
        for (unsigned i = 0; i < connections && !stop_.load(); ++i) {
            const int socket = Open(trickle_);
            if (socket >= 0 && SendAll(socket, header, trickle_)) open.push_back(socket);
        }
        const std::vector<std::uint8_t> piece(TrickleBytes, 0x5a);
        while (!stop_.load()) {
            for (int& socket : open) {
                if (socket < 0) continue;
                const int sent = TcpSend(socket, piece.data(), TrickleBytes);
                if (sent < 0) {
                    ++trickle_.closedByService;
                    socket = -1;
                } else {
                    trickle_.bytesSent += static_cast<std::uint64_t>(sent);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(TrickleIntervalMs));
        }
    });
}

void HostilePeers::StartIdle(unsigned connections) {
    idle_.used = true;
    threads_.emplace_back([this, connections] {
        for (unsigned i = 0; i < connections && !stop_.load(); ++i)
            Open(idle_);
    });
}

void HostilePeers::StartFlood(unsigned threads) {
    flood_.used = true;
    for (unsigned t = 0; t < threads; ++t) {
        threads_.emplace_back([this] {
            while (!stop_.load()) {
                const int socket = TcpCreate();
                if (TcpConnect(socket, address_, port_, ConnectTimeoutMs) == 0) {
                    ++flood_.opened;
                } else {
                    ++flood_.failed;
                }
                TcpClose(socket);
            }
        });
    }
}

void HostilePeers::StartNoRead(unsigned connections) {
    noRead_.used = true;
    for (unsigned c = 0; c < connections; ++c) {
        threads_.emplace_back([this] {
            const int socket = Open(noRead_);
            if (socket < 0) return;
            const std::vector<std::uint8_t> batch = RequestBatch();
            while (SendAll(socket, batch, noRead_)) {
            }
        });
    }
}

void HostilePeers::Stop() {
    stop_.store(true);
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
    std::lock_guard lock(socketsMutex_);
    for (int socket : sockets_)
        TcpClose(socket);
    sockets_.clear();
}

void HostilePeers::Line(std::string* out, const char* kind, const Counts& counts) const {
    if (!counts.used) return;
    std::ostringstream line;
    line << "  " << kind << ": " << counts.opened.load() << " connected, " << counts.failed.load()
         << " failed to connect, " << counts.closedByService.load() << " closed by the service, "
         << counts.bytesSent.load() << " bytes sent\n";
    *out += line.str();
}

std::string HostilePeers::Report() const {
    std::string out;
    Line(&out, "trickle", trickle_);
    Line(&out, "idle", idle_);
    Line(&out, "connect-and-close", flood_);
    Line(&out, "never reads", noRead_);
    return out;
}

}  // namespace brondal::corvane::hostile
