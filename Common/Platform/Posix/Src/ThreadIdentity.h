#pragma once

#include <cstdint>

namespace brondal::platform {

// The kernel's identifier of the calling thread (never 0), cached per thread.
std::uint32_t CurrentThreadId();

}  // namespace brondal::platform
