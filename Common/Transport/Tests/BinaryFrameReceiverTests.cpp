// The binary frame receive state machine over in-memory sources.
#include <gtest/gtest.h>

#include <random>

#include "BinaryFrameReceiver.h"
#include "FrameEncoder.h"
#include "ManualClockScheduler.h"
#include "MemoryByteSource.h"

namespace brondal {
namespace {

using testing::Bytes;
using testing::MemoryByteSource;
using testing::PatternByte;
using Outcome = BinaryFrameReceiver::Outcome;
using State = BinaryFrameReceiver::State;

const UUID ChannelA(0x11111111, 0x2222, 0x3333, 0x4444555566667777);
const UUID ChannelB(0xdeadbeef, 0x0001, 0x0002, 0x0000000000000003);

Bytes Header(const UUID& channel, std::uint32_t length) {
    Bytes header(FrameHeaderLength);
    EncodeFrameHeader(channel, length, header.data());
    return header;
}

Bytes Pattern(std::size_t length, std::uint64_t start = 0) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = PatternByte(start + i);
    return bytes;
}

Bytes Frame(const UUID& channel, const Bytes& payload) {
    Bytes frame = Header(channel, static_cast<std::uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes Contents(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    Bytes bytes(size);
    EXPECT_EQ(stream->ReadBytes(bytes.data(), size), ResultOk);
    return bytes;
}

struct Received {
    Outcome outcome;
    UUID channel;
    Bytes payload;
};

class BinaryFrameReceiverTest : public ::testing::Test {
protected:
    Outcome Pass() { return receiver.ReceivePass(*source, &frame); }
    // Every frame (and dropped header) until a pass ends with nothing.
    std::vector<Received> ReceiveAll() {
        std::vector<Received> all;
        for (Outcome o = Pass(); o != Outcome::Pending && o != Outcome::Broken; o = Pass()) {
            all.push_back({o, frame.channel, frame.data ? Contents(frame.data.Get()) : Bytes{}});
            frame = {};
        }
        return all;
    }

    RefPtr<MemoryByteSource> source = MemoryByteSource::Create();
    BinaryFrameReceiver receiver;
    BinaryFrameReceiver::Frame frame;
};

// Parameter: whether the source also hands out its bytes in place, so that frames whole
// among them are taken in one step; the outcomes are the same.
class HeldBytesTest : public BinaryFrameReceiverTest, public ::testing::WithParamInterface<bool> {
protected:
    HeldBytesTest() { source->SetHeld(GetParam()); }
};

TEST_P(HeldBytesTest, JunkFalseMarkersAndOversizedHeadersAreSkipped) {
    source->Append(Bytes{'x', 0x00, 'B'});
    source->Append(Frame(ChannelA, {1, 2, 3}));
    Bytes noZero = Frame(ChannelB, {9, 9, 9, 9});
    noZero[6] = 'X';
    source->Append(noZero);
    source->Append(Frame(ChannelA, {}));
    source->Append(Header(ChannelB, MaxFramePayload + 1));
    source->Append(Pattern(300));
    source->Append(Frame(ChannelB, {4, 2}));

    auto all = ReceiveAll();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].channel, ChannelA);
    EXPECT_EQ(all[0].payload, (Bytes{1, 2, 3}));
    EXPECT_EQ(all[1].outcome, Outcome::Data) << "27-byte frame, empty payload";
    EXPECT_TRUE(all[1].payload.empty());
    EXPECT_EQ(all[2].outcome, Outcome::Dropped);
    EXPECT_EQ(all[3].payload, (Bytes{4, 2}));
    EXPECT_EQ(source->Available(), 0u);
}

TEST_F(BinaryFrameReceiverTest, LargestPayloadIsDeliveredWholeInReadsOfAtMost4096) {
    source->Append(Header(ChannelA, MaxFramePayload));
    source->AppendPattern(MaxFramePayload);
    ASSERT_EQ(Pass(), Outcome::Data);
    std::uint32_t size = 0, hash = 0, expected = 0;
    frame.data->GetSize(&size);
    ASSERT_EQ(size, MaxFramePayload);
    for (std::uint32_t i = 0; i < MaxFramePayload; ++i)
        expected = expected * 37 + PatternByte(i);
    frame.data->GetHash(&hash);
    EXPECT_EQ(hash, expected);
    EXPECT_EQ(source->LargestReceive(), BinaryFrameReceiver::MaxBodyRead);
}

// Whatever byte a pass stops at, the next pass carries on from it.
TEST_F(BinaryFrameReceiverTest, EveryStateSurvivesBetweenPasses) {
    const Bytes payload = Pattern(5000);
    const Bytes wire = Frame(ChannelA, payload);
    std::vector<State> seen;
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        source->Append(Bytes{wire[i]});
        ASSERT_EQ(Pass(), Outcome::Pending) << "byte " << i;
        if (seen.empty() || seen.back() != receiver.GetState()) seen.push_back(receiver.GetState());
    }
    EXPECT_EQ(seen, (std::vector<State>{State::Header, State::Identifier, State::Body}));
    source->Append(Bytes{wire.back()});
    ASSERT_EQ(Pass(), Outcome::Data);
    EXPECT_EQ(Contents(frame.data.Get()), payload);

