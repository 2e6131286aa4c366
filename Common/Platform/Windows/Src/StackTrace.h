#pragma once

#include <string>

namespace brondal::platform {

// The calling thread's stack as text: a line "stack trace for thread <id> has <n> frames",
// then per frame two spaces and the function name (or the raw address when no symbol is
// known), then an empty line.
std::string CaptureStackTrace();

}  // namespace brondal::platform
