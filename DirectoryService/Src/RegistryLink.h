#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "IRefCountImpl.h"
#include "Scheduler.h"

namespace brondal::corvane::server {

class CorvaneDirectoryService;

// How the directory stub and the transport listener reach the registry without holding a
// reference to it. The registry holds its engines, the request engine holds the stub: a
// reference from the stub back to the registry would be a cycle that no release ever breaks,
// so the registry's teardown would never run. And a transport thread that held the registry
// for the length of a call could end up dropping its last reference, tearing the transport
// down from inside that transport's own thread.
//
// The registry closes the link first thing in its destruction; Close waits for the calls
// that are inside and turns every later one away. Entering costs two atomic operations.
class RegistryLink final : public IRefCountImpl {
public:
    explicit RegistryLink(CorvaneDirectoryService* registry)
        : registry_(registry), drained_(GetScheduler().CreateEvent(true, false)) {}

    // Holds the registry for one call, or nothing once the link is closed.
    class Access {
    public:
        explicit Access(RegistryLink& link) : link_(link), registry_(link.Enter()) {}
        ~Access() {
            if (registry_) link_.Leave();
        }
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;

        CorvaneDirectoryService* operator->() const { return registry_; }
        CorvaneDirectoryService& operator*() const { return *registry_; }
        explicit operator bool() const { return registry_ != nullptr; }

    private:
        RegistryLink& link_;
        CorvaneDirectoryService* const registry_;
    };

    // Turns later callers away and waits for those inside to leave. Must not be called from
    // inside a call that entered.
    void Close() {
        if ((state_.fetch_or(ClosedBit, std::memory_order_acq_rel) & ~ClosedBit) != 0) {
            drained_->Wait(Scheduler::Infinite);
        }
    }

private:
    static constexpr std::uint32_t ClosedBit = 0x80000000u;

    ~RegistryLink() override = default;

    CorvaneDirectoryService* Enter() {
        if ((state_.fetch_add(1, std::memory_order_acquire) & ClosedBit) == 0) return registry_;
        Leave();
        return nullptr;
    }
    void Leave() {
        // The last one out after Close lets it go on. A caller turned away may be that one
        // too; the event is then set with nobody inside, which is just as true.
        if (state_.fetch_sub(1, std::memory_order_acq_rel) == (ClosedBit | 1)) drained_->Set();
    }

    // ClosedBit, and the number of callers inside in the bits below it.
    std::atomic<std::uint32_t> state_{0};
    CorvaneDirectoryService* const registry_;
    const std::unique_ptr<Scheduler::Event> drained_;
};

}  // namespace brondal::corvane::server
