#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "Scheduler.h"

namespace brondal {

// Something that can name itself in diagnostics.
class Lockable {
public:
    virtual ~Lockable() = default;
    virtual void GetName(std::string* name) = 0;
};

// A recursive monitor over a standard mutex and condition variable. Ownership (owner and
// recursion count) is tracked here because the standard mutex is not recursive; Wait hands
// the mutex to the condition variable with the recursion cleared and restores it after.
class DefaultMonitor final : public Scheduler::Monitor, public Lockable {
public:
    // What Enter does when another thread holds the monitor: sleep on the mutex at once, or
    // first retry up to SpinTries times with a processor pause between (a few microseconds
    // in all), so that a hold shorter than that costs no sleep and no wake-up on either side.
    enum class Contention { Sleep, SpinFirst };
    static constexpr int SpinTries = 100;

    explicit DefaultMonitor(Contention contention = Contention::Sleep)
        : spin_(contention == Contention::SpinFirst) {}

    [[nodiscard]] Result Restore(std::int32_t count) override;
    [[nodiscard]] Result Enter() override;
    [[nodiscard]] Result ExitAll(std::int32_t* count) override;
    [[nodiscard]] Result Exit() override;
    [[nodiscard]] Result Wait(std::int32_t timeoutMs) override;
    [[nodiscard]] Result NotifyAll() override;

    void GetName(std::string* name) override { *name = "Monitor"; }

private:
    // The caller's identifier; aborts the process when the system cannot tell it, since
    // ownership checks would be meaningless.
    static std::uint32_t Caller();

    const bool spin_;
    std::mutex mutex_;
    std::condition_variable condition_;
    // Written only by the thread that holds mutex_; read by any thread to learn whether it
    // is itself the owner (a thread only ever sees its own id there while it owns it).
    std::atomic<std::uint32_t> owner_{0};
    std::int32_t count_ = 0;  // guarded by mutex_
};

}  // namespace brondal
