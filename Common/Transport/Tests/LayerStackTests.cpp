// The resend, fragment and flow-control layers over a recording bottom layer, byte for
// byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FlowControlLayer.h"
#include "FragmentLayer.h"
#include "LayerHeaders.h"
#include "LogCapture.h"
#include "LoopbackSupport.h"
#include "MyFactory.h"
#include "ResendLayer.h"
#include "Scheduler.h"

namespace brondal {
namespace {

using testing::BytesOf;
using testing::StreamOf;
using Bytes = std::vector<std::uint8_t>;

// The bottom of a stack: remembers what was sent; a received message passes up as given.
struct Recorder final : ITransportLayer {
    struct Sent {
        Bytes bytes;
        std::uint32_t timeout;
    };
    std::vector<Sent>* sent;
    Result failWith = ResultOk;
    // Runs before each send is recorded, as other threads may while a real write lets the
    // monitor go.
    std::function<void()> onSend;

    explicit Recorder(std::vector<Sent>* log) : sent(log) {}
    Result Send(IDataStream* message, std::uint32_t timeout) override {
        if (onSend) onSend();
        if (Failed(failWith)) return failWith;
        sent->push_back({BytesOf(message), timeout});
        return ResultOk;
    }
    Result Receive(RefPtr<IDataStream>&, RefPtr<ITransport::PostReceiveTask>&) override {
        return ResultOk;
    }
    Result Connect(const UUID&, const UUID&, bool) override { return ResultOk; }
    Result Disconnect() override { return ResultOk; }
};

struct HelloLog final : IResendConnection {
    std::vector<Hello> hellos;
    std::vector<Bytes> accepted;
    bool reconnecting = false;
    Result OnConnect(const UUID& id, const UUID& session, bool reconnect) override {
        hellos.push_back({id, session, reconnect});
        return ResultOk;
    }
    Result OnAccepted(IDataStream* message) override {
        std::uint32_t position = 0;
        message->GetPosition(&position);
        accepted.push_back(BytesOf(message));
        return message->SetPosition(position);
    }
    bool Reconnecting() const override { return reconnecting; }
};

Bytes Sequence(std::uint64_t n) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i)
        bytes.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    return bytes;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Filled(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
}

// Hands one received message to a layer; the bytes that come out above it, or none.
std::optional<Bytes> Receive(ITransportLayer& layer, const Bytes& message,
                             RefPtr<ITransport::PostReceiveTask>* task = nullptr) {
    RefPtr<IDataStream> stream = StreamOf(message);
    RefPtr<ITransport::PostReceiveTask> after;
    layer.Receive(stream, after);
    if (task != nullptr) *task = after;
    if (!stream) return std::nullopt;
    return BytesOf(stream.Get());
}

TEST(FragmentLayerTests, CutsAt4096AndJoinsAgain) {
    std::vector<Recorder::Sent> sent;
    FragmentLayer sender(std::make_unique<Recorder>(&sent));
    ASSERT_EQ(sender.Send(StreamOf(Filled(4096)).Get(), 100), ResultOk);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, Concat({0x01, 0x01}, Filled(4096)));

    sent.clear();
    const Bytes message = Filled(4097);
    ASSERT_EQ(sender.Send(StreamOf(message).Get(), 100), ResultOk);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes.size(), 4098u);
    EXPECT_EQ(sent[0].bytes[1], 0x00);
    EXPECT_EQ(sent[1].bytes, Concat({0x01, 0x01}, {message.back()}));

    FragmentLayer receiver(std::make_unique<Recorder>(&sent));
    EXPECT_FALSE(Receive(receiver, sent[0].bytes).has_value());
    EXPECT_EQ(Receive(receiver, sent[1].bytes), message);

    // Nothing to send for an empty message; control traffic goes whole.
    sent.clear();
    EXPECT_EQ(sender.Send(StreamOf({}).Get(), 100), ResultOk);
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(sender.Send(StreamOf(Filled(5000)).Get(), 0), ResultOk);
    EXPECT_EQ(sent.at(0).bytes, Filled(5000));
    // Other kinds pass up with their position unchanged.
    EXPECT_EQ(Receive(receiver, {0x06, 1, 2}), (Bytes{0x06, 1, 2}));
}

