#include "IRefCountImpl.h"

namespace brondal {

std::int32_t IRefCountImpl::AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }

std::int32_t IRefCountImpl::TryAddRef() {
    std::int32_t current = count_.load(std::memory_order_relaxed);
    // A count of 0 means the object is being destroyed (or waits for DeleteNow): never
    // revive it.
    while (current != 0) {
        if (count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return current + 1;
        }
    }
    return 0;
}

std::int32_t IRefCountImpl::Release() {
    const std::int32_t previous = count_.fetch_sub(1, std::memory_order_acq_rel);
    if (previous == 1) {
        delete this;
        return 0;
    }
    return previous - 1;
}

std::int32_t IRefCountImpl::ReleaseNoDelete() {
    return count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

std::int32_t IRefCountImpl::DeleteNow() {
    // The acquire pairs with the releases of the last count operations of other threads, so
    // everything they did to the object happens before its destruction.
    const std::int32_t count = count_.load(std::memory_order_acquire);
    delete this;
    return count;
}

}  // namespace brondal
