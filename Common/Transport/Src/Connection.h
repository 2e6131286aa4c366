#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "BinaryFrameReceiver.h"
#include "IRefCountImpl.h"
#include "ITransport.h"
#include "QOSWrapper.h"
#include "RefPtr.h"
#include "Scheduler.h"
#include "SocketByteSource.h"
#include "TextFrameReceiver.h"
#include "Thread.h"

struct ssl_ctx_st;

namespace brondal {

class ConnectionManager;
class NotificationThread;
class ReceiveLoop;
class SendPump;

// What a connection speaks: binary frames after the handshake record, text frames after it,
// or raw bytes without either.
enum class WireForm : std::uint8_t { Binary, Text, Raw };

// One TCP connection of a transport: accepted by the listener or opened outwards. Owns the
// socket and runs its reader thread (this object's Thread), which parses frames and hands
// them to the notification thread; writes frames for any thread; runs an optional keep-alive
// sender and closes itself when a keep-alive peer falls silent. A plain binary connection
// of a transport that delivers on its readers is read by one of the transport's receive
// loops instead of a thread of its own (see ReceiveLoop): the same passes, run by the loop
// when the socket is readable, and the same ticks of keep-alive silence.
//
// Lifetime: the manager's table holds the main reference. Each reader pass holds one more,
// so the connection does not go away under a pass; the manager is referenced only while it
// is being called. The send pump holds one while output is queued. Whoever may drop the last
// reference from the reader's, the manager's or the pump's own thread uses ReleaseDeferred:
// the destructor stops the reader, which must not happen on the reader itself.
//
// Output. A frame is on the wire whole or the connection is closed; frames never interleave.
// A writer never waits for socket space while holding the write lock. Under it, a frame
// goes straight to the socket when nothing is queued; whatever the socket does not take (the
// rest of the frame, or the whole frame when output is already queued) joins the output
// queue, and the transport's send pump sends it when the socket has room again. Then:
//  - on a thread that serves many peers (IsSharedThread: the delivering thread, the manager,
//    the callback thread) the write returns at once. A frame is admitted when the queue is
//    empty or stays within MaxQueuedOutputBytes; a peer that would make it hold more is
//    disconnected (one Severe line naming it) and the write fails with 0x8000003d;
//  - any other thread is held back while more than OutputHighWaterBytes are queued, within
//    the write time-out: when the time passes before its frame was queued it gets 0x8000003a
//    and the connection stays usable.
// Output that makes no progress for twice the write time-out (a peer that stopped reading) closes
// the connection as a lost socket, found by the send pump on the monotonic clock. Every
// lost socket ends the same way: the reader closes the connection, the disconnect event goes
// out and the reliable adapter above reconnects and resends. So per connection at most
// MaxQueuedOutputBytes (or one frame, when a single frame is larger) wait in memory.
//
// Input. Before each read the reader asks the notification thread for room (see
// NotificationThread): a connection whose frames the delivering thread has not caught up
// with is not read, and TCP's own flow control holds its peer.
//
// Socket ownership: the descriptor is closed only when no other thread can be inside it:
// by the reader itself, or after the reader was stopped; writers, the pump and ReadyForWrite
// use it under the write lock, which Close takes for the close itself. Close first shuts the
// socket down, which wakes a reader waiting in it.
//
// Lock order: write lock, then the send pump's lock, then the general mutex. None of them
// is held while calling the manager or the notification thread.
class Connection final : public Thread, public IRefCountImpl, public ITransportFastWrite::IWriter {
public:
    // Pings the peer while keep-alive is in use. One tick per 50 ms.
    class KeepAliveThread final : public Thread {
    public:
        static constexpr std::uint32_t TickMs = 50;

        ~KeepAliveThread() override;
        void StartKeepAlive(Connection* connection);
        bool ThreadFunc() override;

    private:
        std::atomic<Connection*> connection_{nullptr};
        std::uint32_t ticks_ = 0;
        std::int64_t lastFailedPingMs_ = 0;
    };

    static constexpr std::int64_t IdlePurgeMs = 300000;
    static constexpr std::uint32_t DefaultConnectTimeoutMs = 5000;
    // The idle count at which a long keep-alive timeout is reported once, without closing.
    static constexpr std::uint32_t FifteenSecondMark = 151;
    // Queued output a caller's own thread may leave behind before it waits for room.
    static constexpr std::uint64_t OutputHighWaterBytes = 1u << 20;
    // The most output that may wait for one peer (a single larger frame is still admitted
    // to an empty queue); a peer that would make it more is disconnected.
    static constexpr std::uint64_t MaxQueuedOutputBytes = 32u << 20;
    // Bounds the server side of a TLS handshake, which runs on the connection's reader.
    static constexpr std::uint32_t TlsAcceptTimeoutMs = 5000;

