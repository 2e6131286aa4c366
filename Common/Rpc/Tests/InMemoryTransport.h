#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "Uuid.h"

namespace brondal::testing {

// A transport whose connections lead to other in-memory transports of the same process.
// A write copies the message's bytes (as a wire would) and queues them at the peer, whose
// own delivery thread hands them to its listeners in order, like a real transport's
// notification thread. Both ends name a connection by the same identifier.
//
// Tests can inject received messages, watch writes, make writes fail and mark connections
// not ready for writing. Call Shutdown before the last reference goes: it stops the delivery
// thread and drops the peers (which reference each other).
class InMemoryTransport final : public ITransport, public IRefCountImpl {
public:
    using Bytes = std::vector<std::uint8_t>;
    using WriteObserver = std::function<void(UUID connectionId, UUID channelId, const Bytes&)>;

    static RefPtr<InMemoryTransport> Create() {
        return RefPtr<InMemoryTransport>::Adopt(new InMemoryTransport());
    }

    // Opens a connection between two transports and returns its identifier (a new one when
    // id is nil).
    static UUID Connect(InMemoryTransport* a, InMemoryTransport* b, UUID id = UUID()) {
        if (id.IsNil()) GetScheduler().NewUuid(&id);
        a->AddPeer(id, b);
        b->AddPeer(id, a);
        return id;
    }

    void Shutdown() {
        std::map<UUID, RefPtr<InMemoryTransport>> peers;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            peers.swap(peers_);
            listeners_.clear();
            wake_.notify_all();
        }
        if (deliveryThread_.joinable()) deliveryThread_.join();
    }

    // Delivers bytes to this transport's listeners as if they had arrived on a connection.
    void Inject(UUID connectionId, UUID channelId, Bytes bytes) {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        inbound_.push_back({connectionId, channelId, std::move(bytes)});
        wake_.notify_all();
    }

    void SetWriteObserver(WriteObserver observer) {
        std::lock_guard lock(mutex_);
        observer_ = std::move(observer);
    }
    // Every later Write fails with result (ResultOk: writes work again).
    void SetWriteResult(Result result) {
        std::lock_guard lock(mutex_);
        writeResult_ = result;
    }
    void SetReadyForWrite(UUID connectionId, bool ready) {
        std::lock_guard lock(mutex_);
        notReady_[connectionId] = !ready;
    }
    // While held, every connection reports not ready for writing.
    void HoldAllWrites(bool hold) {
        std::lock_guard lock(mutex_);
        holdAll_ = hold;
    }
    // Called on the asking thread each time ConnectionReadyForWrite is asked.
    void SetReadyQueryObserver(std::function<void()> observer) {
        std::lock_guard lock(mutex_);
        readyObserver_ = std::move(observer);
    }
    // How often ConnectionReadyForWrite was asked about any connection.
    std::uint64_t ReadyQueries() {
        std::lock_guard lock(mutex_);
        return readyQueries_;
    }

    static Bytes ToBytes(IDataStream* data) {
        std::uint32_t size = 0;
        data->GetSize(&size);
        RefPtr<IDataStream> view;
        SliceDataStream(data, 0, size, view.Receive());
        Bytes bytes(size);
        if (size != 0) view->ReadBytes(bytes.data(), size);
        return bytes;
    }

    Result Write(UUID connectionId, UUID channelId, IDataStream* data) override {
        Bytes bytes = ToBytes(data);
        RefPtr<InMemoryTransport> peer;
        WriteObserver observer;
        {
            std::lock_guard lock(mutex_);
            if (Failed(writeResult_)) return writeResult_;
            auto it = peers_.find(connectionId);
            if (it == peers_.end()) return ResultConnectionNotFound;
            peer = it->second;
            observer = observer_;
        }
        if (observer) observer(connectionId, channelId, bytes);
        peer->Inject(connectionId, channelId, std::move(bytes));
        return ResultOk;
    }

    Result ConnectionReadyForWrite(UUID connectionId, bool* ready) override {
        std::function<void()> observer;
        {
            std::lock_guard lock(mutex_);
            ++readyQueries_;
            auto it = notReady_.find(connectionId);
            *ready = !holdAll_ && (it == notReady_.end() || !it->second);
            observer = readyObserver_;
        }
        if (observer) observer();
        return ResultOk;
    }

