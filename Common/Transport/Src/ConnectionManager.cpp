#include "ConnectionManager.h"

#include <vector>

#include "Connection.h"
#include "DeleteLater.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "QueueMarshalling.h"
#include "SharedThread.h"

namespace brondal {

// Calls are marshalled through memory streams this file writes and reads itself: a write
// fails only without memory and a failed read leaves the value the call then refuses, so
// those results are dropped with (void).

namespace {

const UUID QueueObject{};

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    (void)NewDataStream(stream.Receive());
    return stream;
}

// Positions a reply after the result that ReplyResult reads.
void SkipResult(IDataStream* reply) { (void)reply->SetPosition(sizeof(std::int32_t)); }

}  // namespace

ConnectionManager::ConnectionManager()
    : lastSweepMs_(GetScheduler().GetTimeMs()), textResultLock_(GetScheduler().CreateFastMutex()) {}

ConnectionManager::~ConnectionManager() {
    Stop();
    (void)RemoveStub(QueueObject);
    for (auto& [id, connection] : connections_) {
        connection->DetachManager();
        connection->OnRemoved();
        Drop(std::move(connection));
    }
    connections_.clear();
}

Result ConnectionManager::Initialize() {
    Result result = AddStub(QueueObject, this);
    if (Failed(result)) return result;
    Start(Scheduler::Infinite);
    return ResultOk;
}

void ConnectionManager::Drop(RefPtr<Connection> connection) {
    if (connection) connection.Detach()->ReleaseDeferred();
}

Result ConnectionManager::Post(std::int32_t method, IDataStream* arguments, IDataStream* reply) {
    if (reply == nullptr) {
        Result result = Execute(QueueObject, method, arguments, nullptr, 0, nullptr);
        Wake();
        return result;
    }
    // A caller on the manager's own thread (a listener called from a purge, say) would wait
    // for itself: run its call in place.
    if (GetScheduler().GetCurrentThreadId() == ownThreadId_.load()) {
        (void)ExecuteStub(QueueObject, method, arguments, reply);
        return ReplyResult(reply);
    }
    std::unique_ptr<Scheduler::Event> done = GetScheduler().CreateEvent(false, false);
    Result result = Execute(QueueObject, method, arguments, reply, 0, done.get());
    if (Failed(result)) return result;
    Wake();
    done->Wait(Scheduler::Infinite);
    return ReplyResult(reply);
}

Result ConnectionManager::AddConnection(Connection* connection) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WritePointer(arguments.Get(), connection);
    return Post(MethodAddConnection, arguments.Get(), reply.Get());
}

Result ConnectionManager::SetKeepAlive(const UUID& connectionId, std::uint32_t intervalMs,
                                       std::uint32_t timeoutMs) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    arguments->WriteUInt32(intervalMs);
    arguments->WriteUInt32(timeoutMs);
    return Post(MethodSetKeepAlive, arguments.Get(), reply.Get());
}

Result ConnectionManager::DeleteConnection(const UUID& connectionId) {
    RefPtr<IDataStream> arguments = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    (void)Post(MethodDeleteConnection, arguments.Get(), nullptr);
    return ResultOk;
}

Result ConnectionManager::DeleteAllConnections() {
    (void)Post(MethodDeleteAll, nullptr, nullptr);
    return ResultOk;
}

bool ConnectionManager::ConnectionReadyForWrite(const UUID& connectionId) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    if (Failed(Post(MethodReadyForWrite, arguments.Get(), reply.Get()))) return false;
    SkipResult(reply.Get());
    bool ready = false;
    (void)reply->ReadBool(&ready);
    return ready;
}

Result ConnectionManager::Write(const UUID& connectionId, const UUID& channelId,
                                IDataStream* data) {
    // The look-up is queued like every table access, so a write posted after a deletion
    // sees the connection gone; the frame is then written on the caller's thread, so that a
    // peer with no room holds only its own caller, never the manager's thread (and through
    // it every other connection's operations).
    RefPtr<ITransportFastWrite::IWriter> writer;
    Result result = CreateWriter(connectionId, writer.Receive());
    if (Failed(result)) return result;
    return writer->Write(channelId, data);
}

bool ConnectionManager::TextWritesBlocked(const UUID& connectionId) {
    FastLockGuard guard(*textResultLock_);
    auto it = textResults_.find(connectionId);
    return it != textResults_.end() && it->second == ResultSocketWriteFailed;
}

Result ConnectionManager::QueueWriteText(const UUID& connectionId, IDataStream* data, bool wait) {
    if (TextWritesBlocked(connectionId)) return ResultSocketWriteFailed;
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = wait ? NewStream() : RefPtr<IDataStream>();
    (void)WriteId(arguments.Get(), connectionId);
    if (data) data->AddRef();
    (void)WritePointer(arguments.Get(), data);
    Result result = Post(MethodWriteText, arguments.Get(), reply.Get());
    if (!wait) return Failed(result) ? result : ResultOk;
    return TextWritesBlocked(connectionId) ? ResultSocketWriteFailed : ResultOk;
}

