#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "IRpc.h"
#include "InMemoryTransport.h"
#include "RefPtr.h"
#include "RpcCallbackThread.h"
#include "SharedThread.h"
#include "WaitFor.h"

namespace brondal {
namespace {

using testing::InMemoryTransport;
using Bytes = InMemoryTransport::Bytes;

// Fixed identifiers so that UUID order (the order of turns) is A before B.
const UUID ConnectionA(0xa, 0, 0, 1);
const UUID ConnectionB(0xb, 0, 0, 1);
const UUID Object(0xc0, 0, 0, 1);

struct Sent {
    UUID connection;
    std::uint16_t method;
    // The first four argument bytes, if any: a sequence numbers its calls there.
    std::uint32_t tag = 0;
    bool operator==(const Sent&) const = default;
};

// "A1 B11 ..." for failure messages.
std::string Describe(const std::vector<Sent>& log) {
    std::string text;
    for (const Sent& sent : log) {
        text += (sent.connection == ConnectionA ? " A" : " B") + std::to_string(sent.method);
    }
    return text;
}

std::int64_t ThreadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A callback thread on an engine over "service", whose connections lead to two clients.
// Every request the engine writes is recorded (in the order the thread sent them).
class RpcCallbackThreadTest : public ::testing::Test {
protected:
    RpcCallbackThreadTest() {
        InMemoryTransport::Connect(service_.Get(), clientA_.Get(), ConnectionA);
        InMemoryTransport::Connect(service_.Get(), clientB_.Get(), ConnectionB);
        CreateRpc(engine_.Receive());
        engine_->Initialize(service_.Get(), 0);
        service_->SetWriteObserver(
            [this](UUID connection, UUID, const Bytes& bytes) { OnWrite(connection, bytes); });
        thread_ = RefPtr<RpcCallbackThread>::Adopt(new RpcCallbackThread(engine_.Get()));
    }
    ~RpcCallbackThreadTest() override {
        thread_.Reset();  // stops the thread
        engine_->Finalize();
        for (auto* transport : {&service_, &clientA_, &clientB_})
            (*transport)->Shutdown();
    }

    virtual void OnWrite(UUID connection, const Bytes& bytes) {
        // Kind 1 (no response) and the method at offset 17.
        const bool oneWay = bytes.size() >= 35 && bytes[0] == 1;
        const auto method = static_cast<std::uint16_t>(bytes[17] | bytes[18] << 8);
        const bool shared = IsSharedThread();
        std::uint32_t tag = 0;
        if (bytes.size() >= 39) std::memcpy(&tag, bytes.data() + 35, 4);
        sent_.Update([&] {
            if (!oneWay) ++malformed_;
            if (!shared) ++unmarked_;
            log_.push_back({connection, method, tag});
        });
    }

    Result Post(const UUID& connection, std::uint16_t method) {
        RefPtr<IDataStream> arguments;
        RefPtr<IDataStream> reply;
        NewDataStream(arguments.Receive());
        NewDataStream(reply.Receive());
        return thread_->CallBack(connection, Object, method, arguments.Get(), reply.Get());
    }
    std::pair<std::uint32_t, std::uint32_t> Stats() {
        std::uint32_t connections = 0;
        std::uint32_t queued = 0;
        EXPECT_EQ(thread_->GetStats(&connections, &queued), ResultOk);
        return {connections, queued};
    }
    bool WaitForSent(std::size_t count) {
        return sent_.WaitUntil([&] { return log_.size() >= count; });
    }
    std::vector<Sent> SentLog() {
        std::vector<Sent> log;
        sent_.Update([&] { log = log_; });
        return log;
    }
    bool WaitUntilQueueEmpty() {
        return testing::PollUntil([&] { return Stats().second == 0; });
    }

