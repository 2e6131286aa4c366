#include <atomic>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "IRpc.h"
#include "InMemoryTransport.h"
#include "RefPtr.h"
#include "RpcTestSupport.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using testing::InMemoryTransport;
using testing::RpcLink;
using testing::RpcLinkFactory;
using testing::TestStub;

constexpr std::uint32_t CallTimeoutMs = 30000;
const UUID ObjectId(0x11111111, 0x2222, 0x3333, 0x4444555566667777);

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    return stream;
}

RefPtr<IDataStream> StringArgument(const std::string& text) {
    RefPtr<IDataStream> stream = NewStream();
    stream->WriteString(text);
    return stream;
}

std::uint32_t SizeOf(IDataStream* stream) {
    std::uint32_t size = 0;
    stream->GetSize(&size);
    return size;
}

// A client engine and a server engine with a TestStub, over a link.
class RpcPair {
public:
    explicit RpcPair(RpcLink link) : link_(std::move(link)) {
        CreateRpc(client_.Receive());
        CreateRpc(server_.Receive());
        client_->Initialize(link_.client.Get(), 0);
        server_->Initialize(link_.server.Get(), 0);
        server_->AddStub(ObjectId, stub_.Get());
    }
    ~RpcPair() {
        client_->Finalize();
        server_->Finalize();
        link_.shutdown();
    }

    Result Call(std::int32_t method, IDataStream* arguments, IDataStream* reply,
                std::uint32_t timeoutMs = CallTimeoutMs, const UUID& object = ObjectId) {
        return client_->Execute(link_.connectionId, object, method, arguments, reply, timeoutMs);
    }

    IRpc& Client() { return *client_; }
    IRpc& Server() { return *server_; }
    TestStub& Stub() { return *stub_; }
    const RpcLink& Link() const { return link_; }

private:
    RpcLink link_;
    RefPtr<IRpc> client_;
    RefPtr<IRpc> server_;
    RefPtr<TestStub> stub_ = RefPtr<TestStub>::Adopt(new TestStub(ObjectId));
};

// Behaviour that holds over any transport.
class RpcEngineTest : public ::testing::TestWithParam<RpcLinkFactory> {
protected:
    RpcPair pair_{GetParam()()};
};

TEST_P(RpcEngineTest, CallReturnsTheStubsReply) {
    RefPtr<IDataStream> reply = NewStream();
    ASSERT_EQ(pair_.Call(TestStub::Echo, StringArgument("hello").Get(), reply.Get()), ResultOk);
    std::string text;
    ASSERT_EQ(reply->ReadString(&text), ResultOk);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(pair_.Stub().LastConnection(), pair_.Link().connectionId);
    EXPECT_EQ(pair_.Stub().LastObject(), ObjectId);
}

TEST_P(RpcEngineTest, FailuresComeBackWithAnEmptyReply) {
    RefPtr<IDataStream> reply = NewStream();
    EXPECT_EQ(pair_.Call(TestStub::FailAfterWrite, NewStream().Get(), reply.Get()),
              ResultInvalidArgument);
    EXPECT_EQ(SizeOf(reply.Get()), 0u) << "a failing stub's partial reply must not be sent";

    EXPECT_EQ(pair_.Call(99, NewStream().Get(), reply.Get()), ResultNotImplemented);

    const UUID unknown(0x99, 0, 0, 0);
    EXPECT_EQ(pair_.Call(TestStub::Count, NewStream().Get(), reply.Get(), CallTimeoutMs, unknown),
              ResultUnregisteredObject);
    EXPECT_EQ(SizeOf(reply.Get()), 0u);

    ASSERT_EQ(pair_.Server().RemoveStub(ObjectId), ResultOk);
    EXPECT_EQ(pair_.Call(TestStub::Count, NewStream().Get(), reply.Get()),
              ResultUnregisteredObject);
    EXPECT_EQ(pair_.Stub().Calls(), 2);
}

class CountingGuard : public IRpc::ICallGuard, public IRefCountImpl {
public:
    explicit CountingGuard(bool admit) : admit_(admit) {}
    bool AdmitCall() override {
        ++asked;
        return admit_;
    }
    std::atomic<int> asked{0};

private:
    const bool admit_;
};

