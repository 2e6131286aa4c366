#pragma once

#include <string>

namespace brondal {

// The process's current working folder; empty when it cannot be read (it was removed, or
// its path is longer than the system allows).
std::string CurrentDirectory();

}  // namespace brondal
