// The reliable adapter over real loopback connections: plain traffic, the layered
// handshake, and delivery across broken sockets through a relay that cuts them.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "AdapterTestSupport.h"
#include "DeleteLater.h"
#include "LogCapture.h"
#include "ManualClockScheduler.h"
#include "NetworkTransportImpl.h"

namespace brondal {
namespace {

using testing::BytesOf;
using testing::Channel;
using testing::Endpoint;
using testing::FindFreePort;
using testing::GatedListener;
using testing::Loopback;
using testing::Numbered;
using testing::PollUntil;
using testing::RecordingListener;
using testing::RelayedPair;
using testing::StreamOf;
using Bytes = std::vector<std::uint8_t>;

TEST(TransportAdapterTests, PlainConnectionIsTheInnerTransportsOwn) {
    const std::uint16_t port = FindFreePort();
    RefPtr<ITransport> plain;
    ASSERT_EQ(platform::CreateInstance(Loopback, port, plain.Receive()), ResultOk);
    ASSERT_EQ(plain->Initialize(false, true), ResultOk);
    auto server = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    plain->AddNotify(server.Get());

    Endpoint client(0);
    UUID id;
    ASSERT_EQ(client.transport->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    ASSERT_EQ(client.transport->Write(id, Channel, StreamOf({1, 2, 3}).Get()), ResultOk);
    ASSERT_TRUE(server->WaitFrames(1));
    const auto frame = server->Frames()[0];
    EXPECT_EQ(frame.channel, Channel);
    EXPECT_EQ(frame.payload, (Bytes{1, 2, 3}));

    // The other way, and the loss of the socket: a plain connection is gone at once.
    ASSERT_EQ(plain->Write(frame.connection, Channel, StreamOf({4}).Get()), ResultOk);
    ASSERT_TRUE(client.listener->WaitFrames(1));
    EXPECT_EQ(client.listener->Frames()[0].connection, id);
    EXPECT_EQ(client.listener->Frames()[0].payload, Bytes{4});
    EXPECT_FALSE(client.State(id).layered);
    plain->CloseConnection(frame.connection);
    ASSERT_TRUE(client.listener->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_EQ(client.listener->Events().back().first, id);
    EXPECT_FALSE(client.State(id).exists);
    plain->RemoveNotify(server.Get());
    plain->Finalize();
}

TEST(TransportAdapterTests, ConfigurationRules) {
    Endpoint endpoint(0);
    EXPECT_EQ(endpoint.transport->Initialize(true, true), ResultAlreadyInitialized);
    EXPECT_EQ(endpoint.transport->SetDataHook(nullptr), ResultFail);
    EXPECT_EQ(endpoint.transport->SetWriteTimeout(5), ResultOk);
    EXPECT_EQ(endpoint.transport->Write(UUID(1, 2, 3, 4), Channel, StreamOf({1}).Get()),
              ResultInvalidArgument);
}

TEST(TransportAdapterTests, LayeredPeersShareOneIdentityAndCarryLargeMessages) {
    const std::uint16_t port = FindFreePort();
    Endpoint server(port);
    Endpoint client(0, true);
    UUID id;
    ASSERT_EQ(client.transport->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    ASSERT_TRUE(PollUntil([&] { return client.State(id).established; }));
    EXPECT_TRUE(server.State(id).established);
    EXPECT_TRUE(server.State(id).layered);

    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i % 251);
    ASSERT_EQ(client.transport->Write(id, Channel, StreamOf(big).Get()), ResultOk);
    ASSERT_EQ(client.transport->Write(id, Channel, StreamOf({9}).Get()), ResultOk);
    ASSERT_TRUE(server.listener->WaitFrames(2));
    auto frames = server.listener->Frames();
    EXPECT_EQ(frames[0].connection, id);
    EXPECT_EQ(frames[0].channel, Channel);
    EXPECT_EQ(frames[0].payload, big);
    EXPECT_EQ(frames[1].payload, Bytes{9});

    // Answers come back on the same identity.
    ASSERT_EQ(server.transport->Write(id, Channel, StreamOf({7}).Get()), ResultOk);
    ASSERT_TRUE(client.listener->WaitFrames(1));
    EXPECT_EQ(client.listener->Frames()[0].connection, id);

    // Closing tells the peer not to bring the connection back.
    ASSERT_EQ(client.transport->CloseConnection(id), ResultOk);
    ASSERT_TRUE(server.listener->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_EQ(server.listener->Events().back().first, id);
    EXPECT_TRUE(PollUntil([&] { return client.Adapter().ConnectionCount() == 0; }));
    EXPECT_TRUE(PollUntil([&] { return server.Adapter().ConnectionCount() == 0; }));
}

// A message accepted (and acknowledged) on one socket but still waiting for the delivering
// thread when that socket is lost and a new one attached must still be delivered, once and
// in order.
TEST(TransportAdapterTests, AcceptedMessagesSurviveTheSocketTheyCameOn) {
    RelayedPair pair;
    auto gated = RefPtr<GatedListener>::Adopt(new GatedListener());
    pair.server.transport->AddNotify(gated.Get());
    pair.server.transport->RemoveNotify(pair.server.listener.Get());
    ASSERT_TRUE(pair.Open());
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(pair.client.transport->Write(pair.id, Channel, StreamOf(Numbered(i, 8)).Get()),
                  ResultOk);
    }
    // All three are acknowledged, so accepted, while the first delivery is still held.
    ASSERT_TRUE(PollUntil(
        [&] { return gated->Entered() && pair.client.State(pair.id).unacknowledged == 0; }));
    const int before = pair.relay.Accepted();
    pair.relay.CutAll();
    ASSERT_TRUE(PollUntil([&] {
        return pair.relay.Accepted() > before && !pair.server.State(pair.id).reconnecting &&
               !pair.client.State(pair.id).reconnecting;
    }));
    ASSERT_EQ(pair.client.transport->Write(pair.id, Channel, StreamOf(Numbered(3, 8)).Get()),
              ResultOk);
    gated->Open();
    ASSERT_TRUE(gated->inner->WaitFrames(4));
    const auto frames = gated->inner->Frames();
    ASSERT_EQ(frames.size(), 4u);
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(frames[i].connection, pair.id);
        EXPECT_EQ(frames[i].payload, Numbered(i, 8));
    }
    pair.server.transport->RemoveNotify(gated.Get());
}

// A cut right after a connection's first message, with both ends layered: the message written
// next, into the dead socket, comes with the resend. Before the open waited for the peer's
// answer to the hello, a cut in that window left the opener unable to reconnect, and the
// message Write had accepted was lost with the connection.
TEST(TransportAdapterTests, AMessageWrittenRightAfterACutArrives) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::uint16_t port = FindFreePort();
        Endpoint server(port, true);
        testing::TcpRelay relay(port);
        Endpoint client(0, true);
        UUID id;
        ASSERT_EQ(client.transport->OpenConnection(Loopback, relay.Port(), &id, 2000), ResultOk);
        EXPECT_TRUE(client.State(id).established) << "open returned before the hello's answer";
        const auto payload = StreamOf(Numbered(7, 64));
        ASSERT_EQ(client.transport->Write(id, Channel, payload.Get()), ResultOk);
        ASSERT_TRUE(server.listener->WaitFrames(1));
        relay.CutAll();
        ASSERT_EQ(client.transport->Write(id, Channel, payload.Get()), ResultOk);
        ASSERT_TRUE(server.listener->WaitFrames(2)) << "attempt " << attempt;
        EXPECT_EQ(server.listener->Frames()[1].payload, Numbered(7, 64));
    }
}

// Parameter: whether the transports deliver on their own thread or on each socket's reader.
class CutSocketsTest : public ::testing::TestWithParam<bool> {};

TEST_P(CutSocketsTest, EveryMessageArrivesOnceAndInOrder) {
    RelayedPair pair(nullptr, GetParam());
    ASSERT_TRUE(pair.Open());
    Endpoint& server = pair.server;
    Endpoint& client = pair.client;
    testing::TcpRelay& relay = pair.relay;
    const UUID id = pair.id;

    constexpr std::uint32_t Writers = 2;
    constexpr std::uint32_t PerWriter = 150;
    std::mt19937 random(12345);
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (std::uint32_t w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w, seed = random()] {
            std::mt19937 sizes(seed);
            for (std::uint32_t i = 0; i < PerWriter; ++i) {
                const Bytes message = Numbered(w * PerWriter + i, sizes() % 12000);
                if (Failed(client.transport->Write(id, Channel, StreamOf(message).Get()))) {
                    ++failures;
                }
            }
        });
    }
    // Cut the socket part-way through a frame, several times, whenever the connection is
    // back.
    for (int cut = 0; cut < 6; ++cut) {
        const int before = relay.Accepted();
        relay.CutAfter(1 + random() % 60000);
        if (!PollUntil([&] {
                return relay.Accepted() > before ||
                       server.listener->Frames().size() >= Writers * PerWriter;
            }))
            break;
    }
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(server.listener->WaitFrames(Writers * PerWriter));

    std::vector<std::uint32_t> next(Writers, 0);
    for (const auto& frame : server.listener->Frames()) {
        EXPECT_EQ(frame.connection, id);
        std::uint32_t index = 0;
        std::memcpy(&index, frame.payload.data(), 4);
        const std::uint32_t writer = index / PerWriter;
        ASSERT_LT(writer, Writers);
        EXPECT_EQ(index % PerWriter, next[writer]++);
        EXPECT_EQ(frame.payload, Numbered(index, frame.payload.size()));
    }
    EXPECT_GT(relay.Accepted(), 1);
    EXPECT_TRUE(client.State(id).established);
    // Nobody was told of a closed connection under the shared identity.
    for (const auto& [connection, event] : server.listener->Events()) {
        EXPECT_FALSE(connection == id && event == ITransport::ConnectionClosed);
    }
}

