#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "IDataStream.h"
#include "RefPtr.h"
#include "RpcMessages.h"

namespace brondal::rpc {
namespace {

using Bytes = std::vector<std::uint8_t>;

const UUID Object(0x01020304, 0x0506, 0x0708, 0x090a0b0c0d0e0f10);
const UUID Call(0xa1a2a3a4, 0xb1b2, 0xc1c2, 0xd1d2d3d4d5d6d7d8);
const Bytes ObjectBytes{0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                        0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};
const Bytes CallBytes{0xa4, 0xa3, 0xa2, 0xa1, 0xb2, 0xb1, 0xc2, 0xc1,
                      0xd1, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8};

RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    if (!bytes.empty()) stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return stream;
}

Bytes Contents(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    Bytes bytes(size);
    stream->SetPosition(0);
    if (size != 0) stream->ReadBytes(bytes.data(), size);
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(RpcMessagesTest, RequestHeaderLayout) {
    RefPtr<IDataStream> out = StreamOf({});
    ASSERT_EQ(WriteRequestHeader(out.Get(), KindOneWayRequest, {Object, 0x1234, Call}), ResultOk);
    EXPECT_EQ(Contents(out.Get()), Join({{0x01}, ObjectBytes, {0x34, 0x12}, CallBytes}));

    RefPtr<IDataStream> in = StreamOf(Join({ObjectBytes, {0x34, 0x12}, CallBytes, {0xee}}));
    RequestHeader header;
    ASSERT_EQ(ReadRequestHeader(in.Get(), &header), ResultOk);
    EXPECT_EQ(header.objectId, Object);
    EXPECT_EQ(header.method, 0x1234);
    EXPECT_EQ(header.callId, Call);
    std::uint32_t position = 0;
    in->GetPosition(&position);
    EXPECT_EQ(position, 34u) << "arguments start right after the header";
}

TEST(RpcMessagesTest, ResponseHeaderLayout) {
    RefPtr<IDataStream> out = StreamOf({});
    ASSERT_EQ(WriteResponseHeader(out.Get(), {Call, ResultNotInitialized, 3}), ResultOk);
    EXPECT_EQ(Contents(out.Get()),
              Join({{0x02}, CallBytes, {0x0b, 0x00, 0x00, 0x80}, {0x03, 0x00, 0x00, 0x00}}));
}

TEST(RpcMessagesTest, ShortHeadersAreRejected) {
    RequestHeader header;
    RefPtr<IDataStream> shortRequest = StreamOf(Join({ObjectBytes, {0x34, 0x12}}));
    EXPECT_EQ(ReadRequestHeader(shortRequest.Get(), &header), ResultFail);
    UUID callId;
    RefPtr<IDataStream> shortCall = StreamOf(Bytes(15, 0xab));
    EXPECT_EQ(ReadCallId(shortCall.Get(), &callId), ResultFail);
}

TEST(RpcMessagesTest, ReplyBytesAreBoundedByTheMessage) {
    RefPtr<IDataStream> reply = StreamOf({0x99});

    RefPtr<IDataStream> exact = StreamOf({1, 2, 3});
    EXPECT_EQ(AppendReplyBytes(exact.Get(), 3, reply.Get()), ResultOk);
    EXPECT_EQ(Contents(reply.Get()), (Bytes{0x99, 1, 2, 3}));

    // A length from the wire larger than the message: nothing is appended (nor allocated).
    reply = StreamOf({0x99});
    RefPtr<IDataStream> huge = StreamOf({1, 2, 3});
    EXPECT_EQ(AppendReplyBytes(huge.Get(), 0xFFFFFFFFu, reply.Get()), ResultFail);
    RefPtr<IDataStream> oneShort = StreamOf({1, 2, 3});
    EXPECT_EQ(AppendReplyBytes(oneShort.Get(), 4, reply.Get()), ResultFail);
    EXPECT_EQ(Contents(reply.Get()), (Bytes{0x99}));
}

}  // namespace
}  // namespace brondal::rpc
