// The transport against peers that read slowly, not at all, or misbehave around the
// handshake: frames stay whole, memory stays bounded, and no thread that serves many
// peers is held by one of them.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Connection.h"
#include "DeleteLater.h"
#include "FrameEncoder.h"
#include "Handshake.h"
#include "LogCapture.h"
#include "LoopbackSupport.h"
#include "ManualClockScheduler.h"
#include "NetworkTransportImpl.h"
#include "NotificationThread.h"
#include "SharedThread.h"
#include "TcpSocket.h"
#include "WaitFor.h"
#include "WireFormat.h"

namespace brondal {
namespace {

using testing::FindFreePort;
using testing::Loopback;
using testing::PollUntil;
using testing::RecordingListener;
using testing::StreamOf;
using Bytes = std::vector<std::uint8_t>;

const UUID Channel(0x5a5a5a5a, 0x1234, 0x5678, 0x9abcdef012345678);

// A listening socket whose accepted connections each run the test's script on a thread of
// their own (a peer as misbehaving as the test likes). The script gets the socket and owns
// it.
class RawPeer {
public:
    using Script = std::function<void(int socket)>;

    explicit RawPeer(Script script) : script_(std::move(script)) {
        listener_ = platform::TcpCreate();
        platform::TcpSetReuseAddress(listener_);
        platform::TcpBind(listener_, Loopback, 0);
        platform::TcpListen(listener_);
        platform::TcpGetLocal(listener_, nullptr, &port_);
        acceptor_ = std::thread([this] {
            while (!stop_) {
                if (platform::TcpWaitReadable(listener_, 20) != 1) continue;
                const int socket = platform::TcpAccept(listener_);
                if (socket < 0) continue;
                std::lock_guard lock(mutex_);
                peers_.emplace_back([this, socket] { script_(socket); });
            }
        });
    }
    ~RawPeer() {
        stop_ = true;
        acceptor_.join();
        platform::TcpClose(listener_);
        for (auto& peer : peers_)
            peer.join();
    }
    std::uint16_t Port() const { return port_; }

    // For scripts: holds the peer (reading nothing) until the test says it is done.
    static void HoldUntil(const std::atomic<bool>& done) {
        PollUntil([&] { return done.load(); }, std::chrono::seconds(60));
    }
    // A handshake naming id, as an accepting transport would send it.
    static void SendHandshake(int socket, const UUID& id) {
        const HandshakeRecord record = BuildHandshake(id, false);
        platform::TcpSend(socket, record.data(), static_cast<std::uint32_t>(record.size()));
    }

private:
    Script script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> peers_;
};

// Blocks the transport's reading (inline delivery) or delivering thread in its first
// delivery until opened, then records like RecordingListener.
class HoldingListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override {
        std::unique_lock lock(mutex_);
        ++entered_;
        opened_.wait(lock, [&] { return open_; });
        lock.unlock();
        return frames->OnDataReady(connectionId, channelId, data);
    }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        return frames->OnEvent(connectionId, event);
    }
    bool Entered() {
        std::lock_guard lock(mutex_);
        return entered_ > 0;
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }

    RefPtr<RecordingListener> frames = RefPtr<RecordingListener>::Adopt(new RecordingListener());

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    int entered_ = 0;
    bool open_ = false;
};

Bytes Numbered(std::uint32_t index, std::size_t size) {
    Bytes bytes(std::max<std::size_t>(size, 4));
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(index * 7 + i * 13);
    std::memcpy(bytes.data(), &index, 4);
    return bytes;
}

RefPtr<ITransport> Transport(std::uint16_t port, bool ownThread) {
    RefPtr<ITransport> transport;
    EXPECT_EQ(platform::CreateInstance(Loopback, port, transport.Receive()), ResultOk);
    EXPECT_EQ(transport->Initialize(ownThread, true), ResultOk);
    return transport;
}

std::uint32_t ConnectionCount(ITransport& transport) {
    std::uint32_t count = 0;
    transport.GetStatistics(&count);
    return count;
}

