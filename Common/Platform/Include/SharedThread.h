#pragma once

namespace brondal {

// Marks the calling thread, for the scope's life, as one that serves many peers: a
// transport's delivering thread and connection manager, the callback thread, the adapter's
// timer. Such a thread must never wait on one peer (for socket buffer space, a flow-control
// window or a reconnect): whatever a peer cannot take now is queued, within a bound, and
// sent when it can; a peer past the bound is disconnected. Any other thread (a caller's
// own) may wait for room, within its write time-out, which is how a bulk sender is held
// back by a slow reader.
//
// Scopes nest; the mark is per thread and costs one thread-local counter.
class SharedThreadScope {
public:
    SharedThreadScope();
    ~SharedThreadScope();
    SharedThreadScope(const SharedThreadScope&) = delete;
    SharedThreadScope& operator=(const SharedThreadScope&) = delete;
};

// True on a thread inside a SharedThreadScope: writes made on it must not wait on a peer.
bool IsSharedThread();

}  // namespace brondal
