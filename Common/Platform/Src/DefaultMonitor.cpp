#include "DefaultMonitor.h"

#include <chrono>

#include "ThreadIdentity.h"

namespace brondal {

namespace {

// Tells the processor this is a spin-wait (less power, and the other hardware thread of
// the core runs meanwhile).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

std::uint32_t DefaultMonitor::Caller() {
    // The default scheduler's thread identifiers are the platform's: asked directly, since
    // every entry and exit asks, and the scheduler's virtual call cost more than the check.
    const std::uint32_t id = platform::CurrentThreadId();
    if (id == 0) GetScheduler().Abort();
    return id;
}

Result DefaultMonitor::Enter() {
    const std::uint32_t self = Caller();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++count_;
        return ResultOk;
    }
    bool held = spin_ && mutex_.try_lock();
    for (int tries = 0; spin_ && !held && tries < SpinTries; ++tries) {
        CpuRelax();
        held = mutex_.try_lock();
    }
    if (!held) mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
    return ResultOk;
}

Result DefaultMonitor::Restore(std::int32_t count) {
    (void)Enter();
    count_ = count;
    return ResultOk;
}

Result DefaultMonitor::Exit() {
    if (owner_.load(std::memory_order_relaxed) != Caller()) return ResultFail;
    if (--count_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    return ResultOk;
}

Result DefaultMonitor::ExitAll(std::int32_t* count) {
    if (owner_.load(std::memory_order_relaxed) != Caller()) return ResultFail;
    if (count) *count = count_;
    count_ = 0;
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
    return ResultOk;
}

Result DefaultMonitor::Wait(std::int32_t timeoutMs) {
    const std::uint32_t self = Caller();
    if (owner_.load(std::memory_order_relaxed) != self) return ResultFail;
    const std::int32_t saved = count_;
    count_ = 0;
    owner_.store(0, std::memory_order_relaxed);
    {
        // The mutex is held; the condition variable releases it while waiting and takes it
        // back before returning. One wait only: callers loop on their own condition.
        std::unique_lock lock(mutex_, std::adopt_lock);
        if (timeoutMs < 0) {
            condition_.wait(lock);
        } else {
            condition_.wait_for(lock, std::chrono::milliseconds(timeoutMs));
        }
        lock.release();
    }
    owner_.store(self, std::memory_order_relaxed);
    count_ = saved;
    return ResultOk;
}

Result DefaultMonitor::NotifyAll() {
    condition_.notify_all();
    return ResultOk;
}

}  // namespace brondal
