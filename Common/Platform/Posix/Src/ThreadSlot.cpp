#include "ThreadSlot.h"

#include <pthread.h>

namespace brondal::platform {

// POSIX runs a key's destructor after the thread's thread_local destructors, with the
// value cleared first, and again for a value set meanwhile.
ThreadSlot::ThreadSlot(void (*release)(void* value)) {
    pthread_key_t key;
    if (pthread_key_create(&key, release) == 0) slot_ = key;
}

void* ThreadSlot::Get() const {
    return slot_ == NoSlot ? nullptr : pthread_getspecific(static_cast<pthread_key_t>(slot_));
}

bool ThreadSlot::Set(void* value) {
    return slot_ != NoSlot && pthread_setspecific(static_cast<pthread_key_t>(slot_), value) == 0;
}

}  // namespace brondal::platform
