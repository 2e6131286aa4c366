// The execution queue's rate: calls queued and run on one thread, and synchronous calls
// handed to an owner thread and waited for.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "ExecutionQueue.h"
#include "Thread.h"

namespace {

using brondal::ExecutionQueue;
using brondal::IDataStream;
using brondal::RefPtr;
using brondal::Result;
using brondal::Scheduler;
using brondal::UUID;

const UUID Object(0x0badcafe, 1, 2, 3);
constexpr int CallsPerIteration = 1000;

class CountingStub : public ExecutionQueue::IStub {
public:
    Result ExecuteStub(const UUID&, std::int32_t, IDataStream*, IDataStream* reply) override {
        ++calls;
        if (reply != nullptr) reply->WriteInt32(brondal::ResultOk);
        return brondal::ResultOk;
    }
    std::uint64_t calls = 0;
};

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    brondal::NewDataStream(stream.Receive());
    return stream;
}

// Producer and owner on the same thread: the queue's own cost per call.
void BM_PostAndProcess(benchmark::State& state) {
    ExecutionQueue queue;
    CountingStub stub;
    queue.AddStub(Object, &stub);
    RefPtr<IDataStream> arguments = NewStream();
    arguments->WriteUInt32(42);
    for (auto _ : state) {
        for (int i = 0; i < CallsPerIteration; ++i) {
            queue.Execute(Object, 1, arguments.Get(), nullptr, 0, nullptr);
        }
        queue.ProcessQueue();
    }
    state.SetItemsProcessed(state.iterations() * CallsPerIteration);
}
BENCHMARK(BM_PostAndProcess);

class Owner : public ExecutionQueue, public brondal::Thread {
public:
    Owner() { AddStub(Object, &stub); }
    ~Owner() override { Stop(); }
    bool ThreadFunc() override {
        ProcessQueue();
        return false;
    }
    CountingStub stub;
};

// A producer thread waiting for each call: queue, wake, run on the owner, signal back.
void BM_SynchronousCallToOwnerThread(benchmark::State& state) {
    Owner owner;
    owner.Start(Scheduler::Infinite);
    std::unique_ptr<Scheduler::Event> done = brondal::GetScheduler().CreateEvent(false, false);
    for (auto _ : state) {
        RefPtr<IDataStream> reply = NewStream();
        owner.Execute(Object, 1, nullptr, reply.Get(), 0, done.get());
        owner.Wake();
        done->Wait(Scheduler::Infinite);
        benchmark::DoNotOptimize(ExecutionQueue::ReplyResult(reply.Get()));
    }
    owner.Stop();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynchronousCallToOwnerThread)->UseRealTime();

}  // namespace
