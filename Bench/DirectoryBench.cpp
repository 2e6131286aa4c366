// Costs of the display table: refreshing displays, and one purge scan of a large table.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <vector>

// The registry's header is private to its library.
#include "CorvaneDirectoryService.h"
#include "DefaultScheduler.h"
#include "SchedulerOverride.h"

namespace brondal::corvane::server {
namespace {

constexpr int TableSize = 100000;

// A registry whose maintenance thread never starts: the benchmark runs the passes itself
// (or none at all), so a background scan cannot disturb the figures.
class Registry final : public CorvaneDirectoryService {
public:
    Registry() : CorvaneDirectoryService(53200) {}
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

    std::atomic<std::int64_t> now{1704067200000};

private:
    Scheduler* previous_;
};

const std::vector<UUID>& DisplayIds() {
    static const std::vector<UUID> ids = [] {
        std::vector<UUID> v;
        for (int i = 0; i < TableSize; ++i)
            v.emplace_back(0x5eed0000u + static_cast<std::uint32_t>(i), 0x1234, 0x4567,
                           0x89ab000000000000u + static_cast<std::uint64_t>(i) * 7919);
        return v;
    }();
    return ids;
}

// Names longer than the small-string buffer, as real display names are.
void Fill(CorvaneDirectoryService& registry) {
    for (const UUID& id : DisplayIds())
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
    const std::vector<UUID>& ids = DisplayIds();
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

}  // namespace
}  // namespace brondal::corvane::server
