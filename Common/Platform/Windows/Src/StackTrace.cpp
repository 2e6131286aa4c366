#include "StackTrace.h"

#include "SystemHeaders.h"
// After windows.h, which it needs.
#include <dbghelp.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
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

// The exported function of address's module that starts closest below it. Programs of this
// system export all their functions (see the top-level CMakeLists.txt); the debug-help
// library finds them only where it reads the export table, which not every version does.
std::string ExportedName(void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module)) {
        return {};
    }
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) return {};
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
    const auto offset = static_cast<DWORD>(static_cast<const unsigned char*>(address) - base);
    const char* best = nullptr;
    DWORD bestStart = 0;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const DWORD start = functions[ordinals[i]];
        if (start <= offset && start >= bestStart) {
            bestStart = start;
            best = reinterpret_cast<const char*>(base + names[i]);
        }
    }
    return best ? best : std::string();
}

std::string Demangled(std::string name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled) name = demangled;
    std::free(demangled);
    return name;
}

std::string SymbolName(void* address) {
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + MaxSymbolName];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = MaxSymbolName;
    DWORD64 displacement = 0;
    if (::SymFromAddr(::GetCurrentProcess(), reinterpret_cast<DWORD64>(address), &displacement,
                      symbol)) {
        return Demangled(std::string(symbol->Name, symbol->NameLen));
    }
    // Exported names are the compiler's mangled ones.
    return Demangled(ExportedName(address));
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
