#include "CrashHandler.h"

#include "SystemHeaders.h"
// After windows.h, which it needs.
#include <dbghelp.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "CrashFilter.h"
#include "FolderChain.h"
#include "LogFolderPath.h"
#include "StackTrace.h"
#include "WideText.h"

namespace brondal {

namespace {

constexpr char ReportName[] = "crash-report.txt";
constexpr char DumpName[] = "crash.mdmp";
// What a thread keeps of its stack for the filter once the rest has overflowed.
constexpr ULONG CrashStackGuarantee = 64 * 1024;

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

// Chosen at installation, read by the filter. Unlike a signal handler the filter may
// allocate and call the system freely; the folder is fixed beforehand only so that a
// redirection made for tests holds until the filter is installed again.
std::mutex installLock;
std::string crashFolder;
std::atomic<bool> reporting{false};

HANDLE CreateNewFile(const std::string& path) {
    return ::CreateFileW(platform::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteText(HANDLE file, const std::string& text) {
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void WriteReport(const std::string& folder, EXCEPTION_POINTERS* exception) {
    const HANDLE file = CreateNewFile(folder + "/" + ReportName);
    if (file == INVALID_HANDLE_VALUE) return;
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    char head[160];
    std::snprintf(head, sizeof head,
                  "Exception 0x%08lx (access violation)\r\nFault address: %p\r\n",
                  static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress);
    std::string text = head;
    // For an access violation the second parameter is the address that was touched.
    if (record->NumberParameters >= 2) {
        char target[96];
        std::snprintf(target, sizeof target, "%s address: %p\r\n",
                      record->ExceptionInformation[0] == 0 ? "Read" : "Written",
                      reinterpret_cast<void*>(record->ExceptionInformation[1]));
        text += target;
    }
    text += "Thread: " + std::to_string(::GetCurrentThreadId()) + "\r\nStack trace:\r\n";
    // The filter runs on the faulting thread, below the frames that faulted.
    text += platform::CaptureStackTrace();
    WriteText(file, text);
    ::CloseHandle(file);
}

void WriteMinidump(const std::string& folder, EXCEPTION_POINTERS* exception) {
    const HMODULE library = ::LoadLibraryW(L"dbghelp.dll");
    if (library == nullptr) return;
    const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void*>(::GetProcAddress(library, "MiniDumpWriteDump")));
    if (writeDump != nullptr) {
        const HANDLE file = CreateNewFile(folder + "/" + DumpName);
        if (file != INVALID_HANDLE_VALUE) {
            MINIDUMP_EXCEPTION_INFORMATION information{};
            information.ThreadId = ::GetCurrentThreadId();
            information.ExceptionPointers = exception;
            information.ClientPointers = TRUE;
            writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpWithFullMemory,
                      &information, nullptr, nullptr);
            ::CloseHandle(file);
        }
    }
    ::FreeLibrary(library);
}

}  // namespace

namespace platform {

long __stdcall CrashFilter(EXCEPTION_POINTERS* exception) {
    if (exception == nullptr || exception->ExceptionRecord == nullptr ||
        exception->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // A second thread faulting meanwhile leaves the first report alone.
    if (reporting.exchange(true)) return EXCEPTION_CONTINUE_SEARCH;
    std::string folder;
    {
        std::lock_guard lock(installLock);
        folder = crashFolder;
    }
    if (!folder.empty() && CreateFolderChain(folder.c_str())) {
        WriteReport(folder, exception);
        WriteMinidump(folder, exception);
    }
    reporting.store(false);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace platform

void InstallCrashStackForThisThread() {
    thread_local const bool guaranteed = [] {
        ULONG size = CrashStackGuarantee;
        return ::SetThreadStackGuarantee(&size) != FALSE;
    }();
    (void)guaranteed;
}

bool InstallCrashHandler() {
    {
        std::lock_guard lock(installLock);
        crashFolder = CrashFolder(false);
    }
    // Loaded now, not in the filter, where the loader lock may be in an unknown state.
    platform::CaptureStackTrace();
    InstallCrashStackForThisThread();
    ::SetUnhandledExceptionFilter(&platform::CrashFilter);
    return true;
}

}  // namespace brondal
