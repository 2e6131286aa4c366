#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "Scheduler.h"
#include "Uuid.h"

namespace brondal {
namespace {

constexpr std::size_t KeyCount = 10000;

std::vector<UUID> RandomIds(std::size_t count) {
    std::vector<UUID> ids(count);
    for (UUID& id : ids) {
        GetScheduler().NewUuid(&id);
    }
    return ids;
}

void BM_CompareEqual(benchmark::State& state) {
    const UUID a(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);
    UUID b = a;
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(a == b);
    }
}
BENCHMARK(BM_CompareEqual);

// Random identifiers almost always differ in Data1, so this is the common case of a lookup.
void BM_CompareUnequal(benchmark::State& state) {
    const UUID a(0x7a49fb65, 0x09ab, 0x11de, 0x8c300800200c9a66);
    UUID b(0x7a49fb66, 0x09ab, 0x11de, 0x8c300800200c9a66);
    for (auto _ : state) {
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(a == b);
        benchmark::DoNotOptimize(a < b);
    }
}
BENCHMARK(BM_CompareUnequal);

void BM_MapLookup(benchmark::State& state) {
    const std::vector<UUID> ids = RandomIds(KeyCount);
    std::map<UUID, int> map;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        map.emplace(ids[i], static_cast<int>(i));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(ids[i]));
        i = (i + 7919) % ids.size();
    }
}
BENCHMARK(BM_MapLookup);

void BM_UnorderedMapLookup(benchmark::State& state) {
    const std::vector<UUID> ids = RandomIds(KeyCount);
    std::unordered_map<UUID, int> map;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        map.emplace(ids[i], static_cast<int>(i));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.find(ids[i]));
        i = (i + 7919) % ids.size();
    }
}
BENCHMARK(BM_UnorderedMapLookup);

void BM_ToString(benchmark::State& state) {
    UUID id;
    GetScheduler().NewUuid(&id);
    for (auto _ : state) {
        benchmark::DoNotOptimize(id);
        std::string text = id.ToString();
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_ToString);

// The allocation-free form used for logs.
void BM_ToChars(benchmark::State& state) {
    UUID id;
    GetScheduler().NewUuid(&id);
    char text[UUID::TextLength];
    for (auto _ : state) {
        benchmark::DoNotOptimize(id);
        id.ToChars(text);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ToChars);

void BM_Parse(benchmark::State& state) {
    const std::string text = "7a49fb65-09ab-11de-8c30-0800200c9a66";
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.data());
        UUID id(text);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_Parse);

void BM_NewUuid(benchmark::State& state) {
    UUID id;
    for (auto _ : state) {
        GetScheduler().NewUuid(&id);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_NewUuid);
BENCHMARK(BM_NewUuid)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace brondal
