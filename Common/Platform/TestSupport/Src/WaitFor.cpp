#include "WaitFor.h"

#include <thread>

#include "DeleteLater.h"
#include "IRefCountImpl.h"
#include "ThreadRegistry.h"

namespace brondal::testing {

bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::size_t SettledThreadCount() {
    struct Nothing final : IRefCountImpl {};
    DeleteLater(new Nothing);
    WaitForDeferredDeletions(-1);
    return ThreadRegistry::Instance().Count();
}

bool WaitForThreadCount(std::size_t count, std::chrono::milliseconds timeout) {
    return PollUntil([count] { return ThreadRegistry::Instance().Count() <= count; }, timeout);
}

}  // namespace brondal::testing
