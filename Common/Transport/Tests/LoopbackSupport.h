#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "TcpSocket.h"
#include "Uuid.h"
#include "WaitFor.h"

namespace brondal::testing {

inline constexpr std::uint32_t Loopback = 0x7f000001;

// A port nobody listens on right now: bound once by the system's choice and let go.
inline std::uint16_t FindFreePort() {
    int socket = platform::TcpCreate();
    platform::TcpSetReuseAddress(socket);
    platform::TcpBind(socket, Loopback, 0);
    std::uint16_t port = 0;
    platform::TcpGetLocal(socket, nullptr, &port);
    platform::TcpClose(socket);
    return port;
}

inline RefPtr<IDataStream> StreamOf(const std::vector<std::uint8_t>& bytes) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    if (!bytes.empty()) stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return stream;
}

inline std::vector<std::uint8_t> BytesOf(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    std::uint32_t position = 0;
    stream->GetPosition(&position);
    std::vector<std::uint8_t> bytes(size - position);
    if (!bytes.empty()) stream->ReadBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
}

// Records what a transport tells its listeners.
class RecordingListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    struct Frame {
        UUID connection;
        UUID channel;
        std::vector<std::uint8_t> payload;
    };

    Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override {
        Frame frame{connectionId, channelId, BytesOf(data)};
        signal_.Update([&] { frames_.push_back(std::move(frame)); });
        return ResultOk;
    }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        signal_.Update([&] { events_.emplace_back(connectionId, event); });
        return ResultOk;
    }

    bool WaitFrames(std::size_t count) {
        return signal_.WaitUntil([&] { return frames_.size() >= count; });
    }
    bool WaitEvents(std::int32_t event, std::size_t count,
                    std::chrono::milliseconds timeout = Soon) {
        return signal_.WaitUntil([&] { return CountLocked(event) >= count; }, timeout);
    }
    std::vector<Frame> Frames() {
        std::vector<Frame> copy;
        signal_.Update([&] { copy = frames_; });
        return copy;
    }
    std::vector<std::pair<UUID, std::int32_t>> Events() {
        std::vector<std::pair<UUID, std::int32_t>> copy;
        signal_.Update([&] { copy = events_; });
        return copy;
    }
    std::size_t CountEvents(std::int32_t event) {
        std::size_t count = 0;
        signal_.Update([&] { count = CountLocked(event); });
        return count;
    }

private:
    std::size_t CountLocked(std::int32_t event) const {
        std::size_t count = 0;
        for (const auto& entry : events_)
            count += entry.second == event ? 1 : 0;
        return count;
    }

    Signal signal_;
    std::vector<Frame> frames_;
    std::vector<std::pair<UUID, std::int32_t>> events_;
};

}  // namespace brondal::testing