    RefPtr<InMemoryTransport> service_ = InMemoryTransport::Create();
    RefPtr<InMemoryTransport> clientA_ = InMemoryTransport::Create();
    RefPtr<InMemoryTransport> clientB_ = InMemoryTransport::Create();
    RefPtr<IRpc> engine_;
    RefPtr<RpcCallbackThread> thread_;
    testing::Signal sent_;
    std::vector<Sent> log_;
    int malformed_ = 0;
    // Writes made on a thread not marked as serving many peers (where a write may wait).
    int unmarked_ = 0;
};

TEST_F(RpcCallbackThreadTest, OperationsNeedInitialize) {
    EXPECT_EQ(Post(ConnectionA, 1), ResultNotInitialized);
    EXPECT_EQ(thread_->AddConnection(ConnectionA), ResultNotInitialized);
    EXPECT_EQ(thread_->RemoveConnection(ConnectionA), ResultNotInitialized);
    EXPECT_EQ(Stats(), std::make_pair(0u, 0u));
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    EXPECT_EQ(thread_->Initialize(), ResultAlreadyInitialized);
    EXPECT_EQ(thread_->AddConnection(ConnectionA), ResultOk);
    EXPECT_EQ(thread_->AddConnection(ConnectionA), ResultOk);
    EXPECT_EQ(Stats(), std::make_pair(1u, 0u));
}

TEST_F(RpcCallbackThreadTest, ConnectionsAreServedInTurnOneCallbackEach) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->HoldAllWrites(true);
    thread_->AddConnection(ConnectionB);
    thread_->AddConnection(ConnectionA);
    for (std::uint16_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(Post(ConnectionA, i), ResultOk);
        ASSERT_EQ(Post(ConnectionB, 10 + i), ResultOk);
    }
    EXPECT_EQ(Stats(), std::make_pair(2u, 6u));
    service_->HoldAllWrites(false);

    ASSERT_TRUE(WaitForSent(6));
    // The round goes on from wherever the thread's cursor stood when writes were released.
    const std::vector<Sent> aFirst{{ConnectionA, 1},  {ConnectionB, 11}, {ConnectionA, 2},
                                   {ConnectionB, 12}, {ConnectionA, 3},  {ConnectionB, 13}};
    const std::vector<Sent> bFirst{{ConnectionB, 11}, {ConnectionA, 1},  {ConnectionB, 12},
                                   {ConnectionA, 2},  {ConnectionB, 13}, {ConnectionA, 3}};
    const std::vector<Sent> log = SentLog();
    EXPECT_TRUE(log == aFirst || log == bFirst) << Describe(log);
    EXPECT_TRUE(WaitUntilQueueEmpty());
    EXPECT_EQ(malformed_, 0) << "callbacks are one-way requests";
    EXPECT_EQ(unmarked_, 0) << "the callback thread must never wait on one subscriber";
}

TEST_F(RpcCallbackThreadTest, FullQueueAndUnknownConnectionDropCallbacks) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->HoldAllWrites(true);
    thread_->AddConnection(ConnectionA);
    for (std::uint16_t i = 1; i <= 102; ++i)
        ASSERT_EQ(Post(ConnectionA, i), ResultOk);
    EXPECT_EQ(Stats().second, 101u) << "a queue holds 101; the 102nd is dropped";
    EXPECT_EQ(Post(ConnectionB, 1), ResultOk) << "dropped, but still success";
    EXPECT_EQ(Stats(), std::make_pair(1u, 101u));

    service_->HoldAllWrites(false);
    ASSERT_TRUE(WaitForSent(101));
    EXPECT_TRUE(WaitUntilQueueEmpty());
    const std::vector<Sent> log = SentLog();
    ASSERT_EQ(log.size(), 101u);
    for (std::uint16_t i = 0; i < 101; ++i)
        EXPECT_EQ(log[i], (Sent{ConnectionA, std::uint16_t(i + 1)}));
}

TEST_F(RpcCallbackThreadTest, NotReadyConnectionIsServedLaterInOrder) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->SetReadyForWrite(ConnectionA, false);
    thread_->AddConnection(ConnectionA);
    thread_->AddConnection(ConnectionB);
    Post(ConnectionA, 1);
    Post(ConnectionA, 2);
    Post(ConnectionB, 11);
    Post(ConnectionB, 12);
    ASSERT_TRUE(WaitForSent(2));
    EXPECT_EQ(SentLog(), (std::vector<Sent>{{ConnectionB, 11}, {ConnectionB, 12}}))
        << "a connection that is not ready must not hold up the others";
    // The write is seen before the thread takes the entry off its queue.
    EXPECT_TRUE(testing::PollUntil([&] { return Stats().second == 2; }));

    service_->SetReadyForWrite(ConnectionA, true);
    ASSERT_TRUE(WaitForSent(4));
    const std::vector<Sent> log = SentLog();
    EXPECT_EQ(log[2], (Sent{ConnectionA, 1}));
    EXPECT_EQ(log[3], (Sent{ConnectionA, 2}));
}

