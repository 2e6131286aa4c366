#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "IRefCountImpl.h"
#include "IRpc.h"
#include "RefPtr.h"
#include "ReliableTransport.h"
#include "TcpSocket.h"
#include "Uuid.h"
#include "UuidStream.h"
#include "WaitFor.h"

namespace brondal::corvane::client::testing {

// A stand-in for the directory service on loopback: the request and callback ports, an
// engine on each, methods 0, 2 and 4 with the service's answers, and batches of at most
// `batchSize` displays written here byte by byte (not with the client's own encoder).
class FakeDirectoryService {
public:
    struct Display {
        std::string name, secondary;
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        std::uint32_t tag = 1;
        std::string extra;
    };

    // port 0: two free consecutive ports of this moment.
    explicit FakeDirectoryService(std::uint16_t port = 0) {
        for (int attempt = 0; attempt < 20 && !requestTransport_; ++attempt) {
            port_ = port != 0 ? port : FreePortPair();
            if (!Listen(port_, requestTransport_) || !Listen(port_ + 1, callbackTransport_)) {
                requestTransport_.Reset();
                callbackTransport_.Reset();
            }
        }
        CreateRpc(rpc_.Receive());
        rpc_->Initialize(requestTransport_.Get(), 0);
        CreateRpc(callbackRpc_.Receive());
        callbackRpc_->Initialize(callbackTransport_.Get(), 0);
        stub_ = RefPtr<Stub>::Adopt(new Stub(this));
        rpc_->AddStub(UUID("a0a14dd0-daad-11e3-9c1a-0800200c9a66"), stub_.Get());
    }

    ~FakeDirectoryService() { Stop(); }

    // Closes both ports and every connection, as a service that goes away.
    void Stop() {
        if (!rpc_) return;
        rpc_->Finalize();
        callbackRpc_->Finalize();
        requestTransport_->Finalize();
        callbackTransport_->Finalize();
        stub_->Detach();
        rpc_.Reset();
        callbackRpc_.Reset();
        requestTransport_.Reset();
        callbackTransport_.Reset();
    }

    bool Ok() const { return static_cast<bool>(requestTransport_); }
    std::uint16_t Port() const { return port_; }

    std::size_t DisplayCount() {
        std::lock_guard lock(mutex_);
        return displays_.size();
    }
    std::map<std::string, Display> Displays() {
        std::lock_guard lock(mutex_);
        return displays_;
    }
    std::uint64_t Version() {
        std::lock_guard lock(mutex_);
        return version_;
    }
    int Enumerations() const { return enumerations_.load(); }

    // Later updates fail with this result (0: they succeed again).
    void FailUpdatesWith(Result result) { updateFailure_ = result; }
    void SetBatchSize(std::uint32_t size) { batchSize_ = size; }

private:
    class Stub final : public IRpc::IStub, public IRefCountImpl {
    public:
        explicit Stub(FakeDirectoryService* owner) : owner_(owner) {}
        IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
        Result GetObjectId(UUID* id) override {
            *id = UUID();
            return ResultOk;
        }
        Result ExecuteStub(IRpc*, UUID connection, const UUID&, std::int32_t method,
                           IDataStream* arguments, IDataStream* reply) override {
            std::lock_guard lock(mutex_);
            return owner_ ? owner_->Execute(connection, method, arguments, reply) : ResultFail;
        }
        void Detach() {
            std::lock_guard lock(mutex_);
            owner_ = nullptr;
        }

    private:
        std::mutex mutex_;
        FakeDirectoryService* owner_;
    };

