#include "ReceiveLoop.h"

#include <vector>

#include "Connection.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "SharedThread.h"
#include "TcpSocket.h"

namespace brondal {

namespace {

std::int64_t MonotonicMs() { return GetScheduler().GetTickCount64(); }

// The loop whose thread this is, if any.
thread_local const ReceiveLoop* currentLoop = nullptr;

}  // namespace

ReceiveLoop::ReceiveLoop() : lock_(GetScheduler().CreateFastMutex()) {}

ReceiveLoop::~ReceiveLoop() { Shutdown(); }

bool ReceiveLoop::Add(Connection* connection, int socket) {
    if (stopped_.load() || !poller_.IsValid()) return false;
    {
        FastLockGuard guard(*lock_);
        if (stopped_.load()) return false;
        members_.insert(connection);
    }
    if (poller_.WatchReadable(socket, connection) != 0) {
        LOG_SEVERE("Unable to watch socket %d for reading. Error: %d", socket,
                   platform::LastSocketError());
        FastLockGuard guard(*lock_);
        members_.erase(connection);
        return false;
    }
    if (!started_.exchange(true)) Start(Scheduler::Infinite);
    return true;
}

void ReceiveLoop::Forget(int socket) { poller_.Forget(socket); }

bool ReceiveLoop::Resume(Connection* connection, int socket) {
    if (stopped_.load() || poller_.WatchReadable(socket, connection) != 0) return false;
    {
        FastLockGuard guard(*lock_);
        kicked_.push_back(connection);
    }
    poller_.Wake();
    return true;
}

void ReceiveLoop::Remove(Connection* connection) {
    FastLockGuard guard(*lock_);
    members_.erase(connection);
}

std::size_t ReceiveLoop::MemberCount() {
    FastLockGuard guard(*lock_);
    return members_.size();
}

void ReceiveLoop::Shutdown() {
    stopped_.store(true);
    poller_.Wake();
    Stop();
    // Passes left over for the next round give their references back.
    for (Connection* connection : again_) {
        connection->loopQueued_ = false;
        connection->ReleaseDeferred();
    }
    again_.clear();
}

void ReceiveLoop::Acquire(const std::vector<void*>& tags, std::vector<Connection*>* taken) {
    FastLockGuard guard(*lock_);
    for (void* tag : tags) {
        auto* connection = static_cast<Connection*>(tag);
        // A tag may outlive its connection by one wait (the socket closed after the wait
        // returned it); only a member that is not going away is served.
        if (members_.count(connection) == 0) continue;
        // One left over from the last round, or reported twice, is in the list already.
        if (connection->loopQueued_) continue;
        if (connection->TryAddRef() == 0) continue;
        connection->loopQueued_ = true;
        taken->push_back(connection);
    }
}

void ReceiveLoop::Tick() {
    std::vector<Connection*> taken;
    {
        FastLockGuard guard(*lock_);
        taken.reserve(members_.size());
        for (Connection* connection : members_) {
            if (connection->TryAddRef() != 0) taken.push_back(connection);
        }
    }
    for (Connection* connection : taken) {
        connection->LoopTick();
        connection->ReleaseDeferred();
    }
}

bool ReceiveLoop::IsLoopThread() const { return currentLoop == this; }

bool ReceiveLoop::ThreadFunc() {
    SharedThreadScope shared;
    currentLoop = this;
    std::vector<void*>& tags = tags_;
    tags.clear();
    // With frames left over from the last round, only a look at the sockets: those frames
    // are ready now.
    const std::int64_t now = MonotonicMs();
    const std::int64_t untilTick = lastTickMs_ + TickMs - now;
    const std::int32_t wait =
        again_.empty() ? static_cast<std::int32_t>(std::max<std::int64_t>(0, untilTick)) : 0;
    if (poller_.Wait(wait, &tags) < 0) {
        LOG_SEVERE("Receive loop wait failed. Error: %d", platform::LastSocketError());
        GetScheduler().Sleep(TickMs);
    }
    if (stopped_.load()) return false;
    {
        FastLockGuard guard(*lock_);
        tags.insert(tags.end(), kicked_.begin(), kicked_.end());
        kicked_.clear();
    }
    // The leftovers become this round's list; again_ takes the last round's storage.
    std::vector<Connection*>& ready = ready_;
    ready.clear();
    ready.swap(again_);
    Acquire(tags, &ready);
    for (Connection* connection : ready) {
        connection->loopQueued_ = false;
        if (connection->LoopPass()) {
            connection->loopQueued_ = true;
            again_.push_back(connection);
            continue;
        }
        connection->ReleaseDeferred();
    }
    if (MonotonicMs() - lastTickMs_ >= TickMs) {
        lastTickMs_ = MonotonicMs();
        Tick();
    }
    return true;
}

}  // namespace brondal
