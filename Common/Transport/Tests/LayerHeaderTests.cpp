// The adapter's layer headers, byte for byte, and read back.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "LayerHeaders.h"
#include "RefPtr.h"

namespace brondal {
namespace {

using Bytes = std::vector<std::uint8_t>;

const UUID Channel(0x01020304, 0x0506, 0x0708, 0x090a0b0c0d0e0f10);
const UUID Session(0xa1a2a3a4, 0xb1b2, 0xc1c2, 0xd1d2d3d4d5d6d7d8);
const Bytes ChannelBytes = {4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16};
const Bytes SessionBytes = {0xa4, 0xa3, 0xa2, 0xa1, 0xb2, 0xb1, 0xc2, 0xc1,
                            0xd1, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

RefPtr<IDataStream> Written(const std::function<Result(IDataStream*)>& write) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    EXPECT_EQ(write(stream.Get()), ResultOk);
    return stream;
}

Bytes Contents(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    Bytes bytes(size);
    stream->ReadBytes(bytes.data(), size);
    return bytes;
}

// The stream's first end bytes, positioned after the kind byte as a layer leaves it.
RefPtr<IDataStream> AfterKind(IDataStream* stream, std::uint32_t end) {
    RefPtr<IDataStream> slice;
    EXPECT_EQ(SliceDataStream(stream, 0, end, slice.Receive()), ResultOk);
    slice->SetPosition(1);
    return slice;
}

TEST(LayerHeaderTests, EachHeaderHasItsExactBytes) {
    const std::pair<std::function<Result(IDataStream*)>, Bytes> cases[] = {
        {[](IDataStream* s) { return WriteUserMessageHeader(s, Channel); },
         Bytes{0x00} + ChannelBytes},
        {[](IDataStream* s) { return WriteFragmentHeader(s, false); }, {0x01, 0x00}},
        {[](IDataStream* s) { return WriteFragmentHeader(s, true); }, {0x01, 0x01}},
        {[](IDataStream* s) { return WritePacedDataHeader(s, 0x0102030405060708); },
         {0x02, 8, 7, 6, 5, 4, 3, 2, 1}},
        {[](IDataStream* s) {
             return WritePacedAck(s, {-2, 4107});
         },
         {0x03, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0b, 0x10, 0, 0, 0, 0, 0, 0}},
        {[](IDataStream* s) {
             return WriteHello(s, {Channel, Session, true});
         },
         Bytes{0x04} + ChannelBytes + SessionBytes + Bytes{0x01}},
        {[](IDataStream* s) { return WriteSequencedDataHeader(s, 258); },
         {0x05, 2, 1, 0, 0, 0, 0, 0, 0}},
        {[](IDataStream* s) { return WriteSequenceAck(s, 0xfffffffffffffffe); },
         {0x06, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
    };
    for (const auto& [write, expected] : cases) {
        EXPECT_EQ(Contents(Written(write).Get()), expected);
    }
}

TEST(LayerHeaderTests, HeadersReadBackAndTruncatedOnesLeaveTheOutValues) {
    auto hello = Written([](IDataStream* s) { return WriteHello(s, {Channel, Session, true}); });
    Hello read{Session, Channel, false};
    // Cut inside the reconnect flag.
    EXPECT_LT(ReadHello(AfterKind(hello.Get(), HelloSize - 1).Get(), &read), 0);
    EXPECT_EQ(read.connectionId, Session);
    ASSERT_EQ(ReadHello(AfterKind(hello.Get(), HelloSize).Get(), &read), ResultOk);
    EXPECT_EQ(read.connectionId, Channel);
    EXPECT_EQ(read.sessionId, Session);
    EXPECT_TRUE(read.reconnect);

    auto ack = Written([](IDataStream* s) { return WritePacedAck(s, {-2, 4107}); });
    PacedAck readAck{5, 6};
    EXPECT_LT(ReadPacedAck(AfterKind(ack.Get(), PacedAckSize - 1).Get(), &readAck), 0);
    EXPECT_EQ(readAck.delay, 5);
    ASSERT_EQ(ReadPacedAck(AfterKind(ack.Get(), PacedAckSize).Get(), &readAck), ResultOk);
    EXPECT_EQ(readAck.delay, -2);
    EXPECT_EQ(readAck.bytes, 4107);
}

}  // namespace
}  // namespace brondal
