// Costs of the runtime primitives every other component leans on.
#include <benchmark/benchmark.h>

#include <memory>

#include "IRefCountImpl.h"
#include "LockGuard.h"
#include "Scheduler.h"

namespace brondal {
namespace {

class Counted final : public IRefCountImpl {};

void BM_AddRefRelease(benchmark::State& state) {
    static Counted* shared = nullptr;
    if (state.thread_index() == 0) shared = new Counted();
    for (auto _ : state) {
        shared->AddRef();
        shared->Release();
    }
    if (state.thread_index() == 0) shared->Release();
}
BENCHMARK(BM_AddRefRelease)->Threads(1)->Threads(2);

// The same count guarded by a per-object mutex from the scheduler, as the alternative to
// the atomic count that IRefCountImpl uses.
class LockedCount {
public:
    std::int32_t AddRef() {
        MutexGuard guard(*lock_);
        return ++count_;
    }
    std::int32_t Release() {
        MutexGuard guard(*lock_);
        return --count_;
    }

private:
    std::unique_ptr<Scheduler::Mutex> lock_ = GetScheduler().CreateMutex();
    std::int32_t count_ = 1;
};

void BM_AddRefReleaseUnderMutex(benchmark::State& state) {
    static LockedCount* shared = nullptr;
    if (state.thread_index() == 0) shared = new LockedCount();
    for (auto _ : state) {
        shared->AddRef();
        shared->Release();
    }
    if (state.thread_index() == 0) delete shared;
}
BENCHMARK(BM_AddRefReleaseUnderMutex)->Threads(1)->Threads(2);

void BM_MonitorEnterExit(benchmark::State& state) {
    static Scheduler::Monitor* monitor = nullptr;
    if (state.thread_index() == 0) monitor = GetScheduler().CreateMonitor().release();
    for (auto _ : state) {
        monitor->Enter();
        monitor->Exit();
    }
    if (state.thread_index() == 0) delete monitor;
}
BENCHMARK(BM_MonitorEnterExit)->Threads(1)->Threads(2);

void BM_FastMutexLockUnlock(benchmark::State& state) {
    auto mutex = GetScheduler().CreateFastMutex();
    for (auto _ : state) {
        mutex->Lock();
        mutex->Unlock();
    }
}
BENCHMARK(BM_FastMutexLockUnlock);

void BM_GetTimeMs(benchmark::State& state) {
    Scheduler& s = GetScheduler();
    for (auto _ : state)
        benchmark::DoNotOptimize(s.GetTimeMs());
}
BENCHMARK(BM_GetTimeMs);

}  // namespace
}  // namespace brondal
