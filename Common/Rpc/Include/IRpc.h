#pragma once

#include <cstdint>

#include "IDataStream.h"
#include "IRefCount.h"
#include "ITransport.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal {

// Every RPC message travels under this channel, so that a transport can carry other
// traffic beside the calls; data under any other channel is not ours.
inline constexpr UUID RpcChannelId(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);

// Remote procedure calls over one transport, in both roles: Execute sends a call to an
// object on a connection (and waits for its response unless the time-out is 0); received
// calls are handed to the stub registered for their object, on the thread that delivered
// them, and answered on the same connection.
class IRpc : public virtual IRefCount {
public:
    // Non-zero time-outs below this are raised to it.
    static constexpr std::uint32_t MinimumTimeoutMs = 20000;

    // Lets a stub refuse calls, e.g. while the object it serves is shutting down. The
    // engine asks AdmitCall under its stub lock and releases the guard after the call.
    class ICallGuard : public virtual IRefCount {
    public:
        virtual bool AdmitCall() = 0;
    };

    // The server side of one object.
    class IStub : public virtual IRefCount {
    public:
        // A guard with a reference for the engine, or null for calls that are always
        // admitted. Called under the engine's stub lock: must not call back into the engine.
        virtual ICallGuard* GetCallGuard() = 0;
        // Runs one method: reads the arguments from the argument stream (positioned after
        // the request header) and writes the reply values. The result goes back to the
        // caller; on a failure the reply is not sent.
        [[nodiscard]] virtual Result ExecuteStub(IRpc* rpc, UUID connectionId, const UUID& objectId,
                                                 std::int32_t method, IDataStream* arguments,
                                                 IDataStream* reply) {
            (void)rpc, (void)connectionId, (void)objectId, (void)method, (void)arguments,
                (void)reply;
            return ResultNotImplemented;
        }
        [[nodiscard]] virtual Result GetObjectId(UUID* objectId) = 0;
    };

    // Binds the engine to a transport and registers it as a listener. reserved is unused.
    [[nodiscard]] virtual Result Initialize(ITransport* transport, std::int32_t reserved) = 0;
    [[nodiscard]] virtual Result Finalize() = 0;
    // Calls method (its low 16 bits go on the wire) of an object on a connection. The
    // response's reply bytes are appended to reply. timeoutMs 0: one-way, returns at once;
    // otherwise waits at least MinimumTimeoutMs, then fails with ResultRpcTimeout.
    [[nodiscard]] virtual Result Execute(UUID connectionId, const UUID& objectId,
                                         std::int32_t method, IDataStream* arguments,
                                         IDataStream* reply, std::uint32_t timeoutMs) = 0;
    [[nodiscard]] virtual Result AddStub(const UUID& objectId, IStub* stub) = 0;
    [[nodiscard]] virtual Result RemoveStub(const UUID& objectId) = 0;
    // Hands out the transport with a reference for the caller.
    [[nodiscard]] virtual Result GetTransport(ITransport** transport) = 0;
};

// A new, unbound engine with one reference for the caller.
[[nodiscard]] Result CreateRpc(IRpc** rpc);

}  // namespace brondal
