#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "IDataStream.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "ResultCodes.h"
#include "Uuid.h"

namespace brondal::corvane::client {

// Keeps one call in flight on each of many connections of one transport, with no thread
// waiting on any of them: the delivery of a response writes that connection's next call
// (the same message each time, encoded once). This is how the load tool measures what the
// service serves, not what a thread per caller costs the machine the load runs on: a key
// store's own benchmark drives its clients the same way, from one event loop.
//
// Each response is checked (its call identifier and a successful result) before the next
// call goes; a failure ends the run with that result.
//
// Threads: Run is called by one thread; deliveries come on the transport's readers, one
// connection at a time each. A connection's slot is touched by its delivery only, and the
// collecting thread reads the slots after every one of them has finished (the counter of
// connections still running, under the lock, orders that).
class CallDriver final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    struct Figures {
        std::uint64_t calls = 0;
        // Round trips (ns) of the calls made within the measured window.
        std::vector<std::uint64_t> latencies;
    };

    // transport: initialised, delivering on its readers, with the connections open.
    CallDriver(ITransport* transport, std::vector<UUID> connections);

    // The call to repeat on connection i: method of object with these arguments.
    [[nodiscard]] Result SetCall(std::size_t i, const UUID& object, std::int32_t method,
                                 IDataStream* arguments);
    // Calls for warmUp, then measures for duration; the first failure, or ResultOk with the
    // calls that both started and ended inside the measured window. Waits at most
    // settleBound for the calls still in flight at the end.
    [[nodiscard]] Result Run(std::chrono::milliseconds warmUp, std::chrono::milliseconds duration,
                             std::chrono::milliseconds settleBound, Figures* figures);

    Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override;
    Result OnEvent(UUID connectionId, std::int32_t event) override;

private:
    using Clock = std::chrono::steady_clock;

    struct Slot {
        UUID connection;
        UUID callId;
        RefPtr<IDataStream> message;
        // When the call in flight went (steady clock, ns): written by whichever thread
        // sends it, read by the delivery of its response.
        std::atomic<std::int64_t> sentNs{0};
        // Set once, by whoever ends the slot (its last response, its failure, its loss).
        std::atomic<bool> done{false};
        std::uint64_t calls = 0;
        std::vector<std::uint64_t> latencies;
    };

    // Sends the slot's call; on failure records it and ends the slot.
    void Send(Slot& slot);
    void Finish(Slot& slot, Result failure);

    ITransport* transport_;
    // Fixed in size at construction (a slot holds atomics and does not move).
    std::vector<Slot> slots_;
    std::unordered_map<UUID, std::size_t> byConnection_;
    // Set before the first call goes and read by deliveries: the window and the end.
    std::atomic<std::int64_t> measureFromNs_{0};
    std::atomic<std::int64_t> endNs_{0};
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable finished_;
    // Under lock_.
    std::size_t running_ = 0;
    Result failure_ = ResultOk;
};

}  // namespace brondal::corvane::client
