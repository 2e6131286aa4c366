#pragma once

#include <cstdint>
#include <memory>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "RefPtr.h"
#include "ResultCodes.h"
#include "Scheduler.h"
#include "Uuid.h"

namespace brondal {

// One outgoing call waiting for its response. Whoever takes the context out of the
// engine's pending calls owns its completion: the delivering thread when a response
// arrives (it then fills result and reply and sets done), or the caller when it gives up.
// So result and reply are written by at most one thread, and never after the caller has
// returned.
class CallContext final : public IRefCountImpl {
public:
    explicit CallContext(IDataStream* reply);

    const UUID& CallId() const { return callId_; }
    IDataStream* Reply() const { return reply_.Get(); }
    [[nodiscard]] Result GetResult() const { return result_; }
    void SetResult(Result result) { result_ = result; }
    Scheduler::Event& Done() { return *done_; }

private:
    ~CallContext() override = default;

    UUID callId_;
    // Published to the caller through done.
    Result result_ = ResultOk;
    RefPtr<IDataStream> reply_;
    std::unique_ptr<Scheduler::Event> done_;
};

}  // namespace brondal
