// The engine's messages as they appear on the wire, and its handling of malformed, foreign
// and late messages. These drive one engine directly through an in-memory transport whose
// other end is the test itself.
#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ILogger.h"
#include "IRpc.h"
#include "InMemoryTransport.h"
#include "ManualClockScheduler.h"
#include "RefPtr.h"
#include "RpcMessages.h"
#include "RpcTestSupport.h"
#include "UuidStream.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using testing::InMemoryTransport;
using testing::TestStub;
using Bytes = InMemoryTransport::Bytes;

const UUID ObjectId(0x01020304, 0x0506, 0x0708, 0x090a0b0c0d0e0f10);
const Bytes ObjectBytes{0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,
                        0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};
constexpr std::size_t RequestHeaderSize = 35;
constexpr std::size_t ResponseHeaderSize = 25;

RefPtr<IDataStream> StreamOf(const Bytes& bytes) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    if (!bytes.empty()) stream->WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return stream;
}

Bytes Contents(IDataStream* stream) {
    Bytes bytes = InMemoryTransport::ToBytes(stream);
    return bytes;
}

Bytes Response(const Bytes& callId, Result result, std::uint32_t length, const Bytes& reply) {
    RefPtr<IDataStream> out = StreamOf({});
    UUID id;
    RefPtr<IDataStream> idStream = StreamOf(callId);
    DeserializeUuid(idStream.Get(), &id);
    rpc::WriteResponseHeader(out.Get(), {id, result, length});
    if (!reply.empty()) out->WriteBytes(reply.data(), static_cast<std::uint32_t>(reply.size()));
    return Contents(out.Get());
}

Bytes CallIdOf(const Bytes& request) { return Bytes(request.begin() + 19, request.begin() + 35); }

// One engine on "local"; the test plays the peer on "remote" and sees every message the
// engine writes.
class RpcWireTest : public ::testing::Test {
protected:
    RpcWireTest() {
        connection_ = InMemoryTransport::Connect(local_.Get(), remote_.Get());
        CreateRpc(rpc_.Receive());
        rpc_->Initialize(local_.Get(), 0);
        local_->SetWriteObserver([this](UUID, UUID channel, const Bytes& bytes) {
            written_.Update([&] { writes_.push_back({channel, bytes}); });
        });
    }
    ~RpcWireTest() override {
        rpc_->Finalize();
        local_->Shutdown();
        remote_->Shutdown();
    }

    struct Write {
        UUID channel;
        Bytes bytes;
    };

    // Waits for the engine's n-th write (from 1) and returns it.
    Write WaitForWrite(std::size_t n) {
        Write write;
        EXPECT_TRUE(written_.WaitUntil([&] { return writes_.size() >= n; }));
        written_.Update([&] {
            if (writes_.size() >= n) write = writes_[n - 1];
        });
        return write;
    }
    std::size_t WriteCount() {
        std::size_t count = 0;
        written_.Update([&] { count = writes_.size(); });
        return count;
    }

    // Delivers bytes to the engine as received from the peer.
    void Receive(const Bytes& bytes, const UUID& channel = RpcChannelId) {
        local_->Inject(connection_, channel, bytes);
    }

    std::future<Result> CallAsync(IDataStream* reply, std::uint32_t timeoutMs,
                                  const Bytes& arguments = {}) {
        return std::async(std::launch::async, [=, this, args = StreamOf(arguments),
                                               keep = RefPtr<IDataStream>(reply)] {
            return rpc_->Execute(connection_, ObjectId, 7, args.Get(), keep.Get(), timeoutMs);
        });
    }

    RefPtr<InMemoryTransport> local_ = InMemoryTransport::Create();
    RefPtr<InMemoryTransport> remote_ = InMemoryTransport::Create();
    UUID connection_;
    RefPtr<IRpc> rpc_;
    testing::Signal written_;
    std::vector<Write> writes_;
};

