// What a connection sends, byte for byte, and how the connecting side reads the handshake.
#include <gtest/gtest.h>

#include <string>

#include "FrameEncoder.h"
#include "Handshake.h"
#include "LogCapture.h"
#include "MemoryByteSource.h"
#include "UuidStream.h"
#include "WireFormat.h"

namespace brondal {
namespace {

using testing::Bytes;

const UUID Channel(0x01020304, 0x0506, 0x0708, 0x090a0b0c0d0e0f10);
const UUID Connection(0x3f2504e0, 0x4f89, 0x11d3, 0x9a0c0305e82c3301);

RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return stream;
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FrameEncoderTest, FramesByteForByte) {
    Bytes wire;
    ASSERT_EQ(EncodeBinaryFrame(KeepAlivePingId, StreamOf({}).Get(), &wire), ResultOk);
    const Bytes pingId = {0xd1, 0xff, 0x83, 0x27, 0xc7, 0x7e, 0xe2, 0x11,
                          0x9e, 0x96, 0x08, 0x00, 0x20, 0x0c, 0x9a, 0x66};
    EXPECT_EQ(wire, (Text("BRDMSG") + Bytes{0, 0, 0, 0, 0} + pingId));

    Bytes settingsId(ChannelIdLength);
    EncodeChannelId(KeepAliveSettingsId, settingsId.data());
    EXPECT_EQ(settingsId, (Bytes{0xd0} + Bytes(pingId.begin() + 1, pingId.end())));

    // The channel bytes are the identifier's serial form.
    RefPtr<IDataStream> serial = StreamOf({});
    SerializeUuid(serial.Get(), Channel);
    Bytes channel(ChannelIdLength);
    serial->ReadBytes(channel.data(), ChannelIdLength);
    EXPECT_EQ(DecodeChannelId(channel.data()), Channel);

    RefPtr<IDataStream> payload = StreamOf({0xaa, 0xbb, 0xcc});
    ASSERT_EQ(EncodeBinaryFrame(Channel, payload.Get(), &wire), ResultOk);
    EXPECT_EQ(wire, (Text("BRDMSG") + Bytes{0, 3, 0, 0, 0} + channel + Bytes{0xaa, 0xbb, 0xcc}));
    EXPECT_EQ(payload->WriteUInt8(0xdd), ResultOk) << "the caller's stream stays writable";
    // Appended, the same frame follows what the buffer held.
    Bytes held = {7};
    ASSERT_EQ(AppendBinaryFrame(Channel, payload.Get(), &held), ResultOk);
    EXPECT_EQ(held, (Bytes{7} + Text("BRDMSG") + Bytes{0, 4, 0, 0, 0} + channel +
                     Bytes{0xaa, 0xbb, 0xcc, 0xdd}));

    ASSERT_EQ(EncodeTextFrame(StreamOf(Text("hi;")).Get(), true, &wire), ResultOk);
    EXPECT_EQ(wire, Text("BRDMSG:hi;"));
    ASSERT_EQ(EncodeTextFrame(StreamOf(Text("hi;")).Get(), false, &wire), ResultOk);
    EXPECT_EQ(wire, Text("hi;"));
}

TEST(FrameEncoderTest, PayloadLimitIsInclusiveAndOneByteMoreIsRefused) {
    testing::LogCapture log;
    RefPtr<IDataStream> largest = StreamOf({});
    ASSERT_EQ(largest->WriteGap(MaxFramePayload), ResultOk);
    Bytes wire;
    ASSERT_EQ(EncodeBinaryFrame(Channel, largest.Get(), &wire), ResultOk);
    EXPECT_EQ(wire.size(), FrameHeaderLength + MaxFramePayload);
    EXPECT_FALSE(log.Contains("Message exceeded max message size."));

    ASSERT_EQ(largest->WriteUInt8(1), ResultOk);
    Bytes untouched = {1};
    EXPECT_EQ(EncodeBinaryFrame(Channel, largest.Get(), &untouched), ResultFail);
    EXPECT_EQ(EncodeTextFrame(largest.Get(), true, &untouched), ResultFail);
    EXPECT_EQ(AppendBinaryFrame(Channel, largest.Get(), &untouched), ResultFail);
    EXPECT_EQ(untouched, Bytes{1});
    EXPECT_TRUE(log.Contains("Message exceeded max message size."));
}

TEST(HandshakeTest, RecordRoundTrips) {
    HandshakeRecord record = BuildHandshake(Connection, true);
    EXPECT_EQ(Bytes(record.begin(), record.end()),
              (Text("BRDTRPT0002") + Text("3f2504e0-4f89-11d3-9a0c-0305e82c3301") + Bytes{1, 1}));
    for (bool encrypted : {true, false}) {
        record = BuildHandshake(Connection, encrypted);
        auto source = testing::MemoryByteSource::Create();
        source->Append(Bytes(record.begin(), record.end()));
        HandshakeInfo info;
        ASSERT_EQ(ReadHandshake(*source, &info), ResultOk);
        EXPECT_EQ(info.connectionId, Connection);
        EXPECT_EQ(info.encryptionRequested, encrypted);
        EXPECT_EQ(source->Available(), 0u);
    }
}

// Reads the record's first `length` bytes, with byte `at` changed to `value` when given.
Result ReadAltered(std::size_t length, std::size_t at = 0, char value = 0) {
    HandshakeRecord record = BuildHandshake(Connection, true);
    if (value != 0) record[at] = static_cast<std::uint8_t>(value);
    auto source = testing::MemoryByteSource::Create();
    source->Append(Bytes(record.begin(), record.begin() + length));
    source->Close();
    HandshakeInfo info;
    return ReadHandshake(*source, &info);
}

TEST(HandshakeTest, WrongVersionOrMagicAndShortReadsFail) {
    testing::LogCapture log;
    EXPECT_EQ(ReadAltered(HandshakeLength, 10, '3'), ResultVersionMismatch);
    EXPECT_TRUE(
        log.Contains("The server protocol version (0003) does not match client "
                     "protocol version (0002). scancount: 1"));
    EXPECT_EQ(ReadAltered(HandshakeLength, 0, 'X'), ResultVersionMismatch);
    EXPECT_TRUE(log.Contains("version (0002). scancount: 0"));
    // Too short for the version: the filling fails the check. Long enough for the version
    // but not the identifier: refused all the same.
    EXPECT_EQ(ReadAltered(9), ResultVersionMismatch);
    EXPECT_EQ(ReadAltered(30), ResultFail);
}

TEST(HandshakeTest, FlagBytesCountOnlyWithinTheWaitAndAfterANonZeroMarker) {
    HandshakeRecord record = BuildHandshake(Connection, true);
    auto source = testing::MemoryByteSource::Create();
    source->Append(Bytes(record.begin(), record.begin() + HandshakeIdentityLength));
    HandshakeInfo info;
    ASSERT_EQ(ReadHandshake(*source, &info), ResultOk);
    EXPECT_EQ(info.connectionId, Connection);
    EXPECT_FALSE(info.encryptionRequested) << "flag later than the wait: plain";
    EXPECT_EQ(source->Waits(), std::vector<std::uint32_t>{HandshakeFlagWaitMs});

    // Each flag byte arrives during the wait for it.
    source->Append(Bytes(record.begin(), record.begin() + HandshakeIdentityLength));
    std::size_t next = HandshakeIdentityLength;
    source->OnWait([&](std::uint32_t) { source->Append(Bytes{record[next++]}); });
    ASSERT_EQ(ReadHandshake(*source, &info), ResultOk);
    EXPECT_TRUE(info.encryptionRequested);

    record[HandshakeIdentityLength] = 0;
    source = testing::MemoryByteSource::Create();
    source->Append(Bytes(record.begin(), record.end()));
    ASSERT_EQ(ReadHandshake(*source, &info), ResultOk);
    EXPECT_FALSE(info.encryptionRequested) << "zero marker: plain, flag left unread";
    EXPECT_EQ(source->Available(), 1u);
}

}  // namespace
}  // namespace brondal
