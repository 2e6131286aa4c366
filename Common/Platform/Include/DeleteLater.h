#pragma once

#include <cstdint>

#include "IRefCount.h"

namespace brondal {

// Hands an object to the process's deletion thread, which destroys it with DeleteNow
// whatever its count. Safe from any thread, including from inside a callback of the object
// itself; objects are destroyed in the order queued, outside any lock, so a destructor may
// queue further objects. The caller gives up its reference and must not use the object
// again. A null object is ignored.
void DeleteLater(IRefCount* object);

// Waits until every object queued before the call has been destroyed. False when that did
// not happen within timeoutMs (negative: no limit). For orderly shutdown and tests.
bool WaitForDeferredDeletions(std::int32_t timeoutMs);

}  // namespace brondal