TEST(FragmentLayerTests, SocketLossDropsHalfReceivedMessage) {
    std::vector<Recorder::Sent> sent;
    FragmentLayer receiver(std::make_unique<Recorder>(&sent));
    EXPECT_FALSE(Receive(receiver, {0x01, 0x00, 0xAA}).has_value());
    receiver.Disconnect();
    EXPECT_EQ(Receive(receiver, {0x01, 0x01, 0xBB}), (Bytes{0xBB}));
}

Bytes Piece(bool last, std::size_t size) {
    return Concat({0x01, static_cast<std::uint8_t>(last ? 1 : 0)}, Filled(size));
}

// One reassembly limit at a time: the pieces of one message, its bytes, or the budget the
// connections of an adapter share (another connection holds a partial message of it).
struct ReassemblyCase {
    const char* name;
    ReassemblyLimits limits;
    std::uint64_t budget;
    std::size_t piece;
    // Pieces taken before the one that is refused.
    int taken;
};

class ReassemblyLimitTest : public ::testing::TestWithParam<ReassemblyCase> {};

TEST_P(ReassemblyLimitTest, PartialMessageIsDroppedAndTheConnectionGoesOn) {
    const ReassemblyCase& c = GetParam();
    testing::LogCapture log;
    std::vector<Recorder::Sent> unused;
    auto budget = std::make_shared<FragmentLayer::Budget>(c.budget);
    const UUID name(7, 7, 7, 7);
    FragmentLayer other(std::make_unique<Recorder>(&unused), nullptr, budget);
    EXPECT_FALSE(Receive(other, Piece(false, 40)).has_value());
    FragmentLayer layer(std::make_unique<Recorder>(&unused), &name, budget, c.limits);
    for (int i = 0; i < c.taken; ++i)
        EXPECT_FALSE(Receive(layer, Piece(false, c.piece)).has_value());
    EXPECT_FALSE(log.Contains("dropping"));
    EXPECT_FALSE(Receive(layer, Piece(false, c.piece)).has_value());
    EXPECT_TRUE(
        log.Contains("dropping a message being reassembled from connection " + name.ToString()));
    // The rest of the dropped message is skipped up to its last piece, then the next one is
    // joined as ever, and the other connection's message was not touched.
    EXPECT_FALSE(Receive(layer, Piece(false, c.piece)).has_value());
    EXPECT_FALSE(Receive(layer, Piece(true, c.piece)).has_value());
    EXPECT_FALSE(Receive(layer, Piece(false, 5)).has_value());
    EXPECT_EQ(Receive(layer, Piece(true, 6)), Concat(Filled(5), Filled(6)));
    EXPECT_EQ(Receive(other, Piece(true, 1)), Concat(Filled(40), Filled(1)));
    EXPECT_EQ(budget->Used(), 0u);
}

// A message in one piece is never held, so an exhausted budget does not stop it; one in
// pieces is dropped.
TEST(ReassemblyBudgetTest, OnePieceMessagesPassAnExhaustedBudget) {
    testing::LogCapture log;
    std::vector<Recorder::Sent> unused;
    FragmentLayer layer(std::make_unique<Recorder>(&unused), nullptr,
                        std::make_shared<FragmentLayer::Budget>(0));
    EXPECT_EQ(Receive(layer, Piece(true, 30)), Filled(30));
    EXPECT_FALSE(Receive(layer, Piece(false, 30)).has_value());
    EXPECT_FALSE(Receive(layer, Piece(true, 30)).has_value());
    EXPECT_TRUE(log.Contains("dropping a message being reassembled"));
    EXPECT_EQ(Receive(layer, Piece(true, 5)), Filled(5));
}