TEST_F(RpcCallbackThreadTest, NoBusyLoopWhileNothingIsReady) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    testing::Signal samples;
    std::vector<std::int64_t> cpuNs;
    // Asked on the callback thread itself, so it can read that thread's CPU clock.
    service_->SetReadyQueryObserver(
        [&] { samples.Update([&] { cpuNs.push_back(ThreadCpuNs()); }); });
    service_->SetReadyForWrite(ConnectionA, false);
    thread_->AddConnection(ConnectionA);
    thread_->AddConnection(ConnectionB);
    Post(ConnectionA, 1);

    ASSERT_TRUE(samples.WaitUntil([&] { return !cpuNs.empty(); }));
    // A measuring window, not a synchronisation: a spinning thread would burn all of it.
    const auto window = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    samples.WaitUntil([] { return false; }, window);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::int64_t usedNs = 0;
    std::size_t passes = 0;
    samples.Update([&] {
        usedNs = cpuNs.back() - cpuNs.front();
        passes = cpuNs.size();
    });
    EXPECT_LT(usedNs, std::chrono::nanoseconds(elapsed).count() / 5)
        << "the thread used more than a fifth of a core while waiting";
    EXPECT_LT(passes, 300u) << "passes are paced, not run back to back";
    EXPECT_GT(passes, 2u) << "the not-ready connection is still retried";
    EXPECT_EQ(Stats().second, 1u);

    service_->SetReadyForWrite(ConnectionA, true);
    ASSERT_TRUE(WaitForSent(1));
    EXPECT_EQ(SentLog()[0], (Sent{ConnectionA, 1}));
}

TEST_F(RpcCallbackThreadTest, RemovedConnectionLosesItsCallbacks) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->HoldAllWrites(true);
    thread_->AddConnection(ConnectionA);
    thread_->AddConnection(ConnectionB);
    Post(ConnectionA, 1);
    Post(ConnectionA, 2);
    Post(ConnectionB, 11);
    ASSERT_EQ(thread_->RemoveConnection(ConnectionA), ResultOk);
    EXPECT_EQ(Stats(), std::make_pair(1u, 1u));
    EXPECT_EQ(Post(ConnectionA, 3), ResultOk);
    EXPECT_EQ(Stats().second, 1u) << "callbacks after removal are dropped";
    EXPECT_EQ(thread_->RemoveConnection(ConnectionA), ResultOk);

    service_->HoldAllWrites(false);
    ASSERT_TRUE(WaitForSent(1));
    EXPECT_TRUE(WaitUntilQueueEmpty());
    EXPECT_EQ(SentLog(), (std::vector<Sent>{{ConnectionB, 11}}));
}

// Removes connection A from inside the first send to it, as another thread would while the
// callback thread is busy writing.
class RpcCallbackRemovalDuringSendTest : public RpcCallbackThreadTest {
protected:
    void OnWrite(UUID connection, const Bytes& bytes) override {
        if (connection == ConnectionA && !removed_) {
            removed_ = true;
            thread_->RemoveConnection(ConnectionA);
        }
        RpcCallbackThreadTest::OnWrite(connection, bytes);
    }
    bool removed_ = false;  // only touched on the callback thread
};

TEST_F(RpcCallbackRemovalDuringSendTest, RemainingCallbacksAreGone) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->HoldAllWrites(true);
    thread_->AddConnection(ConnectionA);
    thread_->AddConnection(ConnectionB);
    Post(ConnectionA, 1);
    Post(ConnectionA, 2);
    Post(ConnectionA, 3);
    Post(ConnectionB, 11);
    Post(ConnectionB, 12);
    service_->HoldAllWrites(false);

    ASSERT_TRUE(WaitForSent(3));
    EXPECT_TRUE(WaitUntilQueueEmpty());
    // The round may start at either connection; per connection the order is fixed.
    std::vector<Sent> toA, toB;
    for (const Sent& sent : SentLog())
        (sent.connection == ConnectionA ? toA : toB).push_back(sent);
    EXPECT_EQ(toA, (std::vector<Sent>{{ConnectionA, 1}})) << Describe(SentLog());
    EXPECT_EQ(toB, (std::vector<Sent>{{ConnectionB, 11}, {ConnectionB, 12}}))
        << Describe(SentLog());
    EXPECT_EQ(Stats(), std::make_pair(1u, 0u));
}