Result ConnectionManager::WriteText(const UUID& connectionId, IDataStream* data) {
    return QueueWriteText(connectionId, data, false);
}

Result ConnectionManager::WriteTextSynchronous(const UUID& connectionId, IDataStream* data) {
    return QueueWriteText(connectionId, data, true);
}

Result ConnectionManager::GetPeerIpv4(const UUID& connectionId, std::uint32_t* address,
                                      std::uint16_t* port) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    Result result = Post(MethodGetPeerIpv4, arguments.Get(), reply.Get());
    if (Failed(result)) return result;
    SkipResult(reply.Get());
    std::uint32_t peer = 0;
    std::uint16_t peerPort = 0;
    reply->ReadUInt32(&peer);
    reply->ReadUInt16(&peerPort);
    if (address) *address = peer;
    if (port) *port = peerPort;
    return result;
}

Result ConnectionManager::SetConnectionSocketDscp(const UUID& connectionId, std::uint32_t dscp) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    arguments->WriteUInt32(dscp);
    return Post(MethodSetDscp, arguments.Get(), reply.Get());
}

Result ConnectionManager::CreateWriter(const UUID& connectionId,
                                       ITransportFastWrite::IWriter** writer) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    Result result = Post(MethodCreateWriter, arguments.Get(), reply.Get());
    if (Failed(result)) return result;
    SkipResult(reply.Get());
    ITransportFastWrite::IWriter* handed = nullptr;
    result = ReadPointer(reply.Get(), &handed);
    if (Failed(result)) return result;
    *writer = handed;
    return ResultOk;
}

Result ConnectionManager::GetLocalIpv4(const UUID& connectionId, std::uint32_t* address) {
    RefPtr<IDataStream> arguments = NewStream();
    RefPtr<IDataStream> reply = NewStream();
    (void)WriteId(arguments.Get(), connectionId);
    (void)Post(MethodGetLocalIpv4, arguments.Get(), reply.Get());
    // An absent connection reads as address 0, not as a failure.
    SkipResult(reply.Get());
    std::uint32_t local = 0;
    reply->ReadUInt32(&local);
    *address = local;
    return ResultOk;
}

Connection* ConnectionManager::Find(const UUID& id) {
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.Get();
}

Result ConnectionManager::ExecuteStub(const UUID&, std::int32_t method, IDataStream* arguments,
                                      IDataStream* reply) {
    UUID id;
    Result result = ResultOk;
    auto answer = [reply](Result value) {
        if (reply) reply->WriteInt32(value);
        return value;
    };
    switch (method) {
        case MethodAddConnection: {
            Connection* connection = nullptr;
            result = ReadPointer(arguments, &connection);
            if (Failed(result)) {
                LOG_SEVERE("Unable to read connection pointer from stream.");
                return answer(result);
            }
            return answer(_InternalAddConnection(connection));
        }
        case MethodSetKeepAlive: {
            std::uint32_t interval = 0;
            std::uint32_t timeout = 0;
            (void)ReadId(arguments, &id);
            arguments->ReadUInt32(&interval);
            arguments->ReadUInt32(&timeout);
            return answer(_InternalSetKeepAlive(id, interval, timeout));
        }
        case MethodDeleteConnection:
            (void)ReadId(arguments, &id);
            return answer(_InternalDeleteConnection(id));
        case MethodReadyForWrite: {
            (void)ReadId(arguments, &id);
            const bool ready = _InternalConnectionReadyForWrite(id);
            answer(ResultOk);
            if (reply) (void)reply->WriteBool(ready);
            return ResultOk;
        }
        case MethodWriteText: {
            IDataStream* data = nullptr;
            (void)ReadId(arguments, &id);
            result = ReadPointer(arguments, &data);
            if (Failed(result)) {
                LOG_SEVERE("Unable to marshal stream pointer from stream.");
                return answer(result);
            }
            RefPtr<IDataStream> owned = RefPtr<IDataStream>::Adopt(data);
            return answer(_InternalWriteText(id, owned.Get()));
        }
        case MethodDeleteAll:
            return answer(_InternalDeleteAllConnections());
        case MethodGetPeerIpv4: {
            std::uint32_t address = 0;
            std::uint16_t port = 0;
            (void)ReadId(arguments, &id);
            result = answer(_InternalGetPeerIpv4(id, &address, &port));
            if (reply) {
                reply->WriteUInt32(address);
                reply->WriteUInt16(port);
            }
            return result;
        }
        case MethodSetDscp: {
            std::uint32_t dscp = 0;
            (void)ReadId(arguments, &id);
            arguments->ReadUInt32(&dscp);
            Connection* connection = Find(id);
            if (connection == nullptr) {
                LOG_SEVERE("Connection not found");
                return answer(ResultFail);
            }
            return answer(connection->SetConnectionSocketDscp(dscp));
        }
        case MethodCreateWriter: {
            (void)ReadId(arguments, &id);
            Connection* connection = Find(id);
            if (connection == nullptr) {
                LOG_SEVERE("Connection not found");
                return answer(ResultConnectionNotFound);
            }
            ITransportFastWrite::IWriter* writer = connection;
            writer->AddRef();
            answer(ResultOk);
            if (reply) {
                (void)WritePointer(reply, writer);
            } else {
                writer->Release();
            }
            return ResultOk;
        }
        case MethodGetLocalIpv4: {
            std::uint32_t address = 0;
            (void)ReadId(arguments, &id);
            result = answer(_InternalGetLocalIpv4(id, &address));
            if (reply) reply->WriteUInt32(address);
            return result;
        }
        default:
            LOG_SEVERE("Invalid method Id");
            return answer(ResultFail);
    }
}

