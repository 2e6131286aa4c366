#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace brondal::platform {

// Waits for many sockets at once to have room for sending (or, in a poller of the other
// kind, bytes to read), plus a wake-up that any thread may trigger. A socket watched for
// sending is reported once (it must be watched again after it was reported), so that a
// socket whose queue the caller is still draining is not reported over and over. Each watched
// socket carries a tag the caller chooses; the poller never dereferences it.
//
// Costs two descriptors in all, however many sockets are watched: a process with many
// thousands of connections must not spend a descriptor per connection on this.
//
// Thread safety: Watch, Forget and Wake may be called from any thread, also while another
// thread is inside Wait. A caller must Forget a socket before closing it, under the same
// lock that guards the close, so that a reused descriptor number is never reported with an
// old tag.
class SocketPoller {
public:
    SocketPoller();
    ~SocketPoller();
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    // False when the system refused the descriptors; nothing else works then.
    bool IsValid() const;
    // Reports the socket (once) when it has room to send, or has failed or hung up. 0, or
    // -1 with LastSocketError.
    int WatchWritable(int socket, void* tag);
    // Reports the socket at every Wait while it has bytes to read, or has failed or hung up,
    // until it is forgotten (no re-arming: one caller thread drains it before it waits again).
    // A poller is used for one of the two kinds of watch, never both. 0, or -1 with
    // LastSocketError.
    int WatchReadable(int socket, void* tag);
    int Forget(int socket);
    // Ends a Wait in progress (or the next one) early.
    void Wake();
    // Waits up to timeoutMs (negative: without limit) and appends the tags of the sockets
    // that became ready. The number of tags appended (0 after a time-out or a wake-up), or
    // -1 when the wait itself failed.
    int Wait(std::int32_t timeoutMs, std::vector<void*>* ready);

private:
    int poll_ = -1;
    int wake_ = -1;
#ifdef _WIN32
    // Winsock has no readiness queue: the watched sockets are kept here and polled as one
    // list, and the wake-up is a datagram socket that sends to itself.
    struct Watched;
    std::unique_ptr<Watched> watched_;
#endif
};

}  // namespace brondal::platform
