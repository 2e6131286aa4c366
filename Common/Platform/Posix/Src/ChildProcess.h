#pragma once

#include <string>
#include <vector>

namespace brondal::platform {

// Runs a program (looked up in PATH like a shell would) with the given arguments, the first
// being its name, and waits for it to end. It inherits standard input and output but not
// this process's blocked signals. True when it exited with status 0.
bool RunAndWait(const std::vector<std::string>& arguments);

}  // namespace brondal::platform
