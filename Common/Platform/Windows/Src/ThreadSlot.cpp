#include "ThreadSlot.h"

#include "SystemHeaders.h"

namespace brondal::platform {

// A plain TLS index, and the release is never run: a thread_local destructor is not safe
// here (the compiler's emulated thread-local storage is freed by one thread-exit hook and
// thread_local destructors run from another, in no fixed order, so one could run on freed
// storage), and a fiber-local storage callback, which runs later, hung under Wine when it
// took a lock. A value set on a thread stays allocated until the process ends.
ThreadSlot::ThreadSlot(void (*)(void* value)) {
    const DWORD index = ::TlsAlloc();
    if (index != TLS_OUT_OF_INDEXES) slot_ = index;
}

void* ThreadSlot::Get() const {
    return slot_ == NoSlot ? nullptr : ::TlsGetValue(static_cast<DWORD>(slot_));
}

bool ThreadSlot::Set(void* value) {
    return slot_ != NoSlot && ::TlsSetValue(static_cast<DWORD>(slot_), value) != FALSE;
}

}  // namespace brondal::platform