    Result AddNotify(ITransportNotify* listener) override {
        std::lock_guard lock(mutex_);
        listeners_.emplace_back(listener);
        return ResultOk;
    }
    Result RemoveNotify(ITransportNotify* listener) override {
        std::lock_guard lock(mutex_);
        std::erase_if(listeners_,
                      [&](const RefPtr<ITransportNotify>& l) { return l.Get() == listener; });
        return ResultOk;
    }
    Result BeginWrite() override { return ResultOk; }
    Result EndWrite() override { return ResultOk; }
    Result CreateDataStream(IDataStream** data) override { return NewDataStream(data); }

    // Not needed by the engine or the callback thread.
    Result SetDataHook(IDataHook*) override { return ResultNotImplemented; }
    Result Initialize(bool, bool) override { return ResultOk; }
    Result SetEnabled(bool) override { return ResultNotImplemented; }
    Result ReleaseListenerPort() override { return ResultNotImplemented; }
    Result ChangeListenerPort(std::uint16_t) override { return ResultNotImplemented; }
    Result SetConnectionSocketDscp(UUID, std::uint32_t) override { return ResultNotImplemented; }
    Result Finalize() override { return ResultOk; }
    Result SetEncryptionEnabled(bool) override { return ResultNotImplemented; }
    Result SetKeepAlive(UUID, std::uint32_t, std::uint32_t) override {
        return ResultNotImplemented;
    }
    Result SetIdleConnectionPurgeEnabled(bool) override { return ResultNotImplemented; }
    Result SetWriteTimeout(std::uint32_t) override { return ResultNotImplemented; }
    Result SetConnectionParameters(std::uint32_t, std::uint32_t) override {
        return ResultNotImplemented;
    }
    Result OpenConnection(std::uint32_t, std::uint16_t, UUID*, std::uint32_t) override {
        return ResultNotImplemented;
    }
    Result CloseConnection(UUID) override { return ResultNotImplemented; }
    Result CloseAllConnections() override { return ResultNotImplemented; }
    Result GetPeerIpv4(UUID, std::uint32_t*, std::uint16_t*) override {
        return ResultNotImplemented;
    }
    Result GetLocalIpv4(UUID, std::uint32_t*) override { return ResultNotImplemented; }
    Result WriteText(UUID, IDataStream*) override { return ResultNotImplemented; }
    Result WriteTextSynchronous(UUID, IDataStream*) override { return ResultNotImplemented; }
    Result GetStatistics(std::uint32_t*) override { return ResultNotImplemented; }
    Result GetHostByName(const std::string&, std::uint32_t*) override {
        return ResultNotImplemented;
    }
    Result EnableReliableDelivery() override { return ResultNotImplemented; }

private:
    struct Message {
        UUID connectionId;
        UUID channelId;
        Bytes bytes;
    };

    InMemoryTransport() : deliveryThread_([this] { Deliver(); }) {}
    ~InMemoryTransport() override { Shutdown(); }

    void AddPeer(UUID id, InMemoryTransport* peer) {
        std::lock_guard lock(mutex_);
        peers_[id] = RefPtr<InMemoryTransport>(peer);
    }

    void Deliver() {
        for (;;) {
            Message message;
            std::vector<RefPtr<ITransportNotify>> listeners;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !inbound_.empty(); });
                if (stopping_) return;
                message = std::move(inbound_.front());
                inbound_.pop_front();
                listeners = listeners_;
            }
            for (const RefPtr<ITransportNotify>& listener : listeners) {
                // Each listener reads its own copy, as from a real transport.
                RefPtr<IDataStream> data;
                NewDataStream(data.Receive());
                if (!message.bytes.empty()) {
                    data->WriteBytes(message.bytes.data(),
                                     static_cast<std::uint32_t>(message.bytes.size()));
                }
                listener->OnDataReady(message.connectionId, message.channelId, data.Get());
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::deque<Message> inbound_;
    std::vector<RefPtr<ITransportNotify>> listeners_;
    std::map<UUID, RefPtr<InMemoryTransport>> peers_;
    std::map<UUID, bool> notReady_;
    WriteObserver observer_;
    std::function<void()> readyObserver_;
    bool holdAll_ = false;
    Result writeResult_ = ResultOk;
    std::uint64_t readyQueries_ = 0;
    // Last: started once everything it uses exists.
    std::thread deliveryThread_;
};

}  // namespace brondal::testing
