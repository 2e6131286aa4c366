#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>

#include "IRefCountImpl.h"
#include "Scheduler.h"
#include "SocketPoller.h"
#include "Thread.h"

namespace brondal {

class Connection;

// Reads many connections from one thread: the reader of every plain binary connection of a
// transport that delivers on its readers (the request path), instead of a thread each. A
// thread per connection costs a wake-up and two context switches per request, which on a
// small machine is most of what a request costs; a loop that finds several connections ready
// serves them all in one wake-up.
//
// Each connection belongs to one loop for its whole life (the transport spreads them over
// its loops), so its frames are read and delivered in order on one thread, exactly as its
// own reader would. Its socket is non-blocking and its reads never wait (see
// SocketByteSource::SetReadWaitMs): a peer that sends half a frame costs the loop nothing
// until the rest arrives. A loop thread serves many peers (SharedThreadScope), so writes made
// while delivering never wait on a peer either; whatever a listener does on it holds up the
// loop's other connections, which is why only transports whose listeners answer at once
// (the RPC engine, the adapter) use loops, and encrypted connections (whose handshake and
// reads wait) keep a thread of their own.
//
// Every TickMs the loop also runs each member's tick, which counts keep-alive silence as a
// reader's timed wait would.
//
// Lifetime: members are held by plain pointer. A member is taken for a pass only through
// TryAddRef under the loop's lock, and its destructor removes it under that lock, so a pass
// never reaches a connection that is going away. The transport and each member hold a
// reference; one dropped on the loop's own thread (a Finalize run by a listener) goes through
// the deletion thread, since the loop thread must not join itself.
//
// Lock order: a connection's write lock, then this loop's lock. The loop calls into
// connections only without its lock.
class ReceiveLoop final : public Thread, public IRefCountImpl {
public:
    static constexpr std::int32_t TickMs = 100;
    // Frames taken from one connection before the loop turns to the others; the rest waits
    // in that connection's buffer for the next round.
    static constexpr int FramesPerTurn = 16;

    ReceiveLoop();
    ~ReceiveLoop() override;

    // False when the system refused the poller's descriptors.
    bool IsValid() const { return poller_.IsValid(); }
    // With the connection's write lock held, once its socket is non-blocking: the loop reads
    // it from now on (its thread starts with the first member). False when the loop has
    // stopped or cannot watch the socket; the connection then needs a reader of its own.
    bool Add(Connection* connection, int socket);
    // With the write lock, just before the socket closes, or while the connection's reading
    // is paused.
    void Forget(int socket);
    // With the write lock: reading resumes after a pause. A pass runs at once, since whole
    // frames may wait in the connection's buffer with nothing new on the socket.
    bool Resume(Connection* connection, int socket);
    // From the member's destructor: no pass or tick reaches it after this returns.
    void Remove(Connection* connection);
    std::size_t MemberCount();
    // Ends the thread; members stay until their destructors remove them, unread.
    void Shutdown();
    // Whether the calling thread is this loop's own (which must not drop its last reference).
    bool IsLoopThread() const;

    bool ThreadFunc() override;

private:
    // The members behind the tags, each with a reference for the caller (none that are
    // going away).
    void Acquire(const std::vector<void*>& tags, std::vector<Connection*>* taken);
    void Tick();

    platform::SocketPoller poller_;
    std::unique_ptr<Scheduler::FastMutex> lock_;
    // Under lock_.
    std::unordered_set<Connection*> members_;
    // Members to pass at the next round whatever their sockets say.
    std::vector<void*> kicked_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> started_{false};
    // The loop thread's own: members with whole frames left in their buffers, and when the
    // last tick ran (monotonic ms).
    std::vector<Connection*> again_;
    std::int64_t lastTickMs_ = 0;
    // The loop thread's scratch lists of one round (the tags a wait reported, the members
    // served), kept between rounds so that a round allocates nothing once they have grown
    // to the loop's size.
    std::vector<void*> tags_;
    std::vector<Connection*> ready_;
};

}  // namespace brondal
