// Costs of the display table: refreshing displays, one purge scan of a large table, the
// queueing of the whole table for a client (what the table lock is held for) and the making
// of its batches (on the callback thread).
#include <benchmark/benchmark.h>

#include <atomic>
#include <span>
#include <string>

// The registry's header is private to its library.
#include "CorvaneDirectoryService.h"
#include "DefaultScheduler.h"
#include "DisplayEnumeration.h"
#include "SchedulerOverride.h"
#include "TcpSocket.h"

namespace brondal::corvane::server {
namespace {

constexpr int TableSize = 100000;
constexpr int LargeTableSize = 1000000;

constexpr std::uint32_t Loopback = 0x7f000001;

// Two consecutive free ports on loopback, for the registry's two transports: the real ones
// may belong to a running service.
std::uint16_t FreePortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int first = platform::TcpCreate();
        std::uint16_t port = 0;
        platform::TcpBind(first, Loopback, 0);
        platform::TcpGetLocal(first, nullptr, &port);
        const int second = platform::TcpCreate();
        const bool free =
            port != 0 && port != 0xffff && platform::TcpBind(second, Loopback, port + 1) == 0;
        platform::TcpClose(second);
        platform::TcpClose(first);
        if (free) return port;
    }
    return 0;
}

// A registry whose maintenance thread never starts: the benchmark runs the passes itself
// (or none at all), so a background scan cannot disturb the figures.
class Registry final : public CorvaneDirectoryService {
public:
    Registry() : CorvaneDirectoryService(FreePortPair(), Loopback) {}
    void Start(std::int32_t) override {}
};

// The clock stands where the benchmark puts it and a pass does not sleep, so that the
// 301 passes of one purge cost what the scan costs.
class BenchScheduler final : public DefaultScheduler {
public:
    BenchScheduler() : previous_(ExchangeScheduler(this)) {}
    ~BenchScheduler() override { ExchangeScheduler(previous_); }
    void Sleep(std::uint32_t) override {}
    std::int64_t GetTimeMs() override { return now.load(); }
    std::int64_t GetLocalTimeMs() override { return now.load(); }
    // The purge measures ages on the monotonic clock.
    std::int64_t GetTickCount64() override { return now.load(); }

    std::atomic<std::int64_t> now{1704067200000};

private:
    Scheduler* previous_;
};

// The first size identifiers (at most LargeTableSize).
std::span<const UUID> DisplayIds(int size = TableSize) {
    // A plain array, never destroyed: destroying UUIDs through a container is what clang
    // warns about (the class has virtual functions but a destructor that is not virtual).
    static const UUID* const ids = [] {
        auto* v = new UUID[LargeTableSize];
        for (int i = 0; i < LargeTableSize; ++i)
            v[i] = UUID(0x5eed0000u + static_cast<std::uint32_t>(i), 0x1234, 0x4567,
                        0x89ab000000000000u + static_cast<std::uint64_t>(i) * 7919);
        return v;
    }();
    return {ids, static_cast<std::size_t>(size)};
}

// Names longer than the small-string buffer, as real display names are.
void Fill(CorvaneDirectoryService& registry, int size = TableSize) {
    for (const UUID& id : DisplayIds(size))
        registry.UpdateDisplay(id, "Conference room display", "Building 4, floor 2", 0x0a000102,
                               5000, 1, "");
}

void BM_UpdateDisplayRefresh(benchmark::State& state) {
    static Registry* registry = nullptr;
    if (state.thread_index() == 0) {
        registry = new Registry();
        registry->Initialize();
        Fill(*registry);
    }
    const std::span<const UUID> ids = DisplayIds();
    std::size_t next = static_cast<std::size_t>(state.thread_index()) * 7;
    for (auto _ : state) {
        const UUID& id = ids[next];
        next = (next + 13) % ids.size();
        registry->UpdateDisplay(id, "Conference room display", "Building 4, floor 2", 0x0a000102,
                                5000, 1, "");
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        registry->Release();
        registry = nullptr;
    }
}
BENCHMARK(BM_UpdateDisplayRefresh)->Threads(1)->Threads(2)->UseRealTime();

