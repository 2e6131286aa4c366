#include "ThreadIdentity.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace brondal::platform {

std::uint32_t CurrentThreadId() {
    thread_local const std::uint32_t id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace brondal::platform