    static std::uint16_t FreePortPair() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            std::uint16_t port = 0;
            const int probe = platform::TcpCreate();
            platform::TcpBind(probe, 0x7f000001, 0);
            platform::TcpGetLocal(probe, nullptr, &port);
            platform::TcpClose(probe);
            const int next = platform::TcpCreate();
            const bool free = port < 65535 && platform::TcpBind(next, 0x7f000001, port + 1) == 0;
            platform::TcpClose(next);
            if (free) return port;
        }
        return 0;
    }

    static bool Listen(std::uint16_t port, RefPtr<ITransport>& transport) {
        if (Failed(CreateReliableTransport(0x7f000001, port, transport.Receive()))) return false;
        return Succeeded(transport->Initialize(true, true));
    }

    Result Execute(const UUID& connection, std::int32_t method, IDataStream* arguments,
                   IDataStream* reply) {
        switch (method) {
            case 0: {
                UUID callback;
                DeserializeUuid(arguments, &callback);
                std::lock_guard lock(mutex_);
                subscribers_.emplace(connection, callback);
                return ResultOk;
            }
            case 2: {
                bool extended = false;
                std::uint64_t known = 0;
                arguments->ReadBool(&extended);
                arguments->ReadUInt64(&known);
                return Enumerate(connection, extended, known, reply);
            }
            case 4:
                return Update(arguments);
            default:
                return ResultOk;
        }
    }

    Result Update(IDataStream* arguments) {
        UUID id;
        std::uint8_t raw[16];
        Display display;
        std::uint32_t start = 0;
        arguments->GetPosition(&start);
        Result result = arguments->ReadBytes(raw, 16);
        if (Succeeded(result)) {
            arguments->SetPosition(start);
            DeserializeUuid(arguments, &id);
            result = arguments->ReadString(&display.name);
        }
        if (Succeeded(result)) result = arguments->ReadString(&display.secondary);
        if (Succeeded(result)) result = arguments->ReadUInt32(&display.address);
        if (Succeeded(result)) result = arguments->ReadUInt16(&display.port);
        if (Failed(result)) return result;
        if (Failed(arguments->ReadUInt32(&display.tag))) display.tag = 1;
        arguments->ReadString(&display.extra);
        if (Failed(updateFailure_.load())) return updateFailure_.load();
        std::lock_guard lock(mutex_);
        displays_[id.ToString()] = display;
        ++version_;
        return ResultOk;
    }

    Result Enumerate(const UUID& connection, bool extended, std::uint64_t known,
                     IDataStream* reply) {
        std::unique_lock lock(mutex_);
        if (known != 0 && known == version_) return reply->WriteUInt64(known);
        const auto subscriber = subscribers_.find(connection);
        if (subscriber == subscribers_.end()) return ResultFail;
        ++enumerations_;
        const UUID destination = subscriber->second;
        const std::uint64_t version = version_;
        std::vector<RefPtr<IDataStream>> batches;
        auto next = displays_.begin();
        do {
            RefPtr<IDataStream> batch;
            NewDataStream(batch.Receive());
            const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(
                batchSize_, static_cast<std::size_t>(std::distance(next, displays_.end()))));
            if (extended && count > 0) {
                batch->WriteBytes("70c61d80-58b3-4b56-822a-35ed79be5840", 36);
                batch->WriteUInt16(1);
            }
            batch->WriteUInt32(count);
            for (std::uint32_t i = 0; i < count; ++i, ++next) {
                SerializeUuid(batch.Get(), UUID(next->first));
                batch->WriteString(next->second.secondary);
                batch->WriteString(next->second.name);
                batch->WriteUInt32(next->second.address);
                batch->WriteUInt16(next->second.port);
                batch->WriteUInt32(next->second.tag);
                if (extended) batch->WriteString(next->second.extra);
            }
            batch->WriteBool(next == displays_.end());
            batches.push_back(batch);
        } while (next != displays_.end());
        lock.unlock();
        // The accepting side files a new connection on its manager thread: a request that
        // follows the connect closely may find the callback connection not there yet.
        brondal::testing::PollUntil([&] {
            bool ready = false;
            return Succeeded(callbackTransport_->ConnectionReadyForWrite(destination, &ready)) &&
                   ready;
        });
        for (const auto& batch : batches) {
            RefPtr<IDataStream> empty;
            NewDataStream(empty.Receive());
            callbackRpc_->Execute(destination, UUID("a0a14dd0-daad-11e3-9c1a-0800200c9a66"), 0,
                                  batch.Get(), empty.Get(), 0);
        }
        return reply->WriteUInt64(version);
    }

    std::uint16_t port_ = 0;
    RefPtr<ITransport> requestTransport_, callbackTransport_;
    RefPtr<IRpc> rpc_, callbackRpc_;
    RefPtr<Stub> stub_;
    std::mutex mutex_;
    std::map<UUID, UUID> subscribers_;
    std::map<std::string, Display> displays_;
    std::uint64_t version_ = 0;
    std::atomic<int> enumerations_{0};
    std::atomic<Result> updateFailure_{ResultOk};
    std::atomic<std::uint32_t> batchSize_{1000};
};

}  // namespace brondal::corvane::client::testing
