#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "IRefCountImpl.h"
#include "LoopbackSupport.h"
#include "ReliableTransport.h"
#include "TcpRelay.h"
#include "TransportAdapter.h"
#include "WaitFor.h"

namespace brondal::testing {

inline constexpr UUID Channel(0x11111111, 0x2222, 0x3333, 0x4444555566667777);

// An adapter with a recording listener, delivering on the transport's own thread (as the
// service's callback transport does) or on the reader of each socket (as its request
// transport does).
struct Endpoint {
    RefPtr<ITransport> transport;
    RefPtr<RecordingListener> listener = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    ITransport::ITransportNotify* added = nullptr;

    explicit Endpoint(std::uint16_t port, bool reliable = false,
                      ITransport::ITransportNotify* other = nullptr, bool ownThread = true) {
        EXPECT_EQ(CreateReliableTransport(Loopback, port, transport.Receive()), ResultOk);
        EXPECT_EQ(transport->Initialize(ownThread, true), ResultOk);
        added = other != nullptr ? other : listener.Get();
        transport->AddNotify(added);
        if (reliable) transport->EnableReliableDelivery();
    }
    ~Endpoint() {
        transport->RemoveNotify(added);
        transport->Finalize();
    }
    TransportAdapter& Adapter() { return *static_cast<TransportAdapter*>(transport.Get()); }
    TransportAdapter::ConnectionState State(const UUID& id) {
        return Adapter().StateForTesting(id);
    }
};

// A layered client connected to a server through a relay that can cut the socket.
struct RelayedPair {
    explicit RelayedPair(ITransport::ITransportNotify* serverListener = nullptr,
                         bool ownThread = true)
        : server(port, false, serverListener, ownThread), client(0, true, nullptr, ownThread) {}

    std::uint16_t port = FindFreePort();
    Endpoint server;
    TcpRelay relay{port};
    Endpoint client;
    UUID id;

    bool Open() {
        return client.transport->OpenConnection(Loopback, relay.Port(), &id, 2000) == ResultOk &&
               PollUntil([&] { return client.State(id).established; }) &&
               PollUntil([&] { return server.State(id).established; });
    }
    // The connection is whole again on both sides after a loss.
    bool Recovered(int accepted) {
        return PollUntil([&] {
            const auto c = client.State(id);
            const auto s = server.State(id);
            return relay.Accepted() >= accepted && c.established && !c.reconnecting &&
                   s.established && !s.reconnecting;
        });
    }
};

// A message that names its own index, so the receiver can check order and completeness.
inline std::vector<std::uint8_t> Numbered(std::uint32_t index, std::size_t size) {
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, 4));
    std::memcpy(bytes.data(), &index, 4);
    for (std::size_t i = 4; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(index + i);
    return bytes;
}

inline std::uint32_t IndexOf(const std::vector<std::uint8_t>& payload) {
    std::uint32_t index = 0;
    std::memcpy(&index, payload.data(), 4);
    return index;
}

// Holds the delivering thread in the first delivery until released, as a slow listener
// (or a busy machine) would.
class GatedListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override {
        if (!entered_.exchange(true)) {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [&] { return open_; });
        }
        return inner->OnDataReady(connectionId, channelId, data);
    }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        return inner->OnEvent(connectionId, event);
    }
    bool Entered() const { return entered_.load(); }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        released_.notify_all();
    }

    RefPtr<RecordingListener> inner = RefPtr<RecordingListener>::Adopt(new RecordingListener());

private:
    std::atomic<bool> entered_{false};
    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
};

}  // namespace brondal::testing
