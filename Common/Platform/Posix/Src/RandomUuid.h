#pragma once

#include "Uuid.h"

namespace brondal::platform {

// A new random (version 4) identifier from the kernel's random source. Ends the process when
// no random source can be read at all: the identifiers name objects and connections across
// the network, and a guessable or repeated one is worse than no service.
void GenerateRandomUuid(UUID* out);

}  // namespace brondal::platform
