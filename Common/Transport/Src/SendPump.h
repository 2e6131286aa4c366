#pragma once

#include <atomic>
#include <memory>
#include <unordered_map>

#include "IRefCountImpl.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "SocketPoller.h"
#include "Thread.h"

namespace brondal {

class Connection;

// Sends the queued output of a transport's connections when their sockets have room again:
// the one thread per transport that waits on slow peers, so that no thread serving many
// peers has to (see Connection). It watches only the sockets that have output queued, and
// every pass (at least every PassMs) also asks each of them whether its output has stalled
// for longer than the write time-out.
//
// Lifetime: a connection with queued output is held here by a counted reference until its
// queue is empty or it closed, then given back through the deletion thread (a connection must
// not be destroyed on a thread it may call into). Stop, run by the transport's Finalize,
// gives every reference back; a connection that queues output after that is refused.
//
// Lock order: a connection's write lock, then this object's lock. The pump never takes a
// connection's write lock while holding its own.
class SendPump final : public Thread, public IRefCountImpl {
public:
    static constexpr std::int32_t PassMs = 100;

    SendPump();
    ~SendPump() override;

    // Starts the thread; ResultFail when the system refused the poller's descriptors.
    Result Initialize();
    void Shutdown();

    // With the connection's write lock held. Watch: the connection has just queued output
    // on socket, or still has some after a flush; false once the pump has stopped. Forget:
    // the socket is about to close, or its queue is empty.
    bool Watch(Connection* connection, int socket);
    void Forget(int socket);

    bool ThreadFunc() override;

private:
    void Sweep();

    platform::SocketPoller poller_;
    std::unique_ptr<Scheduler::FastMutex> lock_;
    // Under lock_: the connections with queued output.
    std::unordered_map<Connection*, RefPtr<Connection>> watched_;
    std::atomic<bool> stopped_{false};
};

}  // namespace brondal
