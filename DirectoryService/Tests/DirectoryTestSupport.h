#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CorvaneDirectoryService.h"
#include "DirectoryProtocol.h"
#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "ITransport.h"
#include "NetworkTransportImpl.h"
#include "RefPtr.h"
#include "ReliableTransport.h"
#include "TcpSocket.h"
#include "Uuid.h"
#include "WaitFor.h"

namespace brondal::testing {

using corvane::DisplayRecord;
using corvane::server::CorvaneDirectoryService;

inline constexpr std::uint32_t Loopback = 0x7f000001;

// A port p on loopback such that nobody listens on p or p + 1 right now: the registry takes
// both. Another process may still take one before the registry binds; the window is short.
inline std::uint16_t FindFreePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int first = platform::TcpCreate();
        std::uint16_t port = 0;
        platform::TcpBind(first, Loopback, 0);
        platform::TcpGetLocal(first, nullptr, &port);
        const int second = platform::TcpCreate();
        const bool free =
            port != 0 && port != 0xffff &&
            platform::TcpBind(second, Loopback, static_cast<std::uint16_t>(port + 1)) == 0;
        platform::TcpClose(second);
        platform::TcpClose(first);
        if (free) return port;
    }
    return 0;
}

// A registry with its real threads on a free pair of loopback ports, or on port and the
// next one, which a registry released a moment ago may still be giving back. Null when
// the ports could not be had within ten seconds.
inline RefPtr<CorvaneDirectoryService> StartRegistry(std::uint16_t port = 0) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto registry = RefPtr<CorvaneDirectoryService>::Adopt(
            new CorvaneDirectoryService(port != 0 ? port : FindFreePortPair(), Loopback));
        if (Succeeded(registry->Initialize())) return registry;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
}

inline RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    return stream;
}

// The arguments of an update with the five values every display sends; a display that
// sends more appends them.
inline RefPtr<IDataStream> UpdateArguments(const UUID& id, const std::string& name = "Name") {
    RefPtr<IDataStream> args = NewStream();
    corvane::EncodeDisplayUpdate({id, name, "Second", 0x0a000001, 5000, {}, {}}, args.Get());
    return args;
}

// What is left to read in a stream.
inline std::vector<std::uint8_t> RemainingBytes(IDataStream* stream) {
    std::uint32_t size = 0;
    std::uint32_t position = 0;
    stream->GetSize(&size);
    stream->GetPosition(&position);
    std::vector<std::uint8_t> bytes(size - position);
    if (!bytes.empty()) stream->ReadBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
}

// One display batch as a client reads it, and whether it was the whole stream in the form
// asked for (the extended head on a batch with entries when extended).
struct Batch : corvane::DisplayBatch {
    bool fullyRead = false;
};

inline Batch ReadBatch(IDataStream* stream, bool extended) {
    Batch batch;
    if (Failed(corvane::DecodeDisplayBatch(stream, &batch))) return batch;
    batch.fullyRead =
        RemainingBytes(stream).empty() && batch.extended == (extended && !batch.entries.empty());
    return batch;
}
// The same from the bytes a BatchReceiver kept.
inline Batch ReadBatch(const std::vector<std::uint8_t>& bytes, bool extended) {
    RefPtr<IDataStream> stream = NewStream();
    stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return ReadBatch(stream.Get(), extended);
}

// The client's end of the display-batch callback: keeps every batch's bytes.
class BatchReceiver final : public IRpc::IStub, public IRefCountImpl {
public:
    struct Call {
        UUID connection;
        std::int32_t method;
        std::vector<std::uint8_t> arguments;
    };

    IRpc::ICallGuard* GetCallGuard() override { return nullptr; }
    Result ExecuteStub(IRpc*, UUID connectionId, const UUID&, std::int32_t method,
                       IDataStream* arguments, IDataStream*) override {
        Call call{connectionId, method, RemainingBytes(arguments)};
        signal_.Update([&] { calls_.push_back(std::move(call)); });
        // A slow subscriber: its reader (which delivers) takes this long per batch, so its
        // socket fills up and the service has to wait for it.
        if (delayMs != 0) GetScheduler().Sleep(delayMs);
        return ResultOk;
    }
    Result GetObjectId(UUID* id) override {
        *id = CorvaneDirectoryService::DirectoryObjectId;
        return ResultOk;
    }

    bool WaitCalls(std::size_t count, std::chrono::milliseconds timeout = Soon) {
        return signal_.WaitUntil([&] { return calls_.size() >= count; }, timeout);
    }
    std::vector<Call> Calls() {
        std::vector<Call> copy;
        signal_.Update([&] { copy = calls_; });
        return copy;
    }

    std::uint32_t delayMs = 0;

private:
    Signal signal_;
    std::vector<Call> calls_;
};

// A client of the directory on its own TCP transport: a request connection to the port, a
// callback connection to the next one, and an engine that answers the callbacks. A layered
// client runs both connections through its own reliable adapter, and may reach the two
// ports through relays.
class DirectoryClient {
public:
    explicit DirectoryClient(std::uint16_t port)
        : DirectoryClient(port, static_cast<std::uint16_t>(port + 1), false) {}
    DirectoryClient(std::uint16_t port, std::uint16_t callbackPort, bool layered) {
        if (layered) {
            CreateReliableTransport(0, 0, transport.Receive());
        } else {
            platform::CreateInstance(0, 0, transport.Receive());
        }
        transport->Initialize(false, true);
        if (layered) transport->EnableReliableDelivery();
        CreateRpc(rpc.Receive());
        rpc->Initialize(transport.Get(), 0);
        receiver = RefPtr<BatchReceiver>::Adopt(new BatchReceiver());
        rpc->AddStub(CorvaneDirectoryService::DirectoryObjectId, receiver.Get());
        opened = Succeeded(transport->OpenConnection(Loopback, port, &request, 10000)) &&
                 Succeeded(transport->OpenConnection(Loopback, callbackPort, &callback, 10000));
    }
    ~DirectoryClient() {
        rpc->Finalize();
        transport->Finalize();
    }

    // A request to the directory; the reply values are appended to reply.
    Result Call(std::int32_t method, IDataStream* arguments, IDataStream* reply) {
        return rpc->Execute(request, CorvaneDirectoryService::DirectoryObjectId, method, arguments,
                            reply, 20000);
    }
    Result Subscribe() {
        RefPtr<IDataStream> arguments = NewStream();
        corvane::EncodeSubscription(callback, arguments.Get());
        return Call(corvane::MethodAddNotify, arguments.Get(), NewStream().Get());
    }
    // Method 2; the version it answered, or nothing on a failure.
    Result RequestTable(bool extended, std::uint64_t knownVersion, std::uint64_t* version) {
        RefPtr<IDataStream> arguments = NewStream();
        corvane::EncodeEnumerationRequest(extended, knownVersion, arguments.Get());
        RefPtr<IDataStream> reply = NewStream();
        const Result result = Call(corvane::MethodRequestEnumeration, arguments.Get(), reply.Get());
        if (Succeeded(result)) corvane::DecodeEnumerationReply(reply.Get(), version);
        return result;
    }

    RefPtr<ITransport> transport;
    RefPtr<IRpc> rpc;
    RefPtr<BatchReceiver> receiver;
    UUID request;
    UUID callback;
    bool opened = false;
};

}  // namespace brondal::testing
