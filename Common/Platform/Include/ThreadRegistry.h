#pragma once

#include <functional>
#include <mutex>
#include <set>

#include "Scheduler.h"

namespace brondal {

// The process-wide set of started platform threads, so that diagnostics can ask each how
// long its current pass has been running.
class ThreadRegistry {
public:
    static ThreadRegistry& Instance();

    void Add(Scheduler::Thread* thread);
    void Remove(Scheduler::Thread* thread);
    // Calls visit for every registered thread under the registry's lock: visit must not
    // start or destroy threads.
    void ForEach(const std::function<void(Scheduler::Thread&)>& visit);
    std::size_t Count();

private:
    ThreadRegistry() = default;

    std::mutex lock_;
    std::set<Scheduler::Thread*> threads_;
};

}  // namespace brondal
