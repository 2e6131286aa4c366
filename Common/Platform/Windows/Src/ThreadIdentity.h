#pragma once

#include <cstdint>

namespace brondal::platform {

// The system's identifier of the calling thread (never 0).
std::uint32_t CurrentThreadId();

}  // namespace brondal::platform