    // Small segments within one pass.
    source->SetMaxPiece(7);
    source->Append(wire);
    ASSERT_EQ(Pass(), Outcome::Data);
    EXPECT_EQ(Contents(frame.data.Get()), payload);
}

TEST_P(HeldBytesTest, KeepAliveFramesAreReportedNotDelivered) {
    Bytes settings(8);
    EncodeUInt32(1000, settings.data());
    EncodeUInt32(3000, settings.data() + 4);
    source->Append(Frame(KeepAliveSettingsId, settings));
    source->Append(Frame(KeepAlivePingId, {}));
    source->Append(Frame(KeepAliveSettingsId, {1, 2, 3, 4}));

    ASSERT_EQ(Pass(), Outcome::KeepAliveSettings);
    EXPECT_EQ(frame.keepAliveIntervalMs, 1000u);
    EXPECT_EQ(frame.keepAliveTimeoutMs, 3000u);
    EXPECT_FALSE(frame.data);
    ASSERT_EQ(Pass(), Outcome::KeepAlivePing);
    EXPECT_FALSE(frame.data);
    EXPECT_EQ(Pass(), Outcome::Dropped) << "settings too short for both values";
}

TEST_F(BinaryFrameReceiverTest, BodyBufferGrowsWithTheBytesNotWithTheAnnouncedLength) {
    source->Append(Header(ChannelA, MaxFramePayload));
    source->Append(Pattern(100));
    ASSERT_EQ(Pass(), Outcome::Pending);
    EXPECT_EQ(receiver.GetState(), State::Body);
    EXPECT_LE(receiver.GetBodyCapacity(), FrameBodyBuffer::InitialCapacity);

    std::uint64_t sent = 100;
    for (std::uint32_t piece = 1000; sent < 3000000; piece = piece * 3 / 2) {
        source->Append(Pattern(piece, sent));
        sent += piece;
        ASSERT_EQ(Pass(), Outcome::Pending);
        ASSERT_EQ(receiver.GetReceived(), sent);
        EXPECT_LE(receiver.GetBodyCapacity(), 2 * sent + FrameBodyBuffer::InitialCapacity);
    }

    // A body below the first step is allocated once, at its size plus the slack; one that
    // fits the receiver itself allocates nothing, and both arrive whole.
    for (const std::uint32_t length : {FrameBodyBuffer::InlineCapacity + 1, 100u}) {
        BinaryFrameReceiver small;
        auto other = MemoryByteSource::Create();
        other->Append(Header(ChannelA, length));
        other->Append(Pattern(40));
        ASSERT_EQ(small.ReceivePass(*other, &frame), Outcome::Pending);
        EXPECT_EQ(small.GetBodyCapacity(),
                  length > FrameBodyBuffer::InlineCapacity ? length + FrameBodyBuffer::Slack : 0);
        other->Append(Pattern(length - 40, 40));
        ASSERT_EQ(small.ReceivePass(*other, &frame), Outcome::Data);
        EXPECT_EQ(Contents(frame.data.Get()), Pattern(length));
    }
}

