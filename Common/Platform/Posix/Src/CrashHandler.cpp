#include "CrashHandler.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "LogFolderPath.h"
#include "PosixFolderProvider.h"

namespace brondal {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SanitizedBuild = true;
#else
constexpr bool SanitizedBuild = false;
#endif
#else
constexpr bool SanitizedBuild = false;
#endif

constexpr char ReportName[] = "crash-report.txt";
constexpr int MaxFrames = 128;
// Enough for backtrace's unwinder, which runs on this stack.
constexpr std::size_t MinimumCrashStack = 64 * 1024;

// Everything below is read by the handler, which may neither allocate nor lock: the paths
// are prepared at install time. An empty folder means there is nowhere to write.
std::mutex installLock;
char reportFolder[PATH_MAX];
char reportPath[PATH_MAX];
std::atomic<bool> reporting{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler's flag must not lock");

// Output helpers for the handler: write(2) only, numbers formatted by hand.
void Put(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

void Put(int fd, const char* text) { Put(fd, text, std::strlen(text)); }

void PutDecimal(int fd, std::uint64_t value) {
    char digits[24];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Put(fd, digits + at, sizeof digits - at);
}

void PutHex(int fd, std::uintptr_t value) {
    char digits[2 + 2 * sizeof value];
    digits[0] = '0';
    digits[1] = 'x';
    for (std::size_t i = 0; i < 2 * sizeof value; ++i) {
        const unsigned nibble = (value >> (4 * (2 * sizeof value - 1 - i))) & 0xfu;
        digits[2 + i] = "0123456789abcdef"[nibble];
    }
    Put(fd, digits, sizeof digits);
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        default:
            return "unknown signal";
    }
}

void WriteReport(int signal, const siginfo_t* info) {
    if (reportFolder[0] == '\0') return;
    platform::PosixFolderProvider::CreateFolderChain(reportFolder);
    const int fd = ::open(reportPath, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return;
    Put(fd, "Fatal signal ");
    PutDecimal(fd, static_cast<std::uint64_t>(signal));
    Put(fd, " (");
    Put(fd, SignalName(signal));
    if (info && info->si_code <= 0) {
        // Sent by a process rather than raised by a fault: there is no address to show.
        Put(fd, ")\nSent by process: ");
        PutDecimal(fd, static_cast<std::uint64_t>(info->si_pid));
    } else {
        Put(fd, ")\nFault address: ");
        PutHex(fd, reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr));
    }
    Put(fd, "\nThread: ");
    PutDecimal(fd, static_cast<std::uint64_t>(::syscall(SYS_gettid)));
    Put(fd, "\nStack trace:\n");
    void* frames[MaxFrames];
    ::backtrace_symbols_fd(frames, ::backtrace(frames, MaxFrames), fd);
    ::close(fd);
}

void OnFatalSignal(int signal, siginfo_t* info, void*) {
    if (reporting.exchange(true)) {
        // Another thread is writing the report and will end the process; its report is
        // the one to keep, so this thread waits for the end instead of racing it.
        for (;;)
            ::pause();
    }
    WriteReport(signal, info);

    // End the way the fault would have without us (core dump included). The re-raised
    // signal stays blocked until the handler returns; a fault also recurs on return.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

class CrashStack {
public:
    CrashStack() {
        stack_t current{};
        if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
        const std::size_t size = std::max<std::size_t>(SIGSTKSZ, MinimumCrashStack);
        memory_ = new char[size];
        stack_t stack{};
        stack.ss_sp = memory_;
        stack.ss_size = size;
        if (::sigaltstack(&stack, nullptr) != 0) {
            delete[] memory_;
            memory_ = nullptr;
        }
    }
    ~CrashStack() {
        if (!memory_) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        delete[] memory_;
    }
    CrashStack(const CrashStack&) = delete;
    CrashStack& operator=(const CrashStack&) = delete;

private:
    char* memory_ = nullptr;
};

}  // namespace

void InstallCrashStackForThisThread() { thread_local CrashStack stack; }

bool InstallCrashHandler() {
    if (SanitizedBuild) return false;
    std::lock_guard lock(installLock);
    const std::string folder = CrashFolder(false);
    const std::string path = folder + "/" + ReportName;
    if (!folder.empty() && path.size() < sizeof reportPath) {
        std::memcpy(reportFolder, folder.c_str(), folder.size() + 1);
        std::memcpy(reportPath, path.c_str(), path.size() + 1);
    } else {
        reportFolder[0] = '\0';
    }

    // The first backtrace loads the unwinder, which allocates: that must not happen for
    // the first time inside the handler.
    void* frame[1];
    ::backtrace(frame, 1);
    InstallCrashStackForThisThread();

    struct sigaction action {};
    action.sa_sigaction = &OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault while reporting ends the process at once rather than nesting.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGSEGV);
    sigaddset(&action.sa_mask, SIGBUS);
    return ::sigaction(SIGSEGV, &action, nullptr) == 0 &&
           ::sigaction(SIGBUS, &action, nullptr) == 0;
}

}  // namespace brondal
