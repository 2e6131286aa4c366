// The binary frame receiver over bytes that arrive as the fuzzer scripts them. However the
// bytes are split, and wherever the source goes quiet, the receiver must report exactly
// the frames that one reading of the whole byte string finds by the framing rules written
// out below, keep memory in step with the bytes that came, and never stall while bytes are
// waiting. Frames made by the encoder must come back as they were.
//
// Input: a mode byte; odd: a channel (16 bytes), then the layout of ScriptedByteSource::Take
// whose wire bytes are the payload to encode; even: the scripted source.
#include <cstring>

#include "BinaryFrameReceiver.h"
#include "FrameEncoder.h"
#include "FuzzStreams.h"
#include "FuzzSupport.h"
#include "ScriptedByteSource.h"

namespace brondal::fuzz {
namespace {

using Outcome = BinaryFrameReceiver::Outcome;

struct Event {
    Outcome outcome;
    UUID channel;
    Bytes payload;
    friend bool operator==(const Event&, const Event&) = default;
};

// The framing rules, read over the whole byte string: find the marker, take the length,
// drop a header over the limit (the search goes on after its length field), else the
// channel and the payload; keep-alive channels carry their own payloads.
std::vector<Event> ExpectedEvents(const Bytes& wire) {
    std::vector<Event> events;
    std::size_t at = 0;
    for (;;) {
        const auto found = std::search(wire.begin() + static_cast<std::ptrdiff_t>(at), wire.end(),
                                       std::begin(FrameMarker), std::end(FrameMarker));
        const std::size_t header = static_cast<std::size_t>(found - wire.begin());
        if (wire.size() - header < FrameChannelOffset) return events;
        const std::uint32_t length = DecodeUInt32(wire.data() + header + FrameLengthOffset);
        if (length > MaxFramePayload) {
            events.push_back({Outcome::Dropped, {}, {}});
            at = header + FrameChannelOffset;
            continue;
        }
        if (wire.size() - header - FrameHeaderLength < length ||
            wire.size() - header < FrameHeaderLength) {
            return events;
        }
        const UUID channel = DecodeChannelId(wire.data() + header + FrameChannelOffset);
        const auto body = wire.begin() + static_cast<std::ptrdiff_t>(header + FrameHeaderLength);
        Bytes payload(body, body + length);
        if (channel == KeepAliveSettingsId) {
            events.push_back(length < 8 ? Event{Outcome::Dropped, {}, {}}
                                        : Event{Outcome::KeepAliveSettings, channel,
                                                Bytes(payload.begin(), payload.begin() + 8)});
        } else if (channel == KeepAlivePingId) {
            events.push_back({Outcome::KeepAlivePing, channel, {}});
        } else {
            events.push_back({Outcome::Data, channel, std::move(payload)});
        }
        at = header + FrameHeaderLength + length;
    }
}

Bytes SettingsBytes(const BinaryFrameReceiver::Frame& frame) {
    Bytes bytes(8);
    EncodeUInt32(frame.keepAliveIntervalMs, bytes.data());
    EncodeUInt32(frame.keepAliveTimeoutMs, bytes.data() + 4);
    return bytes;
}

// Runs passes until the source has nothing more for the receiver; the events reported.
std::vector<Event> Receive(ScriptedByteSource& source) {
    BinaryFrameReceiver receiver;
    std::vector<Event> events;
    // Every pass uses a script byte or consumes a byte, or it is the last.
    for (std::size_t pass = 0; pass <= source.Wire().size() + 256 + 2; ++pass) {
        const bool waiting = source.AllArrived() && !source.Exhausted();
        const std::size_t before = source.Consumed();
        BinaryFrameReceiver::Frame frame;
        const Outcome outcome = receiver.ReceivePass(source, &frame);
        switch (outcome) {
            case Outcome::Data:
                FUZZ_CHECK(frame.data);
                events.push_back({outcome, frame.channel, RestOf(frame.data.Get())});
                break;
            case Outcome::KeepAliveSettings:
                events.push_back({outcome, frame.channel, SettingsBytes(frame)});
                break;
            case Outcome::KeepAlivePing:
            case Outcome::Dropped:
                events.push_back(
                    {outcome, outcome == Outcome::Dropped ? UUID() : frame.channel, {}});
                break;
            case Outcome::OutOfMemory:
                FUZZ_CHECK(!"a body of this size must be allocatable");
                break;
            case Outcome::Pending:
            case Outcome::Broken:
                // Bytes that have all arrived are taken, never left waiting.
                FUZZ_CHECK(!waiting || source.Consumed() != before);
                if (source.Exhausted() && source.Consumed() == before) return events;
                break;
        }
        // Memory follows the bytes that came, not the length the peer announced.
        if (receiver.GetState() == BinaryFrameReceiver::State::Body) {
            FUZZ_CHECK(receiver.GetReceived() < receiver.GetFrameLength());
            FUZZ_CHECK(receiver.GetBodyCapacity() <=
                       std::max<std::uint64_t>(FrameBodyBuffer::InitialCapacity,
                                               2 * (std::uint64_t{receiver.GetReceived()} +
                                                    BinaryFrameReceiver::MaxBodyRead)));
            FUZZ_CHECK(receiver.GetBodyCapacity() <=
                       std::uint64_t{receiver.GetFrameLength()} + FrameBodyBuffer::Slack);
        }
    }
    FUZZ_CHECK(!"the receiver keeps passing without taking bytes");
    return events;
}

void CheckEncoded(FuzzInput& input) {
    const UUID channel = input.Uuid();
    const std::uint8_t end = input.Byte() % 3;
    const Bytes script = input.Sized();
    const Bytes payload = input.Rest();

    std::vector<std::uint8_t> wire;
    FUZZ_CHECK(EncodeBinaryFrame(channel, StreamOf(payload).Get(), &wire) == ResultOk);
    FUZZ_CHECK(wire.size() == FrameHeaderLength + payload.size());
    FUZZ_CHECK(std::equal(payload.begin(), payload.end(), wire.begin() + FrameHeaderLength));
    const std::vector<Event> expected = ExpectedEvents(wire);
    FUZZ_CHECK(expected.size() == 1);
    if (channel != KeepAliveSettingsId && channel != KeepAlivePingId) {
        FUZZ_CHECK(expected[0] == (Event{Outcome::Data, channel, payload}));
    }
    // Whole, and split as the script says.
    FUZZ_CHECK(Receive(*ScriptedByteSource::Create(wire)) == expected);
    FUZZ_CHECK(Receive(*ScriptedByteSource::Create(wire, script, end)) == expected);
}

}  // namespace

std::vector<Seed> FuzzSeeds() {
    const UUID channel(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);
    auto frame = [](const UUID& id, const Bytes& payload) {
        std::vector<std::uint8_t> wire;
        EncodeBinaryFrame(id, StreamOf(payload).Get(), &wire);
        return Bytes(wire.begin(), wire.end());
    };
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    auto receive = [](const Bytes& wire, const Bytes& script = {}, std::uint8_t end = 0) {
        return SeedWriter().Byte(0).Append(ScriptedByteSource::Layout(wire, script, end)).Get();
    };
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    const Bytes settings = {0x10, 0x27, 0, 0, 0x30, 0x75, 0, 0};
    Bytes oversize = frame(channel, {});
    EncodeUInt32(MaxFramePayload + 1, oversize.data() + FrameLengthOffset);
    Bytes announced = frame(channel, {});
    EncodeUInt32(200000, announced.data() + FrameLengthOffset);
    const Bytes big(5000, 0x5a);

    std::uint8_t id[ChannelIdLength];
    EncodeChannelId(channel, id);
    auto encode = [&](const Bytes& payload, const Bytes& script) {
        return SeedWriter()
            .Byte(1)
            .Append(Bytes(id, id + ChannelIdLength))
            .Append(ScriptedByteSource::Layout(payload, script, 1))
            .Get();
    };
    return {
        {"encode", encode(hello, {})},
        {"encode-split", encode(big, {3, 30, 0, 200, 1})},
        {"data", receive(frame(channel, hello))},
        {"empty-payload", receive(frame(channel, {}))},
        {"ping", receive(frame(KeepAlivePingId, {}))},
        {"settings", receive(frame(KeepAliveSettingsId, settings))},
        {"settings-short", receive(frame(KeepAliveSettingsId, {1, 2, 3}))},
        {"junk-before", receive(join({{'x', 'B', 'R', 'D'}, frame(channel, hello)}))},
        {"marker-without-zero",
         receive(join({{'B', 'R', 'D', 'M', 'S', 'G', 'G'}, frame(channel, hello)}))},
        {"oversize-then-frame", receive(join({oversize, frame(channel, hello)}))},
        {"large-body-in-pieces", receive(frame(channel, big), Bytes(40, 200))},
        {"byte-by-byte",
         receive(join({frame(channel, hello), frame(KeepAlivePingId, {})}), Bytes(60, 1))},
        {"quiet-gaps", receive(frame(channel, hello), {5, 0, 0, 9, 0, 20})},
        {"closed-in-body", receive(announced, {}, 1)},
        {"failed-in-header", receive(Bytes(oversize.begin(), oversize.begin() + 9), {}, 2)},
    };
}

void FuzzOne(FuzzInput& input) {
    if ((input.Byte() & 1) != 0) {
        CheckEncoded(input);
    } else {
        RefPtr<ScriptedByteSource> source = ScriptedByteSource::Take(input);
        FUZZ_CHECK(Receive(*source) == ExpectedEvents(source->Wire()));
    }
}

}  // namespace brondal::fuzz
