// The reliable adapter against the peers it must survive: sockets cut at any byte while
// requests and answers are in flight, a peer that stops acknowledging, and a peer that
// streams pieces of a message without end.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "AdapterTestSupport.h"
#include "LayerHeaders.h"
#include "LogCapture.h"
#include "NetworkTransportImpl.h"

namespace brondal {
namespace {

using testing::BytesOf;
using testing::Channel;
using testing::IndexOf;
using testing::Loopback;
using testing::Numbered;
using testing::PollUntil;
using testing::RecordingListener;
using testing::RelayedPair;
using testing::StreamOf;
using testing::TcpRelay;
using Bytes = std::vector<std::uint8_t>;

// Answers every message with its own bytes on the delivering thread, as the directory's
// engine answers a request; records what it got.
class EchoListener final : public ITransport::ITransportNotify, public IRefCountImpl {
public:
    Result OnDataReady(UUID connectionId, UUID channelId, IDataStream* data) override {
        const Bytes bytes = BytesOf(data);
        inner->OnDataReady(connectionId, channelId, StreamOf(bytes).Get());
        if (ITransport* to = transport.load())
            to->Write(connectionId, channelId, StreamOf(bytes).Get());
        return ResultOk;
    }
    Result OnEvent(UUID connectionId, std::int32_t event) override {
        return inner->OnEvent(connectionId, event);
    }

    std::atomic<ITransport*> transport{nullptr};
    RefPtr<RecordingListener> inner = RefPtr<RecordingListener>::Adopt(new RecordingListener());
};

bool ClosedEventFor(RecordingListener& listener, const UUID& id) {
    for (const auto& [who, event] : listener.Events()) {
        if (who == id && event == ITransport::ConnectionClosed) return true;
    }
    return false;
}

// Each writer's messages, in the order they arrived, are its indexes 0, 1, 2 ... and whole.
void ExpectOnceInOrder(const std::vector<RecordingListener::Frame>& frames, const UUID& id,
                       std::uint32_t writers, std::uint32_t perWriter) {
    std::vector<std::uint32_t> next(writers, 0);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.connection, id);
        const std::uint32_t index = IndexOf(frame.payload);
        const std::uint32_t writer = index / perWriter;
        ASSERT_LT(writer, writers);
        EXPECT_EQ(index % perWriter, next[writer]++);
        EXPECT_EQ(frame.payload, Numbered(index, frame.payload.size()));
    }
}

// Where and how the sockets are cut: the first cut lands anywhere in the traffic, the
// following ones right after a reconnect (in the hello, or in the resend behind it).
struct CutPlan {
    TcpRelay::Direction direction;
    TcpRelay::Cut how;
    std::uint32_t seed;
};

class CutsInFlightTest : public ::testing::TestWithParam<CutPlan> {};

TEST_P(CutsInFlightTest, RequestsAndAnswersArriveOnceAndInOrder) {
    const CutPlan plan = GetParam();
    auto echo = RefPtr<EchoListener>::Adopt(new EchoListener());
    RelayedPair pair(echo.Get());
    echo->transport = pair.server.transport.Get();
    ASSERT_TRUE(pair.Open());

    constexpr std::uint32_t Writers = 2;
    constexpr std::uint32_t PerWriter = 120;
    constexpr std::uint32_t Total = Writers * PerWriter;
    std::mt19937 random(plan.seed);
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w, seed = random()] {
            std::mt19937 sizes(seed);
            for (std::uint32_t i = 0; i < PerWriter; ++i) {
                const Bytes message = Numbered(w * PerWriter + i, sizes() % 9000);
                if (Failed(pair.client.transport->Write(pair.id, Channel, StreamOf(message).Get())))
                    ++failures;
            }
        });
    }
    auto done = [&] { return pair.client.listener->Frames().size() >= Total; };
    for (int cut = 0; cut < 3 && !done(); ++cut) {
        const int before = pair.relay.Accepted();
        pair.relay.CutAfter(cut == 0 ? random() % 30000 : random() % 300, plan.direction, plan.how);
        PollUntil([&] { return pair.relay.Accepted() > before || done(); });
    }
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(echo->inner->WaitFrames(Total));
    ASSERT_TRUE(pair.client.listener->WaitFrames(Total));
    ExpectOnceInOrder(echo->inner->Frames(), pair.id, Writers, PerWriter);
    ExpectOnceInOrder(pair.client.listener->Frames(), pair.id, Writers, PerWriter);
    EXPECT_GT(pair.relay.Accepted(), 1);
    EXPECT_FALSE(ClosedEventFor(*echo->inner, pair.id));
    EXPECT_FALSE(ClosedEventFor(*pair.client.listener, pair.id));
}

