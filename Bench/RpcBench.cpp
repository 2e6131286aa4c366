// The RPC engine's call round trip and the callback thread's fan-out, over the in-memory
// transport of the tests (delivery threads, byte copies; no sockets), so these figures are
// the engine's own cost plus one thread hand-off per message in each direction.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "../Common/Rpc/Tests/InMemoryTransport.h"
#include "../Common/Rpc/Tests/RpcTestSupport.h"
#include "IRpc.h"
#include "RpcCallbackThread.h"

namespace {

using brondal::IDataStream;
using brondal::IRpc;
using brondal::RefPtr;
using brondal::Result;
using brondal::UUID;
using brondal::testing::InMemoryTransport;
using brondal::testing::TestStub;

const UUID Object(0x0badcafe, 1, 2, 3);

RefPtr<IDataStream> NewStream() {
    RefPtr<IDataStream> stream;
    brondal::NewDataStream(stream.Receive());
    return stream;
}

// Two engines joined by one connection, shared by every caller thread. Never destroyed: the
// benchmark threads may run until the process ends.
struct CallPair {
    explicit CallPair(brondal::testing::RpcLink made) : link(std::move(made)) {
        brondal::CreateRpc(client.Receive());
        brondal::CreateRpc(server.Receive());
        client->Initialize(link.client.Get(), 0);
        server->Initialize(link.server.Get(), 0);
        server->AddStub(Object, stub.Get());
    }
    brondal::testing::RpcLink link;
    RefPtr<IRpc> client;
    RefPtr<IRpc> server;
    RefPtr<TestStub> stub = RefPtr<TestStub>::Adopt(new TestStub(Object));
};

CallPair& SharedPair() {
    static CallPair* pair = new CallPair(brondal::testing::MakeInMemoryLink());
    return *pair;
}

// The same over the TCP transport on loopback.
CallPair& SharedTcpPair() {
    static CallPair* pair = new CallPair(brondal::testing::MakeTcpLink());
    return *pair;
}

double PercentileUs(std::vector<double>& samples, double fraction) {
    if (samples.empty()) return 0;
    const std::size_t index =
        std::min(samples.size() - 1, static_cast<std::size_t>(fraction * samples.size()));
    std::nth_element(samples.begin(), samples.begin() + index, samples.end());
    return samples[index];
}

// Echo calls of a short string, each waiting for its response. With several threads the
// rate is the total; the percentiles are each caller's, averaged over the callers.
void CallRoundTrip(benchmark::State& state, CallPair& pair) {
    RefPtr<IDataStream> arguments = NewStream();
    arguments->WriteString("display-name");
    std::vector<double> latencyUs;
    latencyUs.reserve(1 << 16);
    for (auto _ : state) {
        RefPtr<IDataStream> reply = NewStream();
        const auto start = std::chrono::steady_clock::now();
        const Result result = pair.client->Execute(pair.link.connectionId, Object, TestStub::Echo,
                                                   arguments.Get(), reply.Get(), 30000);
        const auto end = std::chrono::steady_clock::now();
        if (result != brondal::ResultOk) state.SkipWithError("call failed");
        latencyUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["p50_us"] =
        benchmark::Counter(PercentileUs(latencyUs, 0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] =
        benchmark::Counter(PercentileUs(latencyUs, 0.99), benchmark::Counter::kAvgThreads);
}
void BM_CallRoundTrip(benchmark::State& state) { CallRoundTrip(state, SharedPair()); }
BENCHMARK(BM_CallRoundTrip)->Threads(1)->Threads(8)->Threads(64)->UseRealTime();

void BM_CallRoundTripTcp(benchmark::State& state) { CallRoundTrip(state, SharedTcpPair()); }
BENCHMARK(BM_CallRoundTripTcp)->Threads(1)->Threads(8)->Threads(64)->UseRealTime();

// Counts the callbacks a client receives.
class Receiver : public brondal::ITransport::ITransportNotify, public brondal::IRefCountImpl {
public:
    explicit Receiver(std::atomic<std::uint64_t>& received) : received_(received) {}
    Result OnDataReady(UUID, UUID, IDataStream*) override {
        received_.fetch_add(1, std::memory_order_relaxed);
        return brondal::ResultOk;
    }
    Result OnEvent(UUID, std::int32_t) override { return brondal::ResultOk; }

private:
    std::atomic<std::uint64_t>& received_;
};

// One-way callbacks fanned out by the callback thread to 100 client connections: 100 per
// connection per iteration (within the queue limit), timed until every client received all.
void BM_CallbackFanOut(benchmark::State& state) {
    constexpr int Connections = 100;
    constexpr int PerConnection = 100;
    RefPtr<InMemoryTransport> service = InMemoryTransport::Create();
    std::vector<RefPtr<InMemoryTransport>> clients;
    std::vector<UUID> ids;
    std::atomic<std::uint64_t> received{0};
    auto receiver = RefPtr<Receiver>::Adopt(new Receiver(received));
    for (int i = 0; i < Connections; ++i) {
        clients.push_back(InMemoryTransport::Create());
        clients.back()->AddNotify(receiver.Get());
        ids.push_back(InMemoryTransport::Connect(service.Get(), clients.back().Get()));
    }
    RefPtr<IRpc> engine;
    brondal::CreateRpc(engine.Receive());
    engine->Initialize(service.Get(), 0);
    auto thread =
        RefPtr<brondal::RpcCallbackThread>::Adopt(new brondal::RpcCallbackThread(engine.Get()));
    thread->Initialize();
    for (const UUID& id : ids)
        thread->AddConnection(id);
    RefPtr<IDataStream> arguments = NewStream();
    arguments->WriteUInt32(1000);
    RefPtr<IDataStream> reply = NewStream();

    std::uint64_t expected = 0;
    for (auto _ : state) {
        for (int n = 0; n < PerConnection; ++n) {
            for (const UUID& id : ids)
                thread->CallBack(id, Object, 7, arguments.Get(), reply.Get());
        }
        expected += Connections * PerConnection;
        while (received.load(std::memory_order_relaxed) < expected)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * Connections * PerConnection);

    thread.Reset();
    engine->Finalize();
    service->Shutdown();
    for (auto& client : clients)
        client->Shutdown();
}
BENCHMARK(BM_CallbackFanOut)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