// A peer that stops reading while large frames are written to it and then resumes: every
// frame arrives whole and in order; the writer (a caller's own thread) was held back rather
// than memory grown.
TEST(SlowPeerTest, PausedReaderGetsEveryFrameWholeAfterItResumes) {
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, false);
    auto holding = RefPtr<HoldingListener>::Adopt(new HoldingListener());
    server->AddNotify(holding.Get());
    RefPtr<ITransport> client = Transport(0, false);
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, port, &id, 2000), ResultOk);

    constexpr std::uint32_t Frames = 48;
    std::mt19937 sizes(7);
    std::vector<Bytes> sent;
    for (std::uint32_t i = 0; i < Frames; ++i)
        sent.push_back(Numbered(i, sizes() % 700000));
    std::atomic<std::uint32_t> written{0};
    std::thread writer([&] {
        for (const Bytes& frame : sent) {
            if (Failed(client->Write(id, Channel, StreamOf(frame).Get()))) break;
            ++written;
        }
    });
    ASSERT_TRUE(PollUntil([&] { return holding->Entered(); }));
    // The reader is held inside the first frame's delivery; the writer soon cannot go on.
    ASSERT_TRUE(PollUntil([&] {
        bool ready = true;
        client->ConnectionReadyForWrite(id, &ready);
        return !ready;
    }));
    EXPECT_LT(written.load(), Frames);
    holding->Open();
    writer.join();
    EXPECT_EQ(written.load(), Frames);
    ASSERT_TRUE(holding->frames->WaitFrames(Frames));
    const auto frames = holding->frames->Frames();
    for (std::uint32_t i = 0; i < Frames; ++i)
        EXPECT_EQ(frames[i].payload, sent[i]) << i;
    client->Finalize();
    server->Finalize();
}

// Frames a reader writes to its own connection while it delivers (they leave together after
// the delivery) keep their order and stay whole beside frames other threads write at the
// same time, whatever their sizes against the held limit.
class AnswersDuringDeliveryTest : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(AnswersDuringDeliveryTest, ArriveWholeAndInOrderBesideOtherWriters) {
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, false);
    struct Answering final : ITransport::ITransportNotify, IRefCountImpl {
        ITransport* transport = nullptr;
        std::vector<std::size_t> sizes;
        std::atomic<std::uint32_t> requests{0};
        std::atomic<UUID*> peer{nullptr};
        UUID connection;
        Result OnDataReady(UUID connectionId, UUID, IDataStream*) override {
            const std::uint32_t request = requests++;
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                const auto index = static_cast<std::uint32_t>(request * 16 + i);
                EXPECT_EQ(transport->Write(connectionId, Channel,
                                           StreamOf(Numbered(index, sizes[i])).Get()),
                          ResultOk);
            }
            connection = connectionId;
            peer.store(&connection);
            return ResultOk;
        }
        Result OnEvent(UUID, std::int32_t) override { return ResultOk; }
    };
    auto answering = RefPtr<Answering>::Adopt(new Answering());
    answering->transport = server.Get();
    answering->sizes = GetParam();
    server->AddNotify(answering.Get());
    RefPtr<ITransport> client = Transport(0, false);
    auto received = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    client->AddNotify(received.Get());
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, port, &id, 2000), ResultOk);

    constexpr std::uint32_t Requests = 20;
    constexpr std::uint32_t Others = 40;
    ASSERT_EQ(client->Write(id, Channel, StreamOf(Bytes{1}).Get()), ResultOk);
    ASSERT_TRUE(PollUntil([&] { return answering->peer.load() != nullptr; }));
    const UUID serverSide = *answering->peer.load();
    std::thread other([&] {
        for (std::uint32_t i = 0; i < Others; ++i)
            EXPECT_EQ(
                server->Write(serverSide, Channel, StreamOf(Numbered(1000000 + i, 3000)).Get()),
                ResultOk);
    });
    for (std::uint32_t r = 1; r < Requests; ++r)
        ASSERT_EQ(client->Write(id, Channel, StreamOf(Bytes{1}).Get()), ResultOk);
    other.join();

    const std::size_t answers = Requests * GetParam().size();
    ASSERT_TRUE(received->WaitFrames(answers + Others));
    std::vector<std::uint32_t> answerOrder;
    std::uint32_t nextOther = 1000000;
    for (const auto& frame : received->Frames()) {
        std::uint32_t index = 0;
        std::memcpy(&index, frame.payload.data(), 4);
        if (index >= 1000000) {
            EXPECT_EQ(index, nextOther++);
            EXPECT_EQ(frame.payload, Numbered(index, 3000));
            continue;
        }
        EXPECT_EQ(frame.payload, Numbered(index, GetParam()[index % 16])) << index;
        answerOrder.push_back(index);
    }
    ASSERT_EQ(answerOrder.size(), answers);
    for (std::size_t i = 0; i < answers; ++i) {
        const std::size_t per = GetParam().size();
        EXPECT_EQ(answerOrder[i], (i / per) * 16 + i % per);
    }
    client->Finalize();
    server->Finalize();
}

