// The adapter's side of losing and regaining sockets: starting a reconnect, reopening
// outward connections on the timer, attaching a peer's new socket to the old connection,
// and giving up.
#include "DeleteLater.h"
#include "LockGuard.h"
#include "LogCall.h"
#include "SharedThread.h"
#include "TransportAdapter.h"
#include "TransportAdapterConnection.h"

namespace brondal {

Result TransportAdapter::Reconnect(Result error, Connection* connection, const UUID& failedSocket,
                                   bool wait) {
    MonitorGuard guard(*monitor_);
    if (!connection->Established()) {
        LOG_SPEW(0, "will not reconnect connection %s ip %x port %d socket %s",
                 connection->Id().ToString().c_str(), connection->Address(), connection->Port(),
                 connection->SocketId().ToString().c_str());
        return error;
    }
    if (!connection->Reconnecting()) {
        if (connection->SocketId() != failedSocket) {
            // The socket was replaced since the failure was seen.
            return connection->SocketId().IsNil() ? error : ResultOk;
        }
        LOG_SEVERE("reconnect connection %s ip %x port %d socket %s",
                   connection->Id().ToString().c_str(), connection->Address(), connection->Port(),
                   connection->SocketId().ToString().c_str());
        // The whole reconnecting state is in place before the monitor is let go for the
        // close, so no other thread sees a reconnecting connection with its old socket.
        connection->BeginReconnect(GetScheduler().GetTickCount64());
        connection->LoseSocket(connection->SocketId());
    }
    if (!wait) return ResultOk;
    WaitUntil(WriterWaitMs, [&] { return !connection->Reconnecting(); });
    return connection->SocketId().IsNil() ? error : ResultOk;
}

void TransportAdapter::FinishReconnecting(Connection* connection) {
    if (!connection->Reconnecting()) return;
    connection->EndReconnect();
    (void)monitor_->NotifyAll();
    if (connection->SocketId().IsNil()) {
        LOG_SEVERE("reconnect failed for connection %s", connection->Id().ToString().c_str());
        return;
    }
    LOG_SEVERE("reconnect succeeded for connection %s ip %x port %d socket %s",
               connection->Id().ToString().c_str(), connection->Address(), connection->Port(),
               connection->SocketId().ToString().c_str());
    if (connection->KeepAliveInterval() != 0) {
        const UUID socket = connection->SocketId();
        const std::uint32_t interval = connection->KeepAliveInterval();
        const std::uint32_t timeout = connection->KeepAliveTimeout();
        Unlocked([&] { return inner_->SetKeepAlive(socket, interval, timeout); });
    }
}

void TransportAdapter::TryReopen(Connection* connection) {
    LOG_SEVERE("try reconnect connection %s ip %x port %d", connection->Id().ToString().c_str(),
               connection->Address(), connection->Port());
    const std::uint32_t address = connection->Address();
    const std::uint16_t port = connection->Port();
    UUID socket;
    RefPtr<ITransportFastWrite::IWriter> writer;
    Result result =
        Unlocked([&] { return inner_->OpenConnection(address, port, &socket, ReopenTimeoutMs); });
    if (Succeeded(result)) {
        result = Unlocked([&] { return inner_->CreateWriter(socket, writer.Receive()); });
        if (Failed(result)) Unlocked([&] { return inner_->CloseConnection(socket); });
    }
    if (Succeeded(result) && connection->Reconnecting()) {
        connection->AttachSocket(socket, std::move(writer));
        if (Succeeded(connection->ConnectLayers(connection->Id(), connection->SessionId(), true))) {
            FinishReconnecting(connection);
            return;
        }
        // The new socket broke during the hello or the resend. That is one more lost
        // socket, not the end of the connection: it stays reconnecting, and the next
        // attempt (or giving up after 10 s) follows the schedule. Ending it here would
        // leave it in the table with nobody ever told it is gone.
        connection->LoseSocket(socket);
    } else if (Succeeded(result)) {
        // The connection was closed or given up on while the socket was being opened.
        Unlocked([&] { return inner_->CloseConnection(socket); });
    }
}

void TransportAdapter::TimerCallback() {
    // The timer serves every connection: the hellos and resends it writes never wait.
    SharedThreadScope shared;
    if (TryAddRef() == 0) return;
    {
        MonitorGuard guard(*monitor_);
        const std::vector<RefPtr<Connection>> table = connections_;
        // The schedule and the give-up are durations: a step of the wall clock moves
        // neither.
        const std::int64_t now = GetScheduler().GetTickCount64();
        for (const auto& connection : table) {
            if (!connection->Reconnecting()) {
                // What a peer sent last waits no longer than this for its acknowledgement.
                connection->FlushAcknowledgement();
                continue;
            }
            if (connection->GiveUpDue(now)) {
                FinishReconnecting(connection.Get());
                const UUID id = connection->Id();
                if (Succeeded(RemoveConnection(id, nullptr)))
                    (void)NotifyEvent(id, ConnectionClosed);
                continue;
            }
            if (!connection->AttemptDue(now)) continue;
            TryReopen(connection.Get());
            connection->ScheduleNextAttempt(now);
        }
    }
    // The last reference may be this one; the timer must not be released from its own
    // callback, so the destruction goes to the deletion thread.
    if (ReleaseNoDelete() == 0) DeleteLater(this);
}

Result TransportAdapter::OnConnect(Connection* connection, const UUID& peerConnectionId,
                                   const UUID& peerSessionId, bool reconnect) {
    MonitorGuard guard(*monitor_);
    RefPtr<Connection> self(connection);
    LOG_SPEW(0, "connection %s ip %x port %d got onconnect %s isReconnect? %d",
             connection->Id().ToString().c_str(), connection->Address(), connection->Port(),
             peerConnectionId.ToString().c_str(), reconnect ? 1 : 0);
    if (peerConnectionId.IsNil()) {
        // The peer closed the connection itself.
        connection->Close();
        return ResultOk;
    }
    if (peerSessionId == connection->SessionId()) {
        // The peer's answer to our own hello; OpenConnection waits for it.
        connection->Establish();
        (void)monitor_->NotifyAll();
        return ResultOk;
    }
    RefPtr<Connection> target;
    if (!reconnect) {
        connection->AdoptId(peerConnectionId);
        target = self;
    } else {
        target = FindById(peerConnectionId);
        if (target) {
            connection->ExchangeSockets(target.Get());
            if (!target->Reconnecting()) {
                // The peer came back before this side noticed the old socket go: what was
                // half received on it will be resent whole, and what was half sent (or
                // paced and not yet sent) goes again with the resend.
                (void)target->DisconnectLayers();
            }
            (void)monitor_->NotifyAll();
            // The old socket now hangs on this temporary connection until it closes; what
            // it still brings is the old one's past and the peer resends it.
            connection->Retire();
        }
        connection->Close();
    }
    Result result = ResultFail;
    if (target) {
        target->Establish(peerSessionId);
        result = target->ConnectLayers(target->Id(), target->SessionId(), reconnect);
        if (reconnect) FinishReconnecting(target.Get());
    }
    if (reconnect) (void)CloseConnection(connection->Id());
    return result;
}

}  // namespace brondal
