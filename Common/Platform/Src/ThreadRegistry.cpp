#include "ThreadRegistry.h"

namespace brondal {

ThreadRegistry& ThreadRegistry::Instance() {
    // Never destroyed: threads of static objects may still unregister during exit.
    static ThreadRegistry* const registry = new ThreadRegistry();
    return *registry;
}

void ThreadRegistry::Add(Scheduler::Thread* thread) {
    std::lock_guard lock(lock_);
    threads_.insert(thread);
}

void ThreadRegistry::Remove(Scheduler::Thread* thread) {
    std::lock_guard lock(lock_);
    threads_.erase(thread);
}

void ThreadRegistry::ForEach(const std::function<void(Scheduler::Thread&)>& visit) {
    std::lock_guard lock(lock_);
    for (Scheduler::Thread* thread : threads_)
        visit(*thread);
}

std::size_t ThreadRegistry::Count() {
    std::lock_guard lock(lock_);
    return threads_.size();
}

}  // namespace brondal
