// Costs of log statements: one the logger filters out, and one that reaches a log file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "DefaultScheduler.h"
#include "FileStore.h"
#include "LogCall.h"
#include "RefPtr.h"
#include "SchedulerOverride.h"

namespace brondal {
namespace {

void BM_DisabledByLevel(benchmark::State& state) {
    ILogger* logger = ProcessLogger();
    logger->SetLevelMask(LogAll & ~LogSpew);
    int value = 0;
    for (auto _ : state)
        LOG_MESSAGE(LogSpew, 0, "value %d", ++value);
    logger->SetLevelMask(LogAll);
}
BENCHMARK(BM_DisabledByLevel);

void BM_DisabledByDetail(benchmark::State& state) {
    ILogger* logger = ProcessLogger();
    logger->SetDetailLimit(0);
    int value = 0;
    for (auto _ : state)
        LOG_MESSAGE(LogInformation, 2, "value %d", ++value);
}
BENCHMARK(BM_DisabledByDetail);

// The logger suspends a call site that repeats five times within a second. This clock puts
// more than a minute between its readings, so that every statement of the loop is written
// and the whole path is measured, not the suspension.
class SpacedClock final : public DefaultScheduler {
public:
    std::int64_t GetTimeMs() override { return StartMs + readings_.fetch_add(1) * 61000; }

private:
    static constexpr std::int64_t StartMs = 1704067200000;
    std::atomic<std::int64_t> readings_{0};
};

// A file store in a folder of its own, removed afterwards. Files rotate at 16 MiB and at
// most seven are kept, so a long run stays bounded on disk.
class TempStore {
public:
    TempStore() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "LoggerBench-XXXXXX").string();
        if (::mkdtemp(pattern.data())) folder_ = pattern;
        CreateFileStore(folder_, "Bench", std::uint64_t{16} << 20, store_.Receive());
    }
    ~TempStore() {
        store_.Reset();
        std::error_code error;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
    }
    ILogStore* Get() const { return store_.Get(); }

private:
    std::string folder_;
    RefPtr<ILogStore> store_;
};

TempStore* shared = nullptr;
SpacedClock* spacedClock = nullptr;
Scheduler* previous = nullptr;

void BM_EnabledToFile(benchmark::State& state) {
    if (state.thread_index() == 0) {
        spacedClock = new SpacedClock();
        previous = ExchangeScheduler(spacedClock);
        shared = new TempStore();
        ProcessLogger()->AddStore(shared->Get());
    }
    int value = 0;
    for (auto _ : state) {
        LOG_MESSAGE(LogInformation, 0, "Registered display %d after %d ms", ++value, 17);
    }
    if (state.thread_index() == 0) {
        ProcessLogger()->RemoveStore(shared->Get());
        delete shared;
        ExchangeScheduler(previous);
        delete spacedClock;
    }
}
BENCHMARK(BM_EnabledToFile)->Threads(1)->Threads(2);

// The store alone, without the logger's filtering and repeat bookkeeping.
void BM_FileStoreWrite(benchmark::State& state) {
    if (state.thread_index() == 0) shared = new TempStore();
    const std::string message = "Registered display 1234 after 17 ms";
    for (auto _ : state) {
        shared->Get()->Write(LogInformation, __FILE__, __PRETTY_FUNCTION__, 0, 1, __LINE__,
                             message);
    }
    if (state.thread_index() == 0) delete shared;
}
BENCHMARK(BM_FileStoreWrite)->Threads(1)->Threads(2);

}  // namespace
}  // namespace brondal