TEST_F(BinaryFrameReceiverTest, SourceClosingInsideAFrameRestartsAtTheHeader) {
    const Bytes wire = Frame(ChannelA, Pattern(1000));
    for (std::size_t cut : {3, 9, 20, 500}) {
        auto broken = MemoryByteSource::Create();
        broken->Append(Bytes(wire.begin(), wire.begin() + cut));
        broken->Close();
        EXPECT_EQ(receiver.ReceivePass(*broken, &frame), Outcome::Broken) << "cut at " << cut;
        EXPECT_EQ(receiver.GetState(), State::Header);
        EXPECT_EQ(receiver.GetBodyCapacity(), 0u);

        source->Append(Frame(ChannelB, {1}));
        auto all = ReceiveAll();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].payload, Bytes{1}) << "nothing of the lost frame lingers";
    }
}

// Junk and a partial marker are consumed as they come, so a peer that goes silent or closes
// after them leaves nothing behind for the reader to find readable again and again.
TEST_F(BinaryFrameReceiverTest, PartialMarkerIsConsumedAndTheMatchKept) {
    source->Append(Bytes{'x', 'y', 'B', 'R'});
    EXPECT_EQ(Pass(), Outcome::Pending);
    EXPECT_EQ(source->Available(), 0u);
    source->Append(Bytes{'D', 'M', 'S', 'G', 0, 0, 0, 0, 0});
    const Bytes header = Header(ChannelA, 0);
    source->Append(Bytes(header.begin() + FrameChannelOffset, header.end()));
    auto all = ReceiveAll();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].channel, ChannelA);
}

TEST_F(BinaryFrameReceiverTest, LastActivityIsTheTimeOfTheHeaderAndOfTheCompletedBody) {
    testing::ManualClockScheduler clock;
    source->Append(Header(ChannelA, 10));
    source->Append(Pattern(4));
    ASSERT_EQ(Pass(), Outcome::Pending);
    EXPECT_EQ(receiver.GetLastActivityMs(), clock.GetTimeMs());
    clock.AdvanceMs(5000);
    source->Append(Pattern(6, 4));
    ASSERT_EQ(Pass(), Outcome::Data);
    EXPECT_EQ(receiver.GetLastActivityMs(), clock.GetTimeMs());
}

// Valid frames among every kind of junk, fed in random slices and read in random segments:
// each valid frame comes out once, whole and in order.
TEST_P(HeldBytesTest, RandomJunkBetweenFramesNeverCostsAValidFrame) {
    std::mt19937 random(20240611);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    Bytes wire, header;
    std::vector<Received> expected;
    for (int i = 0; i < 1000; ++i) {
        switch (below(6)) {
            case 0:  // without zero bytes junk cannot hold a marker
                for (std::uint32_t n = below(40); n > 0; --n)
                    wire.push_back(1 + below(255));
                break;
            case 1:  // a marker that lacks its zero byte or is cut short
                for (char c : std::string(below(2) ? "BRDMSG!" : "BRDMS"))
                    wire.push_back(c);
                break;
            case 2:  // a header over the limit, without identifier
                header = Header(ChannelB, MaxFramePayload + 1 + below(1000));
                wire.insert(wire.end(), header.begin(), header.begin() + FrameChannelOffset);
                break;
            default: {
                const UUID channel(random(), 7, 9, random());
                const Bytes payload = Pattern(below(3) == 0 ? below(20000) : below(64), random());
                const Bytes frame = Frame(channel, payload);
                wire.insert(wire.end(), frame.begin(), frame.end());
                expected.push_back({Outcome::Data, channel, payload});
            }
        }
    }
    source->SetMaxPiece(1 + below(5000));
    std::vector<Received> delivered;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t slice = std::min<std::size_t>(1 + below(3000), wire.size() - at);
        source->Append(Bytes(wire.begin() + at, wire.begin() + at + slice));
        at += slice;
        for (const Received& r : ReceiveAll()) {
            if (r.outcome == Outcome::Data) delivered.push_back(r);
        }
    }
    ASSERT_EQ(delivered.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(delivered[i].channel, expected[i].channel) << "frame " << i;
        EXPECT_EQ(delivered[i].payload, expected[i].payload) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Source, HeldBytesTest, ::testing::Bool());

}  // namespace
}  // namespace brondal
