#include "StackTrace.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "ThreadIdentity.h"

namespace brondal::platform {

namespace {

constexpr int MaxFrames = 1024;

std::string SymbolName(void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_sname == nullptr) return {};
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

}  // namespace

std::string CaptureStackTrace() {
    void* frames[MaxFrames];
    const int count = ::backtrace(frames, MaxFrames);

    std::string text = "stack trace for thread " + std::to_string(CurrentThreadId()) + " has " +
                       std::to_string(count) + " frames\n";
    for (int i = 0; i < count; ++i) {
        std::string name = SymbolName(frames[i]);
        if (name.empty()) {
            char raw[2 + 2 * sizeof(void*) + 1];
            std::snprintf(raw, sizeof raw, "%p", frames[i]);
            name = raw;
        }
        // Source lines are not known without a debug-information reader.
        text += "  " + name + "\n";
    }
    text += "\n";
    return text;
}

}  // namespace brondal::platform
