#include "PlatformMutex.h"

#include "SystemHeaders.h"

#include <cstdlib>

namespace brondal::platform {

Mutex::Mutex() : handle_(::CreateMutexW(nullptr, FALSE, nullptr)) {
    // See Event: without kernel objects nothing could be guarded.
    if (handle_ == nullptr) std::abort();
}

Mutex::~Mutex() { ::CloseHandle(handle_); }

Result Mutex::Lock(std::int32_t timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD rc = ::WaitForSingleObject(handle_, wait);
    // An abandoned mutex (its owner ended while holding it) is owned by the caller now;
    // what it guarded may be half updated, but refusing the lock would deadlock instead.
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED ? ResultOk : ResultFail;
}

Result Mutex::Unlock() { return ::ReleaseMutex(handle_) ? ResultOk : ResultFail; }

}  // namespace brondal::platform
