#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "IRefCountImpl.h"
#include "IRpc.h"
#include "ITransport.h"
#include "InMemoryTransport.h"
#include "NetworkTransportImpl.h"
#include "RefPtr.h"
#include "TcpSocket.h"
#include "Uuid.h"
#include "WaitFor.h"

namespace brondal::testing {

// Two transports joined by one connection that both ends name alike. The engine tests run
// over any such link: a test over another transport (e.g. TCP on loopback) only needs a
// factory of its own and one more INSTANTIATE_TEST_SUITE_P.
struct RpcLink {
    RefPtr<ITransport> client;
    RefPtr<ITransport> server;
    UUID connectionId;
    // Stops delivery on both ends before the transports are released.
    std::function<void()> shutdown;
};

using RpcLinkFactory = RpcLink (*)();

inline RpcLink MakeInMemoryLink() {
    RefPtr<InMemoryTransport> client = InMemoryTransport::Create();
    RefPtr<InMemoryTransport> server = InMemoryTransport::Create();
    const UUID id = InMemoryTransport::Connect(client.Get(), server.Get());
    return {client, server, id, [client, server] {
                client->Shutdown();
                server->Shutdown();
            }};
}

// The same over the TCP transport on loopback: a listening server and a client that opens
// one connection to it.
inline RpcLink MakeTcpLink() {
    RefPtr<ITransport> server, client;
    std::uint16_t port = 0;
    // A port nobody listens on now; another process may take it before we bind, so try a
    // few.
    for (int attempt = 0; attempt < 5 && !server; ++attempt) {
        int probe = platform::TcpCreate();
        platform::TcpSetReuseAddress(probe);
        platform::TcpBind(probe, 0x7f000001, 0);
        platform::TcpGetLocal(probe, nullptr, &port);
        platform::TcpClose(probe);
        platform::CreateInstance(0x7f000001, port, server.Receive());
        if (Failed(server->Initialize(false, true))) server.Reset();
    }
    platform::CreateInstance(0, 0, client.Receive());
    client->Initialize(false, true);
    UUID id;
    client->OpenConnection(0x7f000001, port, &id, 10000);
    // The accepting side files the connection on its manager thread; answers written before
    // that would find no connection.
    PollUntil([&] {
        std::uint32_t connections = 0;
        server->GetStatistics(&connections);
        return connections == 1;
    });
    return {client, server, id, [client, server] {
                client->Finalize();
                server->Finalize();
            }};
}

// A stub whose methods cover the engine's cases; counts its calls.
class TestStub : public IRpc::IStub, public IRefCountImpl {
public:
    enum Method : std::int32_t {
        Echo = 1,            // replies with its string argument
        FailAfterWrite = 2,  // writes a reply, then fails with ResultInvalidArgument
        Count = 3,           // replies nothing
    };

    explicit TestStub(UUID objectId) : objectId_(objectId) {}

    IRpc::ICallGuard* GetCallGuard() override {
        if (guard_) guard_->AddRef();
        return guard_.Get();
    }
    Result ExecuteStub(IRpc*, UUID connectionId, const UUID& objectId, std::int32_t method,
                       IDataStream* arguments, IDataStream* reply) override {
        lastConnection_ = connectionId;
        lastObject_ = objectId;
        ++calls_;
        switch (method) {
            case Echo: {
                std::string text;
                if (Failed(arguments->ReadString(&text))) return ResultInvalidArgument;
                return reply->WriteString(text);
            }
            case FailAfterWrite:
                reply->WriteUInt32(0xdeadbeef);
                return ResultInvalidArgument;
            case Count:
                return ResultOk;
            default:
                return IStub::ExecuteStub(nullptr, connectionId, objectId, method, arguments,
                                          reply);
        }
    }
    Result GetObjectId(UUID* objectId) override {
        *objectId = objectId_;
        return ResultOk;
    }

    void SetGuard(IRpc::ICallGuard* guard) { guard_ = RefPtr<IRpc::ICallGuard>(guard); }
    int Calls() const { return calls_.load(); }
    UUID LastConnection() const { return lastConnection_; }
    UUID LastObject() const { return lastObject_; }

private:
    const UUID objectId_;
    RefPtr<IRpc::ICallGuard> guard_;
    std::atomic<int> calls_{0};
    // Written on the delivering thread; read by tests after the call's reply arrived.
    UUID lastConnection_;
    UUID lastObject_;
};

}  // namespace brondal::testing