using Direction = TcpRelay::Direction;
using Cut = TcpRelay::Cut;
INSTANTIATE_TEST_SUITE_P(Plans, CutsInFlightTest,
                         ::testing::Values(CutPlan{Direction::Up, Cut::Orderly, 1},
                                           CutPlan{Direction::Up, Cut::Reset, 2},
                                           CutPlan{Direction::Up, Cut::ClientSideOnly, 3},
                                           CutPlan{Direction::Down, Cut::Orderly, 4},
                                           CutPlan{Direction::Down, Cut::Reset, 5},
                                           CutPlan{Direction::Down, Cut::ClientSideOnly, 6}));

// A peer that speaks the layered protocol by hand over a plain connection: it says hello
// under its own identity, sends what the test gives it, and never acknowledges anything.
class RawPeer {
public:
    RawPeer(std::uint16_t port, const UUID& id) : id_(id) {
        platform::CreateInstance(0, 0, transport_.Receive());
        transport_->Initialize(false, true);
        transport_->AddNotify(listener_.Get());
        opened = Succeeded(transport_->OpenConnection(Loopback, port, &socket_, 2000)) &&
                 Succeeded(Send([&](IDataStream* out) {
                     return WriteHello(out, {id_, UUID(0x5e55, 0, 0, 1), false});
                 }));
    }
    ~RawPeer() {
        transport_->RemoveNotify(listener_.Get());
        transport_->Finalize();
    }

    // An unfragmented, unpaced sequenced message, as a resend goes.
    Result Sequenced(std::uint64_t sequence, const Bytes& payload) {
        return Send([&](IDataStream* out) {
            Result result = WriteSequencedDataHeader(out, sequence);
            if (Succeeded(result)) result = WriteUserMessageHeader(out, Channel);
            if (Succeeded(result) && !payload.empty()) {
                result =
                    out->WriteBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
            }
            return result;
        });
    }
    Result Piece(bool last) {
        return Send([&](IDataStream* out) {
            Result result = WriteFragmentHeader(out, last);
            return Succeeded(result) ? out->WriteUInt8(0xab) : result;
        });
    }

    bool opened = false;

private:
    template <class Fill>
    Result Send(Fill fill) {
        RefPtr<IDataStream> message;
        Result result = NewDataStream(message.Receive());
        if (Succeeded(result)) result = fill(message.Get());
        if (Succeeded(result)) result = transport_->Write(socket_, AdapterChannelId, message.Get());
        return result;
    }

    const UUID id_;
    RefPtr<ITransport> transport_;
    RefPtr<RecordingListener> listener_ = RefPtr<RecordingListener>::Adopt(new RecordingListener());
    UUID socket_;
};

