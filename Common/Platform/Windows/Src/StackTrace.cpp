#include "StackTrace.h"

#include "SystemHeaders.h"
// After windows.h, which it needs.
#include <dbghelp.h>

#include <cstdio>
#include <mutex>

#include "ThreadIdentity.h"

namespace brondal::platform {

namespace {

// CaptureStackBackTrace takes at most 62 frames per call on older systems.
constexpr ULONG MaxFrames = 62;
constexpr std::size_t MaxSymbolName = 512;

// The debug-help library is single-threaded: every call into it holds this lock.
std::mutex& SymbolLock() {
    static std::mutex lock;
    return lock;
}

bool SymbolsReady() {
    static const bool ready = [] {
        ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
        return ::SymInitialize(::GetCurrentProcess(), nullptr, TRUE) != FALSE;
    }();
    return ready;
}

std::string SymbolName(void* address) {
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MaxSymbolName];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = MaxSymbolName;
    DWORD64 displacement = 0;
    if (!::SymFromAddr(::GetCurrentProcess(), reinterpret_cast<DWORD64>(address), &displacement,
                       symbol)) {
        return {};
    }
    return std::string(symbol->Name, symbol->NameLen);
}

}  // namespace

std::string CaptureStackTrace() {
    void* frames[MaxFrames];
    const USHORT count = ::CaptureStackBackTrace(0, MaxFrames, frames, nullptr);

    std::string text = "stack trace for thread " + std::to_string(CurrentThreadId()) + " has " +
                       std::to_string(count) + " frames\n";
    std::lock_guard<std::mutex> lock(SymbolLock());
    const bool symbols = SymbolsReady();
    for (USHORT i = 0; i < count; ++i) {
        std::string name = symbols ? SymbolName(frames[i]) : std::string();
        if (name.empty()) {
            char raw[2 + 2 * sizeof(void*) + 1];
            std::snprintf(raw, sizeof raw, "%p", frames[i]);
            name = raw;
        }
        text += "  " + name + "\n";
    }
    text += "\n";
    return text;
}

}  // namespace brondal::platform
