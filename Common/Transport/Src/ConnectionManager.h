#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

#include "ExecutionQueue.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "Thread.h"

namespace brondal {

class Connection;

// The one owner of a transport's connection table. Every operation that looks a connection
// up, changes it or removes it runs as a queued call on the manager's own thread, so the
// table needs no lock and no operation races with a removal. A binary write looks the
// connection's writer up that way and then writes on the caller's thread: the manager's
// thread serves every connection and never waits on one peer's socket. Callers that need a result
// wait on an event of their own; the manager's thread never waits for a caller.
//
// The manager's thread also sweeps idle connections (when purging is enabled) on passes
// that a queued call triggers.
class ConnectionManager final : public Thread,
                                public ExecutionQueue,
                                public ExecutionQueue::IStub,
                                public IRefCountImpl {
public:
    static constexpr std::int64_t PurgeSweepIntervalMs = 30000;
    static constexpr std::uint32_t DefaultWriteTimeoutMs = 10000;

    ConnectionManager();
    ~ConnectionManager() override;

    [[nodiscard]] Result Initialize();

    // Waits: the connection is in the table when it returns.
    [[nodiscard]] Result AddConnection(Connection* connection);
    [[nodiscard]] Result SetKeepAlive(const UUID& connectionId, std::uint32_t intervalMs,
                                      std::uint32_t timeoutMs);
    // Queued; runs after every call queued before it.
    [[nodiscard]] Result DeleteConnection(const UUID& connectionId);
    [[nodiscard]] Result DeleteAllConnections();
    bool ConnectionReadyForWrite(const UUID& connectionId);
    [[nodiscard]] Result Write(const UUID& connectionId, const UUID& channelId, IDataStream* data);
    // Queued; the outcome is kept for the next text write rather than returned.
    [[nodiscard]] Result WriteText(const UUID& connectionId, IDataStream* data);
    [[nodiscard]] Result WriteTextSynchronous(const UUID& connectionId, IDataStream* data);
    Result GetPeerIpv4(const UUID& connectionId, std::uint32_t* address, std::uint16_t* port);
    [[nodiscard]] Result SetConnectionSocketDscp(const UUID& connectionId, std::uint32_t dscp);
    [[nodiscard]] Result CreateWriter(const UUID& connectionId,
                                      ITransportFastWrite::IWriter** writer);
    Result GetLocalIpv4(const UUID& connectionId, std::uint32_t* address);

    void SetPurgeEnabled(bool enabled) { purgeEnabled_.store(enabled); }
    void SetWriteTimeout(std::uint32_t ms) { writeTimeoutMs_.store(ms); }
    std::uint32_t GetWriteTimeout() const { return writeTimeoutMs_.load(); }
    std::uint32_t GetConnectionCount() const { return connectionCount_.load(); }

    [[nodiscard]] Result ExecuteStub(const UUID& object, std::int32_t method,
                                     IDataStream* arguments, IDataStream* reply) override;
    bool ThreadFunc() override;

private:
    enum Method : std::int32_t {
        MethodAddConnection = 1,
        MethodSetKeepAlive = 2,
        MethodDeleteConnection = 3,
        MethodReadyForWrite = 4,
        // 5, a binary write, is the look-up of 10 followed by the write on the caller's
        // thread (see Write).
        MethodDeleteAll = 6,
        MethodWriteText = 7,
        MethodGetPeerIpv4 = 8,
        MethodSetDscp = 9,
        MethodCreateWriter = 10,
        MethodGetLocalIpv4 = 11,
    };

    // Posts a call; with reply non-null waits for it and leaves the reply for reading.
    [[nodiscard]] Result Post(std::int32_t method, IDataStream* arguments, IDataStream* reply);
    [[nodiscard]] Result QueueWriteText(const UUID& connectionId, IDataStream* data, bool wait);
    bool TextWritesBlocked(const UUID& connectionId);

    [[nodiscard]] Result _InternalAddConnection(Connection* connection);
    [[nodiscard]] Result _InternalSetKeepAlive(const UUID& id, std::uint32_t intervalMs,
                                               std::uint32_t timeoutMs);
    [[nodiscard]] Result _InternalDeleteConnection(const UUID& id);
    bool _InternalConnectionReadyForWrite(const UUID& id);
    [[nodiscard]] Result _InternalDeleteAllConnections();
    [[nodiscard]] Result _InternalWriteText(const UUID& id, IDataStream* data);
    Result _InternalGetPeerIpv4(const UUID& id, std::uint32_t* address, std::uint16_t* port);
    Result _InternalGetLocalIpv4(const UUID& id, std::uint32_t* address);
    Connection* Find(const UUID& id);
    // Hands a removed connection's table reference back; see Connection::ReleaseDeferred.
    void Drop(RefPtr<Connection> connection);

    // Touched only on the manager's thread (and by the destructor after it stopped).
    std::map<UUID, RefPtr<Connection>> connections_;
    std::atomic<std::uint32_t> connectionCount_{0};
    std::atomic<bool> purgeEnabled_{false};
    std::int64_t lastSweepMs_;
    std::unique_ptr<Scheduler::FastMutex> textResultLock_;
    std::map<UUID, Result> textResults_;
    std::atomic<std::uint32_t> writeTimeoutMs_{DefaultWriteTimeoutMs};
    // The manager's thread, so that a synchronous call made on it runs in place.
    std::atomic<std::uint32_t> ownThreadId_{0};
};

}  // namespace brondal