TEST_F(RpcCallbackThreadTest, FailedCallbacksAreNotRetried) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    service_->SetWriteResult(ResultSocketWriteFailed);
    thread_->AddConnection(ConnectionA);
    Post(ConnectionA, 1);
    Post(ConnectionA, 2);
    EXPECT_TRUE(WaitUntilQueueEmpty());
    service_->SetWriteResult(ResultOk);
    Post(ConnectionA, 3);
    ASSERT_TRUE(WaitForSent(1));
    EXPECT_TRUE(WaitUntilQueueEmpty());
    EXPECT_EQ(SentLog(), (std::vector<Sent>{{ConnectionA, 3}}));
}

}  // namespace
}  // namespace brondal

namespace brondal {
namespace {

// Numbers its calls 1..count in their arguments and counts how many it was asked to make.
class NumberedSequence final : public ICallbackSequence, public IRefCountImpl {
public:
    explicit NumberedSequence(std::uint32_t count, std::uint32_t first = 1)
        : next_(first), end_(first + count) {}
    Result Next(RefPtr<IDataStream>* arguments, bool* last) override {
        NewDataStream(arguments->Receive());
        (*arguments)->WriteUInt32(next_++);
        *last = next_ == end_;
        ++made;
        return ResultOk;
    }
    std::atomic<std::uint32_t> made{0};

private:
    std::uint32_t next_;
    const std::uint32_t end_;
};

class RpcCallbackSequenceTest : public RpcCallbackThreadTest {
protected:
    RefPtr<NumberedSequence> Queue(const UUID& connection, std::uint32_t count, std::uint32_t first,
                                   Result expected = ResultOk) {
        auto sequence = RefPtr<NumberedSequence>::Adopt(new NumberedSequence(count, first));
        RefPtr<IDataStream> reply;
        NewDataStream(reply.Receive());
        EXPECT_EQ(thread_->CallBackSequence(connection, Object, 7, sequence.Get(), reply.Get()),
                  expected);
        return sequence;
    }
    // The tags sent to one connection, in order.
    std::vector<std::uint32_t> TagsTo(const UUID& connection) {
        std::vector<std::uint32_t> tags;
        for (const Sent& sent : SentLog())
            if (sent.connection == connection) tags.push_back(sent.tag);
        return tags;
    }
    static std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t count) {
        std::vector<std::uint32_t> values(count);
        for (std::uint32_t i = 0; i < count; ++i)
            values[i] = first + i;
        return values;
    }
};

// Runs far longer than the queue limit arrive whole and in order, back to back, while
// another connection's run is served in turn; a subscriber that is not ready has none of
// its calls made in advance.
TEST_F(RpcCallbackSequenceTest, RunsArriveWholeInOrderAndAreMadeOnlyWhenReady) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    thread_->AddConnection(ConnectionA);
    thread_->AddConnection(ConnectionB);
    service_->SetReadyForWrite(ConnectionB, false);
    Queue(ConnectionA, 250, 1);
    Queue(ConnectionA, 150, 1000);
    auto slow = Queue(ConnectionB, 300, 1);
    ASSERT_TRUE(WaitForSent(400));
    EXPECT_EQ(slow->made.load(), 0u);
    std::vector<std::uint32_t> expected = Range(1, 250);
    const std::vector<std::uint32_t> second = Range(1000, 150);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(TagsTo(ConnectionA), expected);

    service_->SetReadyForWrite(ConnectionB, true);
    ASSERT_TRUE(WaitForSent(700));
    EXPECT_EQ(TagsTo(ConnectionB), Range(1, 300));
    EXPECT_TRUE(WaitUntilQueueEmpty());
}

// A run is one entry of the queue limit; a connection takes a bounded number of runs, and
// one it cannot take is refused, not cut short.
TEST_F(RpcCallbackSequenceTest, RunsThatCannotBeQueuedAreRefusedWhole) {
    ASSERT_EQ(thread_->Initialize(), ResultOk);
    Queue(ConnectionA, 3, 1, ResultFail);  // not a subscriber
    thread_->AddConnection(ConnectionA);
    service_->SetReadyForWrite(ConnectionA, false);
    for (std::size_t i = 0; i < RpcCallbackThread::MaxQueuedSequences; ++i)
        Queue(ConnectionA, 500, 1);
    Queue(ConnectionA, 500, 1, ResultFail);
    EXPECT_EQ(Stats().second, RpcCallbackThread::MaxQueuedSequences);
    thread_->RemoveConnection(ConnectionA);
    EXPECT_EQ(Stats(), std::make_pair(0u, 0u));
}

}  // namespace
}  // namespace brondal
