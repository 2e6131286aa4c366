#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "PlatformEvent.h"
#include "PlatformFastMutex.h"
#include "PlatformMutex.h"
#include "Scheduler.h"

namespace brondal::platform {

// Runs a Runnable's passes on a system thread (see the loop in the .cpp).
//
// The state the running thread touches lives in a block it shares by shared_ptr, so that a
// thread abandoned by Terminate (or stopped from inside its own pass) never touches freed
// memory. Wake, RequestStop and GetRunInfo take no lock and may be called from any thread,
// including from inside a pass.
class Thread final : public Scheduler::Thread {
public:
    Thread(Scheduler::Runnable* runnable, bool deleteRunnableOnExit);
    ~Thread() override;

    void ThreadStart(std::int32_t timeoutMs) override;
    void Stop() override;
    // TerminateThread would leave locks held and heaps half updated. The thread is
    // abandoned instead: the object forgets it at once, and it ends after its current pass
    // without calling the runnable again.
    void Terminate() override;
    void Wake() override;
    // Priorities are the system's own thread priorities (-15 idle to 15 time critical).
    std::int32_t SetPriority(std::int32_t priority) override;
    void SetUserValue(std::int32_t value) override { userValue_ = value; }
    void GetRunInfo(std::uint64_t* id, std::uint64_t* runningMs, std::string* text) override;
    bool IsRunning() override;
    void RequestStop() override;
    bool IsStopRequested() override;
    Scheduler::Runnable* GetRunnable() override { return shared_->runnable; }

private:
    struct Shared {
        Scheduler::Runnable* runnable;
        bool deleteRunnableOnExit;
        platform::Mutex runLock;
        platform::Event wake{false, false};
        platform::Event started{false, false};
        std::atomic<bool> stop{false};
        std::atomic<bool> noWait{false};
        // Bumped by Terminate; a thread whose generation is stale leaves without further
        // calls into the runnable.
        std::atomic<std::uint32_t> generation{0};
        std::atomic<std::int64_t> passStartMs{0};
        std::atomic<std::uint64_t> systemId{0};
        std::atomic<bool> running{false};
    };
    struct Start;

    bool OnOwnThread() const;
    static unsigned __stdcall Entry(void* start);
    static void Procedure(std::shared_ptr<Shared> shared, std::uint32_t generation);

    std::shared_ptr<Shared> shared_;
    // Serialises ThreadStart, Stop and Terminate, which own handle_.
    CFastMutex handleLock_;
    void* handle_ = nullptr;
    std::int32_t userValue_ = -1;
};

}  // namespace brondal::platform