TEST_P(RpcEngineTest, CallGuardAdmitsOrRefusesAndIsReleased) {
    auto refusing = RefPtr<CountingGuard>::Adopt(new CountingGuard(false));
    pair_.Stub().SetGuard(refusing.Get());
    RefPtr<IDataStream> reply = NewStream();
    EXPECT_EQ(pair_.Call(TestStub::Count, NewStream().Get(), reply.Get()),
              ResultUnregisteredObject);
    EXPECT_EQ(pair_.Stub().Calls(), 0);

    auto admitting = RefPtr<CountingGuard>::Adopt(new CountingGuard(true));
    pair_.Stub().SetGuard(admitting.Get());
    EXPECT_EQ(pair_.Call(TestStub::Count, NewStream().Get(), reply.Get()), ResultOk);
    EXPECT_EQ(pair_.Stub().Calls(), 1);
    EXPECT_EQ(refusing->asked.load(), 1);
    EXPECT_EQ(admitting->asked.load(), 1);

    // Only the stub's and our references remain: the engine gave its own back each time.
    pair_.Stub().SetGuard(nullptr);
    EXPECT_EQ(refusing->AddRef(), 2);
    refusing->Release();
    EXPECT_EQ(admitting->AddRef(), 2);
    admitting->Release();
}

TEST_P(RpcEngineTest, OneWayCallReturnsAtOnceAndStillRuns) {
    RefPtr<IDataStream> reply = NewStream();
    EXPECT_EQ(pair_.Call(TestStub::Count, NewStream().Get(), reply.Get(), 0), ResultOk);
    EXPECT_TRUE(testing::PollUntil([&] { return pair_.Stub().Calls() == 1; }));
    EXPECT_EQ(SizeOf(reply.Get()), 0u);
}

TEST_P(RpcEngineTest, ConcurrentCallersEachGetTheirOwnReply) {
    constexpr int Threads = 8;
    constexpr int CallsPerThread = 50;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < Threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < CallsPerThread; ++i) {
                const std::string text = std::to_string(t) + "/" + std::to_string(i);
                RefPtr<IDataStream> reply = NewStream();
                std::string echoed;
                if (Failed(pair_.Call(TestStub::Echo, StringArgument(text).Get(), reply.Get())) ||
                    Failed(reply->ReadString(&echoed)) || echoed != text ||
                    SizeOf(reply.Get()) != 4 + text.size()) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(pair_.Stub().Calls(), Threads * CallsPerThread);
}

TEST_P(RpcEngineTest, RegistrationAndArgumentChecks) {
    auto other = RefPtr<TestStub>::Adopt(new TestStub(ObjectId));
    EXPECT_EQ(pair_.Server().AddStub(ObjectId, other.Get()), ResultFail);
    EXPECT_EQ(pair_.Server().AddStub(ObjectId, nullptr), ResultNullPointer);
    EXPECT_EQ(pair_.Server().RemoveStub(UUID(0x5, 0, 0, 0)), ResultFail);

    RefPtr<IDataStream> stream = NewStream();
    EXPECT_EQ(pair_.Call(TestStub::Count, nullptr, stream.Get()), ResultNullPointer);
    EXPECT_EQ(pair_.Call(TestStub::Count, stream.Get(), nullptr), ResultNullPointer);
    EXPECT_EQ(pair_.Client().Initialize(nullptr, 0), ResultNullPointer);

    RefPtr<ITransport> transport;
    ASSERT_EQ(pair_.Client().GetTransport(transport.Receive()), ResultOk);
    EXPECT_EQ(transport.Get(), pair_.Link().client.Get());
}

INSTANTIATE_TEST_SUITE_P(InMemory, RpcEngineTest, ::testing::Values(&testing::MakeInMemoryLink));
INSTANTIATE_TEST_SUITE_P(Tcp, RpcEngineTest, ::testing::Values(&testing::MakeTcpLink));

TEST(RpcLifecycleTest, FinalizeUnbindsTheEngine) {
    RefPtr<IRpc> rpc;
    ASSERT_EQ(CreateRpc(rpc.Receive()), ResultOk);
    EXPECT_EQ(rpc->Finalize(), ResultNotInitialized);
    RefPtr<InMemoryTransport> transport = InMemoryTransport::Create();
    ASSERT_EQ(rpc->Initialize(transport.Get(), 0), ResultOk);
    EXPECT_EQ(rpc->Finalize(), ResultOk);
    EXPECT_EQ(rpc->Finalize(), ResultNotInitialized);
    RefPtr<ITransport> none;
    EXPECT_EQ(rpc->GetTransport(none.Receive()), ResultNotInitialized);
    transport->Shutdown();
    // Only the test's reference is left: the engine let go of the transport and the
    // transport of the engine.
    EXPECT_EQ(transport->AddRef(), 2);
    transport->Release();
}

}  // namespace
}  // namespace brondal
