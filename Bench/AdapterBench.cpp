// The reliable adapter over loopback against the plain TCP transport under it: round-trip
// latency of a small frame (median and 99th percentile in microseconds), one-way streaming
// throughput with 64 KiB messages, and the time from a cut socket to the first message
// delivered again.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "FrameSink.h"
#include "IRefCountImpl.h"
#include "LoopbackSupport.h"
#include "NetworkTransportImpl.h"
#include "RefPtr.h"
#include "ReliableTransport.h"
#include "TcpRelay.h"

namespace {

using namespace brondal;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t Loopback = 0x7f000001;
constexpr UUID Channel(0x0badcafe, 0x1234, 0x5678, 0x9abcdef012345678);

enum class Kind { Plain, Adapter, Layered };

RefPtr<ITransport> Make(Kind kind, std::uint16_t port) {
    RefPtr<ITransport> transport;
    if (kind == Kind::Plain) {
        platform::CreateInstance(Loopback, port, transport.Receive());
    } else {
        CreateReliableTransport(Loopback, port, transport.Receive());
    }
    // Delivery on the transport's own thread, as the service runs it.
    transport->Initialize(true, true);
    if (kind == Kind::Layered) transport->EnableReliableDelivery();
    return transport;
}

// A listening transport and a client connected to it, optionally through a relay.
struct Pair {
    Pair(Kind kind, bool relayed) {
        const std::uint16_t port = testing::FindFreePort();
        server = Make(kind, port);
        server->AddNotify(serverSink.Get());
        if (relayed) relay = std::make_unique<testing::TcpRelay>(port);
        client = Make(kind, 0);
        client->AddNotify(clientSink.Get());
        client->OpenConnection(Loopback, relayed ? relay->Port() : port, &id, 5000);
    }
    ~Pair() {
        client->Finalize();
        server->Finalize();
    }

    RefPtr<ITransport> server;
    RefPtr<ITransport> client;
    RefPtr<bench::FrameSink> serverSink = RefPtr<bench::FrameSink>::Adopt(new bench::FrameSink);
    RefPtr<bench::FrameSink> clientSink = RefPtr<bench::FrameSink>::Adopt(new bench::FrameSink);
    std::unique_ptr<testing::TcpRelay> relay;
    UUID id;
};

void Percentiles(benchmark::State& state, std::vector<double>& samples, const char* unit) {
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) return;
    state.counters[std::string("median_") + unit] = samples[samples.size() / 2];
    state.counters[std::string("p99_") + unit] = samples[samples.size() * 99 / 100];
}

void RoundTrip(benchmark::State& state, Kind kind) {
    Pair pair(kind, false);
    pair.serverSink->EchoThrough(pair.server.Get());
    RefPtr<IDataStream> payload = bench::Payload(64);
    std::vector<double> samples;
    std::uint64_t expected = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (Failed(pair.client->Write(pair.id, Channel, payload.Get())) ||
            !pair.clientSink->WaitFrames(++expected)) {
            state.SkipWithError("a round trip failed or never came back");
            break;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Percentiles(state, samples, "us");
}

void Stream(benchmark::State& state, Kind kind) {
    Pair pair(kind, false);
    const auto size = static_cast<std::uint32_t>(state.range(0));
    RefPtr<IDataStream> payload = bench::Payload(size);
    std::uint64_t sent = 0;
    for (auto _ : state) {
        if (Failed(pair.client->Write(pair.id, Channel, payload.Get()))) {
            state.SkipWithError("a write failed");
            break;
        }
        ++sent;
    }
    if (!pair.serverSink->WaitFrames(sent)) state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<std::int64_t>(sent) * size);
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

// From cutting the socket to the first message delivered on the new one.
void BM_RecoveryAfterCut(benchmark::State& state) {
    Pair pair(Kind::Layered, true);
    RefPtr<IDataStream> payload = bench::Payload(64);
    std::uint64_t expected = 1;
    if (Failed(pair.client->Write(pair.id, Channel, payload.Get())) ||
        !pair.serverSink->WaitFrames(expected)) {
        state.SkipWithError("the first message never arrived");
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        pair.relay->CutAll();
        const auto start = Clock::now();
        const Result written = pair.client->Write(pair.id, Channel, payload.Get());
        if (Failed(written) || !pair.serverSink->WaitFrames(++expected)) {
            const std::string why = "message " + std::to_string(expected) + " after a cut: write " +
                                    std::to_string(written) +
                                    (Failed(written) ? "" : ", never delivered");
            state.SkipWithError(why.c_str());
            break;
        }
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    Percentiles(state, samples, "ms");
}

void BM_RoundTripPlain(benchmark::State& state) { RoundTrip(state, Kind::Plain); }
void BM_RoundTripAdapter(benchmark::State& state) { RoundTrip(state, Kind::Adapter); }
void BM_RoundTripLayered(benchmark::State& state) { RoundTrip(state, Kind::Layered); }
void BM_StreamPlain(benchmark::State& state) { Stream(state, Kind::Plain); }
void BM_StreamAdapter(benchmark::State& state) { Stream(state, Kind::Adapter); }
void BM_StreamLayered(benchmark::State& state) { Stream(state, Kind::Layered); }

BENCHMARK(BM_RoundTripPlain)->UseRealTime()->Iterations(10000);
BENCHMARK(BM_RoundTripAdapter)->UseRealTime()->Iterations(10000);
BENCHMARK(BM_RoundTripLayered)->UseRealTime()->Iterations(10000);
BENCHMARK(BM_StreamPlain)->UseRealTime()->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_StreamAdapter)->UseRealTime()->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_StreamLayered)->UseRealTime()->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_RecoveryAfterCut)->UseRealTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
