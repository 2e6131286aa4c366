#pragma once

#include <cstdint>

namespace brondal::platform {

// A pointer per thread whose value is released on its own thread when that thread ends:
// for per-thread state that must be given back with its thread.
//
// On POSIX the release runs on the ending thread after the thread's own code has returned,
// once its thread_local objects are destroyed, with the value the thread held; Get returns
// null on that thread from then on, and a value set again meanwhile is released in another
// round (a few at most). On Windows the release is never run: no thread-end hook there is
// both after the thread-local storage's clean-up and safe to lock in (see the Windows
// implementation), so a value set on a thread stays until the process ends. Callers keep
// what a slot holds small and bounded.
//
// A slot is never freed (freeing one would release every thread's value at once, on the
// wrong thread), so make one per purpose, for the life of the process.
class ThreadSlot {
public:
    explicit ThreadSlot(void (*release)(void* value));
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Null also when the system had no slot left to give.
    void* Get() const;
    // False when the value could not be kept (no slot, or no memory for it).
    bool Set(void* value);

private:
    static constexpr std::uintptr_t NoSlot = ~std::uintptr_t{0};
    std::uintptr_t slot_ = NoSlot;
};

}  // namespace brondal::platform
