#include "ProgramArguments.h"

#include "SystemHeaders.h"
// After windows.h, which it needs.
#include <shellapi.h>

#include "WideText.h"

namespace brondal {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        // The C runtime's split, then, which is right for everything the code page holds.
        if (argc <= 1 || argv == nullptr) return {};
        return std::vector<std::string>(argv + 1, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(platform::Narrow(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

}  // namespace brondal