TEST_F(RpcWireTest, RequestsAreLaidOutByteForByte) {
    RefPtr<IDataStream> reply = StreamOf({});
    ASSERT_EQ(
        rpc_->Execute(connection_, ObjectId, 0x10203, StreamOf({0xaa, 0xbb}).Get(), reply.Get(), 0),
        ResultOk);
    Write oneWay = WaitForWrite(1);
    EXPECT_EQ(oneWay.channel, RpcChannelId);
    ASSERT_EQ(oneWay.bytes.size(), RequestHeaderSize + 2);
    EXPECT_EQ(oneWay.bytes[0], 1) << "time-out 0 is a request without response";
    EXPECT_EQ(Bytes(oneWay.bytes.begin() + 1, oneWay.bytes.begin() + 17), ObjectBytes);
    EXPECT_EQ(oneWay.bytes[17], 0x03) << "method: the low 16 bits, little-endian";
    EXPECT_EQ(oneWay.bytes[18], 0x02);
    EXPECT_EQ(oneWay.bytes[35], 0xaa);
    EXPECT_EQ(oneWay.bytes[36], 0xbb);

    auto call = CallAsync(reply.Get(), 30000);
    Write request = WaitForWrite(2);
    ASSERT_EQ(request.bytes.size(), RequestHeaderSize);
    EXPECT_EQ(request.bytes[0], 0);
    EXPECT_NE(CallIdOf(request.bytes), CallIdOf(oneWay.bytes)) << "every call has its own id";
    Receive(Response(CallIdOf(request.bytes), ResultOk, 0, {}));
    EXPECT_EQ(call.get(), ResultOk);
}

TEST_F(RpcWireTest, ResponseCarriesTheResultAndAppendsTheReply) {
    RefPtr<IDataStream> reply = StreamOf({0x55});
    auto call = CallAsync(reply.Get(), 30000);
    const Bytes callId = CallIdOf(WaitForWrite(1).bytes);
    Receive(Response(callId, ResultNotInitialized, 3, {1, 2, 3}));
    EXPECT_EQ(call.get(), ResultNotInitialized);
    EXPECT_EQ(Contents(reply.Get()), (Bytes{0x55, 1, 2, 3}));
}

TEST_F(RpcWireTest, ReplyLengthBeyondTheMessageAppendsNothing) {
    // 25 bytes announcing 4 GiB: must neither allocate it nor append anything.
    RefPtr<IDataStream> reply = StreamOf({});
    auto call = CallAsync(reply.Get(), 30000);
    Receive(Response(CallIdOf(WaitForWrite(1).bytes), ResultOk, 0xFFFFFFFFu, {}));
    EXPECT_EQ(call.get(), ResultOk);
    EXPECT_EQ(Contents(reply.Get()).size(), 0u);

    auto second = CallAsync(reply.Get(), 30000);
    Receive(Response(CallIdOf(WaitForWrite(2).bytes), ResultOk, 4, {1, 2, 3}));
    EXPECT_EQ(second.get(), ResultOk);
    EXPECT_EQ(Contents(reply.Get()).size(), 0u);
}

TEST_F(RpcWireTest, WriteFailureIsReturnedAndLeavesNoPendingCall) {
    local_->SetWriteResult(ResultSocketWriteFailed);
    RefPtr<IDataStream> reply = StreamOf({});
    EXPECT_EQ(rpc_->Execute(connection_, ObjectId, 1, StreamOf({}).Get(), reply.Get(), 30000),
              ResultSocketWriteFailed);
    EXPECT_EQ(rpc_->Execute(connection_, ObjectId, 1, StreamOf({}).Get(), reply.Get(), 0),
              ResultSocketWriteFailed);
}

// The server side: what the engine answers to requests it receives.
class RpcWireServerTest : public RpcWireTest {
protected:
    RpcWireServerTest() { rpc_->AddStub(ObjectId, stub_.Get()); }

