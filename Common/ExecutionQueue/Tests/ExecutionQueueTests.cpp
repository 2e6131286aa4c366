// Calls queued from any thread and run on the owner's.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ExecutionQueue.h"
#include "Thread.h"
#include "WaitFor.h"

namespace brondal {
namespace {

const UUID ObjectA(0xaaaaaaaa, 1, 1, 1);
const UUID ObjectB(0xbbbbbbbb, 2, 2, 2);
const UUID Unregistered(0xcccccccc, 3, 3, 3);

RefPtr<IDataStream> StreamWith(std::initializer_list<std::uint32_t> values) {
    RefPtr<IDataStream> stream;
    NewDataStream(stream.Receive());
    for (std::uint32_t v : values)
        stream->WriteUInt32(v);
    return stream;
}

// Records (method, first argument) of every call and answers with result.
class RecordingStub : public ExecutionQueue::IStub {
public:
    Result ExecuteStub(const UUID&, std::int32_t method, IDataStream* arguments,
                       IDataStream* reply) override {
        std::uint32_t argument = 0;
        if (arguments != nullptr) arguments->ReadUInt32(&argument);
        calls.emplace_back(method, argument);
        if (reply != nullptr) reply->WriteInt32(result);
        if (onCall) onCall();
        return result;
    }
    std::vector<std::pair<std::int32_t, std::uint32_t>> calls;
    Result result = ResultOk;
    std::function<void()> onCall;
};

using Calls = std::vector<std::pair<std::int32_t, std::uint32_t>>;

class ExecutionQueueTest : public ::testing::Test {
protected:
    ExecutionQueueTest() {
        queue.AddStub(ObjectA, &stubA);
        queue.AddStub(ObjectB, &stubB);
    }
    Result Post(const UUID& object, std::int32_t method, std::uint32_t argument = 0,
                std::uint32_t limit = 0, Scheduler::Event* done = nullptr) {
        return queue.Execute(object, method, StreamWith({argument}).Get(), nullptr, limit, done);
    }

    ExecutionQueue queue;
    RecordingStub stubA, stubB;
    std::unique_ptr<Scheduler::Event> done = GetScheduler().CreateEvent(false, false);
};

TEST_F(ExecutionQueueTest, OrderAndTheLimit) {
    EXPECT_EQ(Post(ObjectA, 1, 10, 2), ResultOk);
    EXPECT_EQ(Post(ObjectB, 2, 20, 2), ResultOk);
    EXPECT_EQ(Post(ObjectA, 3, 30, 2), ResultFail) << "two queued, limit 2";
    EXPECT_EQ(Post(ObjectA, 4, 40, 3), ResultOk);
    EXPECT_EQ(Post(ObjectA, 5, 50, 0), ResultOk) << "0: no limit";
    EXPECT_EQ(queue.ProcessQueue(), ResultOk);
    EXPECT_EQ(stubA.calls, (Calls{{1, 10}, {4, 40}, {5, 50}}));
    EXPECT_EQ(stubB.calls, (Calls{{2, 20}}));
}

TEST_F(ExecutionQueueTest, ReplaceKeepsThePlaceAndTheDoneEventAndMatchesLow16Bits) {
    Post(ObjectA, 5, 1, 0, done.get());
    Post(ObjectB, 1, 2);
    queue.ExecuteOrReplace(ObjectA, 0x10005, StreamWith({3}).Get(), nullptr);
    queue.ExecuteOrReplace(ObjectA, 6, StreamWith({4}).Get(), nullptr);
    queue.ExecuteOrReplace(ObjectB, 5, StreamWith({5}).Get(), nullptr);
    Calls order;
    stubA.onCall = [&] { order.push_back(stubA.calls.back()); };
    stubB.onCall = [&] { order.push_back(stubB.calls.back()); };
    queue.ProcessQueue();
    EXPECT_EQ(order, (Calls{{5, 3}, {1, 2}, {6, 4}, {5, 5}}));
    EXPECT_TRUE(done->Wait(0));
}

TEST_F(ExecutionQueueTest, CallForAnObjectWithoutStubIsDroppedAndItsCallerWoken) {
    RefPtr<IDataStream> reply = StreamWith({});
    queue.Execute(Unregistered, 1, nullptr, reply.Get(), 0, done.get());
    Post(ObjectA, 2);
    Post(ObjectA, 3);
    queue.ProcessQueue();
    EXPECT_TRUE(stubA.calls.empty()) << "the calls behind it wait";
    EXPECT_TRUE(done->Wait(0));
    EXPECT_EQ(ExecutionQueue::ReplyResult(reply.Get()), ResultFail);
    queue.ProcessQueue();
    EXPECT_EQ(stubA.calls.size(), 2u);
}

TEST_F(ExecutionQueueTest, RegistrationRulesAndReentryFromAStub) {
    EXPECT_EQ(queue.AddStub(Unregistered, nullptr), ResultNullPointer);
    EXPECT_EQ(queue.AddStub(ObjectA, &stubB), ResultFail);
    EXPECT_EQ(queue.RemoveStub(Unregistered), ResultFail);
    // Both locks are recursive: the stub re-registers and queues on the owning thread.
    stubA.onCall = [&] {
        if (stubA.calls.size() > 1) return;
        EXPECT_EQ(queue.RemoveStub(ObjectB), ResultOk);
        EXPECT_EQ(queue.AddStub(ObjectB, &stubA), ResultOk);
        EXPECT_EQ(Post(ObjectB, 2), ResultOk);
    };
    Post(ObjectA, 1);
    queue.ProcessQueue();
    EXPECT_EQ(stubA.calls.size(), 2u);
    EXPECT_TRUE(stubB.calls.empty());
}

TEST(ExecutionQueueLifetimeTest, DestructionReleasesEntriesAndWakesWaitingCallers) {
    RefPtr<IDataStream> arguments = StreamWith({1});
    auto done = GetScheduler().CreateEvent(false, false);
    {
        ExecutionQueue queue;
        queue.Execute(ObjectA, 1, arguments.Get(), nullptr, 0, done.get());
    }
    EXPECT_EQ(arguments->AddRef(), 2);
    arguments->Release();
    EXPECT_TRUE(done->Wait(0));
}

// An owner as the system builds them: the queue, its thread, and itself as the stub.
// Checks that each producer's calls arrive in its order.
class Owner : public ExecutionQueue, public Thread, public ExecutionQueue::IStub {
public:
    static constexpr std::int32_t FailingMethod = 7;

