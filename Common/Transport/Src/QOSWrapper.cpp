#include "QOSWrapper.h"

#include "DscpMarking.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "Scheduler.h"
#include "SocketTos.h"

namespace brondal {

namespace {

// Process-wide; never destroyed, so a connection closing during exit still finds it.
struct Marking {
    Scheduler::FastMutex* lock = GetScheduler().CreateFastMutex().release();
    // Handles and flows only identify a marking; nothing is held behind them.
    std::uintptr_t lastHandle = 0;
    std::uint32_t lastFlow = 0;
};

Marking& ProcessMarking() {
    static Marking* marking = new Marking();
    return *marking;
}

template <class T>
T NextIdentifier(T* last) {
    if (++*last == 0) ++*last;
    return *last;
}

}  // namespace

Result QOSWrapper::Initialize() {
    Marking& marking = ProcessMarking();
    // Marking needs no library here, so there is nothing to load or to fail; the lock only
    // keeps the call ordered with SetDSCP.
    FastLockGuard guard(*marking.lock);
    return ResultOk;
}

Result QOSWrapper::SetDSCP(int socket, State* state, std::uint32_t dscp) {
    if (!state) return ResultNullPointer;
    Marking& marking = ProcessMarking();
    FastLockGuard guard(*marking.lock);
    *state = State();
    const DscpMarkOutcome outcome =
        MarkDscp(dscp, [socket](int tos) { return platform::SetSocketTos(socket, tos); });
    if (outcome == DscpMarkOutcome::Refused) {
        return LOG_REPORT_ERROR(ResultSocketWriteFailed, "Unable to mark socket %d with DSCP %u",
                                socket, dscp);
    }
    state->handle = NextIdentifier(&marking.lastHandle);
    state->flow = NextIdentifier(&marking.lastFlow);
    LOG_SPEW(1, "Socket %d marked with DSCP %u, traffic type %u", socket, dscp,
             static_cast<unsigned>(TrafficTypeForDscp(dscp)));
    return ResultOk;
}

Result QOSWrapper::CleanupQos(int socket, const State& state) {
    if (state.flow != 0) {
        const int error = platform::SetSocketTos(socket, 0);
        if (error != 0) {
            return LOG_REPORT_ERROR(ResultFail, "Unable to clear DSCP marking. Error: %d", error);
        }
    }
    return ResultOk;
}

}  // namespace brondal