// The layers sharing a budget take from it and give back on different threads: a lost
// socket under the adapter's monitor, a destructor on whichever thread let go of the
// connection last. No thread may take what another holds, and all of it comes back.
TEST(ReassemblyBudgetTest, ThreadsSharingItNeverOvercommitIt) {
    constexpr std::uint64_t Limit = 20000;
    FragmentLayer::Budget budget(Limit);
    std::vector<std::uint64_t> taken(4, 0);
    std::latch full(4);
    std::vector<std::thread> threads;
    for (auto& mine : taken) {
        threads.emplace_back([&budget, &mine, &full] {
            while (budget.Take(1))
                ++mine;
            full.arrive_and_wait();
            for (std::uint64_t i = 0; i < mine; ++i)
                budget.Give(1);
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::uint64_t total = 0;
    for (std::uint64_t mine : taken)
        total += mine;
    EXPECT_EQ(total, Limit);
    EXPECT_EQ(budget.Used(), 0u);
}

constexpr std::uint64_t PieceCharge(std::uint64_t bytes) {
    return bytes + FragmentLayer::Budget::PieceCost;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReassemblyLimitTest,
    ::testing::Values(ReassemblyCase{"pieces", {100000, 4}, 1 << 20, 10, 4},
                      ReassemblyCase{"bytes", {100, 1000}, 1 << 20, 30, 3},
                      ReassemblyCase{
                          "budget", {100000, 1000}, PieceCharge(40) + 3 * PieceCharge(30), 30, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A sequenced message, and the acknowledgement of a sequence number, as they are on the wire.
Bytes Data(std::uint64_t sequence, const Bytes& body) {
    return Concat(Concat({0x05}, Sequence(sequence)), body);
}
Bytes Ack(std::uint64_t sequence) { return Concat({0x06}, Sequence(sequence)); }

struct ResendFixture : ::testing::Test {
    std::vector<Recorder::Sent> sent;
    HelloLog peer;
    Recorder* bottom = nullptr;
    std::unique_ptr<ResendLayer> layer;

    ResendFixture() {
        auto recorder = std::make_unique<Recorder>(&sent);
        bottom = recorder.get();
        layer = std::make_unique<ResendLayer>(&peer, std::move(recorder));
    }
};

TEST_F(ResendFixture, NumbersRetainsAndDropsWhatIsAcknowledged) {
    for (std::uint8_t i = 1; i <= 6; ++i)
        ASSERT_EQ(layer->Send(StreamOf({i}).Get(), 50), ResultOk);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].bytes, Data(1, {1}));
    EXPECT_EQ(sent[0].timeout, 50u);
    EXPECT_EQ(layer->RetainedCount(), 6u);

    EXPECT_FALSE(Receive(*layer, Ack(5)).has_value());
    EXPECT_EQ(layer->RetainedCount(), 1u);

    // A failed send keeps the message for the next reconnect.
    bottom->failWith = ResultSocketWriteFailed;
    EXPECT_EQ(layer->Send(StreamOf({7}).Get(), 50), ResultSocketWriteFailed);
    bottom->failWith = ResultOk;
    sent.clear();
    const UUID id(1, 2, 3, 4);
    const UUID session(5, 6, 7, 8);
    ASSERT_EQ(layer->Connect(id, session, true), ResultOk);
    ASSERT_EQ(sent.size(), 3u);
    RefPtr<IDataStream> hello;
    NewDataStream(hello.Receive());
    WriteHello(hello.Get(), {id, session, true});
    EXPECT_EQ(sent[0].bytes, BytesOf(hello.Get()));
    EXPECT_EQ(sent[1].bytes, Data(6, {6}));
    EXPECT_EQ(sent[2].bytes, Data(7, {7}));
    EXPECT_EQ(sent[2].timeout, 0u);

    // Closing sends a hello without identity and resends nothing.
    sent.clear();
    ASSERT_EQ(layer->Connect(UUID(), session, false), ResultOk);
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(ResendFixture, DeliversInOrderAcknowledgesDuplicatesAndRefusesGaps) {
    testing::LogCapture log;
    // Taken and delivered, its acknowledgement left for later.
    EXPECT_EQ(Receive(*layer, Data(1, {0x00, 9})), (Bytes{0x00, 9}));
    EXPECT_TRUE(sent.empty());
    // A duplicate means the peer is resending: it hears at once where this side stands, and
    // the connection holds the message before that acknowledgement is written.
    std::size_t acceptedAtAck = 0;
    bottom->onSend = [&] { acceptedAtAck = peer.accepted.size(); };
    EXPECT_FALSE(Receive(*layer, Data(1, {0x00, 9})).has_value());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.at(0).bytes, Ack(1));
    EXPECT_EQ(sent.at(0).timeout, 0u);
    EXPECT_EQ(acceptedAtAck, 1u);
    bottom->onSend = nullptr;
    // Nothing new since: a flush writes nothing.
    EXPECT_EQ(layer->FlushAcknowledgement(), ResultOk);
    EXPECT_EQ(sent.size(), 1u);

    RefPtr<IDataStream> gap = StreamOf(Data(3, {0x00}));
    RefPtr<ITransport::PostReceiveTask> task;
    EXPECT_EQ(layer->Receive(gap, task), ResultFail);
    EXPECT_FALSE(gap);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_TRUE(log.Contains("received sequence 3; expected 2 on "));

    // An acknowledgement that cannot go out does not cost the message.
    bottom->failWith = ResultSocketWriteFailed;
    EXPECT_EQ(Receive(*layer, Data(2, {0x00, 8})), (Bytes{0x00, 8}));
    EXPECT_EQ(layer->LastReceived(), 2u);
    EXPECT_EQ(layer->FlushAcknowledgement(), ResultSocketWriteFailed);
}

// One acknowledgement covers every message up to its number: it is written once enough
// messages or bytes were taken, and a flush writes what is left.
struct AckCase {
    const char* name;
    SequenceAckPolicy policy;
    std::size_t body;
    // Messages taken when the acknowledgement goes out by itself.
    std::uint64_t acknowledgedAt;
};

class SequenceAckTest : public ::testing::TestWithParam<AckCase> {};

TEST_P(SequenceAckTest, OneAcknowledgementCoversSeveralMessages) {
    const AckCase& c = GetParam();
    std::vector<Recorder::Sent> sent;
    HelloLog peer;
    ResendLayer layer(&peer, std::make_unique<Recorder>(&sent), c.policy);
    auto data = [&](std::uint64_t n) { return Data(n, Filled(c.body)); };
    for (std::uint64_t n = 1; n < c.acknowledgedAt; ++n)
        ASSERT_TRUE(Receive(layer, data(n)).has_value());
    EXPECT_TRUE(sent.empty());
    ASSERT_TRUE(Receive(layer, data(c.acknowledgedAt)).has_value());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, Ack(c.acknowledgedAt));
    // The next one waits for the flush (unless each message is acknowledged by itself).
    ASSERT_TRUE(Receive(layer, data(c.acknowledgedAt + 1)).has_value());
    EXPECT_EQ(sent.size(), c.acknowledgedAt == 1 ? 2u : 1u);
    ASSERT_EQ(layer.FlushAcknowledgement(), ResultOk);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].bytes, Ack(c.acknowledgedAt + 1));
    EXPECT_EQ(peer.accepted.size(), c.acknowledgedAt + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, SequenceAckTest,
    ::testing::Values(AckCase{"everyMessage", {1, 1 << 20}, 10, 1},
                      AckCase{"byCount", {}, 10, SequenceAckPolicy{}.messages},
                      // Each message with its 9 header bytes: the third reaches 3000.
                      AckCase{"byBytes", {100, 3000}, 991, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResendFixture, HelloReachesTheConnection) {
    RefPtr<IDataStream> hello;
    NewDataStream(hello.Receive());
    WriteHello(hello.Get(), {UUID(1, 1, 1, 1), UUID(2, 2, 2, 2), true});
    EXPECT_FALSE(Receive(*layer, BytesOf(hello.Get())).has_value());
    ASSERT_EQ(peer.hellos.size(), 1u);
    EXPECT_EQ(peer.hellos[0].connectionId, UUID(1, 1, 1, 1));
    EXPECT_EQ(peer.hellos[0].sessionId, UUID(2, 2, 2, 2));
    EXPECT_TRUE(peer.hellos[0].reconnect);
    // A truncated hello fails and reaches nobody.
    RefPtr<IDataStream> cut = StreamOf({0x04, 1, 2, 3});
    RefPtr<ITransport::PostReceiveTask> task;
    EXPECT_TRUE(Failed(layer->Receive(cut, task)));
    EXPECT_EQ(peer.hellos.size(), 1u);
}

TEST_F(ResendFixture, FirstTimeMessagesNeverOvertakeTheResend) {
    ASSERT_EQ(layer->Send(StreamOf({1}).Get(), 50), ResultOk);
    ASSERT_EQ(sent.size(), 1u);
    // No socket: numbered and retained only.
    peer.reconnecting = true;
    ASSERT_EQ(layer->Send(StreamOf({2}).Get(), 50), ResultOk);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(layer->RetainedCount(), 2u);

    // On the new socket (the peer's reconnect hello may come before this side saw the loss,
    // so without reconnecting) a message written while the resend lets the monitor go
    // joins it in its turn, and so does one written after an acknowledgement shrank the
    // queue meanwhile.
    peer.reconnecting = false;
    sent.clear();
    int sends = 0;
    bottom->onSend = [&] {
        if (++sends == 2) {
            EXPECT_EQ(layer->Send(StreamOf({3}).Get(), 50), ResultOk);
        } else if (sends == 3) {
            EXPECT_FALSE(Receive(*layer, Ack(1)).has_value());
            EXPECT_EQ(layer->Send(StreamOf({4}).Get(), 50), ResultOk);
        }
    };
    ASSERT_EQ(layer->Connect(UUID(1, 2, 3, 4), UUID(5, 6, 7, 8), true), ResultOk);
    bottom->onSend = nullptr;
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].bytes[0], 0x04);
    for (std::uint8_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(sent[i].bytes, Data(i, {i}));
        EXPECT_EQ(sent[i].timeout, 0u);
    }
    // Afterwards first-time messages go at once again.
    ASSERT_EQ(layer->Send(StreamOf({5}).Get(), 50), ResultOk);
    EXPECT_EQ(sent.back().bytes, Data(5, {5}));
    EXPECT_EQ(sent.back().timeout, 50u);
}

TEST(FlowControlLayerTests, PacesSendsAndAnswersPacedPackets) {
    std::unique_ptr<Scheduler::Monitor> monitor = GetScheduler().CreateMonitor();
    auto factory = std::make_shared<MyFactory>(0, monitor.get());
    std::vector<Recorder::Sent> sent;
    FlowControlLayer layer(nullptr, nullptr, 0x7f000001, 9, factory->Create(),
                           std::make_unique<Recorder>(&sent));

    const std::int64_t before = GetScheduler().GetTimeMs();
    // Queued by Send, sent by the pump while the window admits it.
    ASSERT_EQ(layer.Send(StreamOf({0x01, 0x01, 0xAB}).Get(), 100), ResultOk);
    ASSERT_EQ(layer.Pump(), ResultOk);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].bytes.size(), 12u);
    EXPECT_EQ(sent[0].bytes[0], 0x02);
    std::int64_t stamp = 0;
    std::memcpy(&stamp, &sent[0].bytes[1], 8);
    EXPECT_GE(stamp, before);
    EXPECT_EQ(Bytes(sent[0].bytes.begin() + 9, sent[0].bytes.end()), (Bytes{0x01, 0x01, 0xAB}));

    // The receiver passes the packet up and acknowledges its whole size once delivered.
    RefPtr<ITransport::PostReceiveTask> task;
    EXPECT_EQ(Receive(layer, sent[0].bytes, &task), (Bytes{0x01, 0x01, 0xAB}));
    ASSERT_TRUE(task);
    sent.clear();
    task->Run();
    ASSERT_EQ(sent.size(), 1u);
    RefPtr<IDataStream> ack = StreamOf(sent[0].bytes);
    std::uint8_t kind = 0;
    PacedAck values;
    ack->ReadUInt8(&kind);
    ASSERT_EQ(ReadPacedAck(ack.Get(), &values), ResultOk);
    EXPECT_EQ(kind, 0x03);
    EXPECT_EQ(values.bytes, 12);
    EXPECT_EQ(sent[0].timeout, 0u);

    // Control traffic and the traffic of a lost socket go unpaced.
    sent.clear();
    layer.Send(StreamOf({0x06}).Get(), 0);
    layer.Disconnect();
    layer.Send(StreamOf({0x05}).Get(), 100);
    EXPECT_EQ(sent.at(0).bytes, (Bytes{0x06}));
    EXPECT_EQ(sent.at(1).bytes, (Bytes{0x05}));
    // Acknowledgements are consumed.
    RefPtr<IDataStream> answer;
    NewDataStream(answer.Receive());
    WritePacedAck(answer.Get(), {1, 12});
    EXPECT_FALSE(Receive(layer, BytesOf(answer.Get())).has_value());
}