// One purge scan over the full table that finds nothing stale.
void BM_PurgeScanNothingStale(benchmark::State& state) {
    BenchScheduler scheduler;
    Registry* registry = new Registry();
    registry->Initialize();
    Fill(*registry);
    for (auto _ : state) {
        for (std::uint32_t i = 0; i <= CorvaneDirectoryService::PurgePassCount; ++i)
            registry->ThreadFunc();
    }
    if (registry->GetDisplayCount() != static_cast<std::size_t>(TableSize))
        state.SkipWithError("the scan purged displays");
    registry->Release();
}
BENCHMARK(BM_PurgeScanNothingStale)->Unit(benchmark::kMillisecond);

// One purge scan that finds every display stale: extraction, the "Purged" lines and the
// freeing of the records.
void BM_PurgeScanAllStale(benchmark::State& state) {
    BenchScheduler scheduler;
    Registry* registry = new Registry();
    registry->Initialize();
    for (auto _ : state) {
        state.PauseTiming();
        Fill(*registry);
        scheduler.now += static_cast<std::int64_t>(CorvaneDirectoryService::StaleAfterMs) + 1;
        state.ResumeTiming();
        for (std::uint32_t i = 0; i <= CorvaneDirectoryService::PurgePassCount; ++i)
            registry->ThreadFunc();
    }
    if (registry->GetDisplayCount() != 0) state.SkipWithError("the scan left displays");
    registry->Release();
}
BENCHMARK(BM_PurgeScanAllStale)->Unit(benchmark::kMillisecond);

// One enumeration of the full table for a subscribed client, as the request costs it: the
// snapshot and the queueing, which is how long every update waits behind the table lock.
// The client's callback connection does not exist, so nothing is sent; its queue is emptied
// between iterations. Arguments: extended form, table size.
void BM_EnumerateFullTable(benchmark::State& state) {
    const int size = static_cast<int>(state.range(1));
    Registry* registry = new Registry();
    if (Failed(registry->Initialize())) state.SkipWithError("no free ports");
    Fill(*registry, size);
    const UUID request(1, 0, 0, 1);
    const UUID callback(2, 0, 0, 2);
    for (auto _ : state) {
        state.PauseTiming();
        registry->RemoveNotify(request);
        registry->AddNotify(request, callback, CorvaneDirectoryService::DirectoryObjectId);
        state.ResumeTiming();
        std::uint64_t version = 0;
        registry->RequestDisplayEnumeration(request, state.range(0) != 0, 0, &version);
    }
    state.SetItemsProcessed(state.iterations() * size);
    registry->Release();
}
BENCHMARK(BM_EnumerateFullTable)
    ->Args({0, TableSize})
    ->Args({1, TableSize})
    ->Args({0, LargeTableSize})
    ->Unit(benchmark::kMicrosecond);

// Making every batch of one enumeration of the table, as the callback thread does it one
// per turn, outside the table lock. Arguments: extended form, table size.
void BM_EnumerationBatches(benchmark::State& state) {
    const int size = static_cast<int>(state.range(1));
    DisplayTable table;
    for (const UUID& id : DisplayIds(size)) {
        auto record =
            std::make_shared<DisplayRecord>(DisplayRecord{.displayId = id,
                                                          .secondaryName = "Building 4, floor 2",
                                                          .displayName = "Conference room display",
                                                          .address = 0x0a000102,
                                                          .port = 5000,
                                                          .extra = ""});
        table.Update(record);
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto enumeration = RefPtr<DisplayEnumeration>::Adopt(
            new DisplayEnumeration(table.TakeSnapshot(), state.range(0) != 0,
                                   CorvaneDirectoryService::EnumerationBatchSize,
                                   CorvaneDirectoryService::EnumerationBatchMaxBytes));
        bool last = false;
        while (!last) {
            RefPtr<IDataStream> batch;
            if (Failed(enumeration->Next(&batch, &last))) state.SkipWithError("no batch");
            std::uint32_t batchBytes = 0;
            batch->GetSize(&batchBytes);
            bytes += batchBytes;
        }
    }
    state.SetItemsProcessed(state.iterations() * size);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_EnumerationBatches)
    ->Args({0, TableSize})
    ->Args({0, LargeTableSize})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brondal::corvane::server