    static Bytes Request(std::uint8_t kind, const UUID& object, std::int32_t method,
                         const Bytes& callId, const Bytes& arguments) {
        RefPtr<IDataStream> out = StreamOf({});
        UUID id;
        RefPtr<IDataStream> idStream = StreamOf(callId);
        DeserializeUuid(idStream.Get(), &id);
        rpc::WriteRequestHeader(out.Get(), static_cast<rpc::MessageKind>(kind),
                                {object, static_cast<std::uint16_t>(method), id});
        if (!arguments.empty()) {
            out->WriteBytes(arguments.data(), static_cast<std::uint32_t>(arguments.size()));
        }
        return Contents(out.Get());
    }

    RefPtr<TestStub> stub_ = RefPtr<TestStub>::Adopt(new TestStub(ObjectId));
};

TEST_F(RpcWireServerTest, ResponsesAreLaidOutByteForByte) {
    const Bytes callId(16, 0x42);
    // Echo of the 2-character string "hi": 4-byte length and the characters.
    Receive(Request(0, ObjectId, TestStub::Echo, callId, {2, 0, 0, 0, 'h', 'i'}));
    Write response = WaitForWrite(1);
    EXPECT_EQ(response.channel, RpcChannelId);
    const Bytes header{2};
    const Bytes tail{0, 0, 0, 0, 6, 0, 0, 0, 2, 0, 0, 0, 'h', 'i'};
    Bytes expected;
    for (const Bytes* part : {&header, &callId, &tail}) {
        expected.insert(expected.end(), part->begin(), part->end());
    }
    EXPECT_EQ(response.bytes.size(), ResponseHeaderSize + 6);
    EXPECT_EQ(response.bytes, expected);

    const UUID unknown(0x77, 0, 0, 0);
    Receive(Request(0, unknown, TestStub::Echo, callId, {}));
    EXPECT_EQ(WaitForWrite(2).bytes, Response(callId, ResultUnregisteredObject, 0, {}));
}

TEST_F(RpcWireServerTest, OneWayForeignAndMalformedMessagesGetNoResponse) {
    const Bytes callId(16, 0x11);
    Receive(Request(1, ObjectId, TestStub::Count, callId, {}));
    Receive(Request(0, ObjectId, TestStub::Count, callId, {}), UUID(0x1234, 0, 0, 0));
    Receive(Request(3, ObjectId, TestStub::Count, callId, {}));
    Receive({0});                                // a request cut short
    Receive(Response(callId, ResultOk, 0, {}));  // a response nobody waits for
    // Delivery is in order: once this is answered, everything above has been handled.
    Receive(Request(0, ObjectId, TestStub::Count, Bytes(16, 0x22), {}));
    Write only = WaitForWrite(1);
    EXPECT_EQ(only.bytes, Response(Bytes(16, 0x22), ResultOk, 0, {}));
    EXPECT_EQ(WriteCount(), 1u);
    EXPECT_EQ(stub_->Calls(), 2) << "the one-way request ran; the foreign one did not";
}

TEST(RpcNotifyTest, ForeignChannelIsNotReadAndUnknownResponsesFail) {
    RefPtr<IRpc> rpc;
    CreateRpc(rpc.Receive());
    auto* notify = dynamic_cast<ITransport::ITransportNotify*>(rpc.Get());
    ASSERT_NE(notify, nullptr);

    RefPtr<IDataStream> foreign = StreamOf({0, 1, 2});
    EXPECT_EQ(notify->OnDataReady(UUID(1, 0, 0, 0), UUID(2, 0, 0, 0), foreign.Get()), ResultOk);
    std::uint8_t first = 0xff;
    ASSERT_EQ(foreign->ReadUInt8(&first), ResultOk);
    EXPECT_EQ(first, 0) << "a foreign channel's message must be left unread";

    RefPtr<IDataStream> late = StreamOf(Response(Bytes(16, 9), ResultOk, 0, {}));
    EXPECT_EQ(notify->OnDataReady(UUID(1, 0, 0, 0), RpcChannelId, late.Get()), ResultFail);
    EXPECT_EQ(notify->OnEvent(UUID(1, 0, 0, 0), 1), ResultOk);
}

