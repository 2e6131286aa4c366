#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "FragmentLayer.h"
#include "IRefCountImpl.h"
#include "ITimer.h"
#include "ITransport.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "Uuid.h"

namespace brondal {

// Frames of the TCP transport on this channel carry layered adapter traffic.
inline constexpr UUID AdapterChannelId(0x84dbd83a, 0xef14, 0x4935, 0xa5dbc825a938abce);

// An ITransport over a binary-framed TCP transport whose connections keep a stable
// identifier across the loss of their socket. A connection that is layered (because
// EnableReliableDelivery was called, or layered traffic arrived from the peer) numbers,
// acknowledges, fragments and paces its messages; when its socket breaks, the side that
// opened it reconnects, the peer attaches the new socket to the old connection, and
// unacknowledged messages are sent again. An unlayered connection is a plain connection
// of the inner transport. OpenConnection of a layered connection returns once the peer has
// answered its hello (within the open's time-out, at least MinimumHelloWaitMs): only then
// can a lost socket be replaced, so nothing is written before.
//
// The promise of a layered connection: a message this side has taken as received is
// delivered exactly once and in order, whether or not its acknowledgement could be sent
// (see PreOnDataReady); and every message Write accepted reaches the peer exactly once and
// in order while the connection lives, across any number of lost sockets.
//
// Writes that cannot proceed now. A thread that serves many peers (IsSharedThread: the
// delivering thread, the callback thread, this adapter's timer) never waits here on one
// peer: what the flow-control window does not admit waits in the connection's paced queue
// and leaves as acknowledgements come back; a message written while the connection is
// reconnecting or resending is only numbered and retained and goes out with the resend. So
// a first-time send never fails part-way on a healthy socket, and any failure after a piece
// went out is a lost socket: the connection reconnects and the message is resent whole.
// Only a caller's own thread waits, and only outside the writing slot: before taking it,
// while the output held for the peer is over the high-water mark (up to the write time-out;
// then 0x8000003a with nothing sent or numbered); after releasing it, for the outcome of a
// reconnect. Nothing waits while holding the writing slot.
//
// Limits on what a peer can make this side hold:
//  - output held for one peer (retained unacknowledged messages; the paced queue holds views
//    of them): callers wait above HighWaterBytes; a shared thread that finds HardBoundBytes
//    or more held gives the peer up (Severe line naming it; the connection is closed,
//    removed and its listeners told). At most HardBoundBytes plus one message per peer.
//    The hard bound stays under the inner transport's own queue bound, so that a resend of
//    everything held fits into a new socket's queue;
//  - a message on a layered connection is at most MaxFramePayload bytes with its headers
//    (so that a resend carries it whole in one frame); larger writes are refused;
//  - reassembly: see FragmentLayer (a message at most the frame limit and the pieces it
//    needs; 256 MiB of partial messages across the adapter);
//  - the inbox of messages taken and not yet delivered holds one entry per delivery the
//    inner transport has queued, so it is bounded by what the inner transport lets wait.
//
// Clocks: every wait, the reconnect schedule and the give-up run on the scheduler's
// monotonic GetTickCount64; only what a peer reads (the paced timestamps and the delays
// computed from them) is on the wall clock.
//
// One monitor guards the table, the listener list, every connection's fields and the
// flow-control windows. Calls into the inner transport, into listeners and into a
// connection's writer are made with the monitor fully released (ExitAll/Restore), so a
// caller holding it recursively cannot deadlock against the transport's threads. Waits are
// loops on the monitor with the remaining time. The monitor spins briefly before sleeping:
// a layered request enters it about ten times on each side, from the transport's reader
// threads, for holds of a microsecond or less, and sleeping on each collision cost more
// than the work it guarded.
class TransportAdapter final : public ITransport,
                               public ITransport::ITransportNotify,
                               public ITransport::IDataHook,
                               public ITimer::ITimerCallback,
                               public IRefCountImpl {
public:
    // The least OpenConnection waits for a layered peer's answer to its hello.
    static constexpr std::uint32_t MinimumHelloWaitMs = 1000;
    class Connection;
    // Also inherited through the listener and hook bases; these are the ones meant.
    using ITransportNotify = ITransport::ITransportNotify;
    using IDataHook = ITransport::IDataHook;
    using PostReceiveTask = ITransport::PostReceiveTask;

    static constexpr std::uint32_t MinWriteTimeoutMs = 10000;
    static constexpr std::uint32_t TimerPeriodMs = 200;
    static constexpr std::int64_t FirstRetryDelayMs = 200;
    static constexpr std::int64_t MaxRetryDelayMs = 2000;
    static constexpr std::int64_t GiveUpAfterMs = 10000;
    static constexpr std::uint32_t ReopenTimeoutMs = 2000;
    // How long a write waits for the previous write, or for a lost socket to come back.
    static constexpr std::int64_t WriterWaitMs = 20000;
    // Held output: where a caller's own thread starts to wait, and where a peer is given up.
    static constexpr std::uint64_t HighWaterBytes = std::uint64_t{4} << 20;
    static constexpr std::uint64_t HardBoundBytes = std::uint64_t{16} << 20;
    // The largest payload a layered Write takes: with the resend and user headers it makes
    // one frame of at most MaxFramePayload.
    static constexpr std::uint32_t MaxLayeredPayload = 104857600 - 26;

    // The write results that mean the socket is gone (failed, or unknown to the transport):
    // an established connection reconnects after them.
    static bool IsSocketFailure(Result result) {
        return result == ResultSocketWriteFailed || result == ResultConnectionNotFound;
    }

    // inner must also be an ITransportFastWrite. The address and port are only logged.
    TransportAdapter(ITransport* inner, std::uint32_t localAddress, std::uint16_t localPort);
    ~TransportAdapter() override;

    // ITransport
    [[nodiscard]] Result SetDataHook(IDataHook* hook) override;
    [[nodiscard]] Result Initialize(bool deliverOnOwnThread, bool enabled) override;
    [[nodiscard]] Result SetEnabled(bool enabled) override;
    [[nodiscard]] Result ReleaseListenerPort() override;
    [[nodiscard]] Result ChangeListenerPort(std::uint16_t port) override;
    [[nodiscard]] Result SetConnectionSocketDscp(UUID connectionId, std::uint32_t dscp) override;
    [[nodiscard]] Result Finalize() override;
    [[nodiscard]] Result SetEncryptionEnabled(bool enabled) override;
    [[nodiscard]] Result AddNotify(ITransportNotify* listener) override;
    [[nodiscard]] Result SetKeepAlive(UUID connectionId, std::uint32_t intervalMs,
                                      std::uint32_t timeoutMs) override;
    [[nodiscard]] Result SetIdleConnectionPurgeEnabled(bool enabled) override;
    [[nodiscard]] Result SetWriteTimeout(std::uint32_t milliseconds) override;
    [[nodiscard]] Result RemoveNotify(ITransportNotify* listener) override;
    [[nodiscard]] Result SetConnectionParameters(std::uint32_t first,
                                                 std::uint32_t second) override;
    [[nodiscard]] Result OpenConnection(std::uint32_t address, std::uint16_t port,
                                        UUID* connectionId, std::uint32_t timeoutMs) override;
    [[nodiscard]] Result CloseConnection(UUID connectionId) override;
    [[nodiscard]] Result CloseAllConnections() override;
    Result GetPeerIpv4(UUID connectionId, std::uint32_t* address, std::uint16_t* port) override;
    Result GetLocalIpv4(UUID connectionId, std::uint32_t* address) override;
    [[nodiscard]] Result BeginWrite() override;
    [[nodiscard]] Result EndWrite() override;
    [[nodiscard]] Result ConnectionReadyForWrite(UUID connectionId, bool* ready) override;
    [[nodiscard]] Result Write(UUID connectionId, UUID channelId, IDataStream* data) override;
    [[nodiscard]] Result WriteText(UUID connectionId, IDataStream* data) override;
    [[nodiscard]] Result WriteTextSynchronous(UUID connectionId, IDataStream* data) override;
    [[nodiscard]] Result GetStatistics(std::uint32_t* connections) override;
    [[nodiscard]] Result GetHostByName(const std::string& host, std::uint32_t* address) override;
    [[nodiscard]] Result EnableReliableDelivery() override;
    [[nodiscard]] Result CreateDataStream(IDataStream** data) override;

    // From the inner transport. connectionId is the inner (socket) identifier.
    //
    // A layered message is accepted (its sequence taken as received, and acknowledged then
    // or within a timer period: see ResendLayer) on the socket's reader thread, in
    // PreOnDataReady, but delivered later on the transport's delivering thread. Meanwhile the
    // socket may be lost and replaced, and the reader of the new socket may accept the next
    // messages first. So the accepted message goes into its connection's inbox at acceptance, under
    // the monitor and before its acknowledgement is written (the write lets the monitor go), so the
    // inbox is in sequence order; the inner transport is handed the connection's delivery token in
    // place of the channel, and each OnDataReady with that token hands the connection's inbox to
    // the listeners, one thread at a time, front first. Every message taken as received is thus
    // delivered exactly once and in order, under the connection's identifier of the moment.
    [[nodiscard]] Result OnDataReady(UUID socketId, UUID channelId, IDataStream* data) override;
    [[nodiscard]] Result OnEvent(UUID socketId, std::int32_t event) override;
    [[nodiscard]] Result PreOnDataReady(UUID socketId, UUID* channelId, IDataStream** data,
                                        PostReceiveTask** task) override;

    // Every 200 ms: reopens lost sockets of connections this side opened and gives up on
    // connections lost for more than 10 s.
    void TimerCallback() override;

    // For the connections and their layers; the monitor is held by the callers of all but
    // Monitor().
    Scheduler::Monitor& Monitor() { return *monitor_; }
    // Starts reconnecting the connection after its socket failed (0 when it is, or already
    // was, being reconnected; the error otherwise); with wait, also waits for the outcome.
    [[nodiscard]] Result Reconnect(Result error, Connection* connection, const UUID& failedSocket,
                                   bool wait);
    // A hello from the peer arrived on the connection.
    [[nodiscard]] Result OnConnect(Connection* connection, const UUID& peerConnectionId,
                                   const UUID& peerSessionId, bool reconnect);
    // Runs fn with the monitor fully released.
    template <class Fn>
    auto Unlocked(Fn&& fn) {
        std::int32_t count = 0;
        (void)monitor_->ExitAll(&count);
        struct Restore {
            Scheduler::Monitor* monitor;
            std::int32_t count;
            ~Restore() { (void)monitor->Restore(count); }
        } restore{monitor_.get(), count};
        return fn();
    }
    // Waits on the monitor until done() holds or timeoutMs passed; the final done().
    bool WaitUntil(std::int64_t timeoutMs, const std::function<bool()>& done);

    // Test hooks: the number of connections in the table, one connection's state, and
    // smaller held-output limits.
    struct ConnectionState {
        bool exists = false;
        bool layered = false;
        bool established = false;
        bool reconnecting = false;
        // Messages sent and not yet acknowledged by the peer.
        std::size_t unacknowledged = 0;
        // The highest sequence number taken as received.
        std::uint64_t received = 0;
    };
    std::size_t ConnectionCount();
    ConnectionState StateForTesting(const UUID& connectionId);
    void SetHeldLimitsForTesting(std::uint64_t highWater, std::uint64_t hardBound);

private:
    [[nodiscard]] Result AddConnection(std::uint32_t address, std::uint16_t port,
                                       const UUID& socketId, RefPtr<Connection>* added);
    [[nodiscard]] Result RemoveConnection(const UUID& connectionId, RefPtr<Connection>* removed);
    void FinishReconnecting(Connection* connection);
    RefPtr<Connection> FindById(const UUID& connectionId) const;
    RefPtr<Connection> FindBySocket(const UUID& socketId) const;
    // A connection tells of every change of its identifier or socket (from previous), so
    // that the two look-up indexes stay in step with the table.
    void IdChanged(Connection* connection, const UUID& previous);
    void SocketChanged(Connection* connection, const UUID& previous);
    void Index(Connection* connection);
    void Unindex(Connection* connection);
    // Tells every listener of an event; the results ORed together.
    [[nodiscard]] Result NotifyEvent(const UUID& connectionId, std::int32_t event);
    // Looks the connection up and runs op(socket id) on the inner transport, unlocked.
    [[nodiscard]] Result ByConnection(const UUID& connectionId,
                                      const std::function<Result(const UUID&)>& op);
    void TryReopen(Connection* connection);
    void DropTimer();
    [[nodiscard]] Result WriteLayered(Connection* connection, const UUID& channelId,
                                      IDataStream* data);
    // Hands the connection's inbox to the listeners, in order, unless another thread is
    // already doing so.
    [[nodiscard]] Result DeliverInbox(Connection* connection);
    // Hands every listener its own view of the message, with the monitor released once for
    // all of them.
    [[nodiscard]] Result Dispatch(const UUID& connectionId, const UUID& channelId,
                                  IDataStream* data);
    // Closes and removes a connection whose peer does not take what is held for it.
    void GiveUp(Connection* connection);

    RefPtr<ITransportFastWrite> inner_;
    const std::uint32_t localAddress_;
    const std::uint16_t localPort_;
    std::unique_ptr<Scheduler::Monitor> monitor_;
    std::vector<RefPtr<Connection>> connections_;
    // Look-ups of the table by connection id and by socket id: every message and every
    // write looks its connection up under the monitor. An identifier that two connections
    // share (a misbehaving peer) maps to the earlier one, as a scan of the table would.
    std::unordered_map<UUID, Connection*> byId_;
    std::unordered_map<UUID, Connection*> bySocket_;
    // Connections by delivery token: how a layered message finds its connection when it is
    // delivered, whatever has happened to the socket it came on meanwhile.
    std::unordered_map<UUID, Connection*> byToken_;
    std::vector<ITransportNotify*> listeners_;
    std::uint32_t writeTimeoutMs_ = MinWriteTimeoutMs;
    std::uint64_t highWater_ = HighWaterBytes;
    std::uint64_t hardBound_ = HardBoundBytes;
    std::shared_ptr<FragmentLayer::Budget> reassembly_ = std::make_shared<FragmentLayer::Budget>();
    bool reliableDelivery_ = false;
    RefPtr<ITimer> timer_;
    bool initialized_ = false;
    // The inner transport calls its listeners on the thread that read the frame, right
    // after the hook: a layered message is then delivered by the hook itself (set once,
    // before the first frame).
    bool deliverInline_ = false;
};

}  // namespace brondal
