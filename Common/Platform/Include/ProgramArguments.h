#pragma once

#include <string>
#include <vector>

namespace brondal {

// The program's arguments after its own name, as UTF-8. On POSIX systems these are argv's
// own bytes; on Windows they are split from the wide command line (CommandLineToArgvW), since
// argv there holds the ANSI code page's rendering, which loses what it has no byte for.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace brondal
