#include "SendPump.h"

#include <vector>

#include "Connection.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "SharedThread.h"
#include "TcpSocket.h"

namespace brondal {

SendPump::SendPump() : lock_(GetScheduler().CreateFastMutex()) {}

SendPump::~SendPump() { Shutdown(); }

Result SendPump::Initialize() {
    if (!poller_.IsValid()) {
        LOG_SEVERE("Unable to create the send poller. Error: %d", platform::LastSocketError());
        return ResultFail;
    }
    Start(Scheduler::Infinite);
    return ResultOk;
}

void SendPump::Shutdown() {
    stopped_.store(true);
    poller_.Wake();
    Stop();
    std::unordered_map<Connection*, RefPtr<Connection>> dropped;
    {
        FastLockGuard guard(*lock_);
        dropped.swap(watched_);
    }
    for (auto& [key, connection] : dropped)
        connection.Detach()->ReleaseDeferred();
}

bool SendPump::Watch(Connection* connection, int socket) {
    if (stopped_.load()) return false;
    {
        FastLockGuard guard(*lock_);
        if (stopped_.load()) return false;
        watched_.try_emplace(connection, RefPtr<Connection>(connection));
    }
    if (poller_.WatchWritable(socket, connection) != 0) {
        LOG_SEVERE("Unable to watch socket %d for sending. Error: %d", socket,
                   platform::LastSocketError());
        return false;
    }
    return true;
}

void SendPump::Forget(int socket) { poller_.Forget(socket); }

bool SendPump::ThreadFunc() {
    SharedThreadScope shared;
    std::vector<void*> ready;
    poller_.Wait(PassMs, &ready);
    if (stopped_.load()) return false;
    for (void* tag : ready) {
        RefPtr<Connection> connection;
        {
            FastLockGuard guard(*lock_);
            auto found = watched_.find(static_cast<Connection*>(tag));
            if (found != watched_.end()) connection = found->second;
        }
        if (connection) connection->OnRoomToSend();
    }
    Sweep();
    return true;
}

void SendPump::Sweep() {
    // Connections whose queue emptied (or that closed) are given back; the others are asked
    // about stalls. A connection that queues again after being taken out here simply puts
    // itself back (Watch always re-inserts), so none is lost between the two steps.
    std::vector<RefPtr<Connection>> live;
    std::vector<RefPtr<Connection>> done;
    {
        FastLockGuard guard(*lock_);
        for (auto it = watched_.begin(); it != watched_.end();) {
            if (it->second->HasQueuedOutput()) {
                live.push_back(it->second);
                ++it;
            } else {
                done.push_back(std::move(it->second));
                it = watched_.erase(it);
            }
        }
    }
    const std::int64_t now = GetScheduler().GetTickCount64();
    for (auto& connection : live) {
        connection->CheckOutputStall(now);
        connection.Detach()->ReleaseDeferred();
    }
    for (auto& connection : done)
        connection.Detach()->ReleaseDeferred();
}

}  // namespace brondal