    Owner() { AddStub(UUID(), this); }
    ~Owner() override { Stop(); }
    bool ThreadFunc() override {
        ProcessQueue();
        return false;
    }
    Result ExecuteStub(const UUID&, std::int32_t method, IDataStream* arguments,
                       IDataStream* reply) override {
        if (method == FailingMethod) {
            reply->WriteInt32(ResultNotImplemented);
            return ResultNotImplemented;
        }
        std::uint32_t producer = 0, sequence = 0;
        arguments->ReadUInt32(&producer);
        arguments->ReadUInt32(&sequence);
        if (sequence != ++lastSequence[producer]) ++outOfOrder;  // owner thread only
        processed.fetch_add(1);
        if (reply != nullptr) reply->WriteInt32(ResultOk);
        return ResultOk;
    }

    // The synchronous call pattern: the owner signals done once the reply is written.
    Result Call(Scheduler::Event& done, std::int32_t method, std::uint32_t producer = 0,
                std::uint32_t sequence = 0) {
        RefPtr<IDataStream> reply = StreamWith({});
        Execute(UUID(), method, StreamWith({producer, sequence}).Get(), reply.Get(), 0, &done);
        Wake();
        if (!done.Wait(static_cast<std::int32_t>(testing::Soon.count()))) return ResultRpcTimeout;
        return ReplyResult(reply.Get());
    }

    std::uint32_t lastSequence[8] = {};
    int outOfOrder = 0;
    std::atomic<std::uint32_t> processed{0};
};

TEST(ExecutionQueueOwnerTest, SynchronousCallerWhoseStubFailsWakesWithTheFailure) {
    auto done = GetScheduler().CreateEvent(false, false);
    Owner owner;
    owner.Start(Scheduler::Infinite);
    EXPECT_EQ(owner.Call(*done, Owner::FailingMethod), ResultNotImplemented);
    EXPECT_EQ(owner.Call(*done, 1, 0, 1), ResultOk);
    owner.Stop();
}

// Several producers, asynchronous and synchronous, against one owner thread.
TEST(ExecutionQueueOwnerTest, ProducersUnderLoad) {
    constexpr std::uint32_t Producers = 4, CallsEach = 2000;
    std::vector<std::unique_ptr<Scheduler::Event>> events;
    for (std::uint32_t p = 0; p <= Producers; ++p) {
        events.push_back(GetScheduler().CreateEvent(false, false));
    }
    Owner owner;
    owner.Start(Scheduler::Infinite);
    std::vector<std::thread> producers;
    for (std::uint32_t p = 1; p <= Producers; ++p) {
        producers.emplace_back([&owner, &done = *events[p], p] {
            for (std::uint32_t s = 1; s <= CallsEach; ++s) {
                if (s % 100 == 0) {
                    EXPECT_EQ(owner.Call(done, 1, p, s), ResultOk);
                } else {
                    owner.Execute(UUID(), 1, StreamWith({p, s}).Get(), nullptr, 0, nullptr);
                    owner.Wake();
                }
            }
        });
    }
    for (std::thread& t : producers)
        t.join();
    EXPECT_TRUE(testing::PollUntil([&] { return owner.processed == Producers * CallsEach; }));
    owner.Stop();
    EXPECT_EQ(owner.outOfOrder, 0);
}

}  // namespace
}  // namespace brondal