// Collects what the process logger writes while it lives.
class CapturedLog final : public ILogStore, public IRefCountImpl {
public:
    static RefPtr<CapturedLog> Start() {
        auto log = RefPtr<CapturedLog>::Adopt(new CapturedLog());
        GetLogger(log->logger_.Receive());
        log->logger_->AddStore(log.Get());
        return log;
    }
    void Stop() { logger_->RemoveStore(this); }
    Result Write(std::uint32_t, std::string_view, std::string_view, std::int64_t, std::uint32_t,
                 std::uint32_t, std::string_view message) override {
        std::lock_guard lock(mutex_);
        text_.append(message).append("\n");
        return ResultOk;
    }
    bool Contains(const std::string& part) {
        std::lock_guard lock(mutex_);
        return text_.find(part) != std::string::npos;
    }

private:
    RefPtr<ILogger> logger_;
    std::mutex mutex_;
    std::string text_;
};

// A scheduler whose clock the test moves, and that tells how often one thread (the
// caller's) looked at it.
class CountingClock : public testing::ManualClockScheduler {
public:
    void WatchThisThread() { watched_.store(std::this_thread::get_id()); }
    std::uint32_t GetTickCount() override {
        if (std::this_thread::get_id() == watched_.load()) reads_.Update([&] { ++count_; });
        return ManualClockScheduler::GetTickCount();
    }
    // Waits until the clock has been read n more times than when "since" was taken.
    bool WaitForReads(std::uint64_t since, std::uint64_t n) {
        return reads_.WaitUntil([&] { return count_ >= since + n; });
    }
    std::uint64_t Reads() {
        std::uint64_t count = 0;
        reads_.Update([&] { count = count_; });
        return count;
    }

private:
    std::atomic<std::thread::id> watched_;
    testing::Signal reads_;
    std::uint64_t count_ = 0;
};

TEST_F(RpcWireTest, ShortTimeOutIsRaisedToTheMinimumAndLateResponsesAreDropped) {
    CountingClock clock;
    RefPtr<IDataStream> reply = StreamOf({});
    auto call = std::async(std::launch::async, [&] {
        clock.WatchThisThread();
        return rpc_->Execute(connection_, ObjectId, 7, StreamOf({}).Get(), reply.Get(), 5);
    });
    const Bytes lateCallId = CallIdOf(WaitForWrite(1).bytes);
    // The caller reads the clock once to start and once per look while waiting.
    ASSERT_TRUE(clock.WaitForReads(0, 2));

    clock.AdvanceMs(IRpc::MinimumTimeoutMs - 1);
    ASSERT_TRUE(clock.WaitForReads(clock.Reads(), 2));
    EXPECT_EQ(call.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "a time-out of 5 ms must wait the full minimum";

    RefPtr<CapturedLog> log = CapturedLog::Start();
    clock.AdvanceMs(1);
    EXPECT_EQ(call.get(), ResultRpcTimeout);
    log->Stop();
    EXPECT_TRUE(log->Contains("Timeout Connection: " + connection_.ToString() +
                              " Object: " + ObjectId.ToString() + " Method: 7 (20000 ms)"));

    // The late response arrives while the next call is pending, and must not touch it.
    RefPtr<IDataStream> nextReply = StreamOf({});
    auto next = CallAsync(nextReply.Get(), 30000);
    const Bytes nextCallId = CallIdOf(WaitForWrite(2).bytes);
    Receive(Response(lateCallId, ResultNotImplemented, 4, {9, 9, 9, 9}));
    Receive(Response(nextCallId, ResultOk, 1, {7}));
    EXPECT_EQ(next.get(), ResultOk);
    EXPECT_EQ(Contents(nextReply.Get()), (Bytes{7}));
    EXPECT_EQ(Contents(reply.Get()).size(), 0u) << "the timed-out caller's reply is untouched";
}

}  // namespace
}  // namespace brondal
