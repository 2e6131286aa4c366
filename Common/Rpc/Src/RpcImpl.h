#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "CallContext.h"
#include "IRefCountImpl.h"
#include "IRpc.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"

namespace brondal {

// The RPC engine over one transport.
//
// Locks: the transport lock, the call lock and the stub lock are never held together, and
// none is held while calling the transport or a stub (except GetCallGuard and AdmitCall,
// which run under the stub lock).
class RpcImpl final : public IRpc, public ITransport::ITransportNotify, public IRefCountImpl {
public:
    // A waiting caller looks at the scheduler's clock at least this often, so that the
    // time-out follows the scheduler's clock rather than the event's own timer.
    static constexpr std::uint32_t WaitSliceMs = 100;

    RpcImpl();

    [[nodiscard]] Result Initialize(ITransport* transport, std::int32_t reserved) override;
    [[nodiscard]] Result Finalize() override;
    [[nodiscard]] Result Execute(UUID connectionId, const UUID& objectId, std::int32_t method,
                                 IDataStream* arguments, IDataStream* reply,
                                 std::uint32_t timeoutMs) override;
    [[nodiscard]] Result AddStub(const UUID& objectId, IStub* stub) override;
    [[nodiscard]] Result RemoveStub(const UUID& objectId) override;
    [[nodiscard]] Result GetTransport(ITransport** transport) override;

    [[nodiscard]] Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override;
    [[nodiscard]] Result OnEvent(UUID connectionId, std::int32_t event) override;

private:
    // An engine released without Finalize still leaves its transport's listener list: the
    // transport holds listeners by plain pointer.
    ~RpcImpl() override;

    RefPtr<ITransport> CurrentTransport();
    // Waits for the call's response for up to timeoutMs by the scheduler's clock.
    bool WaitForResponse(CallContext* call, std::uint32_t timeoutMs);
    // Takes the call out of the pending calls; false when it was no longer there.
    bool RemoveCall(const UUID& callId);
    [[nodiscard]] Result OnResponse(IDataStream* data);
    [[nodiscard]] Result OnRequest(UUID connectionId, std::uint8_t kind, IDataStream* data);

    std::unique_ptr<Scheduler::FastMutex> transportLock_;
    RefPtr<ITransport> transport_;

    std::unique_ptr<Scheduler::FastMutex> callLock_;
    std::map<UUID, RefPtr<CallContext>> pendingCalls_;

    std::unique_ptr<Scheduler::FastMutex> stubLock_;
    std::map<UUID, RefPtr<IStub>> stubs_;
};

}  // namespace brondal