INSTANTIATE_TEST_SUITE_P(Sizes, AnswersDuringDeliveryTest,
                         ::testing::Values(std::vector<std::size_t>{40},
                                           std::vector<std::size_t>{40, 8, 200},
                                           std::vector<std::size_t>{40, 100000, 8},
                                           std::vector<std::size_t>{30000, 30000, 30000}));

// A peer that sends many requests at once and reads none of the answers, to a transport whose
// receive loops read it: the loop stops reading that peer once more than the high-water mark
// of answers waits for it (TCP then holds the peer back), rather than answering on until the
// queue's bound drops the peer; once the peer reads, every request is answered.
TEST(SlowPeerTest, LoopStopsReadingAPeerThatLeavesItsAnswersUnread) {
    constexpr std::uint32_t Requests = 1000;
    constexpr std::size_t AnswerBytes = 64 * 1024;  // 64 MiB in all: twice the queue's bound
    testing::LogCapture log;
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, false);
    struct Answering final : ITransport::ITransportNotify, IRefCountImpl {
        ITransport* transport = nullptr;
        std::atomic<std::uint32_t> requests{0};
        Result OnDataReady(UUID connectionId, UUID, IDataStream*) override {
            ++requests;
            return transport->Write(connectionId, Channel,
                                    StreamOf(Numbered(requests, AnswerBytes)).Get());
        }
        Result OnEvent(UUID, std::int32_t) override { return ResultOk; }
    };
    auto answering = RefPtr<Answering>::Adopt(new Answering());
    answering->transport = server.Get();
    server->AddNotify(answering.Get());

    const int socket = platform::TcpCreate();
    ASSERT_EQ(platform::TcpConnect(socket, Loopback, port, 2000), 0);
    Bytes wire;
    for (std::uint32_t i = 0; i < Requests; ++i) {
        std::vector<std::uint8_t> frame;
        ASSERT_EQ(EncodeBinaryFrame(Channel, StreamOf(Bytes{1}).Get(), &frame), ResultOk);
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    for (std::size_t sent = 0; sent < wire.size();) {
        ASSERT_EQ(platform::TcpWaitWritable(socket, 10000), 1);
        const int n = platform::TcpSend(socket, wire.data() + sent,
                                        static_cast<std::uint32_t>(wire.size() - sent));
        ASSERT_GT(n, 0);
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(PollUntil([&] { return answering->requests.load() >= 16; }));
    // Reading on would take every request within milliseconds and queue 64 MiB of answers;
    // held back, the loop reads no further while the peer reads nothing.
    EXPECT_FALSE(
        PollUntil([&] { return answering->requests.load() == Requests; }, std::chrono::seconds(1)));

    const std::size_t expected = HandshakeLength + Requests * (FrameHeaderLength + AnswerBytes);
    std::size_t received = 0;
    std::vector<std::uint8_t> buffer(1 << 16);
    while (received < expected && platform::TcpWaitReadable(socket, 10000) == 1) {
        const int n =
            platform::TcpRecv(socket, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(answering->requests.load(), Requests);
    EXPECT_EQ(ConnectionCount(*server), 1u);
    EXPECT_FALSE(log.Contains("would pass")) << "the peer was dropped at the queue's bound";
    platform::TcpClose(socket);
    server->Finalize();
}

// A thread that serves many peers writes to one that never reads and to a good one: it is
// never held (its writes return at once whatever the write time-out), the good peer gets
// every frame, and the bad one is disconnected once its output would pass the bound.
TEST(SlowPeerTest, SharedThreadIsNeverHeldAndAPeerPastTheBoundIsDropped) {
    testing::LogCapture log;
    std::atomic<bool> done{false};
    RawPeer deaf([&](int socket) {
        RawPeer::SendHandshake(socket, UUID(0xdeaf, 1, 2, 3));
        RawPeer::HoldUntil(done);
        platform::TcpClose(socket);
    });
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, false);
    auto good = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    server->AddNotify(good.Get());
    RefPtr<ITransport> client = Transport(0, false);
    auto events = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    client->AddNotify(events.Get());
    ASSERT_EQ(client->SetWriteTimeout(600000), ResultOk);
    UUID bad;
    UUID fine;
    ASSERT_EQ(client->OpenConnection(Loopback, deaf.Port(), &bad, 2000), ResultOk);
    ASSERT_EQ(client->OpenConnection(Loopback, port, &fine, 2000), ResultOk);

    const Bytes chunk(256 * 1024, 0x42);
    Result last = ResultOk;
    std::uint32_t accepted = 0;
    std::thread shared([&] {
        SharedThreadScope scope;
        for (std::uint32_t i = 0; i < 1000 && Succeeded(last); ++i) {
            last = client->Write(bad, Channel, StreamOf(chunk).Get());
            if (Succeeded(last)) ++accepted;
            EXPECT_EQ(client->Write(fine, Channel, StreamOf(Numbered(i, 64)).Get()), ResultOk);
        }
    });
    shared.join();
    EXPECT_EQ(last, ResultSocketWriteFailed);
    // Everything admitted fits the bound, with the kernel's buffers on top.
    EXPECT_LE(std::uint64_t{accepted} * chunk.size(),
              Connection::MaxQueuedOutputBytes + (8u << 20));
    EXPECT_TRUE(log.Contains("does not read; closing it"));
    ASSERT_TRUE(events->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_EQ(events->Events().front().first, bad);
    ASSERT_TRUE(good->WaitFrames(accepted + 1));
    EXPECT_EQ(good->Frames().back().payload, Numbered(accepted, 64));
    done = true;
    client->Finalize();
    server->Finalize();
}

// Output that makes no progress (the peer stopped reading) ends the connection as a lost
// socket after twice the write time-out, measured on the monotonic clock.
TEST(SlowPeerTest, StalledOutputClosesTheConnection) {
    // Threads left by earlier work would read the test clock too.
    const std::size_t threadsBefore = testing::SettledThreadCount();
    testing::ManualClockScheduler clock;
    std::atomic<bool> done{false};
    RawPeer deaf([&](int socket) {
        RawPeer::SendHandshake(socket, UUID(0xdeaf, 4, 5, 6));
        RawPeer::HoldUntil(done);
        platform::TcpClose(socket);
    });
    RefPtr<ITransport> client = Transport(0, false);
    auto events = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    client->AddNotify(events.Get());
    ASSERT_EQ(client->SetWriteTimeout(1000), ResultOk);
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, deaf.Port(), &id, 2000), ResultOk);
    {
        // More than the kernel's buffers on both ends take, within the output bound.
        SharedThreadScope scope;
        const Bytes chunk(1 << 20, 1);
        for (int i = 0; i < 24; ++i)
            ASSERT_EQ(client->Write(id, Channel, StreamOf(chunk).Get()), ResultOk);
    }
    clock.AdvanceMs(1999);
    EXPECT_FALSE(
        events->WaitEvents(ITransport::ConnectionClosed, 1, std::chrono::milliseconds(300)));
    clock.AdvanceMs(2);
    ASSERT_TRUE(events->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_EQ(events->Events().front().first, id);
    done = true;
    client->Finalize();
    client.Reset();
    EXPECT_TRUE(testing::WaitUntilSettled(threadsBefore));
}

// With delivery on the transport's own thread, frames waiting for a held delivering thread
// are bounded per connection, in bytes (large frames) and in number (a flood of small ones):
// the reader stops reading, and every frame comes once the delivering thread goes on.
struct BudgetCase {
    std::size_t frameSize;
    std::uint32_t frames;
};

class DeliveryBudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(DeliveryBudgetTest, ReaderWaitsForTheDeliveringThread) {
    const BudgetCase c = GetParam();
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, true);
    auto holding = RefPtr<HoldingListener>::Adopt(new HoldingListener());
    server->AddNotify(holding.Get());
    RefPtr<ITransport> client = Transport(0, false);
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    std::thread writer([&] {
        for (std::uint32_t i = 0; i < c.frames; ++i)
            EXPECT_EQ(client->Write(id, Channel, StreamOf(Numbered(i, c.frameSize)).Get()),
                      ResultOk);
    });
    auto& impl = *static_cast<NetworkTransportImpl*>(server.Get());
    auto full = [&] {
        const auto [bytes, frames] = impl.PendingDelivery(id);
        return bytes >= NotificationThread::MaxPendingPerConnection ||
               frames >= NotificationThread::MaxPendingFramesPerConnection;
    };
    ASSERT_TRUE(PollUntil(full));
    // Held there: one more frame may have been under way, nothing beyond it.
    GetScheduler().Sleep(200);
    const auto [bytes, frames] = impl.PendingDelivery(id);
    EXPECT_LE(bytes, NotificationThread::MaxPendingPerConnection + c.frameSize);
    EXPECT_LE(frames, NotificationThread::MaxPendingFramesPerConnection + 1);
    holding->Open();
    writer.join();
    ASSERT_TRUE(holding->frames->WaitFrames(c.frames));
    EXPECT_EQ(holding->frames->Frames().back().payload, Numbered(c.frames - 1, c.frameSize));
    EXPECT_TRUE(PollUntil([&] { return impl.PendingDelivery(id).second == 0; }));
    client->Finalize();
    server->Finalize();
}

INSTANTIATE_TEST_SUITE_P(LargeAndSmallFrames, DeliveryBudgetTest,
                         ::testing::Values(BudgetCase{1 << 20, 40}, BudgetCase{100, 400}));

// Handshakes as peers may send them: closed at once (repeatedly: the connection must not
// outlive its own removal in the table), naming a connection that already exists (refused),
// or written in pieces further apart than a single read waits.
TEST(SlowPeerTest, HandshakeEdgesFromMisbehavingPeers) {
    RefPtr<ITransport> client = Transport(0, false);
    {
        RawPeer quitter([](int socket) {
            UUID id;
            GetScheduler().NewUuid(&id);
            RawPeer::SendHandshake(socket, id);
            platform::TcpClose(socket);
        });
        for (int round = 0; round < 30; ++round) {
            UUID id;
            client->OpenConnection(Loopback, quitter.Port(), &id, 2000);
            ASSERT_TRUE(PollUntil([&] { return ConnectionCount(*client) == 0; })) << round;
        }
    }
    std::atomic<bool> done{false};
    const UUID same(0x5a3e, 7, 8, 9);
    RawPeer cloner([&](int socket) {
        RawPeer::SendHandshake(socket, same);
        RawPeer::HoldUntil(done);
        platform::TcpClose(socket);
    });
    UUID first;
    UUID second;
    ASSERT_EQ(client->OpenConnection(Loopback, cloner.Port(), &first, 2000), ResultOk);
    EXPECT_EQ(client->OpenConnection(Loopback, cloner.Port(), &second, 2000), ResultFail);
    EXPECT_EQ(ConnectionCount(*client), 1u);
    EXPECT_EQ(client->Write(first, Channel, StreamOf({1}).Get()), ResultOk);

    const UUID slow(0x510e, 1, 1, 1);
    RawPeer trickler([&](int socket) {
        const HandshakeRecord record = BuildHandshake(slow, false);
        for (std::size_t offset = 0; offset < record.size(); offset += 12) {
            const auto piece =
                static_cast<std::uint32_t>(std::min<std::size_t>(12, record.size() - offset));
            platform::TcpSend(socket, record.data() + offset, piece);
            if (offset + piece < HandshakeIdentityLength) GetScheduler().Sleep(150);
        }
        RawPeer::HoldUntil(done);
        platform::TcpClose(socket);
    });
    UUID id;
    ASSERT_EQ(client->OpenConnection(Loopback, trickler.Port(), &id, 3000), ResultOk);
    EXPECT_EQ(id, slow);
    done = true;
    client->Finalize();
}

// Out of descriptors, a listener cannot accept: it pauses between attempts and logs the
// failure once, instead of retrying at once; it accepts again once descriptors are free.
TEST(SlowPeerTest, AcceptFailureBacksOffAndIsLoggedOnce) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checks of that build test memory through a pipe: with every
    // descriptor in use they report sound objects as broken. The plain build runs this.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    testing::LogCapture log;
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> server = Transport(port, false);
    auto events = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    server->AddNotify(events.Get());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Use up the descriptors below a lowered limit, keeping one for the client's socket.
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int socket = platform::TcpCreate(); socket >= 0; socket = platform::TcpCreate())
        fillers.push_back(socket);
    ASSERT_FALSE(fillers.empty());
    platform::TcpClose(fillers.back());
    fillers.pop_back();
    const int client = platform::TcpCreate();
    ASSERT_EQ(platform::TcpConnect(client, Loopback, port, 2000), 0);
    // Give the listener time for many attempts, had it retried at once.
    GetScheduler().Sleep(500);
    std::size_t failures = 0;
    for (const std::string& message : log.Messages())
        failures += message.find("Invalid socket returned on accept call") != std::string::npos;
    EXPECT_EQ(failures, 1u);
    for (int socket : fillers)
        platform::TcpClose(socket);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(events->WaitEvents(ITransport::ConnectionOpened, 1));
    EXPECT_TRUE(log.Contains("again"));
    platform::TcpClose(client);
    server->Finalize();
}

}  // namespace
}  // namespace brondal
