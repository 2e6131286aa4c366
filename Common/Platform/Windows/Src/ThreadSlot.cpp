#include "ThreadSlot.h"

#include "SystemHeaders.h"

namespace brondal::platform {

// Fiber-local storage, not a thread_local destructor: the compiler's emulated thread-local
// storage is freed by one thread-exit hook and thread_local destructors are run by another,
// in no fixed order, so a destructor could run on freed storage. The system calls an
// FLS callback as the thread ends, after both.
ThreadSlot::ThreadSlot(void (*release)(void* value)) {
    // Same type on x64, where the callback's calling convention is the C one.
    const PFLS_CALLBACK_FUNCTION callback = release;
    const DWORD index = ::FlsAlloc(callback);
    if (index != FLS_OUT_OF_INDEXES) slot_ = index;
}

void* ThreadSlot::Get() const {
    return slot_ == NoSlot ? nullptr : ::FlsGetValue(static_cast<DWORD>(slot_));
}

bool ThreadSlot::Set(void* value) {
    return slot_ != NoSlot && ::FlsSetValue(static_cast<DWORD>(slot_), value) != FALSE;
}

}  // namespace brondal::platform
