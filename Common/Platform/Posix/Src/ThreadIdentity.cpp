#include "ThreadIdentity.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brondal::platform {

namespace {

thread_local std::uint32_t cachedId = 0;

// A forked child's only thread inherits the forking thread's cached id, which names a
// thread of the parent: forget it so that the child asks the kernel again.
void ForgetIdInChild() { cachedId = 0; }

const bool forkHandlerInstalled = [] {
    ::pthread_atfork(nullptr, nullptr, &ForgetIdInChild);
    return true;
}();

}  // namespace

std::uint32_t CurrentThreadId() {
    if (cachedId == 0) cachedId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return cachedId;
}

}  // namespace brondal::platform
