#include "ProcessLimits.h"

namespace brondal {

namespace {

// Files and sockets are kernel handles on Windows, and a process may hold up to 2^24 of
// them (the kernel's per-process handle table limit); nothing lower applies by default.
constexpr std::uint64_t ProcessHandleLimit = std::uint64_t{1} << 24;

}  // namespace

std::optional<OpenFileLimit> RaiseOpenFileLimit() {
    // Nothing to raise: the limit is fixed and already the largest.
    return OpenFileLimit{ProcessHandleLimit, ProcessHandleLimit};
}

}  // namespace brondal