// A message the window does not admit whole waits part-way in the paced queue; what is
// written after it goes behind it, and acknowledgements let everything out in order.
TEST(FlowControlLayerTests, PartWayWindowStallHoldsTheRestAndWhatFollowsInOrder) {
    std::unique_ptr<Scheduler::Monitor> monitor = GetScheduler().CreateMonitor();
    auto factory = std::make_shared<MyFactory>(0, monitor.get());
    std::vector<Recorder::Sent> sent;
    auto flow = std::make_unique<FlowControlLayer>(
        nullptr, nullptr, 0x7f000001, 9, factory->Create(), std::make_unique<Recorder>(&sent));
    FlowControlLayer& pacer = *flow;
    FragmentLayer sender(std::move(flow));
    const Bytes first = Filled(5 * 4096);
    const Bytes second = Filled(100);
    ASSERT_EQ(sender.Send(StreamOf(first).Get(), 100), ResultOk);
    ASSERT_EQ(pacer.Pump(), ResultOk);
    // Packets of 4107 bytes: after two, 8214 unacknowledged are above the 8192 window.
    EXPECT_EQ(sent.size(), 2u);
    ASSERT_EQ(sender.Send(StreamOf(second).Get(), 100), ResultOk);
    ASSERT_EQ(pacer.Pump(), ResultOk);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_FALSE(pacer.CanSendNow());

    RefPtr<IDataStream> ack;
    NewDataStream(ack.Receive());
    WritePacedAck(ack.Get(), {10, 4107});
    for (int acks = 0; sent.size() < 6 && acks < 6; ++acks) {
        EXPECT_FALSE(Receive(pacer, BytesOf(ack.Get())).has_value());
        ack->SetPosition(0);
        ASSERT_EQ(pacer.Pump(), ResultOk);
    }
    ASSERT_EQ(sent.size(), 6u);
    std::vector<Recorder::Sent> unused;
    FragmentLayer receiver(std::make_unique<Recorder>(&unused));
    std::vector<Bytes> joined;
    for (const auto& packet : sent) {
        EXPECT_EQ(packet.bytes[0], 0x02);
        EXPECT_EQ(packet.timeout, 100u);
        auto message = Receive(receiver, Bytes(packet.bytes.begin() + 9, packet.bytes.end()));
        if (message) joined.push_back(*message);
    }
    EXPECT_EQ(joined, (std::vector<Bytes>{first, second}));

    // A lost socket empties the queue: the resend layer sends the retained messages whole.
    ASSERT_EQ(sender.Send(StreamOf(first).Get(), 100), ResultOk);
    EXPECT_GT(pacer.QueuedPackets(), 0u);
    pacer.Disconnect();
    EXPECT_EQ(pacer.QueuedPackets(), 0u);
}

}  // namespace
}  // namespace brondal
