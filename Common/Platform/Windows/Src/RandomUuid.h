#pragma once

#include "Uuid.h"

namespace brondal::platform {

// A new random (version 4) identifier from the RPC runtime (UuidCreate). Ends the process
// when the system cannot make one: the identifiers name objects and connections across the
// network, and a guessable or repeated one is worse than no service.
void GenerateRandomUuid(UUID* out);

}  // namespace brondal::platform
