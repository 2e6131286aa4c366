#include "ThreadIdentity.h"

#include <windows.h>

namespace brondal::platform {

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace brondal::platform
