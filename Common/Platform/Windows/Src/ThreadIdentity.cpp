#include "ThreadIdentity.h"

#include "SystemHeaders.h"

namespace brondal::platform {

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace brondal::platform
