#pragma once

#include <cstdint>

#include "Scheduler.h"

namespace brondal {

// Guards lock without a time limit, which fails only on a destroyed mutex, and have nobody to
// tell of a failed unlock: their results are dropped on purpose.
//
// Holds a FastMutex for its scope, or until Unlock.
class FastLockGuard {
public:
    explicit FastLockGuard(Scheduler::FastMutex& mutex) : mutex_(&mutex) { (void)mutex_->Lock(); }
    ~FastLockGuard() { Unlock(); }
    void Unlock() {
        if (mutex_) {
            (void)mutex_->Unlock();
            mutex_ = nullptr;
        }
    }
    FastLockGuard(const FastLockGuard&) = delete;
    FastLockGuard& operator=(const FastLockGuard&) = delete;

private:
    Scheduler::FastMutex* mutex_;
};

// Holds a Mutex for its scope when it could be had within the timeout; check IsLocked.
class MutexGuard {
public:
    explicit MutexGuard(Scheduler::Mutex& mutex, std::int32_t timeoutMs = Scheduler::Infinite)
        : mutex_(&mutex) {
        locked_ = Succeeded(mutex_->Lock(timeoutMs));
    }
    ~MutexGuard() { Unlock(); }
    bool IsLocked() const { return locked_; }
    void Unlock() {
        if (locked_) {
            (void)mutex_->Unlock();
            locked_ = false;
        }
    }
    // Takes the mutex again, without limit, after Unlock.
    void Relock() {
        if (!locked_) locked_ = Succeeded(mutex_->Lock(Scheduler::Infinite));
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Scheduler::Mutex* mutex_;
    bool locked_ = false;
};

// Holds a Monitor for its scope, or until Exit.
class MonitorGuard {
public:
    explicit MonitorGuard(Scheduler::Monitor& monitor) : monitor_(&monitor) {
        (void)monitor_->Enter();
    }
    ~MonitorGuard() { Exit(); }
    void Exit() {
        if (monitor_) {
            (void)monitor_->Exit();
            monitor_ = nullptr;
        }
    }
    MonitorGuard(const MonitorGuard&) = delete;
    MonitorGuard& operator=(const MonitorGuard&) = delete;

private:
    Scheduler::Monitor* monitor_;
};

}  // namespace brondal