Result ConnectionManager::_InternalAddConnection(Connection* connection) {
    const UUID id = connection->GetId();
    // An identifier is the peer's word for an outward connection: one that names a
    // connection already here would take over its writes and its close.
    if (!connections_.emplace(id, RefPtr<Connection>(connection)).second) {
        LOG_SEVERE("Connection %s is already in the table", id.ToString().c_str());
        return ResultFail;
    }
    connectionCount_.store(static_cast<std::uint32_t>(connections_.size()));
    FastLockGuard guard(*textResultLock_);
    textResults_[id] = ResultOk;
    return ResultOk;
}

Result ConnectionManager::_InternalSetKeepAlive(const UUID& id, std::uint32_t intervalMs,
                                                std::uint32_t timeoutMs) {
    Connection* connection = Find(id);
    if (connection == nullptr) {
        LOG_SPEW(0, "Connection not found");
        return ResultOk;
    }
    (void)connection->SetKeepAlive(intervalMs, timeoutMs);
    return ResultOk;
}

Result ConnectionManager::_InternalDeleteConnection(const UUID& id) {
    auto it = connections_.find(id);
    if (it != connections_.end()) {
        RefPtr<Connection> connection = std::move(it->second);
        connection->RetainManager(this);
        connection->OnRemoved();
        connections_.erase(it);
        Drop(std::move(connection));
    }
    connectionCount_.store(static_cast<std::uint32_t>(connections_.size()));
    FastLockGuard guard(*textResultLock_);
    textResults_.erase(id);
    return ResultOk;
}

bool ConnectionManager::_InternalConnectionReadyForWrite(const UUID& id) {
    Connection* connection = Find(id);
    if (connection == nullptr) {
        LOG_SPEW(0, "Connection not found");
        return false;
    }
    return connection->ReadyForWrite();
}

Result ConnectionManager::_InternalDeleteAllConnections() {
    std::map<UUID, RefPtr<Connection>> removed;
    removed.swap(connections_);
    connectionCount_.store(0);
    {
        FastLockGuard guard(*textResultLock_);
        textResults_.clear();
    }
    for (auto& [id, connection] : removed) {
        connection->RetainManager(this);
        connection->OnRemoved();
        Drop(std::move(connection));
    }
    return ResultOk;
}

Result ConnectionManager::_InternalWriteText(const UUID& id, IDataStream* data) {
    Connection* connection = Find(id);
    if (connection == nullptr) {
        LOG_SPEW(0, "Connection not found");
        return ResultConnectionNotFound;
    }
    if (TextWritesBlocked(id)) return ResultSocketWriteFailed;
    Result result = connection->WriteText(id, data);
    FastLockGuard guard(*textResultLock_);
    textResults_[id] = result;
    return result;
}

Result ConnectionManager::_InternalGetPeerIpv4(const UUID& id, std::uint32_t* address,
                                               std::uint16_t* port) {
    Connection* connection = Find(id);
    if (connection == nullptr) {
        LOG_SPEW(0, "Connection not found");
        return ResultFail;
    }
    *address = connection->GetPeerAddress();
    *port = connection->GetPeerPort();
    return ResultOk;
}

Result ConnectionManager::_InternalGetLocalIpv4(const UUID& id, std::uint32_t* address) {
    Connection* connection = Find(id);
    if (connection == nullptr) {
        LOG_SEVERE("Connection not found");
        return ResultFail;
    }
    *address = connection->GetLocalAddress();
    return ResultOk;
}

bool ConnectionManager::ThreadFunc() {
    SharedThreadScope shared;
    ownThreadId_.store(GetScheduler().GetCurrentThreadId());
    if (TryAddRef() == 0) return false;
    (void)ProcessQueue();
    const std::int64_t now = GetScheduler().GetTimeMs();
    if (purgeEnabled_.load() && now - lastSweepMs_ > PurgeSweepIntervalMs) {
        // A purge only queues the removal, so the table does not change under the loop.
        std::vector<RefPtr<Connection>> sweep;
        for (auto& entry : connections_)
            sweep.push_back(entry.second);
        for (auto& connection : sweep)
            connection->PurgeIfIdle();
        for (auto& connection : sweep)
            Drop(std::move(connection));
        lastSweepMs_ = GetScheduler().GetTimeMs();
    }
    // The last reference may be this one; the destructor stops this thread, so it must
    // run elsewhere.
    if (ReleaseNoDelete() == 0) DeleteLater(this);
    return false;
}

}  // namespace brondal