INSTANTIATE_TEST_SUITE_P(Delivery, CutSocketsTest, ::testing::Bool());

// The reconnect schedule and the give-up measure time on the monotonic clock: a step of the
// wall clock during the reconnect (parameter: ms) neither ends it early nor stretches it.
class GiveUpTest : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(GiveUpTest, BothSidesGiveUpTenSecondsAfterTheLoss) {
    testing::ManualClockScheduler clock;
    // Connections go to the deletion thread, which asks the scheduler for the time: it must
    // be done before the test's clock goes.
    struct Drain {
        ~Drain() { WaitForDeferredDeletions(10000); }
    } drain;
    testing::LogCapture log;
    RelayedPair pair;
    ASSERT_TRUE(pair.Open());
    Endpoint& server = pair.server;
    Endpoint& client = pair.client;
    testing::TcpRelay& relay = pair.relay;
    const UUID id = pair.id;
    // The client's attempts show that its timer looked at the clock.
    const std::string attempt = "try reconnect connection " + id.ToString();
    auto attempts = [&] {
        const auto messages = log.Messages();
        return std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& m) { return m.find(attempt) == 0; });
    };
    auto tickPassed = [&](std::ptrdiff_t seen) {
        return PollUntil([&] { return attempts() > seen || !client.State(id).exists; });
    };

    relay.CloseListener();
    relay.CutAll();
    ASSERT_TRUE(PollUntil([&] { return client.State(id).reconnecting; }));
    ASSERT_TRUE(PollUntil([&] { return server.State(id).reconnecting; }));
    ASSERT_TRUE(tickPassed(0));
    clock.SetTimeMs(clock.GetTimeMs() + GetParam());
    clock.AdvanceMs(400);
    ASSERT_TRUE(tickPassed(1));
    EXPECT_TRUE(client.State(id).exists);
    clock.AdvanceMs(8600);
    ASSERT_TRUE(tickPassed(2));
    EXPECT_TRUE(client.State(id).exists);
    clock.AdvanceMs(1001);
    ASSERT_TRUE(client.listener->WaitEvents(ITransport::ConnectionClosed, 1));
    ASSERT_TRUE(server.listener->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_EQ(client.Adapter().ConnectionCount(), 0u);
    EXPECT_EQ(server.Adapter().ConnectionCount(), 0u);
    client.transport->Finalize();
    server.transport->Finalize();
    auto closed = [](RecordingListener& listener, const UUID& connection) {
        int count = 0;
        for (const auto& [who, event] : listener.Events()) {
            count += who == connection && event == ITransport::ConnectionClosed;
        }
        return count;
    };
    EXPECT_EQ(closed(*client.listener, id), 1);
    EXPECT_EQ(closed(*server.listener, id), 1);
}

INSTANTIATE_TEST_SUITE_P(WallClockSteps, GiveUpTest, ::testing::Values(0, 3600000, -3600000));

}  // namespace
}  // namespace brondal
