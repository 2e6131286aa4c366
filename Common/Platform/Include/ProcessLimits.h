#pragma once

#include <cstdint>
#include <optional>

namespace brondal {

// The process's limit on open descriptors (files and sockets alike), before and after
// RaiseOpenFileLimit.
struct OpenFileLimit {
    std::uint64_t before = 0;
    std::uint64_t after = 0;
};

// Raises the soft limit on open descriptors to the hard limit, so that a service holding
// thousands of connections is not stopped by a default of 1024. Nothing when the system
// does not tell the limits; after equals before when it was already at the hard limit or
// the system refused.
std::optional<OpenFileLimit> RaiseOpenFileLimit();

}  // namespace brondal
