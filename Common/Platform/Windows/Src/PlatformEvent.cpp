#include "PlatformEvent.h"

#include "SystemHeaders.h"

#include <cstdlib>

namespace brondal::platform {

Event::Event(bool manualReset, bool initiallySignalled)
    : handle_(::CreateEventW(nullptr, manualReset, initiallySignalled, nullptr)) {
    // Constructors do not fail: a process that cannot get an event (handle quota exhausted)
    // could not wait for anything, so it ends here instead of hanging later.
    if (handle_ == nullptr) std::abort();
}

Event::~Event() { ::CloseHandle(handle_); }

bool Event::Wait(std::int32_t timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(handle_, wait) == WAIT_OBJECT_0;
}

void Event::Set() { ::SetEvent(handle_); }

void Event::Reset() { ::ResetEvent(handle_); }

}  // namespace brondal::platform