    Connection(ConnectionManager* manager, NotificationThread* notify, SendPump* pump,
               WireForm form);
    ~Connection() override;

    // Outward: connects (address in host order, 0 = this host), reads the handshake and
    // negotiates TLS when asked and a context exists. The caller adds the connection to the
    // manager and then starts the reader (StartReader), so that a peer that closes at once
    // cannot have the connection removed before it was added.
    [[nodiscard]] Result Initialize(std::uint32_t address, std::uint16_t port,
                                    std::uint32_t timeoutMs, ssl_ctx_st* tlsContext);
    // Accepted: registers with the manager and sends the handshake. The reader is started
    // by the caller afterwards (StartReader). With encryption, the TLS handshake is the
    // reader's first work (so that a client that never starts one holds only its own
    // thread), and the reader raises the connected event once it succeeded: then
    // AnnouncesItself is true and the caller must not raise it.
    [[nodiscard]] Result Initialize(int socket, ssl_ctx_st* tlsContext, bool encrypt);
    bool AnnouncesItself() const { return pendingTls_ != nullptr; }
    // Starts reading: on loop when one is given and the connection can be read from it
    // (plain binary), else on this connection's own thread. False when neither started.
    bool StartReader(ReceiveLoop* loop = nullptr);

    // IWriter: one binary frame.
    [[nodiscard]] Result Write(UUID channelId, IDataStream* data) override;
    [[nodiscard]] Result WriteText(const UUID& connectionId, IDataStream* data);
    // True when nothing is queued and the socket takes data now.
    bool ReadyForWrite();
    [[nodiscard]] Result SetKeepAlive(std::uint32_t intervalMs, std::uint32_t timeoutMs);
    [[nodiscard]] Result SetConnectionSocketDscp(std::uint32_t dscp);
    // Runs on the manager's thread during the purge sweep: asks the reader to close an idle
    // connection and remove it.
    void PurgeIfIdle();
    // From Initialization: the connection never went live, so there is no reader or
    // keep-alive to wake, and since nobody was told it opened nobody is told it closed (the
    // result is the close's own).
    enum class CloseFrom { Running, Initialization };
    [[nodiscard]] Result Close(CloseFrom from);

    bool ThreadFunc() override;
    // For the receive loop, on its thread, with a reference held. LoopPass reads the frames
    // that have arrived (at most ReceiveLoop::FramesPerTurn) and delivers them; true when
    // whole frames are left in the buffer for the loop's next round. LoopTick counts a tick
    // without bytes towards the keep-alive time-out.
    bool LoopPass();
    void LoopTick();

    const UUID& GetId() const { return id_; }
    std::uint32_t GetPeerAddress() const { return peerAddress_; }
    std::uint16_t GetPeerPort() const { return peerPort_; }
    std::uint32_t GetLocalAddress() const { return localAddress_; }
    void SetConnectionParameters(std::uint32_t first, std::uint32_t second) {
        parameters_[0] = first;
        parameters_[1] = second;
    }
    // The manager keeps itself alive for a connection it removed from its table.
    void RetainManager(ConnectionManager* manager);
    // The manager is going away while this connection may live on (held by a writer).
    void DetachManager();
    // Drops one reference; the last one is handed to the deletion thread.
    void ReleaseDeferred();
    // The manager took the connection out of its table (it is being closed): the socket is
    // shut down, which ends the reader's wait at once, as soon as the output already queued
    // has gone out (or stalled).
    void OnRemoved();

    // For the send pump: the socket has room (or failed); sends what it takes.
    void OnRoomToSend();
    // For the send pump: closes the connection when its queued output made no progress for
    // the write time-out. nowMs is the monotonic clock.
    void CheckOutputStall(std::int64_t nowMs);
    bool HasQueuedOutput() const { return watched_.load(); }

private:
    enum class FrameKind { Binary, Text };

    struct QueuedFrame {
        std::vector<std::uint8_t> bytes;
        std::uint32_t sent = 0;
    };

    [[nodiscard]] Result SendFrame(std::vector<std::uint8_t> wire, FrameKind kind,
                                   const UUID& connectionId);
    // With the write lock: sends from the front of the queue (or from bytes when the queue
    // is empty) until the socket is full. ResultSocketWriteFailed when the socket failed.
    [[nodiscard]] Result SendNow(const std::uint8_t* bytes, std::uint32_t length,
                                 std::uint32_t* sent, FrameKind kind, const UUID& connectionId);
    [[nodiscard]] Result FlushLocked();
    // With the write lock: appends the rest of a frame and makes sure the pump watches.
    bool EnqueueLocked(std::vector<std::uint8_t> wire, std::uint32_t sent, int socket);
    // With the write lock: the connection is to be closed as a lost socket by its reader.
    void RequestCloseLocked(int socket);
    void DropOutputLocked(int socket);
    bool RunPendingTls();
    void CloseAndRemove();
    // The manager with a reference for the caller, or null when it is gone or going.
    ConnectionManager* AcquireManager();
    // One reader pass over the socket; false when the connection was closed.
    bool ReceivePass();
    // Closes and removes the connection when a purge asked for it; true then.
    bool PurgeRequested();
    // True when the silence closed the connection.
    bool HandleKeepAliveTimeout();
    bool OnFrame(BinaryFrameReceiver::Outcome outcome, BinaryFrameReceiver::Frame& frame);
    // Closes and removes the connection when a writer, the pump or a purge asked for it.
    bool CloseIfAsked();
    // The peek found the socket closed (0) or failed: logs why and closes.
    void EndOfInput(std::int32_t peeked);
    std::uint32_t WriteTimeoutMs();
    void Deliver(const UUID& channelId, IDataStream* data);