// A peer that sends requests and never acknowledges the answers: its window closes and the
// answers wait for it, while another client is answered as before; once it holds more than
// the hard bound it is given up.
TEST(AdapterPeerTest, PeerThatWithholdsAcknowledgementsCostsOthersNothing) {
    testing::LogCapture log;
    const std::uint16_t port = testing::FindFreePort();
    auto echo = RefPtr<EchoListener>::Adopt(new EchoListener());
    testing::Endpoint server(port, false, echo.Get());
    echo->transport = server.transport.Get();
    // A waiting writer would hold the delivering thread for this long per piece.
    ASSERT_EQ(server.transport->SetWriteTimeout(60000), ResultOk);
    server.Adapter().SetHeldLimitsForTesting(64 << 10, 256 << 10);

    const UUID deafId(0xdeaf, 0, 0, 1);
    RawPeer deaf(port, deafId);
    ASSERT_TRUE(deaf.opened);
    ASSERT_TRUE(PollUntil([&] { return server.State(deafId).established; }));
    constexpr std::uint64_t Requests = 40;
    for (std::uint64_t s = 1; s <= Requests; ++s)
        ASSERT_EQ(deaf.Sequenced(s, Numbered(static_cast<std::uint32_t>(s), 1000)), ResultOk);
    ASSERT_TRUE(PollUntil([&] { return server.State(deafId).received == Requests; }));
    // The answers are written after the requests are counted, on the delivering thread.
    bool ready = true;
    EXPECT_TRUE(PollUntil([&] {
        return Succeeded(server.transport->ConnectionReadyForWrite(deafId, &ready)) && !ready;
    }));

    testing::Endpoint client(0, true);
    UUID id;
    ASSERT_EQ(client.transport->OpenConnection(Loopback, port, &id, 2000), ResultOk);
    for (std::uint32_t i = 0; i < 20; ++i) {
        ASSERT_EQ(client.transport->Write(id, Channel, StreamOf(Numbered(i, 3000)).Get()),
                  ResultOk);
        ASSERT_TRUE(client.listener->WaitFrames(i + 1)) << i;
    }
    ASSERT_EQ(server.transport->ConnectionReadyForWrite(id, &ready), ResultOk);
    EXPECT_TRUE(ready);

    // Past the hard bound the deaf peer is let go (its later requests fail), and only it.
    for (std::uint64_t s = Requests + 1; s <= Requests + 300; ++s)
        deaf.Sequenced(s, Numbered(static_cast<std::uint32_t>(s), 1000));
    ASSERT_TRUE(echo->inner->WaitEvents(ITransport::ConnectionClosed, 1));
    EXPECT_TRUE(ClosedEventFor(*echo->inner, deafId));
    EXPECT_FALSE(server.State(deafId).exists);
    EXPECT_TRUE(log.Contains("giving up connection " + deafId.ToString()));
    ASSERT_EQ(client.transport->Write(id, Channel, StreamOf(Numbered(20, 10)).Get()), ResultOk);
    ASSERT_TRUE(client.listener->WaitFrames(21));
    EXPECT_TRUE(server.State(id).established);
}

// Pieces of one message without end: past the most pieces a message may have it is dropped
// with a Severe line naming the connection, and the connection carries the next message.
TEST(AdapterPeerTest, EndlessPiecesAreDroppedAndTheConnectionGoesOn) {
    testing::LogCapture log;
    const std::uint16_t port = testing::FindFreePort();
    testing::Endpoint server(port);
    const UUID id(0xf100d, 0, 0, 1);
    RawPeer peer(port, id);
    ASSERT_TRUE(peer.opened);
    ASSERT_TRUE(PollUntil([&] { return server.State(id).established; }));
    const std::uint32_t pieces = ReassemblyLimits{}.maxFragments + 1;
    for (std::uint32_t i = 0; i < pieces; ++i)
        ASSERT_EQ(peer.Piece(false), ResultOk);
    const std::string dropped =
        "dropping a message being reassembled from connection " + id.ToString();
    ASSERT_TRUE(PollUntil([&] { return log.Contains(dropped); }));
    ASSERT_EQ(peer.Piece(false), ResultOk);
    ASSERT_EQ(peer.Piece(true), ResultOk);
    ASSERT_EQ(peer.Sequenced(1, {1, 2, 3}), ResultOk);
    ASSERT_TRUE(server.listener->WaitFrames(1));
    EXPECT_EQ(server.listener->Frames()[0].connection, id);
    EXPECT_EQ(server.listener->Frames()[0].payload, (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace brondal