    friend class ReceiveLoop;

    std::unique_ptr<Scheduler::Mutex> generalMutex_;
    std::unique_ptr<Scheduler::Mutex> writeLock_;
    // Set when the queue falls to the high-water mark or the connection closes; waited on by
    // writers held back. Manual reset, reset by a writer under the write lock.
    std::unique_ptr<Scheduler::Event> room_;
    const WireForm form_;
    KeepAliveThread keepAlive_;
    std::atomic<std::uint32_t> keepAliveIntervalMs_{0};
    std::atomic<std::uint32_t> keepAliveTimeoutMs_{0};
    std::atomic<bool> purgeRequested_{false};
    // A lost socket found by a writer or the pump; the reader closes and removes.
    std::atomic<bool> closeRequested_{false};
    std::uint32_t idleCount_ = 0;
    // Guarded by the general mutex.
    ConnectionManager* manager_;
    RefPtr<ConnectionManager> retainedManager_;
    RefPtr<NotificationThread> notify_;
    RefPtr<SendPump> pump_;
    UUID id_;
    SocketByteSource source_;
    QOSWrapper::State qos_;
    std::uint32_t localAddress_ = 0;
    std::uint32_t peerAddress_ = 0;
    std::uint16_t peerPort_ = 0;
    std::uint32_t parameters_[2] = {};
    std::atomic<std::int64_t> createdMs_;
    BinaryFrameReceiver receiver_;
    TextFrameReceiver textReceiver_;
    // The server context of a TLS handshake the reader still has to run (with a reference).
    ssl_ctx_st* pendingTls_ = nullptr;
    // Under the write lock: the output queue and its unsent bytes; when it last moved
    // (monotonic ms). watched_ mirrors "the pump holds this connection".
    std::deque<QueuedFrame> output_;
    std::uint64_t queuedBytes_ = 0;
    std::int64_t lastProgressMs_ = 0;
    std::atomic<bool> watched_{false};
    bool removed_ = false;
    // Frames this connection's own reader writes to it while it delivers a frame (the
    // response to a request, the layers' acknowledgements) are held here, under the write
    // lock, and leave together in one send when the delivery returns: a request costs one
    // write, however many frames answer it. At most CorkLimitBytes; a larger frame, or a
    // write from any other thread, sends what is held first, so the order stays the order
    // of the writes. corkPending_ mirrors "cork_ holds bytes" for the reader's cheap check.
    // A binary frame is encoded straight into cork_, and the cork keeps up to KeptCorkBytes
    // of capacity between deliveries, so the frames of a request cost no allocation; a
    // larger capacity (after a burst) is given back, so an idle connection holds at most
    // that much.
    static constexpr std::size_t CorkLimitBytes = 64 * 1024;
    static constexpr std::size_t KeptCorkBytes = 1024;
    std::vector<std::uint8_t> cork_;
    std::atomic<bool> corkPending_{false};
    // The loop that reads this connection, if one does; set before the loop first sees it
    // and never changed. The flags are the loop thread's own: whether the connection waits
    // in the loop's list for the next round, and whether bytes came since the last tick.
    RefPtr<ReceiveLoop> loop_;
    bool loopQueued_ = false;
    bool heardSinceTick_ = false;
    // Under the write lock: the loop stopped reading this connection because its peer left
    // more than OutputHighWaterBytes of answers unread (a loop thread must not wait for it,
    // and reading on would let one peer make the queue grow to its bound). The socket is out
    // of the loop's watch until the send pump brings the queue down to the mark, so TCP
    // holds the peer back, as a reader thread waiting for room would.
    bool readPaused_ = false;
    // On the loop: true when reading is paused (or has just been).
    bool PauseReadingIfBacklogged();
    void ResumeReadingLocked(int socket);
    [[nodiscard]] Result FlushCorkLocked(int socket);
    // Whether a frame of length bytes joins cork_ rather than going out: written by this
    // connection's own delivery, with room left under CorkLimitBytes.
    bool HoldsLocked(std::uint64_t length) const;
};

}  // namespace brondal
